// A boolean combination of two groups of solids; each group is the union of its members.
#pragma once

#include <memory>
#include <optional>
#include <string_view>
#include <vector>

#include "core/solid/structure3d.hpp"

namespace whistle {

enum class SolidOperation : uint8_t { Union = 0, Intersection, Difference, SymmetricDifference };

// "+", "*", "-", "^".
char operation_symbol(SolidOperation operation);
std::optional<SolidOperation> operation_from_symbol(std::string_view symbol);

using Solids = std::vector<std::shared_ptr<Structure3D>>;

// True when the solid is one of the solids or an operand of one at any depth. A constructive
// solid must never contain itself: the ownership would form a cycle.
bool contains(const Solids& solids, const Structure3D* solid);

class ConstructiveSolid final : public Structure3D {
public:
    // A null medium defaults to the first operand's.
    ConstructiveSolid(Solids operand1, Solids operand2, SolidOperation operation,
                      std::shared_ptr<BaseType> medium = nullptr);

    const Solids& operand1() const { return operand1_; }
    const Solids& operand2() const { return operand2_; }
    SolidOperation operation() const { return operation_; }

    void set_operand1(Solids operands) { operand1_ = std::move(operands); }
    void set_operand2(Solids operands) { operand2_ = std::move(operands); }
    void set_operation(SolidOperation operation) { operation_ = operation; }

    std::shared_ptr<Structure3D> copy(bool deep) const override;
    std::string str(bool representation) const override;
    bool equals(const BaseType& other) const override;

private:
    Solids operand1_;
    Solids operand2_;
    SolidOperation operation_;
};

}  // namespace whistle
