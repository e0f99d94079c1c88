#include "core/verification/process.hpp"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string_view>

namespace whistle {

namespace {

// Enough of the output to show where a runset stopped without flooding the error.
constexpr size_t kTailLines = 20;

}  // namespace

WorkDir::WorkDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "tarnwhistle_verify_XXXXXX").string();
    if (!mkdtemp(pattern.data()))
        throw VerificationError("Unable to create a working directory in '" +
                                std::filesystem::temp_directory_path().string() + "': " + std::strerror(errno) + ".");
    path_ = pattern;
}

WorkDir::~WorkDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

std::string output_tail(const std::string& engine, const std::string& output) {
    std::vector<std::string_view> lines;
    std::string_view rest(output);
    while (!rest.empty()) {
        const size_t end = rest.find('\n');
        std::string_view line = rest.substr(0, end);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        lines.push_back(line);
        rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
    }
    while (!lines.empty() && lines.back().find_first_not_of(" \t") == std::string_view::npos) lines.pop_back();
    if (lines.empty()) return engine + "'s output: (none)";
    const size_t shown = std::min(kTailLines, lines.size());
    std::string text = engine + "'s output, last " + std::to_string(shown) + " of " +
                       std::to_string(lines.size()) + " lines:";
    for (size_t i = lines.size() - shown; i < lines.size(); ++i) (text += '\n') += lines[i];
    return text;
}

std::optional<std::string> read_text_file(const std::string& path) {
    std::error_code error;
    if (std::filesystem::is_directory(path, error)) return std::nullopt;
    std::ifstream file(path, std::ios::binary);
    if (!file) return std::nullopt;
    std::string text(std::istreambuf_iterator<char>(file), {});
    if (file.bad()) return std::nullopt;
    return text;
}

void write_text_file(const std::string& path, const std::string& text) {
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    if (!file || !file.write(text.data(), std::streamsize(text.size())) || !file.flush())
        throw VerificationError("Unable to write '" + path + "'.");
}

}  // namespace whistle
