#include "builder.hpp"

#include <set>
#include <unordered_set>

#include "core/foundation/config.hpp"
#include "core/geometry/label.hpp"

namespace whistle::layout {

namespace {

// Replaces the string items (in nested lists too) that `renames` maps; true when any changed.
bool rename_strings(std::vector<PropertyItem>& items,
                    const std::unordered_map<std::string, std::string>& renames) {
    bool changed = false;
    for (PropertyItem& item : items) {
        if (auto* text = std::get_if<std::string>(&item.value)) {
            auto it = renames.find(*text);
            if (it != renames.end()) *text = it->second, changed = true;
        } else if (auto* list = std::get_if<PropertyItem::List>(&item.value)) {
            changed |= rename_strings(*list, renames);
        }
    }
    return changed;
}

constexpr const char* kCoordinateRange = "layout coordinate exceeds the coordinate range";

bool has_entries(const std::shared_ptr<Properties>& properties) {
    return properties && !properties->entries().empty();
}

void copy_entries(const std::shared_ptr<Properties>& from, BaseType& to) {
    if (!has_entries(from)) return;
    const std::shared_ptr<Properties>& target = to.properties();
    for (const auto& [key, value] : from->entries()) target->set(key, value);
}

bool shifted(Vector& v, const Vector& delta) {
    v += delta;
    return in_range(v.x) && in_range(v.y);
}

}  // namespace

CompactWhistleBuilder::CompactWhistleBuilder(const LoadOptions& options, bool compact,
                                             ErrorHandler& status)
    : options_(options), compact_(compact), status_(status), grid_(config().grid) {
    use_scale(scale_);
}

void CompactWhistleBuilder::use_scale(const UnitScale& scale) {
    scale_ = scale;
    factor_ = scale.exact_on(grid_) ? scale.numerator / scale.denominator : 0;
    factor_limit_ = factor_ ? kMaxCoord / factor_ : 0;
}

// ---- Conversion -------------------------------------------------------------------------

inline bool CompactWhistleBuilder::convert_value(int64_t value, Coord& out) {
    // Exact scales multiply; only the others need the rounding division.
    if (factor_ && value >= -factor_limit_ && value <= factor_limit_) {
        out = value * factor_;
        return true;
    }
    if (!factor_ && scale_.convert(value, grid_, out)) return true;
    status_.error(kCoordinateRange);
    return false;
}

bool CompactWhistleBuilder::convert(const FileVector& v, Vector& out) {
    return convert_value(v.x, out.x) && convert_value(v.y, out.y);
}

bool CompactWhistleBuilder::convert_points(const std::vector<FileVector>& in,
                                           std::vector<Vector>& out) {
    out.resize(in.size());
    for (size_t i = 0; i < in.size(); ++i)
        if (!convert(in[i], out[i])) return false;
    return true;
}

bool CompactWhistleBuilder::offsets(const ElementRepetition* repetition, uint64_t points_each,
                                    std::vector<Vector>& out) {
    out.assign(1, Vector{});
    if (!repetition) return true;
    if (repetition->count() > kMaxRepetitionCount) {
        status_.error("layout repetition count exceeds the configured bound");
        return false;
    }
    if (!count_expansion(repetition->count(), points_each)) return false;
    if (!repetition->is_lattice()) return convert_points(repetition->offsets, out);
    Vector column, row;
    if (!convert(repetition->column_step, column) || !convert(repetition->row_step, row))
        return false;
    out.clear();
    out.reserve(size_t(repetition->count()));
    for (uint32_t r = 0; r < repetition->rows; ++r)
        for (uint32_t c = 0; c < repetition->columns; ++c) {
            Int128 x = Int128(c) * column.x + Int128(r) * row.x;
            Int128 y = Int128(c) * column.y + Int128(r) * row.y;
            if (x > kMaxCoord || x < -kMaxCoord || y > kMaxCoord || y < -kMaxCoord) {
                status_.error(kCoordinateRange);
                return false;
            }
            out.push_back({Coord(x), Coord(y)});
        }
    return true;
}

bool CompactWhistleBuilder::count_expansion(uint64_t instances, uint64_t points_each) {
    expanded_instances_ += instances;
    if (expanded_instances_ > kMaxExpandedInstances) {
        status_.error("layout expanded instance count exceeds configured bound");
        return false;
    }
    expanded_points_ += instances * points_each;
    if (expanded_points_ > kMaxExpandedPoints) {
        status_.error("layout expanded point count exceeds the configured bound");
        return false;
    }
    return true;
}

bool CompactWhistleBuilder::accepts(const Layer& layer) const {
    return !options_.layers || options_.layers->contains(layer);
}

Component* CompactWhistleBuilder::current() {
    return status_.failed() ? nullptr : cell_.get();
}

template <class Matches, class Make>
uint64_t CompactWhistleBuilder::key_for(size_t hash, Matches matches, Make make) {
    auto [first, last] = keys_.equal_range(hash);
    for (auto it = first; it != last; ++it)
        if (matches(prototypes_[it->second])) return it->second;
    uint64_t key = prototypes_.size();
    prototypes_.push_back(make());
    keys_.emplace(hash, key);
    return key;
}

// ---- Events -----------------------------------------------------------------------------

void CompactWhistleBuilder::library_units(double, double, const UnitScale& scale) {
    use_scale(scale);
    // Lattices found in file units stay exact only when no coordinate is snapped.
    compact_ = compact_ && factor_ != 0;
}

void CompactWhistleBuilder::begin_cell(const std::string& name) {
    if (cell_) end_cell();
    cell_ = std::make_shared<Component>(name, options_.technology);
    cells_.push_back(cell_);
    created_.push_back(cell_);
    by_name_.try_emplace(name, cell_);
    if (compact_)
        compactor_ = std::make_unique<OriginCompactor>(
            SpillSettings{options_.temp_dir, compaction_workspace()}, status_);
}

void CompactWhistleBuilder::polygon(const Layer& layer, std::vector<FileVector>&& vertices,
                                    const ElementRepetition* repetition,
                                    std::shared_ptr<Properties> properties) {
    if (!current() || !accepts(layer)) return;
    ElementShape shape{ElementShape::Kind::Polygon, layer, std::move(spare_points_)};
    if (!convert_points(vertices, shape.points)) return;
    auto& points = shape.points;
    points.erase(std::unique(points.begin(), points.end()), points.end());
    if (points.size() > 1 && points.back() == points.front()) points.pop_back();
    if (points.size() < 3) {
        status_.warning("layout polygon with fewer than three vertices was skipped");
        return;
    }
    place_shape(std::move(shape), repetition, std::move(properties));
    // Unless a prototype took them, the points' storage serves the next polygon.
    spare_points_ = std::move(shape.points);
}

void CompactWhistleBuilder::circle(const Layer& layer, const FileVector& center, int64_t radius,
                                   const ElementRepetition* repetition,
                                   std::shared_ptr<Properties> properties) {
    if (!current() || !accepts(layer)) return;
    ElementShape shape{ElementShape::Kind::Circle, layer, {Vector{}}};
    if (convert(center, shape.points[0]) && convert_value(radius, shape.size))
        place_shape(std::move(shape), repetition, std::move(properties));
}

void CompactWhistleBuilder::path(const Layer& layer, std::vector<FileVector>&& points,
                                 int64_t width, bool absolute_width, const PathEnds& ends,
                                 const ElementRepetition* repetition,
                                 std::shared_ptr<Properties> properties) {
    if (!current() || !accepts(layer) || points.empty()) return;
    ElementShape shape{ElementShape::Kind::Path, layer};
    shape.absolute_width = absolute_width;
    shape.round_ends = ends.round;
    // Fractions from file units: exact for the half-width ends of even widths.
    if (width < 0) width = -width;
    if (width > 0 && !ends.round) {
        shape.begin_extension = double(ends.begin_extension) / double(width);
        shape.end_extension = double(ends.end_extension) / double(width);
    }
    if (convert_points(points, shape.points) && convert_value(width, shape.size))
        place_shape(std::move(shape), repetition, std::move(properties));
}

void CompactWhistleBuilder::label(const Layer& layer, const FileVector& position, std::string&& text,
                                  Anchor anchor, const ElementTransform& transform,
                                  const ElementRepetition* repetition,
                                  std::shared_ptr<Properties> properties) {
    std::vector<Vector> instances;
    Vector origin;
    if (!current() || !accepts(layer) || !convert(position, origin) || !offsets(repetition, 1, instances))
        return;
    for (const Vector& offset : instances) {
        Vector at = origin;
        if (!shifted(at, offset)) return status_.error(kCoordinateRange);
        auto item = std::make_shared<Label>(text, at, anchor, transform.rotation,
                                            transform.magnification, transform.x_reflection);
        copy_entries(properties, *item);
        cell_->add(layer, std::move(item));
    }
}

void CompactWhistleBuilder::reference(const std::string& cell, const FileVector& file_origin,
                                      const ElementTransform& transform,
                                      const ElementRepetition* repetition,
                                      std::shared_ptr<Properties> properties) {
    Vector origin;
    if (!current() || !convert(file_origin, origin)) return;
    // Arrays along the axes stay arrays.
    if (repetition && repetition->is_lattice() && repetition->count() > 1) {
        const ElementRepetition& r = *repetition;
        // The step of a single column or row plays no part.
        FileVector column_step = r.columns > 1 ? r.column_step : FileVector{};
        FileVector row_step = r.rows > 1 ? r.row_step : FileVector{};
        bool along = column_step.y == 0 && row_step.x == 0;
        if (along || (column_step.x == 0 && row_step.y == 0)) {
            Coord x, y;
            if (!convert_value(along ? column_step.x : row_step.x, x) ||
                !convert_value(along ? row_step.y : column_step.y, y))
                return;
            Repetition array = along ? Repetition{r.columns, r.rows, {x, y}}
                                     : Repetition{r.rows, r.columns, {x, y}};
            return add_reference(cell, origin, transform, array, properties, *cell_);
        }
    }
    std::vector<Vector> instances;
    if (!offsets(repetition, 1, instances)) return;
    bool compact = compacting() && !has_entries(properties);
    uint64_t key = 0;
    if (compact)
        key = key_for(
            placement_hash(cell, transform),
            [&](const Prototype& p) { return !p.shape && p.cell == cell && same_transform(p.transform, transform); },
            [&] { return Prototype{std::nullopt, cell, transform, nullptr}; });
    for (const Vector& offset : instances) {
        Vector at = origin;
        if (!shifted(at, offset)) return status_.error(kCoordinateRange);
        if (compact) {
            if (!compactor_->add(key, at)) return;
        } else {
            add_reference(cell, at, transform, {}, properties, *cell_);
        }
    }
}

void CompactWhistleBuilder::properties(std::shared_ptr<Properties> properties) {
    if (status_.failed()) return;
    if (cell_) return copy_entries(properties, *cell_);
    if (!library_properties_) library_properties_ = std::make_shared<Properties>();
    // The library's entries are the Properties object itself, not properties attached to it.
    if (properties)
        for (const auto& [key, value] : properties->entries()) library_properties_->set(key, value);
}

void CompactWhistleBuilder::rename(const std::string& provisional, const std::string& name) {
    renames_[provisional] = name;
}

void CompactWhistleBuilder::end_cell() {
    if (compactor_ && !status_.failed()) compactor_->finish(*this);
    compactor_.reset();
    keys_.clear();
    prototypes_.clear();
    cell_.reset();
}

// ---- Placing elements -------------------------------------------------------------------

void CompactWhistleBuilder::place_shape(ElementShape&& shape, const ElementRepetition* repetition,
                                        std::shared_ptr<Properties> properties) {
    bool compact = compacting() && !has_entries(properties);
    // The common case, one element kept as read, needs no offsets and no copy.
    if (!repetition && !compact) {
        add_shape(shape, properties, *cell_);
        return;
    }
    std::vector<Vector> instances;
    if (!offsets(repetition, shape.points.size(), instances)) return;
    if (compact) {
        Vector origin = shape.origin();
        uint64_t key = key_for(
            shape.hash(), [&](const Prototype& p) { return p.shape && p.shape->same_shape(shape); },
            [&] {
                ElementShape placed_at_zero = shape;
                placed_at_zero.translate(-origin);
                return Prototype{std::move(placed_at_zero), {}, {}, nullptr};
            });
        for (const Vector& offset : instances) {
            Vector at = origin;
            if (!shifted(at, offset)) return status_.error(kCoordinateRange);
            if (!compactor_->add(key, at)) return;
        }
        return;
    }
    for (const Vector& offset : instances) {
        ElementShape copy = shape;
        for (Vector& p : copy.points)
            if (!shifted(p, offset)) return status_.error(kCoordinateRange);
        if (!add_shape(copy, properties, *cell_)) return;
    }
}

bool CompactWhistleBuilder::add_shape(const ElementShape& shape,
                                      const std::shared_ptr<Properties>& properties,
                                      Component& target) {
    std::shared_ptr<Structure> structure = shape.make(status_);
    if (!structure) return false;
    copy_entries(properties, *structure);
    target.add(shape.layer, std::move(structure));
    return true;
}

void CompactWhistleBuilder::add_reference(const std::string& cell, const Vector& origin,
                                          const ElementTransform& transform,
                                          const Repetition& repetition,
                                          const std::shared_ptr<Properties>& properties,
                                          Component& parent) {
    auto reference = std::make_shared<Reference>(nullptr, origin, transform.rotation,
                                                 transform.magnification, transform.x_reflection,
                                                 repetition);
    copy_entries(properties, *reference);
    parent.references.push_back(reference);
    unresolved_.emplace_back(std::move(reference), cell);
}


// ---- Compaction results -----------------------------------------------------------------

bool CompactWhistleBuilder::lattice(uint64_t key, const Lattice& lattice) {
    Prototype& prototype = prototypes_[key];
    if (!prototype.synthetic) {
        prototype.synthetic = std::make_shared<Component>(
            kSyntheticPrefix + std::to_string(synthetic_count_++), options_.technology);
        created_.push_back(prototype.synthetic);
        if (prototype.shape) {
            if (!add_shape(*prototype.shape, nullptr, *prototype.synthetic)) return false;
        } else {
            add_reference(prototype.cell, {}, prototype.transform, {}, nullptr, *prototype.synthetic);
        }
    }
    cell_->references.push_back(std::make_shared<Reference>(
        prototype.synthetic, lattice.origin, 0.0, 1.0, false,
        Repetition{lattice.columns, lattice.rows, lattice.pitch}));
    return true;
}

bool CompactWhistleBuilder::leftover(uint64_t key, const Vector& origin) {
    const Prototype& prototype = prototypes_[key];
    if (!prototype.shape) {
        add_reference(prototype.cell, origin, prototype.transform, {}, nullptr, *cell_);
        return true;
    }
    ElementShape shape = *prototype.shape;
    shape.translate(origin);
    return add_shape(shape, nullptr, *cell_);
}

// ---- Completion -------------------------------------------------------------------------

void CompactWhistleBuilder::finish() {
    if (cell_) end_cell();
    if (status_.failed()) return;
    apply_renames();
    // Requested cells must be defined in the file: looked up before undefined names get cells.
    std::vector<std::shared_ptr<Component>> requested;
    for (const std::string& name : options_.cell_names) {
        auto it = by_name_.find(name);
        if (it == by_name_.end()) return status_.error("cell '" + name + "' missing in layout");
        requested.push_back(it->second);
    }
    resolve_references();
    collect_result(requested.empty() ? created_ : requested);
}

const std::string& CompactWhistleBuilder::final_name(const std::string& name) const {
    auto it = renames_.find(name);
    return it == renames_.end() ? name : it->second;
}

void CompactWhistleBuilder::apply_renames() {
    if (renames_.empty()) return;
    // Provisional names stand for property names (keys) and property strings (values).
    auto rename_entries = [this](Properties& properties) {
        std::vector<std::pair<std::string, PropertyValue>> moved;
        for (const auto& [key, value] : properties.entries()) {
            PropertyValue renamed = value;
            if (rename_strings(renamed, renames_) || renames_.contains(key))
                moved.emplace_back(key, std::move(renamed));
        }
        for (auto& [key, value] : moved) {
            properties.erase(key);
            properties.set(final_name(key), std::move(value));
        }
    };
    auto rename_keys = [&](BaseType& object) {
        if (object.existing_properties()) rename_entries(*object.properties());
    };
    by_name_.clear();
    for (const auto& cell : cells_) {
        cell->name = final_name(cell->name);
        by_name_.try_emplace(cell->name, cell);
    }
    for (auto& [reference, name] : unresolved_) name = final_name(name);
    for (const auto& component : created_) {
        rename_keys(*component);
        for (auto& [layer, items] : component->structures)
            for (auto& item : items) rename_keys(*item);
        for (auto& [layer, items] : component->labels)
            for (auto& item : items) {
                item->set_text(final_name(item->text()));
                rename_keys(*item);
            }
        for (auto& reference : component->references) rename_keys(*reference);
    }
    if (library_properties_) rename_entries(*library_properties_);
}

void CompactWhistleBuilder::resolve_references() {
    // A cell that is referenced but never defined becomes an empty component of that name.
    for (auto& [reference, name] : unresolved_) {
        auto [it, added] = by_name_.try_emplace(name);
        if (added) {
            it->second = std::make_shared<Component>(name, options_.technology);
            created_.push_back(it->second);
        }
        reference->set_component(it->second);
    }
    unresolved_.clear();
}

bool CompactWhistleBuilder::reachable(const std::vector<std::shared_ptr<Component>>& roots,
                                      std::unordered_set<const Component*>& out) {
    // Depth-first with an explicit stack; a component met again while still open closes a cycle.
    std::unordered_set<const Component*> open;
    std::vector<std::pair<const Component*, size_t>> stack;
    for (const auto& root : roots) {
        if (out.contains(root.get())) continue;
        stack.emplace_back(root.get(), 0);
        open.insert(root.get());
        while (!stack.empty()) {
            auto& [component, next] = stack.back();
            if (next == component->references.size()) {
                open.erase(component);
                out.insert(component);
                stack.pop_back();
                continue;
            }
            const Component* child = component->references[next++]->component().get();
            if (open.contains(child)) {
                status_.error("reference cycle detected");
                return false;
            }
            if (out.contains(child)) continue;
            open.insert(child);
            stack.emplace_back(child, 0);
        }
    }
    return true;
}

CompactWhistleBuilder::~CompactWhistleBuilder() {
    if (delivered_) return;
    for (const auto& component : created_) component->references.clear();
}

void CompactWhistleBuilder::collect_result(const std::vector<std::shared_ptr<Component>>& roots) {
    std::unordered_set<const Component*> wanted;
    if (!reachable(roots, wanted)) return;
    delivered_ = true;
    std::set<std::string> taken;
    for (const auto& component : created_) {
        if (!wanted.contains(component.get())) {
            component->references.clear();
            continue;
        }
        if (taken.contains(component->name)) {
            std::string base = component->name + "_DUPLICATE_";
            uint64_t n = 1;
            while (taken.contains(base + std::to_string(n))) ++n;
            component->name = base + std::to_string(n);
        }
        taken.insert(component->name);
        result_.components.emplace_back(component->name, component);
    }
    result_.library_properties = library_properties_;
}

}  // namespace whistle::layout
