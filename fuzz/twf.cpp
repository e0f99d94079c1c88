// twf files over arbitrary bytes: the header and table checks, then every listed record loaded
// (lazily, shared, with its properties), the stream's own properties and the configuration. A
// corrupt file must fail with a message, never crash, hang, recurse or allocate without bound.
// Interpreter-backed records fail without the binding layer's value codec: that is a message too.
#include <cstdint>
#include <exception>
#include <string>

#include "core/store/twf_reader.hpp"
#include "fuzz_input.hpp"

using namespace whistle;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::unique_ptr<TwfReader> reader;
    fuzz::guarded([&] { reader = std::make_unique<TwfReader>(std::string(reinterpret_cast<const char*>(data), size)); });
    if (!reader) return 0;
    fuzz::guarded([&] { reader->stream_properties(); });
    fuzz::guarded([&] { reader->stored_config(); });
    for (const TwfReader::Entry& entry : reader->all()) {
        fuzz::guarded([&] {
            auto object = reader->load(entry);
            // Loaded objects are shared: a second load returns the same one.
            if (!object || reader->load(entry) != object) __builtin_trap();
            (void)object->str(true);
        });
    }
    return 0;
}
