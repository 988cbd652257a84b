// Writing a machine description as the JSON text the emulated machine reads
// (docs/machine.md), without a JSON library, so that every build can write one.
//
// Every kind of object is written by walking its table of keys (keys.h), each
// key through a switch: a key is written where its value differs from what the
// reader assumes when the key is left out, and a required key always. The text
// is UTF-8 as the model's texts are; the layout is fixed (two spaces per level,
// an object or list of plain values on one line), so the same model always
// gives the same bytes.
#include "platform/description/keys.h"
#include "platform/description/model.h"

#include <cstdio>
#include <utility>

namespace desc {
namespace {

using keys::at;
using keys::at_open_key;
using keys::change_key;
using keys::controller_key;
using keys::fault_key;
using keys::hub_key;
using keys::item;
using keys::machine_key;
using keys::node_key;
using keys::port_key;
using keys::version_key;

// A value to be laid out: a scalar's JSON text, an object's members (names
// beside items) or an array's items.
struct value {
    enum { scalar, object, array } kind = scalar;
    std::string text;
    std::vector<std::string_view> names;
    std::vector<value> items;
};

value scalar(std::string written) {
    value v;
    v.text = std::move(written);
    return v;
}

value number(std::uint64_t n) {
    return scalar(std::to_string(n));
}

value boolean(bool b) {
    return scalar(b ? "true" : "false");
}

std::string quoted(std::string_view s) {
    std::string out = "\"";
    for (const char c : s) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (byte < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04X", byte);
            out += escaped;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

value text(std::string_view s) {
    return scalar(quoted(s));
}

value hex(std::uint32_t n, int digits) {
    char written[16];
    std::snprintf(written, sizeof written, "\"0x%0*X\"", digits, n);
    return scalar(written);
}

// Hexadecimal pairs, a space after every fourth byte.
value hex_bytes(const std::vector<std::uint8_t> &bytes) {
    std::string pairs;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        char pair[4];
        std::snprintf(pair, sizeof pair, "%02X", bytes[i]);
        if (i > 0 && i % 4 == 0) {
            pairs += ' ';
        }
        pairs += pair;
    }
    return text(pairs);
}

value object() {
    value v;
    v.kind = value::object;
    return v;
}

template <typename E> void put(value &o, E key, value v) {
    o.names.push_back(keys::name(key));
    o.items.push_back(std::move(v));
}

// The items of a list, each written with its place.
template <typename T, typename Write>
value list(const std::vector<T> &items, const std::string &place, const Write &write) {
    value v;
    v.kind = value::array;
    for (std::size_t i = 0; i < items.size(); ++i) {
        v.items.push_back(write(items[i], item(place, i)));
    }
    return v;
}

// One line for an object or array that holds only scalars and arrays of them.
bool one_line(const value &v) {
    for (const value &i : v.items) {
        if (i.kind == value::object ||
            (i.kind == value::array && (v.kind == value::array || !one_line(i)))) {
            return false;
        }
    }
    return true;
}

void lay_out(const value &v, int indent, std::string &out) {
    if (v.kind == value::scalar) {
        out += v.text;
        return;
    }
    const bool is_object = v.kind == value::object;
    const bool flat = one_line(v);
    // Appended piece by piece: GCC 12 at -O3 warns falsely (-Wrestrict) about
    // strings joined with operator+ here.
    out += is_object ? '{' : '[';
    for (std::size_t i = 0; i < v.items.size(); ++i) {
        out += i > 0 ? "," : "";
        if (!flat) {
            out += '\n';
            out.append(static_cast<std::size_t>(indent + 2), ' ');
        } else if (is_object || i > 0) {
            out += ' ';
        }
        if (is_object) {
            out += quoted(v.names[i]);
            out += ": ";
        }
        lay_out(v.items[i], indent + 2, out);
    }
    if (!v.items.empty() && !flat) {
        out += '\n';
        out.append(static_cast<std::size_t>(indent), ' ');
    } else if (!v.items.empty() && is_object) {
        out += ' ';
    }
    out += is_object ? '}' : ']';
}

value write_hub(const hub_desc &h, const std::string &place);
value write_node(const node_desc &n, const std::string &place);

// One key of a node's state, where it is set.
template <typename E> void put_state(value &o, E key, const node_state &s) {
    const std::string_view name = keys::name(key);
    if (name == "node_status" && s.node_status) {
        put(o, key, hex(*s.node_status, 8));
    } else if (name == "problem" && s.problem) {
        put(o, key, number(*s.problem));
    } else if (name == "service" && s.service) {
        put(o, key, text(*s.service));
    } else if (name == "hardware_ids" && !s.hardware_ids.empty()) {
        put(o, key, list(s.hardware_ids, "", [](const std::string &id, const std::string &) {
                return text(id);
            }));
    }
}

value write_port(const port_desc &p, const std::string &place) {
    const port_desc none;
    value o = object();
    for (const auto &k : keys::port_keys) {
        switch (k.id) {
        case port_key::port:
            put(o, k.id, number(p.port));
            break;
        case port_key::vid:
            if (p.vid != none.vid) {
                put(o, k.id, hex(p.vid, 4));
            }
            break;
        case port_key::pid:
            if (p.pid != none.pid) {
                put(o, k.id, hex(p.pid, 4));
            }
            break;
        case port_key::status:
            if (p.status != none.status) {
                put(o, k.id, number(p.status));
            }
            break;
        case port_key::speed: // a speed the description has no word for reads as high
            if (p.speed != none.speed && p.speed < std::size(keys::speed_names)) {
                put(o, k.id, text(keys::speed_names[p.speed]));
            }
            break;
        case port_key::legacy_query:
            if (p.legacy_only) {
                put(o, k.id, boolean(true));
            }
            break;
        case port_key::hub:
            if (!p.hub.empty()) {
                put(o, k.id, write_hub(p.hub.front(), at(place, k.name)));
            }
            break;
        case port_key::device_is_hub:
            if (p.device_is_hub != !p.hub.empty()) {
                put(o, k.id, boolean(p.device_is_hub));
            }
            break;
        case port_key::driver_key:
            if (!p.driver_key) {
                put(o, k.id, scalar("null"));
            } else if (*p.driver_key != keys::default_port_driver_key(place)) {
                put(o, k.id, text(*p.driver_key));
            }
            break;
        case port_key::device_id:
            if (p.device_id != keys::default_port_device_id(p.vid, p.pid, p.port)) {
                put(o, k.id, text(p.device_id));
            }
            break;
        case port_key::description:
            if (p.description != keys::default_port_description) {
                put(o, k.id, text(p.description));
            }
            break;
        case port_key::node_status:
        case port_key::problem:
        case port_key::service:
        case port_key::hardware_ids:
            put_state(o, k.id, p.state);
            break;
        case port_key::children:
            if (!p.children.empty()) {
                put(o, k.id, list(p.children, at(place, k.name), write_node));
            }
            break;
        }
    }
    return o;
}

value write_hub(const hub_desc &h, const std::string &place) {
    value o = object();
    for (const auto &k : keys::hub_keys) {
        switch (k.id) {
        case hub_key::name:
            put(o, k.id, text(h.name));
            break;
        case hub_key::port_count:
            put(o, k.id, number(h.port_count));
            break;
        case hub_key::ports:
            if (!h.ports.empty()) {
                put(o, k.id, list(h.ports, at(place, k.name), write_port));
            }
            break;
        }
    }
    return o;
}

value write_node(const node_desc &n, const std::string &place) {
    value o = object();
    for (const auto &k : keys::node_keys) {
        switch (k.id) {
        case node_key::driver_key:
            if (n.driver_key) {
                put(o, k.id, text(*n.driver_key));
            }
            break;
        case node_key::device_id:
            if (!n.device_id.empty()) {
                put(o, k.id, text(n.device_id));
            }
            break;
        case node_key::description:
            if (n.description) {
                put(o, k.id, text(*n.description));
            }
            break;
        case node_key::node_status:
        case node_key::problem:
        case node_key::service:
        case node_key::hardware_ids:
            put_state(o, k.id, n.state);
            break;
        case node_key::children:
            if (!n.children.empty()) {
                put(o, k.id, list(n.children, at(place, k.name), write_node));
            }
            break;
        }
    }
    return o;
}

value write_controller(const controller_desc &c, const std::string &place) {
    const controller_desc none;
    value o = object();
    for (const auto &k : keys::controller_keys) {
        switch (k.id) {
        case controller_key::number:
            if (c.number) {
                put(o, k.id, number(static_cast<std::uint64_t>(*c.number)));
            }
            break;
        case controller_key::interface_listed:
            if (c.interface != none.interface) {
                put(o, k.id, boolean(c.interface));
            }
            break;
        case controller_key::interface_path:
            if (c.interface_path) {
                put(o, k.id, text(*c.interface_path));
            }
            break;
        case controller_key::driver_key:
            put(o, k.id, text(c.driver_key));
            break;
        case controller_key::device_id:
            if (c.device_id != keys::default_controller_device_id) {
                put(o, k.id, text(c.device_id));
            }
            break;
        case controller_key::description:
            if (c.description != keys::default_controller_description) {
                put(o, k.id, text(c.description));
            }
            break;
        case controller_key::node_status:
        case controller_key::problem:
        case controller_key::service:
        case controller_key::hardware_ids:
            put_state(o, k.id, c.state);
            break;
        case controller_key::root_hub:
            put(o, k.id, write_hub(c.root_hub, at(place, k.name)));
            break;
        }
    }
    return o;
}

value write_at_open(const change_desc &c) {
    value o = object();
    for (const auto &k : keys::at_open_keys) {
        switch (k.id) {
        case at_open_key::device:
            put(o, k.id, text(c.at_open_device));
            break;
        case at_open_key::nth:
            put(o, k.id, number(c.at_open_nth));
            break;
        }
    }
    return o;
}

// A change made by an open has no time.
value write_change(const change_desc &c, const std::string &place) {
    value o = object();
    for (const auto &k : keys::change_keys) {
        switch (k.id) {
        case change_key::at_ms:
            if (c.at_open_device.empty()) {
                put(o, k.id, number(c.at_ms));
            }
            break;
        case change_key::at_open:
            if (!c.at_open_device.empty()) {
                put(o, k.id, write_at_open(c));
            }
            break;
        case change_key::controller:
            put(o, k.id, number(c.controller));
            break;
        case change_key::port_path:
            put(o, k.id, list(c.port_path, place, [](std::uint32_t n, const std::string &) {
                    return number(n);
                }));
            break;
        case change_key::port:
            put(o, k.id, c.port ? write_port(*c.port, at(place, k.name)) : scalar("null"));
            break;
        }
    }
    return o;
}

// The device is written as a path (or a program), never by the shorthands.
value write_fault(const fault &f, const std::string &) {
    const fault none;
    const keys::fault_site *site = keys::find_fault_site(f.function);
    const bool program = site != nullptr && site->program;
    value o = object();
    for (const auto &k : keys::fault_keys) {
        switch (k.id) {
        case fault_key::function:
            put(o, k.id, text(f.function));
            break;
        case fault_key::ioctl:
            if (f.ioctl != none.ioctl) {
                put(o, k.id, hex(f.ioctl, 6));
            }
            break;
        case fault_key::device:
        case fault_key::program:
            if (!f.device.empty() && program == (k.id == fault_key::program)) {
                put(o, k.id, text(f.device));
            }
            break;
        case fault_key::controller:
        case fault_key::hub:
            break;
        case fault_key::port:
            if (f.port != none.port) {
                put(o, k.id, number(f.port));
            }
            break;
        case fault_key::size:
            if (f.size != none.size) {
                put(o, k.id, number(f.size));
            }
            break;
        case fault_key::nth:
            if (f.nth != none.nth) {
                put(o, k.id, number(f.nth));
            }
            break;
        case fault_key::error:
            if (f.action == fault::fail && f.error != none.error) {
                put(o, k.id, number(f.error));
            }
            break;
        case fault_key::actual_length:
            if (f.action == fault::actual_length) {
                put(o, k.id, number(f.length));
            }
            break;
        case fault_key::raw_reply:
            if (f.action == fault::raw_reply) {
                put(o, k.id, hex_bytes(f.bytes));
            }
            break;
        }
    }
    return o;
}

// `os_version` given without `minor` or `build` takes the reader's own.
value write_version(const machine &m) {
    value o = object();
    for (const auto &k : keys::version_keys) {
        switch (k.id) {
        case version_key::major:
            put(o, k.id, number(m.major));
            break;
        case version_key::minor:
            if (m.minor != keys::minor_version_unstated) {
                put(o, k.id, number(m.minor));
            }
            break;
        case version_key::build:
            if (m.build != keys::default_build(m.major)) {
                put(o, k.id, number(m.build));
            }
            break;
        }
    }
    return o;
}

value write_machine(const machine &m) {
    const machine none;
    value o = object();
    for (const auto &k : keys::machine_keys) {
        const std::string place(k.name);
        switch (k.id) {
        case machine_key::os_version:
            if (m.major != none.major || m.minor != none.minor || m.build != none.build) {
                put(o, k.id, write_version(m));
            }
            break;
        case machine_key::clock:
            if (m.virtual_clock) {
                put(o, k.id, text(keys::clock_virtual));
            }
            break;
        case machine_key::processes:
            if (m.record_processes) {
                put(o, k.id, text(keys::processes_record));
            }
            break;
        case machine_key::largest_block:
            if (m.largest_block != none.largest_block) {
                put(o, k.id, number(m.largest_block));
            }
            break;
        case machine_key::controllers:
            if (!m.controllers.empty()) {
                put(o, k.id, list(m.controllers, place, write_controller));
            }
            break;
        case machine_key::device_tree:
            if (m.device_tree) {
                put(o, k.id, write_node(*m.device_tree, place));
            }
            break;
        case machine_key::nodes:
            if (!m.extra_nodes.empty()) {
                put(o, k.id, list(m.extra_nodes, place, write_node));
            }
            break;
        case machine_key::changes:
            if (!m.changes.empty()) {
                put(o, k.id, list(m.changes, place, write_change));
            }
            break;
        case machine_key::faults:
            if (!m.faults.empty()) {
                put(o, k.id, list(m.faults, place, write_fault));
            }
            break;
        }
    }
    return o;
}

} // namespace

std::string write_description(const machine &m) {
    std::string out;
    lay_out(write_machine(m), 0, out);
    return out + "\n";
}

} // namespace desc
