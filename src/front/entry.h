// The tool's entry: argument echo, flag conversion, mode bytes, one action.
#pragma once

#include <cstdint>

// The flag byte of an argument: read as atoi reads a number (leading white
// space, optional sign, digits up to the first non-digit; no number gives 0),
// keeping the low 8 bits of the exact value, however many digits it has.
std::uint8_t convert_flags(const char *argument);

// Sets the mode bytes from bits 0 to 3 of the flag byte.
void apply_mode_bits(std::uint8_t flags);

// The flag bits: bits 0 to 3 choose how installs run, bits 4 to 7 each name
// an action.
enum : std::uint8_t {
    bit_update_on = 0x01,
    bit_update_off = 0x02, // cancels bit 0
    bit_selsusp = 0x04,
    bit_xcontrol = 0x08,
    bit_download_reinstall = 0x10,
    bit_remove_composite = 0x20,
    bit_remove_download = 0x40,
    bit_download_install = 0x80,
};
constexpr std::uint8_t action_bits = 0xF0;

// From this Windows major version on, bit 7 installs the download-mode package
// directly instead of polling.
constexpr std::uint32_t direct_install_major = 6;

enum class action : std::uint8_t {
    none,
    download_reinstall, // bit 4: remove the download-mode drivers, install its package
    remove_composite,   // bit 5
    remove_download,    // bit 6
    download_install,   // bit 7, from version 6 on
    poll,               // bit 7, before version 6
};

// The bit that acts: the lowest of bits 4 to 7 that is set (0: none).
std::uint8_t acting_bit(std::uint8_t flags);

// The action that acts for a flag byte on Windows `major`.
action acting_action(std::uint8_t flags, std::uint32_t major);

// The one action bits 4 to 7 choose (the first of them that is set), with at
// most `polling_passes` passes where it polls.
void run_action(std::uint8_t flags, unsigned polling_passes);

// The tool polls at most this many times: about seven hours.
constexpr unsigned max_polling_passes = 100000;

// The pause before each polling pass.
constexpr std::uint32_t polling_pause_ms = 250;

// Repeats, at most `passes` times, a 250-millisecond sleep and one scan pass,
// until the download-mode device has been handled.
void poll_for_device(unsigned passes);

// The whole run; returns the exit status (always 1).
int quorvex_main(int argc, char **argv);
