#include "component_extrusion.hpp"

#include "core/foundation/config.hpp"
#include "core/geometry/rectangle.hpp"
#include "core/model/component.hpp"
#include "core/solid/extrusion.hpp"

namespace whistle {

const std::shared_ptr<BaseType>& extrusion_medium(const ExtrusionSpec& spec,
                                                  Classification classification) {
    const std::shared_ptr<BaseType>& medium = spec.medium().get(classification);
    if (!medium)
        throw RangeError(classification == Classification::Optical
                             ? "Medium for classification 'optical' is not available."
                             : "Medium for classification 'electrical' is not available.");
    return medium;
}

std::vector<std::shared_ptr<Structure3D>> extrude_with(const ExtrusionSpec& spec,
                                                       const std::vector<Polygon>& polygons,
                                                       const ExtrusionOptions& options,
                                                       ErrorHandler& status) {
    const std::shared_ptr<BaseType>& medium = extrusion_medium(spec, options.classification);
    Coord tolerance = options.tolerance > 0 ? options.tolerance : config().tolerance;
    return extrude_polygons(polygons, SidewallProfile::of(spec), medium, tolerance, status);
}

namespace {

// Straight sections of every profile of the extended ports, reaching `length` outward.
void add_port_extensions(const Component& component, Coord length, LayerPolygons& layers,
                         Bounds& bounds, ErrorHandler& status) {
    for (const auto& [name, port] : component.ports) {
        if (!port->extended()) continue;
        for (const PathProfile& profile : port->spec()->profiles_list()) {
            Polygon section = port->profile_strip(profile, length, length / 2.0)->to_polygon(status);
            extend(bounds, section.bounds(status));
            layers[profile.layer].push_back(std::move(section));
        }
    }
}

void warn_foreign_technologies(const Component& component, ErrorHandler& status) {
    for (const auto& dependency : component.dependencies())
        if (dependency->technology != component.technology)
            status.warning("Technology for component " + dependency->name +
                           " differs from this component's. Extrusion might lead to unexpected "
                           "results.");
}

}  // namespace

std::vector<std::shared_ptr<Structure3D>> extrude_component(
    const Component& component, const ExtrusionOptions& options,
    std::vector<std::shared_ptr<ExtrusionSpec>>& used, ErrorHandler& status) {
    std::vector<std::shared_ptr<Structure3D>> solids;
    const std::shared_ptr<Technology>& technology = component.technology;
    if (!technology) return solids;
    warn_foreign_technologies(component, status);
    HierarchyFilter filter;
    filter.layers = technology->extrusion_layers();
    LayerPolygons layers = component.layer_polygons(filter, status);
    Bounds bounds = component.bounds(false, false, std::nullopt, status).value_or(Bounds{});
    if (options.port_extension > 0)
        add_port_extensions(component, options.port_extension, layers, bounds, status);
    if (status.failed()) return solids;
    for (const std::shared_ptr<ExtrusionSpec>& spec : technology->extrusion_specs) {
        std::vector<Polygon> mask = evaluate_mask(*spec->mask_spec(), layers, bounds, options.heal_size);
        if (mask.empty()) continue;
        std::vector<std::shared_ptr<Structure3D>> part = extrude_with(*spec, mask, options, status);
        if (part.empty()) continue;
        solids.insert(solids.end(), part.begin(), part.end());
        used.push_back(spec);
    }
    return solids;
}

}  // namespace whistle
