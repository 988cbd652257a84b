// A machine description as the machine model's table.
//
// The device-tree nodes come in the order a walk from the root meets them at the
// start (so their DEVINSTs are what Windows-like numbering in that order gives):
// the root, each controller's node, its root hub's, the devices on the root
// hub's ports by port number (each with the nodes below it, then the devices of
// its external hub), then the description's other nodes; a stated tree instead
// of all that. The devices that changes bring follow, each its own node.
#include "platform/description/table.h"

#include "platform/description/keys.h"
#include "platform/model/model.h"

#include <algorithm>
#include <cstring>

namespace desc {
namespace {

std::optional<std::string> unless_empty(const std::string &text) {
    return text.empty() ? std::nullopt : std::optional<std::string>(text);
}

template <typename T> void put(std::vector<std::uint8_t> &out, const std::vector<T> &v) {
    // resize and copy rather than insert a byte range: GCC 12 at -O3 reads the
    // inlined range insert as writing past the block (-Warray-bounds)
    const std::size_t at = out.size();
    out.resize(at + v.size() * sizeof(T));
    if (!v.empty()) {
        std::memcpy(out.data() + at, v.data(), v.size() * sizeof(T));
    }
}

class builder {
  public:
    explicit builder(const machine &m) : m_(m) {}

    std::vector<std::uint8_t> build() {
        find_devices();
        if (m_.device_tree) {
            add_tree(QVM_NONE, *m_.device_tree, false);
            for (const controller_desc &c : m_.controllers) {
                controllers_.push_back(controller(c, add_hub(c.root_hub)));
            }
        } else {
            add_nodes();
        }
        for (const change_desc &c : m_.changes) {
            add_change(c);
        }
        for (const fault &f : m_.faults) {
            add_fault(f);
        }
        pool_.insert(pool_.end(), {0, 0, 0});
        return assemble();
    }

  private:
    // --- texts ---
    std::uint32_t ansi(const std::string &text) {
        const auto at = static_cast<std::uint32_t>(pool_.size());
        pool_.insert(pool_.end(), text.begin(), text.end());
        pool_.push_back(0);
        return at;
    }
    std::uint32_t ansi(const std::optional<std::string> &utf8) {
        return utf8 ? ansi(utf8_to_ansi(*utf8)) : QVM_NONE;
    }
    std::uint32_t wide(const std::string &utf8) {
        const auto at = static_cast<std::uint32_t>(pool_.size());
        for (char16_t unit : utf8_to_utf16(utf8)) {
            pool_.push_back(static_cast<std::uint8_t>(unit));
            pool_.push_back(static_cast<std::uint8_t>(unit >> 8));
        }
        pool_.insert(pool_.end(), {0, 0});
        return at;
    }

    // --- the paths that open something, sorted by their lower-case text ---
    void find_devices() {
        paths_ = device_paths(m_);
        for (const auto &[key, device] : paths_) {
            const std::uint32_t kind = device.second == QVM_NONE ? QVM_HUB : QVM_CONTROLLER;
            devices_.push_back({kind, ansi(device.first), device.second});
        }
    }
    std::uint32_t device(const std::string &path) const {
        const auto it = paths_.find(lower(path));
        return it == paths_.end() ? QVM_NONE
                                  : static_cast<std::uint32_t>(std::distance(paths_.begin(), it));
    }

    // --- the device tree ---
    std::uint32_t add_node(std::uint32_t parent, const std::string &id,
                           const std::optional<std::string> &driver_key,
                           const std::optional<std::string> &description, const node_state &state,
                           bool usb_device) {
        qvm_node n{};
        n.device_id = ansi(utf8_to_ansi(id));
        n.driver_key = ansi(driver_key);
        n.description = ansi(description);
        n.service = ansi(state.service);
        n.hardware_ids = QVM_NONE;
        for (const std::string &hardware_id : state.hardware_ids) {
            const std::uint32_t at = ansi(utf8_to_ansi(hardware_id));
            n.hardware_ids = n.hardware_ids == QVM_NONE ? at : n.hardware_ids;
        }
        if (n.hardware_ids != QVM_NONE) {
            pool_.push_back(0);
        }
        n.driver_values = QVM_NONE;
        for (const driver_value_name &v : driver_value_names) {
            if (const std::optional<std::string> &value = state.driver.*v.member) {
                const std::uint32_t at = ansi(std::string(v.name));
                ansi(utf8_to_ansi(*value));
                n.driver_values = n.driver_values == QVM_NONE ? at : n.driver_values;
            }
        }
        if (n.driver_values != QVM_NONE) {
            pool_.push_back(0);
        }
        n.software_key_error = state.software_key_error.value_or(0);
        const std::optional<value_error> &failing = state.driver_value_error;
        n.failing_value = failing ? ansi(utf8_to_ansi(failing->name)) : QVM_NONE;
        n.value_error = failing ? failing->error : 0;
        // The first node is the tree's root.
        const keys::shown_state shown =
            keys::shown(state, {.usb_device = usb_device,
                                .has_driver_key = driver_key.has_value(),
                                .root = nodes_.empty()});
        n.problem = shown.problem;
        n.status = shown.status;
        n.status_error = state.status_error.value_or(0);
        n.first_child = n.next_sibling = n.hub = QVM_NONE;
        const auto added = static_cast<std::uint32_t>(nodes_.size());
        nodes_.push_back(n);
        last_child_.push_back(QVM_NONE);
        if (parent != QVM_NONE) {
            std::uint32_t &last = last_child_[parent];
            (last == QVM_NONE ? nodes_[parent].first_child : nodes_[last].next_sibling) = added;
            last = added;
        }
        return added;
    }
    // A node below a USB device is one too, whatever its ID; other nodes are by
    // their ID.
    std::uint32_t add_tree(std::uint32_t parent, const node_desc &n, bool usb_device) {
        const bool usb = usb_device || keys::is_usb_device(n.device_id);
        const std::uint32_t added =
            add_node(parent, n.device_id, n.driver_key, n.description, n.state, usb);
        for (const node_desc &child : n.children) {
            add_tree(added, child, usb);
        }
        return added;
    }
    // The root, each controller and its root hub with the devices below, the others.
    void add_nodes() {
        const std::uint32_t root = add_node(QVM_NONE, "HTREE\\ROOT\\0", {}, {}, {}, false);
        for (std::size_t i = 0; i < m_.controllers.size(); ++i) {
            const controller_desc &c = m_.controllers[i];
            const std::uint32_t node = add_node(root, c.device_id, unless_empty(c.driver_key),
                                                unless_empty(c.description), c.state, false);
            node_state hub_state;
            hub_state.service = keys::default_root_hub_service(m_, c);
            const std::string &id = c.root_hub.device_id;
            const std::uint32_t hub_node =
                add_node(node, id.empty() ? keys::default_root_hub_id(c, i) : id,
                         keys::default_port_driver_key(keys::item("controllers", i) + ".root_hub"),
                         keys::root_hub_description, hub_state, false);
            controllers_.push_back(controller(c, add_hub(c.root_hub)));
            nodes_[hub_node].hub = controllers_.back().root_hub;
        }
        for (const node_desc &extra : m_.extra_nodes) {
            add_tree(root, extra, false);
        }
    }
    // --- the topology ---
    qvm_controller controller(const controller_desc &c, std::uint32_t root_hub) {
        const std::size_t index = controllers_.size();
        return {c.number.value_or(-1), c.interface ? ansi(interface_path(m_, index)) : QVM_NONE,
                wide(c.driver_key), root_hub};
    }
    // A hub's listed ports are records of its own, by port number.
    std::uint32_t add_hub(const hub_desc &h) {
        const auto index = static_cast<std::uint32_t>(hubs_.size());
        std::vector<const port_desc *> listed;
        for (const port_desc &p : h.ports) {
            listed.push_back(&p);
        }
        std::sort(listed.begin(), listed.end(),
                  [](const port_desc *a, const port_desc *b) { return a->port < b->port; });
        const auto first = static_cast<std::uint32_t>(ports_.size());
        hubs_.push_back({device("\\\\.\\" + utf8_to_ansi(h.name)), wide(h.name), h.port_count,
                         first, static_cast<std::uint32_t>(listed.size()), slots_});
        slots_ += h.port_count;
        ports_.resize(ports_.size() + listed.size());
        for (std::size_t k = 0; k < listed.size(); ++k) {
            const qvm_port p = add_port(*listed[k]);
            ports_[first + k] = p;
        }
        return index;
    }
    // A port; its device's node, the nodes below it, then its hub's devices.
    qvm_port add_port(const port_desc &p) {
        qvm_port r{.port = p.port,
                   .status = p.status,
                   .vid = p.vid,
                   .pid = p.pid,
                   .speed = p.speed,
                   .legacy_only = p.legacy_only,
                   .device_is_hub = p.device_is_hub,
                   .reserved = 0,
                   .driver_key = p.driver_key ? wide(*p.driver_key) : QVM_NONE,
                   .hub = QVM_NONE,
                   .node = QVM_NONE};
        if (p.status != 0 && !m_.device_tree) {
            r.node = add_node(QVM_NONE, p.device_id, p.driver_key, unless_empty(p.description),
                              p.state, true);
            for (const node_desc &child : p.children) {
                add_tree(r.node, child, true);
            }
        }
        if (!p.hub.empty()) {
            r.hub = add_hub(p.hub.front());
            if (r.node != QVM_NONE) {
                nodes_[r.node].hub = r.hub;
            }
        }
        return r;
    }
    // A change by an open or a call counts the device or the call; one by time, none.
    void add_change(const change_desc &c) {
        const bool opened = !c.at_open_device.empty(), called = !c.at_call_function.empty();
        qvm_change r{.trigger = opened   ? QVM_AT_OPEN
                                : called ? QVM_AT_CALL
                                         : QVM_AT_MS,
                     .counted = opened   ? device(utf8_to_ansi(c.at_open_device))
                                : called ? keys::machine_call(c.at_call_function)
                                         : QVM_NONE,
                     .at = opened   ? c.at_open_nth
                           : called ? c.at_call_nth
                                    : c.at_ms,
                     .controller = static_cast<std::uint32_t>(c.controller),
                     .path = static_cast<std::uint32_t>(pool_.size()),
                     .depth = static_cast<std::uint32_t>(c.port_path.size()),
                     .port = QVM_NONE};
        for (std::uint32_t number : c.port_path) {
            for (int i = 0; i < 4; ++i) {
                pool_.push_back(static_cast<std::uint8_t>(number >> (8 * i)));
            }
        }
        if (c.port) {
            port_desc p = *c.port;
            p.port = c.port_path.back();
            const qvm_port record = add_port(p);
            r.port = static_cast<std::uint32_t>(ports_.size());
            ports_.push_back(record);
        }
        changes_.push_back(r);
    }

    // --- faults ---
    // A device path or ID is written in UTF-8; the machine is asked in ANSI.
    void add_fault(const fault &f) {
        const std::uint32_t c = keys::machine_call(f.function);
        if (c == QVM_NONE) {
            return;
        }
        qvm_fault r{.call = c,
                    .code = f.ioctl,
                    .device = QVM_NONE,
                    .port = f.port,
                    .size = f.size,
                    .nth = f.nth,
                    .action = f.action == fault::fail            ? QVM_FAIL
                              : f.action == fault::actual_length ? QVM_ACTUAL_LENGTH
                                                                 : QVM_RAW_REPLY,
                    .error = f.error,
                    .length = f.length,
                    .reply = static_cast<std::uint32_t>(pool_.size()),
                    .reply_length = static_cast<std::uint32_t>(f.bytes.size())};
        pool_.insert(pool_.end(), f.bytes.begin(), f.bytes.end());
        if (!f.device.empty()) {
            r.device = ansi(utf8_to_ansi(f.device));
        }
        faults_.push_back(r);
    }

    std::vector<std::uint8_t> assemble() const {
        qvm_header h{};
        h.magic = QVM_MAGIC;
        h.major = m_.major;
        h.minor = m_.minor;
        h.largest_block = m_.largest_block;
        h.controllers = static_cast<std::uint32_t>(controllers_.size());
        h.devices = static_cast<std::uint32_t>(devices_.size());
        h.hubs = static_cast<std::uint32_t>(hubs_.size());
        h.ports = static_cast<std::uint32_t>(ports_.size());
        h.nodes = static_cast<std::uint32_t>(nodes_.size());
        h.changes = static_cast<std::uint32_t>(changes_.size());
        h.faults = static_cast<std::uint32_t>(faults_.size());
        h.slots = slots_;
        h.pool = static_cast<std::uint32_t>(pool_.size());
        std::vector<std::uint8_t> out(sizeof h);
        put(out, controllers_);
        put(out, devices_);
        put(out, hubs_);
        put(out, ports_);
        put(out, nodes_);
        put(out, changes_);
        put(out, faults_);
        put(out, pool_);
        h.size = static_cast<std::uint32_t>(out.size());
        std::copy_n(reinterpret_cast<const std::uint8_t *>(&h), sizeof h, out.begin());
        return out;
    }

    const machine &m_;
    device_map paths_;
    std::vector<qvm_controller> controllers_;
    std::vector<qvm_device> devices_;
    std::vector<qvm_hub> hubs_;
    std::vector<qvm_port> ports_;
    std::vector<qvm_node> nodes_;
    std::vector<std::uint32_t> last_child_;
    std::vector<qvm_change> changes_;
    std::vector<qvm_fault> faults_;
    std::vector<std::uint8_t> pool_;
    std::uint32_t slots_ = 0;
};

} // namespace

std::vector<std::uint8_t> machine_table(const machine &m) {
    return builder(m).build();
}

} // namespace desc
