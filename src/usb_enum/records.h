// What the scan exchanges with the USB stack besides the port connection record:
// the node information reply and the control codes.
#pragma once

#include "shared/port_connection.h"

#include <cstddef>
#include <cstdint>

// USB_NODE_INFORMATION as the hub answers it: 76 bytes, bNumberOfPorts at 6.
constexpr std::uint32_t node_information_size = 76;
constexpr std::size_t node_information_port_count_offset = 6;

// The USB control codes.
constexpr std::uint32_t ioctl_usb_get_root_hub_name = 0x220408;
constexpr std::uint32_t ioctl_usb_get_node_information = 0x220408;
constexpr std::uint32_t ioctl_get_hcd_driverkey_name = 0x220424;
constexpr std::uint32_t ioctl_usb_get_node_connection_driverkey_name = 0x220420;
constexpr std::uint32_t ioctl_usb_get_node_connection_name = 0x220414;
constexpr std::uint32_t ioctl_usb_get_node_connection_information_ex = 0x220448;
constexpr std::uint32_t ioctl_usb_get_node_connection_information = 0x22040C;
