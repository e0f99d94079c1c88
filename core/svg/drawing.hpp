// SVG documents of single objects and of whole component hierarchies.
#pragma once

#include <memory>
#include <string>

namespace whistle {

class Component;
class Label;
class Port;
class Reference;
class Structure;
class Terminal;

// Largest document a component drawing aims for (bytes). Beyond it, references are drawn as
// bounding boxes from ever shallower levels, and at last every layer of the component's own
// geometry and all its references as one box each, so that a notebook can still show it.
constexpr size_t kSvgBudget = size_t(4) << 20;

// A component's element on a page has the id "C" and a running number, assigned the first time
// the component is drawn and kept while it lives. With `partial`, referenced components are
// referred to by these ids instead of drawn; it throws std::runtime_error when one of them has
// not been drawn as a document of its own yet. With `light_page`,
// pale layer colours are darkened.
std::string component_svg(const std::shared_ptr<Component>& component, bool partial,
                          bool light_page, size_t budget = kSvgBudget);

std::string structure_svg(const Structure& structure);
std::string label_svg(const Label& label);
std::string port_svg(const Port& port);
std::string terminal_svg(const Terminal& terminal);
std::string reference_svg(const std::shared_ptr<Reference>& reference);

}  // namespace whistle
