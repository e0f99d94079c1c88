// Selection of ports and terminals through the hierarchy by name patterns.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <variant>
#include <vector>

#include "core/foundation/error_handler.hpp"

namespace whistle {

class Component;
class Port;
class Terminal;

// One query argument: a pattern (ECMAScript regular expression, matched against the whole
// name), the index of the match to keep after a pattern (negative: all), or "any depth below"
// (nullptr) for the arguments that follow.
using QueryArgument = std::variant<std::nullptr_t, std::string, int64_t>;

// A port or terminal reached by a query, as a copy transformed into the root's coordinates.
struct QueryResult {
    // Names of the components walked through, from the root's child to the owner.
    std::vector<std::string> path;
    std::string name;
    std::shared_ptr<Port> port;          // set for ports
    std::shared_ptr<Terminal> terminal;  // set for terminals
};

// Where an integer may appear: only right after a pattern.
bool query_index_allowed(const std::vector<QueryArgument>& args, size_t position);

// The ports and terminals selected by the arguments: component patterns level by level, the last
// pattern against port and terminal names. An invalid pattern is reported in `status` as
// "'<pattern>' is not a valid regular expression." and gives no results.
std::vector<QueryResult> query(const Component& root, const std::vector<QueryArgument>& args,
                               ErrorHandler& status);

}  // namespace whistle
