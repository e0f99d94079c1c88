import copy
import re

import pytest

import tarnwhistle as tw
from tarnwhistle import extension


class TestStoreType:
    def test_all_codes_round_trip(self):
        names = [extension._store_type(code) for code in range(1, 37)]
        assert names[:3] == ["Store", "Properties", "RandomVariable"]
        assert extension._store_type("Rectangle") == 12
        assert extension._store_type(36) == "PathLengthMatching"
        for code, name in enumerate(names, start=1):
            assert extension._store_type(name) == code

    @pytest.mark.parametrize("bad", [0, 37, -1, "Void", "Nothing", 10**30, "Rectangle\0"])
    def test_invalid(self, bad):
        with pytest.raises(ValueError, match=r"^Invalid 'type_id'\.$"):
            extension._store_type(bad)

    def test_wrong_type(self):
        with pytest.raises(TypeError, match=r"^Expected str or int type\.$"):
            extension._store_type(1.5)


class TestIdentifier:
    def test_generated_ids_are_version_4(self):
        p = tw.Properties()
        text = p._id
        assert re.fullmatch(r"[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}", text)
        assert p._id == text  # stable once generated
        assert copy.copy(p)._id != text and p.copy()._id != text

    @pytest.mark.parametrize("given", [
        "{0123456789ABCDEF0123456789ABCDEF}",
        "0123456789abcdef0123456789abcdef",
        "01234567-89ab-cdef-0123-456789abcdef",
        "{01234567-89AB-CDEF-0123-456789ABCDEF}",
    ])
    def test_assign_accepted_forms(self, given):
        p = tw.Properties()
        p._id = given
        assert p._id == "01234567-89ab-cdef-0123-456789abcdef"

    @pytest.mark.parametrize("given", ["xyz", "", "0123456789abcdef0123456789abcde"])
    def test_assign_invalid(self, given):
        p = tw.Properties()
        before = p._id
        with pytest.raises(RuntimeError, match="^invalid uuid string$"):
            p._id = given
        assert p._id == before


class TestProperties:
    @pytest.mark.parametrize("value, stored", [
        ("text", b"text"), (b"raw", b"raw"), (3, 3), (2.5, 2.5), ([1], 1),
        ([1, 2.5, b"x"], (1, 2.5, b"x")), ((1, [2, "a"]), (1, (2, b"a"))), ([], ()),
    ])
    def test_conversion(self, value, stored):
        p = tw.Properties(v=value)
        assert p["v"] == stored and p.v == stored
        p["w"] = value
        assert p.get("w") == stored

    @pytest.mark.parametrize("bad", [None, {"a": 1}, object(), [1, None], [1, [2, [3]]]])
    def test_unconvertible_values_leave_container_unchanged(self, bad):
        p = tw.Properties(v=1)
        with pytest.raises(TypeError, match=r"^Only objects of type int, float, str, bytes, or "
                           r"sequences of those can be set as properties\.$"):
            p["v"] = bad
        assert p.v == 1

    def test_access_errors(self):
        p = tw.Properties()
        with pytest.raises(KeyError, match="Key not found in properties."):
            p["missing"]
        with pytest.raises(KeyError, match="Key not found in properties."):
            p.missing
        with pytest.raises(TypeError, match=r"^Property keys must be of type 'str'\.$"):
            p[1] = 2
        with pytest.raises(RuntimeError, match=r"^Only keyword arguments are allowed in initializer\.$"):
            tw.Properties({"a": 1})
        assert p.get("missing") is None and p.get("missing", 7) == 7

    def test_entries_shadow_methods_on_attribute_access_only(self):
        p = tw.Properties(keys="mine")
        assert p.keys == b"mine"
        assert p["keys"] == b"mine"
        q = tw.Properties(a=1)
        assert list(q.keys()) == ["a"]

    def test_delete_iterate_and_keys(self):
        p = tw.Properties(a=1, b=2)
        del p["a"]
        del p["absent"]
        del p.b
        del p.also_absent
        assert list(p) == [] and len(p) == 0
        p.x = 1
        p["y"] = 2
        assert sorted(p) == ["x", "y"] and sorted(p.keys()) == ["x", "y"]
        assert "x" in p and "z" not in p
        assert type(iter(p)).__name__ == "_Iterator"

    def test_gds_properties(self):
        p = tw.Properties()
        assert p.add_gds_property(1, "a") is p
        p.add_gds_property(1, b"a")
        assert p.S_GDS_PROPERTY == ((1, b"a"), (1, b"a"))
        with pytest.raises(ValueError, match=r"^Argument 'attribute' cannot be negative\.$"):
            p.add_gds_property(-1, "a")
        with pytest.raises(TypeError, match=r"^Argument 'value' must be a str or bytes instance\.$"):
            p.add_gds_property(2, 5)
        assert len(p.S_GDS_PROPERTY) == 2

    def test_equality_copies_and_text(self):
        p = tw.Properties(byte_string="text")
        assert repr(p) == str(p) == 'Properties(**{"byte_string": b"text"})'
        assert repr(tw.Properties(v=[1, 2.0, [3]])) == 'Properties(**{"v": (1, 2.0, (3,))})'
        # Floats read as the interpreter writes them.
        for value in (1e5, 1e15, 1e16, 1e-4, 1e-5, -0.0, 0.1, 1 / 3, 123456.789e10):
            assert repr(tw.Properties(f=value)) == f'Properties(**{{"f": {value!r}}})'
        q = copy.deepcopy(p)
        assert q == p and q is not p
        q.extra = 1
        assert q != p and "extra" not in p
        assert tw.Properties(a=1) != tw.Properties(a=1.0)
        assert tw.Properties(a=[1, 2]) != tw.Properties(a=[1])
        with pytest.raises(TypeError):
            p < q
        assert (p == 3) is False
        with pytest.raises(TypeError, match=r"^Deepcopy memo must be a dictionary\.$"):
            p.__deepcopy__([])
