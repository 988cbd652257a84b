// How quorvex reads its argument, in words: the byte its own conversion makes
// (front/flags.cpp), each bit set and what it means, and the one action that
// acts. The capture's report and scripts/rehearse.sh (through
// `quorvex-capture --explain ARG`) both show this text.
#include "capture/report/sections/sections.h"

#include "capture/report/value_texts.h"
#include "front/entry.h"

#include <bit>
#include <cstdio>

namespace {

// Each bit's meaning, and the action's in words where it does not scan.
const char *const bit_names[8] = {
    "remove before install",
    "cancels bit 0",
    "selective-suspend editions",
    "external-control editions",
    "reinstall the download-mode package",
    "remove the composite drivers",
    "remove the download-mode drivers",
    nullptr, // bit 7: by the Windows version
};

const char *action_words(action a) {
    switch (a) {
    case action::download_reinstall:
        return "quorvex removes the download-mode drivers, then installs the download-mode "
               "package; it does not scan";
    case action::remove_composite:
        return "quorvex removes the composite drivers; it does not scan";
    case action::remove_download:
        return "quorvex removes the download-mode drivers; it does not scan";
    default:
        return "";
    }
}

// The argument as written, quoted where white space or nothing would hide it.
std::string shown(const char *arg) {
    std::string text = arg;
    bool plain = !text.empty();
    for (const char c : text) {
        plain = plain && c > ' ' && c != '"';
    }
    return plain ? text : "\"" + text + "\"";
}

// Each bit set, its meaning (bit 7's by the Windows version), and for an action
// bit that does not act, which does.
std::string bits_text(std::uint8_t flags, std::uint32_t major) {
    const bool direct = acting_action(bit_download_install, major) == action::download_install;
    std::string out;
    const char *separator = " ";
    const unsigned acts = std::countr_zero(acting_bit(flags));
    for (unsigned bit = 0; bit < 8; ++bit) {
        const std::uint8_t mask = static_cast<std::uint8_t>(1u << bit);
        if ((flags & mask) == 0) {
            continue;
        }
        out += separator + std::string("bit ") + std::to_string(bit) + ", " +
               (mask != bit_download_install ? bit_names[bit]
                : direct                     ? "install the download-mode package"
                                             : "poll for devices");
        separator = "; ";
        if ((mask & action_bits) != 0 && bit != acts) {
            out += " (not acted on: bit " + std::to_string(acts) + " acts)";
        }
    }
    return flags == 0 ? " no bit set" : out;
}

} // namespace

std::string argument_text(const char *arg, std::uint32_t major, std::uint32_t minor) {
    const std::uint8_t flags = convert_flags(arg);
    const action acting = acting_action(flags, major);
    char text[160];
    std::snprintf(text, sizeof text, " is read as 0x%02X:", static_cast<unsigned>(flags));
    const std::string out = shown(arg) + text + bits_text(flags, major);
    if (acting == action::none) {
        return out + "\nno action: quorvex does nothing" +
               (flags != 0 ? " (bits 0 to 3 only choose how installs run)\n" : "\n");
    }
    if (acting != action::download_install && acting != action::poll) {
        return out + "\nthe action: bit " + std::to_string(std::countr_zero(acting_bit(flags))) +
               ": " + action_words(acting) + "\n";
    }
    std::snprintf(text, sizeof text,
                  acting == action::download_install
                      ? "\nthe action: bit 7: on Windows %u.%u (6.0 and later) quorvex installs "
                        "the download-mode package directly; it does not scan\n"
                      : "\nthe action: bit 7: on Windows %u.%u (before 6.0) quorvex polls the "
                        "USB topology until the download-mode device %s is installed\n",
                  static_cast<unsigned>(major), static_cast<unsigned>(minor),
                  download_ids().c_str());
    return out + text;
}
