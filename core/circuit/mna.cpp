#include "mna.hpp"

#include <cfloat>
#include <cmath>
#include <set>

#include <Eigen/Dense>

// Pivots are chosen by squared magnitude: the same order as the magnitude Eigen scores by,
// without a hypot per candidate (which dominated small inversions).
template <>
struct Eigen::internal::scalar_score_coeff_op<std::complex<double>> {
    using result_type = double;
    double operator()(const std::complex<double>& a) const { return std::norm(a); }
};
template <>
struct Eigen::internal::functor_traits<Eigen::internal::scalar_score_coeff_op<std::complex<double>>> {
    enum { Cost = 3 * NumTraits<double>::MulCost, PacketAccess = false };
};

namespace whistle {

namespace {

using Matrix = Eigen::MatrixXcd;
using RowMajorMap = Eigen::Map<Eigen::Matrix<Complex, Eigen::Dynamic, Eigen::Dynamic, Eigen::RowMajor>>;
using Impedances = std::vector<Complex>;

Complex delta(Eigen::Index i, Eigen::Index j) { return i == j ? 1.0 : 0.0; }

// A solution counts as singular when any entry's magnitude is not finite. The magnitude is at
// most √2 times the larger part, so only huge parts need the exact (slow) magnitude.
bool finite(const Matrix& m) {
    for (Eigen::Index k = 0; k < m.size(); ++k) {
        Complex v = m.data()[k];
        if (std::fabs(v.real()) <= DBL_MAX / 2 && std::fabs(v.imag()) <= DBL_MAX / 2) continue;
        if (!(std::abs(v) <= DBL_MAX)) return false;
    }
    return true;
}

// The reference impedance of each name; empty with an error when one is missing or not
// positive in its real part.
std::vector<Complex> reference_impedances(const std::vector<std::string>& names, const ReferenceImpedances& z,
                                          ErrorHandler& status) {
    std::vector<Complex> result;
    for (const std::string& name : names) {
        Complex value = z.all;
        if (z.by_name) {
            auto it = z.by_name->find(name);
            if (it == z.by_name->end()) {
                status.error("Missing impedance for terminal '" + name + "'.");
                return {};
            }
            value = it->second;
        }
        if (!(value.real() > 0)) {
            status.error("Reference impedance for terminal '" + name + "' must have a positive real part.");
            return {};
        }
        result.push_back(value);
    }
    return result;
}

// Per frequency, in place: A = prepare(block), X = A^-1 by LU with partial pivoting, block =
// finish(X); each callable works on one entry (i, j, value). A non-finite inverse is the error
// naming the frequency index between the two texts. The factorization runs in place (the
// decomposition object would also compute a norm estimate, costly for small matrices).
template <class Prepare, class Finish>
bool invert_per_frequency(ComplexVector& data, size_t n, Prepare prepare, Finish finish,
                          const std::string& singular_before, const std::string& singular_after,
                          ErrorHandler& status) {
    const size_t count = n == 0 ? 0 : data.size() / (n * n);
    const auto size = Eigen::Index(n);
    Matrix a(size, size), x(size, size);
    Eigen::Transpositions<Eigen::Dynamic, Eigen::Dynamic, int> swaps(size);
    for (size_t f = 0; f < count; ++f) {
        Complex* block = data.data() + f * n * n;
        for (Eigen::Index i = 0; i < size; ++i)
            for (Eigen::Index j = 0; j < size; ++j) a(i, j) = prepare(i, j, block[i * size + j]);
        int swap_count = 0;
        Eigen::internal::partial_lu_inplace(a, swaps, swap_count);
        x.setIdentity();
        x = swaps * x;
        a.triangularView<Eigen::UnitLower>().solveInPlace(x);
        a.triangularView<Eigen::Upper>().solveInPlace(x);
        if (!finite(x)) {
            status.error(singular_before + std::to_string(f) + singular_after);
            return false;
        }
        for (Eigen::Index i = 0; i < size; ++i)
            for (Eigen::Index j = 0; j < size; ++j) block[i * size + j] = finish(i, j, x(i, j));
    }
    return true;
}

// Elements of all N×N pairs of a dense result; key(i, j) names the element of entry [i][j].
template <class Key>
ElementMap dense_elements(const ComplexVector& data, size_t n, size_t f_count, Key key) {
    ElementMap elements;
    for (size_t i = 0; i < n; ++i) {
        for (size_t j = 0; j < n; ++j) {
            ComplexVector& values = elements[key(i, j)];
            values.resize(f_count);
            for (size_t f = 0; f < f_count; ++f) values[f] = data[(f * n + i) * n + j];
        }
    }
    return elements;
}

std::shared_ptr<SMatrix> s_matrix_of(const std::vector<double>& frequencies, const std::vector<std::string>& names,
                                     const ComplexVector& data) {
    auto mode = [&](size_t k) { return names[k] + "@0"; };
    return std::make_shared<SMatrix>(
        frequencies, dense_elements(data, names.size(), frequencies.size(),
                                    [&](size_t i, size_t j) { return ElementKey{mode(j), mode(i)}; }));
}

template <class Result>
std::shared_ptr<Result> terminal_matrix_of(const std::vector<double>& frequencies,
                                           const std::vector<std::string>& names, const ComplexVector& data,
                                           NamedObjects terminals = {}) {
    return std::make_shared<Result>(
        frequencies,
        dense_elements(data, names.size(), frequencies.size(),
                       [&](size_t i, size_t j) { return ElementKey{names[i], names[j]}; }),
        std::move(terminals));
}

std::string singular_in(const char* function) {
    return std::string("Singular matrix in ") + function + " at frequency index ";
}

std::string not_invertible(const char* denominator) {
    return std::string(": ") + denominator + " is not invertible. (Check for floating subcircuits.)";
}

// Reference impedances and the square roots of their real parts, by dense index.
struct References {
    std::vector<Complex> z;
    std::vector<double> root;
};

References references(const std::vector<std::string>& names, const ReferenceImpedances& impedances,
                      ErrorHandler& status) {
    References result{reference_impedances(names, impedances, status), {}};
    for (Complex z : result.z) result.root.push_back(std::sqrt(z.real()));
    return result;
}

// S of a terminal matrix: both conversions reduce to S = F^-1·sign·(2·D·X - I)·F with X the
// inverse of the `prepare`d blocks and D the diagonal given by `row`.
template <class Source, class Prepare, class Row>
std::shared_ptr<SMatrix> to_s(const Source& source, const ReferenceImpedances& impedances, const char* empty,
                              const char* function, const char* denominator, Prepare prepare, double sign, Row row,
                              ErrorHandler& status) {
    std::vector<std::string> names = source.names();
    if (names.empty()) {
        status.error(empty);
        return nullptr;
    }
    References refs = references(names, impedances, status);
    if (status.failed()) return nullptr;
    ComplexVector data = source.dense();
    auto prepared = [&](Eigen::Index i, Eigen::Index j, Complex v) { return prepare(refs.z, i, j, v); };
    auto finish = [&](Eigen::Index i, Eigen::Index j, Complex x) {
        return sign * (2.0 * row(refs.z, i) * x - delta(i, j)) * refs.root[j] / refs.root[i];
    };
    if (!invert_per_frequency(data, names.size(), prepared, finish, singular_in(function), not_invertible(denominator),
                              status))
        return nullptr;
    return s_matrix_of(source.frequencies(), names, data);
}

// The single-mode port names of an S matrix and its dense values over them.
bool single_mode_ports(const SMatrix& s, const char* multi_mode, std::vector<std::string>& names,
                       ComplexVector& data, ErrorHandler& status) {
    std::vector<std::string> modes;
    for (const auto& entry : s.ports()) {
        names.push_back(entry.first);
        modes.push_back(entry.first + "@0");
    }
    const std::set<std::string> single(modes.begin(), modes.end());
    for (const std::string& mode : s.port_modes()) {
        if (!single.count(mode)) {
            status.error(multi_mode);
            return false;
        }
    }
    if (names.empty()) {
        status.error("S matrix has no ports.");
        return false;
    }
    data = s.dense(modes, status);
    return !status.failed();
}

// A terminal matrix of S: with S' = F·S·F^-1 and X = (I + sign·S')^-1, the result is
// L·(2·X - I)·R with the diagonals L and R given by `left` and `right`.
template <class Result, class Left, class Right>
std::shared_ptr<Result> from_s(const SMatrix& s, const ReferenceImpedances& impedances, const char* multi_mode,
                               const char* function, const char* denominator, double sign, Left left, Right right,
                               ErrorHandler& status) {
    std::vector<std::string> names;
    ComplexVector data;
    if (!single_mode_ports(s, multi_mode, names, data, status)) return nullptr;
    References refs = references(names, impedances, status);
    if (status.failed()) return nullptr;
    auto prepare = [&](Eigen::Index i, Eigen::Index j, Complex v) {
        return sign * v * refs.root[i] / refs.root[j] + delta(i, j);
    };
    auto finish = [&](Eigen::Index i, Eigen::Index j, Complex x) {
        return left(refs.z, i) * (2.0 * x - delta(i, j)) * right(refs.z, j);
    };
    if (!invert_per_frequency(data, names.size(), prepare, finish, singular_in(function), not_invertible(denominator),
                              status))
        return nullptr;
    return terminal_matrix_of<Result>(s.frequencies(), names, data);
}

template <class Result, class Source>
std::shared_ptr<Result> inverse(const Source& source, const char* source_name, ErrorHandler& status) {
    std::vector<std::string> names = source.names();
    if (names.empty()) {
        status.error(std::string(source_name) + " has no terminals.");
        return nullptr;
    }
    ComplexVector data = source.dense();
    auto same_value = [](Eigen::Index, Eigen::Index, Complex v) { return v; };
    if (!invert_per_frequency(data, names.size(), same_value, same_value,
                              std::string(source_name) + " is singular at frequency index ",
                              ". Cannot invert. (Check for floating nodes or missing ground reference.)", status))
        return nullptr;
    return terminal_matrix_of<Result>(source.frequencies(), names, data, clone_objects(source.terminals()));
}

}  // namespace

// (Z - Zr)(Z + Zr)^-1 = I - 2·Zr·X with X = (Z + Zr)^-1.
std::shared_ptr<SMatrix> z_to_s_matrix(const ZMatrix& z, const ReferenceImpedances& impedances, ErrorHandler& status) {
    return to_s(z, impedances, "Z matrix has no terminals.", "z_to_s_matrix", "(Z + Zr)",
                [](const Impedances& zr, Eigen::Index i, Eigen::Index j, Complex v) { return v + delta(i, j) * zr[i]; },
                -1.0, [](const Impedances& zr, Eigen::Index i) { return zr[i]; }, status);
}

// (I - Zr·Y)(I + Zr·Y)^-1 = 2·X - I with X = (I + Zr·Y)^-1.
std::shared_ptr<SMatrix> y_to_s_matrix(const YMatrix& y, const ReferenceImpedances& impedances, ErrorHandler& status) {
    return to_s(y, impedances, "Y matrix has no terminals.", "y_to_s_matrix", "(I + Zr*Y)",
                [](const Impedances& zr, Eigen::Index i, Eigen::Index j, Complex v) { return zr[i] * v + delta(i, j); },
                1.0, [](const Impedances&, Eigen::Index) { return Complex(1.0); }, status);
}

// (I - S')^-1 (I + S')·Zr = (2·X - I)·Zr with X = (I - S')^-1.
std::shared_ptr<ZMatrix> s_to_z_matrix(const SMatrix& s, const ReferenceImpedances& impedances, ErrorHandler& status) {
    return from_s<ZMatrix>(s, impedances, "S matrix has multi-mode ports; cannot convert to Z matrix.",
                           "s_to_z_matrix", "(I - S)", -1.0, [](const Impedances&, Eigen::Index) { return Complex(1.0); },
                           [](const Impedances& zr, Eigen::Index j) { return zr[j]; }, status);
}

// Zr^-1·(I + S')^-1 (I - S') = Zr^-1·(2·X - I) with X = (I + S')^-1.
std::shared_ptr<YMatrix> s_to_y_matrix(const SMatrix& s, const ReferenceImpedances& impedances, ErrorHandler& status) {
    return from_s<YMatrix>(s, impedances, "S matrix has multi-mode ports; cannot convert to Y matrix.",
                           "s_to_y_matrix", "(I + S)", 1.0, [](const Impedances& zr, Eigen::Index i) { return 1.0 / zr[i]; },
                           [](const Impedances&, Eigen::Index) { return Complex(1.0); }, status);
}

std::shared_ptr<ZMatrix> y_to_z_matrix(const YMatrix& y, ErrorHandler& status) {
    return inverse<ZMatrix>(y, "Y matrix", status);
}

std::shared_ptr<YMatrix> z_to_y_matrix(const ZMatrix& z, ErrorHandler& status) {
    return inverse<YMatrix>(z, "Z matrix", status);
}

namespace {

// The index of a port's terminal; -1 with an error naming the available terminals otherwise.
Eigen::Index terminal_index(const std::map<std::string, Eigen::Index>& index, const std::string& port,
                            const std::string& terminal, const char* kind, ErrorHandler& status) {
    auto it = index.find(terminal);
    if (it != index.end()) return it->second;
    std::string available;
    for (const auto& entry : index) available += (available.empty() ? "" : ", ") + entry.first;
    status.error("Port '" + port + "' references " + kind + " terminal '" + terminal +
                 "' which does not exist in the MNA matrix. Available terminals: " +
                 (available.empty() ? std::string("(none)") : available));
    return -1;
}

}  // namespace

std::shared_ptr<SMatrix> mna_to_s_matrix(const MNAMatrix* mna, const PortMap& ports, ErrorHandler& status) {
    if (!mna) {
        status.error("MNA matrix is null.");
        return nullptr;
    }
    if (ports.empty()) {
        status.error("Port map is empty. Must specify terminal-to-port mapping.");
        return nullptr;
    }
    std::vector<std::string> names = mna->names();
    if (names.empty()) {
        status.error("MNA matrix has no terminals.");
        return nullptr;
    }
    std::map<std::string, Eigen::Index> index;
    for (const std::string& name : names) index.emplace(name, Eigen::Index(index.size()));
    // Signal and reference rows of each port (-1: ground).
    struct Stamp {
        Eigen::Index signal, reference;
        Complex admittance, drive, scale;
    };
    std::vector<Stamp> stamps;
    std::vector<std::string> port_names;
    for (const auto& [name, port] : ports) {
        Stamp stamp{terminal_index(index, name, port.signal, "signal", status), -1, 0, 0, 0};
        if (stamp.signal < 0) return nullptr;
        if (port.reference) {
            stamp.reference = terminal_index(index, name, *port.reference, "reference", status);
            if (stamp.reference < 0) return nullptr;
        }
        if (!(port.impedance.real() > 0)) {
            status.error("Reference impedance for port '" + name + "' must have a positive real part.");
            return nullptr;
        }
        stamp.admittance = 1.0 / port.impedance;
        stamp.scale = std::sqrt(port.impedance.real());
        stamp.drive = 2.0 * stamp.scale / port.impedance;
        stamps.push_back(stamp);
        port_names.push_back(name);
    }
    const size_t n = names.size(), p = stamps.size(), f_count = mna->frequencies().size();
    ComplexVector data = mna->dense();
    ComplexVector s(f_count * p * p);
    Matrix a(n, n), rhs = Matrix::Zero(n, p);
    for (size_t k = 0; k < p; ++k) {
        rhs(stamps[k].signal, Eigen::Index(k)) = stamps[k].drive;
        if (stamps[k].reference >= 0) rhs(stamps[k].reference, Eigen::Index(k)) = -stamps[k].drive;
    }
    for (size_t f = 0; f < f_count; ++f) {
        a = RowMajorMap(data.data() + f * n * n, Eigen::Index(n), Eigen::Index(n));
        for (const Stamp& stamp : stamps) {
            a(stamp.signal, stamp.signal) += stamp.admittance;
            if (stamp.reference < 0) continue;
            a(stamp.reference, stamp.reference) += stamp.admittance;
            a(stamp.signal, stamp.reference) -= stamp.admittance;
            a(stamp.reference, stamp.signal) -= stamp.admittance;
        }
        Matrix x = a.partialPivLu().solve(rhs);
        if (!finite(x)) {
            status.error("Singular augmented MNA matrix at frequency index " + std::to_string(f) +
                         ". Check stamp consistency and port reference definitions.");
            return nullptr;
        }
        for (size_t q = 0; q < p; ++q) {
            const Stamp& stamp = stamps[q];
            for (size_t e = 0; e < p; ++e) {
                Complex v = x(stamp.signal, Eigen::Index(e));
                if (stamp.reference >= 0) v -= x(stamp.reference, Eigen::Index(e));
                s[(f * p + q) * p + e] = v / stamp.scale - (q == e ? 1.0 : 0.0);
            }
        }
    }
    return s_matrix_of(mna->frequencies(), port_names, s);
}

namespace {

// Disjoint sets of node indices.
class NodeSets {
public:
    size_t add() {
        parent_.push_back(parent_.size());
        return parent_.size() - 1;
    }
    size_t find(size_t k) {
        while (parent_[k] != k) k = parent_[k] = parent_[parent_[k]];
        return k;
    }
    // Joins the set of root b into the set of root a.
    void attach(size_t a, size_t b) {
        if (a != b) parent_[b] = a;
    }

private:
    std::vector<size_t> parent_;
};

std::string own_node_name(const StampTerminal& member) {
    if (!member.instance) return member.terminal;
    return member.terminal + '\x1d' + std::to_string(*member.instance);
}

// Checks every instance: present, and on the frequencies of instance 0.
bool check_instances(const std::vector<std::shared_ptr<MNAMatrix>>& instances, ErrorHandler& status) {
    if (instances.empty()) {
        status.error("Cannot assemble an MNA matrix from zero instances.");
        return false;
    }
    if (!instances[0]) {
        status.error("Null MNA matrix for instance 0.");
        return false;
    }
    for (size_t i = 1; i < instances.size(); ++i) {
        if (!instances[i]) {
            status.error("Null MNA matrix for instance " + std::to_string(i));
            return false;
        }
        if (instances[i]->frequencies() != instances[0]->frequencies()) {
            status.error("Instance " + std::to_string(i) +
                         " frequencies differ from instance 0; all instances must share a grid.");
            return false;
        }
    }
    return true;
}

}  // namespace

MnaAssembly assemble_mna(const std::vector<std::shared_ptr<MNAMatrix>>& instances, const std::vector<StampNet>& nets,
                         ErrorHandler& status) {
    if (!check_instances(instances, status)) return {};
    NodeSets sets;
    std::map<StampTerminal, size_t> members;
    std::vector<StampTerminal> member_of_set;
    auto node = [&](const StampTerminal& member) {
        auto [it, added] = members.emplace(member, 0);
        if (added) {
            it->second = sets.add();
            member_of_set.push_back(member);
        }
        return it->second;
    };
    for (size_t i = 0; i < instances.size(); ++i)
        for (const auto& entry : instances[i]->terminals()) node({i, entry.first});
    // A set is named by its root: the first boundary member joined, else the first member.
    auto join = [&](size_t a, size_t b) {
        a = sets.find(a);
        b = sets.find(b);
        if (!member_of_set[b].instance && member_of_set[a].instance) std::swap(a, b);
        sets.attach(a, b);
    };
    for (const StampNet& net : nets) {
        std::optional<size_t> first;
        for (const StampTerminal& member : net) {
            if (!member.instance) {
                if (member.terminal.find('\x1d') != std::string::npos) {
                    status.error("A boundary terminal name may not contain the group separator control "
                                 "character (\\x1d).");
                    return {};
                }
            } else if (*member.instance >= instances.size()) {
                status.error("A net refers to an invalid instance.");
                return {};
            } else if (!members.count(member)) {
                status.error("A net references terminal '" + member.terminal + "' on reference " +
                             std::to_string(*member.instance) + ", which has no such terminal.");
                return {};
            }
            size_t k = node(member);
            if (first) join(*first, k);
            else first = k;
        }
    }
    MnaAssembly result;
    for (const auto& [member, k] : members) result.nodes.emplace(member, own_node_name(member_of_set[sets.find(k)]));
    ElementMap elements;
    const size_t f_count = instances[0]->frequencies().size();
    for (size_t i = 0; i < instances.size(); ++i) {
        for (const auto& [key, values] : instances[i]->elements()) {
            ComplexVector& sum = elements[{result.nodes.at({i, key.first}), result.nodes.at({i, key.second})}];
            sum.resize(f_count);
            for (size_t f = 0; f < f_count; ++f) sum[f] += values[f];
        }
    }
    NamedObjects terminals;
    for (const auto& entry : result.nodes) terminals.try_emplace(entry.second);
    result.matrix = std::make_shared<MNAMatrix>(instances[0]->frequencies(), std::move(elements), std::move(terminals));
    return result;
}

}  // namespace whistle
