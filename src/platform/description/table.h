// A machine description as the machine model's table (platform/model/model.h):
// what the emulated machine answers from, what the Wine stand-in is loaded with,
// and what recorded calls can be put through again.
#pragma once

#include "platform/description/model.h"

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace desc {

// Every controller, hub, port and device-tree node the machine and its changes
// can show, its changes, and the faults the machine answers (those planted in
// starting processes are not the machine's).
std::vector<std::uint8_t> machine_table(const machine &m);

// The paths that open something, by their text with ASCII letters lowered: the
// path as the tool opens it, and the controller's index (QVM_NONE: a hub's name).
using device_map = std::map<std::string, std::pair<std::string, std::uint32_t>>;
device_map device_paths(const machine &m);
// The path the interface list gives controller `index`: its stated one, or one
// made from its device ID (from its place, where that ID is not its own).
std::string interface_path(const machine &m, std::size_t index);
// The path the interface list gives a controller of this device ID: \\?\, the ID
// in lower case with # for \, then # and the host controllers' interface class.
std::string interface_path_of(const std::string &device_id);

// Texts of a description (UTF-8) as the platform hands them out: UTF-16 for the
// USB stack's replies, the ANSI code page (Windows-1252, without best fit) for
// the ...A calls.
std::u16string utf8_to_utf16(const std::string &text);
std::string utf16_to_ansi(const char16_t *text, std::size_t units, char default_char,
                          bool *used_default);
std::string utf8_to_ansi(const std::string &text);
// Back to a description's UTF-8: the USB stack's UTF-16, and ANSI text.
std::string utf16_to_utf8(const std::u16string &units);
std::string ansi_to_utf8(const std::string &text);
// ASCII letters lowered, as paths and device IDs are compared.
std::string lower(std::string text);

} // namespace desc
