// The view: what the report says of a port's device, and which boxes make the
// scan skip a hub or a port.
#include "capture/report/view.h"

#include "capture/report/value_texts.h"
#include "front/entry.h"
#include "policy/install.h"

#include <cstdio>

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

std::vector<const box *> report_view::skipping(const std::string &hub_path,
                                               std::uint32_t port) const {
    std::vector<const box *> found;
    for (const box &b : boxes) {
        const failure_site *s = b.seen->info;
        if (s != nullptr && b.hub_path == hub_path && b.port == port && !s->goes_on) {
            found.push_back(&b);
        }
    }
    return found;
}
