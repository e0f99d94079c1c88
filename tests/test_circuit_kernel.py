"""The circuit kernel: planning, loop solvers, delay lines, silence and failures.

Bodies are Python callables or compiled steps reached through ctypes; results are checked
against closed forms and against the frequency-domain join of the same S matrices.
"""

import ctypes
import gc
import weakref

import numpy as np
import pytest

import tarnwhistle as tw
from tarnwhistle import extension

Kernel = extension._CircuitKernel

STEP = ctypes.CFUNCTYPE(ctypes.c_int64, ctypes.c_void_p, ctypes.c_void_p, ctypes.c_int64, ctypes.c_bool,
                        ctypes.c_bool, ctypes.c_void_p, ctypes.c_void_p, ctypes.c_void_p)


class Body:
    """A Python instance body y = f(x) that records its calls as (time_index, update_state, shutdown)."""

    def __init__(self, function):
        self.function = function
        self.calls = []

    def __call__(self, inputs, outputs, time_index, update_state, shutdown):
        self.calls.append((time_index, update_state, shutdown))
        outputs[:] = self.function(np.array(inputs))

    def commits(self):
        return [c for c in self.calls if c[1]]


def gain(matrix):
    m = np.asarray(matrix, dtype=complex)
    return Body(lambda x: m @ x)


class Native:
    """A compiled step through ctypes: outputs = matrix @ inputs, returning `code`."""

    def __init__(self, matrix, code=0):
        m = np.asarray(matrix, dtype=complex)
        n = len(m)
        self.calls = 0

        def step(inputs, outputs, time_index, update_state, shutdown, context, state, cstate):
            self.calls += 1
            x = np.frombuffer((ctypes.c_double * (2 * n)).from_address(inputs), dtype=complex)
            y = np.frombuffer((ctypes.c_double * (2 * n)).from_address(outputs), dtype=complex)
            y[:] = m @ x
            return code

        self.function = STEP(step)  # kept alive with the object
        self.entry = (ctypes.cast(self.function, ctypes.c_void_p).value, None, None, None)

    def instance(self, size, paths=None):
        return (None, self.entry, size, paths)


def make(instances, connections=(), externals=(), monitors=(), num_keys=2, max_iterations=20, tolerance=1e-12,
         **options):
    return Kernel(instances, options.pop("mode_factors", ()), connections, externals, monitors, num_keys,
                  tolerance, tolerance, max_iterations, **options)


def run(kernel, samples, update_state=True):
    """Outputs of successive samples for the rows of `samples` (one row per sample)."""
    rows = []
    for k, row in enumerate(samples):
        outputs = np.zeros(kernel.plan["num_keys"], complex)
        kernel.step(np.asarray(row, complex), outputs, k, update_state, k == len(samples) - 1)
        rows.append(outputs)
    return np.array(rows)


def ring(a_body, b_body, delay=0, **options):
    """Two 2-port instances in a ring: key 0 enters instance 0 port 0, key 1 leaves instance 1
    port 1; out 1 of each feeds in 0 of the other... (0.1 -> 1.0, 1.1 -> 0.1)."""
    paths = [(0, 1, delay), (1, 1, delay), (0, 0, delay), (1, 0, delay)]
    return make([(a_body, None, 2, paths), (b_body, None, 2, paths)],
                connections=[(0, 1, 1, 0), (1, 0, 0, 1)], externals=[(0, 0, 0)], monitors=[(1, 1, 1, True)],
                **options)


# Instance 0: out1 = in0 + g0·in1, out0 = 0; instance 1: out0 = g1·in0, out1 = in0.
def forward(g0):
    return [[0, 0], [1, g0]]


def back(g1):
    return [[g1, 0], [1, 0]]


class TestConstruction:
    @pytest.mark.parametrize(
        "change, error, message",
        [
            ({"instances": [5]}, TypeError, "Argument 'instances' must hold (callable, native, size, paths) tuples."),
            ({"instances": [(1, None, 2, None)]}, TypeError,
             "Argument 'instances' must hold (callable, native, size, paths) tuples."),
            ({"instances": [(print, None, 2, 5)]}, TypeError, "Expected a sequence of tuples."),
            ({"instances": [(print, None, 2, [(0, 3, 0)])]}, ValueError, "Invalid path (0, 3, 0) for instance 0."),
            ({"instances": [(print, None, 2, [(0, 1, -1)])]}, ValueError, "Invalid path (0, 1, -1) for instance 0."),
            ({"mode_factors": 5}, TypeError, "Expected a sequence of tuples."),
            ({"mode_factors": [(0, 0)]}, TypeError, "Expected a sequence of tuples."),
            ({"connections": [(0, 0, 5, 0)]}, ValueError, "Instance port (5, 0) out of range."),
            ({"connections": [(0, 2, 0, 0)]}, ValueError, "Instance port (0, 2) out of range."),
            ({"externals": [(0, -1, 0)]}, ValueError, "Instance port (-1, 0) out of range."),
            ({"num_keys": -1}, ValueError, "Argument 'num_keys' cannot be negative."),
            ({"externals": [(3, 0, 0)]}, ValueError, "External index 3 out of range."),
            ({"monitors": [(-1, 0, 0, True)]}, ValueError, "External index -1 out of range."),
            ({"delays": [(0, 0, -1, 0)]}, ValueError, "Delays cannot be negative."),
            ({"delays": [(0, 0, 0, 1, 5)]}, TypeError, "Expected a sequence of tuples."),
            ({"activations": [(0, 0, 5)]}, TypeError, "Activation inputs must be a sequence."),
            ({"activations": [(0, 0, [7])]}, ValueError, "Instance port (0, 7) out of range."),
            ({"directs": [(0, np.zeros((3, 3)))]}, ValueError,
             "Direct matrix of instance 0 must have shape (2, 2) or (4, 4)."),
            ({"stateless": [1.5]}, TypeError, "Expected a sequence of instance indices."),
            ({"stateless": 3}, TypeError, "Expected a sequence of instance indices."),
        ],
    )
    def test_messages(self, change, error, message):
        arguments = {"instances": [(print, None, 2, None)], "mode_factors": (), "connections": (),
                     "externals": (), "monitors": (), "num_keys": 2}
        arguments.update(change)
        options = {k: arguments.pop(k) for k in ("delays", "directs", "activations", "stateless") if k in arguments}
        with pytest.raises(error) as info:
            Kernel(*arguments.values(), 1e-9, 1e-9, 10, **options)
        assert str(info.value) == message

    def test_direct_entry_needs_a_zero_delay_path(self):
        direct = np.full((2, 2), np.nan, complex)
        direct[0, 1] = 0.5
        with pytest.raises(ValueError) as info:
            make([(print, None, 2, [(1, 0, 1), (0, 1, 0)])], directs=[(0, direct)])
        assert str(info.value) == "Instance 0 declares a direct term from input 1 to output 0 without a zero-delay path."
        direct[0, 1] = np.nan
        direct[1, 0] = 0.5
        assert make([(print, None, 2, [(1, 0, 1), (0, 1, 0)])], directs=[(0, direct)]).loops == ()

    def test_failed_construction_leaves_it_uninitialised(self):
        kernel = make([(print, None, 2, None)])
        with pytest.raises(ValueError):
            kernel.__init__([(print, None, 2, None)], (), [(0, 0, 9, 9)], (), (), 2, 0.0, 0.0, 5)
        for use in (lambda: kernel.schedule, lambda: kernel.plan, kernel.reset,
                    lambda: kernel.step(np.zeros(2, complex), np.zeros(2, complex), 0, True, False)):
            with pytest.raises(RuntimeError, match=r"^Uninitialized _CircuitKernel\.$"):
                use()

    def test_step_arguments(self):
        kernel = make([(gain(np.eye(2)), None, 2, None)])
        good = np.zeros(2, complex)
        with pytest.raises(TypeError, match=r"^step\(\) takes exactly 5 arguments\.$"):
            kernel.step(good, good, 0, True)
        with pytest.raises(TypeError, match=r"^step\(\) takes exactly 5 arguments\.$"):
            kernel.step(good, good, 0, True, False, shutdown=True)
        cases = [
            ([0, 0], "Argument 'inputs' must be a numpy array."),
            (np.zeros(3, complex), r"Array 'inputs' size \(3\) must match the number of keys \(2\)."),
            (np.zeros(2), r"Array 'inputs' must be complex \(np.complex128\). Use array.astype\(complex\)."),
            (np.zeros((2, 1), complex), "Array 'inputs' must be 1-dimensional."),
            (np.zeros(4, complex)[::2], "Array 'inputs' must be contiguous."),
        ]
        for bad, message in cases:
            with pytest.raises((TypeError, ValueError), match=f"^{message}$"):
                kernel.step(bad, good, 0, True, False)
        with pytest.raises(ValueError, match=r"^Array 'outputs' size \(1\) must match the number of keys \(2\)\.$"):
            kernel.step(good, np.zeros(1, complex), 0, True, False)

    def test_plan_keys(self):
        kernel = ring(gain(forward(0.5)), gain(back(0.5)), directs=[(0, forward(0.5)), (1, back(0.5))])
        plan = kernel.plan
        assert set(plan) == {"version", "num_keys", "max_iterations", "abs_tolerance", "rel_tolerance", "fuse",
                             "instances", "units", "schedule", "commit_pass", "members", "plain",
                             "line_propagate", "externals", "monitors"}
        assert plan["version"] == 1 and plan["num_keys"] == 2 and plan["max_iterations"] == 20
        for table in plan["instances"]:
            assert set(table) >= {"size", "native", "mode_factors", "input_delays", "output_delays", "connections",
                                  "paths", "silent", "direct", "stateless", "body_direct", "commit_pass"}
        assert plan["instances"][1]["connections"] == [(0, 0, 1)]
        np.testing.assert_array_equal(plan["instances"][0]["direct"], [[0, 0, 0, 0], [0, 0, 0, 0],
                                                                       [1, 0, 0.5, 0], [0, 1, 0, 0.5]])
        (loop,) = [u for u in plan["units"] if u["kind"] == "loop"]
        assert set(loop) >= {"loop", "members", "member_units", "commit_unit", "affine", "predictable", "entries",
                             "use_sparse"}
        assert loop["affine"] and loop["predictable"] and not loop["use_sparse"]
        assert [plan["schedule"][k] for k in loop["member_units"]] == [(0, False, True), (1, False, True)]
        assert plan["schedule"][loop["commit_unit"]] == (0, True, True)
        # Loop gain: dy/dx of each variable through the other instance's direct term.
        assert sorted((r, c) for r, c, _ in loop["entries"]) == [(0, 1), (1, 0)]


class TestFlowAndLoops:
    def test_ring_of_one_sample_paths_has_no_loop(self):
        a, b = gain(forward(0.5)), gain(back(0.5))
        kernel = ring(a, b, delay=1)
        assert kernel.loops == ()
        assert kernel.schedule == ((0, True, False), (1, True, False))
        run(kernel, [[1, 0]] * 3)
        assert len(a.calls) == len(b.calls) == 3 and kernel.evaluations == 6

    def test_affine_ring_is_linear_and_solved_exactly(self):
        g0, g1 = 0.5, -0.8j
        a, b = gain(forward(g0)), gain(back(g1))
        kernel = ring(a, b, directs=[(0, forward(g0)), (1, back(g1))])
        assert kernel.loops == (((0, 1), "linear"),)
        out = run(kernel, [[1, 0], [2j, 0]])
        # x = u + g0·g1·x at instance 0's output; key 1 carries x.
        np.testing.assert_allclose(out[:, 1], np.array([1, 2j]) / (1 - g0 * g1), rtol=1e-14)
        # One evaluation pass and one committing pass per sample.
        assert [c[1] for c in a.calls] == [False, True, False, True]
        assert a.calls[-1] == (1, True, True) and a.calls[-2] == (1, False, False)
        assert kernel.inconsistent is None and kernel.unconverged is None

    def test_unit_loop_gain_has_no_solution(self):
        with pytest.raises(ValueError) as info:
            ring(gain(forward(1)), gain(back(1)), directs=[(0, forward(1)), (1, back(1))])
        assert str(info.value) == "Zero-delay loop through instances 0, 1 has unit gain and no solution."

    def test_one_iteration_lags_the_loop(self):
        g0, g1 = 0.5, 0.25
        a, b = gain(forward(g0)), gain(back(g1))
        kernel = ring(a, b, max_iterations=1, directs=[(0, forward(g0)), (1, back(g1))])
        assert kernel.loops == (((0, 1), "lagged"),)
        assert kernel.schedule == ((0, True, True), (1, True, True))
        out = run(kernel, [[1, 0]] * 6)
        assert len(a.calls) == len(b.calls) == 6
        # Every loop edge carries the value of the previous sample: instance 0 emits
        # x_k = 1 + g0·g1·x_(k-2), and key 1 (instance 1 passing on what it received) shows x_(k-1).
        x = []
        for k in range(6):
            x.append(1 + g0 * g1 * (x[k - 2] if k >= 2 else 0))
        np.testing.assert_allclose(out[:, 1].real, [0] + x[:-1], rtol=1e-15)

    def test_newton_reaches_the_closed_form_fixed_point(self):
        c, k = 0.2 + 0.1j, 0.5
        a = Body(lambda x: np.array([0, x[0] + x[1]]))
        b = Body(lambda x: np.array([k * x[0] ** 2, x[0]]))
        kernel = ring(a, b)
        assert kernel.loops == (((0, 1), "newton"),)
        out = run(kernel, [[c, 0], [c, 0]])
        expected = (1 - np.sqrt(1 - 4 * k * c)) / (2 * k)
        np.testing.assert_allclose(out[:, 1], [expected, expected], rtol=1e-10)
        assert kernel.unconverged is None
        # The second sample starts from the committed solution: one evaluation pass, then commit.
        second = [call for call in a.calls if call[0] == 1]
        assert second == [(1, False, False), (1, True, True)]

    def test_unconverged_loop_is_recorded_not_raised(self):
        a = Body(lambda x: np.array([0, x[0] + x[1]]))
        b = Body(lambda x: np.array([0.5 * x[0] ** 2, x[0]]))
        kernel = ring(a, b, max_iterations=2, tolerance=0.0)
        run(kernel, [[0.2, 0]])
        assert kernel.unconverged == (0, 1)
        assert kernel.failure is None
        kernel.reset()
        assert kernel.unconverged is None and kernel.evaluations == 0

    @pytest.mark.parametrize(
        "function, message, code",
        [
            (lambda x: np.array([x[0], x[0]]), "has a singular jacobian.", -1),
            (lambda x: np.array([np.inf, x[0]]), "is not finite.", -2),
        ],
    )
    def test_newton_failures(self, function, message, code):
        kernel = ring(Body(lambda x: np.array([0, x[0] + x[1]])), Body(function))
        with pytest.raises(RuntimeError) as info:
            run(kernel, [[1, 0]])
        text = "Newton update of the zero-delay loop through instances 0, 1 " + message
        assert str(info.value) == text
        assert kernel.failure == (None, code)
        assert kernel.failure_message == text

    def test_flow_order_follows_zero_delay_edges(self):
        # A chain declared backwards: 2 -> 1 -> 0 within the sample.
        bodies = [gain([[2]]), gain([[3]]), gain([[5]])]
        kernel = make([(body, None, 1, None) for body in bodies], connections=[(2, 0, 1, 0), (1, 0, 0, 0)],
                      externals=[(0, 2, 0)], monitors=[(1, 0, 0, True)])
        assert [entry[0] for entry in kernel.schedule] == [2, 1, 0]
        np.testing.assert_allclose(run(kernel, [[1, 0]])[0], [0, 30])

    def test_sources_come_first_across_delayed_paths(self):
        # The same backward chain over one-sample paths: no zero-delay edge, yet each instance
        # reads what its source emits in the same sample.
        bodies = [gain([[2]]), gain([[3]]), gain([[5]])]
        kernel = make([(body, None, 1, [(0, 0, 1)]) for body in bodies], connections=[(2, 0, 1, 0), (1, 0, 0, 0)],
                      externals=[(0, 2, 0)], monitors=[(1, 0, 0, True)])
        assert [entry[0] for entry in kernel.schedule] == [2, 1, 0]
        assert kernel.path_delays == {(0, 1): 3}
        np.testing.assert_allclose(run(kernel, [[1, 0]])[0], [0, 30])

    def test_reader_before_an_output_line_sees_the_current_sample(self):
        # Instance 1 feeds instance 0 through a two-sample output line; instance 0 goes first.
        first, second = gain([[1]]), gain([[1]])
        kernel = make([(first, None, 1, None), (second, None, 1, None)], connections=[(1, 0, 0, 0), (0, 0, 1, 0)],
                      externals=[(0, 0, 0)], monitors=[(1, 0, 0, True)], delays=[(1, 0, 0, 2)], max_iterations=1)
        assert kernel.loops == () and kernel.path_delays == {(0, 1): 0}
        samples = np.zeros((6, 2))
        samples[0, 0] = 1
        # The input returns around the ring every two samples.
        np.testing.assert_allclose(run(kernel, samples)[:, 1], [1, 0, 1, 0, 1, 0])

    def test_outputs_may_be_the_inputs_array(self):
        kernel = make([(gain([[2]]), None, 1, None)], externals=[(0, 0, 0)],
                      monitors=[(1, 0, 0, True), (0, 0, 0, False)])
        values = np.array([3, 7], complex)
        kernel.step(values, values, 0, True, False)
        np.testing.assert_array_equal(values, [3, 6])

    def test_mode_factors_scale_what_enters_the_body(self):
        body = gain([[1]])
        kernel = make([(body, None, 1, None)], externals=[(0, 0, 0)], monitors=[(1, 0, 0, True), (0, 0, 0, False)],
                      mode_factors=[(0, 0, 2j)])
        np.testing.assert_allclose(run(kernel, [[3, 0]])[0], [3, 6j])


class TestAgainstFrequencyDomain:
    """A zero-delay ring of memoryless S-matrix instances settles on the joined S matrix."""

    def scattering(self, seed):
        rng = np.random.default_rng(seed)
        return [0.3 * (rng.normal(size=(3, 3)) + 1j * rng.normal(size=(3, 3))) for _ in range(3)]

    def joined(self, matrices):
        names = ["A@0", "B@0", "C@0"]
        s_dict = {((k, a), (k, b)): [m[j, i]] for k, m in enumerate(matrices)
                  for i, a in enumerate(names) for j, b in enumerate(names)}
        # Port B of each instance meets port C of the next one.
        connections = [((k, "B", 1), ((k + 1) % 3, "C", 1)) for k in range(3)]
        return extension._connect_s_matrices(s_dict, connections, 3)

    @pytest.mark.parametrize("known, solver", [((0, 1, 2), "linear"), ((), "newton"), ((1,), "newton")],
                             ids=["linear", "newton", "partly-known"])
    def test_steady_state_matches_the_join(self, known, solver):
        matrices = self.scattering(3)
        connections = []
        for k in range(3):
            connections += [(k, 1, (k + 1) % 3, 2), ((k + 1) % 3, 2, k, 1)]
        kernel = make([(gain(m), None, 3, None) for m in matrices], connections=connections,
                      externals=[(k, k, 0) for k in range(3)], monitors=[(3 + k, k, 0, True) for k in range(3)],
                      num_keys=6, directs=[(k, matrices[k]) for k in known])
        assert kernel.loops == (((0, 1, 2), solver),)
        joined = self.joined(matrices)
        for source in range(3):
            inputs = np.zeros(6, complex)
            inputs[source] = 1
            out = run(kernel, [inputs])[0]
            for target in range(3):
                expected = joined.get(((source, "A@0"), (target, "A@0")), [0])[0]
                assert out[3 + target] == pytest.approx(expected, abs=1e-9)
        assert kernel.unconverged is None and kernel.inconsistent is None


class TestDelaysAndSilence:
    def test_delay_lines_and_path_delays(self):
        body = Body(lambda x: x[::-1])  # port 0 <-> port 1
        kernel = make([(body, None, 2, [(0, 1, 1), (1, 0, 0)])], externals=[(0, 0, 0), (1, 0, 1)],
                      monitors=[(2, 0, 1, True), (3, 0, 0, True)], num_keys=4, delays=[(0, 0, 2, 0), (0, 1, 0, 3)])
        # Declared path delay plus the input line of port 0 and the output line of port 1.
        assert kernel.path_delays == {(0, 2): 1 + 2 + 3, (1, 3): 0}
        samples = np.zeros((8, 4), complex)
        samples[0, :2] = [1, 2j]
        out = run(kernel, samples)
        # The body itself swaps at once, so only the two lines delay key 0.
        assert np.flatnonzero(out[:, 2]).tolist() == [5] and out[5, 2] == 1
        assert np.flatnonzero(out[:, 3]).tolist() == [0] and out[0, 3] == 2j

    def test_update_state_false_changes_nothing(self):
        body = Body(lambda x: x)
        kernel = make([(body, None, 1, None)], externals=[(0, 0, 0)], monitors=[(1, 0, 0, True)],
                      delays=[(0, 0, 1, 0)])
        run(kernel, [[5, 0]], update_state=False)
        assert run(kernel, [[0, 0]])[0, 1] == 0
        assert run(kernel, [[0, 0]])[0, 1] == 0
        assert body.calls[0] == (0, False, True)  # shutdown still reaches the last call

    def test_activation_without_inputs_is_silent(self):
        a, b = gain(np.eye(2)), gain(np.eye(2))
        kernel = make([(a, None, 2, None), (b, None, 2, None)], connections=[(0, 1, 1, 0)],
                      externals=[(0, 0, 0)], monitors=[(1, 0, 0, True), (2, 1, 0, False), (3, 1, 1, True)],
                      num_keys=4, activations=[(0, 1, []), (0, 0, [0]), (1, 1, [0])])
        assert kernel.silent_outputs == (2, 3)
        assert kernel.activated_by == {1: (0,), 2: (), 3: ()}
        assert kernel.plan["instances"][0]["silent"] == [False, True]
        out = run(kernel, [[1, 0, 0, 0]])[0]
        np.testing.assert_array_equal(out, [0, 1, 0, 0])

    def test_fully_silent_instance_is_not_called(self):
        body = gain([[1]])
        kernel = make([(body, None, 1, None)], monitors=[(0, 0, 0, True)], num_keys=1, activations=[(0, 0, ())])
        assert kernel.schedule == ()
        run(kernel, [[0]])
        assert body.calls == [] and kernel.silent_outputs == (0,)

    def test_reset_reproduces_a_run_bit_for_bit(self):
        state = {"sum": 0j}

        def accumulate(x):
            return np.array([x[0] + state["sum"], np.tanh(x[1])])

        def body(inputs, outputs, time_index, update_state, shutdown):
            outputs[:] = accumulate(inputs)
            if update_state:
                state["sum"] += inputs[0]

        kernel = make([(body, None, 2, None), (Body(lambda x: 0.5 * x), None, 1, None)],
                      connections=[(0, 1, 1, 0), (1, 0, 0, 1)], externals=[(0, 0, 0)],
                      monitors=[(1, 0, 1, True)], delays=[(0, 0, 1, 1)], tolerance=1e-13)
        samples = np.random.default_rng(1).normal(size=(8, 2)) * [1, 0]
        first = run(kernel, samples)
        evaluations = kernel.evaluations
        kernel.reset()
        state["sum"] = 0j
        second = run(kernel, samples)
        np.testing.assert_array_equal(first, second)
        assert kernel.evaluations == evaluations


class TestNative:
    def test_fused_chain_and_applied_instances(self):
        scale = Native([[2]])
        twist = Native([[0, 1j], [1, 0]])
        kernel = make([scale.instance(1), twist.instance(2), scale.instance(1)],
                      connections=[(0, 0, 1, 0), (1, 1, 2, 0)], externals=[(0, 0, 0)],
                      monitors=[(1, 2, 0, True)], directs=[(1, [[0, 1j], [1, 0]])], stateless=[1])
        assert kernel.runs == ((0, 1, 2),)
        assert kernel.applied == (1,)
        assert kernel.plan["members"] == [0, 1, 2] and kernel.plan["plain"] == []
        out = run(kernel, [[1, 0]])[0]
        assert out[1] == 4
        assert scale.calls == 2  # the applied instance is not called
        unfused = make([scale.instance(1), twist.instance(2), scale.instance(1)],
                       connections=[(0, 0, 1, 0), (1, 1, 2, 0)], externals=[(0, 0, 0)],
                       monitors=[(1, 2, 0, True)], fuse=False)
        assert unfused.runs == () and unfused.applied == ()
        np.testing.assert_array_equal(run(unfused, [[1, 0]])[0], out)
        assert twist.calls == 1

    def test_native_failure(self):
        kernel = make([(gain([[1]]), None, 1, None), Native([[1]], code=7).instance(1)],
                      connections=[(0, 0, 1, 0)], externals=[(0, 0, 0)], monitors=[(1, 1, 0, True)])
        with pytest.raises(RuntimeError) as info:
            run(kernel, [[1, 0]])
        assert str(info.value) == "Native step of instance 1 failed with code 7."
        assert kernel.failure == (1, 7)

    def test_whole_circuit_native_step(self):
        kernel = make([Native([[3j]]).instance(1)], externals=[(0, 0, 0)], monitors=[(1, 0, 0, True)])
        assert make([(gain([[1]]), None, 1, None)])._native_step is None
        outputs = np.zeros(2, complex)
        extension._native_step_call(kernel._native_step, 2, np.array([2, 0], complex), outputs, 0, True, False)
        np.testing.assert_array_equal(outputs, [0, 6j])

    def test_lying_direct_term_is_inconsistent(self):
        a, b = Native(forward(0.5)), Native(back(0.5))
        paths = [(0, 1, 0), (1, 1, 0), (0, 0, 0), (1, 0, 0)]
        kernel = make([a.instance(2, paths), b.instance(2, paths)], connections=[(0, 1, 1, 0), (1, 0, 0, 1)],
                      externals=[(0, 0, 0)], monitors=[(1, 1, 1, True)], directs=[(0, forward(0.5)), (1, back(0.25))])
        run(kernel, [[1, 0], [1, 0]])
        assert kernel.inconsistent is not None
        kernel.reset()
        assert kernel.inconsistent is None


    @pytest.mark.parametrize("declared, inconsistent", [(2, None), (3, 0)])
    def test_stateless_body_is_checked_against_its_direct_term(self, declared, inconsistent):
        kernel = make([(gain([[2]]), None, 1, None)], externals=[(0, 0, 0)], monitors=[(1, 0, 0, True)],
                      directs=[(0, [[declared]])], stateless=[0])
        np.testing.assert_array_equal(run(kernel, [[1j, 0]])[0], [0, 2j])
        assert kernel.inconsistent == inconsistent


class TestInterpreterBodies:
    def test_cycle_through_a_body_is_collected(self):
        class Circuit:
            def step(self, inputs, outputs, time_index, update_state, shutdown):
                outputs[:] = inputs

        circuit = Circuit()
        circuit.kernel = make([(circuit.step, None, 1, None)])
        alive = weakref.ref(circuit)
        del circuit
        gc.collect()
        assert alive() is None

    def test_body_exception_comes_through(self):
        def failing(inputs, outputs, time_index, update_state, shutdown):
            raise ArithmeticError("raised by the body")

        kernel = make([(failing, None, 1, None)], externals=[(0, 0, 0)], monitors=[(1, 0, 0, True)])
        with pytest.raises(ArithmeticError, match="^raised by the body$"):
            run(kernel, [[1, 0]])

    def test_body_that_reinitialises_the_kernel(self):
        kernel = None

        def body(inputs, outputs, time_index, update_state, shutdown):
            outputs[:] = 2 * inputs
            kernel.__init__([(print, None, 1, None)], (), (), (), (), 3, 0.0, 0.0, 1)

        kernel = make([(body, None, 1, None)], externals=[(0, 0, 0)], monitors=[(1, 0, 0, True)])
        outputs = np.zeros(2, complex)
        kernel.step(np.array([1, 0], complex), outputs, 0, True, False)
        np.testing.assert_array_equal(outputs, [0, 2])  # the step finished on the kernel it started with
        assert kernel.plan["num_keys"] == 3


class TestLargeLoops:
    """A one-way ring of many scalar gains: the value entering instance 0 is u / (1 - product of gains)."""

    @pytest.mark.parametrize("directs, solver", [(True, "linear"), (False, "newton")])
    def test_sparse_factorisation(self, directs, solver):
        count = 40
        gains = 0.97 * np.exp(1j * np.linspace(0, 2, count))
        kernel = make([(gain([[g]]), None, 1, None) for g in gains],
                      connections=[(k, 0, (k + 1) % count, 0) for k in range(count)], externals=[(0, 0, 0)],
                      monitors=[(1, 0, 0, False)], directs=[(k, [[g]]) for k, g in enumerate(gains)] if directs else None)
        (loop,) = [u for u in kernel.plan["units"] if u["kind"] == "loop"]
        assert loop["solver"] == solver and loop["use_sparse"]
        out = run(kernel, [[1 + 1j, 0]])[0]
        assert out[1] == pytest.approx((1 + 1j) / (1 - np.prod(gains)), rel=1e-9)


class TestTimeDomainModels:
    """Pole-residue models stepped through their compiled entries inside a kernel."""

    KEYS = ("P0@0", "P1@0")
    TIME_STEP = 1e-12

    def two_port(self, pole, transmission, reflection):
        """One pole shared by all four elements, with a constant term on each."""
        elements = {(a, b): [transmission if a != b else reflection, 0.2 if a != b else -0.1]
                    for a in self.KEYS for b in self.KEYS}
        return tw.PoleResidueMatrix([pole], elements)

    def instance(self, model):
        paths = [(self.KEYS.index(i), self.KEYS.index(o), d) for (i, o), d in model.path_delays.items()]
        return (model.step_single, model._native_step, 2, paths)

    def test_zero_delay_ring_settles_on_the_joined_s_matrix(self):
        matrices = [self.two_port(-2e11 + 5e11j, 1.5e11, 0.6e11), self.two_port(-3e11, 2e11, 0.9e11)]
        models = [tw.TimeDomainModel(m, self.TIME_STEP) for m in matrices]
        # External wave into port 0 of the first; port 1 of the first meets port 0 of the second.
        kernel = make([self.instance(m) for m in models], connections=[(0, 1, 1, 0), (1, 0, 0, 1)],
                      externals=[(0, 0, 0)], monitors=[(1, 1, 1, True), (2, 0, 0, True)], num_keys=3)
        assert kernel.loops == (((0, 1), "newton"),)
        frequency = 5e9
        times = np.arange(4000)
        drive = np.exp(-2j * np.pi * frequency * self.TIME_STEP * times)
        out = run(kernel, np.column_stack([drive, np.zeros((len(times), 2))]))
        assert kernel.unconverged is None

        s_dict = {}
        for k, matrix in enumerate(matrices):
            for (a, b), values in matrix([frequency]).elements.items():
                s_dict[(k, a), (k, b)] = values
        joined = extension._connect_s_matrices(s_dict, [((0, "P1", 1), (1, "P0", 1))], 2)
        transmitted = joined[(0, "P0@0"), (1, "P1@0")][0]
        reflected = joined[(0, "P0@0"), (0, "P0@0")][0]
        # Piecewise-linear inputs make the discrete response exact to second order in ωΔt (here 0.03).
        assert out[-1, 1] / drive[-1] == pytest.approx(transmitted, rel=5e-4)
        assert out[-1, 2] / drive[-1] == pytest.approx(reflected, rel=5e-4)

    def test_chain_matches_models_stepped_one_after_another(self):
        models = [tw.TimeDomainModel(self.two_port(-1e11 * (k + 1), 1e11, 0.0), self.TIME_STEP) for k in range(4)]
        # Only the forward wave is connected, so the chain is feed-forward and fused.
        kernel = make([self.instance(m) for m in models], connections=[(k, 1, k + 1, 0) for k in range(3)],
                      externals=[(0, 0, 0)], monitors=[(1, 3, 1, True)])
        assert kernel.loops == () and kernel.runs == ((0, 1, 2, 3),) and kernel._native_step is not None
        drive = np.random.default_rng(5).normal(size=300) + 0j
        circuit = run(kernel, np.column_stack([drive, np.zeros(300)]))[:, 1]

        # The whole-circuit entry bound to a stepper gives the same samples.
        class Circuit(tw.TimeStepper):
            keys = ("in", "out")

        stepper = Circuit()
        for m in models:
            m.reset()
        kernel.reset()
        stepper.bind_native(kernel._native_step[0], Circuit.keys, context=kernel._native_step[1])
        bound = stepper.step(tw.TimeSeries({"in": drive}, self.TIME_STEP), show_progress=False)["out"]
        np.testing.assert_array_equal(bound, circuit)

        for m in models:
            m.reset()
        signal = tw.TimeSeries({"P0@0": drive}, self.TIME_STEP)
        for m in models:
            signal = tw.TimeSeries({"P0@0": m.step(signal, show_progress=False)["P1@0"]}, self.TIME_STEP)
        np.testing.assert_allclose(circuit, signal["P0@0"], rtol=1e-13, atol=1e-15)

    def test_kernel_keeps_the_model_behind_a_compiled_entry_alive(self):
        model = tw.TimeDomainModel(self.two_port(-1e11, 1e11, 0.0), self.TIME_STEP)
        kernel = make([self.instance(model)], externals=[(0, 0, 0)], monitors=[(1, 0, 1, True)])
        expected = model.step(tw.TimeSeries({"P0@0": [1, 2, 3]}, self.TIME_STEP), show_progress=False)["P1@0"]
        model.reset()
        del model  # the entry's context points into it: the sanitizer run would catch a freed model
        gc.collect()
        np.testing.assert_array_equal(run(kernel, [[1, 0], [2, 0], [3, 0]])[:, 1], expected)
