// The process-wide mode bytes set from the command line, and the flag that ends
// the polling once the download-mode device has been handled.
#pragma once

#include <cstdint>

extern std::uint8_t bUpdate_mode;   // 0 or 1: composite installs run the removal set first
extern std::uint8_t bSelsusp_mode;  // 0 or 2: selective-suspend editions
extern std::uint8_t bXcontrol_mode; // 0 or 1: external-control editions
extern std::int32_t bVcp_done;      // 0 or 1: download-mode device handled
