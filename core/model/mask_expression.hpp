// The mask expression language: text such as "('SLAB' - 'WG_CORE') * (9, 10) ** 0.5" parsed
// into a tree of expression nodes that builds a `MaskSpec`, and masks written back as text.
//
// Grammar, from the lowest precedence (binary operators are left-associative; whitespace may
// precede every token):
//   expression := sum {"^" sum}
//   sum        := product {("+" | "-") product}
//   product    := unary {"*" unary}
//   unary      := ["-"] primary postfix            (a leading "-" takes the primary from the bounds)
//   postfix    := ["**" number ["@" pair]] | ["@" pair ["**" number]]    (dilation, translation)
//   primary    := "(" ")" | "(" integer "," integer ")" | quoted name | "(" expression ")"
//   number     := literal | "(" literal ")"        (a decimal floating-point literal)
//   pair       := "(" number "," number ")"
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "core/foundation/error_handler.hpp"
#include "mask_spec.hpp"

namespace whistle {

class Technology;

class MaskExpression {
public:
    virtual ~MaskExpression() = default;
    virtual MaskSpec build() const = 0;
};

// The component bounds: no layer and no operands.
class BoundsExpression final : public MaskExpression {
public:
    MaskSpec build() const override;
};

class LayerExpression final : public MaskExpression {
public:
    explicit LayerExpression(Layer layer) : layer_(layer) {}
    MaskSpec build() const override;

private:
    Layer layer_;
};

// Adds (x, y) micrometres to the operand's translation.
class TranslationExpression final : public MaskExpression {
public:
    TranslationExpression(std::unique_ptr<MaskExpression> operand, double x, double y)
        : operand_(std::move(operand)), x_(x), y_(y) {}
    MaskSpec build() const override;

private:
    std::unique_ptr<MaskExpression> operand_;
    double x_;
    double y_;
};

// Dilates the operand by `amount` micrometres, as `dilated` does.
class DilationExpression final : public MaskExpression {
public:
    DilationExpression(std::unique_ptr<MaskExpression> operand, double amount)
        : operand_(std::move(operand)), amount_(amount) {}
    MaskSpec build() const override;

private:
    std::unique_ptr<MaskExpression> operand_;
    double amount_;
};

// operand1 = [left], operand2 = [right].
class OperationExpression final : public MaskExpression {
public:
    OperationExpression(MaskOperation operation, std::unique_ptr<MaskExpression> left,
                        std::unique_ptr<MaskExpression> right)
        : operation_(operation), left_(std::move(left)), right_(std::move(right)) {}
    MaskSpec build() const override;

private:
    MaskOperation operation_;
    std::unique_ptr<MaskExpression> left_;
    std::unique_ptr<MaskExpression> right_;
};

// The technology that quoted layer names are looked up in, asked for only when a name appears;
// null when there is none.
using TechnologySource = std::function<const Technology*()>;

// The mask of an expression; text that is empty after whitespace gives the bounds. Reports
// "Failed parsing expression <text> at position N." (N counts characters, not bytes, before the
// point where parsing stopped) or a layer-name failure, and returns nothing. Nesting is bounded
// (parentheses and mask levels), so no input can exhaust the stack, and every literal and sum of
// dilations or translations stays within the coordinate range.
std::optional<MaskSpec> parse_mask(std::string_view text, const TechnologySource& technology,
                                   ErrorHandler& status);

// Layers written by name in `format_mask`.
using LayerNames = std::map<Layer, std::string>;

// Text that `parse_mask` reads back into an equal mask for every mask the parser, the dilation
// rule and the binary operations build: layers by name (in single quotes) where `names` has
// one, as "(L, D)" otherwise, the bounds as "()", one space around binary operators and
// parentheses only where precedence needs them. Other shapes (several operands joined in one
// list, an empty operand list beside a non-empty one) are written as an expression of the same
// region, which parses into the shape the grammar builds.
std::string format_mask(const MaskSpec& mask, const LayerNames& names = {});

}  // namespace whistle
