#include "mna.hpp"

#include <cfloat>
#include <cmath>
#include <set>

#include <Eigen/Dense>

namespace whistle {

namespace {

using Matrix = Eigen::MatrixXcd;
using RowMajorMap = Eigen::Map<Eigen::Matrix<Complex, Eigen::Dynamic, Eigen::Dynamic, Eigen::RowMajor>>;

// A solution counts as singular when any entry's magnitude is not finite.
bool finite(const Matrix& m) {
    for (Eigen::Index k = 0; k < m.size(); ++k)
        if (!(std::abs(m.data()[k]) <= DBL_MAX)) return false;
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

// Applies `step` to the N×N block of every frequency in place; `step` returns false for a
// singular block and the error names the frequency index.
template <class Step>
bool per_frequency(ComplexVector& data, size_t n, Step step, const std::string& singular_before,
                   const std::string& singular_after, ErrorHandler& status) {
    const size_t count = n == 0 ? 0 : data.size() / (n * n);
    Matrix block(n, n);
    for (size_t f = 0; f < count; ++f) {
        RowMajorMap view(data.data() + f * n * n, Eigen::Index(n), Eigen::Index(n));
        block = view;
        if (!step(block)) {
            status.error(singular_before + std::to_string(f) + singular_after);
            return false;
        }
        view = block;
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

const char* const kFloatingSubcircuits = " is not invertible. (Check for floating subcircuits.)";

// Wave conversions of a terminal matrix to S: per block, S = F^-1·A·B^-1·F with the
// numerator A and denominator B built by `parts`.
template <class Source, class Parts>
std::shared_ptr<SMatrix> to_s(const Source& source, const ReferenceImpedances& impedances, const char* empty,
                              const char* function, const char* denominator, Parts parts, ErrorHandler& status) {
    std::vector<std::string> names = source.names();
    if (names.empty()) {
        status.error(empty);
        return nullptr;
    }
    std::vector<Complex> zr = reference_impedances(names, impedances, status);
    if (status.failed()) return nullptr;
    const size_t n = names.size();
    Eigen::VectorXcd zr_vector(n), f(n);
    for (size_t k = 0; k < n; ++k) {
        zr_vector[Eigen::Index(k)] = zr[k];
        f[Eigen::Index(k)] = std::sqrt(zr[k].real());
    }
    Matrix numerator(n, n), denominator_matrix(n, n);
    ComplexVector data = source.dense();
    auto step = [&](Matrix& block) {
        parts(block, zr_vector, numerator, denominator_matrix);
        Matrix inverse = denominator_matrix.partialPivLu().inverse();
        if (!finite(inverse)) return false;
        block = f.cwiseInverse().asDiagonal() * numerator * inverse * f.asDiagonal();
        return true;
    };
    std::string after = std::string(": ") + denominator + kFloatingSubcircuits;
    if (!per_frequency(data, n, step, singular_in(function), after, status)) return nullptr;
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

// Conversions of S to a terminal matrix: per block with S' = F·S·F^-1, the result is
// solve(A, B) scaled by `finish`, with A and B built by `parts`.
template <class Result, class Parts>
std::shared_ptr<Result> from_s(const SMatrix& s, const ReferenceImpedances& impedances, const char* multi_mode,
                               const char* function, const char* denominator, Parts parts, ErrorHandler& status) {
    std::vector<std::string> names;
    ComplexVector data;
    if (!single_mode_ports(s, multi_mode, names, data, status)) return nullptr;
    std::vector<Complex> zr = reference_impedances(names, impedances, status);
    if (status.failed()) return nullptr;
    const size_t n = names.size();
    Eigen::VectorXcd zr_vector(n), f(n);
    for (size_t k = 0; k < n; ++k) {
        zr_vector[Eigen::Index(k)] = zr[k];
        f[Eigen::Index(k)] = std::sqrt(zr[k].real());
    }
    const Matrix identity = Matrix::Identity(n, n);
    auto step = [&](Matrix& block) {
        Matrix scaled = f.asDiagonal() * block * f.cwiseInverse().asDiagonal();
        block = parts(identity - scaled, identity + scaled, zr_vector);
        return finite(block);
    };
    std::string after = std::string(": ") + denominator + kFloatingSubcircuits;
    if (!per_frequency(data, n, step, singular_in(function), after, status)) return nullptr;
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
    auto step = [](Matrix& block) {
        block = Matrix(block.partialPivLu().inverse());
        return finite(block);
    };
    if (!per_frequency(data, names.size(), step, std::string(source_name) + " is singular at frequency index ",
                       ". Cannot invert. (Check for floating nodes or missing ground reference.)", status))
        return nullptr;
    return terminal_matrix_of<Result>(source.frequencies(), names, data, clone_objects(source.terminals()));
}

}  // namespace

std::shared_ptr<SMatrix> z_to_s_matrix(const ZMatrix& z, const ReferenceImpedances& impedances, ErrorHandler& status) {
    return to_s(z, impedances, "Z matrix has no terminals.", "z_to_s_matrix", "(Z + Zr)",
                [](const Matrix& block, const Eigen::VectorXcd& zr, Matrix& numerator, Matrix& denominator) {
                    numerator = block;
                    numerator.diagonal() -= zr;
                    denominator = block;
                    denominator.diagonal() += zr;
                },
                status);
}

std::shared_ptr<SMatrix> y_to_s_matrix(const YMatrix& y, const ReferenceImpedances& impedances, ErrorHandler& status) {
    return to_s(y, impedances, "Y matrix has no terminals.", "y_to_s_matrix", "(I + Zr*Y)",
                [](const Matrix& block, const Eigen::VectorXcd& zr, Matrix& numerator, Matrix& denominator) {
                    Matrix zy = zr.asDiagonal() * block;
                    numerator = -zy;
                    numerator.diagonal().array() += 1.0;
                    denominator = zy;
                    denominator.diagonal().array() += 1.0;
                },
                status);
}

std::shared_ptr<ZMatrix> s_to_z_matrix(const SMatrix& s, const ReferenceImpedances& impedances, ErrorHandler& status) {
    return from_s<ZMatrix>(s, impedances, "S matrix has multi-mode ports; cannot convert to Z matrix.",
                           "s_to_z_matrix", "(I - S)",
                           [](const Matrix& minus, const Matrix& plus, const Eigen::VectorXcd& zr) -> Matrix {
                               return minus.partialPivLu().solve(plus) * zr.asDiagonal();
                           },
                           status);
}

std::shared_ptr<YMatrix> s_to_y_matrix(const SMatrix& s, const ReferenceImpedances& impedances, ErrorHandler& status) {
    return from_s<YMatrix>(s, impedances, "S matrix has multi-mode ports; cannot convert to Y matrix.",
                           "s_to_y_matrix", "(I + S)",
                           [](const Matrix& minus, const Matrix& plus, const Eigen::VectorXcd& zr) -> Matrix {
                               return zr.cwiseInverse().asDiagonal() * plus.partialPivLu().solve(minus);
                           },
                           status);
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

std::string own_node_name(const NetTerminal& member) {
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

MnaAssembly assemble_mna(const std::vector<std::shared_ptr<MNAMatrix>>& instances, const std::vector<TerminalNet>& nets,
                         ErrorHandler& status) {
    if (!check_instances(instances, status)) return {};
    NodeSets sets;
    std::map<NetTerminal, size_t> members;
    std::vector<NetTerminal> member_of_set;
    auto node = [&](const NetTerminal& member) {
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
    for (const TerminalNet& net : nets) {
        std::optional<size_t> first;
        for (const NetTerminal& member : net) {
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
