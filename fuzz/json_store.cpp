// JSON store documents over arbitrary text: the document checks, then the top content with
// everything it refers to, and the configuration record. A malformed document must fail with a
// message, never crash, hang, recurse or allocate without bound.
#include <cstdint>
#include <string_view>

#include "core/store/json_store.hpp"
#include "fuzz_input.hpp"

using namespace whistle;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::unique_ptr<JsonStoreReader> reader;
    fuzz::guarded([&] {
        reader = std::make_unique<JsonStoreReader>(std::string_view(reinterpret_cast<const char*>(data), size));
    });
    if (!reader) return 0;
    fuzz::guarded([&] {
        for (const auto& object : reader->top_content()) (void)object->str(true);
    });
    fuzz::guarded([&] { reader->stored_config(); });
    return 0;
}
