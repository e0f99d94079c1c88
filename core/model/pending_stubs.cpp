// Temporary weak definitions so the tree links while masks and port specifications are built
// on their own branches; their real definitions override these.
#include "mask_spec.hpp"
#include "port_spec.hpp"

namespace whistle {

__attribute__((weak)) void MaskSpec::set_operand1(std::vector<MaskSpec> operands) { operand1_ = std::move(operands); }
__attribute__((weak)) void MaskSpec::set_operand2(std::vector<MaskSpec> operands) { operand2_ = std::move(operands); }
__attribute__((weak)) std::set<Layer> MaskSpec::layers() const {
    std::set<Layer> result;
    if (layer_) result.insert(*layer_);
    for (const auto* list : {&operand1_, &operand2_})
        for (const MaskSpec& m : *list) result.merge(m.layers());
    return result;
}
__attribute__((weak)) bool MaskSpec::uses_translation() const { return false; }
__attribute__((weak)) std::string MaskSpec::str(bool) const { return "MaskSpec()"; }
__attribute__((weak)) bool MaskSpec::equals(const BaseType&) const { return false; }
__attribute__((weak)) std::string PortSpec::unnamed_profile(size_t index) { return "\xff" + std::to_string(index); }
__attribute__((weak)) std::string PortSpec::str(bool) const { return "PortSpec()"; }
__attribute__((weak)) bool PortSpec::equals(const BaseType&) const { return false; }

}  // namespace whistle
