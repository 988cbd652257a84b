// The report's boxes: each box a pass shows, what its site means, the call whose
// failure it reports, where it is and what the scan then skips.
#include "capture/boxes.h"

#include "capture/words.h"

namespace {

constexpr std::uint32_t error_file_not_found = 2;

// What the scan skips after the box: a port's install still runs only where the
// port has one.
std::string skips_text(const report_facts &f, const box &b) {
    std::string skips = b.info->skips;
    if (b.info->place != about::port || skips.rfind("nothing:", 0) != 0) {
        return skips;
    }
    const port_at *p = f.where.port(b.hub_path, b.port);
    return p != nullptr && installs_for(*p->port) ? skips : "nothing";
}

} // namespace

void boxes_section(std::string &out, const report_facts &f) {
    if (f.boxes.empty()) {
        line(out, "Boxes a pass shows: none");
        return;
    }
    line(out, "Boxes a pass shows: %lu, each waiting for OK (\"File: ..., Line N\": box N):",
         static_cast<unsigned long>(f.boxes.size()));
    for (const box &b : f.boxes) {
        if (b.info == nullptr) {
            line(out, "box %s: not a site of the scan", b.text.c_str());
            continue;
        }
        line(out, "box %d: %s", b.site, b.info->meaning);
        if (b.site == 451 && b.failed != nullptr && b.failed->error == error_file_not_found) {
            line(out, "  no driver installed yet for this device: normal before the device's "
                      "first install; it still waits for OK");
        }
        line(out, "  cause: %s", b.cause.c_str());
        line(out, "  at %s%s", b.place.c_str(), b.in_walk.c_str());
        line(out, "  skips %s", skips_text(f, b).c_str());
    }
}
