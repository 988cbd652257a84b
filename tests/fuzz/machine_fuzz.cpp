// The machine-description loader on arbitrary text: it accepts a description
// or names one fault, and never fails otherwise. A description it accepts that
// records its commands on the virtual clock is then polled once, and the pass
// must end holding nothing.
#include "scan_once.h"
#include "platform/emu/emu.h"
#include "platform/emu/state.h"
#include "usb_enum/usb_enum.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    const std::string text(reinterpret_cast<const char *>(data), size);
    const std::string fault = emu::load_machine_text(text, "fuzz");
    if (!fault.empty()) {
        // One line naming the description and the place.
        if (fault.rfind("fuzz: ", 0) != 0) {
            std::abort();
        }
        for (char c : fault) {
            if (static_cast<unsigned char>(c) < 0x20) {
                std::abort();
            }
        }
        return 0;
    }
    const emu::machine &m = emu::st().m;
    if (!m.record_processes || !m.virtual_clock) {
        return 0; // real processes or real pauses: not run here
    }
    scan_once_holding_nothing(1, 0, 0);
    return 0;
}
