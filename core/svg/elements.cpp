#include "elements.hpp"

#include <cmath>
#include <stdexcept>

#include "core/foundation/config.hpp"
#include "core/geometry/circle.hpp"
#include "core/geometry/polygon.hpp"
#include "core/geometry/rectangle.hpp"
#include "core/model/port.hpp"
#include "core/model/terminal.hpp"
#include "document.hpp"

namespace whistle {

namespace {

std::string class_attribute(const std::string& css_class) {
    return css_class.empty() ? "" : " class=\"" + css_class + "\"";
}

// Rotation of an element about its centre.
std::string rotation_attribute(double rotation, const Vector& center) {
    if (rotation == 0) return "";
    std::string c = pair_text(center);
    return " transform=\"translate(" + c + ") rotate(" + fixed(rotation) + ") translate(" +
           pair_text(-center) + ")\"";
}

void append_ring(std::string& d, const Ring& ring) {
    if (ring.empty()) return;
    d += d.empty() ? "M " : " M ";
    d += pair_text(ring.front());
    for (size_t i = 1; i < ring.size(); ++i) d += " L " + pair_text(ring[i]);
    d += " Z";
}

std::string polygon_element(const Polygon& polygon, const std::string& css_class) {
    std::string d;
    append_ring(d, polygon.vertices());
    for (const Ring& hole : polygon.holes()) append_ring(d, hole);
    return "<path" + class_attribute(css_class) + " fill-rule=\"evenodd\" d=\"" + d + "\"/>\n";
}

std::string rectangle_element(const Rectangle& r, const std::string& css_class) {
    Vector corner{r.center().x - r.size().x / 2, r.center().y - r.size().y / 2};
    return "<rect" + class_attribute(css_class) + " x=\"" + micron_text(double(corner.x)) +
           "\" y=\"" + micron_text(double(corner.y)) + "\" width=\"" +
           micron_text(double(r.size().x)) + "\" height=\"" + micron_text(double(r.size().y)) +
           "\"" + rotation_attribute(r.rotation(), r.center()) + "/>\n";
}

// Sectors and rings are drawn through their polygons; whole ellipses as such.
std::string circle_element(const Circle& c, const std::string& css_class) {
    std::string position = "\" cx=\"" + micron_text(double(c.center().x)) + "\" cy=\"" +
                           micron_text(double(c.center().y));
    if (c.radius().x == c.radius().y)
        return "<circle" + class_attribute(css_class) + position.substr(1) + "\" r=\"" +
               micron_text(double(c.radius().x)) + "\"/>\n";
    return "<ellipse" + class_attribute(css_class) + position.substr(1) + "\" rx=\"" +
           micron_text(double(c.radius().x)) + "\" ry=\"" + micron_text(double(c.radius().y)) +
           "\"" + rotation_attribute(c.rotation(), c.center()) + "/>\n";
}

// text-anchor by column and dominant-baseline by row of a label anchor (NW ... SE).
constexpr const char* kAnchors[3] = {"start", "middle", "end"};
constexpr const char* kBaselines[3] = {"text-before-edge", "central", "text-after-edge"};

std::string text_element(const std::string& attributes, int column, int row, const std::string& text) {
    return "<text" + attributes + " text-anchor=\"" + kAnchors[column] +
           "\" dominant-baseline=\"" + kBaselines[row] + "\" x=\"0\" y=\"0\">" + markup_escaped(text) +
           "</text>";
}

// Column or row (0, 1, 2) of a name placed outward along a direction component.
int side(double component, int negative, int positive) {
    return component > 0.5 ? positive : component < -0.5 ? negative : 1;
}

}  // namespace

std::string structure_element(const Structure& structure, const std::string& css_class) {
    if (auto r = dynamic_cast<const Rectangle*>(&structure)) return rectangle_element(*r, css_class);
    if (auto c = dynamic_cast<const Circle*>(&structure); c && c->is_full() &&
                                                           c->inner_radius() == Vector{})
        return circle_element(*c, css_class);
    if (auto p = dynamic_cast<const Polygon*>(&structure)) return polygon_element(*p, css_class);
    ErrorHandler status;
    Polygon outline = structure.to_polygon(status);
    if (status.failed()) throw std::runtime_error(status.message);
    return polygon_element(outline, css_class);
}

double label_factor(const Label& label) {
    double setting = config().svg_label_scaling;
    return setting > 0 ? setting * label.scaling() : -setting;
}

std::string label_element(const Label& label, const std::string& css_class, double factor,
                          double font_size) {
    std::string transform = "translate(" + pair_text(label.origin()) + ")";
    if (label.rotation() != 0) transform += " rotate(" + fixed(label.rotation()) + ")";
    if (factor != 1) transform += " scale(" + fixed(factor) + ")";
    if (label.x_reflection()) transform += " scale(1 -1)";
    // Layer label classes do not carry the upright turn of the "label" class: the group does.
    transform += " scale(1 -1)";
    int anchor = int(label.anchor());
    std::string attributes = class_attribute(css_class) + " font-weight=\"bold\" font-size=\"" +
                             fixed(font_size) + "\"";
    return "<g transform=\"" + transform + "\">" +
           text_element(attributes, anchor % 3, anchor / 3, label.text()) + "</g>\n";
}

std::string centered_text(const Vector& at, const std::string& text) {
    return "<g transform=\"translate(" + pair_text(at) + ")\">" +
           text_element(class_attribute("label"), 1, 1, text) + "</g>\n";
}

std::string port_element(const Port& port, const PortLook& look) {
    double half = double(port.spec()->width()) / 2;
    std::string rotation = fixed(port.input_direction());
    std::string out = "<g transform=\"translate(" + pair_text(port.center()) + ") rotate(" + rotation + ")\">";
    out += "<path class=\"port\" d=\"M 0 " + micron_text(-half) + " L 0 " + micron_text(half) + "\"/>";
    out += look.through_reference ? "<use href=\"#ref-port-symbol\"/>" : "<use href=\"#port-symbol\"/>";
    if (port.bend_radius() != 0)
        out += "<use href=\"#port-bend-symbol\" y=\"" + micron_text(double(port.bend_radius())) + "\"/>";
    if (!look.name.empty()) {
        // The name sits outside the port, on the side its input direction comes from, turned
        // back to the page's axes.
        double angle = radians(port.input_direction());
        double x = -std::cos(angle), y = -std::sin(angle);
        out += "<g transform=\"rotate(" + fixed(-port.input_direction()) + ")\">" +
               text_element(class_attribute("label"), side(x, 2, 0), side(y, 0, 2), look.name) + "</g>";
    }
    return out + "</g>\n";
}

std::string terminal_element(const Terminal& terminal, bool dashed) {
    return structure_element(*terminal.structure(), dashed ? "terminal dashed" : "terminal");
}

}  // namespace whistle
