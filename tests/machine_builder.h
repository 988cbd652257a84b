// Machine descriptions for the tests: a test says what the emulated machine has
// in the description model (platform/description/model.h), and description()
// writes it with the description writer as the JSON text the emulation's loader
// reads (docs/machine.md has every key). In a test's machine a port or
// controller text left empty, and a port's driver key left unset, are what the
// loader makes of the key left out: description() writes no key for them.
#pragma once

#include "platform/description/model.h"

#include <cstdint>
#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

namespace testkit {

using machine = desc::machine;
using controller = desc::controller_desc;
using hub = desc::hub_desc;
using port = desc::port_desc;
using change = desc::change_desc;
using node = desc::node_desc;
using fault = desc::fault;

// The description as the loader reads it (machine_builder.cpp).
std::string description(machine m);

// The description with what the model cannot say put in: each pair a JSON
// pointer ("/controllers/0/number") and the JSON text of its new value.
std::string patched(const machine &m,
                    std::initializer_list<std::pair<const char *, const char *>> changes);

// --- parts most machines are made of ----------------------------------------------

// A version 5.1 system on the virtual clock whose commands are recorded.
inline machine machine_of(std::vector<controller> controllers = {},
                          std::vector<change> changes = {}, std::vector<fault> faults = {}) {
    return {.major = 5,
            .minor = 1,
            .build = 2600,
            .virtual_clock = true,
            .record_processes = true,
            .controllers = std::move(controllers),
            .changes = std::move(changes),
            .faults = std::move(faults)};
}

inline port device(std::uint32_t number, std::uint16_t vid, std::uint16_t pid) {
    return {.port = number, .vid = vid, .pid = pid};
}

// A port holding an external hub, whose own IDs are 0x05E3:0x0608.
inline port hub_port(std::uint32_t number, hub inner) {
    return {.port = number,
            .vid = 0x05E3,
            .pid = 0x0608,
            .device_is_hub = true,
            .hub = {std::move(inner)}};
}

const std::string hub_guid = "#{f18a0e88-c30c-11d0-8815-00a0c906bed8}";

// The path a device's name is opened by.
inline std::string device_path(const std::string &name) {
    return "\\\\.\\" + name;
}
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
                               std::size_t controller = 0) {
    const port arriving = device(port_path.back(), 0x7A31, 0x2132);
    return {.at_ms = at_ms,
            .controller = controller,
            .port_path = std::move(port_path),
            .port = arriving};
}

// A machine with controller 0 alone (numbered only), its root hub of
// `port_count` ports holding `ports`.
inline machine one_controller(std::vector<port> ports, std::uint32_t port_count = 4) {
    return machine_of({numbered_controller(0, root_hub(0, port_count, std::move(ports)))});
}

} // namespace testkit
