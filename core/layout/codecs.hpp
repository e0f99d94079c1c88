// Entry points of the GDSII and OASIS codecs. They report every failure and warning through
// `status` and never throw; the first failure stops the operation.
#pragma once

#include <cstdint>
#include <string>

#include "core/foundation/error_handler.hpp"
#include "core/foundation/properties.hpp"
#include "events.hpp"
#include "prepared.hpp"
#include "streams.hpp"

namespace whistle::layout {

bool write_gdsii(OutputStream& out, const PreparedLayout& layout, bool paths_to_polygons,
                 uint32_t fracture_limit, const std::string& library_name, ErrorHandler& status);
// `file_name` names the source in the trailing-data warning.
bool read_gdsii(InputStream& in, const std::string& file_name, detail::EventSink& sink,
                ErrorHandler& status);

// `library_properties` may be null.
bool write_oasis(OutputStream& out, const PreparedLayout& layout, bool paths_to_polygons,
                 int compression_level, const Properties* library_properties,
                 ErrorHandler& status);
bool read_oasis(InputStream& in, detail::EventSink& sink, ErrorHandler& status);

}  // namespace whistle::layout
