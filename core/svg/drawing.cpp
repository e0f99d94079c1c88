#include "drawing.hpp"

#include <algorithm>
#include <cmath>
#include <map>
#include <optional>
#include <set>
#include <stdexcept>

#include "core/foundation/config.hpp"
#include "core/model/component.hpp"
#include "document.hpp"
#include "elements.hpp"

namespace whistle {

namespace {

// ---- Page ids ------------------------------------------------------------------------------

struct PageEntry {
    std::weak_ptr<Component> component;
    std::string id;
    // Drawn as the top of a document, so a page can hold the element this id names.
    bool on_page = false;
};

// Drawing runs with the interpreter lock held, which also guards this registry.
class PageIds {
public:
    // `on_page`: the component is the top of the document being drawn (not a definition
    // inside another component's document).
    std::string assign(const std::shared_ptr<Component>& component, bool on_page) {
        auto& entry = entries_[component.get()];
        // A dead component's address may be reused by a new one: that one gets a new id.
        if (entry.id.empty() || entry.component.expired()) {
            entry = {component, "C" + std::to_string(++count_)};
            prune();
        }
        entry.on_page = entry.on_page || on_page;
        return entry.id;
    }

    std::optional<std::string> find(const Component& component) {
        auto it = entries_.find(&component);
        if (it == entries_.end() || it->second.component.expired() || !it->second.on_page) return std::nullopt;
        return it->second.id;
    }

private:
    // Drops the entries of dead components once they may outnumber the live ones.
    void prune() {
        if (entries_.size() < 2 * live_) return;
        std::erase_if(entries_, [](const auto& item) { return item.second.component.expired(); });
        live_ = std::max<size_t>(entries_.size(), 64);
    }

    std::map<const Component*, PageEntry> entries_;
    uint64_t count_ = 0;
    size_t live_ = 64;
};

PageIds& page_ids() {
    static PageIds ids;
    return ids;
}

// ---- Helpers -------------------------------------------------------------------------------

struct OverBudget {};

Bounds box_or_origin(std::optional<Bounds> box) { return box ? *box : Bounds{}; }

std::string placement_transform(const Placement& step) {
    std::string transform = "translate(" + pair_text(step.translation) + ")";
    if (step.rotation != 0) transform += " rotate(" + fixed(step.rotation) + ")";
    if (step.magnification != 1) transform += " scale(" + fixed(step.magnification) + ")";
    if (step.x_reflection) transform += " scale(1 -1)";
    return transform;
}

std::string box_rect(const Bounds& box, const std::string& css_class) {
    return "<rect class=\"" + css_class + "\" x=\"" + micron_text(double(box.x_min)) + "\" y=\"" +
           micron_text(double(box.y_min)) + "\" width=\"" +
           micron_text(double(box.x_max - box.x_min)) + "\" height=\"" +
           micron_text(double(box.y_max - box.y_min)) + "\"/>\n";
}

void unite(std::optional<Bounds>& box, const Bounds& other) {
    if (box)
        extend(*box, other);
    else
        box = other;
}

Vector box_center(const Bounds& box) {
    return {box.x_min / 2 + box.x_max / 2, box.y_min / 2 + box.y_max / 2};
}

// Levels of references below a component (0 without references).
int64_t nesting(const Component& component, std::map<const Component*, int64_t>& known) {
    if (auto it = known.find(&component); it != known.end()) return it->second;
    int64_t levels = 0;
    for (const auto& reference : component.references)
        levels = std::max(levels, 1 + nesting(*reference->component(), known));
    known[&component] = levels;
    return levels;
}

std::shared_ptr<Port> endpoint_port(const Component& component, const ConnectionEndpoint& end) {
    if (!end.reference) {
        auto it = component.ports.find(end.port);
        return it == component.ports.end() ? nullptr : it->second;
    }
    const auto& ports = end.reference->component()->ports;
    auto it = ports.find(end.port);
    if (it == ports.end() || end.repetition_index >= end.reference->repetition().count()) return nullptr;
    return it->second->placed(end.reference->placement(end.repetition_index));
}

std::shared_ptr<Terminal> member_terminal(const Component& component, const NetMember& member) {
    const Component& owner = member.reference ? *member.reference->component() : component;
    std::shared_ptr<Terminal> terminal;
    if (auto name = std::get_if<std::string>(&member.terminal)) {
        auto it = owner.terminals.find(*name);
        if (it != owner.terminals.end()) terminal = it->second;
    } else {
        const auto& [port_name, terminal_name] = std::get<1>(member.terminal);
        auto port = owner.ports.find(port_name);
        if (port != owner.ports.end()) {
            auto terminals = port->second->terminals();
            if (auto it = terminals.find(terminal_name); it != terminals.end()) terminal = it->second;
        }
    }
    if (!terminal || !member.reference) return terminal;
    if (member.repetition_index >= member.reference->repetition().count()) return nullptr;
    return terminal->placed(member.reference->placement(member.repetition_index));
}

Vector terminal_center(const Terminal& terminal) {
    ErrorHandler status;
    return box_center(terminal.structure()->bounds(status));
}

// ---- Component drawing ---------------------------------------------------------------------

// One attempt at drawing a hierarchy: referenced components become definitions used by
// `use` elements, each drawn once per depth it is needed at. Throws OverBudget as soon as
// the text outgrows the budget (unless the budget is zero).
class ComponentDrawing {
public:
    ComponentDrawing(LayerStyles& styles, double unit, bool partial, int64_t depth, bool layer_boxes,
                     size_t budget)
        : styles_(styles), settings_(config()), font_size_(8 * unit), partial_(partial),
          depth_(depth), layer_boxes_(layer_boxes), budget_(budget) {}

    // The top component's group.
    std::string body(const std::shared_ptr<Component>& component) {
        std::string out;
        group(out, *component, page_ids().assign(component, true), depth_, true);
        return out;
    }
    const std::string& definitions() const { return definitions_; }

private:
    void add(std::string& out, const std::string& piece) {
        out += piece;
        size_ += piece.size();
        if (budget_ > 0 && size_ > budget_) throw OverBudget();
    }

    void group(std::string& out, const Component& c, const std::string& id, int64_t depth, bool top) {
        add(out, "<g id=\"" + id + "\" data-name=\"" + markup_escaped(c.name) + "\">\n");
        if (layer_boxes_)
            outline(out, c);
        else
            contents(out, c, depth, top);
        add(out, "</g>\n");
    }

    void contents(std::string& out, const Component& c, int64_t depth, bool top) {
        for (const auto& [layer, items] : c.structures) {
            std::string css_class = styles_.use(layer);
            for (const auto& structure : items) add(out, structure_element(*structure, css_class));
        }
        if (top ? settings_.svg_labels : settings_.svg_reference_labels)
            for (const auto& [layer, labels] : c.labels) {
                std::string css_class = styles_.use_label(layer);
                for (const auto& label : labels)
                    add(out, label_element(*label, css_class, label_factor(*label), font_size_));
            }
        if (top && settings_.svg_ports) {
            for (const auto& [name, port] : c.ports)
                add(out, port_element(*port, {false, settings_.svg_port_names ? name : ""}));
            for (const auto& [name, terminal] : c.terminals) add(out, terminal_element(*terminal, false));
        }
        for (const auto& reference : c.references) {
            if (depth == 0)
                reference_box(out, *reference);
            else
                reference_uses(out, *reference, depth < 0 ? depth : depth - 1);
            if (top && settings_.svg_reference_ports) reference_ports(out, *reference);
        }
        if (top && settings_.svg_virtual_connections) virtual_connections(out, c);
    }

    // The last resort for a drawing over the budget: one box for each layer of the
    // component's own geometry and one for all its references; no labels or ports.
    void outline(std::string& out, const Component& c) {
        ErrorHandler status;
        for (const auto& [layer, items] : c.structures) {
            std::optional<Bounds> box;
            for (const auto& structure : items)
                if (!structure->is_empty()) unite(box, structure->bounds(status));
            if (box) add(out, box_rect(*box, styles_.use(layer)));
        }
        std::optional<Bounds> references;
        for (const auto& reference : c.references)
            if (auto box = reference->bounds(false, status)) unite(references, *box);
        if (references) add(out, box_rect(*references, "reference"));
    }

    void reference_box(std::string& out, const Reference& reference) {
        ErrorHandler status;
        std::optional<Bounds> box = reference.bounds(false, status);
        if (!box) return;
        add(out, box_rect(*box, "reference"));
        if (settings_.svg_reference_names) add(out, centered_text(box_center(*box), reference.component()->name));
    }

    void reference_uses(std::string& out, const Reference& reference, int64_t depth) {
        const auto& target = reference.component();
        std::string id = definition_id(target, depth);
        for (uint64_t i = 0; i < reference.repetition().count(); ++i)
            add(out, "<use transform=\"" + placement_transform(reference.placement(i)) +
                         "\" href=\"#" + id + "\"/>\n");
    }

    // The id of the group drawing `target` with `depth` levels of references left, drawn
    // into the definitions on first use (or left to the page when partial).
    std::string definition_id(const std::shared_ptr<Component>& target, int64_t depth) {
        if (partial_) {
            std::optional<std::string> id = page_ids().find(*target);
            if (!id)
                throw std::runtime_error(
                    "Partial rendering needs the referenced components drawn on the page first; "
                    "no page identifier for component " + target->name);
            return *id;
        }
        std::string id = page_ids().assign(target, false);
        if (depth >= 0) id += "-" + std::to_string(depth);
        if (defined_.insert(id).second) {
            std::string definition;
            group(definition, *target, id, depth, false);
            definitions_ += definition;
        }
        return id;
    }

    void reference_ports(std::string& out, const Reference& reference) {
        const Component& target = *reference.component();
        for (const auto& [name, port] : target.ports) {
            PortLook look{true, settings_.svg_reference_port_names ? name : ""};
            for (uint64_t i = 0; i < reference.repetition().count(); ++i)
                add(out, port_element(*port->placed(reference.placement(i)), look));
        }
        for (const auto& [name, terminal] : target.terminals)
            for (uint64_t i = 0; i < reference.repetition().count(); ++i)
                add(out, terminal_element(*terminal->placed(reference.placement(i)), true));
    }

    void virtual_connections(std::string& out, const Component& c) {
        for (const auto& [first, second] : c.virtual_connections) {
            auto a = endpoint_port(c, first), b = endpoint_port(c, second);
            if (a && b) add(out, connection(*a, *b));
        }
        for (const auto& net : c.virtual_nets) {
            std::string d;
            for (const NetMember& member : net)
                if (auto terminal = member_terminal(c, member))
                    d += (d.empty() ? "M " : " L ") + pair_text(terminal_center(*terminal));
            if (!d.empty()) add(out, "<path class=\"virtual-connection dashed\" d=\"" + d + "\"/>\n");
        }
    }

    // A curve leaving each port outward, its control points a sixth of the ports' distance
    // away, with the connection symbol at both ends.
    static std::string connection(const Port& a, const Port& b) {
        Vec2 pa(a.center()), pb(b.center());
        double reach = (pb - pa).length() / 6;
        auto control = [reach](const Port& p, const Vec2& at) {
            double angle = radians(p.input_direction() + 180);
            return (at + Vec2(std::cos(angle), std::sin(angle)) * reach).rounded();
        };
        return "<use href=\"#connection-symbol\" transform=\"translate(" + pair_text(a.center()) +
               ")\"/>\n<use href=\"#connection-symbol\" transform=\"translate(" +
               pair_text(b.center()) + ")\"/>\n<path class=\"virtual-connection\" d=\"M " +
               pair_text(a.center()) + " C " + pair_text(control(a, pa)) + " " +
               pair_text(control(b, pb)) + " " + pair_text(b.center()) + "\"/>\n";
    }

    LayerStyles& styles_;
    const Config& settings_;  // no interpreter code runs while drawing
    double font_size_;  // as the style sheet's label font
    bool partial_;
    int64_t depth_;
    bool layer_boxes_;
    size_t budget_;
    size_t size_ = 0;
    std::string definitions_;
    std::set<std::string> defined_;
};

// A document of one element drawn in a frame around its bounds.
std::string single_element(const Bounds& box, const std::string& body) {
    return SvgDocument(box, 1).text(LayerStyles(nullptr, false), "", body);
}

}  // namespace

std::string component_svg(const std::shared_ptr<Component>& component, bool partial,
                          bool light_page, size_t budget) {
    ErrorHandler status;
    SvgDocument document(box_or_origin(component->bounds(true, true, std::nullopt, status)), 2);
    // Shallower and shallower drawings until one fits; layer boxes at last always do.
    auto draw = [&](int64_t depth, bool layer_boxes, size_t limit) -> std::optional<std::string> {
        LayerStyles styles(component->technology.get(), light_page);
        ComponentDrawing drawing(styles, document.unit(), partial, depth, layer_boxes, limit);
        try {
            std::string body = drawing.body(component);
            return document.text(styles, drawing.definitions(), body);
        } catch (const OverBudget&) {
            return std::nullopt;
        }
    };
    int64_t depth = config().svg_reference_depth;
    if (auto text = draw(depth, false, budget)) return *text;
    std::map<const Component*, int64_t> known;
    int64_t levels = nesting(*component, known);
    for (int64_t shallower = (depth < 0 ? levels : std::min(depth, levels)) - 1; shallower >= 0; --shallower)
        if (auto text = draw(shallower, false, budget)) return *text;
    return *draw(0, true, 0);
}

std::string structure_svg(const Structure& structure) {
    ErrorHandler status;
    return single_element(structure.bounds(status), structure_element(structure, ""));
}

std::string label_svg(const Label& label) {
    Bounds point{label.origin().x, label.origin().y, label.origin().x, label.origin().y};
    double font_size = 8 * SvgDocument(point, 1).unit();
    return single_element(point, label_element(label, "", label_factor(label), font_size));
}

std::string port_svg(const Port& port) {
    Coord half = std::max<Coord>(port.spec()->width() / 2, 1);
    Vector c = port.center();
    return single_element({c.x - half, c.y - half, c.x + half, c.y + half}, port_element(port, {}));
}

std::string terminal_svg(const Terminal& terminal) {
    ErrorHandler status;
    return single_element(terminal.structure()->bounds(status), terminal_element(terminal, false));
}

std::string reference_svg(const std::shared_ptr<Reference>& reference) {
    auto holder = std::make_shared<Component>("", reference->component()->technology);
    holder->references.push_back(reference);
    return component_svg(holder, false, false);
}

}  // namespace whistle
