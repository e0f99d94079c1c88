// Calibre ASCII results databases over arbitrary text: the reader must either fail with an
// error naming the database and a line, or return a dump whose markers are sound (a known
// kind, finite coordinates, at most the requested number of them, never more than the total).
#include <cmath>
#include <cstdint>
#include <string>

#include "core/verification/calibre.hpp"
#include "core/verification/process.hpp"

using namespace whistle;
using json = nlohmann::json;

namespace {

bool finite_point(const json& point) {
    return point.is_array() && point.size() == 2 && std::isfinite(point[0].get<double>()) &&
           std::isfinite(point[1].get<double>());
}

bool finite_points(const json& points, size_t minimum) {
    if (!points.is_array() || points.size() < minimum) return false;
    for (const json& point : points)
        if (!finite_point(point)) return false;
    return true;
}

bool finite_edge(const json& edge) { return finite_points(edge, 2) && edge.size() == 2; }

// Exactly one shape: a polygon without holes, an edge or a pair of edges.
bool sound_marker(const json& marker) {
    if (marker.size() != 3 && !(marker.size() == 4 && marker.contains("symmetric"))) return false;
    if (marker.contains("polygon"))
        return finite_points(marker["polygon"].at("hull"), 3) && marker["polygon"].at("holes").empty();
    if (marker.contains("edge")) return finite_edge(marker["edge"]);
    if (marker.contains("edge_pair"))
        return marker["edge_pair"].size() == 2 && finite_edge(marker["edge_pair"][0]) &&
               finite_edge(marker["edge_pair"][1]);
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    // The first byte chooses the marker limit: none, or 0 to 254.
    const std::optional<uint64_t> limit = data[0] == 255 ? std::nullopt : std::optional<uint64_t>(data[0]);
    const std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
    json dump;
    try {
        dump = parse_calibre_results("fuzz", text, limit);
    } catch (const VerificationError& error) {
        if (std::string(error.what()).rfind("Calibre results database 'fuzz', line ", 0) != 0) __builtin_trap();
        return 0;
    }
    const json& markers = dump.at("markers");
    const uint64_t total = dump.at("total");
    if (markers.size() > total || (limit && markers.size() > *limit)) __builtin_trap();
    if (!limit && markers.size() != total) __builtin_trap();
    for (const json& marker : markers)
        if (!sound_marker(marker) || marker.at("cell") != dump.at("top_cell")) __builtin_trap();
    return 0;
}
