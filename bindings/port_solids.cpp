// The cross-section of a 2D port as solver structures: the port's profiles extruded with its
// technology.
#include "core/geometry/rectangle.hpp"
#include "core/model/component.hpp"
#include "core/model/port.hpp"
#include "extrusion.hpp"
#include "model.hpp"
#include "port_conversion.hpp"
#include "solid.hpp"

namespace whistle::py {

// A strip of each path profile across the port plane, as deep as the port is wide, extruded as
// a component of the technology.
PyObject* port_structures(const Port& port, PyObject* technology_obj) {
    std::shared_ptr<Technology> technology;
    if (!to_technology(technology_obj, technology)) return nullptr;
    Solids extruded;
    try {
        Component section("", technology);
        const PortSpec& spec = *port.spec();
        for (const PathProfile& profile : spec.profiles_list())
            section.add(profile.layer, std::shared_ptr<Structure>(
                                           port.profile_strip(profile, spec.width(), 0)));
        ExtrusionOptions options;
        options.classification = spec.classification();
        std::vector<std::shared_ptr<ExtrusionSpec>> used;
        ErrorHandler status;
        extruded = extrude_component(section, options, used, status);
        if (!check_status(status)) return nullptr;
    }
    WHISTLE_CATCH(nullptr)
    return new_list(extruded.size(), [&](size_t i) { return solid_structure(*extruded[i]); });
}

}  // namespace whistle::py
