#include "codecs.hpp"

namespace whistle::layout {

bool write_oasis(OutputStream&, const PreparedLayout&, bool, int, const Properties*,
                 ErrorHandler& status) {
    status.error("OASIS writer pending");
    return false;
}

}  // namespace whistle::layout
