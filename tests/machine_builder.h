// Machine descriptions for the tests, as typed records: a test says what the
// emulated machine has, field by field, and description() writes it out as the
// JSON text the emulation's loader reads, the same text a description file holds
// (docs/machine.md has every key). A field left at its default writes no key, so
// the loader's own default holds; the defaults of `machine` make a version 5.1
// system on the virtual clock whose commands are recorded.
#pragma once

#include <cstdint>
#include <cstdio>
#include <initializer_list>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace testkit {

struct port;

struct hub {
    std::string name;
    std::uint32_t port_count = 0;
    std::vector<port> ports; // the listed ports, in the order written; the others are empty
};

struct port {
    std::uint32_t number = 0; // 0: not written (a change's port takes its path's last number)
    std::uint16_t vid = 0;
    std::uint16_t pid = 0;
    std::optional<std::uint32_t> status;   // the connection status; unset: 1
    std::string speed;                     // "low", "full" or "high" (the default)
    bool legacy_query = false;             // answers only the older connection query
    std::optional<bool> device_is_hub;     // unset: set exactly when `hub` is
    std::optional<std::string> driver_key; // unset: one made from the port's place
    std::string device_id;
    std::string description;
    std::optional<testkit::hub> hub; // an external hub on the port
};

struct controller {
    std::optional<int> number; // answers to \\.\HCD<number>; unset: to no number
    bool interface = true;     // listed by the host-controller interface enumeration
    std::string driver_key;
    std::string device_id;
    std::string description;
    hub root_hub;
};

// The `nth` successful open of a device path.
struct open_count {
    std::string device;
    std::uint32_t nth = 1;
};

// From `at_ms` on, or from `at_open` on where that is set, the port at `port_path`
// (port numbers from the root hub of the controller at position `controller` down)
// is `port`, or empty when it is unset.
struct change {
    std::uint64_t at_ms = 0;
    std::optional<open_count> at_open;
    int controller = 0;
    std::vector<std::uint32_t> port_path;
    std::optional<testkit::port> port;
};

// A device-tree node below the root, after the controllers' nodes.
struct node {
    std::optional<std::string> driver_key;
    std::string device_id;
    std::string description;
    std::vector<node> children;
};

// A fault planted in one platform function (docs/machine.md, "Faults").
struct fault {
    std::string function;
    std::optional<std::uint32_t> ioctl; // written as "0x220424"
    std::string device;
    std::optional<int> controller;
    std::string hub;
    std::string program;
    std::optional<std::uint32_t> port;
    std::optional<std::uint64_t> size;
    std::optional<std::uint32_t> nth;
    std::optional<std::uint32_t> error;
    std::optional<std::uint32_t> actual_length;
    std::optional<std::string> raw_reply; // pairs of hexadecimal digits
};

struct version {
    int major = 5;
    int minor = 1;
};

struct machine {
    std::optional<version> os_version = version{}; // unset: the loader's 6.1
    std::string clock = "virtual";
    std::string processes = "record";
    std::optional<std::uint64_t> largest_block;
    std::vector<controller> controllers;
    std::vector<change> changes;
    std::vector<node> nodes;
    std::vector<fault> faults;
};

// The description as the loader reads it (machine_builder.cpp).
std::string description(const machine &m);

// The description with what the records cannot write put in: each pair a JSON
// pointer ("/controllers/0/number") and the JSON text of its new value.
std::string patched(const machine &m,
                    std::initializer_list<std::pair<const char *, const char *>> changes);

// --- parts most machines are made of ----------------------------------------------

inline port device(std::uint32_t number, std::uint16_t vid, std::uint16_t pid) {
    return {.number = number, .vid = vid, .pid = pid};
}

// A port holding an external hub, whose own IDs are 0x05E3:0x0608.
inline port hub_port(std::uint32_t number, hub inner) {
    return {.number = number, .vid = 0x05E3, .pid = 0x0608, .hub = std::move(inner)};
}

const std::string hub_guid = "#{f18a0e88-c30c-11d0-8815-00a0c906bed8}";

inline std::string root_hub_name(int controller) {
    return "USB#ROOT_HUB#4&1a2b3c&" + std::to_string(controller) + hub_guid;
}
inline std::string external_hub_name(int controller, int port) {
    return "USB#VID_05E3&PID_0608#5&2c3d&" + std::to_string(controller) + "&" +
           std::to_string(port) + hub_guid;
}
inline std::string controller_key(int controller) {
    return "{36fc9e60-c465-11cf-8056-444553540000}\\000" + std::to_string(controller);
}
inline std::string pci_id(int controller) {
    return "PCI\\VEN_8086&DEV_24C" + std::to_string(controller) +
           "&SUBSYS_01451028&REV_01\\3&172E68DD&0&E8";
}

inline hub root_hub(int controller, std::uint32_t port_count, std::vector<port> ports = {}) {
    return {.name = root_hub_name(controller), .port_count = port_count, .ports = std::move(ports)};
}
inline hub external_hub(int controller, int port, std::uint32_t port_count,
                        std::vector<testkit::port> ports = {}) {
    return {.name = external_hub_name(controller, port),
            .port_count = port_count,
            .ports = std::move(ports)};
}

// Controller `number` with the driver key and PCI device ID of its number,
// answering to its numbered name only.
inline controller numbered_controller(int number, hub root) {
    return {.number = number,
            .interface = false,
            .driver_key = controller_key(number),
            .device_id = pci_id(number),
            .root_hub = std::move(root)};
}

// The download-mode device (0x7A31:0x2132) arriving at `port_path` of the
// controller at position `controller` when the clock reaches `at_ms`.
inline change download_arrives(std::uint64_t at_ms, std::vector<std::uint32_t> port_path,
                               int controller = 0) {
    return {.at_ms = at_ms,
            .controller = controller,
            .port_path = std::move(port_path),
            .port = port{.vid = 0x7A31, .pid = 0x2132}};
}

// A machine with controller 0 alone (numbered only), its root hub of
// `port_count` ports holding `ports`.
inline machine one_controller(std::vector<port> ports, std::uint32_t port_count = 4) {
    return {.controllers = {numbered_controller(0, root_hub(0, port_count, std::move(ports)))}};
}

} // namespace testkit
