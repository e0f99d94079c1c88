// Joining the S matrices of circuit instances port by port into the S matrix of the circuit.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "core/circuit/s_matrix.hpp"

namespace whistle {

// A port-mode of one instance: (instance index, port-mode name).
using InstancePortMode = std::pair<int64_t, std::string>;
// Transmissions keyed by (from, to) port-modes; absent entries are zero.
using InstanceElements = std::map<std::pair<InstancePortMode, InstancePortMode>, ComplexVector>;

// A port of one instance with its number of modes.
struct InstancePort {
    int64_t instance = 0;
    std::string port;
    int64_t modes = 0;
};
using PortConnection = std::pair<InstancePort, InstancePort>;

// Joins the connected port pairs in order, mode m of the first port with mode m of the second,
// and returns the transmissions between the remaining port-modes. All elements must have
// `frequency_count` values. A loop of unit gain divides by zero and gives non-finite values.
InstanceElements connect_s_matrices(const InstanceElements& elements,
                                    const std::vector<PortConnection>& connections,
                                    size_t frequency_count);

}  // namespace whistle
