#include <map>
#include <optional>

#include "codecs.hpp"
#include "core/foundation/config.hpp"
#include "gdsii_record_reader.hpp"

namespace whistle::layout {

namespace {

using namespace gdsii;

// Most points one element may gather over consecutive XY records.
constexpr size_t kMaxElementPoints = 16777216;

constexpr const char* kUnexpected = "unexpected or geometry-bearing record";

bool is_element_start(uint8_t type) {
    switch (type) {
        case kBoundary:
        case kPath:
        case kSref:
        case kAref:
        case kText:
        case kNode:
        case kBox:
        case kTextNode: return true;
        default: return false;
    }
}

// Records that cannot change the geometry: counted, reported once and skipped.
bool is_geometry_neutral(uint8_t type) {
    switch (type) {
        case 0x18:  // SPACING
        case 0x1D:  // UINTEGER
        case 0x1E:  // USTRING
        case 0x1F:  // REFLIBS
        case 0x20:  // FONTS
        case 0x22:  // GENERATIONS
        case 0x23:  // ATTRTABLE
        case 0x24:  // STYPTABLE
        case 0x25:  // STRTYPE
        case 0x26:  // ELFLAGS
        case 0x27:  // ELKEY
        case 0x28:  // LINKTYPE
        case 0x29:  // LINKKEYS
        case 0x2A:  // NODETYPE
        case 0x2E:  // BOXTYPE
        case 0x2F:  // PLEX
        case 0x32:  // TAPENUM
        case 0x33:  // TAPECODE
        case 0x34:  // STRCLASS
        case 0x35:  // RESERVED
        case 0x36:  // FORMAT
        case 0x37:  // MASK
        case 0x38:  // ENDMASKS
        case 0x39:  // LIBDIRSIZE
        case 0x3A:  // SRFNAME
        case 0x3B:  // LIBSECUR
            return true;
        default: return false;
    }
}

bool is_reference(uint8_t kind) { return kind == kSref || kind == kAref; }

// What one element gathered between its start record and ENDEL.
struct Element {
    uint8_t kind = 0;
    std::optional<uint32_t> layer;
    std::optional<uint32_t> type;  // DATATYPE or TEXTTYPE
    std::vector<FileVector> points;
    bool xy_closed = false;        // a record other than XY followed the coordinates
    std::optional<int> path_type;
    int32_t width = 0;
    std::optional<int32_t> begin_extension;
    std::optional<int32_t> end_extension;
    std::optional<std::string> name;  // SNAME
    std::optional<std::pair<uint16_t, uint16_t>> columns_rows;
    std::optional<std::string> text;
    Anchor anchor = Anchor::NW;
    ElementTransform transform;
    bool has_strans = false;
    std::shared_ptr<Properties> properties;
};

class LibraryReader {
public:
    LibraryReader(InputStream& in, const std::string& file_name, detail::EventSink& sink,
                  ErrorHandler& status)
        : records_(in, status), file_name_(file_name), sink_(sink), status_(status),
          grid_(config().grid) {}

    bool read() {
        if (!header() || !library_body()) return false;
        trailing_data();
        report_neutral_records();
        sink_.finish();
        return true;
    }

private:
    // ---- Library framing -----------------------------------------------------------------

    bool expect(uint8_t type, const Context& context, const char* detail) {
        if (!records_.next(context)) return false;
        return records_.current().type == type || records_.fail(context, detail);
    }

    bool header() {
        const Context context("library header");
        if (!expect(kHeader, context, "expected HEADER") ||
            !expect(kBgnLib, context, "expected BGNLIB") ||
            !expect(kLibName, context, "expected LIBNAME"))
            return false;
        for (;;) {
            if (!records_.next(context)) return false;
            uint8_t type = records_.current().type;
            if (type == kUnits) return units();
            if (!is_geometry_neutral(type)) return records_.fail(context, "expected UNITS");
            count_neutral(type);
        }
    }

    bool units() {
        const RecordData& record = records_.current();
        const Context context("library header");
        if (record.data_type != kReal8 || record.payload.size() != 16)
            return records_.fail(context, "invalid UNITS");
        long double values[2];
        for (int i = 0; i < 2; ++i) {
            const char* detail = nullptr;
            if (!decode_real(record.payload.data() + 8 * i, values[i], detail))
                return records_.fail(context, detail);
            if (!(values[i] > 0)) return records_.fail(context, "units must be positive");
        }
        std::optional<UnitScale> scale = UnitScale::from_metres(values[1]);
        if (!scale) {
            status_.error(stream_failure("GDSII unit scale", record.offset,
                                         "the database unit has no exact internal scale"));
            return false;
        }
        scale_ = *scale;
        if (!scale_.exact_on(grid_))
            status_.warning(
                "current config.grid does not exactly support the GDSII database unit; polygon "
                "vertices are snapped to config.grid");
        sink_.library_units(double(values[0]), double(values[1]), scale_);
        return true;
    }

    bool library_body() {
        const Context context("library");
        for (;;) {
            if (!records_.next(context)) return false;
            const RecordData& record = records_.current();
            uint8_t type = record.type;
            if (type == kEndLib) return record.empty() || records_.fail(context, "invalid ENDLIB");
            if (type == kBgnStr) {
                if (!cell()) return false;
            } else if (is_geometry_neutral(type)) {
                count_neutral(type);
            } else if (type == kHeader || type == kBgnLib || type == kLibName || type == kUnits) {
                return records_.fail(context, "unexpected library record");
            } else {
                return records_.fail(context, kUnexpected);
            }
        }
    }

    bool cell() {
        if (records_.current().data_type != kInt16 || records_.current().payload.size() != 24)
            return records_.fail("library", "invalid BGNSTR");
        if (!records_.next("library")) return false;
        const RecordData& name = records_.current();
        if (name.type != kStrName || name.data_type != kAscii || name.text().empty())
            return records_.fail("library", "expected STRNAME");
        std::string place = "cell '" + name.text() + "'";
        const Context context(place);
        sink_.begin_cell(name.text());
        for (;;) {
            if (!records_.next(context)) return false;
            const RecordData& record = records_.current();
            uint8_t type = record.type;
            if (type == kEndStr) {
                if (!record.empty()) return records_.fail(context, "invalid ENDSTR");
                sink_.end_cell();
                return true;
            }
            if (is_element_start(type)) {
                if (!element(place)) return false;
            } else if (is_geometry_neutral(type)) {
                count_neutral(type);
            } else {
                return records_.fail(context, kUnexpected);
            }
        }
    }

    // Bytes after ENDLIB: zeros pad tapes; anything else is another library, left unread.
    void trailing_data() {
        std::span<const uint8_t> bytes;
        uint64_t start = 0;
        while (records_.rest(bytes, start))
            for (size_t i = 0; i < bytes.size(); ++i)
                if (bytes[i] != 0) {
                    status_.warning(file_name_ + ": nonzero trailing tape data at byte " +
                                    std::to_string(start + i) +
                                    " was ignored; only the first library was read");
                    return;
                }
    }

    void count_neutral(uint8_t type) { ++neutral_[type]; }

    void report_neutral_records() {
        if (neutral_.empty()) return;
        std::string text = "ignored geometry-neutral GDSII records:";
        const char* separator = " ";
        for (const auto& [type, count] : neutral_) {
            text += separator + record_name(type) + " (" + std::to_string(count) + " occurrences)";
            separator = ", ";
        }
        status_.warning(text);
    }

    // ---- Elements ------------------------------------------------------------------------

    bool element(const std::string& cell_context) {
        Element e;
        e.kind = records_.current().type;
        Context context(cell_context, e.kind);
        if (!records_.current().empty())
            return records_.fail(context, "element-start record must have no payload");
        if (e.kind == kNode || e.kind == kTextNode) count_neutral(e.kind);
        for (;;) {
            if (!records_.next(context)) return false;
            const RecordData& record = records_.current();
            if (record.type == kEndEl) {
                if (!record.empty()) return records_.fail(context, "invalid ENDEL");
                return finish_element(e, context);
            }
            if (record.type != kXy && !e.points.empty()) e.xy_closed = true;
            if (!element_record(e, context)) return false;
        }
    }

    bool element_record(Element& e, const Context& context) {
        const RecordData& record = records_.current();
        switch (record.type) {
            case kLayer: return tag(e.layer, context, "duplicate LAYER");
            case kDatatype:
                if (e.kind == kText || is_reference(e.kind)) return records_.fail(context, kUnexpected);
                return tag(e.type, context, "duplicate DATATYPE");
            case kTextType:
                if (e.kind != kText) return records_.fail(context, kUnexpected);
                return tag(e.type, context, "duplicate TEXTTYPE");
            case kXy: return coordinates(e, context);
            case kPathType:
            case kWidth:
            case kBgnExtn:
            case kEndExtn: return path_record(e, context);
            case kSname: return reference_name(e, context);
            case kColRow: return columns_rows(e, context);
            case kString: return string_record(e);
            case kPresentation: return presentation(e);
            case kStrans: return strans(e);
            case kMag:
            case kAngle: return transform_value(e, context);
            case kPropAttr: return property(e, context);
            case kPropValue:
                status_.warning("unusable PROPVALUE record was ignored");
                return true;
            default:
                if (is_geometry_neutral(record.type)) {
                    count_neutral(record.type);
                    return true;
                }
                return records_.fail(context, kUnexpected);
        }
    }

    bool tag(std::optional<uint32_t>& field, const Context& context, const char* duplicate) {
        uint32_t value = 0;
        if (!records_.current().tag(value))
            return records_.fail(context, "tag record must use a 2-byte or 4-byte integer");
        if (field) return records_.fail(context, duplicate);
        field = value;
        return true;
    }

    bool coordinates(Element& e, const Context& context) {
        const RecordData& record = records_.current();
        size_t pairs = record.payload.size() / 8;
        if (record.data_type != kInt32 || record.payload.size() % 8 != 0 || pairs < 1 ||
            pairs > kMaxXyPoints)
            return records_.fail(context, "XY must contain 1 to 8191 complete coordinate pairs");
        if (e.xy_closed)
            return records_.fail(context, "late XY record is not adjacent to the coordinate sequence");
        if (e.points.size() + pairs > kMaxElementPoints)
            return records_.fail(context, "logical XY count exceeds configured bound");
        e.points.reserve(e.points.size() + pairs);
        for (size_t i = 0; i < pairs; ++i)
            e.points.push_back({record.int32(2 * i), record.int32(2 * i + 1)});
        return true;
    }

    bool path_record(Element& e, const Context& context) {
        const RecordData& record = records_.current();
        if (e.kind != kPath) {
            if (record.type == kPathType || record.type == kWidth) {
                status_.warning(record.name() + " record outside PATH was ignored");
                return true;
            }
            return records_.fail(context, kUnexpected);
        }
        if (record.type == kPathType) {
            if (record.data_type != kInt16 || record.payload.size() != 2)
                return records_.fail(context, "invalid PATHTYPE");
            int value = record.int16(0);
            if (value == 3) return records_.fail(context, "unsupported PATHTYPE");
            if (value != 0 && value != 1 && value != 2 && value != 4)
                return records_.fail(context, "invalid PATHTYPE");
            e.path_type = value;
            return true;
        }
        if (record.data_type != kInt32 || record.payload.size() != 4)
            return records_.fail(context, "invalid " + record.name());
        int32_t value = record.int32(0);
        if (record.type == kWidth)
            e.width = value;
        else
            (record.type == kBgnExtn ? e.begin_extension : e.end_extension) = value;
        return true;
    }

    bool reference_name(Element& e, const Context& context) {
        const RecordData& record = records_.current();
        if (!is_reference(e.kind)) return records_.fail(context, kUnexpected);
        if (record.data_type != kAscii || record.text().empty() || e.name)
            return records_.fail(context, "invalid SNAME");
        e.name = record.text();
        return true;
    }

    bool columns_rows(Element& e, const Context& context) {
        const RecordData& record = records_.current();
        if (e.kind != kAref) return records_.fail(context, kUnexpected);
        if (record.data_type != kInt16 || record.payload.size() != 4 || e.columns_rows)
            return records_.fail(context, "invalid COLROW");
        int columns = record.int16(0), rows = record.int16(1);
        if (columns <= 0 || rows <= 0)
            return records_.fail(context, "columns and rows must be positive");
        e.columns_rows = std::pair<uint16_t, uint16_t>(uint16_t(columns), uint16_t(rows));
        return true;
    }

    bool string_record(Element& e) {
        const RecordData& record = records_.current();
        if (e.kind != kText)
            status_.warning("STRING record outside TEXT was ignored");
        else if (record.data_type != kAscii)
            status_.warning("STRING record is not an ASCII string");
        else if (e.text)
            status_.warning("duplicate STRING record was ignored");
        else
            e.text = record.text();
        return true;
    }

    bool presentation(Element& e) {
        const RecordData& record = records_.current();
        if (record.data_type != kBitArray) {
            status_.warning("PRESENTATION record is not a bit array");
            return true;
        }
        if (e.kind != kText) {
            status_.warning("unusable PRESENTATION record was ignored");
            return true;
        }
        unsigned bits = uint16_t(record.int16(0));
        unsigned horizontal = bits & 3, vertical = (bits >> 2) & 3;
        if (horizontal == 3 || vertical == 3) {
            status_.warning("out-of-range presentation anchor subfield was clamped");
            horizontal = std::min(horizontal, 2u);
            vertical = std::min(vertical, 2u);
        }
        e.anchor = Anchor(vertical * 3 + horizontal);
        return true;
    }

    bool strans(Element& e) {
        const RecordData& record = records_.current();
        if (record.data_type != kBitArray) {
            status_.warning("STRANS record is not a bit array");
        } else if (e.kind != kText && !is_reference(e.kind)) {
            status_.warning("STRANS record outside a reference or TEXT was ignored");
        } else if (e.has_strans) {
            status_.warning("unusable STRANS record was ignored");
        } else {
            unsigned bits = uint16_t(record.int16(0));
            if (bits & 0x0006) status_.warning("absolute GDSII magnification/rotation flags were ignored");
            e.transform.x_reflection = (bits & 0x8000) != 0;
            e.has_strans = true;
        }
        return true;
    }

    bool transform_value(Element& e, const Context& context) {
        const RecordData& record = records_.current();
        if (e.kind != kText && !is_reference(e.kind)) {
            status_.warning("transform record outside a reference or TEXT was ignored");
            return true;
        }
        if (record.data_type != kReal8 || record.payload.size() != 8) {
            status_.warning("unusable transform record was ignored");
            return true;
        }
        long double value = 0;
        const char* detail = nullptr;
        if (!decode_real(record.payload.data(), value, detail) || !std::isfinite(double(value))) {
            status_.warning("undecodable transform record was ignored");
            return true;
        }
        if (record.type == kAngle) {
            e.transform.rotation = double(value);
        } else if (value > 0) {
            e.transform.magnification = double(value);
        } else if (is_reference(e.kind)) {
            return records_.fail(context, "magnification must be positive");
        } else {
            status_.warning("nonpositive magnification was ignored");
        }
        return true;
    }

    // A PROPATTR and the PROPVALUE that must follow it.
    bool property(Element& e, const Context& context) {
        const RecordData& attribute = records_.current();
        std::optional<uint16_t> key;
        if (attribute.data_type == kInt16 && attribute.payload.size() == 2)
            key = uint16_t(attribute.int16(0));
        else
            status_.warning("unusable PROPATTR record was ignored");
        if (!records_.next(context)) return false;
        const RecordData& value = records_.current();
        if (value.type != kPropValue) {
            if (key)
                status_.warning(value.type == kEndEl ? "PROPATTR without a PROPVALUE was dropped"
                                                     : "PROPATTR not followed by PROPVALUE was dropped");
            records_.push_back();
            return true;
        }
        if (value.data_type != kAscii) {
            status_.warning("unusable PROPVALUE record was ignored");
            return true;
        }
        if (!key) return true;
        std::string text(value.payload.begin(), value.payload.end());
        if (!text.empty() && text.back() == '\0') text.pop_back();
        if (!e.properties) e.properties = std::make_shared<Properties>();
        e.properties->add_gds_property(*key, std::move(text));
        return true;
    }

    // ---- Element events ------------------------------------------------------------------

    bool finish_element(Element& e, const Context& context) {
        switch (e.kind) {
            case kBoundary:
            case kBox: return polygon(e, context);
            case kPath: return path(e, context);
            case kSref:
            case kAref: return reference(e, context);
            case kText: return labels(e);
            default: return true;  // NODE and TEXTNODE carry no geometry
        }
    }

    bool missing(const Context& context) {
        return records_.fail(context, "missing required element field");
    }

    bool polygon(Element& e, const Context& context) {
        if (!e.layer || e.points.empty() || (e.kind == kBoundary && !e.type)) return missing(context);
        std::vector<FileVector>& points = e.points;
        if (e.kind == kBox) {
            if (points.size() != 5) return records_.fail(context, "BOX must contain 5 points");
        } else if (points.back() != points.front()) {
            return records_.fail(context, "polygon is not closed");
        }
        points.pop_back();
        points.erase(std::unique(points.begin(), points.end()), points.end());
        while (points.size() > 1 && points.back() == points.front()) points.pop_back();
        if (points.size() < 3) {
            status_.warning("layout polygon with fewer than three vertices was skipped");
            return true;
        }
        sink_.polygon(Layer{*e.layer, e.type.value_or(0)}, std::move(points), nullptr,
                      std::move(e.properties));
        return true;
    }

    // The value in internal units is a multiple of the grid and in range.
    bool on_grid(int64_t value) const {
        Int128 scaled = Int128(value) * scale_.numerator;
        Int128 step = Int128(scale_.denominator) * grid_;
        if (scaled % step != 0) return false;
        Int128 result = scaled / scale_.denominator;
        return result >= -kMaxCoord && result <= kMaxCoord;
    }

    bool path(Element& e, const Context& context) {
        if (!e.layer || !e.type || e.points.empty()) return missing(context);
        int type = e.path_type.value_or(0);
        bool extended = e.begin_extension || e.end_extension;
        if (extended && type != 4) return records_.fail(context, "path extensions require PATHTYPE 4");
        if (type == 4 && !(e.begin_extension && e.end_extension))
            return records_.fail(context, "PATHTYPE 4 requires BGNEXTN and ENDEXTN");
        int64_t width = e.width < 0 ? -int64_t(e.width) : int64_t(e.width);
        PathEnds ends;
        ends.round = type == 1;
        if (type == 2) ends.begin_extension = ends.end_extension = width / 2;
        if (type == 4) {
            ends.begin_extension = *e.begin_extension;
            ends.end_extension = *e.end_extension;
        }
        if (!on_grid(width) || !on_grid(ends.begin_extension) || !on_grid(ends.end_extension) ||
            (type == 2 && width % 2 != 0))
            return records_.fail(
                context, "GDSII path width or extension is not representable on the configured Path grid");
        for (const FileVector& p : e.points)
            if (!on_grid(p.x) || !on_grid(p.y))
                return records_.fail(
                    context, "GDSII path coordinate is not representable on the configured Path grid");
        sink_.path(Layer{*e.layer, *e.type}, std::move(e.points), width, e.width < 0, ends, nullptr,
                   std::move(e.properties));
        return true;
    }

    bool reference(Element& e, const Context& context) {
        if (!e.name || e.points.empty() || (e.kind == kAref && !e.columns_rows))
            return missing(context);
        if (e.kind == kSref) {
            if (e.points.size() != 1)
                return records_.fail(context, "element must contain exactly 1 point");
            sink_.reference(*e.name, e.points[0], e.transform, nullptr, std::move(e.properties));
            return true;
        }
        if (e.points.size() != 3)
            return records_.fail(context, "AREF must contain exactly 3 control points");
        ElementRepetition repetition;
        repetition.columns = e.columns_rows->first;
        repetition.rows = e.columns_rows->second;
        repetition.column_step = step(e.points[0], e.points[1], repetition.columns);
        repetition.row_step = step(e.points[0], e.points[2], repetition.rows);
        sink_.reference(*e.name, e.points[0], e.transform, &repetition, std::move(e.properties));
        return true;
    }

    // (to − from) / count, rounded half away from zero.
    static FileVector step(const FileVector& from, const FileVector& to, uint32_t count) {
        auto divide = [count](int64_t delta) {
            int64_t magnitude = delta < 0 ? -delta : delta;
            int64_t steps = (2 * magnitude + count) / (2 * int64_t(count));
            return delta < 0 ? -steps : steps;
        };
        return {divide(to.x - from.x), divide(to.y - from.y)};
    }

    bool labels(Element& e) {
        if (!e.layer || !e.type || e.points.empty()) {
            status_.warning("label without a layer, type, or position was skipped");
            return true;
        }
        if (!e.text) status_.warning("element without a STRING was kept empty");
        if (e.points.size() > 1)
            status_.warning("element with several points became one label per point");
        for (const FileVector& point : e.points) {
            // Each label gets its own copy of the properties.
            std::shared_ptr<Properties> properties =
                e.properties ? std::make_shared<Properties>(*e.properties) : nullptr;
            sink_.label(Layer{*e.layer, *e.type}, point, std::string(e.text.value_or("")),
                        e.anchor, e.transform, nullptr, std::move(properties));
        }
        return true;
    }

    RecordReader records_;
    const std::string& file_name_;
    detail::EventSink& sink_;
    ErrorHandler& status_;
    Coord grid_;
    UnitScale scale_;
    std::map<uint8_t, uint64_t> neutral_;
};

}  // namespace

bool read_gdsii(InputStream& in, const std::string& file_name, detail::EventSink& sink,
                ErrorHandler& status) {
    try {
        return LibraryReader(in, file_name, sink, status).read();
    } catch (const std::exception& error) {
        status.error(error.what());
        return false;
    }
}

}  // namespace whistle::layout
