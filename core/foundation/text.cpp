#include "text.hpp"

#include <charconv>
#include <cmath>

namespace whistle {

std::string shortest_text(double value) {
    if (std::isnan(value)) return "nan";
    if (std::isinf(value)) return value > 0 ? "inf" : "-inf";
    char buffer[64];
    auto result = std::to_chars(buffer, buffer + sizeof(buffer), value);
    return std::string(buffer, result.ptr);
}

std::string float_literal(double value) {
    std::string text = shortest_text(value);
    if (std::isfinite(value) && text.find_first_of(".e") == std::string::npos) text += ".0";
    return text;
}

}  // namespace whistle
