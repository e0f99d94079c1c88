// Expressions: parsing, compilation, evaluation, text forms and copies, with entries that
// refer to each other and parameters that hide built-ins.
#include <bit>
#include <cstdlib>

#include "core/foundation/expression.hpp"
#include "fuzz_input.hpp"

using namespace whistle;

namespace {

// Names that meet the language's own: parameters, built-in constants and functions.
const char* const kNames[] = {"u", "x", "e", "pi", "sin", "a", "b", ""};

std::string name(FuzzedDataProvider& in) {
    return in.ConsumeBool() ? in.ConsumeRandomLengthString(8) : in.PickValueInArray(kNames);
}

// Same values, NaNs of any payload alike.
bool same_values(const std::vector<double>& a, const std::vector<double>& b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](double x, double y) {
        return std::bit_cast<uint64_t>(x) == std::bit_cast<uint64_t>(y) ||
               (std::isnan(x) && std::isnan(y));
    });
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    // The first text comes first in the input, so plain expression texts make useful seeds.
    std::vector<Expression::Item> items(in.ConsumeIntegralInRange(1, 4));
    for (size_t i = 0; i < items.size(); ++i) {
        Expression::Item& item = items[i];
        if (in.ConsumeIntegralInRange(0, 3) > 0) item.text = in.ConsumeRandomLengthString(512);
        else item.value = in.ConsumeFloatingPoint<double>();
        item.name = in.ConsumeBool() ? name(in) : "unnamed_" + std::to_string(i);
    }
    std::vector<std::string> parameters(in.ConsumeIntegralInRange(0, 3));
    for (std::string& parameter : parameters) parameter = name(in);

    Expression expression(parameters, items);
    ErrorHandler status;
    if (!expression.compile(status)) return 0;

    std::vector<double> arguments(parameters.size());
    for (double& argument : arguments) argument = in.ConsumeFloatingPoint<double>();
    expression.evaluate(arguments);
    expression.to_string(false);
    expression.to_string(true);
    auto entries = std::ptrdiff_t(expression.entries().size());
    expression.value_at(in.ConsumeIntegralInRange(-2 * entries, 2 * entries));
    if (parameters.size() == 1) expression.evaluate(arguments[0]);

    // A copy recompiles its own programs; it must compute exactly what the original does.
    auto copy = std::static_pointer_cast<Expression>(expression.clone());
    copy->equals(expression);
    copy->evaluate(arguments);
    expression.evaluate(arguments);
    if (!same_values(copy->values(), expression.values())) std::abort();
    return 0;
}
