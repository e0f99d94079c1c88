// Calibre DRC runs: the copy of the user's rule deck that points Calibre at this check's files,
// and the reader of the ASCII results database Calibre writes.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

namespace whistle {

struct CalibreDeckSettings {
    std::string layout_path;
    std::string layout_system;            // "GDSII" or "OASIS"
    std::optional<std::string> primary;   // LAYOUT PRIMARY, when known
    std::string results_path;             // DRC RESULTS DATABASE (ASCII)
    std::string summary_path;             // DRC SUMMARY REPORT, used when the deck declares one
};

// The text of the deck copy that runs instead of the user's deck: the added statements, then
// the deck. Throws VerificationError("Unable to read '<path>' while inspecting the rule deck.").
std::string calibre_deck_copy(const std::string& deck_path, const CalibreDeckSettings& settings);

// Number of lines calibre_deck_copy adds before the user's deck (for the line-number note).
size_t calibre_added_lines(const std::string& deck_copy_text);

// Reads an ASCII DRC results database into the DRC dump layout (keys as the KLayout dump
// macro writes them), keeping at most `max_results` markers ("total" counts all). Never
// crashes or hangs on any input; errors are VerificationError naming
// "Calibre results database '<path>', line <n>".
nlohmann::json read_calibre_results(const std::string& path, std::optional<uint64_t> max_results);

// The same over the database's text; `path` only names it in errors.
nlohmann::json parse_calibre_results(const std::string& path, const std::string& text,
                                     std::optional<uint64_t> max_results);

}  // namespace whistle
