// References: placements of a component, possibly as a rectangular array of instances.
#pragma once

#include <map>
#include <memory>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/foundation/base_type.hpp"
#include "core/foundation/error_handler.hpp"
#include "core/geometry/structure.hpp"
#include "layer.hpp"

namespace whistle {

class Component;
class Label;
class Port;
class Terminal;
struct HierarchyFilter;

// A columns × rows array; instance i sits at (column × spacing.x, row × spacing.y), numbered
// row-major. Spacing is in parent coordinates: it is never rotated, scaled or mirrored.
struct Repetition {
    static constexpr const char* kIndexError = "Index larger than the maximum repetition index";

    uint32_t columns = 1;
    uint32_t rows = 1;
    Vector spacing;

    uint64_t count() const { return uint64_t(columns) * rows; }
    // Throws std::out_of_range with kIndexError for an index past the last instance.
    Vector offset(uint64_t index) const;
    bool operator==(const Repetition&) const = default;
};

class Reference final : public Cloneable<Reference, BaseType> {
public:
    explicit Reference(std::shared_ptr<Component> component, Vector origin = {}, double rotation = 0,
                       double scaling = 1, bool x_reflection = false, Repetition repetition = {})
        : Cloneable(TypeCode::Reference), component_(std::move(component)), origin_(origin),
          rotation_(rotation), scaling_(scaling), x_reflection_(x_reflection),
          repetition_(repetition) {}

    const std::shared_ptr<Component>& component() const { return component_; }
    const Vector& origin() const { return origin_; }
    double rotation() const { return rotation_; }
    double scaling() const { return scaling_; }
    bool x_reflection() const { return x_reflection_; }
    const Repetition& repetition() const { return repetition_; }
    // The five update dictionaries, held by the binding layer; null when absent.
    const std::shared_ptr<BaseType>& update_kwargs() const { return update_kwargs_; }

    void set_component(std::shared_ptr<Component> component) { component_ = std::move(component); }
    void set_origin(const Vector& origin) { origin_ = origin; }
    void set_rotation(double rotation) { rotation_ = rotation; }
    void set_scaling(double scaling) { scaling_ = scaling; }
    void set_x_reflection(bool value) { x_reflection_ = value; }
    void set_repetition(const Repetition& repetition) { repetition_ = repetition; }
    void set_update_kwargs(std::shared_ptr<BaseType> kwargs) { update_kwargs_ = std::move(kwargs); }

    // The placement step of instance i (origin plus the instance offset). Throws
    // std::out_of_range for an index past the last instance.
    Placement placement(uint64_t index) const;
    // Placement of the whole array without the instance offsets.
    Placement base_placement() const {
        return {origin_, x_reflection_, rotation_, scaling_};
    }

    // self ← translate(rotate(mirror(scale(self)))): quarter turns at unit scale move the
    // origin exactly, anything else rounds half away from zero. Throws RangeError and leaves
    // the reference unchanged when the origin leaves the coordinate range.
    void transform(const Vector& translation, bool mirror, double rotation, double scaling);
    void translate(const Vector& delta);
    void rotate(double rotation, const Vector& center);
    void scale(double scaling, const Vector& center);
    void mirror(const Vector& axis_endpoint, const Vector& axis_origin);

    // One 1 × 1 reference per instance (or the one of index i).
    std::shared_ptr<Reference> repetition_reference(uint64_t index) const;

    std::string str(bool representation) const override;
    bool equals(const BaseType& other) const override;

    // Shallow copies share the component; deep ones copy it (and its dependencies).
    std::shared_ptr<Reference> copy(bool deep, bool copy_technology) const;

    // ---- Instances (reference_operations.cpp) ------------------------------------------

    // Transformed copies of the component's 2D port (or terminal) `name`, one per instance in
    // index order; empty when the component has none of that name.
    std::vector<std::shared_ptr<Port>> get_ports(const std::string& name) const;
    std::vector<std::shared_ptr<Terminal>> get_terminals(const std::string& name) const;
    // The referenced component's structures (labels) gathered with the filter, transformed
    // for every instance.
    std::map<Layer, std::vector<std::shared_ptr<Structure>>> get_structures(
        const HierarchyFilter& filter) const;
    std::map<Layer, std::vector<std::shared_ptr<Label>>> get_labels(
        const HierarchyFilter& filter) const;

    // Reflects when the port specifications ask for it, turns and moves the reference so that
    // port `port_name` of instance `index` sits on `to` facing it. Errors and warnings go to
    // status; on an error (or a RangeError thrown) the reference is left unchanged.
    void connect(const std::string& port_name, const Port& to, uint64_t index,
                 ErrorHandler& status);

    // A new component named `name` with the contents of instance `index` placed: structures,
    // labels, ports and terminals transformed, references composed with the placement, the
    // technology and models shared.
    std::shared_ptr<Component> transformed_component(std::string name, uint64_t index) const;

    // Bounding box of every instance, in the parent's coordinates; empty when there is no
    // geometry. Costs the same for any number of instances: instance 0's box (or hull, for
    // turns other than quarter turns) is placed and stretched to the far columns and rows.
    // Defined with the component's bounds.
    std::optional<Bounds> bounds(bool include_labels, ErrorHandler& status) const;
    std::vector<Vector> convex_hull(bool include_labels, ErrorHandler& status) const;

private:
    // The fields a placement changes; operations build a new frame and assign it only when
    // every step succeeded.
    struct Frame {
        Vector origin;
        double rotation;
        double scaling;
        bool x_reflection;
    };
    Frame frame(const Vector& shift) const { return {origin_ - shift, rotation_, scaling_, x_reflection_}; }
    void assign(const Frame& f) {
        origin_ = f.origin;
        rotation_ = f.rotation;
        scaling_ = f.scaling;
        x_reflection_ = f.x_reflection;
    }
    // A copy of the update arguments for a new reference (the dicts are not shared).
    std::shared_ptr<BaseType> own_update_kwargs() const {
        return update_kwargs_ ? update_kwargs_->clone() : nullptr;
    }
    static Frame transformed(Frame f, const Vector& translation, bool mirror, double rotation,
                             double scaling);

    std::shared_ptr<Component> component_;
    Vector origin_;
    double rotation_;
    double scaling_;
    bool x_reflection_;
    Repetition repetition_;
    std::shared_ptr<BaseType> update_kwargs_;
};

}  // namespace whistle
