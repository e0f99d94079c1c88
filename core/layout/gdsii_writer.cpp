#include <algorithm>
#include <array>
#include <cmath>
#include <memory>
#include <ctime>
#include <optional>
#include <span>

#include "codecs.hpp"
#include "core/foundation/config.hpp"
#include "core/geometry/fracture.hpp"
#include "core/geometry/label.hpp"
#include "core/geometry/path.hpp"
#include "core/geometry/polygon.hpp"
#include "core/geometry/rectangle.hpp"
#include "core/model/reference.hpp"
#include "gdsii_format.hpp"

namespace whistle::layout {

namespace {

using namespace gdsii;

constexpr const char* kPayloadTooLong = "GDSII record payload exceeds the 16-bit record length";
constexpr const char* kCoordinateRange = "GDSII coordinate exceeds the 32-bit coordinate range";

// Records into a fixed buffer in front of the stream; the first failure stops everything.
class RecordWriter {
public:
    RecordWriter(OutputStream& out, ErrorHandler& status) : out_(out), status_(status) {}

    // Offset of the next byte in the file.
    uint64_t offset() const { return out_.offset() + used_; }

    bool fail(std::string_view item, std::string_view detail) {
        status_.error(stream_failure(item, offset(), detail));
        return false;
    }

    bool header(uint8_t type, uint8_t data_type, size_t payload) {
        if (payload > kMaxPayload) return fail("GDSII " + record_name(type) + " record", kPayloadTooLong);
        uint16_t length = uint16_t(payload + 4);
        uint8_t bytes[4] = {uint8_t(length >> 8), uint8_t(length), type, data_type};
        return put(bytes, 4);
    }
    bool int16(uint16_t value) {
        uint8_t bytes[2] = {uint8_t(value >> 8), uint8_t(value)};
        return put(bytes, 2);
    }
    bool int32(uint32_t value) {
        uint8_t bytes[4] = {uint8_t(value >> 24), uint8_t(value >> 16), uint8_t(value >> 8),
                            uint8_t(value)};
        return put(bytes, 4);
    }
    bool real(const Rational& value, std::string_view item) {
        uint8_t bytes[8];
        const char* detail = nullptr;
        if (!encode_real(value, bytes, detail)) return fail(item, detail);
        return put(bytes, 8);
    }

    // Records of each payload kind.
    bool empty(uint8_t type) { return header(type, kNoData, 0); }
    bool bits(uint8_t type, uint16_t value) { return header(type, kBitArray, 2) && int16(value); }
    bool short_values(uint8_t type, std::initializer_list<uint16_t> values) {
        if (!header(type, kInt16, 2 * values.size())) return false;
        for (uint16_t value : values)
            if (!int16(value)) return false;
        return true;
    }
    bool long_value(uint8_t type, int32_t value) {
        return header(type, kInt32, 4) && int32(uint32_t(value));
    }
    // 16-bit when the value fits, else a 32-bit record of the same type.
    bool tag(uint8_t type, uint32_t value) {
        return value <= 0xFFFF ? short_values(type, {uint16_t(value)})
                               : long_value(type, int32_t(value));
    }
    bool real_value(uint8_t type, const Rational& value, std::string_view item) {
        return header(type, kReal8, 8) && real(value, item);
    }
    // Padded with one NUL to even length.
    bool string(uint8_t type, std::string_view text) {
        size_t padded = text.size() + text.size() % 2;
        if (!header(type, kAscii, padded)) return false;
        if (!put(reinterpret_cast<const uint8_t*>(text.data()), text.size())) return false;
        uint8_t zero = 0;
        return text.size() % 2 == 0 || put(&zero, 1);
    }

    bool finish() { return flush() && out_.finish(status_); }

private:
    bool flush() {
        if (used_ == 0) return true;
        size_t count = used_;
        used_ = 0;
        return out_.write(buffer_, count, status_);
    }
    bool put(const uint8_t* data, size_t n) {
        if (n > sizeof(buffer_) - used_ && !flush()) return false;
        if (n > sizeof(buffer_)) return out_.write(data, n, status_);
        std::copy(data, data + n, buffer_ + used_);
        used_ += n;
        return true;
    }

    OutputStream& out_;
    ErrorHandler& status_;
    uint8_t buffer_[65536];
    size_t used_ = 0;
};

// One point in file units.
struct FilePoint {
    int32_t x;
    int32_t y;
};

uint16_t justification(Anchor anchor) {
    unsigned index = unsigned(anchor);  // NW, N, NE, W, O, E, SW, S, SE
    return uint16_t((index / 3) * 4 + index % 3);
}

// Rotation within 1e-16 of a multiple of 90 degrees.
bool quarter_turn(double rotation) {
    return std::fabs(rotation - 90.0 * std::round(rotation / 90.0)) < 1e-16;
}

// Writes the prepared cells as one library.
class LibraryWriter {
public:
    LibraryWriter(OutputStream& out, const PreparedLayout& layout, bool paths_to_polygons,
                  uint32_t fracture_limit, ErrorHandler& status)
        : records_(out, status), layout_(layout), paths_to_polygons_(paths_to_polygons),
          fracture_limit_(fracture_limit), grid_(config().grid), status_(status) {
        stamp_time();
    }

    bool write(const std::string& library_name) {
        if (grid_ < 1) return records_.fail("GDSII units", "GDSII export requires a positive grid");
        Rational user_unit{false, grid_, 100000};
        Rational database_unit{false, grid_, Rational::Integer(100000000000)};
        if (!records_.short_values(kHeader, {600}) || !timestamped(kBgnLib) ||
            !records_.string(kLibName, library_name) || !records_.header(kUnits, kReal8, 16) ||
            !records_.real(user_unit, "GDSII user unit") ||
            !records_.real(database_unit, "GDSII database unit"))
            return false;
        for (const PreparedCell& cell : layout_.cells)
            if (!write_cell(cell)) return false;
        return records_.empty(kEndLib) && records_.finish();
    }

private:
    void stamp_time() {
        std::time_t now = std::time(nullptr);
        std::tm local{};
        // Without a local time every field is zero (January of year 1900).
        if (now == std::time_t(-1) || !localtime_r(&now, &local)) local = std::tm{};
        time_ = {uint16_t(local.tm_year), uint16_t(local.tm_mon + 1), uint16_t(local.tm_mday),
                 uint16_t(local.tm_hour), uint16_t(local.tm_min), uint16_t(local.tm_sec)};
    }

    bool timestamped(uint8_t type) {
        if (!records_.header(type, kInt16, 24)) return false;
        for (int copy = 0; copy < 2; ++copy)
            for (uint16_t field : time_)
                if (!records_.int16(field)) return false;
        return true;
    }

    bool write_cell(const PreparedCell& cell) {
        const Component& component = *cell.component;
        if (!timestamped(kBgnStr) || !records_.string(kStrName, cell.name)) return false;
        for (const auto& [layer, structures] : component.structures)
            for (const auto& structure : structures)
                if (!write_structure(layer, *structure)) return false;
        for (const auto& [layer, labels] : component.labels)
            for (const auto& label : labels)
                if (!write_label(layer, *label)) return false;
        for (const auto& reference : component.references)
            if (!write_reference(*reference)) return false;
        return records_.empty(kEndStr);
    }

    // ---- Coordinates ---------------------------------------------------------------------

    // v / grid rounded half away from zero, within 32 bits.
    bool file_coordinate(Int128 value, const char* item, int32_t& out) {
        Int128 magnitude = value < 0 ? -value : value;
        // Coordinates of the core fit the 64-bit division; only lattice corners may not.
        constexpr Int128 kNarrow = INT64_MAX / 4;
        Int128 steps = magnitude < kNarrow && grid_ < kNarrow
                           ? Int128((2 * int64_t(magnitude) + grid_) / (2 * grid_))
                           : (2 * magnitude + grid_) / (2 * Int128(grid_));
        Int128 result = value < 0 ? -steps : steps;
        if (result < INT32_MIN || result > INT32_MAX) return records_.fail(item, kCoordinateRange);
        out = int32_t(result);
        return true;
    }

    bool file_point(Int128 x, Int128 y, FilePoint& out) {
        return file_coordinate(x, "GDSII x coordinate", out.x) &&
               file_coordinate(y, "GDSII y coordinate", out.y);
    }

    // XY records of at most 8,191 points each.
    bool write_xy(const std::vector<FilePoint>& points) {
        for (size_t start = 0; start < points.size(); start += kMaxXyPoints) {
            size_t count = std::min(kMaxXyPoints, points.size() - start);
            if (!records_.header(kXy, kInt32, 8 * count)) return false;
            for (size_t i = start; i < start + count; ++i)
                if (!records_.int32(uint32_t(points[i].x)) || !records_.int32(uint32_t(points[i].y)))
                    return false;
        }
        return true;
    }

    bool file_points(std::span<const Vector> points, std::vector<FilePoint>& out) {
        out.resize(points.size());
        for (size_t i = 0; i < points.size(); ++i)
            if (!file_point(points[i].x, points[i].y, out[i])) return false;
        return true;
    }

    // ---- Element parts -------------------------------------------------------------------

    bool layer_records(const Layer& layer, uint8_t type_record) {
        return records_.tag(kLayer, layer.layer) && records_.tag(type_record, layer.datatype);
    }

    bool properties(const BaseType& element) {
        const Properties* properties = element.existing_properties();
        const PropertyValue* entries = properties ? properties->find(Properties::kGdsKey) : nullptr;
        if (!entries) return true;
        for (const PropertyItem& entry : *entries) {
            const auto* pair = std::get_if<PropertyItem::List>(&entry.value);
            if (!pair || pair->size() != 2) continue;
            const auto* attribute = std::get_if<int64_t>(&(*pair)[0].value);
            const auto* value = std::get_if<std::string>(&(*pair)[1].value);
            if (!attribute || !value) continue;
            if (*attribute < 0 || *attribute > 0xFFFF)
                return records_.fail("GDSII PROPATTR record",
                                     "GDSII property attribute exceeds the 16-bit unsigned range");
            std::string_view text = *value;
            // An odd value already ending in its NUL pad keeps it as the pad.
            if (text.size() % 2 == 1 && text.back() == '\0') text.remove_suffix(1);
            if (!records_.short_values(kPropAttr, {uint16_t(*attribute)}) ||
                !records_.string(kPropValue, text))
                return false;
        }
        return true;
    }

    bool finite_real(uint8_t type, double value, const char* item) {
        if (!std::isfinite(value))
            return records_.fail(item, std::string(item) + " is not finite");
        return records_.real_value(type, Rational::from_double(value), item);
    }

    bool transformation(bool x_reflection, double magnification, double rotation) {
        if (!std::isfinite(magnification))
            return records_.fail("GDSII magnification", "GDSII magnification is not finite");
        if (magnification <= 0)
            return records_.fail("GDSII magnification", "GDSII magnification must be positive");
        if (!x_reflection && magnification == 1 && rotation == 0) return true;
        return records_.bits(kStrans, x_reflection ? 0x8000 : 0) &&
               (magnification == 1 || finite_real(kMag, magnification, "GDSII magnification")) &&
               (rotation == 0 || finite_real(kAngle, rotation, "GDSII rotation"));
    }

    // ---- Elements ------------------------------------------------------------------------

    bool write_structure(const Layer& layer, const Structure& structure) {
        if (!paths_to_polygons_ && structure.kind() == StructureKind::Path) {
            std::optional<bool> written = write_path(layer, static_cast<const Path&>(structure));
            if (written) return *written;
        }
        if (structure.kind() == StructureKind::Rectangle) {
            std::array<Vector, 4> corners = static_cast<const Rectangle&>(structure).corner_points();
            return write_boundary(layer, corners, structure);
        }
        Polygon polygon = structure.to_polygon(status_);
        if (status_.failed()) return false;
        if (polygon.vertices().size() < 3) return true;
        std::vector<Polygon> pieces;
        if (polygon.holes().empty())
            pieces.push_back(std::move(polygon));
        else if (!remove_holes(polygon, pieces))
            return records_.fail("GDSII BOUNDARY record",
                                 "Unable to remove polygon holes for GDSII export");
        for (const Polygon& piece : pieces) {
            if (fracture_limit_ > 4 && piece.vertices().size() > fracture_limit_) {
                std::vector<Polygon> parts;
                if (!fracture(piece, fracture_limit_, parts))
                    return records_.fail("GDSII BOUNDARY record",
                                         "Unable to fracture polygon for GDSII export");
                for (const Polygon& part : parts)
                    if (!write_boundary(layer, part.vertices(), structure)) return false;
            } else if (!write_boundary(layer, piece.vertices(), structure)) {
                return false;
            }
        }
        return true;
    }

    // Vertices that meet on the file grid are written once; a polygon left with fewer than
    // three is skipped.
    bool write_boundary(const Layer& layer, std::span<const Vector> vertices, const BaseType& element) {
        std::vector<FilePoint>& points = boundary_points_;
        if (!file_points(vertices, points)) return false;
        auto same = [](const FilePoint& a, const FilePoint& b) { return a.x == b.x && a.y == b.y; };
        points.erase(std::unique(points.begin(), points.end(), same), points.end());
        while (points.size() > 1 && same(points.front(), points.back())) points.pop_back();
        if (points.size() < 3) return true;
        points.push_back(points.front());
        return records_.empty(kBoundary) && layer_records(layer, kDatatype) && write_xy(points) &&
               properties(element) && records_.empty(kEndEl);
    }

    // A length in grid steps that must be exact and fit 32 bits.
    bool path_length(double value, const char* item, int32_t& out) {
        Coord rounded = Coord(std::llround(value));
        if (!std::isfinite(value) || rounded % grid_ != 0)
            return records_.fail(item, "value is not a multiple of the grid");
        Coord steps = rounded / grid_;
        if (steps < INT32_MIN || steps > INT32_MAX)
            return records_.fail(item, "value exceeds the 32-bit range");
        out = int32_t(steps);
        return true;
    }

    // nullopt when the path is written as polygons instead.
    std::optional<bool> write_path(const Layer& layer, const Path& path) {
        const auto& caps = path.caps();
        if (caps[0].round != caps[1].round) return std::nullopt;
        std::vector<Vector> points;
        Coord width = 0;
        if (!path.single_polyline(points, width)) return std::nullopt;
        uint16_t type = 4;
        if (caps[0].round)
            type = 1;
        else if (caps[0].extension == 0 && caps[1].extension == 0)
            type = 0;
        else if (caps[0].extension == 0.5 && caps[1].extension == 0.5)
            type = 2;
        int32_t file_width = 0, begin = 0, end = 0;
        double magnitude = std::fabs(double(width));
        if (!path_length(magnitude, "GDSII path width", file_width) ||
            (type == 4 &&
             (!path_length(caps[0].extension * magnitude, "GDSII path beginning extension", begin) ||
              !path_length(caps[1].extension * magnitude, "GDSII path ending extension", end))))
            return false;
        if (!path.scale_profile()) file_width = -file_width;
        std::vector<FilePoint> spine;
        if (!file_points(points, spine)) return false;
        return records_.empty(kPath) && layer_records(layer, kDatatype) &&
               records_.short_values(kPathType, {type}) && records_.long_value(kWidth, file_width) &&
               (type != 4 || (records_.long_value(kBgnExtn, begin) &&
                              records_.long_value(kEndExtn, end))) &&
               write_xy(spine) && properties(path) && records_.empty(kEndEl);
    }

    bool write_label(const Layer& layer, const Label& label) {
        FilePoint origin;
        return file_point(label.origin().x, label.origin().y, origin) && records_.empty(kText) && layer_records(layer, kTextType) &&
               records_.bits(kPresentation, justification(label.anchor())) &&
               transformation(label.x_reflection(), label.scaling(), label.rotation()) &&
               write_xy({origin}) && records_.string(kString, label.text()) &&
               properties(label) && records_.empty(kEndEl);
    }

    bool write_reference(const Reference& reference) {
        const PreparedCell* cell = layout_.find(reference.component().get());
        if (!cell)
            return records_.fail("GDSII SNAME record",
                                 "GDSII reference target was not prepared for export");
        const Repetition& repetition = reference.repetition();
        const Vector& origin = reference.origin();
        if (repetition.count() == 1) {
            FilePoint at;
            return file_point(origin.x, origin.y, at) && write_sref(reference, cell->name, at);
        }
        if (!quarter_turn(reference.rotation())) {
            for (uint64_t i = 0; i < repetition.count(); ++i) {
                uint64_t row = i / repetition.columns, column = i % repetition.columns;
                FilePoint at;
                if (!file_point(origin.x + Int128(column) * repetition.spacing.x,
                                origin.y + Int128(row) * repetition.spacing.y, at) ||
                    !write_sref(reference, cell->name, at))
                    return false;
            }
            return true;
        }
        if (repetition.count() == 0) return true;
        if (repetition.columns > 0xFFFF || repetition.rows > 0xFFFF)
            return records_.fail("GDSII COLROW record",
                                 "GDSII array reference exceeds 65535 columns or rows");
        // The lattice corners: the spacing is in the parent's frame, as in the file.
        std::vector<FilePoint> corners(3);
        if (!file_point(origin.x, origin.y, corners[0]) ||
            !file_point(origin.x + Int128(repetition.columns) * repetition.spacing.x, origin.y,
                        corners[1]) ||
            !file_point(origin.x, origin.y + Int128(repetition.rows) * repetition.spacing.y,
                        corners[2]))
            return false;
        return records_.empty(kAref) && records_.string(kSname, cell->name) &&
               transformation(reference.x_reflection(), reference.scaling(), reference.rotation()) &&
               records_.short_values(kColRow, {uint16_t(repetition.columns), uint16_t(repetition.rows)}) &&
               write_xy(corners) && properties(reference) && records_.empty(kEndEl);
    }

    bool write_sref(const Reference& reference, const std::string& name, const FilePoint& origin) {
        return records_.empty(kSref) && records_.string(kSname, name) &&
               transformation(reference.x_reflection(), reference.scaling(), reference.rotation()) &&
               write_xy({origin}) && properties(reference) && records_.empty(kEndEl);
    }

    RecordWriter records_;
    const PreparedLayout& layout_;
    bool paths_to_polygons_;
    uint32_t fracture_limit_;
    Coord grid_;
    ErrorHandler& status_;
    std::array<uint16_t, 6> time_{};
    // Reused by every boundary, so that one costs no allocation.
    std::vector<FilePoint> boundary_points_;
};

}  // namespace

bool write_gdsii(OutputStream& out, const PreparedLayout& layout, bool paths_to_polygons,
                 uint32_t fracture_limit, const std::string& library_name, ErrorHandler& status) {
    try {
        auto writer = std::make_unique<LibraryWriter>(out, layout, paths_to_polygons,
                                                      fracture_limit, status);
        return writer->write(library_name);
    } catch (const std::exception& error) {
        status.error(error.what());
        return false;
    }
}

}  // namespace whistle::layout
