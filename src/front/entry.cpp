#include "front/entry.h"

#include "exec/commands.h"
#include "shared/modes.h"
#include "platform/win32.h"
#include "usb_enum/usb_enum.h"

#include <cstdio>
#include <cstring>

namespace {

constexpr int exit_status = 1;

// Bit 7: the download-mode install, directly from version 6 on, otherwise by
// polling the USB topology until the download-mode device shows up.
void download_install_or_poll(unsigned polling_passes) {
    OSVERSIONINFOA version;
    std::memset(&version, 0, sizeof version);
    version.dwOSVersionInfoSize = sizeof version;
    GetVersionExA(&version); // on failure the record stays zero: major 0 polls
    if (acting_action(bit_download_install, version.dwMajorVersion) == action::download_install) {
        run_command(vcp_install_command);
    } else {
        poll_for_device(polling_passes);
    }
}

} // namespace

void apply_mode_bits(std::uint8_t flags) {
    if (flags & bit_update_on) {
        bUpdate_mode = 1;
    }
    if (flags & bit_update_off) {
        bUpdate_mode = 0;
    }
    if (flags & bit_selsusp) {
        bSelsusp_mode = 2;
    }
    if (flags & bit_xcontrol) {
        bXcontrol_mode = 1;
    }
}

std::uint8_t acting_bit(std::uint8_t flags) {
    const std::uint8_t bits = flags & action_bits;
    return static_cast<std::uint8_t>(bits & -bits);
}

action acting_action(std::uint8_t flags, std::uint32_t major) {
    switch (acting_bit(flags)) {
    case bit_download_reinstall:
        return action::download_reinstall;
    case bit_remove_composite:
        return action::remove_composite;
    case bit_remove_download:
        return action::remove_download;
    case bit_download_install:
        return major >= direct_install_major ? action::download_install : action::poll;
    default:
        return action::none;
    }
}

void run_action(std::uint8_t flags, unsigned polling_passes) {
    switch (acting_bit(flags)) {
    case bit_download_reinstall:
        remove_dl_drivers();
        run_command(vcp_install_command);
        break;
    case bit_remove_composite:
        remove_cdc_drivers();
        break;
    case bit_remove_download:
        remove_dl_drivers();
        break;
    case bit_download_install:
        download_install_or_poll(polling_passes);
        break;
    default:
        break;
    }
}

void poll_for_device(unsigned passes) {
    for (unsigned pass = 0; pass < passes; ++pass) {
        Sleep(polling_pause_ms);
        if (scan_usb() != 0) {
            return;
        }
    }
}

int quorvex_main(int argc, char **argv) {
    bSelsusp_mode = 0;
    bXcontrol_mode = 0;

    // With no argument at all the echo shows empty text and nothing is selected.
    const char *argument = argc > 1 ? argv[1] : nullptr;
    crt_printf("KX: input =%s\n", argument != nullptr ? argument : "");
    if (argc == 3) {
        crt_printf("\nJust run quorvex.exe and it will show the options shown as below.\n");
        return exit_status;
    }

    const std::uint8_t flags = convert_flags(argument);
    apply_mode_bits(flags);
    run_action(flags, max_polling_passes);
    std::fflush(stdout);
    return exit_status;
}
