#include "driver.hpp"

#include "codecs.hpp"

namespace whistle::layout {

LayoutFormat format_for_name(std::string_view filename) {
    for (std::string_view suffix : {".oas", ".OAS", ".oasis", ".OASIS"})
        if (filename.ends_with(suffix)) return LayoutFormat::Oasis;
    return LayoutFormat::Gdsii;
}

bool write_layout(const std::string& filename, LayoutFormat format, const PreparedLayout& layout,
                  const WriteOptions& options, ErrorHandler& status) {
    FileOutputStream out(filename, status);
    bool ok = out.is_open() &&
              (format == LayoutFormat::Oasis
                   ? write_oasis(out, layout, options.paths_to_polygons, options.compression_level,
                                 options.library_properties.get(), status)
                   : write_gdsii(out, layout, options.paths_to_polygons, options.fracture_limit,
                                 options.library_name, status));
    if (!ok && !status.failed())
        status.error(format == LayoutFormat::Oasis
                         ? "Unable to prepare components for OASIS export."
                         : "Unable to prepare components for GDSII export.");
    return ok;
}

}  // namespace whistle::layout
