// The SVG document frame: view box, style sheet, shared symbols and per-layer rules.
#pragma once

#include <map>
#include <set>
#include <string>

#include "core/foundation/text.hpp"
#include "core/geometry/structure.hpp"
#include "core/model/layer.hpp"

namespace whistle {

class Technology;

// A number in fixed notation with 6 decimals.
std::string fixed(double value);
// A coordinate or length in database units, printed in micrometres.
inline std::string micron_text(double units) { return fixed(units / kUnitsPerMicron); }
// "x y" of a point in database units.
std::string pair_text(const Vector& p);

// The layers drawn in a document and the rules and fill patterns their technology gives them.
class LayerStyles {
public:
    LayerStyles(const Technology* technology, bool light_page)
        : technology_(technology), light_page_(light_page) {}

    // The class of elements on the layer ("layer<layer>_<datatype>"), noting it as used.
    std::string use(Layer layer);
    // The class of labels on the layer.
    std::string use_label(Layer layer) { return "label" + suffix(use(layer)); }
    // Style rules of the layers used.
    std::string rules() const;
    // Pattern definitions of the hatch patterns used, for a unit u.
    std::string patterns(double unit) const;

private:
    struct Look {
        std::string color;  // "#rrggbb"
        double alpha;       // 0 to 1
        int pattern;        // LayerSpec pattern index
    };
    Look look(Layer layer) const;
    // "pat-" and the pattern's name, then the colour: one tile per hatch and colour.
    static std::string pattern_id(const Look& look);
    static std::string suffix(const std::string& layer_class) { return layer_class.substr(5); }

    const Technology* technology_;
    bool light_page_;
    std::set<Layer> used_;
};

// Writes a whole document around a body. The unit u sets stroke widths and symbol sizes so
// that they look the same at any zoom: a hundredth of the view height over the size factor.
class SvgDocument {
public:
    // box: content bounds in database units; size: the size factor (the document is 10 × size
    // rem high).
    SvgDocument(const Bounds& box, double size);

    double unit() const { return unit_; }
    // The complete document text; `definitions` go after the shared symbols.
    std::string text(const LayerStyles& styles, const std::string& definitions,
                     const std::string& body) const;

private:
    double view_[4];  // x, y, width, height in micrometres
    double size_;
    double unit_;
};

}  // namespace whistle
