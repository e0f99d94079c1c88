#include "codecs.hpp"

namespace whistle::layout {

bool read_oasis(InputStream&, detail::EventSink&, ErrorHandler& status) {
    status.error("OASIS reader pending");
    return false;
}

}  // namespace whistle::layout
