// Stored forms of the circuit types.
#include "core/store/store.hpp"

namespace whistle {

void add_circuit_codecs(CodecTable&) {}

}  // namespace whistle
