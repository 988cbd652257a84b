// Where each hub and port is, and what one pass of the scan did, as the
// recorded calls and the description show it.
#include "capture/facts.h"

#include "capture/calls.h"
#include "capture/describe.h"
#include "capture/words.h"
#include "usb_enum/records.h"
#include "front/entry.h"

#include <cstring>

namespace {

using rec::call;

std::string box_step(const call &c) {
    const char *at = std::strstr(c.text.c_str(), ", Line ");
    return "box " + (at != nullptr ? std::string(at + 7) : c.text);
}

} // namespace

std::string walk_name(const std::string &path) {
    return path.compare(0, 4, "\\\\?\\") == 0 ? "the interface" : path;
}

// --- where things are ---

places::places(const desc::machine &machine, const std::vector<call> &scan) : m(machine) {
    for (std::size_t i = 0; i < m.controllers.size(); ++i) {
        add(m.controllers[i].root_hub, i, "", nullptr, scan);
    }
}

void places::add(const desc::hub_desc &h, std::size_t controller, const std::string &at,
                 const desc::port_desc *on, const std::vector<call> &scan) {
    const std::string path = desc::lower(hub_device_path(h.name, scan));
    hubs.emplace(path, hub_place{controller, at, on});
    path_of.emplace(&h, path);
    for (const desc::port_desc &p : h.ports) {
        const std::string place = dotted(at, p.port);
        ports.push_back({&p, controller, path, place, at});
        for (const desc::hub_desc &inner : p.hub) {
            add(inner, controller, place, &p, scan);
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

// --- one pass ---

pass read_pass(const std::vector<call> &calls) {
    pass p;
    std::optional<port_ref> current;
    for (const call &c : calls) {
        std::string step;
        if (is_call(c, "CreateFileA")) {
            if (c.ok && is_controller_path(c.device)) {
                p.walks.push_back(walk{c.device, {}, {}});
            }
            current.reset();
        } else if (is_call(c, "DeviceIoControl") && !is_controller_path(c.device)) {
            if (c.code == ioctl_usb_get_node_connection_information_ex ||
                c.code == ioctl_usb_get_node_connection_information ||
                c.code == ioctl_usb_get_node_connection_driverkey_name) {
                current = port_ref{desc::lower(c.device), c.port};
                if (!p.walks.empty()) {
                    p.walks.back().reached.insert(*current);
                }
            } else if (c.code == ioctl_usb_get_root_hub_name) {
                current.reset();
            }
        } else if (is_call(c, "Sleep")) {
            step = "pause " + pause_text(c.code);
            ++p.pauses[c.code];
            p.paused_ms += c.code;
        } else if (is_call(c, "CreateProcessA")) {
            step = "run " + c.text;
            ++p.commands;
        } else if (is_call(c, "MessageBoxA")) {
            step = box_step(c);
        }
        if (step.empty()) {
            continue;
        }
        if (current && !p.walks.empty()) {
            p.walks.back().steps[*current].push_back(step);
        } else {
            p.before.push_back(step);
        }
    }
    return p;
}

// --- everything ---

report_facts::report_facts(const capture_report &report)
    : r(report), m(*report.machine), where(m, *report.scan), scan(read_pass(*report.scan)),
      action(report.action_scanned ? read_pass(*report.action) : pass{}),
      boxes(read_boxes(where, *report.scan)),
      shows_scan(report.argument == nullptr || report.action_scanned),
      flags(report.argument != nullptr ? convert_flags(report.argument) : 0) {}

std::string report_facts::place_of(const port_at &p) const {
    return where.controller_name(p.controller) + ", port " + p.at;
}

const std::string *report_facts::unmatched(const port_at &p) const {
    if (r.unmatched == nullptr) {
        return nullptr;
    }
    for (const unmatched_port &u : *r.unmatched) {
        if (u.controller == p.controller && u.at == p.at) {
            return &u.why;
        }
    }
    return nullptr;
}

std::string report_facts::verdict_of(const port_at &p) const {
    if (!r.verdict_read) {
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
        if (desc::lower(child.device_id).find("vid_7a31&") != std::string::npos) {
            ids.push_back(child.device_id);
        } else {
            ours_in(child, ids);
        }
    }
}

} // namespace

std::vector<std::string> report_facts::ours_below(const port_at &hub_port) const {
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
