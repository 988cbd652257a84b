// The checks of the action ARG chose: none, another than bit 7, bit 7 installing
// directly, the polling, and a controller walked twice.
#include "capture/report/checks/checks.h"

#include "capture/report/value_texts.h"
#include "front/entry.h"
#include "policy/install.h"

check no_action(const report_view &v) {
    if (v.in.argument == nullptr || acting_bit(v.flags) != 0) {
        return std::nullopt;
    }
    std::string text;
    line(text, "ARG %s sets no action bit (bits 4 to 7): quorvex %s does nothing here and ends.",
         v.in.argument, v.in.argument);
    line(text, "To do: add 128 for bit 7 to act (%u), or 32 or 64 to remove drivers.",
         static_cast<unsigned>(v.flags | bit_download_install));
    return finding{severity::action_differs, text};
}

check hidden_install(const report_view &v) {
    const std::uint8_t acting = acting_bit(v.flags);
    if ((v.flags & bit_download_install) == 0 || acting == bit_download_install) {
        return std::nullopt;
    }
    const int bit = acting == bit_download_reinstall ? 4 : acting == bit_remove_composite ? 5 : 6;
    const char *what =
        acting == bit_download_reinstall
            ? "removes the download-mode drivers and installs the download-mode package only, "
              "without a scan"
        : acting == bit_remove_composite ? "removes the composite drivers and installs nothing"
                                         : "removes the download-mode drivers and installs nothing";
    std::string text;
    line(text, "ARG %s: bit %d acts, not bit 7: quorvex %s.", v.in.argument, bit, what);
    line(text, "To do: give ARG without bits 4 to 6 (%u) for bit 7 to act.",
         static_cast<unsigned>(v.flags & ~(action_bits & ~bit_download_install)));
    return finding{severity::action_differs, text};
}

check direct_install(const report_view &v) {
    if (acting_action(v.flags, v.m.major) != action::download_install) {
        return std::nullopt;
    }
    std::string devices;
    for (const port_at &p : v.where.ports) {
        if (installs_for(*p.port)) {
            line(devices, "  %s: %s", v.place_of(p).c_str(), device_text(*p.port).c_str());
        }
    }
    if (devices.empty()) {
        return std::nullopt;
    }
    std::string text;
    line(text,
         "Windows %u.%u (6.0 and later): quorvex %s installs only the download-mode "
         "package here, and never the drivers of:",
         static_cast<unsigned>(v.m.major), static_cast<unsigned>(v.m.minor), v.in.argument);
    text += devices;
    line(text, "To do: install their drivers another way (Device Manager, with their INF "
               "files); quorvex does not, on this Windows.");
    return finding{severity::action_differs, text};
}

check download_mode(const report_view &v) {
    if (!v.in.action_scanned || acting_action(v.flags, v.m.major) != action::poll) {
        return std::nullopt;
    }
    std::string text;
    for (const port_at &p : v.where.ports) {
        if (is_ours(*p.port) && p.port->pid == download_product_id && v.in.download_done) {
            line(text,
                 "%s: %s, the download-mode device, is there: quorvex installs its package in "
                 "this pass, and the polling ends.",
                 v.place_of(p).c_str(), download_ids().c_str());
            return finding{severity::information, text};
        }
    }
    line(text,
         "%s, the download-mode device, is not here: the polling goes on until it appears, or "
         "to its bound (below).",
         download_ids().c_str());
    line(text, "It appears when the device is put into download mode; quorvex then installs its "
               "package and ends.");
    return finding{severity::information, text};
}

check walked_twice(const report_view &v, std::size_t controller) {
    if (!v.in.action_scanned || !v.where.walked_twice(controller)) {
        return std::nullopt;
    }
    std::size_t twice = 0;
    for (const port_at &p : v.where.ports) {
        const port_ref ref{p.hub_path, p.port->port};
        std::size_t walks = 0;
        for (const walk &w : v.in.scan.walks) {
            walks += w.reached.count(ref);
        }
        twice += p.controller == controller && installs_for(*p.port) && walks > 1 ? 1 : 0;
    }
    if (twice == 0) {
        return std::nullopt;
    }
    std::string text;
    line(text,
         "%s: a pass walks it twice (by its number and by the interface), so every "
         "install there runs twice a pass; by design.",
         v.where.controller_name(controller).c_str());
    return finding{severity::information, text};
}
