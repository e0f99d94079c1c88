// Turns the events of a layout reader into components, optionally replacing lattices of
// identical elements by array references to synthetic components.
#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "compaction.hpp"
#include "driver.hpp"
#include "element_shape.hpp"
#include "events.hpp"

namespace whistle::layout {

class CompactWhistleBuilder final : public detail::EventSink, private CompactionOutput {
public:
    static constexpr const char* kSyntheticPrefix = "_TARNWHISTLE_COMPACT_";
    // Bounds on what repetitions may expand into.
    static constexpr uint64_t kMaxRepetitionCount = uint64_t(1) << 26;
    static constexpr uint64_t kMaxExpandedInstances = uint64_t(1) << 26;
    static constexpr uint64_t kMaxExpandedPoints = uint64_t(1) << 28;

    // `compact` asks for compaction; it happens only when file units land exactly on the grid.
    CompactWhistleBuilder(const LoadOptions& options, bool compact, ErrorHandler& status);
    // Components left out of the result may reference each other in a cycle (a cyclic file, or
    // cells outside the requested ones): their references go, so that they are released.
    ~CompactWhistleBuilder() override;

    void library_units(double user_unit, double database_unit, const UnitScale& scale) override;
    void begin_cell(const std::string& name) override;
    void polygon(const Layer& layer, std::vector<FileVector>&& vertices,
                 const ElementRepetition* repetition, std::shared_ptr<Properties> properties) override;
    void circle(const Layer& layer, const FileVector& center, int64_t radius,
                const ElementRepetition* repetition, std::shared_ptr<Properties> properties) override;
    void path(const Layer& layer, std::vector<FileVector>&& points, int64_t width,
              bool absolute_width, const PathEnds& ends, const ElementRepetition* repetition,
              std::shared_ptr<Properties> properties) override;
    void label(const Layer& layer, const FileVector& position, std::string&& text, Anchor anchor,
               const ElementTransform& transform, const ElementRepetition* repetition,
               std::shared_ptr<Properties> properties) override;
    void reference(const std::string& cell, const FileVector& origin,
                   const ElementTransform& transform, const ElementRepetition* repetition,
                   std::shared_ptr<Properties> properties) override;
    void properties(std::shared_ptr<Properties> properties) override;
    void rename(const std::string& provisional, const std::string& name) override;
    void end_cell() override;
    void finish() override;

    // The result, complete after finish().
    LoadedLayout& result() { return result_; }

private:
    // What a compaction key stands for: a geometry element placed at its origin, or a
    // reference to a cell with its placement but without its origin.
    struct Prototype {
        std::optional<ElementShape> shape;
        std::string cell;
        ElementTransform transform;
        std::shared_ptr<Component> synthetic;  // created with the first lattice
    };

    bool convert(const FileVector& v, Vector& out);
    bool convert_value(int64_t value, Coord& out);
    void use_scale(const UnitScale& scale);
    bool convert_points(const std::vector<FileVector>& in, std::vector<Vector>& out);
    // Instance offsets of a repetition in database units (only (0, 0) without one), counted
    // against the expansion bounds (compacted instances too: leftovers become elements); false
    // on a failure or a bound exceeded.
    bool offsets(const ElementRepetition* repetition, uint64_t points_each, std::vector<Vector>& out);
    bool count_expansion(uint64_t instances, uint64_t points_each);
    bool accepts(const Layer& layer) const;
    Component* current();

    void place_shape(ElementShape&& shape, const ElementRepetition* repetition,
                     std::shared_ptr<Properties> properties);
    bool add_shape(const ElementShape& shape, const std::shared_ptr<Properties>& properties,
                   Component& target);
    void add_reference(const std::string& cell, const Vector& origin, const ElementTransform& transform,
                       const Repetition& repetition, const std::shared_ptr<Properties>& properties,
                       Component& parent);
    // The key of the prototype with this hash that `matches`; one made by `make` when none does.
    template <class Matches, class Make>
    uint64_t key_for(size_t hash, Matches matches, Make make);
    bool compacting() const { return compactor_ != nullptr; }

    bool lattice(uint64_t key, const Lattice& lattice) override;
    bool leftover(uint64_t key, const Vector& origin) override;

    const std::string& final_name(const std::string& name) const;
    void apply_renames();
    void resolve_references();
    // Every component reachable from the roots, each once; false on a cycle.
    bool reachable(const std::vector<std::shared_ptr<Component>>& roots,
                   std::unordered_set<const Component*>& out);
    // The roots and their dependencies, in creation order, with unique names.
    void collect_result(const std::vector<std::shared_ptr<Component>>& roots);

    LoadOptions options_;
    bool compact_;
    ErrorHandler& status_;
    UnitScale scale_;
    Coord grid_;
    // Database units per file unit when that is a whole number of grid steps, else 0.
    Coord factor_ = 0;
    // The largest file value that factor_ keeps within the coordinate range.
    int64_t factor_limit_ = 0;

    // Point storage handed from one polygon to the next.
    std::vector<Vector> spare_points_;

    std::vector<std::shared_ptr<Component>> cells_;
    // The cell to which references of each name resolve: the first of that name.
    std::unordered_map<std::string, std::shared_ptr<Component>> by_name_;
    // Every component created, in creation order: cells with their synthetic components.
    std::vector<std::shared_ptr<Component>> created_;
    std::vector<std::pair<std::shared_ptr<Reference>, std::string>> unresolved_;
    std::unordered_map<std::string, std::string> renames_;
    std::shared_ptr<Component> cell_;
    std::shared_ptr<Properties> library_properties_;
    uint64_t expanded_instances_ = 0;
    uint64_t expanded_points_ = 0;
    uint64_t synthetic_count_ = 0;
    // Set once the result holds the requested components.
    bool delivered_ = false;

    // Compaction state of the open cell.
    std::unique_ptr<OriginCompactor> compactor_;
    std::unordered_multimap<size_t, uint64_t> keys_;
    std::vector<Prototype> prototypes_;

    LoadedLayout result_;
};

}  // namespace whistle::layout
