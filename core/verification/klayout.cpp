#include "core/verification/klayout.hpp"

#include <array>
#include <map>

#include "core/verification/dump_macros.hpp"

namespace whistle {

namespace {

using Version = std::array<int, 3>;

// Older versions lack database calls the dumping macros rely on.
constexpr Version kMinimumVersion = {0, 29, 12};

std::string version_text(const Version& version) {
    return std::to_string(version[0]) + "." + std::to_string(version[1]) + "." + std::to_string(version[2]);
}

// Reads "<digits>.<digits>.<digits>" at `pos`; leaves `pos` after it.
std::optional<Version> read_version(const std::string& text, size_t pos) {
    Version version{};
    for (size_t part = 0; part < 3; ++part) {
        if (part > 0 && (pos >= text.size() || text[pos++] != '.')) return std::nullopt;
        const size_t start = pos;
        long value = 0;
        while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9' && pos - start < 9)
            value = value * 10 + (text[pos++] - '0');
        if (pos == start) return std::nullopt;
        version[part] = int(value);
    }
    return version;
}

std::optional<Version> parse_version(const std::string& output) {
    static const std::string kPrefix = "KLayout ";
    for (size_t pos = output.find(kPrefix); pos != std::string::npos; pos = output.find(kPrefix, pos + 1))
        if (auto version = read_version(output, pos + kPrefix.size())) return version;
    return std::nullopt;
}

}  // namespace

std::string klayout_version(ProcessRunner& runner, const std::string& executable,
                            std::optional<double> timeout) {
    // Checks run with the interpreter lock held, so the record of checked executables needs
    // no lock of its own.
    static std::map<std::string, std::string> checked;
    if (auto it = checked.find(executable); it != checked.end()) return it->second;
    const ProcessResult result = runner.run({executable, "-b", "-v"}, "KLayout version", timeout, false);
    const std::optional<Version> version = parse_version(result.output);
    if (!version) {
        const size_t end = result.output.find_last_not_of(" \t\r\n");
        throw VerificationError("Unable to read the KLayout version from '" + executable + " -b -v'.\n" +
                                result.output.substr(0, end == std::string::npos ? 0 : end + 1));
    }
    const std::string text = version_text(*version);
    if (*version < kMinimumVersion)
        throw VerificationError("KLayout " + text + " at '" + executable + "' is older than " +
                                version_text(kMinimumVersion) +
                                ", the oldest version TarnWhistle supports. Install a newer KLayout or "
                                "point 'klayout_executable' at one.");
    checked.emplace(executable, text);
    return text;
}

KLayout::KLayout(ProcessRunner& runner, std::string executable, RunOptions options)
    : runner_(runner), executable_(std::move(executable)), options_(options) {
    klayout_version(runner_, executable_, options_.timeout);
}

ProcessResult KLayout::run(const std::string& script, const NamedTexts& variables, const std::string& label) {
    std::vector<std::string> argv = {executable_, "-b", "-r", script};
    for (const auto& [name, value] : variables) {
        argv.push_back("-rd");
        argv.push_back(name + "=" + value);
    }
    return runner_.run(argv, label, options_.timeout, options_.show_progress);
}

nlohmann::json KLayout::read_results(CheckKind kind, const std::string& database, const WorkDir& dir,
                                     std::optional<uint64_t> max_results, bool load_shapes) {
    const bool drc = kind == CheckKind::Drc;
    const std::string what = drc ? "DRC" : "LVS";
    const std::string macro = dir.file(drc ? "dump_drc.py" : "dump_lvs.py");
    const std::string output = dir.file("results.json");
    write_text_file(macro, drc ? kDrcDumpMacro : kLvsDumpMacro);
    NamedTexts variables = {{"input", database}, {"output", output}};
    if (!drc) variables.emplace_back("load_shapes", load_shapes ? "1" : "0");
    else if (max_results) variables.emplace_back("max_results", std::to_string(*max_results));
    const ProcessResult result = run(macro, variables, "Reading results");
    if (result.exit_code != 0)
        throw VerificationError("Reading the KLayout " + what + " results failed (exit code " +
                                std::to_string(result.exit_code) + ")\n" + output_tail("KLayout", result.output));
    const std::optional<std::string> text = read_text_file(output);
    nlohmann::json dump = text ? nlohmann::json::parse(*text, nullptr, false) : nlohmann::json();
    if (!dump.is_object()) throw VerificationError("The KLayout " + what + " results could not be decoded.");
    return dump;
}

}  // namespace whistle
