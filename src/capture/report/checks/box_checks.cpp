// The checks of the boxes a pass shows: every box holds quorvex until somebody
// presses OK, so each is a finding, one for the boxes of one site at one place.
// A box that makes the scan skip a hub, a controller or a port says what is not
// seen below it; one the scan goes on past says what it is about and what to do.
#include "capture/report/checks/checks.h"

#include "capture/report/value_texts.h"
#include "front/entry.h"
#include "platform/win32.h"

namespace {

// The box and its cause: its own failed call, or the box before it.
std::string cause_of(const report_view &v, const box &b) {
    std::string text = "box " + std::to_string(b.seen->site) + ", " + b.words->meaning;
    const std::size_t i = static_cast<std::size_t>(&b - v.boxes.data());
    const box *before = i > 0 ? &v.boxes[i - 1] : nullptr;
    if (b.seen->failed == nullptr && before != nullptr && before->words != nullptr &&
        before->seen->walk_path == b.seen->walk_path &&
        before->seen->info->followed == b.seen->site) {
        return text + ", after box " + std::to_string(before->seen->site) + ": " + before->cause;
    }
    return text + ": " + b.cause;
}

// Whether an earlier box of the pass has this box's site and place: the first
// one's finding tells them all.
bool told_before(const report_view &v, const box &b) {
    for (const box &o : v.boxes) {
        if (&o == &b) {
            return false;
        }
        if (o.seen->site == b.seen->site && o.place == b.place) {
            return true;
        }
    }
    return false;
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

bool is_allocation(const box &b) {
    return b.seen->failed != nullptr && b.seen->failed->call == QVM_GLOBAL_ALLOC;
}

// Box 1875: a controller whose device ID is not a PCI ID.
void not_pci_lines(std::string &text, const box &b) {
    const rec::entry *id = b.seen->last_id;
    if (id != nullptr && desc::lower(id->text).rfind("root\\", 0) == 0) {
        line(text, "This is not a PCI host controller: a virtual or software USB host controller, "
                   "often added by virtualisation or remote-USB software.");
        line(text, "To do: while quorvex runs, quit the software that added it or disable the "
                   "controller in Device Manager (Universal Serial Bus controllers); or press OK "
                   "each time.");
    } else {
        line(text, "This host controller is not on the PCI bus (another bus, such as ACPI, names "
                   "it): quorvex reads no PCI IDs for it.");
        line(text, "To do: press OK each time it shows.");
    }
    line(text, "The walk goes on past the box: nothing is skipped.");
}

// What a box the scan goes on past is about, in a support person's words, and
// what to do.
void about_lines(std::string &text, const report_view &v, const box &b) {
    const scan_site site = static_cast<scan_site>(b.seen->site);
    const rec::entry *failed = b.seen->failed;
    const port_at *p = b.port != 0 ? v.where.port(b.hub_path, b.port) : nullptr;
    if (is_allocation(b)) {
        line(text, "quorvex could not get memory for it.");
        line(text, "To do: close other programs, or restart the PC, and run quorvex again.");
    } else if (site == site_controller_not_pci) {
        not_pci_lines(text, b);
    } else if (site == site_controller_no_device_id) {
        const rec::entry *id = b.seen->last_id;
        line(text, "%s",
             failed != nullptr ? "Device Manager did not give the controller's device ID."
             : id != nullptr   ? "Device Manager's device ID for the controller is longer than "
                                 "quorvex can read."
                               : "Device Manager has no node with the controller's driver key: it "
                                 "may be being removed, or its driver is being changed.");
        line(text, "To do: restart the PC and run quorvex again; or press OK each time.");
    } else if (site == site_port_key_query && failed != nullptr &&
               failed->error == ERROR_FILE_NOT_FOUND && p != nullptr && !p->port->driver_key) {
        line(text, "No driver is installed for this device yet: normal before its first install.");
        if (installs_for(*p->port)) {
            line(text, "quorvex installs its drivers in this pass; once they are installed, the "
                       "box no longer shows.");
            line(text, "To do: press OK each time it shows.");
        } else {
            line(text, "quorvex installs nothing for it, so the box shows on every pass while it "
                       "is plugged in.");
            line(text, "To do: unplug it while quorvex runs, or install its driver.");
        }
    } else {
        line(text, "Windows' USB stack did not answer the scan as it should there; the scan goes "
                   "on past it.");
        line(text, "To do: %s",
             b.seen->info->about == site_about::controller
                 ? "restart the PC; if it stays, update the controller's driver."
                 : "plug the device into another port, directly on the PC.");
    }
}

} // namespace

std::string waits_text(const report_view &v, const box &b) {
    std::size_t times = 0;
    for (const box &o : v.boxes) {
        times += o.seen->site == b.seen->site && o.place == b.place ? 1 : 0;
    }
    const bool polls = v.in.action_scanned && acting_action(v.flags, v.m.major) == action::poll;
    return "It shows " + times_text(times) + " a pass, each time waiting for OK: quorvex stops " +
           "there until somebody presses OK" + (polls ? ", on every pass of the polling." : ".");
}

check box_shown(const report_view &v, const box &b) {
    if (!v.shows_scan || told_before(v, b)) {
        return std::nullopt;
    }
    if (b.words == nullptr) {
        std::string text;
        line(text, "%s: box %s, which is not a site of the scan.", b.place.c_str(),
             b.seen->text.c_str());
        line(text, "%s", waits_text(v, b).c_str());
        return finding{severity::box_waits, text};
    }
    const failure_site &s = *b.seen->info;
    const port_at *p = b.port != 0 ? v.where.port(b.hub_path, b.port) : nullptr;
    if (!s.goes_on || (p != nullptr && port_in_trouble(*p->port))) {
        return std::nullopt; // told with what it skips, or with the port's trouble
    }
    std::string text;
    const std::string device = p != nullptr ? " (" + device_text(*p->port) + ")" : "";
    line(text, "%s%s: %s.", b.place.c_str(), device.c_str(), cause_of(v, b).c_str());
    line(text, "%s", waits_text(v, b).c_str());
    about_lines(text, v, b);
    return finding{severity::box_waits, text};
}

check skipped_by_box(const report_view &v, const box &b) {
    const failure_site *s = b.seen->info;
    if (!v.shows_scan || s == nullptr || s->goes_on || s->followed != site_none ||
        told_before(v, b)) {
        return std::nullopt;
    }
    const bool every_walk = b.every_walk;
    const port_at *held_by = s->about == site_about::controller ? nullptr : hub_port(v, b);
    std::string text;
    const std::string device = held_by != nullptr && held_by->port->status != 0
                                   ? " (" + device_text(*held_by->port) + ")"
                                   : "";
    line(text, "%s%s: %s%s.", b.place.c_str(), device.c_str(), cause_of(v, b).c_str(),
         every_walk ? "" : (b.in_walk + " only").c_str());
    line(text, "%s", waits_text(v, b).c_str());
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
                   "a pass, not twice.");
    }
    line(text, "%s",
         s->about == site_about::controller
             ? "To do: plug the device into another of the PC's USB ports, one of "
               "another controller."
             : "To do: plug the device into another port, directly on the PC.");
    return finding{every_walk ? severity::never_reached : severity::device_trouble, text};
}
