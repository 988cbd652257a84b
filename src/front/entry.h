// The tool's entry: argument echo, flag conversion, mode bytes, one action.
#pragma once

#include <cstdint>

// The flag byte of an argument: read as atoi reads a number (leading white
// space, optional sign, digits up to the first non-digit; no number gives 0),
// keeping the low 8 bits of the exact value, however many digits it has.
std::uint8_t convert_flags(const char *argument);

// Sets the mode bytes from bits 0 to 3 of the flag byte.
void apply_mode_bits(std::uint8_t flags);

// The one action bits 4 to 7 choose (the first of them that is set), with at
// most `polling_passes` passes where it polls.
void run_action(std::uint8_t flags, unsigned polling_passes);

// The tool polls at most this many times: about seven hours.
constexpr unsigned max_polling_passes = 100000;

// Repeats, at most `passes` times, a 250-millisecond sleep and one scan pass,
// until the download-mode device has been handled.
void poll_for_device(unsigned passes);

// The whole run; returns the exit status (always 1).
int quorvex_main(int argc, char **argv);
