// Temporary weak definitions so the tree links while masks are built
// on their own branches; the real definitions override these.
#include "mask_spec.hpp"

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

}  // namespace whistle
