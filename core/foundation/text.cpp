#include "text.hpp"

#include <charconv>
#include <cmath>
#include <cstdlib>

namespace whistle {

std::string shortest_text(double value) {
    if (std::isnan(value)) return "nan";
    if (std::isinf(value)) return value > 0 ? "inf" : "-inf";
    // Shortest round-trip digits in the interpreter's layout: "d.ddde+XX" (as the scientific
    // form writes it) for decimal exponents below -4 or above 15, otherwise positional.
    char buffer[64];
    auto end = std::to_chars(buffer, buffer + sizeof(buffer), value,
                             std::chars_format::scientific).ptr;
    std::string text(buffer, end);
    int exponent = std::atoi(text.c_str() + text.find('e') + 1);
    if (exponent < -4 || exponent >= 16) return text;
    auto fixed =
        std::to_chars(buffer, buffer + sizeof(buffer), value, std::chars_format::fixed).ptr;
    return std::string(buffer, fixed);
}

std::string float_literal(double value) {
    std::string text = shortest_text(value);
    if (std::isfinite(value) && text.find_first_of(".e") == std::string::npos) text += ".0";
    return text;
}

std::string quoted(const std::string& text) {
    std::string result = "\"";
    for (char c : text) {
        if (c == '"' || c == '\\') result += '\\';
        result += c;
    }
    return result + "\"";
}

std::string markup_escaped(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        switch (c) {
            case '&': out += "&amp;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            case '"': out += "&quot;"; break;
            case '\'': out += "&apos;"; break;
            default:
                // Control characters other than tab and line breaks are not allowed in XML 1.0.
                if (static_cast<unsigned char>(c) < 0x20 && c != '\t' && c != '\n' && c != '\r')
                    out += ' ';
                else
                    out += c;
        }
    }
    return out;
}

}  // namespace whistle
