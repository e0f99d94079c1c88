// The OASIS reader: one record parser over the file and over the inflated contents of its
// CBLOCKs, turning records into events. Elements wait until their PROPERTY records are read;
// names referred to by number before their table arrives get provisional names that are
// replaced once the file is complete.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <optional>
#include <string_view>
#include <unordered_map>
#include <utility>

#include "codecs.hpp"
#include "oasis_format.hpp"
#include "oasis_input.hpp"
#include "oasis_names.hpp"
#include "oasis_shapes.hpp"

namespace whistle::layout {

using namespace oasis;

namespace {

// Reader bounds beyond the format's own.
constexpr uint64_t kMaxStringBytes = uint64_t(1) << 24;
constexpr uint64_t kMaxTableBytes = uint64_t(1) << 28;
constexpr uint64_t kMaxPropertyValues = uint64_t(1) << 20;
// Points and explicit repetition offsets handed to the sink over the whole file.
constexpr uint64_t kMaxDeliveredItems = uint64_t(1) << 28;

// Thrown after the failure is recorded in the status.
struct Stop {};

// A shape, label or placement waiting for its properties. One is reused for every element so
// that its point and name buffers keep their storage.
struct Element {
    enum Kind { None, Polygon, Circle, Path, Label, Reference } kind = None;
    Layer layer;
    std::vector<FileVector> points;
    FileVector position;
    int64_t size = 0;  // circle radius, path width
    PathEnds ends;
    std::string name;  // label text, placed cell
    ElementTransform transform;
    std::shared_ptr<const ElementRepetition> repetition;
    std::shared_ptr<Properties> properties;
};

// What a PROPERTY record attaches to.
enum class Target { None, File, Cell, Element, CellName, OtherName };

// A property given to a CELLNAME record (checked once every name is known).
struct NameProperty {
    uint64_t record;
    std::optional<uint64_t> name_number;
    std::string name;
};

// The name of the last PROPERTY, with its number when it was given by reference.
struct LastProperty {
    std::string name;
    std::optional<uint64_t> number;
    bool standard = false;
};

// Modal variables; each is unset until a record sets it.
struct Modal {
    std::optional<uint32_t> layer, datatype, text_layer, text_type;
    std::optional<int64_t> width, height, half_width, start_extension, end_extension, radius;
    std::optional<std::vector<FileVector>> polygon_points, path_points;
    std::optional<uint64_t> ctrapezoid_type;
    std::optional<std::string> text, placement_cell;
    std::shared_ptr<const ElementRepetition> repetition;
    std::optional<LastProperty> last_property;
    std::optional<PropertyValue> last_values;
    int64_t geometry_x = 0, geometry_y = 0, placement_x = 0, placement_y = 0, text_x = 0,
            text_y = 0;
    bool relative = false;
};

class OasisReader {
public:
    OasisReader(InputStream& in, detail::EventSink& sink, ErrorHandler& status)
        : physical_(in), sink_(sink), status_(status), in_(&physical_) {}

    void read();

private:
    // ---- Failures and primitives -------------------------------------------------------
    // Out of line and taking a view, so that the checks around it stay small enough to inline.
    [[noreturn]] void fail(std::string_view detail);
    [[noreturn]] void stop() { throw Stop{}; }
    // Reads exactly n bytes; false at the end of data before the first byte when allowed.
    bool bytes(uint8_t* buffer, size_t n, bool end_allowed = false);
    uint8_t byte() {
        if (in_->empty()) next_run();
        return in_->take();
    }
    // Refills the exhausted run of the input; fails at the end of data.
    void next_run();
    // The next record ID; false at the end of data.
    bool record_id(uint8_t& id) {
        if (in_->empty() && !in_->refill(status_)) stop();
        if (in_->empty()) return false;
        id = in_->take();
        return true;
    }
    uint64_t unsigned_integer() {
        uint8_t first = byte();
        return (first & 0x80) ? unsigned_continued(first) : first;
    }
    // The rest of an integer whose first byte has its continuation bit set.
    uint64_t unsigned_continued(uint8_t first);
    int64_t signed_integer();
    // The unsigned value that must fit a signed 64-bit coordinate or length.
    int64_t length() {
        uint64_t value = unsigned_integer();
        if (value > uint64_t(INT64_MAX)) fail("integer exceeds the 64-bit coordinate range");
        return int64_t(value);
    }
    // (numerator, denominator) of a real when exact, with its double value.
    double real(std::optional<std::pair<uint64_t, uint64_t>>* exact = nullptr);
    double real_payload(uint64_t type,
                        std::optional<std::pair<uint64_t, uint64_t>>* exact = nullptr);
    uint32_t number32();
    std::string string();
    FileVector g_delta();
    int64_t add(int64_t a, Int128 b);

    // ---- Records -----------------------------------------------------------------------
    void read_start();
    // Parses one record whose ID was read; false once END was read.
    bool record(uint8_t id);
    void read_cblock();
    void read_end();
    void name_record(OasNameTable& table, bool explicit_number);
    void begin_cell(bool by_number);
    void placement(bool transformed);
    void text();
    void rectangle();
    void polygon();
    void path();
    void trapezoid(uint8_t id);
    void ctrapezoid();
    void circle();
    void property(bool repeat);
    PropertyItem property_value();
    void attach(Properties& properties, const LastProperty& property, const PropertyValue& values);
    void xy_mode(bool relative);

    // ---- Element parts -----------------------------------------------------------------
    void require_cell();
    Layer geometry_layer(uint8_t info);
    int64_t coordinate(bool present, int64_t& modal);
    std::vector<FileVector> point_list(bool polygon);
    // Shared: modal reuse hands on the same repetition without copying its offsets.
    std::shared_ptr<const ElementRepetition> repetition(bool present);
    std::shared_ptr<const ElementRepetition> read_repetition();
    std::vector<FileVector> offsets_along(uint64_t count, bool x_axis, int64_t grid);
    template <class T>
    const T& modal(const std::optional<T>& value, const char* name);
    [[noreturn]] void fail_unset(const char* name);
    void emit_polygon(const Layer& layer, std::vector<FileVector> points, uint8_t info);
    void begin_element(Element::Kind kind, const Layer& layer, bool repeated);
    // Hands the waiting element or cell/file properties to the sink.
    void flush();
    void end_cell();

    // ---- Names -------------------------------------------------------------------------
    std::string name_for(OasNameTable& table, uint64_t number);
    void resolve_names();
    [[noreturn]] void fail_undefined(const OasNameTable& table, uint64_t number);
    void check_name_properties();

    OasPhysicalInput physical_;
    detail::EventSink& sink_;
    ErrorHandler& status_;
    OasByteSource* in_;
    OasCblockInput* block_ = nullptr;

    uint8_t record_id_ = 0;
    uint64_t record_offset_ = 0;  // file offset (of the CBLOCK inside one)
    uint64_t block_offset_ = 0;   // decompressed offset inside a CBLOCK
    uint64_t cblock_work_ = 0;
    uint64_t delivered_ = 0;
    uint64_t end_offset_ = 0;
    std::vector<uint64_t> table_offsets_;

    OasNameTable cell_names_{"CELLNAME", "CELLNAME"}, text_strings_{"TEXTSTRING", "TEXTSTRING"},
        property_names_{"PROPNAME", "PROPNAME"}, property_strings_{"PROPSTRING", "PROPERTY_STRING"};
    uint64_t table_bytes_ = 0;
    uint64_t provisional_counter_ = 0;
    uint64_t name_records_ = 0;
    std::vector<NameProperty> name_properties_;

    Modal modal_;
    bool in_cell_ = false;
    Target target_ = Target::None;
    Element element_;
    std::shared_ptr<Properties> pending_properties_;  // of the file or the cell
};

// ---- Failures and primitives ---------------------------------------------------------

void OasisReader::fail(std::string_view detail) {
    std::string text(record_name(record_id_));
    text += " record at byte " + std::to_string(record_offset_);
    if (block_) text += ", decompressed byte " + std::to_string(block_offset_);
    text += ": ";
    text += detail;
    status_.error(std::move(text));
    stop();
}

bool OasisReader::bytes(uint8_t* buffer, size_t n, bool end_allowed) {
    size_t count = 0;
    if (!in_->read(buffer, n, count, status_)) stop();
    if (count == n) return true;
    if (count == 0 && end_allowed) return false;
    fail("truncated input");
}

void OasisReader::next_run() {
    if (!in_->refill(status_)) stop();
    if (in_->empty()) fail("truncated input");
}

uint32_t OasisReader::number32() {
    uint64_t value = unsigned_integer();
    if (value > UINT32_MAX) fail("layer or datatype exceeds 32 bits");
    return uint32_t(value);
}

uint64_t OasisReader::unsigned_continued(uint8_t first) {
    // Writers may pad with empty continuation groups (0x80 bytes); only set bits count.
    uint64_t value = first & 0x7F;
    for (int shift = 7;; shift = std::min(shift + 7, 70)) {
        uint8_t b = byte();
        uint64_t group = b & 0x7F;
        if (group) {
            if (shift >= 64 || (shift > 57 && group >> (64 - shift)))
                fail("integer exceeds 64 bits");
            value |= group << shift;
        }
        if (!(b & 0x80)) return value;
    }
}

int64_t OasisReader::signed_integer() {
    uint64_t raw = unsigned_integer();
    uint64_t magnitude = raw >> 1;
    // Magnitudes up to 2^63 - 1 only, so that negation stays exact.
    return (raw & 1) ? -int64_t(magnitude) : int64_t(magnitude);
}

double OasisReader::real(std::optional<std::pair<uint64_t, uint64_t>>* exact) {
    return real_payload(unsigned_integer(), exact);
}

double OasisReader::real_payload(uint64_t type, std::optional<std::pair<uint64_t, uint64_t>>* exact) {
    auto ratio = [&](uint64_t n, uint64_t d, bool negative) {
        if (d == 0) fail("real has a zero denominator");
        if (exact && !negative) *exact = std::pair(n, d);
        double v = double(n) / double(d);
        return negative ? -v : v;
    };
    switch (type) {
        case 0: case 1: return ratio(unsigned_integer(), 1, type == 1);
        case 2: case 3: return ratio(1, unsigned_integer(), type == 3);
        case 4: case 5: {
            uint64_t n = unsigned_integer();
            return ratio(n, unsigned_integer(), type == 5);
        }
        case 6: {
            uint8_t b[4];
            bytes(b, 4);
            uint32_t bits = uint32_t(b[0]) | uint32_t(b[1]) << 8 | uint32_t(b[2]) << 16 |
                            uint32_t(b[3]) << 24;
            float value;
            std::memcpy(&value, &bits, 4);
            return value;
        }
        case 7: {
            uint8_t b[8];
            bytes(b, 8);
            uint64_t bits = 0;
            for (int i = 7; i >= 0; --i) bits = bits << 8 | b[i];
            double value;
            std::memcpy(&value, &bits, 8);
            return value;
        }
        default: fail("real type exceeds 7");
    }
}

std::string OasisReader::string() {
    uint64_t size = unsigned_integer();
    if (size > kMaxStringBytes) fail("string length exceeds the configured bound");
    std::string text(size, '\0');
    if (size) bytes(reinterpret_cast<uint8_t*>(text.data()), size);
    return text;
}

FileVector OasisReader::g_delta() {
    uint64_t first = unsigned_integer();
    if (!(first & 1)) {
        int direction = int(first >> 1) & 7;
        int64_t magnitude = int64_t(first >> 4);
        return {kDirectionX[direction] * magnitude, kDirectionY[direction] * magnitude};
    }
    int64_t dx = int64_t(first >> 2);
    return {(first & 2) ? -dx : dx, signed_integer()};
}

int64_t OasisReader::add(int64_t a, Int128 b) {
    Int128 sum = Int128(a) + b;
    if (sum < INT64_MIN || sum > INT64_MAX) fail("coordinate exceeds the 64-bit range");
    return int64_t(sum);
}

template <class T>
const T& OasisReader::modal(const std::optional<T>& value, const char* name) {
    if (!value) [[unlikely]] fail_unset(name);
    return *value;
}

void OasisReader::fail_unset(const char* name) {
    fail(std::string("undefined OASIS modal variable ") + name);
}

// ---- File structure ------------------------------------------------------------------

void OasisReader::read() {
    uint8_t magic[kMagic.size()];
    size_t count = 0;
    if (!in_->read(magic, sizeof magic, count, status_)) stop();
    if (count < sizeof magic || std::memcmp(magic, kMagic.data(), sizeof magic) != 0) {
        status_.error(stream_failure("OASIS magic", 0,
                                     count < sizeof magic ? "truncated input"
                                                          : "not an OASIS file"));
        stop();
    }
    read_start();
    while (true) {
        record_offset_ = physical_.offset();
        uint8_t id;
        if (!record_id(id)) {
            record_id_ = kEnd;
            fail("missing END record");
        }
        if (!record(id)) break;
        if (status_.failed()) stop();  // the sink's own failure
    }
    resolve_names();
    check_name_properties();
    sink_.finish();
}

void OasisReader::read_start() {
    record_offset_ = physical_.offset();
    record_id_ = kStart;
    uint8_t id = 0;
    if (!record_id(id) || id != kStart) fail("expected START as the first record");
    if (string() != "1.0") fail("unsupported OASIS version");
    std::optional<std::pair<uint64_t, uint64_t>> exact;
    double unit = real(&exact);
    if (!(unit > 0) || !std::isfinite(unit)) fail("OASIS unit must be positive");
    if (!exact) {
        // A floating-point unit: its exact binary fraction.
        int exponent = 0;
        double mantissa = std::frexp(unit, &exponent);
        uint64_t n = uint64_t(std::ldexp(mantissa, 53));
        exponent -= 53;
        while (exponent < 0 && !(n & 1)) n >>= 1, ++exponent;
        if (exponent >= 0 && exponent < 11) exact = std::pair(n << exponent, uint64_t(1));
        else if (exponent < 0 && exponent > -64) exact = std::pair(n, uint64_t(1) << -exponent);
    }
    std::optional<UnitScale> scale;
    if (exact) scale = UnitScale::from_units_per_micron(exact->first, exact->second);
    if (!scale) fail("OASIS source-to-Whistle scale is not representable");
    uint64_t offset_flag = unsigned_integer();
    if (offset_flag > 1) fail("offset flag must be 0 or 1");
    if (offset_flag == 0)
        for (int t = 0; t < 6; ++t) {
            unsigned_integer();
            table_offsets_.push_back(unsigned_integer());
        }
    sink_.library_units(1 / unit, 1e-6 / unit, *scale);
    target_ = Target::File;
}

bool OasisReader::record(uint8_t id) {
    record_id_ = id;
    if (block_) block_offset_ = block_->offset() - 1;
    if (id > kCblock) fail("record ID exceeds 34");
    // PAD, PROPERTY and CBLOCK leave the element before them open for properties.
    if (id != kProperty && id != kPropertyRepeat && id != kPad && id != kCblock) flush();
    switch (id) {
        case kPad: return true;
        case kStart:
            if (block_) fail("START is forbidden inside CBLOCK");
            fail("START is not the first record");
        case kEnd:
            if (block_) fail("END is forbidden inside CBLOCK");
            read_end();
            return false;
        case kCellNameImplicit: case kCellNameExplicit:
            name_record(cell_names_, id == kCellNameExplicit);
            return true;
        case kTextStringImplicit: case kTextStringExplicit:
            name_record(text_strings_, id == kTextStringExplicit);
            return true;
        case kPropNameImplicit: case kPropNameExplicit:
            name_record(property_names_, id == kPropNameExplicit);
            return true;
        case kPropStringImplicit: case kPropStringExplicit:
            name_record(property_strings_, id == kPropStringExplicit);
            return true;
        case kLayerNameGeometry: case kLayerNameText:
            string();
            for (int bound = 0; bound < 2; ++bound) {
                uint64_t type = unsigned_integer();
                if (type > 4) fail("LAYERNAME interval type exceeds 4");
                if (type >= 1) unsigned_integer();
                if (type == 4) unsigned_integer();
            }
            status_.warning("LAYERNAME metadata was ignored");
            target_ = Target::OtherName;
            return true;
        case kCellByNumber: case kCellByName: begin_cell(id == kCellByNumber); return true;
        case kXYAbsolute: case kXYRelative: xy_mode(id == kXYRelative); return true;
        case kPlacement: case kPlacementTransformed: placement(id == kPlacementTransformed); return true;
        case kText: text(); return true;
        case kRectangle: rectangle(); return true;
        case kPolygon: polygon(); return true;
        case kPath: path(); return true;
        case kTrapezoid: case kTrapezoidA: case kTrapezoidB: trapezoid(id); return true;
        case kCTrapezoid: ctrapezoid(); return true;
        case kCircle: circle(); return true;
        case kProperty: case kPropertyRepeat: property(id == kPropertyRepeat); return true;
        case kXNameImplicit: case kXNameExplicit:
            unsigned_integer();
            string();
            if (id == kXNameExplicit) unsigned_integer();
            status_.warning("XNAME metadata was ignored");
            target_ = Target::OtherName;
            return true;
        case kXElement: fail("XELEMENT is unsupported");
        case kXGeometry: fail("XGEOMETRY is unsupported");
        default: read_cblock(); return true;
    }
}

void OasisReader::read_cblock() {
    if (block_) fail("nested CBLOCK is forbidden");
    if (unsigned_integer() != 0) fail("unsupported CBLOCK compression type");
    uint64_t uncompressed = unsigned_integer();
    uint64_t compressed = unsigned_integer();
    if (uncompressed > kCblockWorkBound || compressed > kCblockWorkBound ||
        uncompressed + compressed > kCblockWorkBound - cblock_work_)
        fail("CBLOCK exceeds the configured byte/work bound");
    cblock_work_ += uncompressed + compressed;
    if (uncompressed == 0) fail("CBLOCK contains no decompressed records");
    std::string context = "CBLOCK record at byte " + std::to_string(record_offset_);
    OasCblockInput block(physical_, compressed, uncompressed, context);
    block_ = &block;
    in_ = &block;
    while (!block.exhausted()) {
        uint8_t id;
        if (!record_id(id)) break;
        record(id);
        if (status_.failed()) stop();
    }
    record_id_ = kCblock;
    in_ = &physical_;
    block_ = nullptr;
    if (!block.finish(status_)) stop();
}

void OasisReader::read_end() {
    end_offset_ = record_offset_;
    end_cell();
    if (table_offsets_.empty())
        for (int t = 0; t < 6; ++t) {
            unsigned_integer();
            table_offsets_.push_back(unsigned_integer());
        }
    uint64_t padding = unsigned_integer();
    if (padding > kEndRecordSize) fail("END record is not exactly 256 bytes");
    uint8_t skipped[kEndRecordSize];
    bytes(skipped, size_t(padding));
    uint64_t scheme = unsigned_integer();
    if (scheme > 2) fail("validation scheme exceeds 2");
    uint32_t expected = scheme == 1 ? physical_.crc32() : physical_.checksum();
    if (scheme != 0) {
        uint8_t b[4];
        bytes(b, 4);
        uint32_t signature = uint32_t(b[0]) | uint32_t(b[1]) << 8 | uint32_t(b[2]) << 16 |
                             uint32_t(b[3]) << 24;
        if (signature != expected) fail("validation signature mismatch");
    }
    if (physical_.offset() - end_offset_ != kEndRecordSize)
        fail("END record is not exactly 256 bytes");
    for (uint64_t offset : table_offsets_)
        if (offset >= end_offset_ + kEndRecordSize) fail("table offset lies outside the file");
    uint8_t extra;
    if (bytes(&extra, 1, true)) fail("trailing bytes follow END");
}

// ---- Names ---------------------------------------------------------------------------

void OasisReader::name_record(OasNameTable& table, bool explicit_number) {
    std::string name = string();
    std::optional<uint64_t> number;
    if (explicit_number) number = unsigned_integer();
    table_bytes_ += name.size();
    if (table_bytes_ > kMaxTableBytes) fail("table exceeds the configured entry bound");
    if (const char* detail = table.define(std::move(name), number)) fail(detail);
    target_ = &table == &cell_names_ ? Target::CellName : Target::OtherName;
    ++name_records_;
}

std::string OasisReader::name_for(OasNameTable& table, uint64_t number) {
    const std::string* name = table.name_for(number, provisional_counter_);
    if (!name) fail("table exceeds the configured entry bound");
    return *name;
}

// The reference numbers no table defined fail at the END record.
void OasisReader::fail_undefined(const OasNameTable& table, uint64_t number) {
    record_id_ = kEnd;
    record_offset_ = end_offset_;
    block_ = nullptr;
    fail(std::string(table.kind()) + " reference " + std::to_string(number) +
         " has no name-table entry");
}

void OasisReader::resolve_names() {
    for (OasNameTable* table : {&cell_names_, &text_strings_, &property_names_, &property_strings_})
        for (const auto& [number, provisional] : table->provisional()) {
            const std::string* name = table->find(number);
            if (!name) fail_undefined(*table, number);
            sink_.rename(provisional, *name);
        }
}

void OasisReader::check_name_properties() {
    // Per CELLNAME record: how often S_CELL_OFFSET and S_BOUNDING_BOX were given.
    std::unordered_map<uint64_t, std::pair<int, int>> seen;
    for (const NameProperty& property : name_properties_) {
        std::string name = property.name;
        if (property.name_number) {
            const std::string* defined = property_names_.find(*property.name_number);
            if (!defined) fail_undefined(property_names_, *property.name_number);
            name = *defined;
        }
        auto& counts = seen[property.record];
        if (name == "S_CELL_OFFSET") ++counts.first;
        else if (name == "S_BOUNDING_BOX") ++counts.second;
        else status_.warning("unsupported name-table property metadata was ignored");
        if (counts.first > 1 || counts.second > 1) {
            record_id_ = kCellNameExplicit;
            record_offset_ = end_offset_;
            fail("CELLNAME has duplicate S_CELL_OFFSET or S_BOUNDING_BOX properties");
        }
    }
}

// ---- Cells and elements --------------------------------------------------------------

void OasisReader::end_cell() {
    if (in_cell_) sink_.end_cell();
    in_cell_ = false;
}

void OasisReader::begin_cell(bool by_number) {
    std::string name = by_number ? name_for(cell_names_, unsigned_integer()) : string();
    end_cell();
    modal_ = Modal{};
    in_cell_ = true;
    sink_.begin_cell(name);
    target_ = Target::Cell;
}

void OasisReader::require_cell() {
    if (in_cell_) return;
    if (record_id_ == kXYAbsolute || record_id_ == kXYRelative)
        fail("XY mode record appears outside a cell");
    fail(std::string(record_name(record_id_)) + " appears outside a cell");
}

void OasisReader::xy_mode(bool relative) {
    require_cell();
    modal_.relative = relative;
    target_ = Target::None;
}

Layer OasisReader::geometry_layer(uint8_t info) {
    if (info & 0x01) modal_.layer = number32();
    if (info & 0x02) modal_.datatype = number32();
    return {modal(modal_.layer, "layer"), modal(modal_.datatype, "datatype")};
}

int64_t OasisReader::coordinate(bool present, int64_t& modal) {
    if (present) {
        int64_t value = signed_integer();
        modal = modal_.relative ? add(modal, value) : value;
    }
    return modal;
}

std::vector<FileVector> OasisReader::point_list(bool polygon) {
    uint64_t type = unsigned_integer();
    if (type > 5) fail("point-list type exceeds 5");
    uint64_t count = unsigned_integer();
    if (count > kMaxPointCount) fail("point count exceeds configured bound");
    if (polygon && type < 2 && count % 2) fail("implicit Manhattan polygon count must be even");
    std::vector<FileVector> points{{0, 0}};
    FileVector delta{0, 0};
    for (uint64_t i = 0; i < count; ++i) {
        FileVector step;
        if (type < 2) {
            int64_t value = signed_integer();
            bool horizontal = (i % 2 == 0) == (type == 0);
            step = horizontal ? FileVector{value, 0} : FileVector{0, value};
        } else if (type < 4) {
            uint64_t raw = unsigned_integer();
            int bits = type == 2 ? 2 : 3;
            int direction = int(raw & ((1u << bits) - 1));
            int64_t magnitude = int64_t(raw >> bits);
            step = {kDirectionX[direction] * magnitude, kDirectionY[direction] * magnitude};
        } else {
            FileVector g = g_delta();
            if (type == 5) {
                delta = {add(delta.x, g.x), add(delta.y, g.y)};
                g = delta;
            }
            step = g;
        }
        const FileVector& last = points.back();
        points.push_back({add(last.x, step.x), add(last.y, step.y)});
    }
    if (!polygon) return points;
    const FileVector& last = points.back();
    if (type == 0 && count > 0) points.push_back({0, last.y});
    if (type == 1 && count > 0) points.push_back({last.x, 0});
    Int128 dx = -Int128(points.back().x), dy = -Int128(points.back().y);
    if (type == 2 && dx != 0 && dy != 0) fail("polygon closing delta is not Manhattan");
    if (type == 3 && dx != 0 && dy != 0 && dx != dy && dx != -dy)
        fail("polygon closing delta is not octangular");
    return points;
}

std::vector<FileVector> OasisReader::offsets_along(uint64_t count, bool x_axis, int64_t grid) {
    std::vector<FileVector> offsets{{0, 0}};
    int64_t position = 0;
    for (uint64_t i = 1; i < count; ++i) {
        position = add(position, Int128(length()) * grid);
        offsets.push_back(x_axis ? FileVector{position, 0} : FileVector{0, position});
    }
    return offsets;
}

std::shared_ptr<const ElementRepetition> OasisReader::read_repetition() {
    uint64_t type = unsigned_integer();
    if (type > 11) fail("OASIS repetition type exceeds 11");
    if (type == 0) {
        if (!modal_.repetition) fail("undefined OASIS modal variable repetition");
        return modal_.repetition;
    }
    auto dimension = [&]() {
        uint64_t value = unsigned_integer();
        if (value > kMaxRepetitionCount - 2)
            fail("OASIS repetition dimension exceeds the configured bound");
        return uint32_t(value + 2);
    };
    auto result = std::make_shared<ElementRepetition>();
    ElementRepetition& out = *result;
    switch (type) {
        case 1: case 8: {
            out.columns = dimension();
            out.rows = dimension();
            if (uint64_t(out.columns) * out.rows > kMaxRepetitionCount)
                fail("OASIS repetition expansion exceeds the configured bound");
            if (type == 1) {
                out.column_step = {length(), 0};
                out.row_step = {0, length()};
            } else {
                out.column_step = g_delta();
                out.row_step = g_delta();
            }
            break;
        }
        case 2: out.columns = dimension(); out.column_step = {length(), 0}; break;
        case 3: out.rows = dimension(); out.row_step = {0, length()}; break;
        case 9: out.columns = dimension(); out.column_step = g_delta(); break;
        case 4: case 5: case 6: case 7: {
            uint64_t count = dimension();
            int64_t grid = (type == 5 || type == 7) ? length() : 1;
            out.offsets = offsets_along(count, type < 6, grid);
            break;
        }
        default: {  // 10, 11: displacements from one instance to the next
            uint64_t count = dimension();
            int64_t grid = type == 11 ? length() : 1;
            out.offsets.push_back({0, 0});
            for (uint64_t i = 1; i < count; ++i) {
                FileVector step = g_delta();
                const FileVector& last = out.offsets.back();
                out.offsets.push_back({add(last.x, Int128(step.x) * grid),
                                       add(last.y, Int128(step.y) * grid)});
            }
        }
    }
    return result;
}

std::shared_ptr<const ElementRepetition> OasisReader::repetition(bool present) {
    if (!present) return nullptr;
    modal_.repetition = read_repetition();
    return modal_.repetition;
}

void OasisReader::begin_element(Element::Kind kind, const Layer& layer, bool repeated) {
    element_.kind = kind;
    element_.layer = layer;
    element_.transform = {};
    element_.repetition = repetition(repeated);
    target_ = Target::Element;
}

void OasisReader::emit_polygon(const Layer& layer, std::vector<FileVector> points, uint8_t info) {
    element_.points = std::move(points);
    begin_element(Element::Polygon, layer, info & 0x04);
}

void OasisReader::rectangle() {
    require_cell();
    uint8_t info = byte();
    Layer layer = geometry_layer(info);
    if ((info & 0x80) && (info & 0x20)) fail("RECTANGLE has reserved info bits set");
    if (info & 0x40) modal_.width = length();
    int64_t w = modal(modal_.width, "geometry-w");
    if (info & 0x80)
        modal_.height = w;
    else if (info & 0x20)
        modal_.height = length();
    int64_t h = modal(modal_.height, "geometry-h");
    int64_t x = coordinate(info & 0x10, modal_.geometry_x);
    int64_t y = coordinate(info & 0x08, modal_.geometry_y);
    int64_t x1 = add(x, w), y1 = add(y, h);
    element_.points.assign({{x, y}, {x1, y}, {x1, y1}, {x, y1}});
    begin_element(Element::Polygon, layer, info & 0x04);
}

void OasisReader::polygon() {
    require_cell();
    uint8_t info = byte();
    if (info & 0xC0) fail("POLYGON has reserved info bits set");
    Layer layer = geometry_layer(info);
    if (info & 0x20) modal_.polygon_points = point_list(true);
    const auto& deltas = modal(modal_.polygon_points, "polygon-point-list");
    int64_t x = coordinate(info & 0x10, modal_.geometry_x);
    int64_t y = coordinate(info & 0x08, modal_.geometry_y);
    element_.points.reserve(deltas.size());
    for (const FileVector& d : deltas) element_.points.push_back({add(x, d.x), add(y, d.y)});
    begin_element(Element::Polygon, layer, info & 0x04);
}

void OasisReader::path() {
    require_cell();
    uint8_t info = byte();
    Layer layer = geometry_layer(info);
    if (info & 0x40) modal_.half_width = length();
    int64_t half_width = modal(modal_.half_width, "path-halfwidth");
    if (info & 0x80) {
        uint8_t scheme = byte();
        if (scheme & 0xF0) fail("PATH extension scheme has reserved bits set");
        auto extension = [&](int code, std::optional<int64_t>& value) {
            if (code == 1) value = 0;
            else if (code == 2) value = half_width;
            else if (code == 3) value = signed_integer();
        };
        extension((scheme >> 2) & 3, modal_.start_extension);
        extension(scheme & 3, modal_.end_extension);
    }
    int64_t start = modal(modal_.start_extension, "path-start-extension");
    int64_t end = modal(modal_.end_extension, "path-end-extension");
    if (info & 0x20) modal_.path_points = point_list(false);
    const auto& deltas = modal(modal_.path_points, "path-point-list");
    int64_t x = coordinate(info & 0x10, modal_.geometry_x);
    int64_t y = coordinate(info & 0x08, modal_.geometry_y);
    begin_element(Element::Path, layer, info & 0x04);
    for (const FileVector& d : deltas) element_.points.push_back({add(x, d.x), add(y, d.y)});
    element_.size = add(half_width, half_width);
    element_.ends = {false, start, end};
}

void OasisReader::trapezoid(uint8_t id) {
    require_cell();
    uint8_t info = byte();
    Layer layer = geometry_layer(info);
    if (info & 0x40) modal_.width = length();
    if (info & 0x20) modal_.height = length();
    int64_t w = modal(modal_.width, "geometry-w"), h = modal(modal_.height, "geometry-h");
    int64_t a = id != kTrapezoidB ? signed_integer() : 0;
    int64_t b = id != kTrapezoidA ? signed_integer() : 0;
    int64_t x = coordinate(info & 0x10, modal_.geometry_x);
    int64_t y = coordinate(info & 0x08, modal_.geometry_y);
    auto points = oasis::trapezoid(info & 0x80, x, y, w, h, a, b);
    if (!points) fail("TRAPEZOID deltas exceed its width or height");
    emit_polygon(layer, std::move(*points), info);
}

void OasisReader::ctrapezoid() {
    require_cell();
    uint8_t info = byte();
    Layer layer = geometry_layer(info);
    if (info & 0x80) {
        uint64_t type = unsigned_integer();
        if (type > 25) fail("CTRAPEZOID type exceeds 25");
        modal_.ctrapezoid_type = type;
    }
    uint64_t type = modal(modal_.ctrapezoid_type, "ctrapezoid-type");
    if (info & 0x40) modal_.width = length();
    if (info & 0x20) modal_.height = length();
    int64_t w = ctrapezoid_needs_width(type) ? modal(modal_.width, "geometry-w") : 0;
    int64_t h = ctrapezoid_needs_height(type) ? modal(modal_.height, "geometry-h") : 0;
    int64_t x = coordinate(info & 0x10, modal_.geometry_x);
    int64_t y = coordinate(info & 0x08, modal_.geometry_y);
    auto points = oasis::ctrapezoid(type, x, y, w, h);
    if (!points) fail("CTRAPEZOID width and height do not fit its type");
    emit_polygon(layer, std::move(*points), info);
}

void OasisReader::circle() {
    require_cell();
    uint8_t info = byte();
    if (info & 0xC0) fail("CIRCLE has reserved info bits set");
    Layer layer = geometry_layer(info);
    if (info & 0x20) modal_.radius = length();
    int64_t radius = modal(modal_.radius, "circle-radius");
    int64_t x = coordinate(info & 0x10, modal_.geometry_x);
    int64_t y = coordinate(info & 0x08, modal_.geometry_y);
    begin_element(Element::Circle, layer, info & 0x04);
    element_.position = {x, y};
    element_.size = radius;
}

void OasisReader::text() {
    require_cell();
    uint8_t info = byte();
    if (info & 0x80) fail("TEXT has a reserved info bit set");
    if (info & 0x40) modal_.text = (info & 0x20) ? name_for(text_strings_, unsigned_integer()) : string();
    std::string content = modal(modal_.text, "text-string");
    if (info & 0x01) modal_.text_layer = number32();
    if (info & 0x02) modal_.text_type = number32();
    Layer layer{modal(modal_.text_layer, "textlayer"), modal(modal_.text_type, "texttype")};
    int64_t x = coordinate(info & 0x10, modal_.text_x);
    int64_t y = coordinate(info & 0x08, modal_.text_y);
    begin_element(Element::Label, layer, info & 0x04);
    element_.position = {x, y};
    element_.name = std::move(content);
}

void OasisReader::placement(bool transformed) {
    require_cell();
    uint8_t info = byte();
    if (info & 0x80)
        modal_.placement_cell = (info & 0x40) ? name_for(cell_names_, unsigned_integer()) : string();
    const std::string& cell = modal(modal_.placement_cell, "placement-cell");
    ElementTransform transform;
    transform.x_reflection = info & 0x01;
    if (transformed) {
        if (info & 0x04) transform.magnification = real();
        if (info & 0x02) transform.rotation = real();
        if (!(transform.magnification > 0) || !std::isfinite(transform.magnification) ||
            !std::isfinite(transform.rotation))
            fail("placement magnification must be positive and finite");
    } else {
        transform.rotation = 90.0 * ((info >> 1) & 3);
    }
    int64_t x = coordinate(info & 0x20, modal_.placement_x);
    int64_t y = coordinate(info & 0x10, modal_.placement_y);
    begin_element(Element::Reference, {}, info & 0x08);
    element_.position = {x, y};
    element_.name = cell;
    element_.transform = transform;
}

// ---- Properties ----------------------------------------------------------------------

PropertyItem OasisReader::property_value() {
    uint64_t type = unsigned_integer();
    if (type > 15) fail("property value type exceeds 15");
    if (type < 8) return {real_payload(type)};
    if (type == 8) {
        uint64_t value = unsigned_integer();
        if (value > uint64_t(INT64_MAX)) return {double(value)};
        return {int64_t(value)};
    }
    if (type == 9) return {signed_integer()};
    if (type < 13) return {string()};
    return {name_for(property_strings_, unsigned_integer())};
}

void OasisReader::property(bool repeat) {
    uint8_t info = repeat ? 0x08 : byte();
    if (!repeat && (info & 0x04)) {
        LastProperty last;
        if (info & 0x02) {
            last.number = unsigned_integer();
            last.name = name_for(property_names_, *last.number);
        } else {
            last.name = string();
        }
        last.standard = info & 0x01;
        modal_.last_property = std::move(last);
    }
    const LastProperty& last = modal(modal_.last_property, "last-property-name");
    if (info & 0x08) {
        if (info & 0xF0) fail("PROPERTY reuses the value list with a value count");
    } else {
        uint64_t count = info >> 4;
        if (count == 15) count = unsigned_integer();
        if (count > kMaxPropertyValues) fail("property value count exceeds the configured bound");
        PropertyValue values;
        for (uint64_t i = 0; i < count; ++i) values.push_back(property_value());
        modal_.last_values = std::move(values);
    }
    const PropertyValue& values = modal(modal_.last_values, "last-value-list");

    switch (target_) {
        case Target::None: fail("PROPERTY has no associable preceding record");
        case Target::File:
        case Target::Cell:
            if (!pending_properties_) pending_properties_ = std::make_shared<Properties>();
            attach(*pending_properties_, last, values);
            break;
        case Target::Element:
            if (!element_.properties) element_.properties = std::make_shared<Properties>();
            attach(*element_.properties, last, values);
            break;
        case Target::CellName:
            name_properties_.push_back({name_records_, last.number, last.name});
            break;
        case Target::OtherName:
            status_.warning("unsupported name-table property metadata was ignored");
            break;
    }
}

void OasisReader::attach(Properties& properties, const LastProperty& property,
                         const PropertyValue& values) {
    // GDSII attribute/value pairs gather as a list of pairs. The name may still be provisional
    // here; the standard flag marks them then.
    bool pair = values.size() == 2 && std::holds_alternative<int64_t>(values[0].value) &&
                std::holds_alternative<std::string>(values[1].value);
    if (pair && (property.standard || property.name == Properties::kGdsKey)) {
        const PropertyValue* existing = properties.find(property.name);
        PropertyValue pairs = existing ? *existing : PropertyValue{};
        pairs.push_back({PropertyItem::List(values)});
        properties.set(property.name, std::move(pairs));
        return;
    }
    properties.set(property.name, values);
}

void OasisReader::flush() {
    if (element_.kind != Element::None) {
        Element& e = element_;
        Element::Kind kind = std::exchange(e.kind, Element::None);
        const ElementRepetition* repetition = e.repetition.get();
        // Modal reuse lets a few bytes stand for many points: bound what the file hands on.
        delivered_ += e.points.size() + (repetition ? repetition->offsets.size() : 0);
        if (delivered_ > kMaxDeliveredItems) fail("point count exceeds configured bound");
        switch (kind) {
            case Element::Polygon:
                sink_.polygon(e.layer, std::move(e.points), repetition, std::move(e.properties));
                break;
            case Element::Circle:
                sink_.circle(e.layer, e.position, e.size, repetition, std::move(e.properties));
                break;
            case Element::Path:
                sink_.path(e.layer, std::move(e.points), e.size, false, e.ends, repetition,
                           std::move(e.properties));
                break;
            case Element::Label:
                sink_.label(e.layer, e.position, std::move(e.name), Anchor::NW, e.transform,
                            repetition, std::move(e.properties));
                break;
            case Element::Reference:
                sink_.reference(e.name, e.position, e.transform, repetition,
                                std::move(e.properties));
                break;
            case Element::None: break;
        }
        // The sink may have taken the points or left them; the next element starts empty.
        e.points.clear();
        e.repetition.reset();
        e.properties.reset();
    }
    if (pending_properties_) sink_.properties(std::move(pending_properties_));
    pending_properties_.reset();
}

}  // namespace

bool read_oasis(InputStream& in, detail::EventSink& sink, ErrorHandler& status) {
    try {
        OasisReader(in, sink, status).read();
        return true;
    } catch (const Stop&) {
    }
    return false;
}

}  // namespace whistle::layout
