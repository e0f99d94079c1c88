#include "terminal_matrix.hpp"

#include <stdexcept>

namespace whistle {

namespace {

std::string whole_name(std::string_view name) { return std::string(name); }

}  // namespace

template <class Tag>
TerminalMatrix<Tag>::TerminalMatrix(std::vector<double> frequencies, ElementMap elements, NamedObjects terminals)
    : Cloneable<TerminalMatrix<Tag>, BaseType>(Tag::code),
      ElementTable(std::move(frequencies), std::move(elements), std::move(terminals), whole_name) {}

template <class Tag>
std::vector<std::string> TerminalMatrix<Tag>::names() const {
    std::vector<std::string> result;
    for (const auto& entry : objects_) result.push_back(entry.first);
    return result;
}

template <class Tag>
ComplexVector TerminalMatrix<Tag>::dense() const {
    std::map<std::string, size_t> index;
    for (const auto& entry : objects_) index.emplace(entry.first, index.size());
    const size_t n = index.size(), f_count = frequencies_.size();
    ComplexVector data(f_count * n * n);
    for (const auto& [key, values] : elements_) {
        size_t i = index.at(key.first), j = index.at(key.second);
        for (size_t f = 0; f < f_count; ++f) data[(f * n + i) * n + j] = values[f];
    }
    return data;
}

template <class Tag>
std::string TerminalMatrix<Tag>::str(bool representation) const {
    if (!representation)
        return std::string(Tag::name) + " with " + std::to_string(objects_.size()) + " terminals";
    return std::string(Tag::name) + "(" + table_text("terminals") + ")";
}

template <class Tag>
bool TerminalMatrix<Tag>::equals(const BaseType& other) const {
    if (other.type_code() != Tag::code) return false;
    const auto& o = static_cast<const TerminalMatrix&>(other);
    return same_table(o);
}

template class TerminalMatrix<ZMatrixTag>;
template class TerminalMatrix<YMatrixTag>;
template class TerminalMatrix<MNAMatrixTag>;

}  // namespace whistle
