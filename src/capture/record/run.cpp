// The recorded run: the modes ARG sets, the version call, the action and the
// scan, each a stretch of the journal.
#include "capture/record/run.h"

#include "capture/read/pass.h"
#include "front/entry.h"
#include "shared/modes.h"
#include "usb_enum/usb_enum.h"

#include <cstring>

namespace {

// The entries recorded since `from`: one stretch of the run.
std::vector<rec::entry> since(std::size_t from) {
    const std::vector<rec::entry> &all = rec::journal();
    return std::vector<rec::entry>(all.begin() + static_cast<std::ptrdiff_t>(from), all.end());
}

} // namespace

OSVERSIONINFOA read_version() {
    OSVERSIONINFOA version;
    std::memset(&version, 0, sizeof version);
    version.dwOSVersionInfoSize = sizeof version;
    GetVersionExA(&version);
    return version;
}

recorded_run record_run(const char *argument) {
    // The modes as the tool sets them from the argument; none without one.
    bSelsusp_mode = 0;
    bXcontrol_mode = 0;
    bUpdate_mode = 0;
    bVcp_done = 0;
    const std::uint8_t flags = argument != nullptr ? convert_flags(argument) : 0;
    apply_mode_bits(flags);

    std::size_t from = rec::journal().size();
    read_version();
    recorded_run run;
    run.scan = since(from);
    if (argument != nullptr) {
        from = rec::journal().size();
        run_action(flags, 1);
        run.action = since(from);
    }
    if (read_pass(run.action).opened) { // every pass opens \\.\HCD0 first
        run.scan.insert(run.scan.end(), run.action.begin(), run.action.end());
    } else {
        from = rec::journal().size();
        scan_usb();
        const std::vector<rec::entry> pass = since(from);
        run.scan.insert(run.scan.end(), pass.begin(), pass.end());
    }
    run.download_done = bVcp_done != 0;
    return run;
}
