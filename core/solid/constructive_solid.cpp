#include "core/solid/constructive_solid.hpp"

#include <algorithm>

namespace whistle {

namespace {

constexpr char kSymbols[] = {'+', '*', '-', '^'};

std::shared_ptr<BaseType> first_medium(const Solids& operand1, const Solids& operand2) {
    for (const Solids* operands : {&operand1, &operand2})
        if (!operands->empty() && operands->front()) return operands->front()->medium();
    return nullptr;
}

Solids copies(const Solids& solids) {
    Solids result;
    result.reserve(solids.size());
    for (const auto& solid : solids) result.push_back(solid ? solid->copy(true) : nullptr);
    return result;
}

std::string operands_text(const Solids& solids) {
    std::string text = "[";
    for (size_t i = 0; i < solids.size(); ++i)
        text += (i ? ", " : "") + (solids[i] ? solids[i]->str(true) : std::string("None"));
    return text + "]";
}

bool same_solids(const Solids& a, const Solids& b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(),
                      [](const auto& x, const auto& y) { return same_or_equal(x, y); });
}

}  // namespace

bool contains(const Solids& solids, const Structure3D* solid) {
    for (const auto& member : solids) {
        if (member.get() == solid) return true;
        if (member && member->type_code() == TypeCode::ConstructiveSolid) {
            const auto& inner = static_cast<const ConstructiveSolid&>(*member);
            if (contains(inner.operand1(), solid) || contains(inner.operand2(), solid)) return true;
        }
    }
    return false;
}

char operation_symbol(SolidOperation operation) { return kSymbols[int(operation)]; }

std::optional<SolidOperation> operation_from_symbol(std::string_view symbol) {
    if (symbol.size() != 1) return std::nullopt;
    const char* found = std::find(std::begin(kSymbols), std::end(kSymbols), symbol[0]);
    if (found == std::end(kSymbols)) return std::nullopt;
    return SolidOperation(found - std::begin(kSymbols));
}

ConstructiveSolid::ConstructiveSolid(Solids operand1, Solids operand2, SolidOperation operation,
                                     std::shared_ptr<BaseType> medium)
    : Structure3D(TypeCode::ConstructiveSolid,
                  medium ? std::move(medium) : first_medium(operand1, operand2)),
      operand1_(std::move(operand1)), operand2_(std::move(operand2)), operation_(operation) {}

std::shared_ptr<Structure3D> ConstructiveSolid::copy(bool deep) const {
    auto result = std::make_shared<ConstructiveSolid>(*this);
    if (deep) {
        result->operand1_ = copies(operand1_);
        result->operand2_ = copies(operand2_);
    }
    return result;
}

std::string ConstructiveSolid::str(bool representation) const {
    std::string symbol(1, operation_symbol(operation_));
    if (!representation)
        return "ConstructiveSolid \"" + symbol + "\" of " + std::to_string(operand1_.size()) +
               " and " + std::to_string(operand2_.size()) + " solids";
    return "ConstructiveSolid(operand1=" + operands_text(operand1_) + ", operand2=" +
           operands_text(operand2_) + ", operation=\"" + symbol + "\", medium=" + medium_text() +
           ")";
}

bool ConstructiveSolid::equals(const BaseType& other) const {
    if (other.type_code() != type_code()) return false;
    const auto& o = static_cast<const ConstructiveSolid&>(other);
    return operation_ == o.operation_ && same_medium(o) && same_solids(operand1_, o.operand1_) &&
           same_solids(operand2_, o.operand2_);
}

}  // namespace whistle
