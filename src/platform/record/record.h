// What the recording layer kept of the platform's answers, in the order the calls
// were made. The capture program reads it; nothing here calls the platform.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace rec {

struct call {
    const char *function = "";       // "DeviceIoControl", "CM_Get_Child", "Sleep", ...
    std::string device;              // the device path a call was for (opens, control codes)
    std::uint32_t code = 0;          // control code; property; interface index; milliseconds
    std::uint32_t port = 0;          // ConnectionIndex sent with a control code
    std::uint32_t out_size = 0;      // the output buffer's size
    std::uint64_t size = 0;          // the bytes GlobalAlloc was asked for
    bool ok = false;                 // the call succeeded
    std::uint32_t error = 0;         // last error after a failure; a CONFIGRET as returned
    std::vector<std::uint8_t> reply; // a control code's reply, as far as it was returned;
                                     // the UTF-16 text a conversion was given
    std::string text; // text read or shown: IDs, paths, commands, traces, boxes, conversions
    std::uint32_t node = 0;          // the device node asked about
    std::uint32_t result_node = 0;   // the device node a navigation call gave
    std::uint32_t required = 0;      // the size a detail call asked for
    std::uint32_t major = 0, minor = 0, build = 0; // GetVersionExA
};

// Every call recorded since the last clear.
const std::vector<call> &calls();
void clear();

} // namespace rec
