// The checks of the action ARG chose: none, another than bit 7, bit 7 installing
// directly, the polling, and a controller walked twice.
#include "capture/report/checks/checks.h"

#include "capture/report/value_texts.h"
#include "front/entry.h"
#include "policy/install.h"

#include <cctype>
#include <cstring>

namespace {

// How quorvex reads ARG (as atoi does): white space, a sign, then decimal digits
// up to the first other character. `stop` is where it stops: the text's end for a
// plain decimal number.
struct decimal_read {
    std::size_t stop = 0;
    bool digits = false;
};

decimal_read read_decimal(const std::string &text) {
    decimal_read r;
    std::size_t at = text.find_first_not_of(" \t\n\v\f\r");
    at = at == std::string::npos ? text.size() : at;
    at += at < text.size() && (text[at] == '+' || text[at] == '-') ? 1 : 0;
    for (; at < text.size() && std::isdigit(static_cast<unsigned char>(text[at])) != 0; ++at) {
        r.digits = true;
    }
    r.stop = at;
    return r;
}

// The number a text means where it is written in hex ("0x80", "80h"): none
// where it is not hex.
std::optional<unsigned long> hex_meant(std::string text) {
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        text.erase(0, 2);
    } else if (text.size() > 1 && (text.back() == 'h' || text.back() == 'H')) {
        text.pop_back();
    }
    const bool hex = !text.empty() && text.size() <= 8 &&
                     text.find_first_not_of("0123456789abcdefABCDEF") == std::string::npos;
    return hex ? std::optional<unsigned long>(std::stoul(text, nullptr, 16)) : std::nullopt;
}

bool plain_decimal(const char *argument) {
    const decimal_read r = read_decimal(argument);
    return r.digits && r.stop == std::strlen(argument);
}

} // namespace

check not_decimal(const report_view &v) {
    if (v.in.argument == nullptr || plain_decimal(v.in.argument)) {
        return std::nullopt;
    }
    const std::string arg = v.in.argument;
    const decimal_read r = read_decimal(arg);
    std::string text;
    if (r.stop < arg.size()) {
        line(text,
             "ARG %s is not a decimal number: quorvex reads decimal digits and stops at "
             "\"%c\", so it reads %s as %u.",
             arg.c_str(), arg[r.stop], arg.c_str(), static_cast<unsigned>(v.flags));
    } else {
        line(text, "ARG \"%s\" holds no decimal number: quorvex reads it as 0.", arg.c_str());
    }
    if (const std::optional<unsigned long> meant = hex_meant(arg)) {
        line(text, "%s in hex is %lu in decimal. To do: give quorvex %lu.", arg.c_str(), *meant,
             *meant);
    } else {
        line(text, "To do: give ARG in decimal digits only (128 for bit 7).");
    }
    return finding{severity::action_differs, text};
}

check removal_cancelled(const report_view &v) {
    if (v.in.argument == nullptr || (v.flags & bit_update_off) == 0) {
        return std::nullopt;
    }
    std::string text;
    if ((v.flags & bit_update_on) == 0) {
        line(text,
             "ARG %s sets bit 1, which cancels bit 0; bit 0 is not set, so bit 1 has no "
             "effect.",
             v.in.argument);
        return finding{severity::information, text};
    }
    if (acting_action(v.flags, v.m.major) != action::poll) {
        return std::nullopt;
    }
    line(text,
         "ARG %s sets bit 0 (remove before install) and bit 1, which cancels it: the "
         "removals bit 0 asks for never run, and quorvex installs over what is installed.",
         v.in.argument);
    line(text,
         "To do: give %u (without bit 1) for the removals to run, or %u (without bit 0) "
         "where none is meant.",
         static_cast<unsigned>(v.flags & ~bit_update_off),
         static_cast<unsigned>(v.flags & ~bit_update_on));
    return finding{severity::action_differs, text};
}

check no_action(const report_view &v) {
    if (v.in.argument == nullptr || acting_bit(v.flags) != 0 || !plain_decimal(v.in.argument)) {
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
