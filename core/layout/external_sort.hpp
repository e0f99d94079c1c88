// Sorting fixed-size records within a bounded memory workspace: beyond it, sorted runs go to a
// temporary file and are merged into a second one.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <queue>
#include <string>
#include <type_traits>
#include <vector>

#include "core/foundation/error_handler.hpp"

namespace whistle::layout {

// Where spill files go (empty: anonymous temporary files) and how much memory each sort may
// hold before it spills.
struct SpillSettings {
    std::string temp_dir;
    size_t workspace_bytes = 0;
};

// The workspace of every later load (64 MiB unless changed); the previous value is returned.
size_t compaction_workspace();
size_t set_compaction_workspace(size_t bytes);

// A temporary file, closed and removed when destroyed.
class SpillFile {
public:
    // Named temp_dir + "/tarnwhistle_<counter>_<random>.tmp", created exclusively; null with the
    // failure in `status` when no file could be created.
    static std::unique_ptr<SpillFile> create(const std::string& temp_dir, ErrorHandler& status);
    ~SpillFile();
    SpillFile(const SpillFile&) = delete;
    SpillFile& operator=(const SpillFile&) = delete;

    bool write(const void* data, size_t bytes);
    // Reads at an absolute offset, independent of the sequential position.
    bool read_at(uint64_t offset, void* data, size_t bytes);
    bool rewind();
    // Sequential read; `count` bytes arrived (short at the end).
    bool read(void* data, size_t bytes, size_t& count);

private:
    SpillFile(std::FILE* file, std::string name) : file_(file), name_(std::move(name)) {}

    std::FILE* file_;
    std::string name_;  // empty for anonymous files
};

// Sorts records (trivially copyable, ordered by operator<) added one by one, then hands them
// out in order, as often as asked. Failures are reported with the stage name in front.
template <class Record>
class ExternalSorter {
    static_assert(std::is_trivially_copyable_v<Record>);

public:
    static constexpr uint64_t kMaxRecords = uint64_t(1) << 40;
    // Records read from a run at a time during a merge, at the least.
    static constexpr size_t kMinimumChunk = 64;

    ExternalSorter(std::string stage, const SpillSettings& settings, ErrorHandler& status)
        : stage_(std::move(stage)), settings_(settings), status_(status),
          capacity_(std::max<size_t>(settings.workspace_bytes / sizeof(Record), 16)) {}

    bool add(const Record& record) {
        if (buffer_.size() >= capacity_ && !spill_run()) return false;
        if (++count_ > kMaxRecords) return fail("sort input exceeds supported record count");
        // Grown by hand so that the buffer never holds more than the workspace.
        if (buffer_.size() == buffer_.capacity())
            buffer_.reserve(std::min(capacity_, std::max<size_t>(2 * buffer_.size(), 16)));
        buffer_.push_back(record);
        return true;
    }

    uint64_t count() const { return count_; }

    // Sorts what was added; after it, next() hands the records out in order.
    bool finish() {
        std::sort(buffer_.begin(), buffer_.end());
        if (!runs_) return true;
        return spill_run() && merge();
    }

    bool rewind() {
        position_ = 0;
        if (!output_) return true;
        buffer_.clear();
        return output_->rewind() || fail("unable to rewind merge output");
    }

    // The next record in order; false at the end or on a failure (then reported). Merged
    // output is read back through the buffer, a workspace at a time.
    bool next(Record& record) {
        if (position_ == buffer_.size() && !(output_ && read_output())) return false;
        record = buffer_[position_++];
        return true;
    }

private:
    // A sorted run in the runs file, read through a small buffer during the merge.
    struct Run {
        uint64_t offset;
        uint64_t end;
        std::vector<Record> buffer;
        size_t index = 0;
    };

    bool fail(const char* detail) {
        status_.error(stage_ + ": " + detail);
        return false;
    }

    bool spill_run() {
        if (!runs_ && !(runs_ = SpillFile::create(settings_.temp_dir, status_))) return false;
        std::sort(buffer_.begin(), buffer_.end());
        if (!runs_->write(buffer_.data(), buffer_.size() * sizeof(Record)))
            return fail("unable to create sorted run");
        run_bounds_.push_back(run_bounds_.back() + buffer_.size() * sizeof(Record));
        buffer_.clear();
        return true;
    }

    bool read_output() {
        buffer_.resize(capacity_);
        size_t bytes = 0;
        bool ok = output_->read(buffer_.data(), capacity_ * sizeof(Record), bytes);
        buffer_.resize(bytes / sizeof(Record));
        position_ = 0;
        if (!ok || bytes % sizeof(Record) != 0) return fail("unable to read sorted run");
        return !buffer_.empty();
    }

    bool refill(SpillFile& source, Run& run, size_t chunk) {
        size_t n = size_t(std::min<uint64_t>(chunk, (run.end - run.offset) / sizeof(Record)));
        run.buffer.resize(n);
        run.index = 0;
        if (n && !source.read_at(run.offset, run.buffer.data(), n * sizeof(Record)))
            return fail("unable to read sorted run");
        run.offset += n * sizeof(Record);
        return true;
    }

    // Merge passes over groups of runs until one run is left: each pass reads at most
    // `fan_in` runs at once, so the read buffers stay within the workspace.
    bool merge() {
        std::vector<Record>().swap(buffer_);
        size_t fan_in = std::max<size_t>(capacity_ / kMinimumChunk, 2);
        std::unique_ptr<SpillFile> source = std::move(runs_);
        std::vector<uint64_t> bounds = std::move(run_bounds_);
        do {
            auto target = SpillFile::create(settings_.temp_dir, status_);
            if (!target) return fail("unable to create merge output");
            std::vector<uint64_t> merged{0};
            for (size_t first = 0; first + 1 < bounds.size(); first += fan_in) {
                size_t last = std::min(bounds.size() - 1, first + fan_in);
                if (!merge_runs(*source, bounds, first, last, *target)) return false;
                merged.push_back(bounds[last]);
            }
            source = std::move(target);
            bounds = std::move(merged);
        } while (bounds.size() > 2);
        output_ = std::move(source);
        return rewind();
    }

    // One k-way merge of runs [first, last) of `source`, appended to `target`.
    bool merge_runs(SpillFile& source, const std::vector<uint64_t>& bounds, size_t first,
                    size_t last, SpillFile& target) {
        size_t chunk = std::max(capacity_ / (last - first + 1), kMinimumChunk);
        std::vector<Run> runs;
        for (size_t i = first; i < last; ++i) {
            runs.push_back({bounds[i], bounds[i + 1], {}});
            if (!refill(source, runs.back(), chunk)) return false;
        }
        auto later = [&runs](size_t a, size_t b) {
            return runs[b].buffer[runs[b].index] < runs[a].buffer[runs[a].index];
        };
        std::priority_queue<size_t, std::vector<size_t>, decltype(later)> heap(later);
        for (size_t i = 0; i < runs.size(); ++i)
            if (!runs[i].buffer.empty()) heap.push(i);
        std::vector<Record> out;
        out.reserve(chunk);
        while (!heap.empty()) {
            size_t i = heap.top();
            heap.pop();
            Run& run = runs[i];
            out.push_back(run.buffer[run.index++]);
            if (out.size() == chunk) {
                if (!target.write(out.data(), out.size() * sizeof(Record)))
                    return fail("unable to write merge output");
                out.clear();
            }
            if (run.index == run.buffer.size() && !refill(source, run, chunk)) return false;
            if (run.index < run.buffer.size()) heap.push(i);
        }
        return target.write(out.data(), out.size() * sizeof(Record)) ||
               fail("unable to write merge output");
    }

    std::string stage_;
    SpillSettings settings_;
    ErrorHandler& status_;
    size_t capacity_;
    uint64_t count_ = 0;
    std::vector<Record> buffer_;
    size_t position_ = 0;
    std::unique_ptr<SpillFile> runs_;
    // Byte offsets where the runs begin, and the end of the last one.
    std::vector<uint64_t> run_bounds_{0};
    std::unique_ptr<SpillFile> output_;
};

}  // namespace whistle::layout
