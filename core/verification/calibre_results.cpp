// Calibre's ASCII DRC results database:
//
//   <top cell> <precision>                      database units per micrometre
//   <check name>                                 then, per rule check:
//   <current count> <original count> <n> ...     results, results before filtering, n text lines
//   <n description lines>
//   p <ordinal> <vertex count>                   a polygon, then one "x y" line per vertex
//   e <ordinal> <edge count>                     edges, then one "x1 y1 x2 y2" line per edge
//
// A result header may be followed by property lines (cell names and values, starting with a
// letter) before its coordinates.
#include <cctype>
#include <charconv>
#include <cmath>
#include <iterator>
#include <string_view>
#include <vector>

#include "core/verification/calibre.hpp"
#include "core/verification/process.hpp"

namespace whistle {

namespace {

using json = nlohmann::json;

std::vector<std::string_view> split_words(std::string_view line) {
    std::vector<std::string_view> words;
    size_t i = 0;
    while (true) {
        while (i < line.size() && std::isspace((unsigned char)line[i])) ++i;
        if (i >= line.size()) return words;
        const size_t begin = i;
        while (i < line.size() && !std::isspace((unsigned char)line[i])) ++i;
        words.push_back(line.substr(begin, i - begin));
    }
}

template <class T>
bool parse_number(std::string_view word, T& value) {
    const auto [end, error] = std::from_chars(word.data(), word.data() + word.size(), value);
    return error == std::errc() && end == word.data() + word.size();
}

class ResultsReader {
public:
    ResultsReader(const std::string& path, std::string_view text, std::optional<uint64_t> max_results)
        : path_(path), rest_(text), max_results_(max_results) {}

    json read() {
        const std::vector<std::string_view> header = split_words(content_line("the top cell name and the precision"));
        if (header.size() < 2) fail("expected the top cell name and the precision");
        top_cell_ = std::string(header[0]);
        if (!parse_number(header[1], precision_) || precision_ == 0)
            fail("the precision must be a positive whole number of database units per micrometre, not '" +
                 std::string(header[1]) + "'");
        json categories = json::array();
        std::string_view line;
        while (next_content(line)) categories.push_back(read_check(trimmed(line)));
        json cell = {{"name", top_cell_}, {"variant", ""}, {"references", json::array()}};
        return {{"description", "Calibre DRC results"},
                {"generator", "Calibre"},
                {"top_cell", top_cell_},
                {"categories", std::move(categories)},
                {"cells", json::array({std::move(cell)})},
                {"total", total_},
                {"markers", std::move(markers_)}};
    }

private:
    // One rule check: its counts, its description and its results; returns its category.
    json read_check(std::string_view name) {
        const std::string check(name);
        const std::vector<std::string_view> counts = split_words(content_line("the result counts of check '" + check + "'"));
        uint64_t results = 0, original = 0, description_lines = 0;
        if (counts.size() < 3 || !parse_number(counts[0], results) || !parse_number(counts[1], original) ||
            !parse_number(counts[2], description_lines))
            fail("expected the result counts of check '" + check +
                 "' (current count, original count, number of description lines)");
        std::string description;
        for (uint64_t i = 0; i < description_lines; ++i) {
            std::string_view text;
            if (!next_line(text)) fail_at_end("the description of check '" + check + "'");
            if (i > 0) description += '\n';
            description += text;
        }
        for (uint64_t i = 0; i < results; ++i) read_result(check);
        return {{"name", check}, {"description", description}};
    }

    void read_result(const std::string& check) {
        const std::string what = "a result of check '" + check + "'";
        const std::vector<std::string_view> words = split_words(content_line(what));
        uint64_t ordinal = 0, count = 0;
        const char kind = words.empty() || words[0].size() != 1 ? '\0' : char(std::tolower((unsigned char)words[0][0]));
        if (words.size() < 3 || (kind != 'p' && kind != 'e') || !parse_number(words[1], ordinal) ||
            !parse_number(words[2], count))
            fail("expected " + what + ": 'p' or 'e', its ordinal and its vertex or edge count");
        if (kind == 'p' && count < 3) fail("a polygon needs at least 3 vertices, not " + std::to_string(count));
        if (kind == 'e' && count < 1) fail("an edge result needs at least 1 edge");
        std::string_view line = content_line(what);
        while (std::isalpha((unsigned char)trimmed(line).front())) line = content_line(what);
        json points = json::array();
        for (uint64_t i = 0; i < count; ++i) {
            if (i > 0) line = content_line(what);
            points.push_back(coordinates(line, kind == 'p' ? 2 : 4));
        }
        kind == 'p' ? add_polygon(check, std::move(points)) : add_edges(check, points);
    }

    // The points of a coordinate line: "x y" or "x1 y1 x2 y2" in database units.
    json coordinates(std::string_view line, size_t count) {
        const std::vector<std::string_view> words = split_words(line);
        if (words.size() != count) fail("expected " + std::to_string(count) + " whole-number coordinates");
        json values = json::array();
        for (size_t i = 0; i < count; i += 2) {
            int64_t x = 0, y = 0;
            if (!parse_number(words[i], x) || !parse_number(words[i + 1], y))
                fail("expected " + std::to_string(count) + " whole-number coordinates");
            values.push_back(json::array({micrometres(x), micrometres(y)}));
        }
        return count == 2 ? json(values[0]) : values;
    }

    double micrometres(int64_t value) const {
        return std::round(double(value) / double(precision_) * 1e9) / 1e9;
    }

    void add_polygon(const std::string& check, json hull) {
        add_marker(check, {{"polygon", {{"hull", std::move(hull)}, {"holes", json::array()}}}});
    }

    // Two edges are the two sides of a spacing or width violation; anything else is a set of
    // separate edges.
    void add_edges(const std::string& check, const json& edges) {
        if (edges.size() == 2) {
            add_marker(check, {{"edge_pair", edges}, {"symmetric", false}});
            return;
        }
        for (const json& edge : edges)
            add_marker(check, {{"edge", edge}});
    }

    // Markers as the KLayout dump writes them: category, cell and the shape under its kind.
    void add_marker(const std::string& check, json shape) {
        ++total_;
        if (max_results_ && markers_.size() >= *max_results_) return;
        shape["category"] = check;
        shape["cell"] = top_cell_;
        markers_.push_back(std::move(shape));
    }

    static std::string_view trimmed(std::string_view line) {
        while (!line.empty() && std::isspace((unsigned char)line.front())) line.remove_prefix(1);
        while (!line.empty() && std::isspace((unsigned char)line.back())) line.remove_suffix(1);
        return line;
    }

    bool next_line(std::string_view& line) {
        if (rest_.empty()) return false;
        ++line_;
        const size_t end = rest_.find('\n');
        line = rest_.substr(0, end);
        rest_ = end == std::string_view::npos ? std::string_view() : rest_.substr(end + 1);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        return true;
    }

    // The next line that is not blank; false at the end of the text.
    bool next_content(std::string_view& line) {
        while (next_line(line))
            if (!trimmed(line).empty()) return true;
        return false;
    }

    std::string_view content_line(const std::string& what) {
        std::string_view line;
        if (!next_content(line)) fail_at_end(what);
        return line;
    }

    [[noreturn]] void fail_at_end(const std::string& what) {
        ++line_;
        fail("the file ends before " + what);
    }

    [[noreturn]] void fail(const std::string& what) const {
        throw VerificationError("Calibre results database '" + path_ + "', line " +
                                std::to_string(line_) + ": " + what + ".");
    }

    const std::string& path_;
    std::string_view rest_;
    std::optional<uint64_t> max_results_;
    uint64_t line_ = 0;
    std::string top_cell_;
    uint64_t precision_ = 0;
    uint64_t total_ = 0;
    json markers_ = json::array();
};

}  // namespace

json parse_calibre_results(const std::string& path, const std::string& text,
                           std::optional<uint64_t> max_results) {
    return ResultsReader(path, text, max_results).read();
}

json read_calibre_results(const std::string& path, std::optional<uint64_t> max_results) {
    const std::optional<std::string> text = read_text_file(path);
    if (!text) throw VerificationError("Unable to read the Calibre results database '" + path + "'.");
    return parse_calibre_results(path, *text, max_results);
}

}  // namespace whistle
