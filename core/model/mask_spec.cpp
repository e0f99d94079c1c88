#include "mask_spec.hpp"

#include <algorithm>
#include <iterator>

#include "core/foundation/text.hpp"
#include "core/geometry/set_operations.hpp"
#include "mask_expression.hpp"

namespace whistle {

namespace {

constexpr char kSymbols[] = {'+', '*', '-', '^'};

void collect_layers(const MaskSpec& mask, std::set<Layer>& out) {
    if (mask.layer()) out.insert(*mask.layer());
    for (const auto* operands : {&mask.operand1(), &mask.operand2()})
        for (const MaskSpec& operand : *operands) collect_layers(operand, out);
}

bool same_operands(const std::vector<MaskSpec>& a, const std::vector<MaskSpec>& b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(),
                      [](const MaskSpec& x, const MaskSpec& y) { return x.equals(y); });
}

std::string number(Coord value) { return shortest_text(from_db(value)); }

std::string operands_text(const std::vector<MaskSpec>& operands) {
    std::string text = "[";
    for (size_t i = 0; i < operands.size(); ++i) {
        if (i) text += ", ";
        text += operands[i].str(true);
    }
    return text + "]";
}

std::vector<Polygon> evaluate(const MaskSpec& mask, const LayerPolygons& layers,
                              const Bounds& bounds) {
    std::vector<Polygon> result;
    if (mask.layer()) {
        if (auto it = layers.find(*mask.layer()); it != layers.end()) result = it->second;
    } else {
        std::vector<Polygon> a, b;
        auto append = [&](std::vector<Polygon>& out, const std::vector<MaskSpec>& operands) {
            for (const MaskSpec& operand : operands) {
                std::vector<Polygon> polygons = evaluate(operand, layers, bounds);
                std::move(polygons.begin(), polygons.end(), std::back_inserter(out));
            }
        };
        if (!mask.operand1().empty()) {
            append(a, mask.operand1());
        } else if (bounds.x_min < bounds.x_max && bounds.y_min < bounds.y_max) {
            a.emplace_back(Ring{{bounds.x_min, bounds.y_min}, {bounds.x_max, bounds.y_min},
                                {bounds.x_max, bounds.y_max}, {bounds.x_min, bounds.y_max}});
        }
        append(b, mask.operand2());
        // Both enumerations list the operations in the same order.
        result = boolean(a, b, static_cast<BooleanOperation>(mask.operation()));
    }
    if (mask.dilation() != 0) result = offset(result, mask.dilation(), false);
    if (mask.translation() != Vector{})
        for (Polygon& polygon : result) polygon.translate(mask.translation());
    return result;
}

}  // namespace

char operation_symbol(MaskOperation operation) { return kSymbols[size_t(operation)]; }

std::optional<MaskOperation> operation_from_symbol(char symbol) {
    const char* end = std::end(kSymbols);
    const char* found = std::find(std::begin(kSymbols), end, symbol);
    if (found == end) return std::nullopt;
    return MaskOperation(found - std::begin(kSymbols));
}

void MaskSpec::set_operand1(std::vector<MaskSpec> operands) {
    layer_.reset();
    operand1_ = std::move(operands);
}

void MaskSpec::set_operand2(std::vector<MaskSpec> operands) {
    layer_.reset();
    operand2_ = std::move(operands);
}

std::set<Layer> MaskSpec::layers() const {
    std::set<Layer> result;
    collect_layers(*this, result);
    return result;
}

bool MaskSpec::uses_translation() const {
    auto translated = [](const MaskSpec& operand) { return operand.uses_translation(); };
    return translation_ != Vector{} || std::ranges::any_of(operand1_, translated) ||
           std::ranges::any_of(operand2_, translated);
}

size_t MaskSpec::depth() const {
    size_t below = 0;
    for (const auto* operands : {&operand1_, &operand2_})
        for (const MaskSpec& operand : *operands) below = std::max(below, operand.depth());
    return below + 1;
}

// The constructor form, which rebuilds an equal mask: a leaf passes its layer alone as
// operand1; default arguments are left out.
std::string MaskSpec::str(bool representation) const {
    if (!representation) return format_mask(*this);
    std::vector<std::string> arguments;
    if (layer_) arguments.push_back("operand1=" + layer_text(*layer_));
    if (!operand1_.empty()) arguments.push_back("operand1=" + operands_text(operand1_));
    if (!operand2_.empty()) arguments.push_back("operand2=" + operands_text(operand2_));
    if (operation_ != MaskOperation::Union)
        arguments.push_back(std::string("operation=\"") + operation_symbol(operation_) + "\"");
    if (dilation_ != 0) arguments.push_back("dilation=" + number(dilation_));
    if (translation_ != Vector{})
        arguments.push_back("translation=(" + number(translation_.x) + ", " +
                            number(translation_.y) + ")");
    std::string text = "MaskSpec(";
    for (size_t i = 0; i < arguments.size(); ++i) text += (i ? ", " : "") + arguments[i];
    return text + ")";
}

bool MaskSpec::equals(const BaseType& other) const {
    if (other.type_code() != type_code()) return false;
    const auto& o = static_cast<const MaskSpec&>(other);
    return layer_ == o.layer_ && operation_ == o.operation_ && dilation_ == o.dilation_ &&
           translation_ == o.translation_ && same_operands(operand1_, o.operand1_) &&
           same_operands(operand2_, o.operand2_);
}

MaskSpec dilated(MaskSpec mask, Coord amount) {
    check_range(amount);
    if (dilation_nests(mask.dilation(), amount)) {
        std::vector<MaskSpec> operand;
        operand.push_back(std::move(mask));
        return MaskSpec(std::move(operand), {}, MaskOperation::Union, amount);
    }
    mask.set_dilation(check_range(mask.dilation() + amount));
    return mask;
}

std::vector<Polygon> evaluate_mask(const MaskSpec& mask, const LayerPolygons& layers,
                                   const Bounds& bounds, std::optional<Coord> heal_size) {
    std::vector<Polygon> result = evaluate(mask, layers, bounds);
    if (heal_size) result = heal(result, *heal_size);
    return result;
}

}  // namespace whistle
