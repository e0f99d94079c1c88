#include "driver.hpp"

namespace whistle::layout {

bool load_layout(const std::string&, const LoadOptions&, LoadedLayout&, ErrorHandler& status) {
    status.error("layout loading pending");
    return false;
}

}  // namespace whistle::layout
