// Finding exact rectangular lattices among the origins of identical elements of one cell.
#pragma once

#include <cstdint>
#include <tuple>

#include "core/foundation/error_handler.hpp"
#include "core/foundation/units.hpp"
#include "external_sort.hpp"

namespace whistle::layout {

// Columns along x and rows along y from `origin`, `pitch` apart.
struct Lattice {
    Vector origin;
    Vector pitch;
    uint32_t columns = 1;
    uint32_t rows = 1;
};

// Receives the decisions for each key: lattices first, then the origins left over.
class CompactionOutput {
public:
    virtual ~CompactionOutput() = default;
    virtual bool lattice(uint64_t key, const Lattice& lattice) = 0;
    virtual bool leftover(uint64_t key, const Vector& origin) = 0;
};

// Collects (key, origin) pairs of one cell; `finish` replaces every lattice of at least
// kMinimumInstances origins of one key by a lattice and hands out the rest one by one. Every
// stage sorts within the workspace and spills beyond it.
class OriginCompactor {
public:
    static constexpr uint64_t kMinimumInstances = 4;

    OriginCompactor(const SpillSettings& settings, ErrorHandler& status);

    bool add(uint64_t key, const Vector& origin) { return origins_.add({key, origin.y, origin.x}); }
    bool finish(CompactionOutput& output);

private:
    // Ordered by key, then row, then column.
    struct Origin {
        uint64_t key;
        Coord y;
        Coord x;
        bool operator<(const Origin& o) const { return std::tie(key, y, x) < std::tie(o.key, o.y, o.x); }
        bool operator==(const Origin&) const = default;
    };
    // Equally spaced origins on one row; runs that can stack into a lattice sort together.
    struct RowRun {
        uint64_t key;
        Coord x;
        Coord pitch;
        uint64_t count;
        Coord y;
        bool operator<(const RowRun& o) const {
            return std::tie(key, x, pitch, count, y) < std::tie(o.key, o.x, o.pitch, o.count, o.y);
        }
        bool stacks_with(const RowRun& o) const {
            return key == o.key && x == o.x && pitch == o.pitch && count == o.count;
        }
    };

    bool collect_row_runs();
    bool stack_row_runs(CompactionOutput& output);
    bool choose(const RowRun& first, Coord row_pitch, uint64_t rows, CompactionOutput& output);
    bool subtract_coverage(CompactionOutput& output);

    ErrorHandler& status_;
    ExternalSorter<Origin> origins_;
    ExternalSorter<RowRun> runs_;
    ExternalSorter<Origin> coverage_;
};

}  // namespace whistle::layout
