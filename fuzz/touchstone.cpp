// Touchstone text: the reader over arbitrary bytes must fail cleanly with an empty result or
// return consistent data, never crash, hang or allocate without bound.
#include <cstdint>
#include <string>

#include "core/circuit/touchstone.hpp"

using namespace whistle;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    ErrorHandler status;
    TouchstoneData result =
        parse_touchstone("fuzz.snp", std::string(reinterpret_cast<const char*>(data), size), status);
    const size_t f_count = result.frequencies.size(), n = result.ports;
    if (status.failed() && (f_count != 0 || !result.values.empty())) __builtin_trap();
    if (result.values.size() != f_count * n * n) __builtin_trap();
    // Data ends at the first frequency that does not increase.
    for (size_t k = 1; k < f_count; ++k)
        if (!(result.frequencies[k] > result.frequencies[k - 1])) __builtin_trap();
    return 0;
}
