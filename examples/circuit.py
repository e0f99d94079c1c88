"""A two-element photonic circuit: waveguide models written in Python, a circuit model that
joins them through the component's netlist, and the result saved as a Touchstone file."""

import os
import tempfile
import warnings

from typing import Any

import numpy as np
import numpy.typing as npt

import tarnwhistle as tw

with warnings.catch_warnings():
    warnings.simplefilter("ignore")
    technology = tw.basic_technology()
strip = technology.ports["Strip"]


class WaveguideModel(tw.Model):
    """A matched straight waveguide: phase from the effective index, loss in dB/cm."""

    def __init__(self, n_eff: float = 2.4, loss_db_cm: float = 2.0) -> None:
        super().__init__(n_eff=n_eff, loss_db_cm=loss_db_cm)
        self.n_eff, self.loss_db_cm = n_eff, loss_db_cm

    def start(self, component: tw.Component, frequencies: npt.ArrayLike, **kwargs: Any) -> tw.SMatrix:
        length = component.ports["P1"].center[0] - component.ports["P0"].center[0]  # um
        wavelength = tw.C_0 / np.asarray(frequencies)  # um
        amplitude = 10 ** (-self.loss_db_cm * length * 1e-4 / 20)
        t = amplitude * np.exp(2j * np.pi * self.n_eff * length / wavelength)
        return tw.SMatrix(frequencies, {("P0@0", "P1@0"): t, ("P1@0", "P0@0"): t},
                          ports=component.ports)


class CircuitModel(tw.Model):
    """Solves a component made of references from its instances' S matrices."""

    def __init__(self) -> None:
        super().__init__()

    def start(self, component: tw.Component, frequencies: npt.ArrayLike, **kwargs: Any) -> tw.SMatrix:
        netlist = component.get_netlist()
        s_dict: dict[tuple[tuple[int, str], tuple[int, str]], npt.NDArray[np.complex128]] = {}
        for index, instance in enumerate(netlist["instances"]):
            s = instance.component.s_matrix(frequencies, show_progress=False)
            for (source, destination), values in s.elements.items():
                s_dict[(index, source), (index, destination)] = values
        connections = netlist["connections"] + netlist["virtual connections"]
        joined = tw.extension._connect_s_matrices(s_dict, connections, len(netlist["instances"]))
        # Remaining port-modes are the circuit's own ports.
        external = {(index, port): name for (index, port, _), name in netlist["ports"].items()}

        def outer(instance_port_mode: tuple[int, str]) -> str | None:
            index, port_mode = instance_port_mode
            port, mode = port_mode.rsplit("@", 1)
            name = external.get((index, port))
            return None if name is None else f"{name}@{mode}"

        elements: dict[tuple[str, str], npt.NDArray[np.complex128]] = {}
        for (source, destination), values in joined.items():
            outer_source, outer_destination = outer(source), outer(destination)
            if outer_source and outer_destination:
                elements[outer_source, outer_destination] = values
        return tw.SMatrix(frequencies, elements, ports=component.ports)


def waveguide(name: str, length: float) -> tw.Component:
    component = tw.Component(name, technology)
    component.add("WG_CORE", tw.Rectangle((0, -0.25), (length, 0.25)))
    component.add_port({"P0": tw.Port((0, 0), 0, strip), "P1": tw.Port((length, 0), 180, strip)})
    component.add_model(WaveguideModel(), "analytic")
    return component


short, long = waveguide("SHORT", 25), waveguide("LONG", 400)
circuit = tw.Component("CIRCUIT", technology)
first = circuit.add_reference(short)
second = circuit.add_reference(long)
second.connect("P0", first["P1"])  # the long waveguide continues the short one
circuit.add_port(first["P0"], "IN")
circuit.add_port(second["P1"], "OUT")
circuit.add_model(CircuitModel(), "circuit")

frequencies = tw.C_0 / np.linspace(1.53, 1.57, 5)
s = circuit.s_matrix(frequencies, show_progress=False)
through = s["IN@0", "OUT@0"]
expected = (short.s_matrix(frequencies, show_progress=False)["P0@0", "P1@0"] *
            long.s_matrix(frequencies, show_progress=False)["P0@0", "P1@0"])
print("netlist connections:", circuit.get_netlist()["connections"])
print("insertion loss (dB):", np.round(-20 * np.log10(np.abs(through)), 4))
print("phase (rad):", np.round(np.angle(through), 4))
print("matches the product of the two waveguides:", np.allclose(through, expected))

path = os.path.join(tempfile.gettempdir(), "circuit.s2p")
s.write_snp(path)
values, read_frequencies = tw.load_snp(path)
print(f"wrote {path}: {values.shape[1]} ports at {len(read_frequencies)} frequencies")
