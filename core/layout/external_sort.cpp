#include "external_sort.hpp"

#include <atomic>
#include <cerrno>
#include <random>

#include <unistd.h>

namespace whistle::layout {

namespace {

std::atomic<size_t> workspace_bytes{size_t(64) << 20};
// Spill file names stay distinct across loads in one process.
std::atomic<uint64_t> spill_counter{0};

constexpr int kNameAttempts = 16;

}  // namespace

size_t compaction_workspace() { return workspace_bytes.load(); }

size_t set_compaction_workspace(size_t bytes) { return workspace_bytes.exchange(bytes); }

std::unique_ptr<SpillFile> SpillFile::create(const std::string& temp_dir, ErrorHandler& status) {
    if (temp_dir.empty()) {
        if (std::FILE* file = std::tmpfile()) return std::unique_ptr<SpillFile>(new SpillFile(file, {}));
        status.error("Unable to create compact-layout spill file: anonymous temporary file");
        return nullptr;
    }
    std::random_device device;
    std::string name;
    for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
        name = temp_dir + "/tarnwhistle_" + std::to_string(spill_counter.fetch_add(1)) + "_" +
               std::to_string(device()) + ".tmp";
        if (std::FILE* file = std::fopen(name.c_str(), "w+bx"))
            return std::unique_ptr<SpillFile>(new SpillFile(file, name));
        if (errno != EEXIST) break;
    }
    status.error("Unable to create compact-layout spill file: " + name);
    return nullptr;
}

SpillFile::~SpillFile() {
    std::fclose(file_);
    if (!name_.empty()) std::remove(name_.c_str());
}

bool SpillFile::write(const void* data, size_t bytes) {
    return bytes == 0 || std::fwrite(data, 1, bytes, file_) == bytes;
}

bool SpillFile::read_at(uint64_t offset, void* data, size_t bytes) {
    // Positioned reads bypass the stream buffer, so what was written must reach the file first.
    if (std::fflush(file_) != 0) return false;
    auto* out = static_cast<char*>(data);
    while (bytes) {
        ssize_t n = ::pread(fileno(file_), out, bytes, off_t(offset));
        if (n <= 0) {
            if (n < 0 && errno == EINTR) continue;
            return false;
        }
        out += n;
        bytes -= size_t(n);
        offset += uint64_t(n);
    }
    return true;
}

bool SpillFile::rewind() { return std::fflush(file_) == 0 && std::fseek(file_, 0, SEEK_SET) == 0; }

bool SpillFile::read(void* data, size_t bytes, size_t& count) {
    count = std::fread(data, 1, bytes, file_);
    return count == bytes || !std::ferror(file_);
}

}  // namespace whistle::layout
