// The machines the benchmarks scan, described as the tests describe machines,
// together with the platform calls one pass over them cannot do without.
#pragma once

#include "machine_builder.h"

#include <algorithm>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace bench {

using testkit::controller;
using testkit::device;
using testkit::hub;
using testkit::hub_port;
using testkit::machine;
using testkit::machine_of;
using testkit::node;
using testkit::port;

constexpr std::uint16_t handled_vendor = 0x7A31;
inline const char usb_class_key[] = "{36fc9e60-c465-11cf-8056-444553540000}\\";

// Controller `index`, answering to its number and to the interface, with a root
// hub of `ports` ports.
inline controller make_controller(int index, unsigned pci_device, std::uint32_t ports) {
    char key[8];
    std::snprintf(key, sizeof key, "%04d", index);
    char id[96];
    std::snprintf(id, sizeof id, "PCI\\VEN_8086&DEV_%04X&SUBSYS_01451028&REV_02\\3&172E68DD&0&%02X",
                  pci_device, 0xE8 + index);
    return {.number = index,
            .driver_key = std::string(usb_class_key) + key,
            .device_id = id,
            .root_hub = {.name = "USB#ROOT_HUB#4&1a2b3c" + std::to_string(index) + "&0" +
                                 testkit::hub_guid,
                         .port_count = ports}};
}

inline hub make_hub(const std::string &place, std::uint32_t ports) {
    return {.name = "USB#VID_05E3&PID_0608#5&" + place + testkit::hub_guid, .port_count = ports};
}

// A typical machine: four controllers that answer to their numbers and to the
// interface, root hubs of 2, 4, 6 and 8 ports, one external hub of 4 ports, a
// mouse, a keyboard, a flash drive and two recognised devices (a d1 device of
// family 1 on a root port and a d2 device of family 3 behind the external hub;
// neither family pauses during its install).
inline machine typical_machine() {
    machine m = machine_of();
    const unsigned pci[] = {0x24C2, 0x24C4, 0x24C7, 0x24CD};
    for (int i = 0; i < 4; ++i) {
        m.controllers.push_back(make_controller(i, pci[i], 2u * static_cast<std::uint32_t>(i + 1)));
    }
    m.controllers[0].root_hub.ports.push_back(device(1, 0x046D, 0xC077)); // mouse
    hub external = make_hub("1", 4);
    external.ports.push_back(device(1, 0x413C, 0x2107)); // keyboard
    external.ports.push_back(device(3, handled_vendor, 0xE42C));
    m.controllers[1].root_hub.ports.push_back(hub_port(2, external));
    m.controllers[2].root_hub.ports.push_back(device(3, handled_vendor, 0xE221));
    m.controllers[3].root_hub.ports.push_back(device(5, 0x0781, 0x5567)); // flash drive
    return m;
}

// The largest machine the tool is built for: ten controllers, each answering to
// its number and to the interface, each bus full with 127 devices (hubs
// included): four root ports, each holding a chain of five 7-port hubs (the five
// tiers USB allows), and 107 devices on the free ports of the chains. Two of the
// devices are recognised ones, in the deepest tier of the last bus.
inline machine largest_machine() {
    machine m = machine_of();
    constexpr std::uint32_t root_ports = 4;
    constexpr int tiers = 5;
    constexpr std::uint32_t hub_ports = 7;
    constexpr int devices_per_bus = 127;
    for (int c = 0; c < 10; ++c) {
        controller ctl = make_controller(c, 0x3A34 + static_cast<unsigned>(c), root_ports);
        int devices = static_cast<int>(root_ports) * tiers; // the hubs
        std::uint16_t serial = 0;
        for (std::uint32_t r = 1; r <= root_ports; ++r) {
            // Build the chain from the deepest tier up; each hub's port 1 holds the
            // next tier, its other ports hold devices while the bus has room.
            std::optional<hub> below;
            for (int tier = tiers; tier >= 1; --tier) {
                hub h = make_hub(std::to_string(c) + "&" + std::to_string(r) + "&" +
                                     std::to_string(tier),
                                 hub_ports);
                for (std::uint32_t p = 1; p <= hub_ports; ++p) {
                    if (p == 1 && below) {
                        h.ports.push_back(hub_port(1, *below));
                    } else if (devices < devices_per_bus) {
                        h.ports.push_back(device(p, 0x046D, 0xC000 + serial++));
                        ++devices;
                    }
                }
                below = h;
            }
            ctl.root_hub.ports.push_back(hub_port(r, *below));
        }
        m.controllers.push_back(ctl);
    }
    // The recognised devices replace two ordinary ones on the deepest hub of the
    // last bus's first chain.
    hub *deepest = &m.controllers.back().root_hub;
    for (int tier = 0; tier <= tiers - 1; ++tier) {
        deepest = &deepest->ports.front().hub.front();
    }
    deepest->ports[1].vid = handled_vendor;
    deepest->ports[1].pid = 0xE221;
    deepest->ports[2].vid = handled_vendor;
    deepest->ports[2].pid = 0xE42C;
    return m;
}

// A machine without controllers whose device tree holds `nodes` nodes in all
// (the root included): a tree of fan-out 8 filled level by level. The node last
// in pre-order carries the driver key `last_key`; no other node has one.
inline machine node_tree_machine(std::size_t nodes, const std::string &last_key) {
    machine m = machine_of();
    // Children of node i (0 = the root) are 8i+1 .. 8i+8, as far as they exist.
    const std::size_t fan_out = 8;
    std::vector<node> made(nodes);
    std::size_t last = 0; // last in pre-order: follow the last child down
    while (last * fan_out + 1 < nodes) {
        last = std::min(nodes - 1, last * fan_out + fan_out);
    }
    for (std::size_t i = nodes; i-- > 1;) {
        node n = {.device_id = "ROOT\\LEGACY_NODE\\" + std::to_string(i),
                  .description = "Node " + std::to_string(i)};
        if (i == last) {
            n.driver_key = last_key;
        }
        for (std::size_t c = i * fan_out + 1; c <= i * fan_out + fan_out && c < nodes; ++c) {
            n.children.push_back(std::move(made[c]));
        }
        made[i] = std::move(n);
    }
    for (std::size_t c = 1; c <= fan_out && c < nodes; ++c) {
        m.extra_nodes.push_back(std::move(made[c]));
    }
    return m;
}

// --- the device tree as the configuration manager shows it ------------------------

// The root; each controller's node with its root hub's node below it and the
// connected devices below that, hub by hub; then the description's own nodes.
inline void add_hub_devices(node &parent, const hub &h) {
    for (const port &p : h.ports) {
        node device = {.driver_key = "device"}; // every enumerated device has one
        for (const hub &inner : p.hub) {
            add_hub_devices(device, inner);
        }
        parent.children.push_back(std::move(device));
    }
}

inline node device_tree(const machine &m) {
    node root;
    for (const controller &c : m.controllers) {
        node root_hub;
        add_hub_devices(root_hub, c.root_hub);
        root.children.push_back({.driver_key = c.driver_key, .children = {std::move(root_hub)}});
    }
    root.children.insert(root.children.end(), m.extra_nodes.begin(), m.extra_nodes.end());
    return root;
}

// What a search of the tree for one driver key costs in configuration-manager
// calls. With only first-child, next-sibling and parent moves and nothing kept
// between searches, a pre-order search from the root has to read the driver key
// of every node up to the match once, reach each of them by one successful move,
// ask each non-matching leaf for a child it does not have, and climb out of each
// finished subtree by one failing sibling query and one parent move.
struct search_cost {
    std::uint64_t reads = 0, child = 0, sibling = 0, parent = 0;
    bool found = false;
};

inline bool search(const node &n, const std::string &key, search_cost &cost) {
    ++cost.reads;
    if (!key.empty() && n.driver_key == key) {
        return true;
    }
    ++cost.child; // asked for the first child, whether or not there is one
    for (std::size_t i = 0; i < n.children.size(); ++i) {
        if (i > 0) {
            ++cost.sibling; // the move to the next child
        }
        if (search(n.children[i], key, cost)) {
            return true;
        }
    }
    if (!n.children.empty()) {
        ++cost.sibling; // the last child has no next sibling
        ++cost.parent;  // climb back to this node
    }
    return false;
}

inline search_cost search_tree(const node &root, const std::string &key) {
    search_cost cost;
    cost.found = search(root, key, cost);
    if (!cost.found) {
        ++cost.sibling; // the root has no sibling
        ++cost.parent;  // nor a parent: the tree is done
    }
    return cost;
}

// --- the platform calls one pass cannot do without ------------------------------

using call_table = std::map<std::string, std::uint64_t>;

struct hub_cost {
    std::uint64_t hubs = 0, ports = 0, external_hubs = 0, devices = 0;
    std::uint64_t commands = 0, traces = 0, pauses = 0; // of the install sequences
};

// What the install sequence of a recognised product runs with every variant mode
// off: the MTP-only variant (3) one command; a composite variant (0 to 2) its
// enumerator, base, modem and OBEX packages with three trace lines, plus the MTP
// package for d2; family 0 pauses after each of its last three packages.
// The product IDs are 0xE<family + 1><variant code>, the codes 20, 21, 2C and 0C.
inline void count_install(std::uint16_t vid, std::uint16_t pid, hub_cost &cost) {
    const unsigned family = ((pid >> 8) & 0xFu) - 1;
    const unsigned code = pid & 0xFFu;
    const unsigned codes[] = {0x20, 0x21, 0x2C, 0x0C};
    unsigned variant = 0;
    while (variant < 4 && codes[variant] != code) {
        ++variant;
    }
    if (vid != handled_vendor || (pid & 0xF000u) != 0xE000u || family > 4 || variant > 3) {
        return; // not one of the twenty products
    }
    if (variant == 3) {
        cost.commands += 1;
        return;
    }
    cost.commands += 4 + (variant == 2 ? 1 : 0);
    cost.traces += 3;
    cost.pauses += family == 0 ? 3 : 0;
}

inline void count_hub(const hub &h, hub_cost &cost) {
    ++cost.hubs;
    cost.ports += h.port_count;
    for (const port &p : h.ports) {
        for (const hub &inner : p.hub) {
            ++cost.external_hubs;
            count_hub(inner, cost);
        }
        ++cost.devices;
        count_install(p.vid, p.pid, cost);
    }
}

// The platform calls of the install commands: each command is one started
// process with its priority raised, waited for, and its two handles closed.
inline void add_command_calls(call_table &t, std::uint64_t commands) {
    t["CreateProcessA"] += commands;
    t["SetPriorityClass"] += commands;
    t["WaitForSingleObject"] += commands;
    t["CloseHandle"] += 2 * commands;
}

// The minimum per pass, by platform function (and USB control code), for a
// machine on which every query answers and no download-mode device is present:
// ten numbered names tried, the interface enumeration, and per controller walk
// its two name queries (two calls each), its device-tree search, and per hub one
// open, one node-information query, one close and two trace lines, per port one
// connection query, per external hub its name query and per connected device its
// driver key query. Every name reply and its ANSI copy are tracked blocks, and
// so are the records, node information, device paths and connection records.
// The install sequences of the recognised devices add their commands (see
// add_command_calls), trace lines and pauses.
inline call_table minimum_calls(const machine &m) {
    call_table t;
    const node tree = device_tree(m);
    t["wsprintfA"] = 10;
    t["CreateFileA"] = 10;
    t["SetupDiGetClassDevsA"] = 1;
    t["SetupDiDestroyDeviceInfoList"] = 1;
    std::uint64_t interfaces = 0;
    std::vector<const controller *> walks;
    for (int number = 0; number < 10; ++number) {
        for (const controller &c : m.controllers) {
            if (c.number == number) {
                walks.push_back(&c);
            }
        }
    }
    for (const controller &c : m.controllers) {
        if (c.interface) {
            ++interfaces;
            walks.push_back(&c);
        }
    }
    t["SetupDiEnumDeviceInterfaces"] = interfaces + 1;
    t["SetupDiGetDeviceInterfaceDetailA"] = 2 * interfaces;
    t["CreateFileA"] += interfaces;
    t["GlobalAlloc"] = interfaces; // the detail blocks
    for (const controller *c : walks) {
        hub_cost h;
        count_hub(c->root_hub, h);
        const std::uint64_t names = 2 + h.external_hubs + h.devices;
        t["CloseHandle"] += 1 + h.hubs;
        t["CreateFileA"] += h.hubs;
        t["DeviceIoControl:0x220424"] += 2;
        t["DeviceIoControl:0x220408"] += 2 + h.hubs;
        t["DeviceIoControl:0x220448"] += h.ports;
        t["DeviceIoControl:0x220414"] += 2 * h.external_hubs;
        t["DeviceIoControl:0x220420"] += 2 * h.devices;
        t["WideCharToMultiByte"] += 2 * names;
        t["GlobalAlloc"] += 1 + 2 * names + 3 * h.hubs + h.ports;
        t["OutputDebugStringA"] += 2 * h.hubs + h.traces;
        add_command_calls(t, h.commands);
        if (h.pauses > 0) {
            t["Sleep"] += h.pauses;
        }
        const search_cost s = search_tree(tree, c->driver_key);
        t["CM_Locate_DevNodeA"] += 1;
        t["CM_Get_DevNode_Registry_PropertyA"] += s.reads;
        t["CM_Get_Child"] += s.child;
        t["CM_Get_Sibling"] += s.sibling;
        t["CM_Get_Parent"] += s.parent;
        t["CM_Get_Device_IDA"] += s.found ? 1 : 0;
    }
    std::uint64_t ioctls = 0;
    for (const auto &[kind, count] : t) {
        if (kind.rfind("DeviceIoControl:", 0) == 0) {
            ioctls += count;
        }
    }
    t["DeviceIoControl"] = ioctls;
    t["GlobalFree"] = t["GlobalAlloc"];
    return t;
}

} // namespace bench
