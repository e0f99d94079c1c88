#include "loop_solver.hpp"

#include <Eigen/Dense>
#include <Eigen/SparseLU>

namespace whistle {

struct LinearSystem::Factors {
    bool sparse = false;
    Eigen::FullPivLU<Eigen::MatrixXd> dense;
    Eigen::SparseLU<Eigen::SparseMatrix<double>> lu;
};

LinearSystem::LinearSystem() = default;
LinearSystem::~LinearSystem() = default;
LinearSystem::LinearSystem(LinearSystem&&) noexcept = default;
LinearSystem& LinearSystem::operator=(LinearSystem&&) noexcept = default;

bool LinearSystem::factorize(size_t n, const std::vector<Entry>& entries, bool sparse) {
    if (!factors_) factors_ = std::make_unique<Factors>();
    factors_->sparse = sparse;
    const auto size = Eigen::Index(n);
    if (!sparse) {
        Eigen::MatrixXd matrix = Eigen::MatrixXd::Zero(size, size);
        for (const Entry& e : entries) matrix(Eigen::Index(e.row), Eigen::Index(e.column)) += e.value;
        factors_->dense.compute(matrix);
        return factors_->dense.isInvertible();
    }
    std::vector<Eigen::Triplet<double>> triplets;
    for (const Entry& e : entries) triplets.emplace_back(Eigen::Index(e.row), Eigen::Index(e.column), e.value);
    Eigen::SparseMatrix<double> matrix(size, size);
    matrix.setFromTriplets(triplets.begin(), triplets.end());
    matrix.makeCompressed();
    factors_->lu.analyzePattern(matrix);
    factors_->lu.factorize(matrix);
    return factors_->lu.info() == Eigen::Success;
}

void LinearSystem::solve(std::vector<double>& b) const {
    Eigen::Map<Eigen::VectorXd> rhs(b.data(), Eigen::Index(b.size()));
    if (factors_->sparse)
        rhs = Eigen::VectorXd(factors_->lu.solve(rhs));
    else
        rhs = Eigen::VectorXd(factors_->dense.solve(rhs));
}

}  // namespace whistle
