// A machine description as a model: what the emulated machine is made from, and
// what the capture program writes after recording a real machine's answers.
// Plain records, compared member by member, with no platform calls and no JSON
// library, so that every build can hold one; the emulated machine reads them
// (platform/emu/machine.cpp) and description/writer.cpp writes them, both from
// the one list of keys in description/keys.h.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace desc {

struct hub_desc;
struct node_desc;

// The values of a device's software key (its driver key under the class key),
// which Windows writes when it installs a driver for the device, by the names
// Windows gives them; none: not there. CM_Open_DevNode_Key opens the key of a
// node with a driver key, RegQueryValueExA reads each value as REG_SZ.
struct driver_values {
    std::optional<std::string> inf_path;           // InfPath: oemN.inf as Windows copied it
    std::optional<std::string> inf_section;        // InfSection: the install section
    std::optional<std::string> driver_version;     // DriverVersion
    std::optional<std::string> driver_date;        // DriverDate: m-d-yyyy
    std::optional<std::string> provider_name;      // ProviderName
    std::optional<std::string> matching_device_id; // MatchingDeviceId: the ID the INF matched
    std::optional<std::string> driver_desc;        // DriverDesc

    bool operator==(const driver_values &) const = default;
};

// The values' names, each with its member, in the order a capture reads them.
struct driver_value_name {
    const char *name;
    std::optional<std::string> driver_values::*member;
};
inline constexpr driver_value_name driver_value_names[] = {
    {"InfPath", &driver_values::inf_path},
    {"InfSection", &driver_values::inf_section},
    {"DriverVersion", &driver_values::driver_version},
    {"DriverDate", &driver_values::driver_date},
    {"ProviderName", &driver_values::provider_name},
    {"MatchingDeviceId", &driver_values::matching_device_id},
    {"DriverDesc", &driver_values::driver_desc},
};

// A value of a software key that cannot be read: its name, and the Win32 error
// RegQueryValueExA answers for it (other than 2, a value not there).
struct value_error {
    std::string name;
    std::uint32_t error = 0;

    bool operator==(const value_error &) const = default;
};

// What the configuration manager says of a device node: the state Device
// Manager shows. Unset values are what Windows shows for a node like it
// (description/keys.h): a node with a driver key is started with no problem; a
// USB device without one, and any other node with neither a driver key nor a
// service, has problem 28 (no driver installed).
struct node_state {
    std::optional<std::uint32_t> node_status; // DN_ flags, as CM_Get_DevNode_Status reports
    std::optional<std::uint32_t> problem;     // CM_PROB_ number, 0 for none
    // Where set, CM_Get_DevNode_Status fails for the node with this CONFIGRET
    // (a capture writes it where the PC's call failed): the state was not read.
    std::optional<std::uint32_t> status_error;
    std::optional<std::string> service;    // CM_DRP_SERVICE; none: not set
    std::vector<std::string> hardware_ids; // CM_DRP_HARDWAREID, in order; empty: none
    driver_values driver;                  // its software key's values
    // Where set, CM_Open_DevNode_Key fails for the node's software key with
    // this CONFIGRET (a capture writes it where the PC's call failed otherwise
    // than a node without a driver key does): its driver was not read.
    std::optional<std::uint32_t> software_key_error;
    // Where set, reading this value of the key fails (a capture writes it where
    // the PC's call failed, and reads no value after it).
    std::optional<value_error> driver_value_error;

    bool operator==(const node_state &) const = default;
};

struct port_desc {
    std::uint32_t port = 0;
    std::uint16_t vid = 0;
    std::uint16_t pid = 0;
    std::uint32_t status = 1;   // ConnectionStatus; 0 = no device
    std::uint8_t speed = 2;     // 0 low, 1 full, 2 high
    bool legacy_only = false;   // answers only the older connection query
    bool device_is_hub = false; // DeviceIsHub as reported (set whenever `hub` is present)
    std::optional<std::string> driver_key; // none: no driver yet, the query fails
    std::string device_id;
    std::string description;
    node_state state;                // the port device's own node
    std::vector<node_desc> children; // nodes below the port device's (a composite's interfaces)
    std::vector<hub_desc> hub;       // zero or one external hub

    bool operator==(const port_desc &) const = default;
};

struct hub_desc {
    std::string name;
    std::uint32_t port_count = 0;
    std::vector<port_desc> ports; // only the listed ports; the others are empty
    std::string device_id = {};   // a root hub's node; empty: as keys.h makes it

    bool operator==(const hub_desc &) const = default;
};

struct node_desc {
    std::optional<std::string> driver_key;
    std::string device_id; // empty: not known (a captured node whose ID was never read)
    std::optional<std::string> description;
    node_state state;
    std::vector<node_desc> children;

    bool operator==(const node_desc &) const = default;
};

struct controller_desc {
    std::optional<int> number; // answers to \\.\HCD<number>
    bool interface = true;     // listed by the host-controller interface enumeration
    std::optional<std::string> interface_path; // none: made from the device ID
    std::string driver_key;
    std::string device_id;
    std::string description;
    node_state state; // the controller's node
    hub_desc root_hub;

    bool operator==(const controller_desc &) const = default;
};

struct change_desc {
    std::uint64_t at_ms = 0;
    // When set: the change applies at this successful open of this device path
    // (ASCII letters in lower case), counted from the machine's start, not at a time.
    std::string at_open_device;
    std::uint32_t at_open_nth = 0;
    // When set: the change applies at this call of this function (counted from
    // the machine's start, calls the machine answers), before it is answered.
    std::string at_call_function;
    std::uint32_t at_call_nth = 0;
    std::size_t controller = 0; // index into controllers
    std::vector<std::uint32_t> port_path;
    std::optional<port_desc> port; // none: the port is emptied
    bool applied = false;

    bool operator==(const change_desc &) const = default;
};

// A fault planted in the machine: the nth matching call (1-based; 0 = every
// matching call) of `function` does `action` instead of its normal work.
// For the configuration-manager calls, `device` is the node's device ID, a
// failure returns `error` as the CONFIGRET, and a raw reply is the text read.
struct fault {
    std::string function;    // "DeviceIoControl", "CreateFileA", "GlobalAlloc", ...
    std::uint32_t ioctl = 0; // DeviceIoControl: control code, 0 = any
    std::string device;      // CreateFileA/DeviceIoControl: device path, "" = any
    std::uint32_t port = 0;  // DeviceIoControl: ConnectionIndex asked for, 0 = any
    std::uint64_t size = 0;  // GlobalAlloc: bytes asked for, 0 = any
    std::uint32_t nth = 1;
    enum kind { fail, actual_length, raw_reply } action = fail;
    std::uint32_t error = 31;        // fail: the last-error value (ERROR_GEN_FAILURE)
    std::uint32_t length = 0;        // actual_length: the ActualLength answered
    std::vector<std::uint8_t> bytes; // raw_reply: the reply, copied as far as it fits

    bool operator==(const fault &) const = default;
};

// The first Windows version whose CreateProcessA honours
// NoDefaultCurrentDirectoryInExePath (leaves the current folder out of a
// program's search where the variable is set): Server 2003, 5.2.
inline constexpr std::uint32_t no_current_folder_major = 5;
inline constexpr std::uint32_t no_current_folder_minor = 2;
constexpr bool honours_no_current_folder(std::uint32_t major, std::uint32_t minor) {
    return major != no_current_folder_major ? major > no_current_folder_major
                                            : minor >= no_current_folder_minor;
}

struct machine {
    std::uint32_t major = 6;
    std::uint32_t minor = 1;
    std::uint32_t build = 7601;
    bool virtual_clock = false;
    bool record_processes = false;
    std::uint64_t largest_block = 0x7FFFFFFF; // the largest block GlobalAlloc gives
    // The system and Windows folders (GetSystemDirectoryA, GetWindowsDirectoryA)
    // as folders of the file system the machine runs on; none: the machine has
    // none, and no program is looked for there. A capture leaves them out: the
    // PC's folders mean nothing where its description is replayed.
    std::optional<std::string> system_folder;
    std::optional<std::string> windows_folder;
    // Who besides the administrators may add or change files in a folder (its
    // DACL, as GetNamedSecurityInfoA answers it): folders of the file system the
    // machine runs on, each with the groups named (keys.h's writer_groups). A
    // folder not listed: administrators only. Like the folders above, a fact
    // of the machine the capture runs on, never written by a capture.
    std::vector<std::pair<std::string, std::vector<std::string>>> folder_rights;
    // The roots of volumes that keep no rights (FAT32), each a folder the volume
    // is mounted at; every other folder is on an NTFS volume whose root is "/".
    std::vector<std::string> no_acl_volumes;
    std::vector<controller_desc> controllers;
    std::vector<node_desc> extra_nodes; // more nodes below the device tree's root
    // When set, the whole device tree as it stands (its root first): the
    // controllers and their devices add no nodes of their own.
    std::optional<node_desc> device_tree;
    std::vector<change_desc> changes;
    std::vector<fault> faults; // planted when the machine starts

    bool operator==(const machine &) const = default;
};

// Hands `visit` a hub and every hub below it, each before those below it; with
// a machine, its controllers' root hubs in order, then the hubs its changes bring.
template <typename Visit> void each_hub(const hub_desc &h, const Visit &visit) {
    visit(h);
    for (const port_desc &p : h.ports) {
        for (const hub_desc &inner : p.hub) {
            each_hub(inner, visit);
        }
    }
}
template <typename Visit> void each_hub(const machine &m, const Visit &visit) {
    for (const controller_desc &c : m.controllers) {
        each_hub(c.root_hub, visit);
    }
    for (const change_desc &c : m.changes) {
        for (const hub_desc &h : c.port ? c.port->hub : std::vector<hub_desc>{}) {
            each_hub(h, visit);
        }
    }
}

// The description as JSON text that the emulated machine reads back to the same
// model: every key the reader knows, each written where it differs from what the
// reader assumes when the key is absent.
std::string write_description(const machine &m);

} // namespace desc
