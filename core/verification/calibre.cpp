#include "core/verification/calibre.hpp"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <iterator>
#include <map>
#include <string_view>
#include <vector>

#include "core/verification/process.hpp"

namespace whistle {

namespace fs = std::filesystem;

namespace {

// How far INCLUDE statements are followed: deeper nesting, a file including itself or more
// INCLUDE statements than this are left to Calibre, which reports them in its own terms.
constexpr size_t kMaxIncludeDepth = 32;
constexpr size_t kMaxIncludes = 1000;

constexpr std::string_view kAddedBegin = "// Statements set by TarnWhistle for this check; the rule deck follows them.";
constexpr std::string_view kAddedEnd = "// End of the statements set by TarnWhistle.";

std::string read_file(const fs::path& path) {
    std::optional<std::string> text = read_text_file(path.string());
    if (!text) throw VerificationError("Unable to read '" + path.string() + "' while inspecting the rule deck.");
    return std::move(*text);
}

fs::path file_identity(const fs::path& path) {
    std::error_code error;
    fs::path resolved = fs::weakly_canonical(path, error);
    return error ? path : resolved;
}

// A path as an SVRF string.
std::string svrf_string(const std::string& path) {
    if (path.find_first_of("\"\r\n") != std::string::npos)
        throw VerificationError("Calibre cannot read the path '" + path +
                                "': it contains a double quotation mark or a line break.");
    return '"' + path + '"';
}

bool same_word(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (std::toupper((unsigned char)a[i]) != std::toupper((unsigned char)b[i])) return false;
    return true;
}

// One word of a statement, with its columns in the line (quotes included).
struct Token {
    std::string text;  // without quotes
    size_t begin, end;
    bool quoted;
};

// Splits SVRF text into lines and blanks out, column by column, what Calibre does not read as
// statements: `//` and `/* */` comments and encrypted "#DECRYPT" ... "#ENDCRYPT" blocks.
class SvrfLines {
public:
    explicit SvrfLines(std::string_view text) : rest_(text) {}

    // The next line (without its line break) and its readable part; false at the end.
    bool next(std::string_view& line, std::string& code) {
        if (done_ || rest_.empty()) return false;
        const size_t end = rest_.find('\n');
        line = rest_.substr(0, end);
        done_ = end == std::string_view::npos;
        rest_ = done_ ? std::string_view() : rest_.substr(end + 1);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        // Encrypted text is opaque: comment marks inside it mean nothing.
        if (encrypted_) {
            encrypted_ = !starts_with_word(line, "#ENDCRYPT");
            code.assign(line.size(), ' ');
            return true;
        }
        code = mask(line);
        if (starts_with_word(code, "#DECRYPT")) {
            encrypted_ = true;
            code.assign(line.size(), ' ');
        }
        return true;
    }

    static std::vector<Token> tokens(std::string_view code) {
        std::vector<Token> words;
        size_t i = 0;
        while (true) {
            while (i < code.size() && std::isspace((unsigned char)code[i])) ++i;
            if (i >= code.size()) return words;
            const size_t begin = i;
            if (code[i] == '"') {
                const size_t close = code.find('"', i + 1);
                i = close == std::string_view::npos ? code.size() : close + 1;
                const size_t last = close == std::string_view::npos ? code.size() : close;
                words.push_back({std::string(code.substr(begin + 1, last - begin - 1)), begin, i, true});
            } else {
                while (i < code.size() && !std::isspace((unsigned char)code[i]) && code[i] != '"') ++i;
                words.push_back({std::string(code.substr(begin, i - begin)), begin, i, false});
            }
        }
    }

private:
    static bool starts_with_word(std::string_view text, std::string_view word) {
        const std::vector<Token> words = tokens(text);
        return !words.empty() && !words[0].quoted && same_word(words[0].text, word);
    }

    std::string mask(std::string_view line) {
        std::string code(line);
        bool quoted = false;
        for (size_t i = 0; i < code.size(); ++i) {
            if (in_comment_) {
                if (code.compare(i, 2, "*/") == 0) {
                    in_comment_ = false;
                    code[i + 1] = ' ';
                }
                code[i] = ' ';
            } else if (code[i] == '"') {
                quoted = !quoted;
            } else if (!quoted && code.compare(i, 2, "//") == 0) {
                std::fill(code.begin() + long(i), code.end(), ' ');
                break;
            } else if (!quoted && code.compare(i, 2, "/*") == 0) {
                in_comment_ = true;
                code[i] = code[i + 1] = ' ';
                ++i;
            }
        }
        return code;
    }

    std::string_view rest_;
    bool done_ = false;
    bool in_comment_ = false;
    bool encrypted_ = false;
};

enum class Statement {
    other, layout_path, layout_system, layout_primary, results_database, summary_report, include,
    variable
};

struct StatementWords {
    Statement kind;
    std::vector<std::string_view> words;
};

const std::vector<StatementWords>& statement_table() {
    static const std::vector<StatementWords> table = {
        {Statement::layout_path, {"LAYOUT", "PATH"}},
        {Statement::layout_system, {"LAYOUT", "SYSTEM"}},
        {Statement::layout_primary, {"LAYOUT", "PRIMARY"}},
        {Statement::results_database, {"DRC", "RESULTS", "DATABASE"}},
        {Statement::summary_report, {"DRC", "SUMMARY", "REPORT"}},
        {Statement::include, {"INCLUDE"}},
        {Statement::variable, {"VARIABLE"}},
    };
    return table;
}

// The statement a line begins with and the index of its first argument.
std::pair<Statement, size_t> classify(const std::vector<Token>& words) {
    for (const auto& entry : statement_table()) {
        if (words.size() < entry.words.size()) continue;
        bool match = true;
        for (size_t i = 0; match && i < entry.words.size(); ++i)
            match = !words[i].quoted && same_word(words[i].text, entry.words[i]);
        if (match) return {entry.kind, entry.words.size()};
    }
    return {Statement::other, 0};
}

bool set_by_check(Statement kind) {
    return kind == Statement::layout_path || kind == Statement::layout_system ||
           kind == Statement::layout_primary || kind == Statement::results_database ||
           kind == Statement::summary_report;
}

// Copies a rule deck for one check. Calibre reads a deck's layout and results statements
// once: two DRC RESULTS DATABASE or LAYOUT PRIMARY statements are an error, and a second
// LAYOUT PATH adds a second layout to the run. So the copy keeps the deck's own statements
// visible but commented out, where a Calibre user would look for them, and the statements of
// this check come first. An included file that sets any of them is copied in place of its
// INCLUDE statement the same way; other included files stay included, by absolute path, so
// that the copy, run from another directory, reads the same files.
class DeckCopier {
public:
    bool declares_summary = false;
    std::string summary_options;  // what follows the deck's summary report path, such as HIER

    // The file's text as the copy holds it; `changed` tells whether it differs from the file
    // beyond the paths of INCLUDE statements.
    std::string copy(const fs::path& path, size_t depth, bool& changed) {
        const std::string text = read_file(path);
        open_.push_back(file_identity(path));
        std::string out;
        out.reserve(text.size());
        SvrfLines lines(text);
        std::string_view line;
        std::string code;
        while (lines.next(line, code)) {
            const std::vector<Token> words = SvrfLines::tokens(code);
            const auto [kind, argument] = classify(words);
            if (set_by_check(kind)) {
                if (kind == Statement::summary_report) {
                    declares_summary = true;
                    if (argument < words.size()) summary_options = options(code, words[argument]);
                }
                out += disabled(line, words, "set by TarnWhistle above: ");
                changed = true;
            } else if (kind == Statement::include && argument < words.size()) {
                out += include(line, words, argument, path, depth, changed);
            } else {
                if (kind == Statement::variable && argument + 1 < words.size())
                    define(words[argument].text, words[argument + 1].text);
                out += line;
            }
            out += '\n';
        }
        open_.pop_back();
        return out;
    }

private:
    // A comment that ends where its text ends, whatever the text holds.
    static std::string block_comment(std::string text) {
        for (size_t at = text.find("*/"); at != std::string::npos; at = text.find("*/", at))
            text.replace(at, 2, "* /");
        return "/* " + text + " */";
    }

    // The statement in a block comment, so the rest of the line keeps its meaning (even when
    // it opens a comment of its own); `between` goes in before that rest.
    static std::string disabled(std::string_view line, const std::vector<Token>& words, const std::string& note,
                                const std::string& between = "") {
        const std::string_view statement = line.substr(words.front().begin, words.back().end - words.front().begin);
        return std::string(line.substr(0, words.front().begin)) + block_comment(note + std::string(statement)) +
               between + std::string(line.substr(words.back().end));
    }

    static std::string options(const std::string& code, const Token& path) {
        const std::vector<Token> words = SvrfLines::tokens(std::string_view(code).substr(path.end));
        return words.empty() ? std::string() : code.substr(path.end + words.front().begin,
                                                           words.back().end - words.front().begin);
    }

    // VARIABLE name value, or VARIABLE name ENVIRONMENT (the value of the environment variable).
    void define(const std::string& name, const std::string& value) {
        if (!same_word(value, "ENVIRONMENT")) {
            variables_[name] = value;
        } else if (const char* env = std::getenv(name.c_str())) {
            variables_[name] = env;
        }
    }

    // "$NAME" and "${NAME}" in a path, from the deck's variables or the environment; unknown
    // names stay as written.
    std::string expand(const std::string& path) const {
        std::string out;
        for (size_t i = 0; i < path.size();) {
            const bool braced = path.compare(i, 2, "${") == 0;
            if (path[i] != '$' || i + 1 >= path.size()) {
                out += path[i++];
                continue;
            }
            const size_t begin = i + (braced ? 2 : 1);
            size_t end = begin;
            while (end < path.size() && (std::isalnum((unsigned char)path[end]) || path[end] == '_')) ++end;
            const bool closed = !braced || (end < path.size() && path[end] == '}');
            const std::string name = path.substr(begin, end - begin);
            const char* value = nullptr;
            if (auto it = variables_.find(name); it != variables_.end()) value = it->second.c_str();
            else if (!name.empty()) value = std::getenv(name.c_str());
            if (!value || !closed || name.empty()) {
                out += path[i++];
                continue;
            }
            out += value;
            i = end + (braced ? 1 : 0);
        }
        return out;
    }

    // Where Calibre would find an included file: relative paths from the directory it runs
    // in, failing that from the including file's directory.
    std::optional<fs::path> locate(const std::string& written, const fs::path& including) const {
        const fs::path path(expand(written));
        std::error_code error;
        if (path.is_absolute()) return fs::exists(path, error) ? std::optional(path) : std::nullopt;
        for (const fs::path& base : {fs::current_path(error), including.parent_path()}) {
            fs::path candidate = fs::absolute(base / path, error);
            if (!error && fs::is_regular_file(candidate, error)) return candidate.lexically_normal();
        }
        return std::nullopt;
    }

    std::string include(std::string_view line, const std::vector<Token>& words, size_t argument,
                        const fs::path& including, size_t depth, bool& changed) {
        const Token& target = words[argument];
        const std::optional<fs::path> found = locate(target.text, including);
        if (!found || depth >= kMaxIncludeDepth || ++includes_ > kMaxIncludes ||
            std::find(open_.begin(), open_.end(), file_identity(*found)) != open_.end())
            return std::string(line);
        bool included_changed = false;
        std::string text;
        try {
            text = copy(*found, depth + 1, included_changed);
        } catch (const VerificationError&) {
            return std::string(line);  // unreadable: Calibre says why when it gets there
        }
        const std::string quoted_path = svrf_string(found->string());
        if (!included_changed)
            return std::string(line.substr(0, target.begin)) + quoted_path +
                   std::string(line.substr(target.end));
        changed = true;
        return disabled(line, words, "copied below by TarnWhistle, its layout and results statements set aside: ",
                        "\n" + text + block_comment("end of " + quoted_path));
    }

    std::map<std::string, std::string> variables_;
    std::vector<fs::path> open_;  // the files being copied, outermost first
    size_t includes_ = 0;
};

}  // namespace

std::string calibre_deck_copy(const std::string& deck_path, const CalibreDeckSettings& settings) {
    DeckCopier copier;
    bool changed = false;
    const std::string body = copier.copy(deck_path, 0, changed);
    std::string text(kAddedBegin);
    text += "\nLAYOUT PATH " + svrf_string(settings.layout_path);
    text += "\nLAYOUT SYSTEM " + settings.layout_system;
    if (settings.primary) text += "\nLAYOUT PRIMARY " + svrf_string(*settings.primary);
    text += "\nDRC RESULTS DATABASE " + svrf_string(settings.results_path) + " ASCII";
    if (copier.declares_summary) {
        text += "\nDRC SUMMARY REPORT " + svrf_string(settings.summary_path);
        if (!copier.summary_options.empty()) text += " " + copier.summary_options;
    }
    (text += '\n') += kAddedEnd;
    return text + "\n" + body;
}

size_t calibre_added_lines(const std::string& deck_copy_text) {
    if (!deck_copy_text.starts_with(kAddedBegin)) return 0;
    const size_t end = deck_copy_text.find(kAddedEnd);
    if (end == std::string::npos) return 0;
    return size_t(std::count(deck_copy_text.begin(), deck_copy_text.begin() + long(end), '\n')) + 1;
}

}  // namespace whistle
