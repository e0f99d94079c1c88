// Temporary weak definitions so the tree links while port specifications are built on their
// own branch; their real definitions override these.
#include "port_spec.hpp"

namespace whistle {

__attribute__((weak)) std::string PortSpec::unnamed_profile(size_t index) { return "\xff" + std::to_string(index); }
__attribute__((weak)) std::string PortSpec::str(bool) const { return "PortSpec()"; }
__attribute__((weak)) bool PortSpec::equals(const BaseType&) const { return false; }

}  // namespace whistle
