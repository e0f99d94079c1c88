// Byte streams shared by the layout codecs. Each keeps the offset of its next byte so that
// messages can name the byte at which a failure arose.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "core/foundation/error_handler.hpp"

namespace whistle::layout {

// "<item> at byte <offset>: <detail>"
std::string stream_failure(std::string_view item, uint64_t offset, std::string_view detail);
// "<record> record at byte <offset> in <context>: <detail>"
std::string record_failure(std::string_view record, uint64_t offset, std::string_view context,
                           std::string_view detail);

class InputStream {
public:
    virtual ~InputStream() = default;
    // Reads up to n bytes; `count` is what arrived (short at the end of data). False, with the
    // failure in `status`, only when the source itself failed.
    virtual bool read(uint8_t* buffer, size_t n, size_t& count, ErrorHandler& status) = 0;
    // Bytes consumed so far.
    uint64_t offset() const { return offset_; }

protected:
    uint64_t offset_ = 0;
};

class FileInputStream final : public InputStream {
public:
    // Opens the file ("rb"); a failure to open is reported in `status` and every read fails.
    FileInputStream(std::string name, ErrorHandler& status);
    ~FileInputStream() override;
    FileInputStream(const FileInputStream&) = delete;
    FileInputStream& operator=(const FileInputStream&) = delete;

    bool is_open() const { return file_ != nullptr; }
    const std::string& name() const { return name_; }
    bool read(uint8_t* buffer, size_t n, size_t& count, ErrorHandler& status) override;

private:
    std::string name_;
    std::FILE* file_ = nullptr;
};

// Reads a byte range held elsewhere (fuzz targets, in-memory loads); never fails.
class MemoryInputStream final : public InputStream {
public:
    MemoryInputStream(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    bool read(uint8_t* buffer, size_t n, size_t& count, ErrorHandler& status) override;

private:
    const uint8_t* data_;
    size_t size_;
};

class OutputStream {
public:
    virtual ~OutputStream() = default;
    virtual bool write(const uint8_t* data, size_t n, ErrorHandler& status) = 0;
    // Flushes whatever the stream still holds.
    virtual bool finish(ErrorHandler& status) = 0;
    // Bytes handed to the stream so far.
    uint64_t offset() const { return offset_; }

protected:
    uint64_t offset_ = 0;
};

class FileOutputStream final : public OutputStream {
public:
    // Opens (truncates) the file ("wb"); a failure is reported in `status`.
    FileOutputStream(std::string name, ErrorHandler& status);
    ~FileOutputStream() override;
    FileOutputStream(const FileOutputStream&) = delete;
    FileOutputStream& operator=(const FileOutputStream&) = delete;

    bool is_open() const { return file_ != nullptr; }
    bool write(const uint8_t* data, size_t n, ErrorHandler& status) override;
    bool finish(ErrorHandler& status) override;

private:
    std::string name_;
    std::FILE* file_ = nullptr;
};

class MemoryOutputStream final : public OutputStream {
public:
    bool write(const uint8_t* data, size_t n, ErrorHandler& status) override;
    bool finish(ErrorHandler&) override { return true; }
    const std::vector<uint8_t>& data() const { return data_; }
    std::vector<uint8_t>& data() { return data_; }

private:
    std::vector<uint8_t> data_;
};

}  // namespace whistle::layout
