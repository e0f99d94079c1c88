// What the layout readers hand to a builder, element by element, in file units.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/foundation/properties.hpp"
#include "core/geometry/label.hpp"
#include "core/model/layer.hpp"

namespace whistle::layout {

// Internal database units per file unit, an exact positive ratio.
struct UnitScale {
    int64_t numerator = 1;
    int64_t denominator = 1;

    // From database units per micrometre given as a ratio (OASIS units); nullopt when the
    // scale does not fit 64-bit terms.
    static std::optional<UnitScale> from_units_per_micron(uint64_t numerator, uint64_t denominator);
    // From the database unit in metres (GDSII units). Eight-byte reals cannot hold decimal
    // units exactly, so the scale is the ratio with the smallest denominator (at most 10^6)
    // within 10^-12 of the value: the unit its writer meant. nullopt when there is none.
    static std::optional<UnitScale> from_metres(long double database_unit);

    // True when every file coordinate lands exactly on a multiple of `grid`.
    bool exact_on(int64_t grid) const;
    // v × scale rounded to the nearest multiple of `grid` (halves away from zero); false when
    // the result leaves the coordinate range.
    bool convert(int64_t value, int64_t grid, int64_t& out) const;
};

struct FileVector {
    int64_t x = 0;
    int64_t y = 0;
    bool operator==(const FileVector&) const = default;
};

// Where an element is repeated: a lattice of columns × rows along two step vectors (GDSII
// arrays, regular OASIS repetitions), or explicit offsets from the element's position
// (irregular OASIS repetitions). The element itself is the first instance of either.
struct ElementRepetition {
    uint32_t columns = 1;
    uint32_t rows = 1;
    FileVector column_step;
    FileVector row_step;
    std::vector<FileVector> offsets;  // used when not empty; includes (0, 0)

    bool is_lattice() const { return offsets.empty(); }
    uint64_t count() const { return is_lattice() ? uint64_t(columns) * rows : offsets.size(); }
};

// Placement of labels and references.
struct ElementTransform {
    double magnification = 1;
    double rotation = 0;  // degrees
    bool x_reflection = false;
};

// Path ends in file units: round caps, or flush ends moved out by the extensions.
struct PathEnds {
    bool round = false;
    int64_t begin_extension = 0;
    int64_t end_extension = 0;
};

namespace detail {

// Implemented by the component builder; readers call it in file order. Every `repetition`
// may be null (a single instance); `properties` may be null (none).
class EventSink {
public:
    virtual ~EventSink() = default;
    // Before the first cell: the user unit (in database units) and the database unit (in
    // metres), with the scale the reader derived from them.
    virtual void library_units(double user_unit, double database_unit, const UnitScale& scale) = 0;
    virtual void begin_cell(const std::string& name) = 0;
    virtual void polygon(const Layer& layer, std::vector<FileVector>&& vertices,
                         const ElementRepetition* repetition,
                         std::shared_ptr<Properties> properties) = 0;
    virtual void circle(const Layer& layer, const FileVector& center, int64_t radius,
                        const ElementRepetition* repetition,
                        std::shared_ptr<Properties> properties) = 0;
    // `absolute_width`: the width does not scale with the placement (negative GDSII widths).
    virtual void path(const Layer& layer, std::vector<FileVector>&& points, int64_t width,
                      bool absolute_width, const PathEnds& ends,
                      const ElementRepetition* repetition,
                      std::shared_ptr<Properties> properties) = 0;
    virtual void label(const Layer& layer, const FileVector& position, std::string&& text,
                       Anchor anchor, const ElementTransform& transform,
                       const ElementRepetition* repetition,
                       std::shared_ptr<Properties> properties) = 0;
    virtual void reference(const std::string& cell, const FileVector& origin,
                           const ElementTransform& transform, const ElementRepetition* repetition,
                           std::shared_ptr<Properties> properties) = 0;
    // Properties of the current cell, or of the library outside cells.
    virtual void properties(std::shared_ptr<Properties> properties) = 0;
    // A name handed out provisionally (a cell, text or property referred to by number before
    // its name was known) and the name the file finally gives it.
    virtual void rename(const std::string& provisional, const std::string& name) = 0;
    virtual void end_cell() = 0;
    // The library is complete; not called after a failure.
    virtual void finish() = 0;
};

}  // namespace detail
}  // namespace whistle::layout
