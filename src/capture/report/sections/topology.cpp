// The report's topology: each controller, how the scan finds it, and its hubs
// and ports with their places, IDs, speeds and states.
#include "capture/report/sections/sections.h"

#include "capture/report/value_texts.h"
#include "policy/install.h"

namespace {

void hub_lines(std::string &out, const report_view &v, const desc::hub_desc &h,
               const std::string &path, const std::string &at, int depth,
               std::vector<const box *> boxes = {});

std::string port_text(const desc::port_desc &p) {
    std::string text;
    if (p.status == 0) {
        text = "no device";
    } else if (p.vid == 0 && p.pid == 0) {
        text = "no device descriptor read (0000:0000)";
    } else {
        char ids[64];
        std::snprintf(ids, sizeof ids, "%04X:%04X, %s", p.vid, p.pid, speed_name(p.speed));
        text = ids;
    }
    if (p.status > 1) {
        text += ", " + status_text(p.status);
    }
    if (p.legacy_only) {
        text += ", older query only";
    }
    if (p.device_is_hub) {
        text += ", a hub";
    }
    return text + (is_ours(p) ? ": ours" : "");
}

// A port, and below it the hub it holds; where a box makes the scan skip that
// hub, what Device Manager says of it and shows below it.
void port_lines(std::string &out, const report_view &v, const port_at &p, int depth) {
    const std::string indent(static_cast<std::size_t>(2 * depth), ' ');
    const desc::port_desc &d = *p.port;
    out += indent + "port " + p.at + ": " + port_text(d) + "\n";
    // The scan ends at the first download-mode device it meets: no other is listed.
    if (is_ours(d) && d.pid == download_product_id) {
        line(out,
             "%s  the scan stops at it, as quorvex's does: the ports after it on this hub and "
             "the controller walks after this one are not read",
             indent.c_str());
    }
    bool skipped = !v.skipping(p.hub_path, d.port).empty();
    bool unread = d.hub.empty();
    for (const desc::hub_desc &inner : d.hub) {
        skipped = skipped || !v.skipping(v.where.path_of.at(&inner), 0).empty();
        unread = inner.port_count == 0;
    }
    if (d.device_is_hub && skipped) {
        line(out, "%s  Device Manager, the hub: %s", indent.c_str(), v.verdict_of(p).c_str());
        for (const std::string &id : unread ? v.ours_below(p) : std::vector<std::string>{}) {
            line(out, "%s  Device Manager shows below it: %s, ours", indent.c_str(), id.c_str());
        }
    }
    for (const desc::hub_desc &inner : d.hub) {
        hub_lines(out, v, inner, v.where.path_of.at(&inner), p.at, depth + 1,
                  v.skipping(p.hub_path, d.port));
    }
}

// A hub and its ports; `boxes`: those about the port it hangs on that make the
// scan skip it (the hub record's box, when the record could not be had).
void hub_lines(std::string &out, const report_view &v, const desc::hub_desc &h,
               const std::string &path, const std::string &at, int depth,
               std::vector<const box *> boxes) {
    const std::string indent(static_cast<std::size_t>(2 * depth), ' ');
    std::string ports = std::to_string(h.port_count) + " ports";
    const std::vector<const box *> own = v.skipping(path, 0);
    boxes.insert(boxes.begin(), own.begin(), own.end());
    if (!boxes.empty() && h.ports.empty() && h.port_count == 0) {
        ports = "its ports not read (box " + std::to_string(boxes.front()->seen->site) + ")";
    }
    out += indent + (at.empty() ? "root hub " : "hub ") + h.name + ", " + ports + "\n";
    for (const port_at &p : v.where.ports) {
        if (p.hub_path == path) {
            port_lines(out, v, p, depth + 1);
        }
    }
}

} // namespace

void topology_section(std::string &out, const report_view &v) {
    const desc::machine &m = v.m;
    line(out, "USB topology:");
    if (m.controllers.empty()) {
        line(out, "  no host controller answered");
    }
    for (std::size_t i = 0; i < m.controllers.size(); ++i) {
        const desc::controller_desc &c = m.controllers[i];
        const char *answers = c.number && c.interface ? ", and by the interface as"
                              : c.interface           ? ": by the interface only, as"
                                                      : "";
        line(out, "%s%s", v.where.controller_name(i).c_str(), answers);
        if (c.interface) {
            line(out, "    %s", c.interface_path.value_or("(no path read)").c_str());
        }
        line(out, "  driver key %s", c.driver_key.empty() ? "(none read)" : c.driver_key.c_str());
        line(out, "  device ID %s", c.device_id.empty() ? "(none found)" : c.device_id.c_str());
        if (c.state.problem || c.state.node_status || c.state.status_error) {
            line(out, "  Device Manager: %s",
                 verdict_text(c.state, false, !c.driver_key.empty()).c_str());
        }
        const std::string &path = v.where.path_of.at(&c.root_hub);
        hub_lines(out, v, c.root_hub, path, "", 1);
    }
}
