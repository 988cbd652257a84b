// Arbitrary replies from the USB stack: the input plants raw reply bytes,
// stated lengths and failures in the emulated DeviceIoControl for the name
// queries, the node information and the connection queries, then one polling
// pass walks a machine with a controller, its root hub and an external hub.
// Blocks above 1 MiB are refused: a stated length that large fails to allocate
// at once instead of costing the sanitizer's bookkeeping for gigabytes.
// Whatever the replies, the pass ends holding no block and no handle.
#include "scan_once.h"
#include "platform/emu/emu.h"
#include "usb_enum/usb_enum.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

namespace {

const char machine_text[] = R"({
  "os_version": {"major": 5, "minor": 1}, "clock": "virtual", "processes": "record",
  "largest_block": 1048576,
  "controllers": [{
    "number": 0, "interface": true,
    "driver_key": "{36fc9e60-c465-11cf-8056-444553540000}\\0000",
    "device_id": "PCI\\VEN_8086&DEV_24C2&SUBSYS_01451028&REV_01\\3&172E68DD&0&E8",
    "root_hub": {"name": "USB#ROOT_HUB#4&1a2b3c&0#{f18a0e88-c30c-11d0-8815-00a0c906bed8}",
      "port_count": 4, "ports": [
        {"port": 1, "vid": "0x05E3", "pid": "0x0608",
         "hub": {"name": "USB#VID_05E3&PID_0608#5&2c3d&0&1#{f18a0e88-c30c-11d0-8815-00a0c906bed8}",
                 "port_count": 2, "ports": [{"port": 2, "vid": "0x7A31", "pid": "0xE221"}]}},
        {"port": 2, "vid": "0x7A31", "pid": "0xE52C", "legacy_query": true},
        {"port": 4, "vid": "0x7A31", "pid": "0x2132"}]}}]})";

// The control codes the scan sends.
constexpr std::uint32_t codes[] = {0x220408, 0x22040C, 0x220414, 0x220420, 0x220424, 0x220448};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    static const bool loaded = emu::load_machine_text(machine_text, "replies").empty();
    if (!loaded) {
        std::abort();
    }
    emu::load_machine_text(machine_text, "replies"); // a fresh machine: clock, counts
    FuzzedDataProvider input(data, size);
    for (int planted = 0; planted < 8 && input.remaining_bytes() > 0; ++planted) {
        emu::fault f;
        f.function = "DeviceIoControl";
        f.ioctl = input.PickValueInArray(codes);
        f.port = input.ConsumeIntegralInRange<std::uint32_t>(0, 5);
        f.nth = input.ConsumeIntegralInRange<std::uint32_t>(0, 4);
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
