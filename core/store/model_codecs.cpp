// Stored forms of the model types.
#include "core/store/store.hpp"

namespace whistle {

void add_model_codecs(CodecTable&) {}

}  // namespace whistle
