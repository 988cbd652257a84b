// Why quorvex ARG polls and for how long; or, where it does not scan, what its
// action runs instead.
#include "capture/polling.h"

#include "capture/calls.h"
#include "front/entry.h"
#include "policy/install.h"

#include "capture/words.h"

namespace {

constexpr unsigned pause_before_pass_ms = 250;

// Where the download-mode device is: "controller 1 (\\.\HCD0), port 3"; "" where
// it is not.
std::string download_place(const report_facts &f) {
    for (const port_at &p : f.where.ports) {
        if (is_ours(*p.port) && p.port->pid == download_product_id) {
            return f.place_of(p);
        }
    }
    return "";
}

// Whether a box of the pass makes the scan skip a controller, a hub or a port.
bool hides_ports(const report_facts &f) {
    for (const box &b : f.boxes) {
        if (b.info != nullptr && !skips_nothing(*b.info) && b.every_walk) {
            return true;
        }
    }
    return false;
}

void bound_lines(std::string &out, const report_facts &f) {
    const pass &a = f.action;
    line(out, "  Nothing but its install ends the polling, bar the bound of %u passes:",
         max_polling_passes);
    if (a.pauses.size() == 1 && a.pauses.count(pause_before_pass_ms) != 0 &&
        a.pauses.at(pause_before_pass_ms) == 1) {
        line(out, "  at least %s: %u pauses of %s, plus every command's own time.",
             duration_text(std::uint64_t{a.paused_ms} * max_polling_passes).c_str(),
             max_polling_passes, pause_text(pause_before_pass_ms).c_str());
        return;
    }
    line(out, "  at least %s: %u passes of %s of pauses each, plus every command's own time.",
         duration_text(std::uint64_t{a.paused_ms} * max_polling_passes).c_str(), max_polling_passes,
         seconds_text(a.paused_ms).c_str());
}

} // namespace

void polling_section(std::string &out, const report_facts &f) {
    const pass &a = f.action;
    line(out, "Why quorvex %s polls, and for how long:", f.r.argument);
    const std::string at = download_place(f);
    if (f.r.download_done) {
        line(out, "  7A31:2132, the download-mode device, is at %s: its install ran,",
             at.empty() ? "a port of this pass" : at.c_str());
        line(out, "  so polling ends with this pass.");
    } else {
        line(out, "  7A31:2132, the download-mode device, was not seen: polling goes on.");
        if (hides_ports(f)) {
            line(out, "  A box above makes the scan skip ports: a device there is never found, in "
                      "download mode either.");
        }
        bound_lines(out, f);
    }
    std::string pauses;
    std::size_t count = 0;
    for (const auto &[ms, n] : a.pauses) {
        pauses += pauses.empty() ? "" : ", ";
        pauses += ms == pause_before_pass_ms && n == 1 ? pause_text(ms) + " before the pass"
                                                       : pause_text(ms) + " " + times_text(n);
        count += n;
    }
    line(out, "  One pass: %lu command%s, and %lu pause%s%s%s.",
         static_cast<unsigned long>(a.commands), a.commands == 1 ? "" : "s",
         static_cast<unsigned long>(count), count == 1 ? "" : "s", pauses.empty() ? "" : ": ",
         pauses.c_str());
    line(out, "  That is %s of pauses a pass, plus the time the commands take.",
         seconds_text(a.paused_ms).c_str());
    if (f.r.download_done) {
        return;
    }
    if (a.commands == 0) {
        line(out, "  At the PC: quorvex waits and installs nothing until the device is put");
        line(out, "  into download mode (it then shows as 7A31:2132).");
        return;
    }
    line(out, "  At the PC: quorvex installs the packages above again on every pass, until");
    line(out, "  the device is put into download mode (it then shows as 7A31:2132) or the");
    line(out, "  bound is reached. Closing its window is the only other way to stop it.");
}

void action_section(std::string &out, const report_facts &f) {
    bool direct = false;
    for (const rec::call &c : *f.r.action) {
        direct = direct || is_call(c, "GetVersionExA");
    }
    if (direct) {
        line(out, "quorvex %s on Windows %u.%u does not scan: a direct install, with no box:",
             f.r.argument, static_cast<unsigned>(f.m.major), static_cast<unsigned>(f.m.minor));
    } else {
        line(out, "quorvex %s does not scan: no box, and only this:", f.r.argument);
    }
    std::size_t steps = 0;
    for (const rec::call &c : *f.r.action) {
        if (is_call(c, "CreateProcessA")) {
            line(out, "  run %s", c.text.c_str());
            ++steps;
        }
    }
    if (steps == 0) {
        line(out, "  nothing");
    }
    line(out, "The topology and devices above are for reference: quorvex %s walks none of it.",
         f.r.argument);
}
