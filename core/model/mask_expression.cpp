#include "mask_expression.hpp"

#include <charconv>
#include <cstdint>
#include <limits>

#include "core/foundation/text.hpp"
#include "technology.hpp"

namespace whistle {

MaskSpec BoundsExpression::build() const { return MaskSpec(); }

MaskSpec LayerExpression::build() const { return MaskSpec(layer_); }

MaskSpec TranslationExpression::build() const {
    MaskSpec mask = operand_->build();
    mask.set_translation(check_range(mask.translation() + Vector{to_db(x_), to_db(y_)}));
    return mask;
}

MaskSpec DilationExpression::build() const { return dilated(operand_->build(), to_db(amount_)); }

MaskSpec OperationExpression::build() const {
    std::vector<MaskSpec> left, right;
    left.push_back(left_->build());
    right.push_back(right_->build());
    return MaskSpec(std::move(left), std::move(right), operation_);
}

namespace {

// ---- Parsing ---------------------------------------------------------------------------

// Formatted masks need at most three parentheses per level; this leaves room beyond that and
// keeps the recursion (a handful of small frames per parenthesis) far from the stack's end.
constexpr int kMaxParentheses = 3 * int(MaskSpec::kMaxDepth) + 8;

// A layer name that cannot be resolved ends the parse.
struct NameFailure {
    std::string message;
};

// A parsed sub-expression, with what the mask it builds will hold, so that depth and range
// limits are checked where the text is read.
struct Parsed {
    std::unique_ptr<MaskExpression> node;
    size_t depth = 1;
    Coord dilation = 0;
    Vector translation;
};
using Result = std::optional<Parsed>;

// Binding strength of a written form, from the loosest.
enum Level : int { kXor, kSum, kProduct, kUnary, kPostfix, kPrimary };

int precedence(MaskOperation operation) {
    switch (operation) {
        case MaskOperation::SymmetricDifference: return kXor;
        case MaskOperation::Intersection: return kProduct;
        default: return kSum;
    }
}

bool is_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }
bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Every rule restores the read position when it fails, so that the caller can try another.
class Parser {
public:
    Parser(std::string_view text, const TechnologySource& technology)
        : text_(text), technology_(technology) {}

    // The mask of the whole text, or nothing with position() where parsing stopped.
    std::optional<MaskSpec> parse() {
        skip();
        if (pos_ == text_.size()) return MaskSpec();
        Result result = expression();
        skip();
        if (!result || pos_ != text_.size()) return std::nullopt;
        return result->node->build();
    }

    size_t position() const { return pos_; }

private:
    void skip() {
        while (pos_ < text_.size() && is_space(text_[pos_])) ++pos_;
    }

    bool at(std::string_view token) const { return text_.substr(pos_).starts_with(token); }

    bool accept(std::string_view token) {
        skip();
        if (!at(token)) return false;
        pos_ += token.size();
        return true;
    }

    // ---- Grammar rules ----

    Result expression() { return binary(kXor); }

    // operand {operator operand} for the operators binding at least as tight as
    // `min_precedence`, left-associative (precedence climbing: one frame per level of
    // parentheses instead of one per rule). An operator whose right operand fails ends every
    // enclosing level too, as no rule of the grammar could take it then, so nothing is retried.
    Result binary(int min_precedence) {
        Result left = unary();
        while (left && !halted_) {
            size_t mark = pos_;
            std::optional<MaskOperation> operation = binary_operator();
            if (!operation || precedence(*operation) < min_precedence) {
                pos_ = mark;
                break;
            }
            Result right = binary(precedence(*operation) + 1);
            if (!right || !combine(*left, *operation, std::move(*right))) {
                pos_ = mark;
                halted_ = true;
            }
        }
        return left;
    }

    std::optional<MaskOperation> binary_operator() {
        skip();
        if (pos_ == text_.size() || at("**")) return std::nullopt;  // "**" is a dilation
        std::optional<MaskOperation> operation = operation_from_symbol(text_[pos_]);
        if (operation) ++pos_;
        return operation;
    }

    // ["-"] primary, then at most one dilation and one translation in written order.
    [[gnu::noinline]] Result unary() {
        size_t mark = pos_;
        bool negated = accept("-");
        Result operand = primary();
        bool dilation = false, translation = false;
        while (operand) {
            size_t before = pos_;
            bool applied = false;
            if (!dilation && accept("**")) applied = dilation = dilate(*operand);
            else if (!translation && accept("@")) applied = translation = translate(*operand);
            if (!applied) {
                pos_ = before;
                break;
            }
        }
        if (operand && negated) {
            Parsed bounds{std::make_unique<BoundsExpression>()};
            if (combine(bounds, MaskOperation::Difference, std::move(*operand)))
                operand = std::move(bounds);
            else
                operand.reset();
        }
        if (!operand) pos_ = mark;
        return operand;
    }

    [[gnu::noinline]] Result primary() {
        size_t mark = pos_;
        if (accept("(")) {
            if (accept(")")) return Parsed{std::make_unique<BoundsExpression>()};
            size_t inner = pos_;
            if (std::optional<Layer> layer = layer_pair())
                return Parsed{std::make_unique<LayerExpression>(*layer)};
            pos_ = inner;
            if (parentheses_ < kMaxParentheses) {
                ++parentheses_;
                Result inside = expression();
                --parentheses_;
                if (inside && accept(")")) return inside;
            }
        } else if (std::optional<std::string> name = quoted()) {
            return Parsed{std::make_unique<LayerExpression>(lookup(*name))};
        }
        pos_ = mark;
        return std::nullopt;
    }

    // ---- Tree building, within the limits ----
    // The helpers that the recursive rules call are kept out of line, so that their locals
    // do not enlarge the frames of the recursion.

    // Replaces `left` by (left op right); false, leaving `left` alone, when too deep.
    [[gnu::noinline]] bool combine(Parsed& left, MaskOperation operation, Parsed right) {
        size_t depth = std::max(left.depth, right.depth) + 1;
        if (depth > MaskSpec::kMaxDepth) return false;
        left.node = std::make_unique<OperationExpression>(operation, std::move(left.node),
                                                          std::move(right.node));
        left.depth = depth;
        left.dilation = 0;
        left.translation = {};
        return true;
    }

    [[gnu::noinline]] bool dilate(Parsed& operand) {
        std::optional<double> amount = number();
        if (!amount) return false;
        Coord d = to_db(*amount);
        Parsed result{nullptr, operand.depth, operand.dilation + d, operand.translation};
        if (dilation_nests(operand.dilation, d)) result = {nullptr, operand.depth + 1, d, {}};
        if (result.depth > MaskSpec::kMaxDepth || !in_range(result.dilation)) return false;
        result.node = std::make_unique<DilationExpression>(std::move(operand.node), *amount);
        operand = std::move(result);
        return true;
    }

    [[gnu::noinline]] bool translate(Parsed& operand) {
        std::optional<double> x, y;
        if (!accept("(") || !(x = number()) || !accept(",") || !(y = number()) || !accept(")"))
            return false;
        Vector translation = operand.translation + Vector{to_db(*x), to_db(*y)};
        if (!in_range(translation)) return false;
        operand.node = std::make_unique<TranslationExpression>(std::move(operand.node), *x, *y);
        operand.translation = translation;
        return true;
    }

    // ---- Terminals ----

    // A literal, optionally in one pair of parentheses.
    std::optional<double> number() {
        size_t mark = pos_;
        bool enclosed = accept("(");
        std::optional<double> value = literal();
        if (value && (!enclosed || accept(")"))) return value;
        pos_ = mark;
        return std::nullopt;
    }

    // Decimal floating-point literal: sign, digits, point, exponent. Values that do not fit a
    // double or whose length in database units leaves the coordinate range do not parse.
    std::optional<double> literal() {
        skip();
        size_t i = pos_;
        auto digits = [&] {
            size_t from = i;
            while (i < text_.size() && is_digit(text_[i])) ++i;
            return i - from;
        };
        auto sign = [&] {
            if (i < text_.size() && (text_[i] == '+' || text_[i] == '-')) ++i;
        };
        sign();
        size_t count = digits();
        if (i < text_.size() && text_[i] == '.') {
            ++i;
            count += digits();
        }
        if (count == 0) return std::nullopt;
        if (i < text_.size() && (text_[i] == 'e' || text_[i] == 'E')) {
            size_t exponent = i++;
            sign();
            if (digits() == 0) i = exponent;
        }
        // from_chars takes no leading '+'.
        size_t first = text_[pos_] == '+' ? pos_ + 1 : pos_;
        double value = 0;
        auto [end, error] = std::from_chars(text_.data() + first, text_.data() + i, value);
        if (error != std::errc() || end != text_.data() + i || !has_units(value))
            return std::nullopt;
        pos_ = i;
        return value;
    }

    std::optional<uint32_t> integer() {
        skip();
        size_t i = pos_;
        uint64_t value = 0;
        for (; i < text_.size() && is_digit(text_[i]); ++i) {
            value = value * 10 + uint64_t(text_[i] - '0');
            if (value > std::numeric_limits<uint32_t>::max()) return std::nullopt;
        }
        if (i == pos_) return std::nullopt;
        pos_ = i;
        return uint32_t(value);
    }

    // The rest of "(L, D)" after the opening parenthesis.
    [[gnu::noinline]] std::optional<Layer> layer_pair() {
        std::optional<uint32_t> layer, datatype;
        if (!(layer = integer()) || !accept(",") || !(datatype = integer()) || !accept(")"))
            return std::nullopt;
        return Layer{*layer, *datatype};
    }

    // A name in single or double quotes; a backslash takes the next character as it is.
    [[gnu::noinline]] std::optional<std::string> quoted() {
        skip();
        if (pos_ == text_.size() || (text_[pos_] != '\'' && text_[pos_] != '"')) return std::nullopt;
        char quote = text_[pos_];
        std::string name;
        for (size_t i = pos_ + 1; i < text_.size(); ++i) {
            if (text_[i] == quote) {
                pos_ = i + 1;
                return name;
            }
            if (text_[i] == '\\' && ++i == text_.size()) break;
            name += text_[i];
        }
        return std::nullopt;
    }

    [[gnu::noinline]] Layer lookup(const std::string& name) {
        const Technology* technology = technology_ ? technology_() : nullptr;
        if (!technology)
            throw NameFailure{"Technology must be provided to parse layer name '" + name + "'"};
        if (std::optional<Layer> layer = technology->find_layer(name)) return *layer;
        const std::string& shown = technology->name.empty() ? Technology::kUnnamed : technology->name;
        throw NameFailure{"LayerSpec name '" + name + "' not found in technology '" + shown + "'."};
    }

    std::string_view text_;
    const TechnologySource& technology_;
    size_t pos_ = 0;
    int parentheses_ = 0;
    bool halted_ = false;
};

// Characters (UTF-8 sequences) in a text: every byte but the continuation bytes.
size_t characters(std::string_view text) {
    size_t count = 0;
    for (char c : text) count += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    return count;
}

// ---- Formatting ------------------------------------------------------------------------

bool postfixed(const MaskSpec& mask) {
    return mask.dilation() != 0 || mask.translation() != Vector{};
}

// Writes into one string, deciding parentheses from the levels of the operands before writing
// them, so that each mask level costs one small frame.
class Formatter {
public:
    Formatter(const LayerNames& names, std::string& out) : names_(names), out_(out) {}

    void mask(const MaskSpec& mask) {
        wrapped(postfixed(mask) && core_level(mask) < kPrimary, [&] { core(mask); });
        if (mask.dilation() != 0) out_.append(" ** ").append(number_text(mask.dilation()));
        if (mask.translation() != Vector{})
            out_.append(" @ (")
                .append(number_text(mask.translation().x))
                .append(", ")
                .append(number_text(mask.translation().y))
                .append(")");
    }

private:
    static std::string number_text(Coord value) { return shortest_text(from_db(value)); }

    static int level(const MaskSpec& mask) {
        return postfixed(mask) ? kPostfix : core_level(mask);
    }

    // Level of the mask without its dilation and translation.
    static int core_level(const MaskSpec& mask) {
        if (mask.layer()) return kPrimary;
        if (mask.operand2().empty())
            return mask.operation() == MaskOperation::Intersection ? kUnary
                                                                   : group_level(mask.operand1());
        return unary(mask) ? kUnary : precedence(mask.operation());
    }

    static int group_level(const std::vector<MaskSpec>& operands) {
        if (operands.empty()) return kPrimary;
        return operands.size() == 1 ? level(operands[0]) : kSum;
    }

    // An operand list written as "()".
    static bool bounds_text(const std::vector<MaskSpec>& operands) {
        if (operands.empty()) return true;
        const MaskSpec& only = operands[0];
        return operands.size() == 1 && !only.layer() && !postfixed(only) &&
               only.operand2().empty() && only.operation() != MaskOperation::Intersection &&
               bounds_text(only.operand1());
    }

    // The bounds minus operand2, written with a leading "-".
    static bool unary(const MaskSpec& mask) {
        return mask.operation() == MaskOperation::Difference && !mask.operand2().empty() &&
               bounds_text(mask.operand1());
    }

    template <class Write>
    void wrapped(bool parenthesized, Write&& write) {
        if (parenthesized) out_ += '(';
        write();
        if (parenthesized) out_ += ')';
    }

    // The mask without its dilation and translation.
    void core(const MaskSpec& mask) {
        if (mask.layer()) return layer(*mask.layer());
        if (mask.operand2().empty()) {
            // Intersecting with nothing leaves nothing: the bounds minus themselves.
            if (mask.operation() == MaskOperation::Intersection) out_ += "-()";
            else group(mask.operand1(), kXor);
            return;
        }
        if (unary(mask)) {
            out_ += '-';
            return group(mask.operand2(), kPostfix);
        }
        int level = precedence(mask.operation());
        group(mask.operand1(), level);
        out_.append(1, ' ').append(1, operation_symbol(mask.operation())).append(1, ' ');
        group(mask.operand2(), level + 1);
    }

    // The union of an operand list ("()" when empty), in parentheses below `min_level`.
    void group(const std::vector<MaskSpec>& operands, int min_level) {
        if (operands.empty()) {
            out_ += "()";
        } else if (operands.size() == 1) {
            wrapped(level(operands[0]) < min_level, [&] { mask(operands[0]); });
        } else {
            wrapped(kSum < min_level, [&] {
                for (size_t i = 0; i < operands.size(); ++i) {
                    if (i) out_ += " + ";
                    int needed = i ? kProduct : kSum;
                    wrapped(level(operands[i]) < needed, [&] { mask(operands[i]); });
                }
            });
        }
    }

    void layer(const Layer& layer) {
        auto it = names_.find(layer);
        if (it == names_.end()) {
            out_ += layer_text(layer);
            return;
        }
        out_ += '\'';
        for (char c : it->second) {
            if (c == '\'' || c == '\\') out_ += '\\';
            out_ += c;
        }
        out_ += '\'';
    }

    const LayerNames& names_;
    std::string& out_;
};

}  // namespace

std::optional<MaskSpec> parse_mask(std::string_view text, const TechnologySource& technology,
                                   ErrorHandler& status) {
    Parser parser(text, technology);
    try {
        if (std::optional<MaskSpec> mask = parser.parse()) return mask;
        status.error("Failed parsing expression <" + std::string(text) + "> at position " +
                     std::to_string(characters(text.substr(0, parser.position()))) + ".");
    } catch (const NameFailure& failure) {
        status.error(failure.message);
    }
    return std::nullopt;
}

std::string format_mask(const MaskSpec& mask, const LayerNames& names) {
    std::string text;
    Formatter(names, text).mask(mask);
    return text;
}

}  // namespace whistle
