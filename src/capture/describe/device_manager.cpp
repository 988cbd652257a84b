// Device Manager's verdict, read after the pass: the state of the controllers'
// nodes and of our devices' nodes (and the nodes above and below them), put into
// the description beside what the scan's own lookups walked.
#include "capture/describe/device_manager.h"

#include "policy/install.h"
#include "platform/description/keys.h"
#include "platform/win32.h"

#include <cstdio>
#include <algorithm>
#include <map>
#include <set>

namespace {

desc::node_desc tree_desc(const captured_tree &t, std::uint32_t n, std::set<std::uint32_t> &seen) {
    desc::node_desc out;
    const tree_node *node = t.find(n);
    seen.insert(n);
    out.driver_key = node->driver_key;
    out.device_id = node->device_id;
    out.description = node->description;
    out.state = node->state;
    for (std::uint32_t child : node->children) {
        if (t.find(child) != nullptr && seen.count(child) == 0) {
            out.children.push_back(tree_desc(t, child, seen));
        }
    }
    return out;
}

bool names_our_vendor(const std::string &device_id) {
    char vendor[16];
    std::snprintf(vendor, sizeof vendor, "vid_%04x", handled_vendor_id);
    return desc::lower(device_id).find(vendor) != std::string::npos;
}

// Whether the emulated machine takes a node of the tree for a USB device: its
// ID, or that of a node above it, begins with USB\ (root hubs aside).
bool usb_device_in(const captured_tree &t, std::uint32_t n) {
    for (const tree_node *node = t.find(n); node != nullptr; node = t.find(node->parent)) {
        if (desc::keys::is_usb_device(node->device_id)) {
            return true;
        }
    }
    return false;
}

// A node's state as the description holds it: unset where it is what the
// emulated machine assumes for such a node; where the status call failed, its
// answer and nothing of the status.
desc::node_state state_of(const rec::node_view &v, bool usb_device) {
    desc::node_state s;
    if (v.state_read) {
        const std::uint32_t problem =
            desc::keys::default_problem({.usb_device = usb_device,
                                         .has_driver_key = v.driver_key.has_value(),
                                         .has_service = v.service.has_value()});
        s.problem = v.problem != problem ? std::optional<std::uint32_t>(v.problem) : std::nullopt;
        s.node_status = v.status != desc::keys::default_node_status(usb_device, v.problem)
                            ? std::optional<std::uint32_t>(v.status)
                            : std::nullopt;
    } else {
        s.status_error = v.status_answer;
    }
    s.service = v.service;
    s.hardware_ids = v.hardware_ids;
    // The driver: its values, and the open's answer where it is not the one a
    // node with (success) or without (no key) a driver key gives.
    s.driver = v.driver.values;
    const std::uint32_t key_answer = v.driver_key ? CR_SUCCESS : CR_NO_SUCH_REGISTRY_KEY;
    if (v.driver.asked && v.driver.key_answer != key_answer && v.driver.key_answer != 0) {
        s.software_key_error = v.driver.key_answer;
    }
    if (v.driver.value_error != 0) {
        s.driver_value_error = desc::value_error{v.driver.failed_value, v.driver.value_error};
    }
    return s;
}

bool is_controller(const desc::machine &m, const rec::node_view &v) {
    return std::any_of(m.controllers.begin(), m.controllers.end(), [&](const auto &c) {
        return (v.driver_key && !c.driver_key.empty() &&
                desc::lower(*v.driver_key) == desc::lower(c.driver_key)) ||
               (!v.device_id.empty() && desc::lower(v.device_id) == desc::lower(c.device_id));
    });
}

// The driver keys of the ports that hold a hub, lower case.
void hub_keys(const desc::hub_desc &h, std::set<std::string> &keys) {
    for (const desc::port_desc &p : h.ports) {
        if (p.device_is_hub && p.driver_key) {
            keys.insert(desc::lower(*p.driver_key));
        }
        for (const desc::hub_desc &inner : p.hub) {
            hub_keys(inner, keys);
        }
    }
}

// The node and each one above it not yet in the tree, after what is there.
void add_with_parents(captured_tree &t, const rec::node_view &v,
                      const std::map<std::uint32_t, const rec::node_view *> &by_node) {
    const rec::node_view *at = t.nodes.count(v.node) == 0 ? &v : nullptr;
    while (at != nullptr) {
        const bool parent_known = t.nodes.count(at->parent) != 0;
        tree_node &n = t.nodes[at->node];
        n.device_id = at->device_id;
        n.driver_key = at->driver_key;
        n.description = at->description;
        n.parent = at->parent;
        t.nodes[at->parent].children.push_back(at->node);
        const auto up = by_node.find(at->parent);
        at = up != by_node.end() && !parent_known ? up->second : nullptr;
    }
    // Its texts as Device Manager's walk read them, even where the lookups read
    // others: the replay's walk reads what the description holds, and the
    // lookups' other answers are planted faults.
    tree_node &n = t.nodes[v.node];
    n.device_id = v.device_id;
    n.driver_key = v.driver_key;
    n.description = v.description;
}

// Each controller's node, each hub's and each that names our vendor, with the
// nodes above it, go into the captured tree where the scan's lookups did not
// reach: after what they walked, so that the tool's walk meets them no sooner.
// Their states follow, judged as the emulated machine will judge the tree.
// Returns the nodes whose state was read.
std::set<std::uint32_t> add_verdict(captured_tree &t, const desc::machine &m,
                                    const std::vector<rec::node_view> &nodes) {
    std::map<std::uint32_t, const rec::node_view *> by_node;
    for (const rec::node_view &v : nodes) {
        by_node[v.node] = &v;
    }
    std::set<std::string> hubs;
    for (const desc::controller_desc &c : m.controllers) {
        hub_keys(c.root_hub, hubs);
    }
    std::vector<const rec::node_view *> read;
    for (const rec::node_view &v : nodes) {
        if (is_controller(m, v) || names_our_vendor(v.device_id) ||
            (v.driver_key && hubs.count(desc::lower(*v.driver_key)) != 0)) {
            add_with_parents(t, v, by_node);
            read.push_back(&v);
        }
    }
    std::set<std::uint32_t> done;
    for (const rec::node_view *v : read) {
        t.nodes[v->node].state = state_of(*v, usb_device_in(t, v->node));
        done.insert(v->node);
    }
    return done;
}

// The node of a port's device below its hub's node, or why none: by the port's
// driver key; one with no driver key yet (no driver installed) by its IDs, the
// one node below the hub's with no driver key whose device ID names the port's
// VID and PID. The download-mode device, whose driver key the scan never asks,
// is matched by its IDs whatever its node's driver key.
bool is_download_mode(const desc::port_desc &p) {
    return p.vid == handled_vendor_id && p.pid == download_product_id && p.status != 0;
}

struct match {
    std::uint32_t node = 0;
    std::string why; // where none: why
};

match port_node(const captured_tree &t, const std::map<std::string, std::uint32_t> &by_key,
                std::uint32_t hub_node, const desc::port_desc &p) {
    if (p.driver_key) {
        const auto it = by_key.find(desc::lower(*p.driver_key));
        return it != by_key.end() ? match{it->second, ""}
                                  : match{0, "no device node has its driver key"};
    }
    const tree_node *hub = t.find(hub_node);
    if (hub == nullptr) {
        return {0, "no driver key was read for it, and its hub's node was not found"};
    }
    char ids[32];
    std::snprintf(ids, sizeof ids, "usb\\vid_%04x&pid_%04x\\", p.vid, p.pid);
    const bool any_key = is_download_mode(p);
    match found;
    std::size_t candidates = 0;
    for (std::uint32_t child : hub->children) {
        const tree_node *node = t.find(child);
        if (node != nullptr && (any_key || !node->driver_key) &&
            desc::lower(node->device_id).rfind(ids, 0) == 0) {
            found.node = child;
            ++candidates;
        }
    }
    if (candidates == 1) {
        return found;
    }
    return {0, candidates == 0
                   ? "no driver key was read for it, and no node below its hub's has "
                     "its IDs and no driver key"
                   : "no driver key was read for it, and " + std::to_string(candidates) +
                         " nodes below its hub's have its IDs and no driver key"};
}

struct verdict_walk {
    const captured_tree &t;
    const std::set<std::uint32_t> &read;
    std::map<std::string, std::uint32_t> by_key;
    std::set<std::uint32_t> seen;
    std::vector<unmatched_port> *unmatched;
    std::size_t controller = 0;

    // The verdict on the ports' devices of ours and on the hubs, and the nodes
    // below a device of ours.
    void ports(desc::hub_desc &h, std::uint32_t hub_node, const std::string &at) {
        for (desc::port_desc &p : h.ports) {
            const std::string place = (at.empty() ? "" : at + ".") + std::to_string(p.port);
            match found = port_node(t, by_key, hub_node, p);
            if (found.node != 0 && read.count(found.node) == 0) {
                found = {0, "its node was not read after the pass"};
            }
            const bool ours = p.vid == handled_vendor_id && p.status != 0;
            if (found.node != 0 && (ours || p.device_is_hub)) {
                const tree_node &node = t.nodes.at(found.node);
                p.state = node.state;
                for (std::uint32_t child : ours ? node.children : std::vector<std::uint32_t>{}) {
                    if (t.find(child) != nullptr) {
                        p.children.push_back(tree_desc(t, child, seen));
                    }
                }
                p.device_id = ours ? node.device_id : p.device_id;
                if (is_download_mode(p) && !p.driver_key) {
                    p.driver_key = node.driver_key; // its verdict is judged with its own key
                }
            } else if ((ours || p.device_is_hub) && unmatched != nullptr) {
                unmatched->push_back({controller, place, found.why});
            }
            for (desc::hub_desc &inner : p.hub) {
                ports(inner, found.node, place);
            }
        }
    }
};

// The verdict on the controllers and on the ports' devices, and the nodes below
// a port's device.
void verdict_on_topology(desc::machine &m, const captured_tree &t,
                         const std::set<std::uint32_t> &read,
                         std::vector<unmatched_port> *unmatched) {
    verdict_walk w{t, read, {}, {}, unmatched};
    for (const auto &[n, node] : t.nodes) {
        if (node.driver_key && n != 0) {
            w.by_key.emplace(desc::lower(*node.driver_key), n);
        }
    }
    for (desc::controller_desc &c : m.controllers) {
        std::uint32_t root_hub = 0; // the controller's one child: its root hub's node
        if (const auto it = w.by_key.find(desc::lower(c.driver_key)); it != w.by_key.end()) {
            const tree_node &node = t.nodes.at(it->second);
            c.state = node.state;
            root_hub = node.children.size() == 1 ? node.children.front() : 0;
        }
        w.ports(c.root_hub, root_hub, "");
        ++w.controller;
    }
}

} // namespace

void add_device_manager_view(desc::machine &m, captured_tree &tree,
                             const std::vector<rec::node_view> &nodes,
                             std::vector<unmatched_port> *unmatched) {
    if (tree.root == 0) {
        return;
    }
    const std::set<std::uint32_t> read = add_verdict(tree, m, nodes);
    std::set<std::uint32_t> seen;
    m.device_tree = tree_desc(tree, tree.root, seen);
    verdict_on_topology(m, tree, read, unmatched);
}
