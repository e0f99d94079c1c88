// What every engine run shares: the process runner, the working directory and the tail of an
// engine's output quoted in errors.
#pragma once

#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace whistle {

// A failed check (RuntimeError in the interpreter).
struct VerificationError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

struct ProcessResult {
    int exit_code = 0;
    std::string output;  // standard output and error, interleaved
};

// Starts external programs. The bindings run them through the interpreter-side runner, which
// shows progress and enforces the timeout; its errors (TimeoutError) surface as
// InterpreterError.
class ProcessRunner {
public:
    virtual ~ProcessRunner() = default;
    virtual ProcessResult run(const std::vector<std::string>& argv, const std::string& label,
                              std::optional<double> timeout, bool show_progress) = 0;
};

// A fresh directory "tarnwhistle_verify_<unique>" in the system temporary directory, removed
// with everything in it when the check ends, however it ends.
class WorkDir {
public:
    WorkDir();
    ~WorkDir();
    WorkDir(const WorkDir&) = delete;
    WorkDir& operator=(const WorkDir&) = delete;

    const std::filesystem::path& path() const { return path_; }
    std::string file(const std::string& name) const { return (path_ / name).string(); }

private:
    std::filesystem::path path_;
};

// "<engine>'s output, last N of M lines:" and those lines, or "<engine>'s output: (none)".
std::string output_tail(const std::string& engine, const std::string& output);

// The whole content of a file; empty when it cannot be read (or is a directory).
std::optional<std::string> read_text_file(const std::string& path);

// Writes `text` to `path`, replacing the file.
void write_text_file(const std::string& path, const std::string& text);

}  // namespace whistle
