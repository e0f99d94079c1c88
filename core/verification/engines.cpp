#include "core/verification/engines.hpp"

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <vector>

#include "core/verification/process.hpp"

namespace whistle {

namespace {

bool is_executable(const std::filesystem::path& path) {
    std::error_code error;
    return std::filesystem::is_regular_file(path, error) && access(path.c_str(), X_OK) == 0;
}

std::optional<std::string> environment(const char* name) {
    const char* value = std::getenv(name);
    if (!value || !*value) return std::nullopt;
    return std::string(value);
}

// The first directory of PATH that holds the program.
std::optional<std::string> on_path(const std::string& program) {
    std::optional<std::string> path = environment("PATH");
    size_t start = 0;
    while (path && start <= path->size()) {
        size_t end = path->find(':', start);
        if (end == std::string::npos) end = path->size();
        // An empty entry would mean the current directory: never run a program from there.
        if (end > start) {
            std::filesystem::path candidate = std::filesystem::path(path->substr(start, end - start)) / program;
            if (is_executable(candidate)) return candidate.string();
        }
        start = end + 1;
    }
    return std::nullopt;
}

std::optional<std::string> first_executable(const std::vector<std::filesystem::path>& candidates) {
    for (const auto& candidate : candidates)
        if (is_executable(candidate)) return candidate.string();
    return std::nullopt;
}

// The configured executable, which must exist, else the search result.
std::string find_executable(const std::optional<std::string>& setting, const char* engine, const char* setting_name,
                            std::optional<std::string> (*search)(), const char* missing) {
    std::error_code error;
    if (setting && !std::filesystem::exists(*setting, error))
        throw VerificationError(std::string(engine) + " executable '" + *setting + "' (the '" + setting_name +
                                "' setting) does not exist.");
    if (setting) return *setting;
    if (auto found = search()) return *found;
    throw VerificationError(missing);
}

std::optional<std::string> search_klayout() {
    if (auto found = on_path("klayout")) return found;
    std::vector<std::filesystem::path> places = {"/usr/bin/klayout", "/usr/local/bin/klayout",
                                                 "/snap/bin/klayout", "/opt/klayout/klayout"};
    if (auto home = environment("HOME")) places.push_back(std::filesystem::path(*home) / ".local/bin/klayout");
    return first_executable(places);
}

std::optional<std::string> search_calibre() {
    if (auto found = on_path("calibre")) return found;
    std::vector<std::filesystem::path> places;
    for (const char* variable : {"CALIBRE_HOME", "MGC_HOME"})
        if (auto home = environment(variable)) places.push_back(std::filesystem::path(*home) / "bin/calibre");
    return first_executable(places);
}

// A configured executable counts as found even when missing: its error is the one to report.
bool klayout_available(const EngineSettings& settings) {
    return settings.klayout_executable || search_klayout();
}

bool calibre_available(const EngineSettings& settings) {
    return settings.calibre_executable || search_calibre();
}

}  // namespace

Engine parse_engine(const std::string& name, CheckKind kind, const char* function) {
    if (name == "klayout") return Engine::KLayout;
    if (name != "calibre")
        throw CheckArgumentError("Unknown engine '" + name + "'. Expected 'klayout' or 'calibre'.");
    if (kind == CheckKind::Lvs)
        throw CheckArgumentError(std::string("Calibre runs DRC only; use engine='klayout' for ") + function + ".");
    return Engine::Calibre;
}

Engine choose_engine(CheckKind kind, const std::optional<std::string>& engine,
                     const EngineSettings& settings) {
    const bool drc = kind == CheckKind::Drc;
    const char* function = drc ? "drc_check" : "lvs_check";
    if (engine) return parse_engine(*engine, kind, function);
    if (settings.default_engine && (drc || *settings.default_engine != "calibre"))
        return parse_engine(*settings.default_engine, kind, function);
    if (klayout_available(settings)) return Engine::KLayout;
    if (drc && calibre_available(settings)) return Engine::Calibre;
    throw VerificationError(
        drc ? "No DRC engine found. Install KLayout or Calibre and add it to PATH, or set "
              "'klayout_executable', 'calibre_executable' or 'default_drc_lvs_engine' in "
              "tarnwhistle's configuration."
            : "No LVS engine found. Install KLayout and add it to PATH, or set "
              "'klayout_executable' or 'default_drc_lvs_engine' in tarnwhistle's configuration.");
}

std::string find_klayout(const std::optional<std::string>& setting) {
    return find_executable(setting, "KLayout", "klayout_executable", search_klayout,
                           "KLayout not found. Install it, add it to PATH, or set 'klayout_executable' in "
                           "tarnwhistle's configuration.");
}

std::string find_calibre(const std::optional<std::string>& setting) {
    return find_executable(setting, "Calibre", "calibre_executable", search_calibre,
                           "Calibre not found. Source the installation's environment script (for example "
                           "'source /opt/siemens/calibre/calibre_env.sh') so that 'calibre' is on PATH, or set "
                           "'calibre_executable' in tarnwhistle's configuration.");
}

}  // namespace whistle
