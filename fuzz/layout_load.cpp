// Layout loading: arbitrary GDSII or OASIS bytes through the component builder with compaction
// on and a tiny workspace, so that every stage spills. The first byte picks the format; the
// builder must end every input with a result or a recorded failure, without a crash or a leak.
#include <cstddef>
#include <cstdint>

#include "core/layout/builder.hpp"
#include "core/layout/codecs.hpp"
#include "core/layout/external_sort.hpp"

using namespace whistle;
using namespace whistle::layout;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    static const size_t workspace = (set_compaction_workspace(256), 256);
    (void)workspace;
    ErrorHandler status;
    LoadOptions options;
    CompactWhistleBuilder builder(options, (data[0] & 2) != 0, status);
    MemoryInputStream in(data + 1, size - 1);
    bool ok = (data[0] & 1) ? read_oasis(in, builder, status)
                            : read_gdsii(in, "fuzz input", builder, status);
    if (ok && !status.failed()) {
        for (const auto& [name, component] : builder.result().components)
            if (!component || component->name != name) __builtin_trap();
    }
    return 0;
}
