// The OASIS writer: cells as CELL records with (optionally compressed) bodies, followed by the
// name tables, whose offsets the fixed-size END record carries.
#include <zlib.h>

#include <algorithm>
#include <cmath>
#include <optional>
#include <stdexcept>
#include <unordered_map>

#include "codecs.hpp"
#include "core/foundation/config.hpp"
#include "core/geometry/circle.hpp"
#include "core/geometry/fracture.hpp"
#include "core/geometry/path.hpp"
#include "oasis_format.hpp"

namespace whistle::layout {

using namespace oasis;

namespace {

// The first failure of a write; caught at the entry point.
struct WriteFailure : std::runtime_error {
    using std::runtime_error::runtime_error;
};

[[noreturn]] void fail(const std::string& message) { throw WriteFailure(message); }

// Names the file reserves for itself, never copied from the user's properties.
bool reserved_library_property(const std::string& name) {
    static constexpr std::string_view kNames[] = {
        "S_TOP_CELL",          "S_BOUNDING_BOXES_AVAILABLE", "S_MAX_SIGNED_INTEGER_WIDTH",
        "S_MAX_UNSIGNED_INTEGER_WIDTH", "S_MAX_STRING_LENGTH", "S_POLYGON_MAX_VERTICES",
        "S_PATH_MAX_VERTICES"};
    return std::find(std::begin(kNames), std::end(kNames), name) != std::end(kNames);
}

bool reserved_cell_property(const std::string& name) {
    return name == "S_CELL_OFFSET" || name == "S_BOUNDING_BOX";
}

// n-strings (names) hold 0x21-0x7E, a-strings (texts) 0x20-0x7E; neither may be empty here.
void check_string(const std::string& text, const char* item, bool name) {
    if (text.empty()) fail(std::string(item) + " must not be empty");
    uint8_t lowest = name ? 0x21 : 0x20;
    for (unsigned char c : text)
        if (c < lowest || c > 0x7E)
            fail(std::string(item) + " contains characters outside the OASIS " + (name ? "n" : "a") +
                 "-string range");
}

// Strings numbered from 0 in order of first appearance.
class NameTable {
public:
    void add(const std::string& name) {
        if (numbers_.emplace(name, names_.size()).second) names_.push_back(name);
    }
    std::optional<uint64_t> find(const std::string& name) const {
        auto it = numbers_.find(name);
        return it == numbers_.end() ? std::nullopt : std::optional<uint64_t>(it->second);
    }
    const std::vector<std::string>& names() const { return names_; }

private:
    std::unordered_map<std::string, uint64_t> numbers_;
    std::vector<std::string> names_;
};

// The GDSII-style (attribute, value) pair of an "S_GDS_PROPERTY" entry, when it is one.
bool gds_pair(const PropertyItem& item, int64_t& attribute, const std::string*& value) {
    const auto* pair = std::get_if<PropertyItem::List>(&item.value);
    if (!pair || pair->size() != 2) return false;
    const auto* number = std::get_if<int64_t>(&(*pair)[0].value);
    value = std::get_if<std::string>(&(*pair)[1].value);
    if (!number || !value) return false;
    attribute = *number;
    return true;
}

// The scalar values of a property, nested lists flattened in order.
void flatten(const PropertyItem& item, std::vector<const PropertyItem*>& out) {
    if (const auto* list = std::get_if<PropertyItem::List>(&item.value))
        for (const PropertyItem& inner : *list) flatten(inner, out);
    else
        out.push_back(&item);
}

// Entries sorted by name, so that files do not depend on hash order.
std::vector<const std::pair<const std::string, PropertyValue>*> sorted_entries(
    const Properties& properties) {
    std::vector<const std::pair<const std::string, PropertyValue>*> entries;
    for (const auto& entry : properties.entries()) entries.push_back(&entry);
    std::sort(entries.begin(), entries.end(),
              [](const auto* a, const auto* b) { return a->first < b->first; });
    return entries;
}

// Which properties of an object are written.
enum class PropertyScope { Library, Cell, Element };

bool written(PropertyScope scope, const std::string& name) {
    if (scope == PropertyScope::Library) return !reserved_library_property(name);
    if (scope == PropertyScope::Cell) return !reserved_cell_property(name);
    return true;
}

class OasisWriter {
public:
    OasisWriter(OutputStream& out, const PreparedLayout& layout, bool paths_to_polygons,
                int compression_level, ErrorHandler& status)
        : out_(out), layout_(layout), paths_to_polygons_(paths_to_polygons),
          level_(compression_level), status_(status), grid_(config().grid) {}

    bool write(const Properties* library_properties);

private:
    // ---- Preparation --------------------------------------------------------------------
    void check_cycles() const;
    void collect_names(const Properties* library_properties);
    // Both take null for an object without properties.
    void collect_properties(const Properties* properties, PropertyScope scope);

    // ---- Output ------------------------------------------------------------------------
    // Hands `scratch_` to the stream and empties it.
    void flush_scratch();
    Encoder file() { return Encoder(scratch_); }
    Encoder body() { return Encoder(body_.data()); }
    void write_start();
    void write_cell(size_t index);
    void write_body_out();
    std::vector<uint8_t> compress(const std::vector<uint8_t>& bytes) const;
    void write_tables(uint64_t offsets[4]);
    void write_end(const uint64_t offsets[4]);

    // ---- Elements (into the cell body) -------------------------------------------------
    void write_properties(Encoder out, const Properties* properties, PropertyScope scope);
    void write_property(Encoder out, const std::string& name,
                        const std::vector<const PropertyItem*>& values, bool standard);
    void write_structure(const Layer& layer, const Structure& structure);
    bool write_circle(const Layer& layer, const Circle& circle);
    bool write_path(const Layer& layer, const Path& path);
    void write_polygon(const Layer& layer, const Polygon& polygon);
    void write_reference(const Reference& reference);
    void write_label(const Layer& layer, const Label& label);
    // The info bits 0x01 (layer) and 0x02 (datatype or text type) that the modal values make
    // necessary; the modal values take the layer's.
    uint8_t layer_bits(const Layer& layer, std::optional<uint32_t>& modal_layer,
                       std::optional<uint32_t>& modal_type);
    void write_layer(Encoder out, uint8_t info, const Layer& layer);
    Coord file_coordinate(Coord value, const char* item) const;
    std::vector<FileVector> file_points(const Ring& ring, const char* item) const;
    void write_point_list(Encoder out, const std::vector<FileVector>& points);

    OutputStream& out_;
    const PreparedLayout& layout_;
    bool paths_to_polygons_;
    int level_;
    ErrorHandler& status_;
    Coord grid_;

    NameTable text_strings_, property_names_, property_strings_;
    std::vector<uint8_t> scratch_;
    MemoryOutputStream body_;
    uint64_t cblock_work_ = 0;
    std::optional<uint32_t> layer_, datatype_, text_layer_, text_type_;
};

bool OasisWriter::write(const Properties* library_properties) {
    if (level_ < 0 || level_ > 9) fail("OASIS compression level must be between 0 and 9");
    check_cycles();
    collect_names(library_properties);
    if (grid_ < 1) fail("OASIS export requires a positive grid");

    write_start();
    write_properties(file(), library_properties, PropertyScope::Library);
    flush_scratch();
    for (size_t i = 0; i < layout_.cells.size(); ++i) write_cell(i);
    uint64_t offsets[4] = {};
    write_tables(offsets);
    write_end(offsets);
    return out_.finish(status_);
}

void OasisWriter::check_cycles() const {
    for (const PreparedCell& cell : layout_.cells)
        if (auto culprit = cell.component->detect_dependency_cycle())
            fail("OASIS export does not support reference cycles involving component '" +
                 culprit->name + "'");
}

void OasisWriter::collect_names(const Properties* library_properties) {
    collect_properties(library_properties, PropertyScope::Library);
    for (const PreparedCell& cell : layout_.cells) {
        check_string(cell.name, "OASIS cell name", true);
        const Component& component = *cell.component;
        collect_properties(component.existing_properties(), PropertyScope::Cell);
        for (auto& [layer, structures] : component.structures)
            for (auto& structure : structures)
                collect_properties(structure->existing_properties(), PropertyScope::Element);
        for (auto& reference : component.references)
            collect_properties(reference->existing_properties(), PropertyScope::Element);
        for (auto& [layer, labels] : component.labels)
            for (auto& label : labels) {
                check_string(label->text(), "OASIS text", false);
                text_strings_.add(label->text());
                collect_properties(label->existing_properties(), PropertyScope::Element);
            }
    }
}

void OasisWriter::collect_properties(const Properties* properties, PropertyScope scope) {
    if (!properties) return;
    for (const auto* entry : sorted_entries(*properties)) {
        const std::string& name = entry->first;
        if (!written(scope, name)) continue;
        check_string(name, "OASIS property name", true);
        property_names_.add(name);
        std::vector<const PropertyItem*> values;
        for (const PropertyItem& item : entry->second) flatten(item, values);
        for (const PropertyItem* value : values)
            if (const auto* text = std::get_if<std::string>(&value->value))
                property_strings_.add(*text);
    }
}

void OasisWriter::flush_scratch() {
    if (scratch_.empty()) return;
    if (!out_.write(scratch_.data(), scratch_.size(), status_)) fail(status_.message);
    scratch_.clear();
}

void OasisWriter::write_start() {
    scratch_.insert(scratch_.end(), kMagic.begin(), kMagic.end());
    Encoder out = file();
    out.byte(kStart);
    out.string("1.0");
    // Database units per micrometre: 100000 / grid, reduced.
    uint64_t numerator = 100000, denominator = uint64_t(grid_);
    uint64_t a = numerator, b = denominator;
    while (b) a = std::exchange(b, a % b);
    numerator /= a;
    denominator /= a;
    if (denominator == 1)
        out.real_whole(numerator);
    else
        out.real_ratio(numerator, denominator);
    out.unsigned_integer(1);  // table offsets live in END
}

void OasisWriter::write_cell(size_t index) {
    const PreparedCell& cell = layout_.cells[index];
    Encoder out = file();
    out.byte(kCellByNumber);
    out.unsigned_integer(index);
    flush_scratch();

    // Modal variables do not survive a CELL record.
    layer_ = datatype_ = text_layer_ = text_type_ = std::nullopt;
    body_.data().clear();
    const Component& component = *cell.component;
    write_properties(body(), component.existing_properties(), PropertyScope::Cell);
    for (auto& [layer, structures] : component.structures)
        for (auto& structure : structures) write_structure(layer, *structure);
    for (auto& reference : component.references) write_reference(*reference);
    for (auto& [layer, labels] : component.labels)
        for (auto& label : labels) write_label(layer, *label);
    write_body_out();
}

void OasisWriter::write_body_out() {
    const std::vector<uint8_t>& bytes = body_.data();
    if (bytes.empty()) return;
    if (level_ == 0) {
        if (!out_.write(bytes.data(), bytes.size(), status_)) fail(status_.message);
        return;
    }
    if (bytes.size() > kCblockWorkBound) fail("OASIS CBLOCK exceeds the configured work bound");
    std::vector<uint8_t> compressed = compress(bytes);
    cblock_work_ += bytes.size() + compressed.size();
    if (cblock_work_ > kCblockWorkBound) fail("OASIS CBLOCK exceeds the configured work bound");
    Encoder out = file();
    out.byte(kCblock);
    out.unsigned_integer(0);
    out.unsigned_integer(bytes.size());
    out.unsigned_integer(compressed.size());
    flush_scratch();
    if (!out_.write(compressed.data(), compressed.size(), status_)) fail(status_.message);
}

std::vector<uint8_t> OasisWriter::compress(const std::vector<uint8_t>& bytes) const {
    z_stream stream{};
    if (deflateInit2(&stream, level_, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) != Z_OK)
        fail("Unable to initialize OASIS CBLOCK compression");
    std::vector<uint8_t> compressed(deflateBound(&stream, uLong(bytes.size())));
    stream.next_in = const_cast<Bytef*>(bytes.data());
    stream.avail_in = uInt(bytes.size());
    stream.next_out = compressed.data();
    stream.avail_out = uInt(compressed.size());
    int result = deflate(&stream, Z_FINISH);
    compressed.resize(stream.total_out);
    deflateEnd(&stream);
    if (result != Z_STREAM_END) fail("Unable to compress OASIS CBLOCK");
    return compressed;
}

void OasisWriter::write_tables(uint64_t offsets[4]) {
    std::vector<std::string> cell_names;
    for (const PreparedCell& cell : layout_.cells) cell_names.push_back(cell.name);
    const std::vector<std::string>* tables[4] = {&cell_names, &text_strings_.names(),
                                                 &property_names_.names(),
                                                 &property_strings_.names()};
    const Record records[4] = {kCellNameExplicit, kTextStringExplicit, kPropNameExplicit,
                               kPropStringExplicit};
    for (int t = 0; t < 4; ++t) {
        if (tables[t]->empty()) continue;
        offsets[t] = out_.offset();
        Encoder out = file();
        for (size_t i = 0; i < tables[t]->size(); ++i) {
            out.byte(records[t]);
            out.string((*tables[t])[i]);
            out.unsigned_integer(i);
        }
        flush_scratch();
    }
}

void OasisWriter::write_end(const uint64_t offsets[4]) {
    std::vector<uint8_t> record;
    Encoder out(record);
    out.byte(kEnd);
    for (int t = 0; t < 6; ++t) {
        out.unsigned_integer(1);  // strict
        out.unsigned_integer(t < 4 ? offsets[t] : 0);
    }
    // What is left after the validation scheme byte goes to the padding string, whose length
    // takes one byte up to 127 and two bytes up to 16383.
    size_t left = kEndRecordSize - record.size() - 1;
    size_t padding;
    if (left >= 1 && left - 1 <= 127)
        padding = left - 1;
    else if (left >= 2 + 128)
        padding = left - 2;
    else
        fail("Unable to construct the 256-byte OASIS END record");
    out.unsigned_integer(padding);
    record.insert(record.end(), padding, 0);
    out.unsigned_integer(0);  // no validation
    if (record.size() != kEndRecordSize) fail("OASIS END record is not exactly 256 bytes");
    scratch_.insert(scratch_.end(), record.begin(), record.end());
    flush_scratch();
}

// ---- Elements ------------------------------------------------------------------------

void OasisWriter::write_properties(Encoder out, const Properties* properties,
                                   PropertyScope scope) {
    if (!properties) return;
    for (const auto* entry : sorted_entries(*properties)) {
        const std::string& name = entry->first;
        if (!written(scope, name)) continue;
        if (name == Properties::kGdsKey) {
            // One standard property per (attribute, value) pair.
            for (const PropertyItem& item : entry->second) {
                int64_t attribute;
                const std::string* value;
                if (!gds_pair(item, attribute, value)) continue;
                const auto& pair = std::get<PropertyItem::List>(item.value);
                write_property(out, name, {&pair[0], &pair[1]}, true);
            }
            continue;
        }
        std::vector<const PropertyItem*> values;
        for (const PropertyItem& item : entry->second) flatten(item, values);
        write_property(out, name, values, false);
    }
}

void OasisWriter::write_property(Encoder out, const std::string& name,
                                 const std::vector<const PropertyItem*>& values, bool standard) {
    auto name_number = property_names_.find(name);
    if (!name_number) fail("OASIS property name is missing from its table");
    size_t count = values.size();
    out.byte(kProperty);
    out.byte(uint8_t((count > 14 ? 15 : count) << 4) | 0x06 | (standard ? 1 : 0));
    out.unsigned_integer(*name_number);
    if (count > 14) out.unsigned_integer(count);
    for (const PropertyItem* value : values) {
        if (const auto* number = std::get_if<int64_t>(&value->value)) {
            if (*number < 0) {
                out.byte(9);
                out.signed_integer(*number);
            } else {
                out.byte(8);
                out.unsigned_integer(uint64_t(*number));
            }
        } else if (const auto* real = std::get_if<double>(&value->value)) {
            if (!std::isfinite(*real)) fail("OASIS property value must be finite");
            out.real_double(*real);
        } else {
            auto string_number = property_strings_.find(std::get<std::string>(value->value));
            if (!string_number) fail("OASIS property string is missing from its table");
            out.byte(14);
            out.unsigned_integer(*string_number);
        }
    }
}

Coord OasisWriter::file_coordinate(Coord value, const char* item) const {
    if (!in_range(value)) fail(std::string(item) + " exceeds the OASIS coordinate range");
    Coord magnitude = value < 0 ? -value : value;
    Coord steps = (magnitude + grid_ / 2) / grid_;
    return value < 0 ? -steps : steps;
}

std::vector<FileVector> OasisWriter::file_points(const Ring& ring, const char* item) const {
    std::vector<FileVector> points;
    points.reserve(ring.size());
    for (const Vector& p : ring) {
        FileVector q{file_coordinate(p.x, item), file_coordinate(p.y, item)};
        if (points.empty() || !(points.back() == q)) points.push_back(q);
    }
    while (points.size() > 1 && points.back() == points.front()) points.pop_back();
    return points;
}

uint8_t OasisWriter::layer_bits(const Layer& layer, std::optional<uint32_t>& modal_layer,
                                std::optional<uint32_t>& modal_type) {
    uint8_t bits = 0;
    if (modal_layer != layer.layer) bits |= 0x01;
    if (modal_type != layer.datatype) bits |= 0x02;
    modal_layer = layer.layer;
    modal_type = layer.datatype;
    return bits;
}

void OasisWriter::write_layer(Encoder out, uint8_t info, const Layer& layer) {
    if (info & 0x01) out.unsigned_integer(layer.layer);
    if (info & 0x02) out.unsigned_integer(layer.datatype);
}

void OasisWriter::write_point_list(Encoder out, const std::vector<FileVector>& points) {
    out.unsigned_integer(4);
    out.unsigned_integer(points.size() - 1);
    for (size_t i = 1; i < points.size(); ++i)
        out.g_delta(points[i].x - points[i - 1].x, points[i].y - points[i - 1].y);
}

void OasisWriter::write_structure(const Layer& layer, const Structure& structure) {
    bool done = false;
    if (structure.kind() == StructureKind::Circle)
        done = write_circle(layer, static_cast<const Circle&>(structure));
    else if (structure.kind() == StructureKind::Path && !paths_to_polygons_)
        done = write_path(layer, static_cast<const Path&>(structure));
    if (done) {
        write_properties(body(), structure.existing_properties(), PropertyScope::Element);
        return;
    }
    Polygon polygon = structure.to_polygon(status_);
    if (status_.failed()) fail(status_.message);
    std::vector<Polygon> pieces;
    if (polygon.holes().empty())
        pieces.push_back(std::move(polygon));
    else if (!remove_holes(polygon, pieces) || pieces.empty())
        fail("Unable to remove polygon holes for OASIS export");
    for (const Polygon& piece : pieces) {
        if (!piece.holes().empty()) fail("Unable to normalize polygon holes for OASIS export");
        write_polygon(layer, piece);
        write_properties(body(), structure.existing_properties(), PropertyScope::Element);
    }
}

bool OasisWriter::write_circle(const Layer& layer, const Circle& circle) {
    if (!circle.is_circular() || circle.inner_radius().x != 0 || !circle.is_full()) return false;
    Coord radius = file_coordinate(circle.radius().x, "OASIS circle radius");
    if (radius < 0) fail("OASIS circle radius exceeds the supported range");
    Coord x = file_coordinate(circle.center().x, "OASIS circle center");
    Coord y = file_coordinate(circle.center().y, "OASIS circle center");
    Encoder out = body();
    uint8_t info = 0x20 | 0x10 | 0x08 | layer_bits(layer, layer_, datatype_);
    out.byte(kCircle);
    out.byte(info);
    write_layer(out, info, layer);
    out.unsigned_integer(uint64_t(radius));
    out.signed_integer(x);
    out.signed_integer(y);
    return true;
}

bool OasisWriter::write_path(const Layer& layer, const Path& path) {
    const auto& caps = path.caps();
    if (caps[0].round || caps[1].round) return false;  // no OASIS form for round ends
    Ring spine;
    Coord width = 0;
    if (!path.single_polyline(spine, width)) return false;
    Coord absolute = width < 0 ? -width : width;
    // The half-width must stay exact in file units, or the outline would change.
    if (absolute % (2 * grid_) != 0) return false;
    std::vector<FileVector> points = file_points(spine, "OASIS path coordinate");
    if (points.size() < 2) return false;
    if (points.size() > kMaxPointCount) fail("point count exceeds configured bound");

    Encoder out = body();
    uint8_t info = 0x80 | 0x40 | 0x20 | 0x10 | 0x08 | layer_bits(layer, layer_, datatype_);
    out.byte(kPath);
    out.byte(info);
    write_layer(out, info, layer);
    out.unsigned_integer(uint64_t(absolute / 2 / grid_));
    if (caps[0].extension == 0 && caps[1].extension == 0) {
        out.byte(0x05);
    } else if (caps[0].extension == 0.5 && caps[1].extension == 0.5) {
        out.byte(0x0A);
    } else {
        out.byte(0x0F);
        for (const auto& cap : caps)
            out.signed_integer(file_coordinate(nearest(cap.extension * double(absolute)),
                                               "OASIS path extension"));
    }
    write_point_list(out, points);
    out.signed_integer(points[0].x);
    out.signed_integer(points[0].y);
    return true;
}

void OasisWriter::write_polygon(const Layer& layer, const Polygon& polygon) {
    const Ring& ring = polygon.vertices();
    if (ring.size() < 3) fail("polygon has fewer than three vertices");
    if (ring.size() > kMaxPointCount) fail("point count exceeds configured bound");
    std::vector<FileVector> p = file_points(ring, "OASIS polygon coordinate");
    if (p.size() < 3) fail("OASIS polygon is degenerate after grid quantization");

    Encoder out = body();
    uint8_t info = layer_bits(layer, layer_, datatype_);
    bool rectangle = p.size() == 4 && ((p[0].x == p[1].x && p[1].y == p[2].y &&
                                        p[2].x == p[3].x && p[3].y == p[0].y) ||
                                       (p[0].y == p[1].y && p[1].x == p[2].x &&
                                        p[2].y == p[3].y && p[3].x == p[0].x));
    if (rectangle) {
        int64_t x0 = std::min(p[0].x, p[2].x), y0 = std::min(p[0].y, p[2].y);
        int64_t width = std::max(p[0].x, p[2].x) - x0, height = std::max(p[0].y, p[2].y) - y0;
        info |= 0x40 | 0x10 | 0x08 | (width == height ? 0x80 : 0x20);
        out.byte(kRectangle);
        out.byte(info);
        write_layer(out, info, layer);
        out.unsigned_integer(uint64_t(width));
        if (width != height) out.unsigned_integer(uint64_t(height));
        out.signed_integer(x0);
        out.signed_integer(y0);
        return;
    }
    info |= 0x20 | 0x10 | 0x08;
    out.byte(kPolygon);
    out.byte(info);
    write_layer(out, info, layer);
    write_point_list(out, p);
    out.signed_integer(p[0].x);
    out.signed_integer(p[0].y);
}

void OasisWriter::write_reference(const Reference& reference) {
    const PreparedCell* cell = layout_.find(reference.component().get());
    if (!cell) fail("OASIS reference target was not prepared for export");
    const Repetition& repetition = reference.repetition();
    uint64_t count = repetition.count();
    if (count == 0) return;
    if (count > kMaxRepetitionCount) fail("OASIS repetition exceeds the configured instance bound");
    double magnification = reference.scaling(), rotation = reference.rotation();
    if (!(magnification > 0) || !std::isfinite(magnification) || !std::isfinite(rotation))
        fail("OASIS placement transform must have positive finite magnification and finite "
             "rotation");
    const Vector& origin = reference.origin();
    for (int axis = 0; axis < 2; ++axis) {
        uint32_t n = axis == 0 ? repetition.columns : repetition.rows;
        Coord start = axis == 0 ? origin.x : origin.y;
        Coord step = axis == 0 ? repetition.spacing.x : repetition.spacing.y;
        Int128 end = Int128(start) + Int128(n - 1) * step;
        if (end < -kMaxCoord || end > kMaxCoord)
            fail("OASIS repetition endpoint exceeds the coordinate range");
    }

    Encoder out = body();
    int quarter_turns = 0;
    bool simple = magnification == 1 && is_quarter_turn(rotation, quarter_turns);
    uint8_t info = 0x80 | 0x40 | 0x20 | 0x10 | (count > 1 ? 0x08 : 0) |
                   (reference.x_reflection() ? 0x01 : 0);
    size_t index = size_t(cell - layout_.cells.data());
    if (simple) {
        out.byte(kPlacement);
        out.byte(info | uint8_t(quarter_turns << 1));
        out.unsigned_integer(index);
    } else {
        info |= (magnification != 1 ? 0x04 : 0) | (rotation != 0 ? 0x02 : 0);
        out.byte(kPlacementTransformed);
        out.byte(info);
        out.unsigned_integer(index);
        if (info & 0x04) out.real_double(magnification);
        if (info & 0x02) out.real_double(rotation);
    }
    out.signed_integer(file_coordinate(origin.x, "OASIS placement coordinate"));
    out.signed_integer(file_coordinate(origin.y, "OASIS placement coordinate"));
    if (count > 1) {
        Coord dx = file_coordinate(repetition.spacing.x, "OASIS repetition spacing");
        Coord dy = file_coordinate(repetition.spacing.y, "OASIS repetition spacing");
        uint32_t columns = repetition.columns, rows = repetition.rows;
        bool forward = (columns == 1 || dx >= 0) && (rows == 1 || dy >= 0);
        if (columns > 1 && rows > 1) {
            out.unsigned_integer(forward ? 1 : 8);
            out.unsigned_integer(columns - 2);
            out.unsigned_integer(rows - 2);
            if (forward) {
                out.unsigned_integer(uint64_t(dx));
                out.unsigned_integer(uint64_t(dy));
            } else {
                out.g_delta(dx, 0);
                out.g_delta(0, dy);
            }
        } else {
            bool along_x = rows == 1;
            out.unsigned_integer(forward ? (along_x ? 2 : 3) : 9);
            out.unsigned_integer((along_x ? columns : rows) - 2);
            if (forward)
                out.unsigned_integer(uint64_t(along_x ? dx : dy));
            else
                out.g_delta(along_x ? dx : 0, along_x ? 0 : dy);
        }
    }
    write_properties(out, reference.existing_properties(), PropertyScope::Element);
}

void OasisWriter::write_label(const Layer& layer, const Label& label) {
    auto number = text_strings_.find(label.text());
    Coord x = file_coordinate(label.origin().x, "OASIS text coordinate");
    Coord y = file_coordinate(label.origin().y, "OASIS text coordinate");
    Encoder out = body();
    uint8_t info = 0x40 | 0x20 | 0x10 | 0x08 | layer_bits(layer, text_layer_, text_type_);
    out.byte(kText);
    out.byte(info);
    out.unsigned_integer(*number);
    write_layer(out, info, layer);
    out.signed_integer(x);
    out.signed_integer(y);
    write_properties(out, label.existing_properties(), PropertyScope::Element);
}

}  // namespace

bool write_oasis(OutputStream& out, const PreparedLayout& layout, bool paths_to_polygons,
                 int compression_level, const Properties* library_properties,
                 ErrorHandler& status) {
    try {
        OasisWriter writer(out, layout, paths_to_polygons, compression_level, status);
        return writer.write(library_properties);
    } catch (const WriteFailure& failure) {
        status.error(failure.what());
    } catch (const std::out_of_range& failure) {
        status.error(failure.what());
    } catch (const std::length_error& failure) {
        status.error(failure.what());
    }
    return false;
}

}  // namespace whistle::layout
