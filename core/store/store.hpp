// How object types store themselves: one JSON form per type (the record of the JSON store
// document), optionally a dedicated twf payload, and the interface through which records
// refer to other stored objects.
#pragma once

#include <array>
#include <functional>
#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "core/foundation/base_type.hpp"
#include "core/foundation/units.hpp"
#include "core/store/twf_bytes.hpp"

namespace whistle {

using json = nlohmann::json;

class Properties;
class Structure;

// The document being written: a twf file or a JSON store document.
class StoreWriter {
public:
    virtual ~StoreWriter() = default;
    // Stores the object (once per document, with everything it refers to) and returns the
    // value that names it inside a JSON form.
    virtual json ref(const std::shared_ptr<BaseType>& object) = 0;
    // null for a null object.
    json optional_ref(const std::shared_ptr<BaseType>& object) {
        return object ? ref(object) : json(nullptr);
    }
    // The location of the stored object in a twf file (dedicated twf payloads only).
    virtual uint64_t location(const std::shared_ptr<BaseType>& object) {
        return ref(object).get_binary().subtype();
    }
};

// The document being read.
class StoreReader {
public:
    virtual ~StoreReader() = default;
    // The object that `value` names, loaded once and shared. Its type must be one of
    // `expected` (any stored type when empty); `kind` names it in messages. A null value gives
    // null when not `required`.
    virtual std::shared_ptr<BaseType> ref(const json& value, std::initializer_list<TypeCode> expected,
                                          std::string_view kind, bool required = true) = 0;

    // The object at a twf location (0: none), as ref() gives it.
    virtual std::shared_ptr<BaseType> at(uint64_t location, std::initializer_list<TypeCode> expected,
                                         std::string_view kind, bool required) {
        return ref(location == 0 ? json(nullptr) : json::binary({}, location), expected, kind, required);
    }

    // ref() cast to the expected class.
    template <class T>
    std::shared_ptr<T> ref_as(const json& value, TypeCode expected, std::string_view kind,
                              bool required = true) {
        return std::static_pointer_cast<T>(ref(value, {expected}, kind, required));
    }
};

// A dedicated twf payload being written: the encodings of twf_bytes plus locations of other
// records, which are stored (before this record) on the way.
class TwfPayloadWriter {
public:
    TwfPayloadWriter(std::string& out, StoreWriter& store) : out_(out), store_(store) {}

    void count(uint64_t value) { append_count(out_, value); }
    void signed_value(int64_t value) { append_signed(out_, value); }
    void real(double value) { append_double(out_, value); }
    void string(std::string_view text) { append_string(out_, text); }
    void byte(uint8_t value) { out_.push_back(char(value)); }
    // Location of the stored object; 0 for null.
    void ref(const std::shared_ptr<BaseType>& object);

    StoreWriter& store() { return store_; }
    std::string& buffer() { return out_; }

private:
    std::string& out_;
    StoreWriter& store_;
};

// A dedicated twf payload being read.
class TwfPayloadReader : public ByteReader {
public:
    TwfPayloadReader(std::string_view data, std::string_view corrupt_message, StoreReader& store)
        : ByteReader(data, corrupt_message), store_(store) {}

    std::shared_ptr<BaseType> ref(std::initializer_list<TypeCode> expected, std::string_view kind,
                                  bool required = true);
    template <class T>
    std::shared_ptr<T> ref_as(TypeCode expected, std::string_view kind, bool required = true) {
        return std::static_pointer_cast<T>(ref({expected}, kind, required));
    }

    StoreReader& store() { return store_; }

private:
    StoreReader& store_;
};

// The storage of one type. `to_json` fills the fields of the JSON form (the store adds "type",
// "type_version" and "properties"); `from_json` rebuilds the object and throws StoreError on
// bad data. The twf payload is the dedicated one when given, else the JSON fields encoded as a
// tagged tree.
struct TypeCodec {
    uint8_t version = 0;  // twf encoding version
    void (*to_json)(const BaseType& object, json& form, StoreWriter& store) = nullptr;
    std::shared_ptr<BaseType> (*from_json)(const json& form, StoreReader& store) = nullptr;
    void (*to_twf)(const BaseType& object, TwfPayloadWriter& out) = nullptr;
    std::shared_ptr<BaseType> (*from_twf)(TwfPayloadReader& in) = nullptr;
};

using CodecTable = std::array<TypeCodec, kTypeCodeCount>;

// The codec of a type code; one without `to_json` when the type cannot be stored.
const TypeCodec& type_codec(TypeCode code);
// The binding layer installs the codecs of the interpreter-backed types at module entry.
void set_type_codec(TypeCode code, const TypeCodec& codec);

// Marks an object as being stored for the guard's lifetime; throws StoreError "<Type> is
// self-referencing." when it already is (a record that contains itself).
class StoringGuard {
public:
    StoringGuard(std::vector<const BaseType*>& stack, const BaseType& object);
    ~StoringGuard() { stack_.pop_back(); }
    StoringGuard(const StoringGuard&) = delete;
    StoringGuard& operator=(const StoringGuard&) = delete;

private:
    std::vector<const BaseType*>& stack_;
};

// Codec groups, one per subsystem.
void add_foundation_codecs(CodecTable& table);
void add_geometry_codecs(CodecTable& table);
void add_model_codecs(CodecTable& table);
void add_component_codecs(CodecTable& table);
void add_circuit_codecs(CodecTable& table);
void add_solid_codecs(CodecTable& table);

// Interpreter values held inside records (parametric data, update arguments, native values):
// encoded by the binding layer, which installs the codec at module entry.
class ValueCodec {
public:
    virtual ~ValueCodec() = default;
    // `holder` is an interpreter-backed object holding the value.
    virtual json to_json(const BaseType& holder, StoreWriter& store) const = 0;
    // A new holder of the class of `prototype` with the decoded value.
    virtual std::shared_ptr<BaseType> from_json(const json& value, StoreReader& store,
                                                const BaseType& prototype) const = 0;
    virtual void to_twf(const BaseType& holder, TwfPayloadWriter& out) const = 0;
    virtual std::shared_ptr<BaseType> from_twf(TwfPayloadReader& in, const BaseType& prototype) const = 0;
    // Runs `action` where nothing can report a failure (destructors): whatever it raises is
    // dropped, and an error the interpreter already held is kept.
    virtual void run_unreported(const std::function<void()>& action) const = 0;
};

const ValueCodec& value_codec();
void set_value_codec(std::unique_ptr<ValueCodec> codec);
// Runs `action` through the installed codec's run_unreported, or directly, dropping failures.
void run_unreported(const std::function<void()>& action);

// ---- Helpers for codecs -----------------------------------------------------------------

// form[key], or StoreError "key '<key>' not found".
const json& field(const json& form, const char* key);
// Typed reads of a field; a value of the wrong kind throws StoreError "Invalid value for key
// '<key>'.".
int64_t integer_field(const json& form, const char* key);
double number_field(const json& form, const char* key);
bool bool_field(const json& form, const char* key);
std::string string_field(const json& form, const char* key);
const json& array_field(const json& form, const char* key);
const json& object_field(const json& form, const char* key);
// A double in a JSON form: a number, or "nan", "inf", "-inf" (JSON has no literal for them).
json real_json(double value);
// Throws StoreError "Invalid value for key '<key>'." for anything else.
double real_value(const json& value, const char* key);

// A point as [x, y] in database units.
json vector_json(const Vector& v);
Vector vector_value(const json& value, const char* key);
Vector vector_field(const json& form, const char* key);

// A JSON form as a tagged twf tree, the payload of types without a dedicated one. A
// reference (binary value whose subtype is a location) is stored as that location.
void append_tree(std::string& out, const json& value);
json read_tree(ByteReader& in);

// Bytes inside JSON forms.
std::string base64_encode(std::string_view bytes);
// Throws StoreError "Invalid base64 data." for text that is not canonical base64.
std::string base64_decode(std::string_view text);

// A referenced planar structure (Rectangle, Circle, Polygon or Path), named "structure" in
// messages.
std::shared_ptr<Structure> load_structure(StoreReader& store, const json& value, bool required = true);
std::shared_ptr<Structure> load_structure(TwfPayloadReader& in, bool required = true);

// A byte string in a JSON form: the text itself when it is valid UTF-8, else
// {"bytes": base64 text}.
json bytes_json(const std::string& bytes);
// Either form back; anything else throws StoreError "Invalid value for key '<key>'.".
std::string bytes_value(const json& value, const char* key);

// Properties as JSON and back.
json properties_to_json(const Properties& properties);
std::shared_ptr<Properties> properties_from_json(const json& value);

}  // namespace whistle
