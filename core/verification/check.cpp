#include "core/verification/check.hpp"

#include <cstring>
#include <filesystem>
#include <fstream>

#include "core/layout/driver.hpp"
#include "core/verification/calibre.hpp"
#include "core/verification/spice_schematic.hpp"

namespace whistle {

namespace {

// The first bytes of a file, enough to tell formats apart.
std::string file_head(const std::string& path, const std::string& what) {
    std::ifstream file(path, std::ios::binary);
    if (!file) throw VerificationError("Unable to read the " + what + " '" + path + "'.");
    std::string head(64, '\0');
    file.read(head.data(), std::streamsize(head.size()));
    head.resize(size_t(file.gcount()));
    return head;
}

// KLayout's report databases are XML, possibly compressed; anything else is taken for
// Calibre's ASCII results database.
Engine results_engine(const std::string& head) {
    const size_t start = head.find_first_not_of(" \t\r\n");
    const bool xml = start != std::string::npos && head[start] == '<';
    const bool gzip = head.size() >= 2 && uint8_t(head[0]) == 0x1F && uint8_t(head[1]) == 0x8B;
    return xml || gzip ? Engine::KLayout : Engine::Calibre;
}

void warn_if_cut(const nlohmann::json& dump, std::optional<uint64_t> max_results, ErrorHandler& status) {
    const auto total = dump.find("total");
    const auto markers = dump.find("markers");
    if (!max_results || total == dump.end() || markers == dump.end() || !total->is_number_integer() ||
        !markers->is_array() || total->get<int64_t>() <= int64_t(markers->size()))
        return;
    status.warning("Only " + std::to_string(markers->size()) + " of the " + std::to_string(total->get<int64_t>()) +
                   " markers were read: 'max_results' is " + std::to_string(*max_results) + ".");
}

void copy_results(const std::string& database, const std::string& destination) {
    if (destination.empty()) return;
    std::error_code error;
    std::filesystem::copy_file(database, destination, std::filesystem::copy_options::overwrite_existing, error);
    if (error)
        throw VerificationError("Unable to copy the results database to '" + destination + "': " +
                                error.message() + ".");
}

// The layout the engine reads: the given file, or the component written as GDSII.
std::string layout_path(const CheckRequest& request, const WorkDir& dir, ErrorHandler& status) {
    if (!request.layout) return request.layout_file;
    const std::string path = dir.file("layout.gds");
    ErrorHandler written;
    if (!layout::write_layout(path, layout::LayoutFormat::Gdsii, *request.layout, layout::WriteOptions(), written) ||
        written.failed())
        throw VerificationError("Unable to prepare the component for export.");
    for (const std::string& warning : written.warnings) status.warning(warning);
    return path;
}

std::string schematic_path(const CheckRequest& request, const WorkDir& dir, ErrorHandler& status) {
    if (!request.schematic) return request.schematic_file;
    const std::string path = dir.file("schematic.cir");
    write_text_file(path, spice_schematic(*request.schematic, status));
    return path;
}

// The errors of a runset run that left no usable database. LVS decides whether compare ran by
// the database: KLayout writes it when compare ends.
void check_klayout_run(CheckKind kind, const ProcessResult& result, const std::string& database,
                       const RunsetVariables& names) {
    const bool drc = kind == CheckKind::Drc;
    const std::string exited = std::string(klayout_phase(kind)) + " exited with code " +
                               std::to_string(result.exit_code) + ": the runset ended in an error";
    const std::string tail = "\n" + output_tail("KLayout", result.output);
    std::error_code error;
    const bool written = std::filesystem::exists(database, error);
    if (!drc && !written && result.exit_code != 0)
        throw VerificationError(exited + " before compare, and wrote no results." + tail);
    if (!written)
        throw VerificationError(std::string(klayout_phase(kind)) +
                                " wrote no results file. KLayout writes it only when the runset calls " +
                                (drc ? "report" : "report_lvs") + "(...) with $" + names.results +
                                "; if the runset uses another variable name, set it with 'variable_names'." + tail);
    if (drc && result.exit_code != 0)
        throw VerificationError(exited + " before its end, so its results are incomplete." + tail);
}

CheckResult run_klayout(const CheckRequest& request, ProcessRunner& runner, const EngineSettings& settings,
                        const WorkDir& dir, ErrorHandler& status) {
    const RunsetVariables names(request.kind, request.variable_names.value_or(NamedTexts()));
    const bool drc = request.kind == CheckKind::Drc;
    const std::string database = dir.file(drc ? "results.lyrdb" : "results.lvsdb");
    NamedTexts variables = {{names.layout, layout_path(request, dir, status)}, {names.results, database}};
    if (!drc) variables.emplace_back(names.schematic, schematic_path(request, dir, status));
    variables.insert(variables.end(), request.runset_args.begin(), request.runset_args.end());

    KLayout klayout(runner, find_klayout(settings.klayout_executable), request.run);
    const ProcessResult result = klayout.run(request.rules, variables, klayout_phase(request.kind));
    check_klayout_run(request.kind, result, database, names);
    CheckResult found{klayout.read_results(request.kind, database, dir, request.max_results, request.load_shapes),
                      result.output, result.exit_code};
    copy_results(database, request.results_file);
    return found;
}

CheckResult run_calibre(const CheckRequest& request, ProcessRunner& runner, const EngineSettings& settings,
                        const WorkDir& dir, ErrorHandler& status) {
    const std::string calibre = find_calibre(settings.calibre_executable);
    CalibreDeckSettings deck;
    deck.layout_path = layout_path(request, dir, status);
    deck.layout_system = file_head(deck.layout_path, "layout file").starts_with("%SEMI-OASIS") ? "OASIS" : "GDSII";
    if (request.top_level)
        deck.primary = request.top_level;
    else if (request.layout && !request.layout->cells.empty())
        deck.primary = request.layout->cells.front().name;
    deck.results_path = dir.file("results.asc");
    deck.summary_path = dir.file("summary.txt");
    const std::string copy = calibre_deck_copy(request.rules, deck);
    const std::string copy_path = dir.file("rules.svrf");
    write_text_file(copy_path, copy);

    std::vector<std::string> argv = {calibre, "-drc"};
    argv.insert(argv.end(), request.calibre_args.begin(), request.calibre_args.end());
    argv.push_back(copy_path);
    const ProcessResult result = runner.run(argv, "Calibre DRC", request.run.timeout, request.run.show_progress);
    const std::string tail = "\n" + output_tail("Calibre", result.output);
    if (result.exit_code != 0 && result.output.find("ERROR:") != std::string::npos)
        throw VerificationError("Calibre refused the rule deck:" + tail + "\nLine numbers in these messages count the " +
                                std::to_string(calibre_added_lines(copy)) +
                                " lines TarnWhistle adds at the top of its copy of the deck.");
    if (result.exit_code != 0)
        throw VerificationError("Calibre DRC exited with code " + std::to_string(result.exit_code) + "." + tail);
    std::error_code error;
    if (!std::filesystem::exists(deck.results_path, error))
        throw VerificationError("Calibre DRC wrote no results database." + tail);
    CheckResult found{read_calibre_results(deck.results_path, request.max_results), result.output, 0};
    copy_results(deck.results_path, request.results_file);
    return found;
}

}  // namespace

void validate_check(const CheckRequest& request) {
    if (request.kind == CheckKind::Lvs && !request.schematic && request.schematic_file.empty())
        throw CheckArgumentError("'schematic' is required when 'source' is a file.");
    if (request.engine == Engine::Calibre) {
        if (request.variable_names)
            throw CheckArgumentError(
                "'variable_names' applies to KLayout runsets. TarnWhistle finds the statements of a "
                "Calibre rule deck in the deck itself.");
        return;
    }
    if (request.top_level)
        throw CheckArgumentError(
            "'top_level' sets Calibre's LAYOUT PRIMARY. A KLayout runset chooses its own top cell, "
            "for example with source($gdsfile, $topcell) and the name in 'args'.");
    check_klayout_rules(request.kind, request.rules);
    RunsetVariables(request.kind, request.variable_names.value_or(NamedTexts()))
        .check_extra(request.kind, request.runset_args);
}

CheckResult run_check(const CheckRequest& request, ProcessRunner& runner, const EngineSettings& settings,
                      ErrorHandler& status) {
    validate_check(request);
    WorkDir dir;
    CheckResult found = request.engine == Engine::KLayout ? run_klayout(request, runner, settings, dir, status)
                                                          : run_calibre(request, runner, settings, dir, status);
    if (request.kind == CheckKind::Drc) warn_if_cut(found.dump, request.max_results, status);
    return found;
}

CheckResult load_results(const LoadRequest& request, ProcessRunner& runner, const EngineSettings& settings,
                         ErrorHandler& status) {
    const std::string head = file_head(request.path, "results file");
    const Engine engine = request.engine          ? *request.engine
                          : request.kind == CheckKind::Lvs ? Engine::KLayout
                                                           : results_engine(head);
    CheckResult found;
    if (engine == Engine::Calibre) {
        found.dump = read_calibre_results(request.path, request.max_results);
    } else {
        KLayout klayout(runner, find_klayout(settings.klayout_executable), request.run);
        WorkDir dir;
        found.dump = klayout.read_results(request.kind, request.path, dir, request.max_results, request.load_shapes);
    }
    if (request.kind == CheckKind::Drc) warn_if_cut(found.dump, request.max_results, status);
    return found;
}

}  // namespace whistle
