// Conversions between terminal matrices and S matrices at reference impedances, the S matrix
// of an MNA stamp seen through a port map, and the assembly of several stamps into one circuit.
// Every function reports failures through `status` and returns null then.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "terminal_matrix.hpp"

namespace whistle {

// One impedance for every terminal, or one per terminal name.
struct ReferenceImpedances {
    Complex all = 50.0;
    std::optional<std::map<std::string, Complex>> by_name;
};

std::shared_ptr<SMatrix> z_to_s_matrix(const ZMatrix& z, const ReferenceImpedances& impedances, ErrorHandler& status);
std::shared_ptr<SMatrix> y_to_s_matrix(const YMatrix& y, const ReferenceImpedances& impedances, ErrorHandler& status);
std::shared_ptr<ZMatrix> s_to_z_matrix(const SMatrix& s, const ReferenceImpedances& impedances, ErrorHandler& status);
std::shared_ptr<YMatrix> s_to_y_matrix(const SMatrix& s, const ReferenceImpedances& impedances, ErrorHandler& status);
std::shared_ptr<ZMatrix> y_to_z_matrix(const YMatrix& y, ErrorHandler& status);
std::shared_ptr<YMatrix> z_to_y_matrix(const ZMatrix& z, ErrorHandler& status);

// A port between a signal terminal and a reference terminal (ground when absent).
struct LumpedPort {
    std::string signal;
    std::optional<std::string> reference;
    Complex impedance;
    bool operator==(const LumpedPort&) const = default;
};
using PortMap = std::map<std::string, LumpedPort>;

// The S matrix of the circuit with the ports' reference impedances attached, by an augmented
// nodal solve; ports are ordered by name.
std::shared_ptr<SMatrix> mna_to_s_matrix(const MNAMatrix* mna, const PortMap& ports, ErrorHandler& status);

// A member of a net: a terminal of an instance, or a named boundary node (no instance).
struct StampTerminal {
    std::optional<size_t> instance;
    std::string terminal;
    auto operator<=>(const StampTerminal&) const = default;
};
using StampNet = std::vector<StampTerminal>;

struct MnaAssembly {
    std::shared_ptr<MNAMatrix> matrix;
    // The global node of every instance terminal and boundary node.
    std::map<StampTerminal, std::string> nodes;
};

// Joins the members of each net into one node and adds up the instances' stamps over the
// nodes. Terminals outside every net keep a node of their own, named "<terminal>\x1d<instance>"
// so that auxiliary variables keep their leading "_"; a net takes the name of its first
// boundary member, or else the node name of its first member.
MnaAssembly assemble_mna(const std::vector<std::shared_ptr<MNAMatrix>>& instances, const std::vector<StampNet>& nets,
                         ErrorHandler& status);

}  // namespace whistle
