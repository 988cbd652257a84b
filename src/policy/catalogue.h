// The install command catalogue: every install command line that depends on a
// chip family, kept as fixed read-only slots, and the three lookups into them.
#pragma once

#include <cstddef>
#include <cstdint>

// A command line sits in a slot of 260 bytes: at most 259 characters, its NUL,
// and zero bytes to the end of the slot.
constexpr std::size_t command_slot_size = 260;
typedef char command_slot[command_slot_size];

constexpr unsigned family_count = 5;
constexpr unsigned base_slot_count = 4;
constexpr unsigned config_group_count = 3; // d0, d1, d2
constexpr unsigned config_slots_per_group = 4;
constexpr unsigned config_slot_count = config_group_count * config_slots_per_group;

// Slots within a configuration group.
constexpr unsigned config_slot_enum = 0;
constexpr unsigned config_slot_enum_selsusp = 1;
constexpr unsigned config_slot_modem = 2;
constexpr unsigned config_slot_obex = 3;

// Written by one family's sequence before it installs the external-control package.
extern const char ext_ctrl_install_trace[];

// The family's base package for the two variant modes (selsusp 0 or 2, xcontrol
// 0 or 1): slot selsusp + xcontrol of its base table.
// Empty pointer when the family or the mode sum lies outside the table.
const char *base_command(unsigned family, std::uint8_t selsusp_mode, std::uint8_t xcontrol_mode);

// The configuration enumerator package of a family's configuration (variant 0
// to 2): its selective-suspend edition when selsusp_mode is non-zero.
// Empty pointer when the family or the variant lies outside the table.
const char *config_enum_command(unsigned family, unsigned variant, std::uint8_t selsusp_mode);

// Slot `slot` (config_slot_modem or config_slot_obex, or any other slot of the
// group) of a family's configuration group `variant`.
// Empty pointer when the family, the variant or the slot lies outside the table.
const char *config_command(unsigned family, unsigned variant, unsigned slot);
