#include <cstring>
#include <filesystem>

#include "builder.hpp"
#include "codecs.hpp"
#include "driver.hpp"

namespace whistle::layout {

namespace {

constexpr char kOasisMagic[] = "%SEMI-OASIS\r\n";
constexpr size_t kSignatureBytes = sizeof(kOasisMagic) - 1;

// The format named by the first bytes of the file; nullopt with the failure in `status`.
std::optional<LayoutFormat> detect_format(const uint8_t* bytes, size_t count, ErrorHandler& status) {
    static constexpr uint8_t kGdsiiHeader[] = {0x00, 0x06, 0x00, 0x02};
    const char* detail = "unrecognized content signature";
    if (count >= 4 && std::memcmp(bytes, kGdsiiHeader, 4) == 0) return LayoutFormat::Gdsii;
    if (count >= 2 && bytes[0] == 0x1F && bytes[1] == 0x8B)
        detail = "gzip input is not supported yet";
    else if (count == kSignatureBytes && std::memcmp(bytes, kOasisMagic, count) == 0)
        return LayoutFormat::Oasis;
    else if (count > 0 && count < kSignatureBytes && std::memcmp(bytes, kOasisMagic, count) == 0)
        detail = "truncated OASIS magic";
    status.error(stream_failure("layout format", 0, detail));
    return std::nullopt;
}

bool should_compact(const std::string& filename, Compaction compact) {
    if (compact != Compaction::Auto) return compact == Compaction::On;
    std::error_code error;
    uintmax_t size = std::filesystem::file_size(filename, error);
    return !error && size >= kAutoCompactionBytes;
}

}  // namespace

bool load_layout(const std::string& filename, const LoadOptions& options, LoadedLayout& out,
                 ErrorHandler& status) {
    std::optional<LayoutFormat> format;
    {
        FileInputStream probe(filename, status);
        uint8_t bytes[kSignatureBytes];
        size_t count = 0;
        if (!probe.is_open() || !probe.read(bytes, kSignatureBytes, count, status)) return false;
        if (!(format = detect_format(bytes, count, status))) return false;
    }
    FileInputStream in(filename, status);
    if (!in.is_open()) return false;
    CompactWhistleBuilder builder(options, should_compact(filename, options.compact), status);
    bool ok = *format == LayoutFormat::Gdsii ? read_gdsii(in, filename, builder, status)
                                             : read_oasis(in, builder, status);
    if (!ok || status.failed()) return false;
    out = std::move(builder.result());
    return true;
}

}  // namespace whistle::layout
