// Matching a connected USB device to its driver packages and running their
// install sequence.
#pragma once

#include "policy/catalogue.h"
#include "shared/port_connection.h"

#include <cstddef>
#include <cstdint>

// The vendor ID of every handled device, and the product ID of the download-mode
// device.
constexpr std::uint16_t handled_vendor_id = 0x7A31;
constexpr std::uint16_t download_product_id = 0x2132;

// Twenty product IDs, five chip families of four variants each: entry i is
// family i / 4, variant i % 4. Variants 0 to 2 are the composite configurations
// d0 to d2, variant 3 the MTP-only device.
constexpr std::size_t product_count = 20;
constexpr unsigned variants_per_family = 4;
constexpr unsigned mtp_only_variant = 3;
extern const std::uint32_t product_table[product_count];

// The one buffer every trace line is formatted into before it goes to the
// debugger output: room for the longest slot text, a line feed and the NUL.
constexpr std::size_t trace_buffer_size = command_slot_size + 1;
extern char trace_buffer[trace_buffer_size];

// Writes `text` followed by a line feed to the debugger output through
// trace_buffer; a text too long for the buffer is cut short, never overflows it.
void trace_line(const char *text);

// The download-mode device gets the virtual-COM package and ends the polling:
// returns true (and sets bVcp_done) when `connection` is that device and its
// install was run, false otherwise.
bool handle_download_device(const port_connection *connection);

// Runs the install sequence for the device on `connection` if it is one of the
// twenty handled products; anything else is left alone. `selsusp_mode` and
// `xcontrol_mode` are the variant modes the calling port loop captured at its
// start; bUpdate_mode is read when the device is matched.
void install_for_port(const port_connection *connection, std::uint8_t selsusp_mode,
                      std::uint8_t xcontrol_mode);
