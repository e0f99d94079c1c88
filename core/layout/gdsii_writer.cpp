#include "codecs.hpp"

namespace whistle::layout {

bool write_gdsii(OutputStream&, const PreparedLayout&, bool, uint32_t, const std::string&,
                 ErrorHandler& status) {
    status.error("GDSII writer pending");
    return false;
}

}  // namespace whistle::layout
