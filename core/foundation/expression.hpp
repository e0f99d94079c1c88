// Parametric expressions: a small arithmetic language compiled to postfix programs, and the
// `Expression` object, a list of parameters followed by named entries that may use each other.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base_type.hpp"
#include "error_handler.hpp"

namespace whistle {

// One step of a compiled program: push a constant or a value slot, or apply a pure function
// to the values on top of the stack.
struct Instruction {
    enum Op : uint8_t { Constant, Variable, Call0, Call1, Call2, Call3 };

    Op op;
    union {
        double value;
        const double* slot;
        double (*f0)();
        double (*f1)(double);
        double (*f2)(double, double);
        double (*f3)(double, double, double);
    };

    constexpr Instruction(double v) : op(Constant), value(v) {}
    constexpr Instruction(const double* s) : op(Variable), slot(s) {}
    constexpr Instruction(double (*f)()) : op(Call0), f0(f) {}
    constexpr Instruction(double (*f)(double)) : op(Call1), f1(f) {}
    constexpr Instruction(double (*f)(double, double)) : op(Call2), f2(f) {}
    constexpr Instruction(double (*f)(double, double, double)) : op(Call3), f3(f) {}

    // Number of stack values a call consumes (0 for pushes).
    int arity() const { return op >= Call0 ? op - Call0 : 0; }
};

// A name visible to the compiler, bound to the address of its value.
struct Variable {
    std::string_view name;
    const double* slot;
};

// Compiled text of one expression. Holds the addresses of the variables it reads, so it must
// not outlive them; copies of an `Expression` recompile instead of copying programs.
class Program {
public:
    // Compiles `text`; on failure returns nothing and sets `error_position` to the number of
    // characters consumed up to and including the offending token (at least 1), or -1 when
    // memory runs out. Nesting deeper than 256 levels fails at the token that exceeds it, so
    // no input can exhaust the stack. Variables are searched before the built-ins, first
    // match first.
    static std::optional<Program> compile(std::string_view text, std::span<const Variable> variables,
                                          int& error_position);

    double evaluate() const;

private:
    Program(std::vector<Instruction> code);

    std::vector<Instruction> code_;
    size_t depth_ = 0;  // largest stack size reached while running
};

class Expression final : public Cloneable<Expression, BaseType> {
public:
    struct Entry {
        std::string name;
        std::string text;  // empty for parameters and constant entries
        double value = 0;
        std::optional<Program> program;
    };

    // An expression entry: source text, or a constant when `text` is empty.
    struct Item {
        std::string name;
        std::string text;
        double value = 0;
    };

    Expression(const std::vector<std::string>& parameters, const std::vector<Item>& items);
    // Copies entries and values, then recompiles so programs read the copy's own slots.
    Expression(const Expression& other);

    bool equals(const BaseType& other) const override;
    std::string str(bool representation) const override { return to_string(representation); }

    // Compiles every entry not compiled yet; reports the first failure and stops there.
    bool compile(ErrorHandler& report);
    bool compiled() const { return compiled_; }

    // Sets the parameters and recomputes every compiled entry; false, changing nothing, when the
    // argument count differs from the parameter count.
    bool evaluate(double x);
    bool evaluate(std::span<const double> arguments);

    // Values of the entries after the parameters, constants included.
    std::vector<double> values() const;
    // Value of entry i (negative i counts from the end). The expression must have entries.
    double value_at(std::ptrdiff_t i) const;
    // Index of the first entry named `name`.
    std::optional<size_t> find(std::string_view name) const;

    const std::vector<Entry>& entries() const { return entries_; }
    size_t parameter_count() const { return parameter_count_; }
    size_t expression_count() const { return entries_.size() - parameter_count_; }

    std::string to_string(bool repr) const;

private:
    // Never resized after construction: programs hold addresses of the values.
    std::vector<Entry> entries_;
    size_t parameter_count_ = 0;
    bool compiled_ = false;
};

}  // namespace whistle
