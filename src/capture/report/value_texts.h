// The report's words for what the capture read: connection states, Device
// Manager's problems, Windows errors, products, times and the Windows version.
#pragma once

#include "platform/description/model.h"

#include <cstdint>
#include <string>

// Appends one line, formatted as printf formats, and a newline.
__attribute__((format(printf, 2, 3))) void line(std::string &out, const char *format, ...);

// "DeviceNotEnoughPower (status 5)".
std::string status_text(std::uint32_t status);
// What a connection status other than DeviceConnected means at the PC, and what
// to do; a connected port with no device descriptor read is `descriptor_missing`.
struct status_advice {
    const char *what;
    const char *to_do;
};
status_advice connection_advice(std::uint32_t status, bool descriptor_missing);

// "error 5 (access denied)": a Windows error in words where it has them.
std::string error_text(std::uint32_t error);

const char *speed_name(std::uint8_t speed);
std::string pause_text(std::uint32_t ms);    // "20 ms", "3 s"
std::string seconds_text(std::uint64_t ms);  // "9.25 s"
std::string duration_text(std::uint64_t ms); // "7 hours", "11 days"
std::string times_text(std::size_t n);       // "once", "twice", "3 times"

// Whether a port's device is one of ours (a connected device of our vendor ID), one whose
// product quorvex knows, and one quorvex installs packages for (a known product
// but the download-mode device).
bool is_ours(const desc::port_desc &p);
bool known_product(const desc::port_desc &p);
bool installs_for(const desc::port_desc &p);
// "kelmi d1 (family 1, variant 1)", "the download-mode device", or that quorvex
// does not know it.
std::string product_text(const desc::port_desc &p);
// The download-mode device's IDs, "VVVV:PPPP".
std::string download_ids();
// "VVVV:E221, kelmi d1": the IDs and the product's short name.
std::string device_text(const desc::port_desc &p);

// Device Manager's state of a node as the emulated machine (and Windows) gives
// it: where the description leaves a value out, the default for such a node.
// `problem` is 0 unless DN_HAS_PROBLEM is set.
struct dm_state {
    bool read = true; // false: the status call failed (`status_error`)
    std::uint32_t status_error = 0;
    bool started = false;
    std::uint32_t problem = 0;
};
dm_state device_manager(const desc::node_state &s, bool usb_device, bool has_driver_key);
// The driver Windows installed for a node, from its software key, in one or two
// lines: "driver: cdcacm_modem_kelmi_d1.inf [Modem.NTx86], version 1.2.0.0 of
// 3-1-2025, provider Vyrtec", then "for USB\VID_7A31&PID_E221&MI_00: Kelmi D1
// Modem" where the key names the ID matched or the description; "driver: none"
// without a driver key; "driver: not read (CM_Open_DevNode_Key answered 0x..)";
// a value that could not be read, "not read (RegQueryValueExA answered 5 for
// DriverDate)", as the driver or after the values read before it.
std::vector<std::string> driver_text(const desc::node_state &s, bool has_driver_key);
// "not started, problem 28: no driver installed, service usbser".
std::string verdict_text(const desc::node_state &s, bool usb_device, bool has_driver_key);
const char *problem_words(std::uint32_t problem);

// "Windows XP (5.1, build 2600)".
std::string windows_name(std::uint32_t major, std::uint32_t minor, std::uint32_t build);
