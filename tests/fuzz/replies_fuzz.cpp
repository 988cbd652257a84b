// Arbitrary replies from the USB stack: the input plants raw reply bytes,
// stated lengths and failures in the emulated DeviceIoControl for the name
// queries, the node information and the connection queries, then one polling
// pass walks a machine with a controller, its root hub and an external hub.
// Blocks above 1 MiB are refused: a stated length that large fails to allocate
// at once instead of costing the sanitizer's bookkeeping for gigabytes.
// Whatever the replies, the pass ends holding no block and no handle.
#include "machine_builder.h"
#include "scan_once.h"
#include "platform/emu/emu.h"
#include "usb_enum/usb_enum.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

namespace {

// Controller 0, numbered and listed: an external hub on port 1 with a device
// on its port 2, a device answering only the older connection query on port 2,
// the download-mode device on port 4.
std::string replies_machine() {
    using namespace testkit;
    controller c = numbered_controller(
        0, root_hub(0, 4,
                    {hub_port(1, external_hub(0, 1, 2, {device(2, 0x7A31, 0xE221)})),
                     {.port = 2, .vid = 0x7A31, .pid = 0xE52C, .legacy_only = true},
                     device(4, 0x7A31, 0x2132)}));
    c.interface = true;
    machine m = machine_of({c});
    m.largest_block = 1048576;
    return description(m);
}

// The control codes the scan sends.
constexpr std::uint32_t codes[] = {0x220408, 0x22040C, 0x220414, 0x220420, 0x220424, 0x220448};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    static const std::string machine_text = replies_machine();
    // A fresh machine each time: clock, counts.
    if (!emu::load_machine_text(machine_text, "replies").empty()) {
        std::abort();
    }
    FuzzedDataProvider input(data, size);
    for (int planted = 0; planted < 8 && input.remaining_bytes() > 0; ++planted) {
        // The list's elements are read in order, as the input gives them.
        emu::fault f = {.function = "DeviceIoControl",
                        .ioctl = input.PickValueInArray(codes),
                        .port = input.ConsumeIntegralInRange<std::uint32_t>(0, 5),
                        .nth = input.ConsumeIntegralInRange<std::uint32_t>(0, 4)};
        switch (input.ConsumeIntegralInRange<int>(0, 2)) {
        case 0:
            f.action = emu::fault::raw_reply;
            f.bytes =
                input.ConsumeBytes<std::uint8_t>(input.ConsumeIntegralInRange<std::size_t>(0, 400));
            break;
        case 1:
            f.action = emu::fault::actual_length;
            f.length = input.ConsumeIntegral<std::uint32_t>();
            break;
        default:
            f.action = emu::fault::fail;
            f.error = input.ConsumeIntegral<std::uint32_t>();
            break;
        }
        emu::add_fault(f);
    }
    scan_once_holding_nothing(0, 2, 1);
    return 0;
}
