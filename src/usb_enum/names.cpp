// The name queries on host controllers and hubs, and the conversion of the UTF-16
// names they return to ANSI text in tracked memory.
//
// Each query sends its control code twice: a probe record learns the length of the
// whole reply, then a tracked block of that length receives it. The reply comes
// from the USB stack and is read only as far as its own length says.
#include "usb_enum/usb_enum.h"

#include "usb_enum/sites.h"

#include <climits>
#include <cstring>

namespace {

// One member of the query family: the reply layout and the sites it reports.
struct name_query {
    DWORD code;
    std::uint32_t probe_size;    // fixed part plus one UTF-16 unit
    std::uint32_t length_offset; // where ActualLength sits
    std::uint32_t name_offset;   // where the UTF-16 name begins
    bool has_port;               // ConnectionIndex at offset 0
    bool sends_input;            // the buffer goes in as well as out
    bool checks_length;          // a reply no longer than the probe is refused
    int probe_site;
    int length_site;
    int alloc_site;
    int alloc_failure_site;
    int second_call_site;
};

// USB_ROOT_HUB_NAME and USB_HCD_DRIVERKEY_NAME: ActualLength, then the name.
// USB_NODE_CONNECTION_NAME and USB_NODE_CONNECTION_DRIVERKEY_NAME:
// ConnectionIndex, ActualLength, then the name.
constexpr name_query root_hub_name = {.code = ioctl_usb_get_root_hub_name,
                                      .probe_size = 6,
                                      .length_offset = 0,
                                      .name_offset = 4,
                                      .has_port = false,
                                      .sends_input = false,
                                      .checks_length = false,
                                      .probe_site = site_root_hub_name_query,
                                      .length_site = site_none, // no length check
                                      .alloc_site = 370,
                                      .alloc_failure_site = site_root_hub_name_alloc,
                                      .second_call_site = site_root_hub_name_read};
constexpr name_query hcd_driver_key = {.code = ioctl_get_hcd_driverkey_name,
                                       .probe_size = 6,
                                       .length_offset = 0,
                                       .name_offset = 4,
                                       .has_port = false,
                                       .sends_input = true,
                                       .checks_length = true,
                                       .probe_site = site_hcd_key_query,
                                       .length_site = site_hcd_key_short,
                                       .alloc_site = 558,
                                       .alloc_failure_site = site_hcd_key_alloc,
                                       .second_call_site = site_hcd_key_read};
constexpr name_query port_driver_key = {.code = ioctl_usb_get_node_connection_driverkey_name,
                                        .probe_size = 10,
                                        .length_offset = 4,
                                        .name_offset = 8,
                                        .has_port = true,
                                        .sends_input = true,
                                        .checks_length = true,
                                        .probe_site = site_port_key_query,
                                        .length_site = site_port_key_short,
                                        .alloc_site = 464,
                                        .alloc_failure_site = site_port_key_alloc,
                                        .second_call_site = site_port_key_read};
constexpr name_query port_hub_name = {.code = ioctl_usb_get_node_connection_name,
                                      .probe_size = 10,
                                      .length_offset = 4,
                                      .name_offset = 8,
                                      .has_port = true,
                                      .sends_input = true,
                                      .checks_length = true,
                                      .probe_site = site_hub_name_query,
                                      .length_site = site_hub_name_short,
                                      .alloc_site = 1071,
                                      .alloc_failure_site = site_hub_name_alloc,
                                      .second_call_site = site_hub_name_read};

constexpr int wide_to_ansi_site = 305;
constexpr std::uint32_t max_probe_size = 10;

std::uint32_t load_u32(const unsigned char *bytes, std::uint32_t offset) {
    std::uint32_t value;
    std::memcpy(&value, bytes + offset, sizeof value);
    return value;
}

void store_u32(unsigned char *bytes, std::uint32_t offset, std::uint32_t value) {
    std::memcpy(bytes + offset, &value, sizeof value);
}

char *query_name(const name_query &q, HANDLE device, std::uint32_t port) {
    unsigned char probe[max_probe_size] = {};
    if (q.has_port) {
        store_u32(probe, 0, port);
    }
    DWORD returned = 0;
    if (!DeviceIoControl(device, q.code, q.sends_input ? probe : nullptr,
                         q.sends_input ? q.probe_size : 0, probe, q.probe_size, &returned,
                         nullptr)) {
        report_failure(usb_enum_file, q.probe_site);
        return nullptr;
    }
    const std::uint32_t length = load_u32(probe, q.length_offset);
    if (q.checks_length && length <= q.probe_size) {
        report_failure(usb_enum_file, q.length_site);
        return nullptr;
    }

    auto *reply = static_cast<unsigned char *>(tracked_alloc(usb_enum_file, q.alloc_site, length));
    if (reply == nullptr) {
        report_failure(usb_enum_file, q.alloc_failure_site);
        return nullptr;
    }
    if (q.has_port) {
        store_u32(reply, 0, port);
    }
    if (!DeviceIoControl(device, q.code, q.sends_input ? reply : nullptr,
                         q.sends_input ? length : 0, reply, length, &returned, nullptr)) {
        report_failure(usb_enum_file, q.second_call_site);
        tracked_free(reply);
        return nullptr;
    }

    // The name ends where the block ends, or earlier where the reply's own
    // ActualLength says so; a block too short for a name holds an empty one.
    std::uint32_t reply_length = length;
    if (length >= q.length_offset + sizeof(std::uint32_t)) {
        const std::uint32_t stated = load_u32(reply, q.length_offset);
        if (stated < reply_length) {
            reply_length = stated;
        }
    }
    const std::uint32_t units =
        reply_length > q.name_offset ? (reply_length - q.name_offset) / sizeof(WCHAR) : 0;
    const auto *name = units > 0 ? reinterpret_cast<const WCHAR *>(reply + q.name_offset) : nullptr;
    char *text = wide_to_ansi(name, units);
    tracked_free(reply);
    return text;
}

} // namespace

char *query_root_hub_name(HANDLE host_controller) {
    return query_name(root_hub_name, host_controller, 0);
}

char *query_hcd_driver_key(HANDLE host_controller) {
    return query_name(hcd_driver_key, host_controller, 0);
}

char *query_port_driver_key(HANDLE hub, std::uint32_t port) {
    return query_name(port_driver_key, hub, port);
}

char *query_port_hub_name(HANDLE hub, std::uint32_t port) {
    return query_name(port_hub_name, hub, port);
}

char *wide_to_ansi(const WCHAR *text, std::uint32_t max_units) {
    // The text ends at its first NUL or after max_units units, whichever comes
    // first; the result is terminated here, not by the conversion.
    std::uint32_t units = 0;
    while (units < max_units && units < INT_MAX && text[units] != 0) {
        ++units;
    }
    if (units == 0) {
        return static_cast<char *>(tracked_alloc(usb_enum_file, wide_to_ansi_site, 1));
    }
    const int needed =
        WideCharToMultiByte(CP_ACP, 0, text, static_cast<int>(units), nullptr, 0, nullptr, nullptr);
    if (needed <= 0 || needed == INT_MAX) {
        return nullptr;
    }
    auto *result = static_cast<char *>(
        tracked_alloc(usb_enum_file, wide_to_ansi_site, static_cast<std::uint32_t>(needed) + 1));
    if (result == nullptr) {
        return nullptr;
    }
    const int written = WideCharToMultiByte(CP_ACP, 0, text, static_cast<int>(units), result,
                                            needed, nullptr, nullptr);
    if (written <= 0 || written > needed) {
        tracked_free(result);
        return nullptr;
    }
    result[written] = '\0';
    return result;
}
