// Masks: regions of a component named by its layers, combined, offset and moved.
#pragma once

#include <optional>
#include <set>
#include <string>
#include <vector>

#include "core/foundation/base_type.hpp"
#include "core/foundation/units.hpp"
#include "layer.hpp"

namespace whistle {

// Held as 0 to 3, written '+', '*', '-', '^'.
enum class MaskOperation : uint8_t { Union, Intersection, Difference, SymmetricDifference };

class MaskSpec final : public Cloneable<MaskSpec, BaseType> {
public:
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
    void set_operand1(std::vector<MaskSpec> operands);
    void set_operand2(std::vector<MaskSpec> operands);
    void set_dilation(Coord dilation) { dilation_ = dilation; }
    void set_translation(const Vector& translation) { translation_ = translation; }

    // Every layer named anywhere in the tree.
    std::set<Layer> layers() const;
    // True when this mask or any sub-mask is translated.
    bool uses_translation() const;

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

}  // namespace whistle
