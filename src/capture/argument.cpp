// How quorvex reads its argument, in words: the byte its own conversion makes
// (front/flags.cpp), each bit set and what it means, and the one action that
// acts. The capture's report and scripts/rehearse.sh (through
// `quorvex-capture --explain ARG`) both show this text.
#include "capture/argument.h"

#include "front/entry.h"

#include <cstdio>

namespace {

// Bits 0 to 3 choose how installs run; bits 4 to 7 each name an action, and
// the lowest of them that is set is the one that acts.
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
const char *const action_words[8] = {
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    ("quorvex removes the download-mode drivers, then installs the download-mode package; it "
     "does not scan"),
    "quorvex removes the composite drivers; it does not scan",
    "quorvex removes the download-mode drivers; it does not scan",
    nullptr,
};
constexpr unsigned first_action_bit = 4;
constexpr unsigned download_bit = 7;
constexpr std::uint32_t direct_install_major = 6;

// The argument as written, quoted where white space or nothing would hide it.
std::string shown(const char *arg) {
    std::string text = arg;
    bool plain = !text.empty();
    for (const char c : text) {
        plain = plain && c > ' ' && c != '"';
    }
    return plain ? text : "\"" + text + "\"";
}

} // namespace

std::string argument_text(const char *arg, std::uint32_t major, std::uint32_t minor) {
    const std::uint8_t flags = convert_flags(arg);
    const bool direct = major >= direct_install_major;
    char text[160];
    std::snprintf(text, sizeof text, " is read as 0x%02X:", static_cast<unsigned>(flags));
    std::string out = shown(arg) + text;
    int action = -1;
    const char *separator = " ";
    for (unsigned bit = 0; bit < 8; ++bit) {
        if ((flags & (1u << bit)) == 0) {
            continue;
        }
        out += separator + std::string("bit ") + std::to_string(bit) + ", " +
               (bit != download_bit ? bit_names[bit]
                : direct            ? "install the download-mode package"
                                    : "poll for devices");
        separator = "; ";
        if (bit >= first_action_bit && action < 0) {
            action = static_cast<int>(bit);
        } else if (bit >= first_action_bit) {
            out += " (not acted on: bit " + std::to_string(action) + " acts)";
        }
    }
    if (flags == 0) {
        out += " no bit set";
    }
    if (action < 0) {
        return out + "\nno action: quorvex does nothing" +
               (flags != 0 ? " (bits 0 to 3 only choose how installs run)\n" : "\n");
    }
    if (action != static_cast<int>(download_bit)) {
        return out + "\nthe action: bit " + std::to_string(action) + ": " + action_words[action] +
               "\n";
    }
    std::snprintf(text, sizeof text,
                  direct ? "\nthe action: bit 7: on Windows %u.%u (6.0 and later) quorvex installs "
                           "the download-mode package directly; it does not scan\n"
                         : "\nthe action: bit 7: on Windows %u.%u (before 6.0) quorvex polls the "
                           "USB topology until the download-mode device 7A31:2132 is installed\n",
                  static_cast<unsigned>(major), static_cast<unsigned>(minor));
    return out + text;
}
