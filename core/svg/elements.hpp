// SVG element bodies of the planar shapes, labels, ports and terminals, in database units
// printed as micrometres inside the document's mirrored content group.
#pragma once

#include <string>

#include "core/geometry/label.hpp"
#include "core/geometry/structure.hpp"

namespace whistle {

class Port;
class Terminal;

// The element of a structure; `css_class` may be empty.
std::string structure_element(const Structure& structure, const std::string& css_class);

// A label as text of the given class (may be empty) in a group of its own that turns it
// upright again; `factor` scales the font size (micrometres).
std::string label_element(const Label& label, const std::string& css_class, double factor,
                          double font_size);

// The label scaling of the settings applied to a label's own scaling: positive settings
// scale with it, negative ones are absolute factors.
double label_factor(const Label& label);

struct PortLook {
    bool through_reference = false;  // drawn with the faint reference symbol
    std::string name;                // shown when not empty
};
std::string port_element(const Port& port, const PortLook& look);

std::string terminal_element(const Terminal& terminal, bool dashed);

// Text centred on a point (names of references and ports).
std::string centered_text(const Vector& at, const std::string& text);

}  // namespace whistle
