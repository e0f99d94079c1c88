#include "document.hpp"

#include <cmath>
#include <cstdio>

#include "core/model/technology.hpp"

namespace whistle {

namespace {

constexpr int kSolid = 0;
constexpr int kHollow = 1;

// Pattern names as they may appear in an element id and a CSS url(), by pattern index (the
// hatch symbols themselves would need escaping there).
constexpr const char* kPatternIds[LayerSpec::kPatternCount] = {
    "solid", "hollow", "b", "bb", "s", "ss", "v", "vv", "h", "hh", "x", "xx", "p", "pp", "d", "dd"};

std::string hex_color(uint8_t r, uint8_t g, uint8_t b) {
    char text[8];
    std::snprintf(text, sizeof text, "#%02x%02x%02x", r, g, b);
    return text;
}

// Pale colours vanish on a light page: those brighter than mid grey are darkened.
Color darkened(Color c) {
    double luminance = (0.299 * c.r + 0.587 * c.g + 0.114 * c.b) / 255.0;
    if (luminance <= 0.5) return c;
    double factor = 0.5 / luminance;
    auto scale = [factor](uint8_t v) { return uint8_t(std::lround(v * factor)); };
    return {scale(c.r), scale(c.g), scale(c.b), c.a};
}

std::string line(double x0, double y0, double x1, double y1) {
    return "<line x1=\"" + fixed(x0) + "\" y1=\"" + fixed(y0) + "\" x2=\"" + fixed(x1) +
           "\" y2=\"" + fixed(y1) + "\"/>";
}

// The children of a hatch pattern tile of side p: lines (stroke width u, set by the caller's
// group) or dots.
std::string hatch(int pattern, double p, double u) {
    std::string rising = line(0, 0, p, p), falling = line(0, p, p, 0);
    std::string vertical = line(p / 2, 0, p / 2, p), horizontal = line(0, p / 2, p, p / 2);
    std::string dot = "<circle cx=\"" + fixed(p / 2) + "\" cy=\"" + fixed(p / 2) + "\" r=\"" +
                      fixed(u) + "\" stroke=\"none\"/>";
    switch (pattern) {
        case 2: case 3: return falling;
        case 4: case 5: return rising;
        case 6: case 7: return vertical;
        case 8: case 9: return horizontal;
        case 10: case 11: return rising + falling;
        case 12: case 13: return vertical + horizontal;
        default: return dot;
    }
}

// Doubled patterns ("\\\\", "//", "||", "=", "xx", "++", ":") repeat at half the spacing.
bool dense(int pattern) { return pattern >= 2 && pattern % 2 == 1; }

}  // namespace

std::string fixed(double value) {
    char text[64];
    std::snprintf(text, sizeof text, "%.6f", value == 0 ? 0.0 : value);
    return text;
}

std::string pair_text(const Vector& p) { return micron_text(double(p.x)) + " " + micron_text(double(p.y)); }

std::string LayerStyles::use(Layer layer) {
    used_.insert(layer);
    return "layer" + std::to_string(layer.layer) + "_" + std::to_string(layer.datatype);
}

LayerStyles::Look LayerStyles::look(Layer layer) const {
    Color color = LayerSpec::derived_color(layer, -1);
    int pattern = LayerSpec::derived_pattern(layer);
    if (technology_)
        for (const auto& [name, spec] : technology_->layers)
            if (spec->layer() == layer) {
                color = spec->color();
                pattern = spec->pattern();
                break;
            }
    if (light_page_) color = darkened(color);
    return {hex_color(color.r, color.g, color.b), color.a / 255.0, pattern};
}

std::string LayerStyles::rules() const {
    std::string out;
    for (Layer layer : used_) {
        Look l = look(layer);
        std::string suffix = std::to_string(layer.layer) + "_" + std::to_string(layer.datatype);
        out += ".layer" + suffix + "{stroke:" + l.color + ";";
        if (l.pattern == kHollow)
            out += "fill:none;";
        else if (l.pattern == kSolid)
            out += "fill:" + l.color + ";fill-opacity:" + fixed(l.alpha) + ";";
        else
            out += "fill:url(#" + pattern_id(l) + ");fill-opacity:" + fixed(std::pow(l.alpha, 0.3)) + ";";
        out += "}\n.label" + suffix + "{fill:" + l.color + ";}\n";
    }
    return out;
}

std::string LayerStyles::pattern_id(const Look& look) {
    return std::string("pat-") + kPatternIds[look.pattern] + "-" + look.color.substr(1);
}

std::string LayerStyles::patterns(double unit) const {
    // A pattern cannot take the colour of the element it fills, so each hatch is defined once
    // per colour it is drawn in.
    std::map<std::string, Look> tiles;
    for (Layer layer : used_) {
        Look l = look(layer);
        if (l.pattern > kHollow) tiles.emplace(pattern_id(l), l);
    }
    std::string out;
    for (const auto& [id, l] : tiles) {
        double p = (dense(l.pattern) ? 4 : 8) * unit;
        out += "<pattern id=\"" + id + "\" patternUnits=\"userSpaceOnUse\" width=\"" + fixed(p) +
               "\" height=\"" + fixed(p) + "\" patternTransform=\"translate(" + fixed(p / 4) + " " +
               fixed(p / 4) + ")\"><g stroke=\"" + l.color + "\" fill=\"" + l.color +
               "\" stroke-width=\"" + fixed(unit) + "\">" + hatch(l.pattern, p, unit) +
               "</g></pattern>\n";
    }
    return out;
}

SvgDocument::SvgDocument(const Bounds& box, double size) : size_(size) {
    double x0 = double(box.x_min) / kUnitsPerMicron, y1 = double(box.y_max) / kUnitsPerMicron;
    double w = double(box.x_max - box.x_min) / kUnitsPerMicron;
    double h = double(box.y_max - box.y_min) / kUnitsPerMicron;
    // An empty or point-like drawing still gets a frame of a micrometre.
    double m = w > 0 || h > 0 ? 0.05 * std::max(w, h) : 0.5;
    view_[0] = x0 - m;
    view_[1] = -y1 - m;
    view_[2] = w + 2 * m;
    view_[3] = h + 2 * m;
    unit_ = 0.01 * view_[3] / size_;
}

std::string SvgDocument::text(const LayerStyles& styles, const std::string& definitions,
                              const std::string& body) const {
    double u = unit_;
    std::string base = "{fill:#535e59;fill-opacity:0.094;stroke:#535e59;stroke-width:" + fixed(u) + ";}\n";
    std::string out = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
    out += "<svg xmlns=\"http://www.w3.org/2000/svg\" xmlns:xlink=\"http://www.w3.org/1999/xlink\" height=\"" +
           fixed(10 * size_) + "rem\" viewBox=\"" + fixed(view_[0]) + " " + fixed(view_[1]) + " " +
           fixed(view_[2]) + " " + fixed(view_[3]) + "\">\n<style>\n";
    out += "path" + base + "rect" + base + "circle" + base + "ellipse" + base;
    out += ".reference{fill:none;stroke:#221f20;stroke-width:" + fixed(0.7 * u) + ";}\n";
    out += ".label{transform:scale(1,-1);fill:#221f20;font-weight:bold;font-size:" + fixed(8 * u) + "px;}\n";
    out += ".terminal{fill:none;stroke:#805080;stroke-width:" + fixed(u) + ";}\n";
    out += ".dashed{stroke-dasharray:" + fixed(5 * u) + "," + fixed(3 * u) + ";}\n";
    out += ".port{fill:none;stroke:#805080;stroke-width:" + fixed(2 * u) + ";}\n";
    out += ".virtual-connection{fill:none;stroke:#907090;stroke-width:" + fixed(1.5 * u) + ";}\n";
    out += styles.rules();
    out += "</style>\n<defs>\n";
    out += "<path id=\"port-symbol\" class=\"port\" d=\"M 0 " + fixed(-4 * u) + " L " + fixed(6 * u) +
           " 0 L 0 " + fixed(4 * u) + "\"/>\n";
    out += "<path id=\"ref-port-symbol\" class=\"port\" style=\"stroke-opacity:0.33;\" d=\"M 0 " +
           fixed(-3 * u) + " C " + fixed(4 * u) + " " + fixed(-3 * u) + " " + fixed(4 * u) + " " +
           fixed(3 * u) + " 0 " + fixed(3 * u) + "\"/>\n";
    out += "<circle id=\"port-bend-symbol\" cx=\"0\" cy=\"0\" r=\"" + fixed(1.8 * u) +
           "\" style=\"stroke:none;fill:#805080;fill-opacity:1;\"/>\n";
    out += "<circle id=\"connection-symbol\" cx=\"0\" cy=\"0\" r=\"" + fixed(2.1 * u) +
           "\" style=\"stroke:none;fill:#907090;fill-opacity:1;\"/>\n";
    out += styles.patterns(u) + definitions;
    out += "</defs>\n<g transform=\"scale(1 -1)\">\n" + body + "</g>\n</svg>\n";
    return out;
}

}  // namespace whistle
