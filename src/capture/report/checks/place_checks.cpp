// The checks of ports: those whose device Windows could not read or run (with
// the boxes that follow from it), that quorvex does not know, or that Device
// Manager shows with a problem.
#include "capture/report/checks/checks.h"

#include "capture/report/problem_advice.h"
#include "capture/report/value_texts.h"

namespace {

constexpr std::uint32_t status_nested_too_deeply = 7; // DeviceHubNestedTooDeeply

// The boxes of the pass at this port, "box 451 twice a pass", "; " between.
std::string boxes_at(const report_view &v, const port_at &p) {
    std::string text;
    for (const box &b : v.boxes) {
        if (b.hub_path != p.hub_path || b.port != p.port->port || b.words == nullptr) {
            continue;
        }
        const std::string one =
            "box " + std::to_string(b.seen->site) + " (" + b.words->meaning + ")";
        if (text.find(one) == std::string::npos) {
            text += (text.empty() ? "" : "; ") + one;
        }
    }
    return text;
}

// Device Manager's problems on a device of ours and its interfaces, each with
// its remedy; whether quorvex's install can mend every one of them.
struct node_problems {
    std::string lines;
    bool all_mended = true;
};

void add_problem(node_problems &out, const std::string &what, const desc::node_state &s, bool key) {
    const dm_state dm = device_manager(s, true, key);
    if (!dm.read || dm.problem == 0) {
        return;
    }
    const problem_advice *a = advice_for(dm.problem);
    if (a != nullptr && a->mends == quorvex_mends::yes) {
        return; // no driver yet: what quorvex's install is for
    }
    line(out.lines, "  %s: problem %u, %s%s%s.", what.c_str(), static_cast<unsigned>(dm.problem),
         problem_words(dm.problem), a != nullptr ? ": " : "", a != nullptr ? a->remedy : "");
    if (a == nullptr || a->mends == quorvex_mends::no) {
        out.all_mended = false;
        line(out.lines, "    quorvex's install does not mend it%s",
             a != nullptr ? "." : ": see Device Manager for what to do.");
    } else {
        line(out.lines, "    quorvex's install puts the driver on anew, which may mend it.");
    }
}

} // namespace

bool port_in_trouble(const desc::port_desc &d) {
    const bool no_descriptor = d.vid == 0 && d.pid == 0;
    return d.status != 0 && (d.status != 1 || no_descriptor);
}

check connection_trouble(const report_view &v, const port_at &p) {
    const desc::port_desc &d = *p.port;
    if (!port_in_trouble(d)) {
        return std::nullopt;
    }
    const bool no_descriptor = d.vid == 0 && d.pid == 0;
    const status_advice advice = connection_advice(d.status, no_descriptor);
    const std::string who =
        no_descriptor ? "0000:0000 (no device descriptor read; it may be ours)" : device_text(d);
    std::string text;
    const std::string status = d.status == 1 ? "connected" : status_text(d.status);
    line(text, "%s, %s: %s: %s.", v.place_of(p).c_str(), who.c_str(), status.c_str(), advice.what);
    if (d.status == status_nested_too_deeply) {
        line(text, "Windows refused this hub: whatever is plugged into it is not seen, by Windows "
                   "or by quorvex, and a device of ours there is never installed.");
    }
    if (installs_for(d)) {
        line(text, "quorvex installs for it all the same, but the device does not work so.");
    }
    if (const std::string boxes = boxes_at(v, p); !boxes.empty()) {
        line(text,
             "At this port quorvex shows %s: it follows from this, and each time waits for "
             "OK.",
             boxes.c_str());
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
    node_problems found;
    add_problem(found, "the device", d.state, d.driver_key.has_value());
    for (const desc::node_desc &child : d.children) {
        add_problem(found, "interface " + child.device_id, child.state,
                    child.driver_key.has_value());
    }
    if (found.lines.empty()) {
        return std::nullopt;
    }
    std::string text;
    line(text, "%s, %s: Device Manager shows a problem other than \"no driver installed\":",
         v.place_of(p).c_str(), device_text(d).c_str());
    text += found.lines;
    line(text, "%s",
         found.all_mended ? "To do: run quorvex again; if the problem stays, uninstall the device "
                            "with its driver in Device Manager, plug it in again, then run quorvex."
                          : "To do: first do what each line says; then run quorvex.");
    return finding{severity::device_trouble, text};
}
