// Touchstone ("snp") files: a 2.0 writer and a reader for 1.x and 2.0 files.
#pragma once

#include <string>
#include <vector>

#include "core/circuit/s_matrix.hpp"
#include "core/foundation/error_handler.hpp"

namespace whistle {

// Dense scattering data: F blocks of N×N values, row-major (entry [f][i][j] = S[i][j]).
struct TouchstoneData {
    ComplexVector values;
    std::vector<double> frequencies;  // Hz
    size_t ports = 0;
};

// Writes a Touchstone 2.0 file, frequencies ascending. Errors go to `status`.
void write_touchstone(const std::string& filename, const TouchstoneData& data, ErrorHandler& status);

// Reads a Touchstone file; on error `status` holds it and the result is empty.
TouchstoneData read_touchstone(const std::string& filename, ErrorHandler& status);

// Parses the text of a Touchstone file; `filename` names it in messages. Errors as above.
TouchstoneData parse_touchstone(const std::string& filename, std::string text, ErrorHandler& status);

}  // namespace whistle
