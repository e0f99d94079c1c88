// OASIS files: the reader over arbitrary bytes (with or without a valid magic and START), its
// compressed blocks and name tables. Every event is consumed; an event beyond the reader's
// bounds, a crash, a hang or a leak is a finding.
#include <cstdlib>
#include <cstring>

#include "core/layout/codecs.hpp"

using namespace whistle;
using namespace whistle::layout;

namespace {

// Bounds the reader promises for what it hands on.
constexpr uint64_t kMaxInstances = uint64_t(1) << 24;
constexpr size_t kMaxPoints = size_t(1) << 24;

class ConsumingSink final : public detail::EventSink {
public:
    void library_units(double, double, const UnitScale& scale) override {
        if (scale.numerator <= 0 || scale.denominator <= 0) std::abort();
    }
    void begin_cell(const std::string& name) override { touch(name); }
    void polygon(const Layer& layer, std::vector<FileVector>&& vertices,
                 const ElementRepetition* repetition, std::shared_ptr<Properties> properties) override {
        element(layer, vertices, repetition, properties);
    }
    void circle(const Layer& layer, const FileVector& center, int64_t radius,
                const ElementRepetition* repetition, std::shared_ptr<Properties> properties) override {
        if (radius < 0) std::abort();
        element(layer, {center}, repetition, properties);
    }
    void path(const Layer& layer, std::vector<FileVector>&& points, int64_t width, bool,
              const PathEnds&, const ElementRepetition* repetition,
              std::shared_ptr<Properties> properties) override {
        if (width < 0) std::abort();
        element(layer, points, repetition, properties);
    }
    void label(const Layer& layer, const FileVector& position, std::string&& text, Anchor,
               const ElementTransform&, const ElementRepetition* repetition,
               std::shared_ptr<Properties> properties) override {
        touch(text);
        element(layer, {position}, repetition, properties);
    }
    void reference(const std::string& cell, const FileVector& origin,
                   const ElementTransform& transform, const ElementRepetition* repetition,
                   std::shared_ptr<Properties> properties) override {
        if (!(transform.magnification > 0)) std::abort();
        touch(cell);
        element({}, {origin}, repetition, properties);
    }
    void properties(std::shared_ptr<Properties> properties) override { touch(properties); }
    void rename(const std::string& provisional, const std::string& name) override {
        touch(provisional);
        touch(name);
    }
    void end_cell() override {}
    void finish() override {}

    uint64_t checksum = 0;

private:
    void touch(const std::string& text) {
        for (unsigned char c : text) checksum += c;
    }
    void touch(const std::shared_ptr<Properties>& properties) {
        if (!properties) return;
        for (const auto& [key, value] : properties->entries()) touch(key), checksum += value.size();
    }
    void element(const Layer& layer, const std::vector<FileVector>& points,
                 const ElementRepetition* repetition, const std::shared_ptr<Properties>& properties) {
        if (points.size() > kMaxPoints) std::abort();
        if (repetition && repetition->count() > kMaxInstances) std::abort();
        checksum += layer.layer + layer.datatype;
        for (const FileVector& p : points) checksum += uint64_t(p.x) ^ uint64_t(p.y);
        touch(properties);
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    ConsumingSink sink;
    ErrorHandler status;
    MemoryInputStream in(data, size);
    bool ok = read_oasis(in, sink, status);
    // Success and failure are exclusive; a failure always has a message.
    if (ok == status.failed() || (!ok && status.message.empty())) std::abort();
    return 0;
}
