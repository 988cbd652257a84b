// The report's boxes: each box a pass shows, what its site means, the call whose
// failure it reports, where it is and what the scan then skips.
#include "capture/report/sections/sections.h"

#include "capture/report/value_texts.h"
#include "platform/win32.h"

namespace {

// What the scan skips after the box: a port's install still runs only where the
// port has one.
std::string skipped(const report_view &v, const box &b) {
    const failure_site &s = *b.seen->info;
    std::string skips = skips_text(s);
    if (s.about != site_about::port || !s.goes_on) {
        return skips;
    }
    const port_at *p = v.where.port(b.hub_path, b.port);
    return p != nullptr && installs_for(*p->port) ? skips : "nothing";
}

} // namespace

void boxes_section(std::string &out, const report_view &v) {
    if (v.boxes.empty()) {
        line(out, "Boxes a pass shows: none");
        return;
    }
    line(out, "Boxes a pass shows: %lu, each waiting for OK (\"File: ..., Line N\": box N):",
         static_cast<unsigned long>(v.boxes.size()));
    for (const box &b : v.boxes) {
        if (b.words == nullptr) {
            line(out, "box %s: not a site of the scan", b.seen->text.c_str());
            continue;
        }
        line(out, "box %d: %s", b.seen->site, b.words->meaning);
        const rec::entry *failed = b.seen->failed;
        const port_at *p = b.port != 0 ? v.where.port(b.hub_path, b.port) : nullptr;
        if (b.seen->site == site_port_key_query && failed != nullptr &&
            failed->error == ERROR_FILE_NOT_FOUND && p != nullptr && p->port->status == 1 &&
            !p->port->driver_key) {
            line(out, "  no driver installed yet for this device: normal before the device's "
                      "first install; it still waits for OK");
        }
        line(out, "  cause: %s", b.cause.c_str());
        line(out, "  at %s%s", b.place.c_str(), b.in_walk.c_str());
        line(out, "  skips %s", skipped(v, b).c_str());
    }
}
