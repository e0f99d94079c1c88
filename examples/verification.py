"""A design rule check with KLayout: width and spacing rules of the basic technology's layers.

The runset is written in KLayout's DRC language; the check reads the component's layout from
$gdsfile and writes its report to $resultsfile. The example builds a component that breaks the
core spacing and the metal width rules and prints what KLayout finds. Without a supported KLayout
(0.29.12 or newer) it says why and skips the check.
"""

import os
import tempfile

import tarnwhistle as tw

tech = tw.basic_technology()
tw.config.default_technology = tech

# Rules of the core chosen for this example; the metal layer carries its own in the technology.
CORE_MIN_WIDTH = 0.3
CORE_MIN_SPACING = 0.2


def rule_lines(name: str, spec: tw.LayerSpec, min_width: float | None,
               min_spacing: float | None) -> list[str]:
    layer, datatype = spec.layer
    lines = [f"{name.lower()} = input({layer}, {datatype})"]
    if min_width:
        lines.append(f'{name.lower()}.width({min_width}.um).output("{name}.width", '
                     f'"{name} narrower than {min_width} um")')
    if min_spacing:
        lines.append(f'{name.lower()}.space({min_spacing}.um).output("{name}.space", '
                     f'"{name} shapes closer than {min_spacing} um")')
    return lines


def runset_text() -> str:
    lines = ["# Width and spacing rules of the basic technology.", "source($gdsfile)",
             'report("Basic technology rules", $resultsfile)']
    lines += rule_lines("WG_CORE", tech.layers["WG_CORE"], CORE_MIN_WIDTH, CORE_MIN_SPACING)
    metal = tech.layers["METAL"]
    lines += rule_lines("METAL", metal, metal.min_width, metal.min_spacing)
    return "\n".join(lines) + "\n"


# Two waveguides 0.15 um apart (closer than the core spacing) and a metal line 1.5 um wide
# (narrower than the metal width).
component = tw.Component("RULE_BREAKER")
component.add("WG_CORE", tw.Rectangle((0, 0), (20, 0.5)), tw.Rectangle((0, 0.65), (20, 1.15)))
component.add("METAL", tw.Rectangle((0, 5), (20, 6.5)), tw.Rectangle((0, 10), (20, 13)))

rules = os.path.join(tempfile.mkdtemp(), "basic_rules.drc")
with open(rules, "w") as stream:
    stream.write(runset_text())
print("runset:", rules)

try:
    executable = tw._find_klayout()
    print(f"KLayout {tw._klayout_version(executable)} at {executable}")
except RuntimeError as error:
    print("KLayout check skipped:", error)
else:
    results = tw.drc_check(component, rules, show_progress=False)
    print(results.summary())
    for marker in results.markers:
        print(" ", marker.category, "at", marker.bbox)
