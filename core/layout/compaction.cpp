#include "compaction.hpp"

namespace whistle::layout {

OriginCompactor::OriginCompactor(const SpillSettings& settings, ErrorHandler& status)
    : status_(status),
      origins_("compact origin sort", settings, status),
      runs_("compact row-run sort", settings, status),
      coverage_("compact coverage sort", settings, status) {}

bool OriginCompactor::finish(CompactionOutput& output) {
    return origins_.finish() && collect_row_runs() && runs_.finish() &&
           stack_row_runs(output) && coverage_.finish() && subtract_coverage(output);
}

// Splits each row of each key into maximal runs of equal positive pitch (repeated origins
// start a new run).
bool OriginCompactor::collect_row_runs() {
    Origin origin;
    RowRun run{};
    bool open = false;
    while (origins_.next(origin)) {
        if (open && origin.key == run.key && origin.y == run.y) {
            Coord step = origin.x - (run.x + Coord(run.count - 1) * run.pitch);
            if (step > 0 && (run.count == 1 || step == run.pitch)) {
                run.pitch = step;
                ++run.count;
                continue;
            }
        }
        if (open && !runs_.add(run)) return false;
        run = {origin.key, origin.x, 0, 1, origin.y};
        open = true;
    }
    if (status_.failed()) return false;
    return !open || runs_.add(run);
}

// Stacks runs of one start, pitch and length whose rows are equally spaced.
bool OriginCompactor::stack_row_runs(CompactionOutput& output) {
    RowRun run, first{};
    Coord row_pitch = 0;
    uint64_t rows = 0;
    while (runs_.next(run)) {
        if (rows > 0 && run.stacks_with(first)) {
            Coord step = run.y - (first.y + Coord(rows - 1) * row_pitch);
            if (step > 0 && (rows == 1 || step == row_pitch)) {
                row_pitch = step;
                ++rows;
                continue;
            }
        }
        if (rows > 0 && !choose(first, row_pitch, rows, output)) return false;
        first = run;
        row_pitch = 0;
        rows = 1;
    }
    if (status_.failed()) return false;
    return rows == 0 || choose(first, row_pitch, rows, output);
}

// Keeps a lattice that is large enough and records the origins it covers.
bool OriginCompactor::choose(const RowRun& first, Coord row_pitch, uint64_t rows,
                             CompactionOutput& output) {
    if (first.count * rows < kMinimumInstances) return true;
    if (first.count > UINT32_MAX || rows > UINT32_MAX) {
        status_.error("compact lattice dimensions exceed uint32 range");
        return false;
    }
    Int128 far_x = Int128(first.x) + Int128(first.count - 1) * first.pitch;
    Int128 far_y = Int128(first.y) + Int128(rows - 1) * row_pitch;
    if (far_x > kMaxCoord || far_y > kMaxCoord) {
        status_.error("compact lattice coordinate exceeds range");
        return false;
    }
    Lattice lattice{{first.x, first.y}, {first.pitch, row_pitch}, uint32_t(first.count), uint32_t(rows)};
    if (!output.lattice(first.key, lattice)) return false;
    for (uint64_t r = 0; r < rows; ++r)
        for (uint64_t c = 0; c < first.count; ++c)
            if (!coverage_.add({first.key, first.y + Coord(r) * row_pitch, first.x + Coord(c) * first.pitch}))
                return false;
    return true;
}

// Both sequences are sorted alike: one merge walk hands out what no lattice covers.
bool OriginCompactor::subtract_coverage(CompactionOutput& output) {
    if (coverage_.count() > origins_.count()) {
        status_.error("compact coverage exceeds the source origin count");
        return false;
    }
    if (!origins_.rewind()) return false;
    Origin origin, covered;
    bool pending = coverage_.next(covered);
    while (origins_.next(origin)) {
        if (pending && origin == covered) {
            pending = coverage_.next(covered);
            continue;
        }
        if (pending && covered < origin) {
            status_.error("invalid compact origin group");
            return false;
        }
        if (!output.leftover(origin.key, {origin.x, origin.y})) return false;
    }
    if (status_.failed()) return false;
    if (pending) {
        status_.error("invalid compact origin group");
        return false;
    }
    return true;
}

}  // namespace whistle::layout
