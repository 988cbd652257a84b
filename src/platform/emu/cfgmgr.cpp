// The configuration manager's device tree on the emulated machine.
//
// The tree is made from the machine description: a root node; below it each host
// controller's node (its driver key, device ID and description), below that its
// root hub's node (no driver key) and the devices connected to its ports, external
// hubs' devices and a port's `children` below the port's node; then the
// description's extra nodes. Each node has its state (keys.h says the defaults). A
// description that states the whole tree (`device_tree`) has that tree instead.
// It is made anew whenever the topology changes, so a DEVINST stays good only
// until then.
#include "platform/description/keys.h"
#include "platform/emu/state.h"

#include <algorithm>
#include <cstring>

namespace emu {
namespace {

constexpr ULONG reg_sz = 1;
constexpr ULONG reg_multi_sz = 7;
constexpr ULONG largest_property = 0x25; // CM_DRP_MAX on the systems the tool targets
constexpr CONFIGRET cr_failure = 0x13;

std::optional<std::string> unless_empty(const std::string &text) {
    if (text.empty()) {
        return std::nullopt;
    }
    return text;
}

// A node's state as the configuration manager answers it.
void set_state(devnode &node, const desc::node_state &state, bool usb_device) {
    node.problem = state.problem.value_or(
        desc::keys::default_problem(usb_device, node.driver_key.has_value()));
    node.status = state.node_status.value_or(desc::keys::default_node_status(node.problem));
    if (state.service) {
        node.service_ansi = utf8_to_ansi(*state.service);
    }
    for (const std::string &id : state.hardware_ids) {
        node.hardware_ids_ansi.push_back(utf8_to_ansi(id));
    }
}

DEVINST add_node(DEVINST parent, devnode node) {
    auto &tree = st().tree;
    if (node.driver_key) {
        node.driver_key_ansi = utf8_to_ansi(*node.driver_key);
    }
    node.device_id_ansi = utf8_to_ansi(node.device_id);
    if (node.description) {
        node.description_ansi = utf8_to_ansi(*node.description);
    }
    node.parent = parent;
    node.child = 0;
    node.sibling = 0;
    tree.push_back(std::move(node));
    const auto added = static_cast<DEVINST>(tree.size());
    if (parent != 0) {
        if (tree[parent - 1].child == 0) {
            tree[parent - 1].child = added;
        } else {
            DEVINST last = tree[parent - 1].child;
            while (tree[last - 1].sibling != 0) {
                last = tree[last - 1].sibling;
            }
            tree[last - 1].sibling = added;
        }
    }
    return added;
}

DEVINST add_extra(DEVINST parent, const node_desc &desc, bool usb_device);

void add_devices(DEVINST parent, const hub_desc &hub) {
    std::vector<const port_desc *> ports;
    for (const port_desc &p : hub.ports) {
        if (p.status != 0) {
            ports.push_back(&p);
        }
    }
    std::sort(ports.begin(), ports.end(),
              [](const port_desc *a, const port_desc *b) { return a->port < b->port; });
    for (const port_desc *p : ports) {
        devnode n;
        n.driver_key = p->driver_key;
        n.device_id = p->device_id;
        n.description = unless_empty(p->description);
        set_state(n, p->state, true);
        const DEVINST added = add_node(parent, n);
        for (const node_desc &child : p->children) {
            add_extra(added, child, true);
        }
        for (const hub_desc &inner : p->hub) {
            add_devices(added, inner);
        }
    }
}

// A node of the description and those below it; a port's children are USB
// devices whatever their IDs, other nodes by their device ID.
DEVINST add_extra(DEVINST parent, const node_desc &desc, bool usb_device) {
    devnode n;
    n.driver_key = desc.driver_key;
    n.device_id = desc.device_id;
    n.description = desc.description;
    set_state(n, desc.state, usb_device || desc::keys::is_usb_device(desc.device_id));
    const DEVINST added = add_node(parent, n);
    for (const node_desc &child : desc.children) {
        add_extra(added, child, usb_device);
    }
    return added;
}

const devnode *node_at(DEVINST dn) {
    const auto &tree = st().tree;
    return dn >= 1 && dn <= tree.size() ? &tree[dn - 1] : nullptr;
}

CONFIGRET refuse(const char *function, const char *what, CONFIGRET result) {
    misuse(function, what);
    return result;
}

// What a planted fault makes a call return: its error value, or CR_FAILURE for 0.
CONFIGRET failure_of(const fault &f) {
    return f.error != 0 ? f.error : cr_failure;
}

// The navigation calls share their checks: a place for the answer, flags 0 and
// a node that exists. The answer is cleared first, as the system does.
CONFIGRET navigate(const char *function, PDEVINST answer, DEVINST from, ULONG flags,
                   DEVINST devnode::*link) {
    enter(function);
    if (answer == nullptr) {
        return refuse(function, "no place for the answer", CR_INVALID_POINTER);
    }
    *answer = 0;
    if (flags != 0) {
        return refuse(function, "flags must be 0", CR_INVALID_FLAG);
    }
    const devnode *node = node_at(from);
    if (node == nullptr) {
        return refuse(function, "not a device node", CR_INVALID_DEVNODE);
    }
    if (const fault *f = take_fault(function, 0, node->device_id, 0);
        f != nullptr && f->action == fault::fail) {
        return failure_of(*f);
    }
    if (node->*link == 0) {
        return CR_NO_SUCH_DEVNODE;
    }
    *answer = node->*link;
    return CR_SUCCESS;
}

} // namespace

void rebuild_tree() {
    state &s = st();
    ++s.topology;
    s.tree.clear();
    if (s.m.device_tree) {
        add_extra(0, *s.m.device_tree, false);
        return;
    }
    devnode root;
    root.device_id = "HTREE\\ROOT\\0";
    set_state(root, {}, false);
    const DEVINST top = add_node(0, root);
    for (std::size_t i = 0; i < s.m.controllers.size(); ++i) {
        const controller_desc &c = s.m.controllers[i];
        devnode n;
        n.driver_key = unless_empty(c.driver_key);
        n.device_id = c.device_id;
        n.description = unless_empty(c.description);
        set_state(n, c.state, false);
        devnode root_hub;
        root_hub.device_id = "USB\\ROOT_HUB\\4&" + std::to_string(i) + "&0";
        root_hub.description = "USB Root Hub";
        set_state(root_hub, {}, false);
        add_devices(add_node(add_node(top, n), root_hub), c.root_hub);
    }
    for (const node_desc &extra : s.m.extra_nodes) {
        add_extra(top, extra, false);
    }
}

} // namespace emu

using namespace emu;

CONFIGRET CM_Locate_DevNodeA(PDEVINST answer, DEVINSTID_A device_id, ULONG flags) {
    constexpr const char *name = "CM_Locate_DevNodeA";
    enter(name);
    if (answer == nullptr) {
        return refuse(name, "no place for the answer", CR_INVALID_POINTER);
    }
    *answer = 0;
    if (flags != CM_LOCATE_DEVNODE_NORMAL) {
        return refuse(name, "only CM_LOCATE_DEVNODE_NORMAL is supported", CR_INVALID_FLAG);
    }
    const std::string wanted = device_id != nullptr ? device_id : "";
    if (const fault *f = take_fault(name, 0, wanted, 0); f != nullptr && f->action == fault::fail) {
        return failure_of(*f);
    }
    const auto &tree = st().tree;
    if (wanted.empty()) {
        *answer = 1;
        return CR_SUCCESS;
    }
    for (std::size_t i = 0; i < tree.size(); ++i) {
        const std::string &id = tree[i].device_id_ansi;
        if (id.size() == wanted.size() &&
            std::equal(id.begin(), id.end(), wanted.begin(), [](char a, char b) {
                return (a >= 'a' && a <= 'z' ? a - 32 : a) == (b >= 'a' && b <= 'z' ? b - 32 : b);
            })) {
            *answer = static_cast<DEVINST>(i + 1);
            return CR_SUCCESS;
        }
    }
    return CR_NO_SUCH_DEVNODE;
}

CONFIGRET CM_Get_Child(PDEVINST answer, DEVINST from, ULONG flags) {
    return navigate("CM_Get_Child", answer, from, flags, &devnode::child);
}

CONFIGRET CM_Get_Sibling(PDEVINST answer, DEVINST from, ULONG flags) {
    return navigate("CM_Get_Sibling", answer, from, flags, &devnode::sibling);
}

CONFIGRET CM_Get_Parent(PDEVINST answer, DEVINST from, ULONG flags) {
    return navigate("CM_Get_Parent", answer, from, flags, &devnode::parent);
}

CONFIGRET CM_Get_DevNode_Registry_PropertyA(DEVINST dn, ULONG property, PULONG data_type,
                                            PVOID buffer, PULONG length, ULONG flags) {
    constexpr const char *name = "CM_Get_DevNode_Registry_PropertyA";
    enter(name);
    if (length == nullptr || (buffer == nullptr && *length != 0)) {
        return refuse(name, "no length, or a length without a buffer", CR_INVALID_POINTER);
    }
    if (flags != 0) {
        return refuse(name, "flags must be 0", CR_INVALID_FLAG);
    }
    if (property < 1 || property > largest_property) {
        return refuse(name, "not a device property", CR_INVALID_PROPERTY);
    }
    const devnode *node = node_at(dn);
    if (node == nullptr) {
        return refuse(name, "not a device node", CR_INVALID_DEVNODE);
    }
    if (const fault *f = take_fault(name, 0, node->device_id, 0)) {
        if (f->action == fault::fail) {
            return failure_of(*f);
        }
        if (f->action == fault::raw_reply) {
            const ULONG n = std::min<ULONG>(*length, static_cast<ULONG>(f->bytes.size()));
            if (n > 0) {
                std::memcpy(buffer, f->bytes.data(), n);
            }
            *length = n;
            return CR_SUCCESS;
        }
    }
    const std::optional<std::string> *value = nullptr;
    if (property == CM_DRP_DRIVER) {
        value = &node->driver_key_ansi;
    } else if (property == CM_DRP_DEVICEDESC) {
        value = &node->description_ansi;
    } else if (property == CM_DRP_SERVICE) {
        value = &node->service_ansi;
    }
    // A text with its terminator; a list (REG_MULTI_SZ) each ID terminated, then
    // one more terminator.
    std::string data;
    if (property == CM_DRP_HARDWAREID && !node->hardware_ids_ansi.empty()) {
        for (const std::string &id : node->hardware_ids_ansi) {
            data.append(id).push_back('\0');
        }
    } else if (value == nullptr || !value->has_value()) {
        return CR_NO_SUCH_VALUE;
    } else {
        data = **value;
    }
    data.push_back('\0');
    const auto needed = static_cast<ULONG>(data.size());
    if (*length < needed) {
        *length = needed;
        return CR_BUFFER_SMALL;
    }
    std::memcpy(buffer, data.data(), needed);
    *length = needed;
    if (data_type != nullptr) {
        *data_type = property == CM_DRP_HARDWAREID ? reg_multi_sz : reg_sz;
    }
    return CR_SUCCESS;
}

CONFIGRET CM_Get_DevNode_Status(PULONG status, PULONG problem, DEVINST dn, ULONG flags) {
    constexpr const char *name = "CM_Get_DevNode_Status";
    enter(name);
    if (status == nullptr || problem == nullptr) {
        return refuse(name, "no place for the status or the problem", CR_INVALID_POINTER);
    }
    *status = 0;
    *problem = 0;
    if (flags != 0) {
        return refuse(name, "flags must be 0", CR_INVALID_FLAG);
    }
    const devnode *node = node_at(dn);
    if (node == nullptr) {
        return refuse(name, "not a device node", CR_INVALID_DEVNODE);
    }
    if (const fault *f = take_fault(name, 0, node->device_id, 0);
        f != nullptr && f->action == fault::fail) {
        return failure_of(*f);
    }
    *status = node->status;
    *problem = node->problem;
    return CR_SUCCESS;
}

// An ID that exactly fills the buffer is delivered without its terminator and
// counts as success; a longer one fills the buffer and counts as too long.
CONFIGRET CM_Get_Device_IDA(DEVINST dn, PSTR buffer, ULONG buffer_length, ULONG flags) {
    constexpr const char *name = "CM_Get_Device_IDA";
    enter(name);
    if (buffer == nullptr) {
        return refuse(name, "no buffer", CR_INVALID_POINTER);
    }
    if (flags != 0) {
        return refuse(name, "flags must be 0", CR_INVALID_FLAG);
    }
    const devnode *node = node_at(dn);
    if (node == nullptr) {
        return refuse(name, "not a device node", CR_INVALID_DEVNODE);
    }
    if (const fault *f = take_fault(name, 0, node->device_id, 0)) {
        if (f->action == fault::fail) {
            return failure_of(*f);
        }
        if (f->action == fault::raw_reply) {
            std::memcpy(buffer, f->bytes.data(),
                        std::min<std::size_t>(buffer_length, f->bytes.size()));
            return CR_SUCCESS;
        }
    }
    const std::string &id = node->device_id_ansi;
    if (buffer_length < id.size()) {
        std::memcpy(buffer, id.data(), buffer_length);
        return CR_BUFFER_SMALL;
    }
    std::memcpy(buffer, id.data(), id.size());
    if (buffer_length > id.size()) {
        buffer[id.size()] = '\0';
    }
    return CR_SUCCESS;
}
