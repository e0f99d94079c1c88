#include "codecs.hpp"

namespace whistle::layout {

bool read_gdsii(InputStream&, const std::string&, detail::EventSink&, ErrorHandler& status) {
    status.error("GDSII reader pending");
    return false;
}

}  // namespace whistle::layout
