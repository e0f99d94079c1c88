// Factorised real linear systems of the circuit kernel's zero-delay loops (the only place that
// sees Eigen).
#pragma once

#include <memory>
#include <vector>

namespace whistle {

class LinearSystem {
public:
    struct Entry {
        size_t row, column;
        double value;
    };

    LinearSystem();
    ~LinearSystem();
    LinearSystem(LinearSystem&&) noexcept;
    LinearSystem& operator=(LinearSystem&&) noexcept;

    // Factorises the n×n matrix of the entries (repeated entries add up), sparse or dense;
    // false when it is singular.
    bool factorize(size_t n, const std::vector<Entry>& entries, bool sparse);
    // Overwrites b with the solution of the factorised system.
    void solve(std::vector<double>& b) const;

private:
    struct Factors;
    std::unique_ptr<Factors> factors_;
};

}  // namespace whistle
