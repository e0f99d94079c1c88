// Stored forms of the solid types.
#include "core/store/store.hpp"

namespace whistle {

void add_solid_codecs(CodecTable&) {}

}  // namespace whistle
