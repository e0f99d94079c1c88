"""Touchstone files and chains of connected S matrices, side by side with scikit-rf.

1. Write and read a 4-port Touchstone file of 10,000 frequencies: `SMatrix.write_snp` /
   `SMatrix.load_snp` against `Network.write_touchstone` / `Network(file)`.
2. Connect a chain of 1,000 random 2-port S matrices: one `_connect_s_matrices` call with 999
   connections against a loop of pairwise joins in scikit-rf.
3. A 1,000-sample random variation of a small component with an analytic model: the module
   `s_matrix` against a hand-written loop that updates the model with a drawn value and calls
   it (goal: driver overhead per sample of 10 % or less).
4. Fit 20 poles to a 2-port of 1,000 frequencies (scikit-rf's ring slot, interpolated):
   `pole_residue_fit` against `VectorFitting.vector_fit` (goals: time 0.5 or less, RMS error no
   worse), then passivity enforcement of the fit (time and RMS change).
5. Convert a 16-port S matrix of 10,000 frequencies to a Z matrix and back: `s_to_z_matrix` and
   `z_to_s_matrix` against `s2z` and `z2s` (goal: 0.2 or less).

6. Step a 20-instance circuit for 1,000,000 samples: a chain of 4-pole `TimeDomainModel`s
   joined by a `_CircuitKernel`, whose whole-circuit compiled step is bound to a `TimeStepper`,
   driven by PRBS7. Reported in samples per second, against the same recursion written as a
   numpy loop over samples (on 20,000 samples: what a stepper in Python costs) and as
   `scipy.signal.lfilter` per pole over the whole series (possible only because the chain is
   feed-forward). Both must give our outputs to rounding.

Each time is the best of a few runs; the ratio is ours over the peer's (goal: 0.1 or less unless
stated).

Run: PYTHONPATH=<build>/python python benchmarks/bench_circuit.py
"""

import os
import tempfile
import time

import numpy as np
import skrf
from scipy import signal

from skrf.vectorFitting import VectorFitting

import tarnwhistle as tw
from tarnwhistle import extension

PORTS = 4
FREQUENCIES = 10_000
CHAIN = 1_000
CHAIN_FREQUENCIES = 10
REPEATS = 3
STEPPED_INSTANCES = 20
STEPPED_SAMPLES = 1_000_000
LOOP_SAMPLES = 20_000
SAMPLES_PER_BIT = 8
TIME_STEP = 1 / (25e9 * SAMPLES_PER_BIT)
TWO_PI = 2 * np.pi
PORT_MODES = ("P0@0", "P1@0")


def best_time(function):
    best = float("inf")
    for _ in range(REPEATS):
        start = time.perf_counter()
        function()
        best = min(best, time.perf_counter() - start)
    return best


def report(name, ours, theirs):
    print(f"{name:<24} ours {ours * 1e3:9.2f} ms   scikit-rf {theirs * 1e3:9.2f} ms   ratio {ours / theirs:6.3f}")


def bench_touchstone(folder):
    rng = np.random.default_rng(1)
    frequencies = np.linspace(1e9, 100e9, FREQUENCIES)
    s = rng.normal(size=(FREQUENCIES, PORTS, PORTS)) + 1j * rng.normal(size=(FREQUENCIES, PORTS, PORTS))
    names = [f"P{k}@0" for k in range(PORTS)]
    ours = tw.SMatrix(frequencies, {(a, b): s[:, j, i] for i, a in enumerate(names) for j, b in enumerate(names)})
    network = skrf.Network(frequency=skrf.Frequency.from_f(frequencies, unit="hz"), s=s)
    our_path = os.path.join(folder, "ours.s4p")
    their_base = os.path.join(folder, "theirs")
    report("write 4-port Touchstone", best_time(lambda: ours.write_snp(our_path)),
           best_time(lambda: network.write_touchstone(their_base)))
    report("read 4-port Touchstone", best_time(lambda: tw.SMatrix.load_snp(our_path)),
           best_time(lambda: skrf.Network(their_base + ".s4p")))


def bench_chain():
    rng = np.random.default_rng(2)
    shape = (CHAIN, CHAIN_FREQUENCIES, 2, 2)
    # Small reflections and nearly lossless transmissions keep the chain's through term finite.
    blocks = 0.05 * (rng.normal(size=shape) + 1j * rng.normal(size=shape))
    phases = np.exp(1j * rng.uniform(0, 2 * np.pi, size=(CHAIN, CHAIN_FREQUENCIES)))
    blocks[:, :, 0, 1] += 0.99 * phases
    blocks[:, :, 1, 0] += 0.99 * phases
    elements = {}
    for k, block in enumerate(blocks):
        for i, a in enumerate(("A@0", "B@0")):
            for j, b in enumerate(("A@0", "B@0")):
                elements[((k, a), (k, b))] = block[:, j, i]
    connections = [((k, "B", 1), (k + 1, "A", 1)) for k in range(CHAIN - 1)]
    frequency = skrf.Frequency(1, CHAIN_FREQUENCIES, CHAIN_FREQUENCIES, unit="ghz")
    networks = [skrf.Network(frequency=frequency, s=block) for block in blocks]

    def theirs():
        chain = networks[0]
        for network in networks[1:]:
            chain = skrf.network.connect(chain, 1, network, 0)
        return chain

    ours = extension._connect_s_matrices(elements, connections, CHAIN)
    reference = theirs().s
    through = ours[((0, "A@0"), (CHAIN - 1, "B@0"))]
    error = np.abs(through - reference[:, 1, 0]).max() / np.abs(reference[:, 1, 0]).max()
    print(f"chain agreement: relative difference {error:.1e}")
    report("chain of 1,000 2-ports", best_time(lambda: extension._connect_s_matrices(elements, connections, CHAIN)),
           best_time(theirs))


class Analytic(tw.Model):
    """A 2-port whose transmission phase grows with a width over 200 frequencies."""

    def __init__(self, width=0.5):
        super().__init__(width=width)
        self.width = width

    def start(self, component, frequencies, **kwargs):
        t = np.exp(-2j * np.pi * self.width * np.asarray(frequencies) / 1e14)
        return tw.SMatrix(frequencies, {("P0@0", "P1@0"): t, ("P1@0", "P0@0"): t})


def bench_variation():
    samples = 1_000
    frequencies = np.linspace(1.8e14, 2.0e14, 200)
    component = tw.Component("small", tw.basic_technology())
    model = Analytic()
    component.add_model(model, "analytic")
    rng = np.random.default_rng(3)

    def driver():
        return tw.s_matrix(component, frequencies, ("width", "model", {"value": 0.5, "stdev": 0.01}),
                           random_samples=samples, random_seed=1, show_progress=False)

    def by_hand():
        results = []
        for width in rng.normal(0.5, 0.01, samples):
            model.update(width=width)
            results.append(model.start(component, frequencies))
        model.update(width=0.5)
        return results

    def model_alone():
        return [model.start(component, frequencies) for _ in range(samples)]

    ours, loop, alone = best_time(driver), best_time(by_hand), best_time(model_alone)
    print(f"variation of {samples:,} samples: {samples / ours:9.0f} samples/s   driver {ours / samples * 1e6:7.1f} us"
          f"   loop {loop / samples * 1e6:7.1f} us   model alone {alone / samples * 1e6:7.1f} us per sample")
    print(f"driver overhead per sample: {(ours - loop) / loop * 100:+.1f} % against the loop, "
          f"{(ours - alone) / alone * 100:+.1f} % against the model alone")


def bench_fit():
    network = skrf.data.ring_slot.interpolate(skrf.Frequency(75, 110, 1000, unit="ghz"), kind="cubic")
    n = network.nports
    keys = [(f"P{j}@0", f"P{i}@0") for i in range(n) for j in range(n)]
    # scikit-rf works in the exp(+jωt) convention: its data conjugated is causal here.
    data = tw.SMatrix(network.f, {key: network.s[:, int(key[1][1]), int(key[0][1])].conj() for key in keys})

    def theirs():
        vf = VectorFitting(network)
        vf.vector_fit(n_poles_real=0, n_poles_cmplx=10)
        return vf

    def ours():
        return tw.pole_residue_fit(data, min_poles=20, max_poles=20, real=True, feedthrough=True, passive=False,
                                   rms_error_tolerance=0, silence_warnings=True)

    vf = theirs()
    their_rms = np.sqrt(np.mean([np.abs(vf.get_model_response(i, j, network.f) - network.s[:, i, j]) ** 2
                                 for i in range(n) for j in range(n)]))
    model, our_rms = ours()
    report("fit 2-port, 20 poles", best_time(ours), best_time(theirs))
    print(f"fit RMS error: ours {our_rms:.3e}   scikit-rf {their_rms:.3e}   ratio {our_rms / their_rms:6.3f}")

    fitted = model(network.f)
    copies = [model.copy() for _ in range(REPEATS)]
    start_passive = copies[0].is_passive()
    elapsed = best_time(lambda: copies.pop().enforce_passivity(network.f, real=True, feedthrough=True))
    model.enforce_passivity(network.f, real=True, feedthrough=True)
    print(f"passivity enforcement: passive before {start_passive}, after {model.is_passive()}, "
          f"{elapsed * 1e3:.2f} ms, RMS change {model.get_rms_error(fitted):.3e}, "
          f"RMS error to the data {model.get_rms_error(data):.3e}")
def bench_terminal_conversion():
    rng = np.random.default_rng(3)
    ports = 16
    frequencies = np.linspace(1e9, 100e9, FREQUENCIES)
    s = 0.2 * (rng.normal(size=(FREQUENCIES, ports, ports)) + 1j * rng.normal(size=(FREQUENCIES, ports, ports)))
    names = [f"P{k}" for k in range(ports)]
    ours = tw.SMatrix(frequencies, {(a + "@0", b + "@0"): s[:, j, i]
                                    for i, a in enumerate(names) for j, b in enumerate(names)})
    z0 = np.full(ports, 50.0)

    def theirs():
        return skrf.network.z2s(skrf.network.s2z(s, z0), z0)

    back = tw.z_to_s_matrix(tw.s_to_z_matrix(ours))
    error = max(np.abs(back[a + "@0", b + "@0"] - s[:, j, i]).max()
                for i, a in enumerate(names) for j, b in enumerate(names))
    print(f"S to Z to S round trip: largest difference {error:.1e}")
    report("16-port S to Z to S", best_time(lambda: tw.z_to_s_matrix(tw.s_to_z_matrix(ours))), best_time(theirs))


def low_pass_models():
    """Time-domain models of 4-pole low-pass sections with slightly different bandwidths."""
    result = []
    for k in range(STEPPED_INSTANCES):
        zeros, poles, gain = signal.butter(4, TWO_PI * (40e9 + 1e9 * k), analog=True, output="zpk")
        residues = gain / np.array([np.prod(np.delete(p - poles, j)) for j, p in enumerate(poles)])
        transmission = list(residues) + [0.0]
        matrix = tw.PoleResidueMatrix(poles, {PORT_MODES: transmission, PORT_MODES[::-1]: transmission})
        result.append(tw.TimeDomainModel(matrix, TIME_STEP))
    return result


class Circuit(tw.TimeStepper):
    """Steps a kernel through its whole-circuit compiled entry."""

    def __init__(self, kernel):
        super().__init__()
        self.kernel = kernel  # owns the bodies the entry points into
        address, context, _, _ = kernel._native_step
        self.bind_native(address, ("in", "out"), context=context)

    @property
    def keys(self):
        return ("in", "out")


def kernel(steppers):
    instances = [(m.step_single, m._native_step, 2, [(PORT_MODES.index(i), PORT_MODES.index(o), d)
                                                      for (i, o), d in m.path_delays.items()])
                 for m in steppers]
    connections = [(k, 1, k + 1, 0) for k in range(STEPPED_INSTANCES - 1)]
    return extension._CircuitKernel(instances, [], connections, [(0, 0, 0)], [(1, STEPPED_INSTANCES - 1, 1, True)],
                                    2, 1e-12, 1e-9, 20)


def drive(count):
    state, bits = 0x7F, np.empty(count // SAMPLES_PER_BIT + 1)
    for k in range(len(bits)):
        state = extension._prbs7(state)
        bits[k] = state & 1
    return np.repeat(bits, SAMPLES_PER_BIT)[:count].astype(complex)


def coefficients(model):
    """Per-pole recursion weights and the residues of the transmission."""
    p = np.asarray(model.pole_residue_matrix.poles)
    q = TWO_PI * TIME_STEP / model.pole_residue_matrix.frequency_scaling * p
    a = np.exp(q)
    residues = np.asarray(model.pole_residue_matrix.residues[PORT_MODES])
    return a, (a - 1 - q) / (q * p), ((q - 1) * a + 1) / (q * p), residues[:-1], residues[-1]


def lfilter_chain(steppers, u):
    for model in steppers:
        a, b, c, r, d = coefficients(model)
        u = sum(rn * signal.lfilter([bn, cn], [1, -an], u) for an, bn, cn, rn in zip(a, b, c, r)) + d * u
    return u


def numpy_loop(steppers, u):
    tables = [coefficients(m) for m in steppers]
    states = [np.zeros(len(t[0]), complex) for t in tables]
    previous = np.zeros(len(tables), complex)
    out = np.empty_like(u)
    for k, value in enumerate(u):
        for n, (a, b, c, r, d) in enumerate(tables):
            states[n] = a * states[n] + b * value + c * previous[n]
            previous[n] = value
            value = r @ states[n] + d * value
        out[k] = value
    return out


def bench_stepping():
    models = low_pass_models()
    circuit = Circuit(kernel(models))
    u = drive(STEPPED_SAMPLES)

    def ours(count):
        series = tw.TimeSeries({"in": u[:count]}, TIME_STEP)

        def run():
            circuit.reset()
            for model in models:
                model.reset()
            return circuit.step(series, show_progress=False)["out"]
        return run

    for count, name, peer in ((STEPPED_SAMPLES, "scipy lfilter", lfilter_chain), (LOOP_SAMPLES, "numpy loop", numpy_loop)):
        difference = np.abs(ours(count)() - peer(models, u[:count])).max()
        mine, theirs = best_time(ours(count)), best_time(lambda: peer(models, u[:count]))
        print(f"{STEPPED_INSTANCES} instances, {count:>9,} samples: ours {count / mine:12,.0f} samples/s   {name} "
              f"{count / theirs:12,.0f} samples/s   ratio {mine / theirs:6.3f}   largest difference {difference:.1e}")


if __name__ == "__main__":
    with tempfile.TemporaryDirectory() as folder:
        bench_touchstone(folder)
    bench_chain()
    bench_variation()
    bench_fit()
    bench_terminal_conversion()
    bench_stepping()
