// One polling pass on the machine as it stands; a pass that ends holding a
// tracked block, a platform block or a handle it did not hold before is a finding.
#pragma once

#include "shared/modes.h"
#include "platform/emu/emu.h"
#include "usb_enum/usb_enum.h"

#include <cstdint>
#include <cstdlib>

inline void scan_once_holding_nothing(std::uint8_t update, std::uint8_t selsusp,
                                      std::uint8_t xcontrol) {
    const std::size_t handles = emu::open_handles();
    const std::size_t blocks = emu::live_global_blocks();
    bUpdate_mode = update;
    bSelsusp_mode = selsusp;
    bXcontrol_mode = xcontrol;
    bVcp_done = 0;
    scan_usb();
    if (emu::open_handles() != handles || emu::live_global_blocks() != blocks ||
        !list_empty(&alloc_list)) {
        std::abort();
    }
}
