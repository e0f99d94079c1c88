// Number formatting that matches the interpreter's own literals.
#pragma once

#include <string>

namespace whistle {

// Shortest round-trip form of a double in the interpreter's layout ("1.5", "100000", "1e-05",
// "1e+16", "inf").
std::string shortest_text(double value);
// The interpreter's float literal: shortest form, with ".0" added to integral values.
std::string float_literal(double value);

// Text in double quotes, with quotes and backslashes escaped (string forms of objects).
std::string quoted(const std::string& text);

// Text for XML or HTML content and attribute values: markup characters as entities, control
// characters that XML does not allow as spaces.
std::string markup_escaped(const std::string& text);

}  // namespace whistle
