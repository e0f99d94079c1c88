#include "port_spec.hpp"

#include <algorithm>

#include "core/foundation/interpolator.hpp"
#include "core/foundation/text.hpp"
#include "core/geometry/intervals.hpp"
#include "core/geometry/path.hpp"

namespace whistle {

std::string PortSpec::unnamed_profile(size_t index) { return std::string("\xff") + std::to_string(index); }

bool PortSpec::symmetric() const {
    for (const auto& entry : path_profiles_) {
        const PathProfile& p = entry.second;
        bool mirrored = std::any_of(path_profiles_.begin(), path_profiles_.end(), [&](const auto& q) {
            return q.second.width == p.width && q.second.offset == -p.offset &&
                   q.second.layer == p.layer;
        });
        if (!mirrored) return false;
    }
    return true;
}

std::vector<PathProfile> PortSpec::profiles_list() const {
    std::vector<PathProfile> result;
    for (const auto& [name, profile] : path_profiles_) result.push_back(profile);
    return result;
}

std::vector<PathProfile> PortSpec::profiles_on(const Layer& layer) const {
    std::vector<PathProfile> result;
    for (const auto& [name, profile] : path_profiles_)
        if (profile.layer == layer) result.push_back(profile);
    return result;
}

PortSpec::Intervals PortSpec::profile_intervals(Coord window) const {
    Coord w0 = (window + 1) / 2;
    Intervals result;
    for (const auto& [name, p] : path_profiles_) {
        Coord h = (p.width + 1) / 2;
        if (p.offset + h > -w0 && p.offset - h < w0)
            result[p.layer].push_back({std::max(p.offset - h, -w0), std::min(p.offset + h, w0)});
    }
    // Overlapping and touching profiles on one layer count as their union.
    for (auto& [layer, list] : result) list = merged_intervals(std::move(list));
    return result;
}

bool PortSpec::profile_matches(const PortSpec& other) const {
    if (this == &other) return true;
    if (limits_ != other.limits_ || is_electrical() != other.is_electrical()) return false;
    Coord window = std::max(width_, other.width_);
    return profile_intervals(window) == other.profile_intervals(window);
}

std::shared_ptr<PortSpec> PortSpec::combined_with(const PortSpec& other, Coord offset) const {
    auto result = std::make_shared<PortSpec>(*this);
    // Copied first: the other specification may be this one.
    std::vector<PathProfile> added = other.profiles_list();
    size_t index = 0;
    for (PathProfile profile : added) {
        profile.offset = check_range(profile.offset + offset);
        while (result->path_profiles_.count(unnamed_profile(index))) ++index;
        result->path_profiles_.emplace(unnamed_profile(index), profile);
    }
    return result;
}

std::vector<std::pair<Layer, std::shared_ptr<Path>>> PortSpec::paths(const Vector& origin,
                                                                     bool scale_width) const {
    std::vector<std::pair<Layer, std::shared_ptr<Path>>> result;
    for (const auto& [name, p] : path_profiles_)
        result.emplace_back(p.layer, std::make_shared<Path>(origin, p.width, p.offset,
                                                            std::array<Path::Cap, 2>{}, scale_width));
    return result;
}

std::shared_ptr<PortSpec> inverted(const std::shared_ptr<PortSpec>& spec) {
    if (spec->symmetric()) return spec;
    auto result = std::make_shared<PortSpec>(*spec);
    auto profiles = spec->path_profiles();
    for (auto& [name, profile] : profiles) profile.offset = -profile.offset;
    result->set_path_profiles(std::move(profiles));
    return result;
}

namespace {

std::string profile_text(const PathProfile& p) {
    return std::string("(") + length_text(double(p.width)) + ", " + length_text(double(p.offset)) + ", " +
           layer_text(p.layer) + ")";
}

// A dict keyed by name, or a list when the first name is generated.
std::string profiles_text(const std::map<std::string, PathProfile>& profiles) {
    bool as_list = !profiles.empty() && PortSpec::is_unnamed(profiles.begin()->first);
    std::string text = as_list ? "[" : "{";
    for (const auto& [name, profile] : profiles) {
        if (text.size() > 1) text += ", ";
        if (!as_list) text += quoted(name) + ": ";
        text += profile_text(profile);
    }
    return text + (as_list ? "]" : "}");
}

bool electrical_equal(const ElectricalData& a, const ElectricalData& b) {
    return a.voltage_path == b.voltage_path && a.current_path == b.current_path &&
           same_or_equal(a.current_structure, b.current_structure) &&
           same_or_equal(a.impedance, b.impedance);
}

}  // namespace

std::string PortSpec::str(bool) const {
    std::string text = std::string("PortSpec(description=") + quoted(description_) +
                       ", width=" + length_text(double(width_)) + ", limits=(" +
                       length_text(double(limits_[0])) + ", " + length_text(double(limits_[1])) +
                       "), num_modes=" + std::to_string(num_modes_) +
                       ", polarization=" + (polarization_.empty() ? "None" : quoted(polarization_)) +
                       ", target_neff=" + (target_neff_ ? number_text(*target_neff_) : "None") +
                       ", path_profiles=" + profiles_text(path_profiles_) +
                       ", added_solver_modes=" + std::to_string(added_solver_modes_);
    if (electrical_) {
        const ElectricalData& e = *electrical_;
        text += std::string(", voltage_path=") + (e.voltage_path.empty() ? "None" : points_text(e.voltage_path));
        text += std::string(", current_path=") + (e.current_structure ? e.current_structure->str(true)
                                     : e.current_path.empty() ? "None"
                                                              : points_text(e.current_path));
    }
    text += std::string(", default_radius=") + length_text(double(default_radius_));
    if (electrical_)
        text += std::string(", impedance=") + (electrical_->impedance ? electrical_->impedance->str(true) : "None");
    return text + ")";
}

bool PortSpec::equals(const BaseType& other) const {
    if (other.type_code() != TypeCode::PortSpec) return false;
    const auto& o = static_cast<const PortSpec&>(other);
    if (electrical_.has_value() != o.electrical_.has_value() ||
        (electrical_ && !electrical_equal(*electrical_, *o.electrical_)))
        return false;
    return description_ == o.description_ && width_ == o.width_ && limits_ == o.limits_ &&
           default_radius_ == o.default_radius_ && num_modes_ == o.num_modes_ &&
           added_solver_modes_ == o.added_solver_modes_ && polarization_ == o.polarization_ &&
           target_neff_ == o.target_neff_ && path_profiles_ == o.path_profiles_;
}

}  // namespace whistle
