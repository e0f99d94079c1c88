#include "terminal_matrix.hpp"

#include <stdexcept>

namespace whistle {

template <class Tag>
TerminalMatrix<Tag>::TerminalMatrix(std::vector<double> frequencies, ElementMap elements, NamedObjects terminals)
    : Cloneable<TerminalMatrix<Tag>, BaseType>(Tag::code),
      frequencies_(std::move(frequencies)),
      elements_(std::move(elements)),
      terminals_(std::move(terminals)) {
    for (const auto& [key, values] : elements_) {
        if (values.size() != frequencies_.size())
            throw std::invalid_argument("Element length does not match the number of frequencies.");
        terminals_.try_emplace(key.first);
        terminals_.try_emplace(key.second);
    }
}

template <class Tag>
TerminalMatrix<Tag>::TerminalMatrix(const TerminalMatrix& other)
    : Cloneable<TerminalMatrix<Tag>, BaseType>(other),
      frequencies_(other.frequencies_),
      elements_(other.elements_),
      terminals_(clone_objects(other.terminals_)) {}

template <class Tag>
std::vector<std::string> TerminalMatrix<Tag>::names() const {
    std::vector<std::string> result;
    for (const auto& entry : terminals_) result.push_back(entry.first);
    return result;
}

template <class Tag>
ComplexVector TerminalMatrix<Tag>::dense() const {
    std::map<std::string, size_t> index;
    for (const auto& entry : terminals_) index.emplace(entry.first, index.size());
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
        return std::string(Tag::name) + " with " + std::to_string(terminals_.size()) + " terminals";
    return std::string(Tag::name) + "(frequencies=" + frequencies_text(frequencies_) +
           ", elements=" + elements_text(elements_) + ", terminals=" + objects_text(terminals_) + ")";
}

template <class Tag>
bool TerminalMatrix<Tag>::equals(const BaseType& other) const {
    if (other.type_code() != Tag::code) return false;
    const auto& o = static_cast<const TerminalMatrix&>(other);
    return frequencies_ == o.frequencies_ && elements_ == o.elements_ && same_objects(terminals_, o.terminals_);
}

template class TerminalMatrix<ZMatrixTag>;
template class TerminalMatrix<YMatrixTag>;
template class TerminalMatrix<MNAMatrixTag>;

}  // namespace whistle
