#include "streams.hpp"

#include <cerrno>
#include <cstring>

namespace whistle::layout {

std::string stream_failure(std::string_view item, uint64_t offset, std::string_view detail) {
    std::string text(item);
    text += " at byte " + std::to_string(offset) + ": ";
    text += detail;
    return text;
}

std::string record_failure(std::string_view record, uint64_t offset, std::string_view context,
                           std::string_view detail) {
    std::string text(record);
    text += " record at byte " + std::to_string(offset) + " in ";
    text += context;
    text += ": ";
    text += detail;
    return text;
}

namespace {

constexpr const char* kNotOpen = "file is not open";

std::string file_item(const std::string& name) { return "layout file " + name; }

}  // namespace

FileInputStream::FileInputStream(std::string name, ErrorHandler& status) : name_(std::move(name)) {
    file_ = std::fopen(name_.c_str(), "rb");
    if (!file_) status.error(stream_failure(file_item(name_), 0, std::strerror(errno)));
}

FileInputStream::~FileInputStream() {
    if (file_) std::fclose(file_);
}

bool FileInputStream::read(uint8_t* buffer, size_t n, size_t& count, ErrorHandler& status) {
    count = 0;
    if (!file_) {
        status.error(stream_failure(file_item(name_), offset_, kNotOpen));
        return false;
    }
    count = std::fread(buffer, 1, n, file_);
    offset_ += count;
    if (count < n && std::ferror(file_)) {
        status.error(stream_failure(file_item(name_), offset_, std::strerror(errno)));
        return false;
    }
    return true;
}

bool MemoryInputStream::read(uint8_t* buffer, size_t n, size_t& count, ErrorHandler&) {
    uint64_t left = size_ - offset_;
    count = n < left ? n : size_t(left);
    if (count) std::memcpy(buffer, data_ + offset_, count);
    offset_ += count;
    return true;
}

FileOutputStream::FileOutputStream(std::string name, ErrorHandler& status) : name_(std::move(name)) {
    file_ = std::fopen(name_.c_str(), "wb");
    if (!file_) status.error(stream_failure(file_item(name_), 0, std::strerror(errno)));
}

FileOutputStream::~FileOutputStream() {
    if (file_) std::fclose(file_);
}

bool FileOutputStream::write(const uint8_t* data, size_t n, ErrorHandler& status) {
    if (!file_) {
        status.error(stream_failure(file_item(name_), offset_, kNotOpen));
        return false;
    }
    size_t written = std::fwrite(data, 1, n, file_);
    offset_ += written;
    if (written < n) {
        status.error(stream_failure(file_item(name_), offset_, std::strerror(errno)));
        return false;
    }
    return true;
}

bool FileOutputStream::finish(ErrorHandler& status) {
    if (!file_) {
        status.error(stream_failure(file_item(name_), offset_, kNotOpen));
        return false;
    }
    if (std::fflush(file_) != 0) {
        status.error(stream_failure(file_item(name_), offset_, std::strerror(errno)));
        return false;
    }
    return true;
}

bool MemoryOutputStream::write(const uint8_t* data, size_t n, ErrorHandler&) {
    data_.insert(data_.end(), data, data + n);
    offset_ += n;
    return true;
}

}  // namespace whistle::layout
