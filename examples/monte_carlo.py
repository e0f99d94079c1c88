"""Monte Carlo variation of a directional coupler.

The coupler is a parametric component: a registered function builds it from its gap, and an
analytic model computes its S matrix from the same gap. The gap is a normal random variable of
the component. The variation driver draws 200 random gaps, then the two corners that enclose
95 % of the distribution, rebuilds the coupler for each draw and collects the S matrices; the
coupler gets its nominal gap back afterwards.

Run: PYTHONPATH=<build>/python python examples/monte_carlo.py
"""

from typing import Any

import numpy as np
import numpy.typing as npt

import tarnwhistle as tw
from tarnwhistle import extension
from tarnwhistle.monte_carlo import RandomVariable

WAVELENGTHS = np.linspace(1.5, 1.6, 5)  # µm
FREQUENCIES = 299792458e6 / WAVELENGTHS  # Hz
LENGTH = 10.0  # coupling length in µm


class CoupledModeModel(tw.Model):
    """Two lossless coupled waveguides: the coupling coefficient decays exponentially with the
    gap, and the power crosses over as sin² of coefficient times length."""

    def __init__(self, gap: float = 0.2, kappa0: float = 0.6, decay: float = 0.1) -> None:
        super().__init__(gap=gap, kappa0=kappa0, decay=decay)
        self.gap, self.kappa0, self.decay = gap, kappa0, decay

    def start(self, component: tw.Component, frequencies: npt.ArrayLike, **kwargs: Any) -> tw.SMatrix:
        wavelength = 299792458e6 / np.asarray(frequencies)
        # Longer wavelengths reach further into the gap.
        kappa = self.kappa0 * np.exp(-self.gap / (self.decay * wavelength / 1.55))  # 1/µm
        through, cross = np.cos(kappa * LENGTH), -1j * np.sin(kappa * LENGTH)
        elements: dict[tuple[str, str], npt.NDArray[np.complex128]] = {}
        for a, b, c, d in [("P0", "P1", "P2", "P3"), ("P1", "P0", "P3", "P2"),
                           ("P2", "P3", "P0", "P1"), ("P3", "P2", "P1", "P0")]:
            elements[(f"{a}@0", f"{b}@0")] = through
            elements[(f"{a}@0", f"{d}@0")] = cross
        return tw.SMatrix(frequencies, elements)


def coupler(gap: float = 0.2, width: float = 0.5) -> tw.Component:
    """Two parallel waveguides LENGTH long, `gap` apart, with a port at each end."""
    technology = tw.config.default_technology
    c = tw.Component("COUPLER", technology)
    spec = technology.ports["Strip"]
    for k, y in enumerate((0.0, gap + width)):
        c.add("WG_CORE", tw.Rectangle((0, y), (LENGTH, y + width)))
        c.add_port(tw.Port((0, y + width / 2), 0, spec), f"P{2 * k}")
        c.add_port(tw.Port((LENGTH, y + width / 2), 180, spec), f"P{2 * k + 1}")
    c.add_model(CoupledModeModel(gap=gap), "CMT")
    c.parametric_function = "examples.coupler"
    c.parametric_kwargs = {"gap": gap, "width": width}
    c.random_variables = [RandomVariable("gap", c, value=gap, stdev=0.01)]
    return c


def main() -> None:
    tw.config.default_technology = tw.basic_technology()
    extension._component_registry["examples.coupler"] = coupler
    device = coupler(gap=0.2)

    variables, results = tw.s_matrix(device, FREQUENCIES, ("gap", "component"), random_samples=200,
                                     corner_samples=-1, random_seed=2024, show_progress=False)
    print(f"{len(results)} S matrices for the variables {[v.name for v in variables]}")

    through = np.array([np.abs(s["P0@0", "P1@0"]) ** 2 for s in results])
    cross = np.array([np.abs(s["P0@0", "P3@0"]) ** 2 for s in results])
    random_through, corner_through = through[:200], through[200:]
    print("wavelength  through: mean    std     2.5%     97.5%   | corners          | cross mean")
    for k, wavelength in enumerate(WAVELENGTHS):
        low, high = np.percentile(random_through[:, k], [2.5, 97.5])
        corners = sorted(corner_through[:, k])
        print(f"{wavelength:9.3f}  {random_through[:, k].mean():14.4f} {random_through[:, k].std():7.4f} "
              f"{low:8.4f} {high:8.4f}   | {corners[0]:.4f} {corners[1]:.4f}  | {cross[:, k].mean():.4f}")
    print("power conserved in every draw:", bool(np.allclose(through + cross, 1)))
    assert device.parametric_kwargs is not None  # set by coupler()
    print("gap restored:", device.parametric_kwargs["gap"])


if __name__ == "__main__":
    main()
