// Masks: regions of a component named by its layers, combined, offset and moved.
#pragma once

#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "core/foundation/base_type.hpp"
#include "core/foundation/units.hpp"
#include "core/geometry/polygon.hpp"
#include "layer.hpp"

namespace whistle {

// Held as 0 to 3, written '+', '*', '-', '^'.
enum class MaskOperation : uint8_t { Union, Intersection, Difference, SymmetricDifference };

char operation_symbol(MaskOperation operation);
// The operation written as `symbol`, or nothing.
std::optional<MaskOperation> operation_from_symbol(char symbol);

// Operands are held by value, so every walk over a mask recurses once per level; masks nest at
// most kMaxDepth levels (the callers that build them check), far from the stack's end.
class MaskSpec final : public Cloneable<MaskSpec, BaseType> {
public:
    static constexpr size_t kMaxDepth = 300;

    // The whole component bounds: no layer, no operands.
    MaskSpec() : Cloneable(TypeCode::MaskSpec) {}
    // A single-layer leaf.
    explicit MaskSpec(Layer layer) : Cloneable(TypeCode::MaskSpec), layer_(layer) {}
    // (union of operand1) op (union of operand2); an empty operand1 means the bounds.
    MaskSpec(std::vector<MaskSpec> operand1, std::vector<MaskSpec> operand2,
             MaskOperation operation, Coord dilation = 0, Vector translation = {})
        : Cloneable(TypeCode::MaskSpec), operation_(operation), operand1_(std::move(operand1)),
          operand2_(std::move(operand2)), dilation_(dilation), translation_(translation) {}

    const std::optional<Layer>& layer() const { return layer_; }
    MaskOperation operation() const { return operation_; }
    const std::vector<MaskSpec>& operand1() const { return operand1_; }
    const std::vector<MaskSpec>& operand2() const { return operand2_; }
    Coord dilation() const { return dilation_; }
    Vector translation() const { return translation_; }

    void set_operation(MaskOperation operation) { operation_ = operation; }
    // Setting either operand list turns a leaf into a combination.
    void set_operand1(std::vector<MaskSpec> operands);
    void set_operand2(std::vector<MaskSpec> operands);
    void set_dilation(Coord dilation) { dilation_ = dilation; }
    void set_translation(const Vector& translation) { translation_ = translation; }

    // Every layer named anywhere in the tree.
    std::set<Layer> layers() const;
    // True when this mask or any sub-mask is translated.
    bool uses_translation() const;
    // Levels of the tree: 1 for a leaf or a mask without operands.
    size_t depth() const;

    std::string str(bool representation) const override;
    bool equals(const BaseType& other) const override;

private:
    std::optional<Layer> layer_;
    MaskOperation operation_ = MaskOperation::Union;
    std::vector<MaskSpec> operand1_;
    std::vector<MaskSpec> operand2_;
    Coord dilation_ = 0;
    Vector translation_;
};

// Dilation (or erosion, when negative) of a mask by `amount` database units. The amount joins
// the mask's own dilation, unless both are non-zero with opposite signs: an erosion after a
// dilation, or the reverse, is not one offset, so the mask then becomes the only operand of a
// new mask with that dilation. Throws RangeError when the sum leaves the coordinate range.
MaskSpec dilated(MaskSpec mask, Coord amount);
// True when dilating a mask with dilation `current` by `amount` nests it.
inline bool dilation_nests(Coord current, Coord amount) {
    return current != 0 && amount != 0 && (current < 0) != (amount < 0);
}

// Polygons of each layer, already flattened into the coordinates of the component.
using LayerPolygons = std::map<Layer, std::vector<Polygon>>;

// The region of a mask: a leaf is the polygons of its layer; otherwise the union of operand1
// (the bounds rectangle when operand1 is empty) combined with the union of operand2. The
// result is then offset by the dilation and translated. With a heal size the final polygons
// lose their features below that size.
std::vector<Polygon> evaluate_mask(const MaskSpec& mask, const LayerPolygons& layers,
                                   const Bounds& bounds, std::optional<Coord> heal_size = {});

}  // namespace whistle
