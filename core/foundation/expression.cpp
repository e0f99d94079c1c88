#include "expression.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdlib>
#include <new>
#include <numbers>
#include <sstream>

namespace whistle {

namespace {

struct Builtin {
    std::string_view name;
    Instruction instruction;
};

// Sorted by name for binary search; every function is pure, which is what allows folding.
constexpr Builtin kBuiltins[] = {
    {"abs", +[](double a) { return std::fabs(a); }},
    {"acos", +[](double a) { return std::acos(a); }},
    {"and", +[](double a, double b) { return a > 0 ? b : a; }},
    {"asin", +[](double a) { return std::asin(a); }},
    {"atan", +[](double a) { return std::atan(a); }},
    {"atan2", +[](double a, double b) { return std::atan2(a, b); }},
    {"ceil", +[](double a) { return std::ceil(a); }},
    {"cos", +[](double a) { return std::cos(a); }},
    {"cosh", +[](double a) { return std::cosh(a); }},
    {"e", +[] { return std::numbers::e; }},
    {"exp", +[](double a) { return std::exp(a); }},
    {"floor", +[](double a) { return std::floor(a); }},
    {"if", +[](double a, double b, double c) { return a > 0 ? b : c; }},
    {"ln", +[](double a) { return std::log(a); }},
    {"log", +[](double a) { return std::log(a); }},
    {"log10", +[](double a) { return std::log10(a); }},
    {"max", +[](double a, double b) { return std::fmax(a, b); }},
    {"min", +[](double a, double b) { return std::fmin(a, b); }},
    {"or", +[](double a, double b) { return a > 0 ? a : b; }},
    {"pi", +[] { return std::numbers::pi; }},
    {"pow", +[](double a, double b) { return std::pow(a, b); }},
    {"sin", +[](double a) { return std::sin(a); }},
    {"sinh", +[](double a) { return std::sinh(a); }},
    {"sqrt", +[](double a) { return std::sqrt(a); }},
    {"tan", +[](double a) { return std::tan(a); }},
    {"tanh", +[](double a) { return std::tanh(a); }},
};
static_assert(std::ranges::is_sorted(kBuiltins, {}, &Builtin::name));

const Builtin* find_builtin(std::string_view name) {
    auto it = std::ranges::lower_bound(kBuiltins, name, {}, &Builtin::name);
    return it != std::end(kBuiltins) && it->name == name ? &*it : nullptr;
}

constexpr Instruction kNegate = +[](double a) { return -a; };

Instruction binary_operator(char op) {
    switch (op) {
        case '+': return +[](double a, double b) { return a + b; };
        case '-': return +[](double a, double b) { return a - b; };
        case '*': return +[](double a, double b) { return a * b; };
        case '/': return +[](double a, double b) { return a / b; };
        case '%': return +[](double a, double b) { return std::fmod(a, b); };
        default: return +[](double a, double b) { return std::pow(a, b); };
    }
}

// Runs a postfix program on a stack large enough for it; returns the final top.
double run(const Instruction* code, size_t size, double* stack) {
    double* top = stack;  // one past the top value
    for (const Instruction* in = code; in != code + size; ++in) {
        switch (in->op) {
            case Instruction::Constant: *top++ = in->value; break;
            case Instruction::Variable: *top++ = *in->slot; break;
            case Instruction::Call0: *top++ = in->f0(); break;
            case Instruction::Call1: top[-1] = in->f1(top[-1]); break;
            case Instruction::Call2:
                --top;
                top[-1] = in->f2(top[-1], top[0]);
                break;
            case Instruction::Call3:
                top -= 2;
                top[-1] = in->f3(top[-1], top[0], top[1]);
                break;
        }
    }
    return top[-1];
}

// Far beyond any hand-written expression, far below what the stack can take.
constexpr int kMaxDepth = 256;

struct SyntaxError {
    int position;
};

// Recursive-descent compiler emitting postfix code directly. Calls whose operands are all
// constants are evaluated as soon as they are emitted, so folding needs no separate pass.
class Parser {
public:
    Parser(std::string_view text, std::span<const Variable> variables)
        : text_(text), variables_(variables) {}

    std::vector<Instruction> parse() {
        next();
        list();
        if (token_ != Token::End) fail();
        return std::move(code_);
    }

private:
    enum class Token { End, Number, Name, Operator, Open, Close, Separator };

    // ---- Tokenizer ----

    void next() {
        while (pos_ < text_.size()) {
            char c = text_[pos_];
            if (c == ' ' || c == '\t' || c == '\n' || c == '\r') {
                ++pos_;
            } else if ((c >= '0' && c <= '9') || c == '.') {
                return number();
            } else if (is_letter(c)) {
                return name();
            } else {
                ++pos_;
                if (c == '(') token_ = Token::Open;
                else if (c == ')') token_ = Token::Close;
                else if (c == ',') token_ = Token::Separator;
                else if (std::string_view("+-*/%^").find(c) != std::string_view::npos) token_ = Token::Operator;
                else fail();
                operator_ = c;
                return;
            }
        }
        token_ = Token::End;
    }

    static bool is_letter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

    void number() {
        // The text copy is NUL-terminated, as strtod needs.
        const char* begin = text_.c_str() + pos_;
        char* end = nullptr;
        double value = std::strtod(begin, &end);
        if (end == begin) {  // a lone "."
            ++pos_;
            fail();
        }
        pos_ += size_t(end - begin);
        token_ = Token::Number;
        instruction_ = value;
    }

    void name() {
        size_t start = pos_;
        while (pos_ < text_.size() &&
               (is_letter(text_[pos_]) || (text_[pos_] >= '0' && text_[pos_] <= '9') || text_[pos_] == '_'))
            ++pos_;
        std::string_view word = std::string_view(text_).substr(start, pos_ - start);
        token_ = Token::Name;
        for (const Variable& v : variables_) {
            if (v.name == word) {
                instruction_ = v.slot;
                return;
            }
        }
        const Builtin* builtin = find_builtin(word);
        if (!builtin) fail();
        instruction_ = builtin->instruction;
    }

    // ---- Grammar ----

    // list: expr {"," expr}; only the last value survives and all functions are pure, so
    // the code of earlier items is dropped.
    void list() {
        size_t start = code_.size();
        expr();
        while (token_ == Token::Separator) {
            next();
            code_.erase(code_.begin() + std::ptrdiff_t(start), code_.end());
            expr();
        }
    }

    // expr: term {("+" | "-") term}
    void expr() {
        term();
        while (is_operator("+-")) binary(&Parser::term);
    }

    // term: factor {("*" | "/" | "%") factor}
    void term() {
        factor();
        while (is_operator("*/%")) binary(&Parser::factor);
    }

    void binary(void (Parser::*operand)()) {
        char op = operator_;
        next();
        (this->*operand)();
        emit(binary_operator(op));
    }

    // factor: power {"^" power}, right-associative. A minus leading the first operand
    // negates the whole chain: -2^2 is -(2^2).
    void factor() {
        bool negative = power();
        int chain = 0;
        while (is_operator("^")) {
            next();
            if (power()) emit(kNegate);
            ++chain;
        }
        Instruction pow = binary_operator('^');
        for (; chain > 0; --chain) emit(pow);  // postfix a b c ^ ^ is a^(b^c)
        if (negative) emit(kNegate);
    }

    // power: {"+" | "-"} base. Emits the base only; returns whether it is to be negated.
    bool power() {
        bool negative = false;
        while (is_operator("+-")) {
            negative ^= operator_ == '-';
            next();
        }
        base();
        return negative;
    }

    void base() {
        // Every nesting (parentheses, "sin sin x") recurses through here: bounding it keeps
        // adversarial text from exhausting the stack.
        if (++depth_ > kMaxDepth) fail();
        switch (token_) {
            case Token::Number:
                emit(instruction_);
                next();
                break;
            case Token::Name:
                name_reference();
                break;
            case Token::Open:
                next();
                list();
                expect(Token::Close);
                next();
                break;
            default:
                fail();
        }
        --depth_;
    }

    // A variable, a constant function with optional "()", a one-argument function applied to
    // a power ("sin x"), or a function with its exact argument list in parentheses.
    void name_reference() {
        Instruction function = instruction_;
        next();
        int arity = function.arity();
        if (function.op == Instruction::Variable) {
            emit(function);
            return;
        }
        if (arity == 0) {
            if (token_ == Token::Open) {
                next();
                expect(Token::Close);
                next();
            }
        } else if (arity == 1) {
            if (power()) emit(kNegate);
        } else {
            expect(Token::Open);
            for (int i = 0; i < arity; ++i) {
                next();
                expr();
                expect(i + 1 < arity ? Token::Separator : Token::Close);
            }
            next();
        }
        emit(function);
    }

    bool is_operator(std::string_view ops) const {
        return token_ == Token::Operator && ops.find(operator_) != std::string_view::npos;
    }

    void expect(Token token) const {
        if (token_ != token) fail();
    }

    // Position: characters consumed through the current token, at least 1.
    [[noreturn]] void fail() const { throw SyntaxError{std::max(1, int(pos_))}; }

    void emit(Instruction in) {
        code_.push_back(in);
        size_t n = size_t(in.arity());
        if (in.op < Instruction::Call0 || code_.size() < n + 1) return;
        size_t first = code_.size() - n - 1;
        for (size_t i = first; i < first + n; ++i)
            if (code_[i].op != Instruction::Constant) return;
        // A postfix operand ending in a constant is that constant alone, so these n
        // constants are exactly the call's operands.
        std::array<double, 3> stack;
        double value = run(&code_[first], n + 1, stack.data());
        code_.erase(code_.begin() + std::ptrdiff_t(first), code_.end());
        code_.push_back(value);
    }

    std::string text_;
    std::span<const Variable> variables_;
    size_t pos_ = 0;
    int depth_ = 0;  // nesting of base() calls
    Token token_ = Token::End;
    char operator_ = 0;
    Instruction instruction_ = 0.0;  // value of the current Number or Name token
    std::vector<Instruction> code_;
};

constexpr size_t kInlineStack = 32;

}  // namespace

// ---- Program ---------------------------------------------------------------------------

Program::Program(std::vector<Instruction> code) : code_(std::move(code)) {
    size_t depth = 0;
    for (const Instruction& in : code_) {
        depth = depth + 1 - size_t(in.arity());  // a call pops its operands, pushes its result
        depth_ = std::max(depth_, depth);
    }
}

std::optional<Program> Program::compile(std::string_view text, std::span<const Variable> variables,
                                        int& error_position) {
    try {
        Program program(Parser(text, variables).parse());
        error_position = 0;
        return program;
    } catch (const SyntaxError& e) {
        error_position = e.position;
    } catch (const std::bad_alloc&) {
        error_position = -1;
    }
    return std::nullopt;
}

double Program::evaluate() const {
    if (depth_ <= kInlineStack) {
        std::array<double, kInlineStack> stack;
        return run(code_.data(), code_.size(), stack.data());
    }
    std::vector<double> stack(depth_);
    return run(code_.data(), code_.size(), stack.data());
}

// ---- Expression ------------------------------------------------------------------------

Expression::Expression(const std::vector<std::string>& parameters, const std::vector<Item>& items)
    : Cloneable(TypeCode::Expression), parameter_count_(parameters.size()) {
    entries_.reserve(parameters.size() + items.size());
    for (const std::string& name : parameters) entries_.push_back({name, {}, 0, {}});
    for (const Item& item : items) entries_.push_back({item.name, item.text, item.value, {}});
}

Expression::Expression(const Expression& other)
    : Cloneable(other), parameter_count_(other.parameter_count_) {
    entries_.reserve(other.entries_.size());
    for (const Entry& e : other.entries_) entries_.push_back({e.name, e.text, e.value, {}});
    if (other.compiled_) {
        ErrorHandler ignored;  // the same texts compiled before
        compile(ignored);
    }
}

bool Expression::compile(ErrorHandler& report) {
    compiled_ = true;
    std::vector<Variable> variables;
    variables.reserve(entries_.size());
    for (Entry& entry : entries_) {
        if (!entry.text.empty() && !entry.program) {
            int position = 0;
            entry.program = Program::compile(entry.text, variables, position);
            if (!entry.program) {
                report.error("Compilation error near position " + std::to_string(position) +
                             " in expression \"" + entry.text + "\".");
                return false;
            }
        }
        variables.push_back({entry.name, &entry.value});
    }
    return true;
}

bool Expression::evaluate(double x) { return evaluate(std::span<const double>(&x, 1)); }

bool Expression::evaluate(std::span<const double> arguments) {
    if (arguments.size() != parameter_count_) return false;
    for (size_t i = 0; i < parameter_count_; ++i) entries_[i].value = arguments[i];
    for (size_t i = parameter_count_; i < entries_.size(); ++i)
        if (entries_[i].program) entries_[i].value = entries_[i].program->evaluate();
    return true;
}

std::vector<double> Expression::values() const {
    std::vector<double> result;
    result.reserve(expression_count());
    for (size_t i = parameter_count_; i < entries_.size(); ++i) result.push_back(entries_[i].value);
    return result;
}

double Expression::value_at(std::ptrdiff_t i) const {
    auto n = std::ptrdiff_t(entries_.size());
    return entries_[size_t(((i % n) + n) % n)].value;
}

std::optional<size_t> Expression::find(std::string_view name) const {
    for (size_t i = 0; i < entries_.size(); ++i)
        if (entries_[i].name == name) return i;
    return std::nullopt;
}

std::string Expression::to_string(bool repr) const {
    std::ostringstream out;
    // The source of an entry: its text, or its value for a constant.
    auto write_source = [&](const Entry& e, std::string_view quote) {
        if (e.text.empty()) out << e.value;
        else out << quote << e.text << quote;
    };
    if (!repr) {
        for (size_t i = parameter_count_; i < entries_.size(); ++i) {
            if (i > parameter_count_) out << '\n';
            out << entries_[i].name << " = ";
            write_source(entries_[i], "");
        }
        return out.str();
    }
    // Each list is bracketed only when it holds more than one item.
    auto write_list = [&](size_t begin, size_t end, auto write_item) {
        bool bracket = end - begin > 1;
        if (bracket) out << '[';
        for (size_t i = begin; i < end; ++i) {
            if (i > begin) out << ", ";
            write_item(entries_[i]);
        }
        if (bracket) out << ']';
    };
    out << "Expression(parameter=";
    write_list(0, parameter_count_, [&](const Entry& e) { out << e.name; });
    out << ", expression=";
    write_list(parameter_count_, entries_.size(), [&](const Entry& e) {
        out << "(\"" << e.name << "\", ";
        write_source(e, "\"");
        out << ')';
    });
    out << ')';
    return out.str();
}

bool Expression::equals(const BaseType& other) const {
    if (this == &other) return true;
    if (other.type_code() != TypeCode::Expression) return false;
    const auto& o = static_cast<const Expression&>(other);
    if (parameter_count_ != o.parameter_count_ || entries_.size() != o.entries_.size()) return false;
    for (size_t i = 0; i < entries_.size(); ++i) {
        const Entry& a = entries_[i];
        const Entry& b = o.entries_[i];
        if (a.name != b.name || a.text != b.text) return false;
        if (i >= parameter_count_ && a.text.empty() && a.value != b.value) return false;
    }
    return true;
}

}  // namespace whistle
