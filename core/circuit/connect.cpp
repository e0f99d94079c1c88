#include "core/circuit/connect.hpp"

#include <algorithm>
#include <optional>
#include <unordered_map>
#include <unordered_set>

namespace whistle {

namespace {

// The sparse table with port-modes interned as dense ids and every present entry indexed by
// its source and by its destination, so a join visits only entries that it changes.
class SparseTable {
public:
    SparseTable(const InstanceElements& elements, size_t frequency_count)
        : frequency_count_(frequency_count) {
        for (const auto& [key, values] : elements) {
            set(id(key.first), id(key.second), values);
            note_mode(key.first);
            note_mode(key.second);
        }
    }

    // One more than the highest mode index present for the port: joining absent port-modes
    // changes nothing, so a huge mode count costs no more than the modes that exist.
    int64_t mode_limit(int64_t instance, const std::string& port) const {
        auto it = mode_limits_.find({instance, port});
        return it == mode_limits_.end() ? 0 : it->second;
    }

    // The id of a port-mode, interning it when new.
    uint32_t id(const InstancePortMode& mode) {
        auto [it, added] = ids_.try_emplace(mode, uint32_t(names_.size()));
        if (added) {
            names_.push_back(mode);
            outgoing_.emplace_back();
            incoming_.emplace_back();
        }
        return it->second;
    }

    // Joins port-modes k and l: the wave leaving k enters l and the wave leaving l enters k.
    void join(uint32_t k, uint32_t l) {
        const ComplexVector& kl = get(k, l);
        const ComplexVector& lk = get(l, k);
        const ComplexVector& kk = get(k, k);
        const ComplexVector& ll = get(l, l);
        ComplexVector inverse_d(frequency_count_);
        for (size_t f = 0; f < frequency_count_; ++f)
            inverse_d[f] = 1.0 / ((1.0 - at(kl, f)) * (1.0 - at(lk, f)) - at(kk, f) * at(ll, f));

        // New T(x, y) = T(x, y) + a(x)·T(k, y) + b(x)·T(l, y), with the source factors
        // a(x) = [T(x, l)·(1 - T(l, k)) + T(x, k)·T(l, l)] / D and
        // b(x) = [T(x, k)·(1 - T(k, l)) + T(x, l)·T(k, k)] / D.
        const std::vector<uint32_t> sources = others(incoming_[k], incoming_[l], k, l);
        const std::vector<uint32_t> destinations = others(outgoing_[k], outgoing_[l], k, l);
        ComplexVector a(frequency_count_), b(frequency_count_);
        for (uint32_t x : sources) {
            const ComplexVector& xk = get(x, k);
            const ComplexVector& xl = get(x, l);
            for (size_t f = 0; f < frequency_count_; ++f) {
                a[f] = (at(xl, f) * (1.0 - at(lk, f)) + at(xk, f) * at(ll, f)) * inverse_d[f];
                b[f] = (at(xk, f) * (1.0 - at(kl, f)) + at(xl, f) * at(kk, f)) * inverse_d[f];
            }
            // Structurally zero terms create no entry.
            const bool has_a = !xl.empty() || (!xk.empty() && !ll.empty());
            const bool has_b = !xk.empty() || (!xl.empty() && !kk.empty());
            for (uint32_t y : destinations) {
                const ComplexVector& ky = get(k, y);
                const ComplexVector& ly = get(l, y);
                if (!(has_a && !ky.empty()) && !(has_b && !ly.empty())) continue;
                ComplexVector& xy = entry(x, y);
                for (size_t f = 0; f < frequency_count_; ++f) xy[f] += a[f] * at(ky, f) + b[f] * at(ly, f);
            }
        }
        remove_node(k);
        remove_node(l);
    }

    InstanceElements result() const {
        InstanceElements out;
        for (const auto& [key, values] : table_)
            out.emplace(std::make_pair(names_[uint32_t(key >> 32)], names_[uint32_t(key)]), values);
        return out;
    }

private:
    static uint64_t key(uint32_t from, uint32_t to) { return (uint64_t(from) << 32) | to; }
    static Complex at(const ComplexVector& v, size_t f) { return v.empty() ? Complex() : v[f]; }

    // The ids in either set other than k and l.
    static std::vector<uint32_t> others(const std::unordered_set<uint32_t>& first,
                                        const std::unordered_set<uint32_t>& second, uint32_t k,
                                        uint32_t l) {
        std::unordered_set<uint32_t> merged(first);
        merged.insert(second.begin(), second.end());
        merged.erase(k);
        merged.erase(l);
        return {merged.begin(), merged.end()};
    }

    // The entry's values, or an empty vector standing for zero.
    const ComplexVector& get(uint32_t from, uint32_t to) const {
        static const ComplexVector absent;
        auto it = table_.find(key(from, to));
        return it == table_.end() ? absent : it->second;
    }

    // The entry's values, created as zeros when absent.
    ComplexVector& entry(uint32_t from, uint32_t to) {
        auto [it, added] = table_.try_emplace(key(from, to));
        if (added) {
            it->second.assign(frequency_count_, Complex());
            outgoing_[from].insert(to);
            incoming_[to].insert(from);
        }
        return it->second;
    }

    void set(uint32_t from, uint32_t to, const ComplexVector& values) { entry(from, to) = values; }

    void note_mode(const InstancePortMode& mode) {
        const std::optional<PortModeName> split = split_port_mode(mode.second);
        if (!split) return;
        int64_t& limit = mode_limits_[{mode.first, split->port}];
        limit = std::max(limit, int64_t(split->mode) + 1);
    }

    void remove_node(uint32_t node) {
        for (uint32_t to : outgoing_[node]) {
            table_.erase(key(node, to));
            if (to != node) incoming_[to].erase(node);
        }
        for (uint32_t from : incoming_[node]) {
            table_.erase(key(from, node));
            if (from != node) outgoing_[from].erase(node);
        }
        outgoing_[node].clear();
        incoming_[node].clear();
    }

    struct ModeHash {
        size_t operator()(const InstancePortMode& m) const {
            return std::hash<std::string>()(m.second) ^ (std::hash<int64_t>()(m.first) * 0x9e3779b97f4a7c15ULL);
        }
    };

    size_t frequency_count_;
    std::unordered_map<InstancePortMode, uint32_t, ModeHash> ids_;
    std::vector<InstancePortMode> names_;
    std::unordered_map<uint64_t, ComplexVector> table_;
    std::vector<std::unordered_set<uint32_t>> outgoing_;
    std::vector<std::unordered_set<uint32_t>> incoming_;
    std::map<std::pair<int64_t, std::string>, int64_t> mode_limits_;
};

}  // namespace

InstanceElements connect_s_matrices(const InstanceElements& elements,
                                    const std::vector<PortConnection>& connections,
                                    size_t frequency_count) {
    SparseTable table(elements, frequency_count);
    for (const auto& [first, second] : connections) {
        const int64_t modes = std::min(first.modes, std::max(table.mode_limit(first.instance, first.port),
                                                             table.mode_limit(second.instance, second.port)));
        for (int64_t m = 0; m < modes; ++m) {
            std::string suffix(1, '@');
            suffix += std::to_string(m);
            table.join(table.id({first.instance, first.port + suffix}),
                       table.id({second.instance, second.port + suffix}));
        }
    }
    return table.result();
}

}  // namespace whistle
