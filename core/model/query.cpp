#include "query.hpp"

#include <algorithm>
#include <optional>
#include <regex>

#include "component.hpp"

namespace whistle {

namespace {

// Patterns longer than this are refused: the regular expression compiler recurses once per term.
constexpr size_t kMaxPatternLength = 4096;

// A component reached by the walk, with the placements that take its coordinates to the root's
// (innermost first).
struct Position {
    const Component* component;
    std::vector<Placement> steps;
    std::vector<std::string> path;
    // The components from the root down to this one: a reference whose component was changed
    // afterwards may close a cycle, which the walk does not enter.
    std::vector<const Component*> chain;
};

// Thompson-style matching (a libstdc++ extension) keeps the time polynomial in the name length
// whatever the pattern; back-references are refused by it and count as invalid.
std::optional<std::regex> compile(const std::string& pattern) {
    if (pattern.size() > kMaxPatternLength) return std::nullopt;
    try {
        return std::regex(pattern, std::regex::ECMAScript | std::regex_constants::__polynomial);
    } catch (const std::regex_error&) {
        return std::nullopt;
    }
}

class Walk {
public:
    Walk(ErrorHandler& status) : status_(status) {}

    bool matches(const std::regex& pattern, const std::string& pattern_text,
                 const std::string& name) {
        try {
            return std::regex_match(name, pattern);
        } catch (const std::regex_error&) {
            invalid(pattern_text);
            return false;
        }
    }

    void invalid(const std::string& pattern) {
        status_.error("'" + pattern + "' is not a valid regular expression.");
    }

    bool failed() const { return status_.failed(); }

private:
    ErrorHandler& status_;
};

// The instances placed by the component's references, in reference and repetition order.
void children(const Position& parent, std::vector<Position>& out) {
    for (const auto& reference : parent.component->references) {
        const Component* component = reference->component().get();
        if (!component || std::find(parent.chain.begin(), parent.chain.end(), component) !=
                              parent.chain.end())
            continue;
        uint64_t count = reference->repetition().count();
        for (uint64_t index = 0; index < count; ++index) {
            Position child{component, {reference->placement(index)}, parent.path, parent.chain};
            child.steps.insert(child.steps.end(), parent.steps.begin(), parent.steps.end());
            child.path.push_back(component->name);
            child.chain.push_back(component);
            out.push_back(std::move(child));
        }
    }
}

// The positions themselves and, at any depth, everything below them (depth-first).
void with_descendants(const Position& position, std::vector<Position>& out) {
    out.push_back(position);
    std::vector<Position> below;
    children(position, below);
    for (const auto& child : below) with_descendants(child, out);
}

// Keeps only the match of a non-negative index (nothing when past the end).
template <class T>
void select(std::vector<T>& items, std::optional<int64_t> index) {
    if (!index || *index < 0) return;
    if (uint64_t(*index) >= items.size()) {
        items.clear();
        return;
    }
    T kept = std::move(items[size_t(*index)]);
    items.clear();
    items.push_back(std::move(kept));
}

void add_matching_items(const Position& position, const std::regex& pattern,
                        const std::string& text, Walk& walk, std::vector<QueryResult>& out) {
    for (const auto& [name, port] : position.component->ports) {
        if (!walk.matches(pattern, text, name)) continue;
        out.push_back({position.path, name, port->placed(position.steps), nullptr});
    }
    for (const auto& [name, terminal] : position.component->terminals) {
        if (!walk.matches(pattern, text, name)) continue;
        out.push_back({position.path, name, nullptr, terminal->placed(position.steps)});
    }
}

}  // namespace

bool query_index_allowed(const std::vector<QueryArgument>& args, size_t position) {
    return position > 0 && std::holds_alternative<std::string>(args[position - 1]);
}

std::vector<QueryResult> query(const Component& root, const std::vector<QueryArgument>& args,
                               ErrorHandler& status) {
    Walk walk(status);
    size_t last_pattern = args.size();
    for (size_t i = 0; i < args.size(); ++i)
        if (std::holds_alternative<std::string>(args[i])) last_pattern = i;
    if (last_pattern == args.size()) return {};

    std::vector<Position> positions{{&root, {}, {}, {&root}}};
    bool any_depth = false;
    for (size_t i = 0; i <= last_pattern; ++i) {
        if (std::holds_alternative<std::nullptr_t>(args[i])) {
            any_depth = true;
            continue;
        }
        if (!std::holds_alternative<std::string>(args[i])) continue;
        const std::string& text = std::get<std::string>(args[i]);
        std::optional<std::regex> pattern = compile(text);
        if (!pattern) {
            walk.invalid(text);
            return {};
        }
        std::optional<int64_t> index;
        if (i + 1 < args.size() && std::holds_alternative<int64_t>(args[i + 1]))
            index = std::get<int64_t>(args[i + 1]);

        // Ports and terminals are searched in the components reached; sub-components among
        // their instances (any depth: also the components themselves and everything below).
        std::vector<Position> candidates;
        for (const auto& position : positions) {
            if (i == last_pattern) {
                if (any_depth) with_descendants(position, candidates);
                else candidates.push_back(position);
            } else if (any_depth) {
                std::vector<Position> below;
                children(position, below);
                for (const auto& child : below) with_descendants(child, candidates);
            } else {
                children(position, candidates);
            }
        }
        any_depth = false;

        if (i == last_pattern) {
            std::vector<QueryResult> results;
            for (const auto& position : candidates)
                add_matching_items(position, *pattern, text, walk, results);
            if (walk.failed()) return {};
            select(results, index);
            return results;
        }
        positions.clear();
        for (auto& candidate : candidates)
            if (walk.matches(*pattern, text, candidate.component->name))
                positions.push_back(std::move(candidate));
        if (walk.failed()) return {};
        select(positions, index);
    }
    return {};
}

}  // namespace whistle
