// Interpreter values as stored: a tagged JSON form ([tag, payload...]) that the binding layer
// builds from and turns back into interpreter objects, and its twf encoding.
#pragma once

#include "core/store/store.hpp"

namespace whistle {

enum class ValueTag : uint8_t {
    None, False, True, Integer, Float, Complex, String, Bytes, Dict, Tuple, List, Set,
    Pattern, SolverObject, Reference,
};

constexpr const char* kUnrecognizedValue =
    "Unrecognized serialized data type: invalid or corrupted file.";

// The tagged form in twf encodings: the tag byte, then the payload (bytes raw, references as
// locations). Throws StoreError for malformed forms.
void append_native(const json& tagged, TwfPayloadWriter& out);
// Throws StoreError "Unrecognized serialized data type: invalid or corrupted file." for an
// unknown tag; nesting is bounded.
json read_native(TwfPayloadReader& in);

// Checked access to a tagged form: its tag and payload items (StoreError when malformed).
ValueTag native_tag(const json& tagged);
const json& native_item(const json& tagged, size_t index);
double native_real(const json& tagged, size_t index);
const std::string& native_string(const json& tagged, size_t index);
const json& native_array(const json& tagged, size_t index);


}  // namespace whistle
