// The failure sites of quorvex's scan: what each means, what the scan then skips,
// and the platform calls whose failure can cause it.
#include "capture/sites.h"

#include <cstdio>
#include <cstring>
#include <iterator>

namespace {

constexpr const char *skips_root_hub = "the root hub: box 1917 follows; no port of it is walked";
constexpr const char *skips_controller = "the controller: box 1920 follows; it is not walked";
constexpr const char *skips_nothing_port = "nothing: the install for the port still runs";
constexpr const char *skips_inner_hub = "the external hub on this port and every port below it";
constexpr const char *skips_hub = "this hub and every port below it";
constexpr const char *too_short = "the reply was too short";

constexpr const char *root_hub_name = "DeviceIoControl 0x220408";
constexpr const char *controller_key = "DeviceIoControl 0x220424";
constexpr const char *port_key = "DeviceIoControl 0x220420";
constexpr const char *port_hub_name = "DeviceIoControl 0x220414";
constexpr const char *memory = "GlobalAlloc";

constexpr failure_site sites[] = {
    {362, "the root hub name query failed", about::controller, skips_root_hub, root_hub_name,
     nullptr, ""},
    {373, "no memory for the root hub name", about::controller, skips_root_hub, memory,
     "the reply stated no length", root_hub_name},
    {389, "the root hub name could not be read", about::controller, skips_root_hub, root_hub_name,
     nullptr, root_hub_name},
    {545, "the controller's driver key query failed", about::controller, skips_controller,
     controller_key, nullptr, ""},
    {554, "the controller's driver key reply is too short", about::controller, skips_controller, "",
     too_short, controller_key},
    {561, "no memory for the controller's driver key", about::controller, skips_controller, memory,
     nullptr, controller_key},
    {578, "the controller's driver key could not be read", about::controller, skips_controller,
     controller_key, nullptr, ""},
    {451, "a port's driver key query failed", about::port, skips_nothing_port, port_key, nullptr,
     ""},
    {460, "a port's driver key reply is too short", about::port, skips_nothing_port, "", too_short,
     port_key},
    {467, "no memory for a port's driver key", about::port, skips_nothing_port, memory, nullptr,
     port_key},
    {486, "a port's driver key could not be read", about::port, skips_nothing_port, port_key,
     nullptr, ""},
    {1058, "the external hub name query failed", about::port, skips_inner_hub, port_hub_name,
     nullptr, ""},
    {1067, "the external hub name reply is too short", about::port, skips_inner_hub, "", too_short,
     port_hub_name},
    {1074, "no memory for an external hub name", about::port, skips_inner_hub, memory, nullptr,
     port_hub_name},
    {1092, "an external hub name could not be read", about::port, skips_inner_hub, port_hub_name,
     nullptr, ""},
    {1920, "the controller has no driver key", about::controller,
     "the controller: its root hub and ports are not walked",
     "DeviceIoControl 0x220424, GlobalAlloc, WideCharToMultiByte", nullptr, controller_key},
    {1875, "the controller's device ID is not a full PCI ID", about::controller,
     "nothing: the walk goes on without the PCI IDs", "", "the ID is not in PCI form",
     "CM_Get_Device_IDA, CM_Get_DevNode_Registry_PropertyA"},
    {1889, "no device node gave the controller's device ID", about::controller,
     "nothing: the walk goes on without the controller's IDs",
     "CM_Locate_DevNodeA, CM_Get_Child, CM_Get_Sibling, CM_Get_Parent, "
     "CM_Get_DevNode_Registry_PropertyA, CM_Get_Device_IDA",
     nullptr, "DeviceIoControl 0x220424, CM_Get_DevNode_Registry_PropertyA"},
    {1917, "the controller has no root hub name", about::controller,
     "the controller's root hub and all its ports",
     "DeviceIoControl 0x220408, GlobalAlloc, WideCharToMultiByte", nullptr, root_hub_name},
    {1687, "no memory for a hub record", about::hub, skips_hub, memory, nullptr, ""},
    {1696, "no memory for a hub's node information", about::hub, skips_hub, memory, nullptr, ""},
    {1747, "a hub could not be opened", about::hub, skips_hub, "CreateFileA", nullptr,
     "DeviceIoControl 0x220408, DeviceIoControl 0x220414"},
    {1766, "a hub's node information query failed", about::hub, skips_hub,
     "DeviceIoControl 0x220408", nullptr, ""},
    {1317, "no memory for a port's connection record", about::hub, "the rest of this hub's ports",
     memory, nullptr, ""},
    {1361, "both connection queries of a port failed", about::port,
     "this port: nothing is installed for it; the next port follows",
     "DeviceIoControl 0x220448, DeviceIoControl 0x22040C", nullptr, ""},
};

} // namespace

std::span<const failure_site> failure_sites() {
    return sites;
}

const failure_site *find_site(int site) {
    for (const failure_site &s : sites) {
        if (s.site == site) {
            return &s;
        }
    }
    return nullptr;
}

bool skips_nothing(const failure_site &s) {
    return std::strncmp(s.skips, "nothing", 7) == 0;
}

namespace {

// Whether `list` ("DeviceIoControl 0x220424, GlobalAlloc") names the call.
bool names_call(const char *list, const char *function, std::uint32_t code) {
    char call[96];
    if (std::strcmp(function, "DeviceIoControl") == 0) {
        std::snprintf(call, sizeof call, "DeviceIoControl 0x%X", static_cast<unsigned>(code));
    } else {
        std::snprintf(call, sizeof call, "%s", function);
    }
    const std::size_t length = std::strlen(call);
    for (const char *at = std::strstr(list, call); at != nullptr; at = std::strstr(at + 1, call)) {
        const bool starts = at == list || at[-1] == ' ';
        if (starts && (at[length] == '\0' || at[length] == ',')) {
            return true;
        }
    }
    return false;
}

} // namespace

bool can_fail_at(const failure_site &s, const char *function, std::uint32_t code) {
    return names_call(s.calls, function, code);
}

bool can_answer_at(const failure_site &s, const char *function, std::uint32_t code) {
    return names_call(s.answers, function, code);
}
