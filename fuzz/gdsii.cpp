// GDSII files: the reader over arbitrary bytes must fail cleanly or emit sound events, never
// crash, hang or allocate without bound. Events are only checked, not built into components.
#include <cstdint>

#include "core/layout/codecs.hpp"

using namespace whistle;
using namespace whistle::layout;

namespace {

class CheckingSink final : public detail::EventSink {
public:
    void library_units(double, double, const UnitScale& scale) override {
        if (scale.numerator <= 0 || scale.denominator <= 0) __builtin_trap();
    }
    void begin_cell(const std::string& name) override {
        if (name.empty() || in_cell_) __builtin_trap();
        in_cell_ = true;
    }
    void polygon(const Layer&, std::vector<FileVector>&& vertices, const ElementRepetition*,
                 std::shared_ptr<Properties>) override {
        if (vertices.size() < 3 || !in_cell_) __builtin_trap();
    }
    void circle(const Layer&, const FileVector&, int64_t, const ElementRepetition*,
                std::shared_ptr<Properties>) override {
        __builtin_trap();  // GDSII has no circles
    }
    void path(const Layer&, std::vector<FileVector>&& points, int64_t width, bool,
              const PathEnds&, const ElementRepetition*, std::shared_ptr<Properties>) override {
        if (points.empty() || width < 0 || !in_cell_) __builtin_trap();
    }
    void label(const Layer&, const FileVector&, std::string&&, Anchor anchor,
               const ElementTransform&, const ElementRepetition*,
               std::shared_ptr<Properties>) override {
        if (unsigned(anchor) > unsigned(Anchor::SE) || !in_cell_) __builtin_trap();
    }
    void reference(const std::string& cell, const FileVector&, const ElementTransform& transform,
                   const ElementRepetition* repetition, std::shared_ptr<Properties>) override {
        if (cell.empty() || !(transform.magnification > 0) || !in_cell_) __builtin_trap();
        if (repetition && (repetition->columns == 0 || repetition->rows == 0)) __builtin_trap();
    }
    void properties(std::shared_ptr<Properties>) override {}
    void rename(const std::string&, const std::string&) override {}
    void end_cell() override {
        if (!in_cell_) __builtin_trap();
        in_cell_ = false;
    }
    void finish() override {
        if (in_cell_) __builtin_trap();
    }

private:
    bool in_cell_ = false;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    MemoryInputStream in(data, size);
    CheckingSink sink;
    ErrorHandler status;
    bool ok = read_gdsii(in, "fuzz.gds", sink, status);
    // Success and failure agree with the status.
    if (ok == status.failed()) __builtin_trap();
    return 0;
}
