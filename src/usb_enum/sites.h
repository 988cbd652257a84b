// The scan's failure sites: the line number a box names ("File: ..., Line N"),
// what the box is about, whether the scan goes on past it or another box
// follows, and the platform calls whose failure, or odd answer, can cause it.
// The scan reports by these numbers; the table is read only by what explains
// the boxes (the capture, the tests), so it costs the tool nothing.
#pragma once

#include "platform/model/model.h"
#include "usb_enum/records.h"

#include <cstdint>
#include <span>

enum scan_site : int {
    site_none = 0,
    // The name queries: the sizing call, the stated length, the allocation, the
    // second call.
    site_root_hub_name_query = 362,
    site_root_hub_name_alloc = 373,
    site_root_hub_name_read = 389,
    site_hcd_key_query = 545,
    site_hcd_key_short = 554,
    site_hcd_key_alloc = 561,
    site_hcd_key_read = 578,
    site_port_key_query = 451,
    site_port_key_short = 460,
    site_port_key_alloc = 467,
    site_port_key_read = 486,
    site_hub_name_query = 1058,
    site_hub_name_short = 1067,
    site_hub_name_alloc = 1074,
    site_hub_name_read = 1092,
    // The host-controller walk and the hub walk.
    site_no_controller_driver_key = 1920,
    site_controller_not_pci = 1875,
    site_controller_no_device_id = 1889,
    site_no_root_hub_name = 1917,
    site_hub_record_alloc = 1687,
    site_node_info_alloc = 1696,
    site_hub_open = 1747,
    site_node_info_query = 1766,
    site_port_connection_alloc = 1317,
    site_connection_queries = 1361,
};

// What a box is about: the controller being walked, a hub, or a port.
enum class site_about : std::uint8_t { controller, hub, port };

// A platform call: the machine call (qvm_call), and for a control code the code.
struct site_call {
    std::uint32_t call = QVM_NONE;
    std::uint32_t code = 0;
};

struct failure_site {
    scan_site site;
    site_about about;
    bool goes_on;        // the scan skips nothing for it
    scan_site followed;  // the box that follows it, where one does
    site_call failed[6]; // whose failure can cause it
    site_call odd[2];    // whose odd answer, though it succeeded, can
};

namespace scan_calls {
constexpr site_call by_ioctl(std::uint32_t code) {
    return {QVM_DEVICE_IO_CONTROL, code};
}
constexpr site_call by_root_hub_name = by_ioctl(ioctl_usb_get_root_hub_name);
constexpr site_call by_node_information = by_ioctl(ioctl_usb_get_node_information);
constexpr site_call by_hcd_key = by_ioctl(ioctl_get_hcd_driverkey_name);
constexpr site_call by_port_key = by_ioctl(ioctl_usb_get_node_connection_driverkey_name);
constexpr site_call by_hub_name = by_ioctl(ioctl_usb_get_node_connection_name);
constexpr site_call by_connection_ex = by_ioctl(ioctl_usb_get_node_connection_information_ex);
constexpr site_call by_connection = by_ioctl(ioctl_usb_get_node_connection_information);
constexpr site_call by_memory = {QVM_GLOBAL_ALLOC};
constexpr site_call by_convert = {QVM_WIDE_CHAR_TO_MULTI_BYTE};
constexpr site_call by_device_id = {QVM_GET_DEVICE_ID};
constexpr site_call by_property = {QVM_GET_PROPERTY};
constexpr site_call by_open = {QVM_CREATE_FILE};

// Every site, in the order of the scan's own tables.
inline constexpr failure_site table[] = {
    // clang-format off
    {site_root_hub_name_query, site_about::controller, false, site_no_root_hub_name, {by_root_hub_name}, {}},
    {site_root_hub_name_alloc, site_about::controller, false, site_no_root_hub_name, {by_memory}, {by_root_hub_name}},
    {site_root_hub_name_read, site_about::controller, false, site_no_root_hub_name, {by_root_hub_name}, {by_root_hub_name}},
    {site_hcd_key_query, site_about::controller, false, site_no_controller_driver_key, {by_hcd_key}, {}},
    {site_hcd_key_short, site_about::controller, false, site_no_controller_driver_key, {}, {by_hcd_key}},
    {site_hcd_key_alloc, site_about::controller, false, site_no_controller_driver_key, {by_memory}, {by_hcd_key}},
    {site_hcd_key_read, site_about::controller, false, site_no_controller_driver_key, {by_hcd_key}, {}},
    {site_port_key_query, site_about::port, true, site_none, {by_port_key}, {}},
    {site_port_key_short, site_about::port, true, site_none, {}, {by_port_key}},
    {site_port_key_alloc, site_about::port, true, site_none, {by_memory}, {by_port_key}},
    {site_port_key_read, site_about::port, true, site_none, {by_port_key}, {}},
    {site_hub_name_query, site_about::port, false, site_none, {by_hub_name}, {}},
    {site_hub_name_short, site_about::port, false, site_none, {}, {by_hub_name}},
    {site_hub_name_alloc, site_about::port, false, site_none, {by_memory}, {by_hub_name}},
    {site_hub_name_read, site_about::port, false, site_none, {by_hub_name}, {}},
    {site_no_controller_driver_key, site_about::controller, false, site_none, {by_hcd_key, by_memory, by_convert}, {by_hcd_key}},
    {site_controller_not_pci, site_about::controller, true, site_none, {}, {by_device_id, by_property}},
    {site_controller_no_device_id, site_about::controller, true, site_none,
     {{QVM_LOCATE_DEVNODE}, {QVM_GET_CHILD}, {QVM_GET_SIBLING}, {QVM_GET_PARENT}, by_property, by_device_id},
     {by_hcd_key, by_property}},
    {site_no_root_hub_name, site_about::controller, false, site_none, {by_root_hub_name, by_memory, by_convert}, {by_root_hub_name}},
    {site_hub_record_alloc, site_about::hub, false, site_none, {by_memory}, {}},
    {site_node_info_alloc, site_about::hub, false, site_none, {by_memory}, {}},
    {site_hub_open, site_about::hub, false, site_none, {by_open}, {by_root_hub_name, by_hub_name}},
    {site_node_info_query, site_about::hub, false, site_none, {by_node_information}, {}},
    {site_port_connection_alloc, site_about::hub, false, site_none, {by_memory}, {}},
    {site_connection_queries, site_about::port, false, site_none, {by_connection_ex, by_connection}, {}},
    // clang-format on
};
} // namespace scan_calls

inline constexpr const auto &failure_sites = scan_calls::table;

// The site of this number, or null.
constexpr const failure_site *find_failure_site(int site) {
    for (const failure_site &s : failure_sites) {
        if (s.site == site) {
            return &s;
        }
    }
    return nullptr;
}

// Whether a failure of `call` (a control code: `code`) can cause a box of `s`;
// with `odd`, whether an odd answer of it can.
constexpr bool can_cause(const failure_site &s, std::uint32_t call, std::uint32_t code,
                         bool odd = false) {
    const std::span<const site_call> calls =
        odd ? std::span<const site_call>(s.odd) : std::span<const site_call>(s.failed);
    for (const site_call &c : calls) {
        if (c.call == call && (call != QVM_DEVICE_IO_CONTROL || c.code == code)) {
            return true;
        }
    }
    return false;
}
