// Where each hub and port is, as the description and the pass's conversions
// show it, and what the report says of a port's device.
#include "capture/report/view.h"

#include "capture/report/value_texts.h"
#include "front/entry.h"
#include "policy/install.h"

#include <cstdio>

// --- where things are ---

places::places(const desc::machine &machine, const code_page &ansi) : m(machine) {
    for (std::size_t i = 0; i < m.controllers.size(); ++i) {
        add(m.controllers[i].root_hub, i, "", nullptr, ansi);
    }
}

void places::add(const desc::hub_desc &h, std::size_t controller, const std::string &at,
                 const desc::port_desc *on, const code_page &ansi) {
    const std::string path = desc::lower(ansi.hub_path(h.name));
    hubs.emplace(path, hub_place{controller, at, on});
    path_of.emplace(&h, path);
    for (const desc::port_desc &p : h.ports) {
        const std::string place = dotted(at, p.port);
        ports.push_back({&p, controller, path, place, at});
        for (const desc::hub_desc &inner : p.hub) {
            add(inner, controller, place, &p, ansi);
        }
    }
}

std::string places::dotted(const std::string &at, std::uint32_t port) {
    return (at.empty() ? "" : at + ".") + std::to_string(port);
}

const hub_place *places::hub(const std::string &path) const {
    const auto it = hubs.find(desc::lower(path));
    return it == hubs.end() ? nullptr : &it->second;
}

const port_at *places::port(const std::string &hub_path, std::uint32_t number) const {
    const std::string path = desc::lower(hub_path);
    for (const port_at &p : ports) {
        if (p.hub_path == path && p.port->port == number) {
            return &p;
        }
    }
    return nullptr;
}

std::optional<std::size_t> places::controller(const std::string &path) const {
    const std::string l = desc::lower(path);
    for (std::size_t i = 0; i < m.controllers.size(); ++i) {
        const desc::controller_desc &c = m.controllers[i];
        if ((c.number && l == "\\\\.\\hcd" + std::to_string(*c.number)) ||
            (c.interface_path && l == desc::lower(*c.interface_path))) {
            return i;
        }
    }
    return std::nullopt;
}

std::string places::controller_name(std::size_t i) const {
    const desc::controller_desc &c = m.controllers[i];
    std::string text = "controller " + std::to_string(i + 1);
    if (c.number) {
        text += " (\\\\.\\HCD" + std::to_string(*c.number) + ")";
    }
    return text;
}

bool places::walked_twice(std::size_t i) const {
    return m.controllers[i].number && m.controllers[i].interface;
}

std::string places::port_place(const std::string &hub_path, std::uint32_t port) const {
    const hub_place *h = hub(hub_path);
    if (h == nullptr) {
        return "port " + std::to_string(port) + " of " + hub_path;
    }
    return controller_name(h->controller) + ", port " + dotted(h->at, port);
}

std::string places::hub_text(const std::string &hub_path) const {
    const hub_place *h = hub(hub_path);
    if (h == nullptr) {
        return "the hub " + hub_path;
    }
    return controller_name(h->controller) +
           (h->at.empty() ? ", its root hub" : ", the hub at " + h->at);
}

report_view::report_view(const capture_input &input)
    : in(input), m(input.machine), where(m, input.scan.ansi), boxes(boxes_of(where, input.scan)),
      shows_scan(input.argument == nullptr || input.action_scanned),
      flags(input.argument != nullptr ? convert_flags(input.argument) : 0) {}

std::string report_view::place_of(const port_at &p) const {
    return where.controller_name(p.controller) + ", port " + p.at;
}

const std::string *report_view::unmatched(const port_at &p) const {
    for (const unmatched_port &u : in.verdict.unmatched) {
        if (u.controller == p.controller && u.at == p.at) {
            return &u.why;
        }
    }
    return nullptr;
}

std::string report_view::verdict_of(const port_at &p) const {
    if (!in.verdict.read) {
        return "not read on this PC (see above)";
    }
    if (const std::string *why = unmatched(p)) {
        return "not matched to a device node, not read (" + *why + ")";
    }
    return verdict_text(p.port->state, true, p.port->driver_key.has_value());
}

namespace {

const desc::node_desc *node_with_key(const desc::node_desc &n, const std::string &key) {
    if (n.driver_key && desc::lower(*n.driver_key) == key) {
        return &n;
    }
    for (const desc::node_desc &child : n.children) {
        if (const desc::node_desc *found = node_with_key(child, key)) {
            return found;
        }
    }
    return nullptr;
}

void ours_in(const desc::node_desc &n, std::vector<std::string> &ids) {
    for (const desc::node_desc &child : n.children) {
        char vendor[16];
        std::snprintf(vendor, sizeof vendor, "vid_%04x&", handled_vendor_id);
        if (desc::lower(child.device_id).find(vendor) != std::string::npos) {
            ids.push_back(child.device_id);
        } else {
            ours_in(child, ids);
        }
    }
}

} // namespace

std::vector<std::string> report_view::ours_below(const port_at &hub_port) const {
    std::vector<std::string> ids;
    const desc::port_desc &p = *hub_port.port;
    if (m.device_tree && p.driver_key) {
        if (const desc::node_desc *hub =
                node_with_key(*m.device_tree, desc::lower(*p.driver_key))) {
            ours_in(*hub, ids);
        }
    }
    return ids;
}
