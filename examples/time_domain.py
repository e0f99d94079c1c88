"""An electrical link in the time domain.

A channel with a fourth-order Butterworth low-pass response and 150 ps of delay is sampled as
the transmission of a matched two-port up to 60 GHz, fitted with a pole-residue model (real,
stable and passive, the delay found by the fit), and turned into a time-domain model. A 25 Gb/s
PRBS7 NRZ signal, 16 samples per bit, goes through it; the eye opening at the best sampling
instant shows how much a narrower channel closes the eye.

Run: PYTHONPATH=<build>/python python examples/time_domain.py
"""

import numpy as np
import numpy.typing as npt
from scipy import signal

import tarnwhistle as tw
from tarnwhistle import extension

BIT_RATE = 25e9  # b/s
SAMPLES_PER_BIT = 16
BITS = 127 * 4  # four PRBS7 periods
DELAY = 150e-12  # s
TWO_PI = 2 * np.pi


def channel(bandwidth: float) -> tw.SMatrix:
    """S matrix of a matched two-port whose transmission is a Butterworth low-pass."""
    zeros, poles, gain = signal.butter(4, TWO_PI * bandwidth, analog=True, output="zpk")
    frequencies = np.linspace(0, 60e9, 301)
    # Signals are envelopes of exp(-iωt): the Laplace variable is s = -iω.
    s = -1j * TWO_PI * frequencies
    transmission = gain * np.prod([s - z for z in zeros], axis=0) / np.prod([s - p for p in poles], axis=0)
    transmission *= np.exp(-s * DELAY)
    reflection = np.zeros_like(transmission)
    return tw.SMatrix(frequencies, {("P0@0", "P1@0"): transmission, ("P1@0", "P0@0"): transmission,
                                    ("P0@0", "P0@0"): reflection, ("P1@0", "P1@0"): reflection})


def prbs7_bits(count: int) -> npt.NDArray[np.int_]:
    state, bits = 0x7F, []
    for _ in range(count):
        state = extension._prbs7(state)
        bits.append(state & 1)
    return np.array(bits)


def eye_opening(waveform: npt.NDArray[np.float64], bits: npt.NDArray[np.int_]) -> float:
    """Smallest one minus largest zero at the best sampling instant (up to 8 bits late), leaving
    out the first 8 bits while the channel fills."""
    best = -float(np.inf)
    for lag in range(8 * SAMPLES_PER_BIT):
        samples = waveform[lag + SAMPLES_PER_BIT * np.arange(8, len(bits) - 8)]
        sent = bits[8 : len(bits) - 8]
        best = max(best, samples[sent == 1].min() - samples[sent == 0].max())
    return best


bits = prbs7_bits(BITS)
drive = np.repeat(bits.astype(float), SAMPLES_PER_BIT)
time_step = 1 / (BIT_RATE * SAMPLES_PER_BIT)


def ideal_response(bandwidth: float) -> npt.NDArray[np.float64]:
    """The exact channel output: the filter's response to the piecewise-linear drive, delayed."""
    b, a = signal.butter(4, TWO_PI * bandwidth, analog=True)
    times = time_step * np.arange(len(drive))
    _, response, _ = signal.lsim((b, a), drive, times)
    shift = round(DELAY / time_step)
    return np.concatenate([np.zeros(shift), response[:-shift]])


openings: list[float] = []
for bandwidth in (20e9, 12e9, 7e9):
    data = channel(bandwidth)
    model, rms_error = tw.pole_residue_fit(data, real=True, max_poles=8, delays="auto")
    stepper = tw.TimeDomainModel(model, time_step)
    received = stepper.step(tw.TimeSeries({"P0@0": drive}, time_step), show_progress=False)["P1@0"]
    delay = model.delays[("P0@0", "P1@0")]
    deviation = np.abs(received - ideal_response(bandwidth)).max()
    openings.append(eye_opening(received.real, bits))
    print(f"bandwidth {bandwidth / 1e9:2.0f} GHz: {len(model.poles)} poles, delay {delay * 1e12:.1f} ps, "
          f"fit RMS error {rms_error:.1e}, largest deviation from the exact channel {deviation:.1e}, "
          f"eye opening {openings[-1]:.3f}")
print("eye closes as the bandwidth shrinks:", openings[0] > openings[1] > openings[2])
