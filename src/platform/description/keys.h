// The keys of a machine description (docs/machine.md), one account shared by its
// reader (platform/emu/machine.cpp) and its writer (description/writer.cpp).
//
// Each kind of object has an enumeration of its keys and one table of their JSON
// names, in the enumeration's order. The reader looks every key it meets up in
// the table (a name not there is an unknown key) and takes the keys in the
// table's order, each through a switch over the enumeration; the writer walks
// the same table and writes each key through a switch of its own. Neither switch
// has a default, so a key that one side forgets does not build (-Wswitch).
//
// A key left out leaves the model's own default (model.h), except where this
// file says what the reader makes instead; the writer leaves a key out exactly
// where its value is that. No JSON library: every build includes this.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>

namespace desc::keys {

template <typename E> struct key {
    E id;
    std::string_view name;
};

enum class machine_key {
    os_version,
    clock,
    processes,
    largest_block,
    controllers,
    device_tree,
    nodes,
    changes,
    faults
};
inline constexpr key<machine_key> machine_keys[] = {{machine_key::os_version, "os_version"},
                                                    {machine_key::clock, "clock"},
                                                    {machine_key::processes, "processes"},
                                                    {machine_key::largest_block, "largest_block"},
                                                    {machine_key::controllers, "controllers"},
                                                    {machine_key::device_tree, "device_tree"},
                                                    {machine_key::nodes, "nodes"},
                                                    {machine_key::changes, "changes"},
                                                    {machine_key::faults, "faults"}};

enum class version_key { major, minor, build };
inline constexpr key<version_key> version_keys[] = {
    {version_key::major, "major"}, {version_key::minor, "minor"}, {version_key::build, "build"}};

enum class controller_key {
    number,
    interface_listed,
    interface_path,
    driver_key,
    device_id,
    description,
    node_status,
    problem,
    service,
    hardware_ids,
    root_hub
};
inline constexpr key<controller_key> controller_keys[] = {
    {controller_key::number, "number"},
    {controller_key::interface_listed, "interface"},
    {controller_key::interface_path, "interface_path"},
    {controller_key::driver_key, "driver_key"},
    {controller_key::device_id, "device_id"},
    {controller_key::description, "description"},
    {controller_key::node_status, "node_status"},
    {controller_key::problem, "problem"},
    {controller_key::service, "service"},
    {controller_key::hardware_ids, "hardware_ids"},
    {controller_key::root_hub, "root_hub"}};

enum class hub_key { name, port_count, ports };
inline constexpr key<hub_key> hub_keys[] = {
    {hub_key::name, "name"}, {hub_key::port_count, "port_count"}, {hub_key::ports, "ports"}};

// `hub` comes before `device_is_hub` and the texts: the flag's default follows
// the hub, the device ID's the port's number and IDs. The node's state and the
// nodes below it (`children`) come last.
enum class port_key {
    port,
    vid,
    pid,
    status,
    speed,
    legacy_query,
    hub,
    device_is_hub,
    driver_key,
    device_id,
    description,
    node_status,
    problem,
    service,
    hardware_ids,
    children
};
inline constexpr key<port_key> port_keys[] = {{port_key::port, "port"},
                                              {port_key::vid, "vid"},
                                              {port_key::pid, "pid"},
                                              {port_key::status, "status"},
                                              {port_key::speed, "speed"},
                                              {port_key::legacy_query, "legacy_query"},
                                              {port_key::hub, "hub"},
                                              {port_key::device_is_hub, "device_is_hub"},
                                              {port_key::driver_key, "driver_key"},
                                              {port_key::device_id, "device_id"},
                                              {port_key::description, "description"},
                                              {port_key::node_status, "node_status"},
                                              {port_key::problem, "problem"},
                                              {port_key::service, "service"},
                                              {port_key::hardware_ids, "hardware_ids"},
                                              {port_key::children, "children"}};

enum class node_key {
    driver_key,
    device_id,
    description,
    node_status,
    problem,
    service,
    hardware_ids,
    children
};
inline constexpr key<node_key> node_keys[] = {
    {node_key::driver_key, "driver_key"},     {node_key::device_id, "device_id"},
    {node_key::description, "description"},   {node_key::node_status, "node_status"},
    {node_key::problem, "problem"},           {node_key::service, "service"},
    {node_key::hardware_ids, "hardware_ids"}, {node_key::children, "children"}};

enum class change_key { at_ms, at_open, controller, port_path, port };
inline constexpr key<change_key> change_keys[] = {{change_key::at_ms, "at_ms"},
                                                  {change_key::at_open, "at_open"},
                                                  {change_key::controller, "controller"},
                                                  {change_key::port_path, "port_path"},
                                                  {change_key::port, "port"}};

enum class at_open_key { device, nth };
inline constexpr key<at_open_key> at_open_keys[] = {{at_open_key::device, "device"},
                                                    {at_open_key::nth, "nth"}};

// The narrowing keys first (`device`, `program` and the two shorthands for a
// device path), then the count, then the actions.
enum class fault_key {
    function,
    ioctl,
    device,
    program,
    controller,
    hub,
    port,
    size,
    nth,
    error,
    actual_length,
    raw_reply
};
inline constexpr key<fault_key> fault_keys[] = {{fault_key::function, "function"},
                                                {fault_key::ioctl, "ioctl"},
                                                {fault_key::device, "device"},
                                                {fault_key::program, "program"},
                                                {fault_key::controller, "controller"},
                                                {fault_key::hub, "hub"},
                                                {fault_key::port, "port"},
                                                {fault_key::size, "size"},
                                                {fault_key::nth, "nth"},
                                                {fault_key::error, "error"},
                                                {fault_key::actual_length, "actual_length"},
                                                {fault_key::raw_reply, "raw_reply"}};

// The table of a kind, found by its enumeration.
constexpr const auto &table(machine_key) {
    return machine_keys;
}
constexpr const auto &table(version_key) {
    return version_keys;
}
constexpr const auto &table(controller_key) {
    return controller_keys;
}
constexpr const auto &table(hub_key) {
    return hub_keys;
}
constexpr const auto &table(port_key) {
    return port_keys;
}
constexpr const auto &table(node_key) {
    return node_keys;
}
constexpr const auto &table(change_key) {
    return change_keys;
}
constexpr const auto &table(at_open_key) {
    return at_open_keys;
}
constexpr const auto &table(fault_key) {
    return fault_keys;
}

// Every row in the enumeration's order, every name once.
template <typename E, std::size_t N> constexpr bool in_order(const key<E> (&t)[N]) {
    for (std::size_t i = 0; i < N; ++i) {
        if (t[i].id != static_cast<E>(i)) {
            return false;
        }
        for (std::size_t k = 0; k < i; ++k) {
            if (t[k].name == t[i].name) {
                return false;
            }
        }
    }
    return true;
}
static_assert(in_order(machine_keys) && in_order(version_keys) && in_order(controller_keys) &&
              in_order(hub_keys) && in_order(port_keys) && in_order(node_keys) &&
              in_order(change_keys) && in_order(at_open_keys) && in_order(fault_keys));

template <typename E> constexpr std::string_view name(E k) {
    return table(E{})[static_cast<std::size_t>(k)].name;
}

template <typename E> constexpr std::optional<E> find(std::string_view name) {
    for (const key<E> &k : table(E{})) {
        if (k.name == name) {
            return k.id;
        }
    }
    return std::nullopt;
}

// --- what the reader assumes for a key left out -------------------------------

// `os_version` left out is 6.1 build 7601 (the model's own defaults); given
// without `minor`, the minor version is 0; without `build`, this.
inline constexpr std::uint32_t minor_version_unstated = 0;
constexpr std::uint32_t default_build(std::uint32_t major) {
    return major == 5 ? 2600 : 7601;
}

inline constexpr char default_controller_device_id[] =
    "PCI\\VEN_8086&DEV_24C2&SUBSYS_00000000&REV_01\\3&0&0&E8";
inline constexpr char default_controller_description[] = "USB Universal Host Controller";
inline constexpr char default_port_description[] = "USB Composite Device";

// Every enumerated device has a driver key; one left out is made from the
// port's place in the description (`controllers[0].root_hub.ports[1]`).
inline std::string default_port_driver_key(const std::string &place) {
    return "{36fc9e60-c465-11cf-8056-444553540000}\\" + place;
}

inline std::string default_port_device_id(std::uint16_t vid, std::uint16_t pid,
                                          std::uint32_t port) {
    char id[64];
    std::snprintf(id, sizeof id, "USB\\VID_%04X&PID_%04X\\%u", vid, pid, port);
    return id;
}

// A node's state left out (model.h's node_state): a USB device without a driver
// key has problem 28 (CM_PROB_FAILED_INSTALL, no driver installed); every other
// node is started with no problem. A USB device is a port's own node, its
// `children`, and a node whose device ID begins with USB\ (root hubs aside).
// `node_status` left out follows the problem. `service` and `hardware_ids` left
// out are not set.
inline constexpr std::uint32_t problem_no_driver = 28;
inline constexpr std::uint32_t status_started = 0x0180200A; // DN_STARTED, DN_DRIVER_LOADED, ...
inline constexpr std::uint32_t status_problem = 0x01802400; // DN_HAS_PROBLEM, ...
inline bool is_usb_device(std::string_view device_id) {
    auto starts = [&](std::string_view head) {
        if (device_id.size() < head.size()) {
            return false;
        }
        for (std::size_t i = 0; i < head.size(); ++i) {
            const char c = device_id[i];
            if ((c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c) != head[i]) {
                return false;
            }
        }
        return true;
    };
    return starts("USB\\") && !starts("USB\\ROOT_HUB");
}
constexpr std::uint32_t default_problem(bool usb_device, bool has_driver_key) {
    return usb_device && !has_driver_key ? problem_no_driver : 0;
}
constexpr std::uint32_t default_node_status(std::uint32_t problem) {
    return problem != 0 ? status_problem : status_started;
}

// The words of `speed` (by the model's number), `clock` and `processes`.
inline constexpr std::string_view speed_names[] = {"low", "full", "high"};
inline constexpr char clock_virtual[] = "virtual";
inline constexpr char clock_real[] = "real";
inline constexpr char processes_run[] = "run";
inline constexpr char processes_record[] = "record";

// A place in the description: `controllers[0]`, `.root_hub`, `.ports[1]`.
inline std::string at(const std::string &place, std::string_view key) {
    return place.empty() ? std::string(key) : place + "." + std::string(key);
}
inline std::string item(const std::string &place, std::size_t index) {
    return place + "[" + std::to_string(index) + "]";
}

// --- faults -------------------------------------------------------------------

// The calls a fault can be planted in, and which keys beyond `function`, `nth`
// and `error` apply to each.
struct fault_site {
    const char *function;
    bool device = false;         // `device`: a device path, interface path or device ID
    bool device_path = false;    // `controller`, `hub`: shorthands for a device path
    bool program = false;        // `program`: the command line's first word
    bool ioctl_and_port = false; // DeviceIoControl's control code and port
    bool size = false;           // GlobalAlloc's byte count
    bool actual_length = false;
    bool raw_reply = false;
};

inline constexpr fault_site fault_sites[] = {
    {.function = "DeviceIoControl",
     .device = true,
     .device_path = true,
     .ioctl_and_port = true,
     .actual_length = true,
     .raw_reply = true},
    {.function = "CreateFileA", .device = true, .device_path = true},
    {.function = "GlobalAlloc", .size = true},
    {.function = "WideCharToMultiByte"},
    {.function = "SetupDiGetClassDevsA"},
    {.function = "SetupDiEnumDeviceInterfaces"},
    {.function = "SetupDiGetDeviceInterfaceDetailA", .device = true, .actual_length = true},
    {.function = "CM_Locate_DevNodeA", .device = true},
    {.function = "CM_Get_Child", .device = true},
    {.function = "CM_Get_Sibling", .device = true},
    {.function = "CM_Get_Parent", .device = true},
    {.function = "CM_Get_DevNode_Registry_PropertyA", .device = true, .raw_reply = true},
    {.function = "CM_Get_Device_IDA", .device = true, .raw_reply = true},
    {.function = "CM_Get_DevNode_Status", .device = true},
    {.function = "CreateProcessA", .program = true},
    {.function = "SetPriorityClass"},
};

inline const fault_site *find_fault_site(std::string_view function) {
    for (const fault_site &site : fault_sites) {
        if (function == site.function) {
            return &site;
        }
    }
    return nullptr;
}

} // namespace desc::keys
