// The report's findings: the checks, each a small function over the facts the
// sections show, run in a fixed order; most serious first, and one line saying
// what quorvex ARG does here where nothing stands in the way.
#include "capture/diagnose.h"

#include "capture/checks.h"
#include "capture/words.h"
#include "front/entry.h"
#include "policy/install.h"

#include <algorithm>
#include <optional>

namespace {

constexpr std::uint8_t action_bits = 0xF0;
constexpr std::uint8_t download_bit = 0x80;
constexpr std::uint32_t direct_install_major = 6;

finding make(severity level, std::string text) {
    return {level, std::move(text)};
}

// The bit that acts: the lowest of bits 4 to 7 that is set; 0 for none.
std::uint8_t acting_bit(std::uint8_t flags) {
    const std::uint8_t bits = flags & action_bits;
    return static_cast<std::uint8_t>(bits & -bits);
}

bool polls(const report_facts &f) {
    return acting_bit(f.flags) == download_bit && f.m.major < direct_install_major;
}

std::optional<finding> no_action(const report_facts &f) {
    if (f.r.argument == nullptr || (f.flags & action_bits) != 0) {
        return std::nullopt;
    }
    std::string text;
    line(text, "ARG %s sets no action bit (bits 4 to 7): quorvex %s does nothing here and ends.",
         f.r.argument, f.r.argument);
    line(text, "To do: add 128 for bit 7 to act (%u), or 32 or 64 to remove drivers.",
         static_cast<unsigned>(f.flags | download_bit));
    return make(severity::action_differs, text);
}

std::optional<finding> hidden_install(const report_facts &f) {
    const std::uint8_t acting = acting_bit(f.flags);
    if ((f.flags & download_bit) == 0 || acting == download_bit) {
        return std::nullopt;
    }
    static const char *const what[] = {
        ("removes the download-mode drivers and installs the download-mode package only, "
         "without a scan"),
        "removes the composite drivers and installs nothing",
        "removes the download-mode drivers and installs nothing"};
    const int bit = acting == 0x10 ? 4 : acting == 0x20 ? 5 : 6;
    std::string text;
    line(text, "ARG %s: bit %d acts, not bit 7: quorvex %s.", f.r.argument, bit, what[bit - 4]);
    line(text, "To do: give ARG without bits 4 to 6 (%u) for bit 7 to act.",
         static_cast<unsigned>(f.flags & ~0x70u));
    return make(severity::action_differs, text);
}

std::optional<finding> direct_install(const report_facts &f) {
    if (acting_bit(f.flags) != download_bit || f.m.major < direct_install_major) {
        return std::nullopt;
    }
    std::string devices;
    for (const port_at &p : f.where.ports) {
        if (installs_for(*p.port)) {
            line(devices, "  %s: %s", f.place_of(p).c_str(), device_text(*p.port).c_str());
        }
    }
    if (devices.empty()) {
        return std::nullopt;
    }
    std::string text;
    line(text,
         "Windows %u.%u (6.0 and later): quorvex %s installs only the download-mode "
         "package here, and never the drivers of:",
         static_cast<unsigned>(f.m.major), static_cast<unsigned>(f.m.minor), f.r.argument);
    text += devices;
    line(text, "To do: install their drivers another way (Device Manager, with their INF "
               "files); quorvex does not, on this Windows.");
    return make(severity::action_differs, text);
}

std::optional<finding> download_mode(const report_facts &f) {
    if (!f.r.action_scanned || !polls(f)) {
        return std::nullopt;
    }
    std::string text;
    for (const port_at &p : f.where.ports) {
        if (is_ours(*p.port) && p.port->pid == download_product_id && f.r.download_done) {
            line(text,
                 "%s: 7A31:2132, the download-mode device, is there: quorvex installs its "
                 "package in this pass, and the polling ends.",
                 f.place_of(p).c_str());
            return make(severity::information, text);
        }
    }
    line(text, "7A31:2132, the download-mode device, is not here: the polling goes on until it "
               "appears, or to its bound (below).");
    line(text, "It appears when the device is put into download mode; quorvex then installs its "
               "package and ends.");
    return make(severity::information, text);
}

std::optional<finding> walked_twice(const report_facts &f, std::size_t controller) {
    if (!f.r.action_scanned || !f.where.walked_twice(controller)) {
        return std::nullopt;
    }
    std::size_t twice = 0;
    for (const port_at &p : f.where.ports) {
        const port_ref ref{p.hub_path, p.port->port};
        std::size_t walks = 0;
        for (const walk &w : f.scan.walks) {
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
         f.where.controller_name(controller).c_str());
    return make(severity::information, text);
}

// What quorvex ARG does here, where nothing stands in its way.
finding nothing_in_the_way(const report_facts &f) {
    std::string text;
    if (f.r.argument == nullptr) {
        line(text, "Nothing in the way of quorvex's scan here (give ARG to see what quorvex ARG "
                   "runs).");
    } else if (f.r.action_scanned && !f.r.download_done) {
        line(text,
             "Nothing in the way: quorvex %s polls here, %lu commands a pass, until the "
             "device is put into download mode (7A31:2132).",
             f.r.argument, static_cast<unsigned long>(f.action.commands));
    } else {
        std::size_t commands = 0;
        for (const rec::call &c : *f.r.action) {
            commands += std::string_view(c.function) == "CreateProcessA" ? 1 : 0;
        }
        line(text, "Nothing in the way: quorvex %s runs %lu command%s here and ends.", f.r.argument,
             static_cast<unsigned long>(commands), commands == 1 ? "" : "s");
    }
    return make(severity::information, text);
}

} // namespace

findings find_findings(const report_facts &f) {
    findings out;
    if (f.r.file_findings != nullptr) {
        out = *f.r.file_findings;
    }
    auto add = [&out](std::optional<finding> found) {
        if (found) {
            out.push_back(std::move(*found));
        }
    };
    add(no_action(f));
    add(hidden_install(f));
    add(direct_install(f));
    for (const box &b : f.boxes) {
        add(f.shows_scan ? skipped_by_box(f, b) : std::nullopt);
    }
    for (const port_at &p : f.where.ports) {
        add(connection_trouble(f, p));
        add(unknown_product(f, p));
        add(device_problem(f, p));
    }
    add(download_mode(f));
    for (std::size_t i = 0; i < f.m.controllers.size(); ++i) {
        add(walked_twice(f, i));
    }
    std::stable_sort(out.begin(), out.end(),
                     [](const finding &a, const finding &b) { return a.level < b.level; });
    if (out.empty() || out.front().level == severity::information) {
        out.insert(out.begin(), nothing_in_the_way(f));
    }
    return out;
}
