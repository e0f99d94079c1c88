// Terminal-indexed matrices: nodal impedance (`ZMatrix`), nodal admittance (`YMatrix`) and
// modified-nodal-analysis stamps (`MNAMatrix`), one value per frequency for each terminal pair.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "s_matrix.hpp"

namespace whistle {

struct ZMatrixTag {
    static constexpr TypeCode code = TypeCode::ZMatrix;
    static constexpr const char* name = "ZMatrix";
};
struct YMatrixTag {
    static constexpr TypeCode code = TypeCode::YMatrix;
    static constexpr const char* name = "YMatrix";
};
struct MNAMatrixTag {
    static constexpr TypeCode code = TypeCode::MNAMatrix;
    static constexpr const char* name = "MNAMatrix";
};

template <class Tag>
class TerminalMatrix final : public Cloneable<TerminalMatrix<Tag>, BaseType>, public ElementTable {
public:
    // Every terminal named in the element keys is added to `terminals` (with a null terminal)
    // if absent. Throws std::invalid_argument when an element's length differs from the
    // frequencies'.
    TerminalMatrix(std::vector<double> frequencies, ElementMap elements, NamedObjects terminals = {});
    TerminalMatrix(const TerminalMatrix& other) = default;

    const NamedObjects& terminals() const { return objects_; }

    // Terminal names in dense order (ascending).
    std::vector<std::string> names() const;
    // F blocks of N×N values, entry [f][i][j] = element (terminal i, terminal j); zeros where absent.
    ComplexVector dense() const;

    void force_symmetric() { symmetrize(elements_); }

    std::string str(bool representation) const override;
    bool equals(const BaseType& other) const override;
};

using ZMatrix = TerminalMatrix<ZMatrixTag>;
using YMatrix = TerminalMatrix<YMatrixTag>;
using MNAMatrix = TerminalMatrix<MNAMatrixTag>;

extern template class TerminalMatrix<ZMatrixTag>;
extern template class TerminalMatrix<YMatrixTag>;
extern template class TerminalMatrix<MNAMatrixTag>;

}  // namespace whistle
