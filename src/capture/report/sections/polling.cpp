// Why quorvex ARG polls and for how long; or, where it does not scan, what its
// action runs instead.
#include "capture/report/sections/sections.h"

#include "capture/report/value_texts.h"
#include "front/entry.h"
#include "policy/install.h"

namespace {

// Where the download-mode device is: "controller 1 (\\.\HCD0), port 3"; "" where
// it is not.
std::string download_place(const report_view &v) {
    for (const port_at &p : v.where.ports) {
        if (is_ours(*p.port) && p.port->pid == download_product_id) {
            return v.place_of(p);
        }
    }
    return "";
}

// Whether a box of the pass makes the scan skip a controller, a hub or a port.
bool hides_ports(const report_view &v) {
    for (const box &b : v.boxes) {
        if (b.seen->info != nullptr && !b.seen->info->goes_on && b.every_walk) {
            return true;
        }
    }
    return false;
}

void bound_lines(std::string &out, const report_view &v) {
    const pass_reading &a = v.in.action;
    line(out, "  Nothing but its install ends the polling, bar the bound of %u passes:",
         max_polling_passes);
    if (a.pauses.size() == 1 && a.pauses.count(polling_pause_ms) != 0 &&
        a.pauses.at(polling_pause_ms) == 1) {
        line(out, "  at least %s: %u pauses of %s, plus every command's own time.",
             duration_text(std::uint64_t{a.paused_ms} * max_polling_passes).c_str(),
             max_polling_passes, pause_text(polling_pause_ms).c_str());
        return;
    }
    line(out, "  at least %s: %u passes of %s of pauses each, plus every command's own time.",
         duration_text(std::uint64_t{a.paused_ms} * max_polling_passes).c_str(), max_polling_passes,
         seconds_text(a.paused_ms).c_str());
}

} // namespace

void polling_section(std::string &out, const report_view &v) {
    const pass_reading &a = v.in.action;
    line(out, "Why quorvex %s polls, and for how long:", v.in.argument);
    const std::string at = download_place(v);
    if (v.in.download_done) {
        line(out, "  %s, the download-mode device, is at %s: its install ran,",
             download_ids().c_str(), at.empty() ? "a port of this pass" : at.c_str());
        line(out, "  so polling ends with this pass.");
    } else {
        line(out, "  %s, the download-mode device, was not seen: polling goes on.",
             download_ids().c_str());
        if (hides_ports(v)) {
            line(out, "  A box above makes the scan skip ports: a device there is never found, in "
                      "download mode either.");
        }
        bound_lines(out, v);
    }
    std::string pauses;
    std::size_t count = 0;
    for (const auto &[ms, n] : a.pauses) {
        pauses += pauses.empty() ? "" : ", ";
        pauses += ms == polling_pause_ms && n == 1 ? pause_text(ms) + " before the pass"
                                                   : pause_text(ms) + " " + times_text(n);
        count += n;
    }
    line(out, "  One pass: %lu command%s, and %lu pause%s%s%s.",
         static_cast<unsigned long>(a.commands.size()), a.commands.size() == 1 ? "" : "s",
         static_cast<unsigned long>(count), count == 1 ? "" : "s", pauses.empty() ? "" : ": ",
         pauses.c_str());
    line(out, "  That is %s of pauses a pass, plus the time the commands take.",
         seconds_text(a.paused_ms).c_str());
    if (v.in.download_done) {
        return;
    }
    if (a.commands.empty()) {
        line(out, "  At the PC: quorvex waits and installs nothing until the device is put");
        line(out, "  into download mode (it then shows as %s).", download_ids().c_str());
        return;
    }
    line(out, "  At the PC: quorvex installs the packages above again on every pass, until");
    line(out, "  the device is put into download mode (it then shows as %s) or the",
         download_ids().c_str());
    line(out, "  bound is reached. Closing its window is the only other way to stop it.");
}

void action_section(std::string &out, const report_view &v) {
    if (v.in.action.version != nullptr) {
        line(out, "quorvex %s on Windows %u.%u does not scan: a direct install, with no box:",
             v.in.argument, static_cast<unsigned>(v.m.major), static_cast<unsigned>(v.m.minor));
    } else {
        line(out, "quorvex %s does not scan: no box, and only this:", v.in.argument);
    }
    for (const std::string &command : v.in.action.commands) {
        line(out, "  run %s", command.c_str());
    }
    if (v.in.action.commands.empty()) {
        line(out, "  nothing");
    }
    line(out, "The topology and devices above are for reference: quorvex %s walks none of it.",
         v.in.argument);
}
