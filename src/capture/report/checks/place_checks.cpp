// The checks of places: the boxes that make the scan skip a hub, a controller or
// a port, and the ports whose device Windows could not read, that quorvex does
// not know, or that Device Manager shows with a problem.
#include "capture/report/checks/checks.h"

#include "capture/report/value_texts.h"

namespace {

constexpr std::uint32_t problem_no_driver = 28;

// The box and its cause: its own failed call, or the box before it.
std::string cause_of(const report_view &v, const box &b) {
    std::string text = "box " + std::to_string(b.seen->site) + ", " + b.words->meaning;
    const std::size_t i = static_cast<std::size_t>(&b - v.boxes.data());
    if (b.seen->failed == nullptr && i > 0 && v.boxes[i - 1].seen->walk_path == b.seen->walk_path &&
        v.boxes[i - 1].words != nullptr) {
        const box &before = v.boxes[i - 1];
        return text + ", after box " + std::to_string(before.seen->site) + ": " + before.cause;
    }
    return text + ": " + b.cause;
}

// The port that holds the hub a box is about; null for a root hub.
const port_at *hub_port(const report_view &v, const box &b) {
    if (b.port != 0) {
        return v.where.port(b.hub_path, b.port);
    }
    const hub_place *h = v.where.hub(b.hub_path);
    for (const port_at &p : v.where.ports) {
        if (h != nullptr && p.port == h->port) {
            return &p;
        }
    }
    return nullptr;
}

// Device Manager's word on what a box is about: the hub's node (the port that
// holds it), or the controller's for the controller or its root hub; "" where
// there is none to give.
std::string state_of(const report_view &v, const box &b, const port_at *held_by) {
    if (!v.in.verdict.read) {
        return "";
    }
    if (held_by != nullptr && held_by->port->device_is_hub) {
        return "Device Manager, the hub: " + v.verdict_of(*held_by) + ".";
    }
    const hub_place *h = v.where.hub(b.hub_path);
    const bool root_hub = b.port == 0 && h != nullptr && h->port == nullptr;
    if (b.controller && (b.seen->info->about == site_about::controller || root_hub)) {
        const desc::controller_desc &c = v.m.controllers[*b.controller];
        return "Device Manager, the controller: " +
               verdict_text(c.state, false, !c.driver_key.empty()) + ".";
    }
    return "";
}

} // namespace

check skipped_by_box(const report_view &v, const box &b) {
    const failure_site *s = b.seen->info;
    if (s == nullptr || s->goes_on || s->followed != site_none) {
        return std::nullopt;
    }
    for (const box &o : v.boxes) {
        if (&o == &b) {
            break;
        }
        if (o.seen->site == b.seen->site && o.place == b.place) {
            return std::nullopt; // the first box at this place tells it
        }
    }
    const bool every_walk = b.every_walk;
    const port_at *held_by = s->about == site_about::controller ? nullptr : hub_port(v, b);
    std::string text;
    const std::string device = held_by != nullptr && held_by->port->status != 0
                                   ? " (" + device_text(*held_by->port) + ")"
                                   : "";
    line(text, "%s%s: %s%s.", b.place.c_str(), device.c_str(), cause_of(v, b).c_str(),
         every_walk ? "" : (b.in_walk + " only").c_str());
    if (const std::string state = state_of(v, b, held_by); !state.empty()) {
        line(text, "%s", state.c_str());
    }
    if (held_by != nullptr && held_by->port->device_is_hub && every_walk) {
        for (const std::string &id : v.ours_below(*held_by)) {
            line(text, "Device Manager shows a device of ours below it: %s.", id.c_str());
        }
    }
    if (every_walk) {
        line(text, "The scan skips %s.", skips_text(*s).c_str());
        line(text, "A device of ours there is never installed, and its download-mode form is "
                   "never found, so the polling cannot end.");
    } else {
        line(text, "The other walk of the controller reaches it: what is there is installed once "
                   "a pass, not twice, and the box still waits for OK on every pass.");
    }
    line(text, "%s",
         s->about == site_about::controller
             ? "To do: plug the device into another of the PC's USB ports, one of "
               "another controller."
             : "To do: plug the device into another port, directly on the PC.");
    return finding{every_walk ? severity::never_reached : severity::device_trouble, text};
}

check connection_trouble(const report_view &v, const port_at &p) {
    const desc::port_desc &d = *p.port;
    const bool no_descriptor = d.vid == 0 && d.pid == 0;
    if (d.status == 0 || (d.status == 1 && !no_descriptor)) {
        return std::nullopt;
    }
    const status_advice advice = connection_advice(d.status, no_descriptor);
    const std::string who =
        no_descriptor ? "0000:0000 (no device descriptor read; it may be ours)" : device_text(d);
    std::string text;
    const std::string status = d.status == 1 ? "connected" : status_text(d.status);
    line(text, "%s, %s: %s: %s.", v.place_of(p).c_str(), who.c_str(), status.c_str(), advice.what);
    if (installs_for(d)) {
        line(text, "quorvex installs for it all the same, but the device does not work so.");
    }
    line(text, "To do: %s.", advice.to_do);
    return finding{severity::device_trouble, text};
}

check unknown_product(const report_view &v, const port_at &p) {
    const desc::port_desc &d = *p.port;
    if (!is_ours(d) || known_product(d)) {
        return std::nullopt;
    }
    std::string text;
    line(text, "%s, %s: a product of ours that quorvex does not know: it installs nothing for it.",
         v.place_of(p).c_str(), device_text(d).c_str());
    line(text, "To do: use a quorvex that knows product %04X.", d.pid);
    return finding{severity::never_reached, text};
}

check device_problem(const report_view &v, const port_at &p) {
    const desc::port_desc &d = *p.port;
    if (!is_ours(d) || !v.in.verdict.read || v.unmatched(p) != nullptr) {
        return std::nullopt;
    }
    std::string nodes;
    auto check = [&nodes](const std::string &what, const desc::node_state &s, bool key) {
        const dm_state dm = device_manager(s, true, key);
        if (dm.read && dm.problem != 0 && dm.problem != problem_no_driver) {
            line(nodes, "  %s: problem %u, %s", what.c_str(), static_cast<unsigned>(dm.problem),
                 problem_words(dm.problem));
        }
    };
    check("the device", d.state, d.driver_key.has_value());
    for (const desc::node_desc &child : d.children) {
        check("interface " + child.device_id, child.state, child.driver_key.has_value());
    }
    if (nodes.empty()) {
        return std::nullopt;
    }
    std::string text;
    line(text, "%s, %s: Device Manager shows a problem other than \"no driver installed\":",
         v.place_of(p).c_str(), device_text(d).c_str());
    text += nodes;
    line(text, "Running quorvex again as it is will not mend it: it installs the same packages.");
    line(text, "To do: in Device Manager, uninstall the device with its driver, plug it in "
               "again, then run quorvex.");
    return finding{severity::device_trouble, text};
}
