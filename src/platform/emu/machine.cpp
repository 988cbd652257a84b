// Reading a machine description (JSON) into the emulated machine's model.
// Strict: an unknown key, a wrong type or a value out of range is a fault that
// names its place, and nothing of a faulty description is used.
//
// The keys are those of description/keys.h, which the writer shares: an object
// is read key by key in its table's order, each key (present or left out)
// through a switch over its kind's keys.
#include "platform/description/keys.h"
#include "platform/emu/state.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <set>
#include <stdexcept>
#include <tuple>

namespace emu {
namespace {

using json = nlohmann::json;
namespace keys = desc::keys;
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

struct fault_at : std::runtime_error {
    using std::runtime_error::runtime_error;
};

[[noreturn]] void fail(const std::string &place, const std::string &what) {
    throw fault_at(place + ": " + what);
}

// `j` is an object whose keys are all in E's table.
template <typename E> void known_keys(const json &j, const std::string &place) {
    if (!j.is_object()) {
        fail(place, "expected an object");
    }
    for (const auto &entry : j.items()) {
        if (!keys::find<E>(entry.key())) {
            fail(at(place, entry.key()), "unknown key");
        }
    }
}

template <typename E> bool has(const json &j, E key) {
    return j.contains(std::string(keys::name(key)));
}

// Hands every key of E's table, in the table's order, to `read` with its value
// (null when the key is left out) and its place.
template <typename E, typename Read>
void each_key(const json &j, const std::string &place, const Read &read) {
    for (const keys::key<E> &k : keys::table(E{})) {
        const auto found = j.find(std::string(k.name));
        read(k.id, found == j.end() ? nullptr : &*found, at(place, k.name));
    }
}

template <typename E, typename Read>
void read_object(const json &j, const std::string &place, const Read &read) {
    known_keys<E>(j, place);
    each_key<E>(j, place, read);
}

// Hands every item of an array to `read` with its place.
template <typename Read> void each_item(const json &j, const std::string &place, const Read &read) {
    if (!j.is_array()) {
        fail(place, "expected an array");
    }
    for (std::size_t i = 0; i < j.size(); ++i) {
        read(j[i], item(place, i));
    }
}

std::uint64_t whole(const json &j, const std::string &place, std::uint64_t lo, std::uint64_t hi) {
    if (!j.is_number_integer() ||
        (j.is_number_integer() && !j.is_number_unsigned() && j.get<std::int64_t>() < 0)) {
        fail(place,
             "expected a whole number from " + std::to_string(lo) + " to " + std::to_string(hi));
    }
    const auto v = j.get<std::uint64_t>();
    if (v < lo || v > hi) {
        fail(place,
             "expected a whole number from " + std::to_string(lo) + " to " + std::to_string(hi));
    }
    return v;
}

std::string text(const json &j, const std::string &place, bool allow_empty = true) {
    if (!j.is_string()) {
        fail(place, "expected a string");
    }
    std::string s = j.get<std::string>();
    if (!allow_empty && s.empty()) {
        fail(place, "must not be empty");
    }
    if (s.find('\0') != std::string::npos) {
        fail(place, "must not contain a NUL character");
    }
    return s;
}

bool flag(const json &j, const std::string &place) {
    if (!j.is_boolean()) {
        fail(place, "expected true or false");
    }
    return j.get<bool>();
}

// A 16-bit ID: "0x7A31" or a number.
std::uint16_t id16(const json &j, const std::string &place) {
    if (j.is_number_integer()) {
        return static_cast<std::uint16_t>(whole(j, place, 0, 0xFFFF));
    }
    if (j.is_string()) {
        const std::string s = j.get<std::string>();
        if (s.size() > 2 && s.size() <= 6 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
            char *end = nullptr;
            const unsigned long v = std::strtoul(s.c_str() + 2, &end, 16);
            if (end != nullptr && *end == '\0' && s[2] != '-' && s[2] != '+' && s[2] != ' ') {
                return static_cast<std::uint16_t>(v);
            }
        }
    }
    fail(place, "expected a 16-bit ID such as \"0x7A31\"");
}

void collect_hub_names(const hub_desc &h, const std::string &place, std::set<std::string> &names) {
    if (!names.insert(h.name).second) {
        fail(place, "hub name \"" + h.name + "\" is used twice");
    }
    for (std::size_t i = 0; i < h.ports.size(); ++i) {
        for (const hub_desc &inner : h.ports[i].hub) {
            collect_hub_names(inner, place, names);
        }
    }
}

// A fault text fit for one line: control characters from the description
// (in a key or a name) are shown as \xNN.
std::string printable(const std::string &text) {
    std::string out;
    for (char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", byte);
            out += escaped;
        } else {
            out += c;
        }
    }
    return out;
}

// Every hub name the machine can show: those of its controllers now and those
// its changes bring.
void all_hub_names(const hub_desc &h, std::set<std::string> &names) {
    names.insert(h.name);
    for (const port_desc &p : h.ports) {
        for (const hub_desc &inner : p.hub) {
            all_hub_names(inner, names);
        }
    }
}

hub_desc parse_hub(const json &j, const std::string &place, unsigned depth);
node_desc parse_node(const json &j, const std::string &place, unsigned depth);
std::uint32_t number32(const json &j, const std::string &place);

// A node's state (`node_status`, `problem`, `service`, `hardware_ids`), one key;
// left out, the state keeps it unset.
template <typename E> void read_state(E key, const json *v, const std::string &kp, node_state &s) {
    const std::string_view name = keys::name(key);
    if (v == nullptr) {
        return;
    }
    if (name == "node_status") {
        s.node_status = number32(*v, kp);
    } else if (name == "problem") {
        s.problem = static_cast<std::uint32_t>(whole(*v, kp, 0, 0xFFFFFFFFu));
    } else if (name == "service") {
        s.service = text(*v, kp, false);
    } else {
        each_item(*v, kp, [&](const json &id, const std::string &ip) {
            s.hardware_ids.push_back(text(id, ip, false));
        });
    }
}

std::uint8_t speed(const json &j, const std::string &place) {
    for (std::uint8_t i = 0; i < std::size(keys::speed_names); ++i) {
        if (j.is_string() && j.get<std::string>() == keys::speed_names[i]) {
            return i;
        }
    }
    fail(place, "expected \"low\", \"full\" or \"high\"");
}

port_desc parse_port(const json &j, const std::string &place, std::uint32_t port_count,
                     unsigned depth) {
    port_desc p;
    read_object<port_key>(j, place, [&](port_key key, const json *v, const std::string &kp) {
        switch (key) {
        case port_key::port:
            if (v == nullptr) {
                fail(place, "a port needs its \"port\" number");
            }
            p.port = static_cast<std::uint32_t>(whole(*v, kp, 1, 255));
            if (p.port > port_count) {
                fail(kp, "port " + std::to_string(p.port) + " is beyond the hub's " +
                             std::to_string(port_count) + " ports");
            }
            break;
        case port_key::vid:
            p.vid = v != nullptr ? id16(*v, kp) : p.vid;
            break;
        case port_key::pid:
            p.pid = v != nullptr ? id16(*v, kp) : p.pid;
            break;
        case port_key::status:
            p.status =
                v != nullptr ? static_cast<std::uint32_t>(whole(*v, kp, 0, 0xFFFFFFFFu)) : p.status;
            break;
        case port_key::speed:
            p.speed = v != nullptr ? speed(*v, kp) : p.speed;
            break;
        case port_key::legacy_query:
            p.legacy_only = v != nullptr ? flag(*v, kp) : p.legacy_only;
            break;
        case port_key::hub:
            if (v != nullptr) {
                p.hub.push_back(parse_hub(*v, kp, depth + 1));
                p.device_is_hub = true;
            }
            break;
        case port_key::device_is_hub:
            p.device_is_hub = v != nullptr ? flag(*v, kp) : p.device_is_hub;
            break;
        case port_key::driver_key:
            if (v == nullptr) {
                p.driver_key = keys::default_port_driver_key(place);
            } else if (!v->is_null()) {
                p.driver_key = text(*v, kp);
            }
            break;
        case port_key::device_id:
            p.device_id =
                v != nullptr ? text(*v, kp) : keys::default_port_device_id(p.vid, p.pid, p.port);
            break;
        case port_key::description:
            p.description = v != nullptr ? text(*v, kp) : keys::default_port_description;
            break;
        case port_key::node_status:
        case port_key::problem:
        case port_key::service:
        case port_key::hardware_ids:
            read_state(key, v, kp, p.state);
            break;
        case port_key::children:
            if (v != nullptr) {
                each_item(*v, kp, [&](const json &c, const std::string &cp) {
                    p.children.push_back(parse_node(c, cp, depth + 1));
                });
            }
            break;
        }
    });
    return p;
}

std::vector<port_desc> parse_ports(const json &j, const std::string &place,
                                   std::uint32_t port_count, unsigned depth) {
    std::vector<port_desc> ports;
    std::set<std::uint32_t> seen;
    each_item(j, place, [&](const json &pj, const std::string &pp) {
        port_desc p = parse_port(pj, pp, port_count, depth);
        if (!seen.insert(p.port).second) {
            fail(at(pp, "port"), "port " + std::to_string(p.port) + " is listed twice");
        }
        ports.push_back(std::move(p));
    });
    return ports;
}

hub_desc parse_hub(const json &j, const std::string &place, unsigned depth) {
    if (depth > 32) {
        fail(place, "hubs nested too deep");
    }
    hub_desc h;
    read_object<hub_key>(j, place, [&](hub_key key, const json *v, const std::string &kp) {
        switch (key) {
        case hub_key::name:
            if (v == nullptr) {
                fail(place, "a hub needs its \"name\"");
            }
            h.name = text(*v, kp, false);
            break;
        case hub_key::port_count:
            if (v == nullptr) {
                fail(place, "a hub needs its \"port_count\"");
            }
            h.port_count = static_cast<std::uint32_t>(whole(*v, kp, 0, 255));
            break;
        case hub_key::ports:
            if (v != nullptr) {
                h.ports = parse_ports(*v, kp, h.port_count, depth);
            }
            break;
        }
    });
    return h;
}

// A node's texts: `driver_key` and `description` may be null (none), and every
// key may be left out (a device ID left out is empty).
node_desc parse_node(const json &j, const std::string &place, unsigned depth) {
    if (depth > 64) {
        fail(place, "nodes nested too deep");
    }
    node_desc n;
    read_object<node_key>(j, place, [&](node_key key, const json *v, const std::string &kp) {
        if (v == nullptr) {
            return;
        }
        switch (key) {
        case node_key::driver_key:
            if (!v->is_null()) {
                n.driver_key = text(*v, kp);
            }
            break;
        case node_key::device_id:
            n.device_id = text(*v, kp);
            break;
        case node_key::description:
            if (!v->is_null()) {
                n.description = text(*v, kp);
            }
            break;
        case node_key::node_status:
        case node_key::problem:
        case node_key::service:
        case node_key::hardware_ids:
            read_state(key, v, kp, n.state);
            break;
        case node_key::children:
            each_item(*v, kp, [&](const json &c, const std::string &cp) {
                n.children.push_back(parse_node(c, cp, depth + 1));
            });
            break;
        }
    });
    return n;
}

// The numbers and hub names the controllers read so far have taken.
struct taken {
    std::set<int> numbers;
    std::set<std::string> hub_names;
};

controller_desc parse_controller(const json &j, const std::string &place, taken &taken) {
    controller_desc c;
    read_object<controller_key>(
        j, place, [&](controller_key key, const json *v, const std::string &kp) {
            switch (key) {
            case controller_key::number:
                if (v != nullptr) {
                    c.number = static_cast<int>(whole(*v, kp, 0, 9));
                    if (!taken.numbers.insert(*c.number).second) {
                        fail(kp,
                             "controller number " + std::to_string(*c.number) + " is used twice");
                    }
                }
                break;
            case controller_key::interface_listed:
                c.interface = v != nullptr ? flag(*v, kp) : c.interface;
                break;
            case controller_key::interface_path:
                if (v != nullptr) {
                    c.interface_path = text(*v, kp, false);
                }
                break;
            case controller_key::driver_key:
                if (v == nullptr) {
                    fail(place, "a controller needs its \"driver_key\"");
                }
                c.driver_key = text(*v, kp);
                break;
            case controller_key::device_id:
                c.device_id = v != nullptr ? text(*v, kp) : keys::default_controller_device_id;
                break;
            case controller_key::description:
                c.description = v != nullptr ? text(*v, kp) : keys::default_controller_description;
                break;
            case controller_key::node_status:
            case controller_key::problem:
            case controller_key::service:
            case controller_key::hardware_ids:
                read_state(key, v, kp, c.state);
                break;
            case controller_key::root_hub:
                if (v == nullptr) {
                    fail(place, "a controller needs its \"root_hub\"");
                }
                c.root_hub = parse_hub(*v, kp, 0);
                collect_hub_names(c.root_hub, kp, taken.hub_names);
                break;
            }
        });
    return c;
}

void parse_at_open(const json &j, const std::string &place, change_desc &ch) {
    known_keys<at_open_key>(j, place);
    if (!has(j, at_open_key::device) || !has(j, at_open_key::nth)) {
        fail(place, "needs \"device\" and \"nth\"");
    }
    each_key<at_open_key>(j, place, [&](at_open_key key, const json *v, const std::string &kp) {
        switch (key) {
        case at_open_key::device:
            ch.at_open_device = open_key(utf8_to_ansi(text(*v, kp, false)));
            break;
        case at_open_key::nth:
            ch.at_open_nth = static_cast<std::uint32_t>(whole(*v, kp, 1, 0xFFFFFFFFu));
            break;
        }
    });
}

std::vector<std::uint32_t> parse_port_path(const json &j, const std::string &place) {
    if (!j.is_array() || j.empty()) {
        fail(place, "expected a non-empty array of port numbers");
    }
    std::vector<std::uint32_t> path;
    for (std::size_t k = 0; k < j.size(); ++k) {
        path.push_back(static_cast<std::uint32_t>(whole(j[k], item(place, k), 1, 255)));
    }
    return path;
}

// A change's port may leave out its number: the path's last one.
port_desc parse_change_port(const json &j, const std::string &place, std::uint32_t number) {
    json port = j;
    if (port.is_object() && !has(port, port_key::port)) {
        port[std::string(keys::name(port_key::port))] = number;
    }
    // Checked against the largest hub; the hub it lands on is checked later.
    port_desc p = parse_port(port, place, 255, 0);
    if (p.port != number) {
        fail(at(place, "port"), "differs from the last number of port_path");
    }
    return p;
}

// Every key but one of the two times is required (checked before any is read).
change_desc parse_change(const json &j, const std::string &place, const machine &m) {
    known_keys<change_key>(j, place);
    if (has(j, change_key::at_ms) == has(j, change_key::at_open) ||
        !has(j, change_key::controller) || !has(j, change_key::port_path) ||
        !has(j, change_key::port)) {
        fail(place, "a change needs \"at_ms\" or \"at_open\", \"controller\", "
                    "\"port_path\" and \"port\"");
    }
    change_desc ch;
    each_key<change_key>(j, place, [&](change_key key, const json *v, const std::string &kp) {
        switch (key) {
        case change_key::at_ms:
            ch.at_ms = v != nullptr ? whole(*v, kp, 0, 1ull << 48) : ch.at_ms;
            break;
        case change_key::at_open:
            if (v != nullptr) {
                parse_at_open(*v, kp, ch);
            }
            break;
        case change_key::controller:
            ch.controller = static_cast<std::size_t>(whole(*v, kp, 0, 1000));
            if (ch.controller >= m.controllers.size()) {
                fail(kp, "no controller at this position");
            }
            break;
        case change_key::port_path:
            ch.port_path = parse_port_path(*v, kp);
            break;
        case change_key::port:
            if (!v->is_null()) {
                ch.port = parse_change_port(*v, kp, ch.port_path.back());
            }
            break;
        }
    });
    return ch;
}

// Every change must land on a port that exists when its time comes.
void check_changes(const machine &m) {
    machine replay = m;
    std::vector<std::size_t> order(replay.changes.size());
    for (std::size_t i = 0; i < order.size(); ++i) {
        order[i] = i;
    }
    // Timed changes first, then those made by opens, each in their own order.
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
        const change_desc &x = replay.changes[a];
        const change_desc &y = replay.changes[b];
        return std::make_tuple(!x.at_open_device.empty(), x.at_open_nth, x.at_ms) <
               std::make_tuple(!y.at_open_device.empty(), y.at_open_nth, y.at_ms);
    });
    for (std::size_t i : order) {
        const change_desc &ch = replay.changes[i];
        const std::string place = item("changes", i);
        hub_desc *h = hub_for_path(replay, ch.controller, ch.port_path);
        if (h == nullptr) {
            fail(at(place, "port_path"), "leads to no port of a hub");
        }
        if (ch.port && ch.port->port > h->port_count) {
            fail(at(place, "port_path"), "port beyond the hub's port count");
        }
        replace_port(*h, ch.port_path.back(), ch.port);
        std::set<std::string> names;
        for (const controller_desc &c : replay.controllers) {
            collect_hub_names(c.root_hub, at(place, "port"), names);
        }
    }
}

void parse_version(const json &j, const std::string &place, machine &m) {
    read_object<version_key>(j, place, [&](version_key key, const json *v, const std::string &kp) {
        switch (key) {
        case version_key::major:
            if (v == nullptr) {
                fail(place, "needs \"major\"");
            }
            m.major = static_cast<std::uint32_t>(whole(*v, kp, 0, 255));
            break;
        case version_key::minor:
            m.minor = v != nullptr ? static_cast<std::uint32_t>(whole(*v, kp, 0, 255))
                                   : keys::minor_version_unstated;
            break;
        case version_key::build:
            m.build = v != nullptr ? static_cast<std::uint32_t>(whole(*v, kp, 0, 0xFFFF))
                                   : keys::default_build(m.major);
            break;
        }
    });
}

// One of two words: 0 for the first, 1 for the second.
int one_of(const json &j, const std::string &place, const char *first, const char *second) {
    if (j != first && j != second) {
        fail(place, std::string("expected \"") + first + "\" or \"" + second + "\"");
    }
    return j == first ? 0 : 1;
}

// A 32-bit number, or a string of hexadecimal digits after "0x".
std::uint32_t number32(const json &j, const std::string &place) {
    if (j.is_string()) {
        const std::string s = j.get<std::string>();
        if (s.size() > 2 && s.size() <= 10 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X') &&
            s.find_first_not_of("0123456789abcdefABCDEF", 2) == std::string::npos) {
            return static_cast<std::uint32_t>(std::strtoul(s.c_str() + 2, nullptr, 16));
        }
        fail(place, "expected a number or a hexadecimal string such as \"0x220420\"");
    }
    return static_cast<std::uint32_t>(whole(j, place, 0, 0xFFFFFFFFu));
}

// Bytes written as hexadecimal digit pairs; white space between pairs is ignored.
std::vector<std::uint8_t> hex_bytes(const json &j, const std::string &place) {
    const std::string s = text(j, place);
    std::vector<std::uint8_t> bytes;
    auto digit = [&](char c) -> int {
        if (c >= '0' && c <= '9') {
            return c - '0';
        }
        if (c >= 'a' && c <= 'f') {
            return c - 'a' + 10;
        }
        if (c >= 'A' && c <= 'F') {
            return c - 'A' + 10;
        }
        return -1;
    };
    for (std::size_t i = 0; i < s.size();) {
        if (s[i] == ' ' || s[i] == '\t' || s[i] == '\n') {
            ++i;
            continue;
        }
        const int hi = digit(s[i]);
        const int lo = i + 1 < s.size() ? digit(s[i + 1]) : -1;
        if (hi < 0 || lo < 0) {
            fail(place, "expected pairs of hexadecimal digits, fault at character " +
                            std::to_string(i + 1));
        }
        bytes.push_back(static_cast<std::uint8_t>(hi * 16 + lo));
        i += 2;
    }
    if (bytes.size() > 65536) {
        fail(place, "a reply of more than 65536 bytes");
    }
    return bytes;
}

// The control codes the emulated USB stack answers.
constexpr std::uint32_t usb_control_codes[] = {0x220408, 0x22040C, 0x220414,
                                               0x220420, 0x220424, 0x220448};

bool applies(fault_key key, const keys::fault_site &site) {
    switch (key) {
    case fault_key::function:
    case fault_key::nth:
    case fault_key::error:
        return true;
    case fault_key::ioctl:
    case fault_key::port:
        return site.ioctl_and_port;
    case fault_key::device:
        return site.device;
    case fault_key::program:
        return site.program;
    case fault_key::controller:
    case fault_key::hub:
        return site.device_path;
    case fault_key::size:
        return site.size;
    case fault_key::actual_length:
        return site.actual_length;
    case fault_key::raw_reply:
        return site.raw_reply;
    }
    return false;
}

// A key that does not apply to the function is a fault, found in this order.
void check_applies(const json &j, const std::string &place, const keys::fault_site &site) {
    constexpr fault_key order[] = {
        fault_key::ioctl,         fault_key::port,      fault_key::size,
        fault_key::actual_length, fault_key::raw_reply, fault_key::controller,
        fault_key::hub,           fault_key::device,    fault_key::program};
    for (fault_key key : order) {
        if (has(j, key) && !applies(key, site)) {
            fail(at(place, keys::name(key)), std::string("does not apply to ") + site.function);
        }
    }
}

std::uint32_t control_code(const json &j, const std::string &place) {
    const std::uint32_t code = number32(j, place);
    if (std::find(std::begin(usb_control_codes), std::end(usb_control_codes), code) ==
        std::end(usb_control_codes)) {
        fail(place, "not a control code the USB stack answers");
    }
    return code;
}

// `controller` and `hub`: the device path of a controller's number or of a hub's name.
std::string controller_path(const json &j, const std::string &place, const machine &m) {
    const auto number = static_cast<int>(whole(j, place, 0, 9));
    bool found = false;
    for (const controller_desc &c : m.controllers) {
        found = found || (c.number && *c.number == number);
    }
    if (!found) {
        fail(place, "no controller has the number " + std::to_string(number));
    }
    return "\\\\.\\HCD" + std::to_string(number);
}

std::string hub_path(const json &j, const std::string &place,
                     const std::set<std::string> &hub_names) {
    const std::string name = text(j, place, false);
    if (hub_names.count(name) == 0) {
        fail(place, "no hub of the machine has this name");
    }
    return "\\\\.\\" + utf8_to_ansi(name);
}

int actions(const json &j) {
    return static_cast<int>(has(j, fault_key::error)) +
           static_cast<int>(has(j, fault_key::actual_length)) +
           static_cast<int>(has(j, fault_key::raw_reply));
}

fault parse_fault(const json &j, const std::string &place, const machine &m,
                  const std::set<std::string> &hub_names) {
    fault f;
    int narrowing = 0;
    read_object<fault_key>(j, place, [&](fault_key key, const json *v, const std::string &kp) {
        switch (key) {
        case fault_key::function:
            if (v == nullptr) {
                fail(place, "a fault needs its \"function\"");
            }
            f.function = text(*v, kp);
            if (const keys::fault_site *site = keys::find_fault_site(f.function)) {
                check_applies(j, place, *site);
            } else {
                fail(kp, "no fault can be planted in \"" + f.function + "\"");
            }
            break;
        case fault_key::ioctl:
            f.ioctl = v != nullptr ? control_code(*v, kp) : f.ioctl;
            break;
        case fault_key::device:
        case fault_key::program:
        case fault_key::controller:
        case fault_key::hub:
            if (v != nullptr) {
                // A device path is opened in the ANSI code page; a device ID
                // (the CM_ functions) and a program are compared as written.
                const bool path = f.function == "DeviceIoControl" || f.function == "CreateFileA" ||
                                  f.function == "SetupDiGetDeviceInterfaceDetailA";
                f.device = key == fault_key::controller ? controller_path(*v, kp, m)
                           : key == fault_key::hub      ? hub_path(*v, kp, hub_names)
                           : path                       ? utf8_to_ansi(text(*v, kp, false))
                                                        : text(*v, kp, false);
                ++narrowing;
            }
            if (key == fault_key::hub && narrowing > 1) {
                fail(place, "at most one of \"device\", \"controller\" and \"hub\"");
            }
            break;
        case fault_key::port:
            f.port = v != nullptr ? static_cast<std::uint32_t>(whole(*v, kp, 1, 255)) : f.port;
            break;
        case fault_key::size:
            f.size = v != nullptr ? whole(*v, kp, 1, 0xFFFFFFFFu) : f.size;
            break;
        case fault_key::nth:
            f.nth =
                v != nullptr ? static_cast<std::uint32_t>(whole(*v, kp, 0, 0xFFFFFFFFu)) : f.nth;
            break;
        case fault_key::error:
            if (actions(j) > 1) {
                fail(place, "at most one of \"error\", \"actual_length\" and \"raw_reply\"");
            }
            f.error = v != nullptr ? number32(*v, kp) : f.error;
            break;
        case fault_key::actual_length:
            if (v != nullptr) {
                f.action = fault::actual_length;
                f.length = number32(*v, kp);
            }
            break;
        case fault_key::raw_reply:
            if (v != nullptr) {
                f.action = fault::raw_reply;
                f.bytes = hex_bytes(*v, kp);
            }
            break;
        }
    });
    return f;
}

// Every hub name the machine can show: those of its controllers now and those
// its changes bring.
std::set<std::string> every_hub_name(const machine &m) {
    std::set<std::string> names;
    for (const controller_desc &c : m.controllers) {
        all_hub_names(c.root_hub, names);
    }
    for (const change_desc &c : m.changes) {
        if (c.port) {
            for (const hub_desc &h : c.port->hub) {
                all_hub_names(h, names);
            }
        }
    }
    return names;
}

// The top level: every key may be left out.
void parse_top_key(const json &doc, machine_key key, const json &v, const std::string &place,
                   machine &m) {
    switch (key) {
    case machine_key::os_version:
        parse_version(v, place, m);
        break;
    case machine_key::clock:
        m.virtual_clock = one_of(v, place, keys::clock_virtual, keys::clock_real) == 0;
        break;
    case machine_key::processes:
        m.record_processes = one_of(v, place, keys::processes_run, keys::processes_record) == 1;
        break;
    case machine_key::largest_block:
        m.largest_block = whole(v, place, 0, 0x7FFFFFFF);
        break;
    case machine_key::controllers: {
        taken taken;
        each_item(v, place, [&](const json &c, const std::string &cp) {
            m.controllers.push_back(parse_controller(c, cp, taken));
        });
        break;
    }
    case machine_key::device_tree:
        m.device_tree = parse_node(v, place, 0);
        break;
    case machine_key::nodes:
        if (has(doc, machine_key::device_tree)) {
            fail(place, "not beside \"device_tree\", which holds the whole tree");
        }
        each_item(v, place, [&](const json &n, const std::string &np) {
            m.extra_nodes.push_back(parse_node(n, np, 0));
        });
        break;
    case machine_key::changes:
        each_item(v, place, [&](const json &c, const std::string &cp) {
            m.changes.push_back(parse_change(c, cp, m));
        });
        check_changes(m);
        break;
    case machine_key::faults: {
        const std::set<std::string> names = every_hub_name(m);
        each_item(v, place, [&](const json &fj, const std::string &fp) {
            m.faults.push_back(parse_fault(fj, fp, m, names));
        });
        break;
    }
    }
}

} // namespace

// The port a change replaces: the hub that holds it, or null when the path
// leads nowhere.
hub_desc *hub_for_path(machine &m, std::size_t controller, const std::vector<std::uint32_t> &path) {
    if (controller >= m.controllers.size() || path.empty()) {
        return nullptr;
    }
    hub_desc *h = &m.controllers[controller].root_hub;
    for (std::size_t i = 0; i + 1 < path.size(); ++i) {
        hub_desc *next = nullptr;
        for (port_desc &p : h->ports) {
            if (p.port == path[i] && !p.hub.empty()) {
                next = &p.hub.front();
            }
        }
        if (next == nullptr) {
            return nullptr;
        }
        h = next;
    }
    return path.back() >= 1 && path.back() <= h->port_count ? h : nullptr;
}

void replace_port(hub_desc &h, std::uint32_t number, const std::optional<port_desc> &port) {
    for (auto it = h.ports.begin(); it != h.ports.end(); ++it) {
        if (it->port == number) {
            h.ports.erase(it);
            break;
        }
    }
    if (port) {
        h.ports.push_back(*port);
        h.ports.back().port = number;
    }
}

std::string parse_machine(const std::string &source, machine &out) {
    json j;
    try {
        j = json::parse(source);
    } catch (const json::exception &e) { // a syntax fault, or a number beyond every range
        std::string what = e.what();
        const auto close = what.find("] ");
        if (what.rfind("[json.exception", 0) == 0 && close != std::string::npos) {
            what = what.substr(close + 2);
        }
        return "(document): not valid JSON: " + printable(what);
    }
    try {
        machine m;
        read_object<machine_key>(j, "", [&](machine_key key, const json *v, const std::string &kp) {
            if (v != nullptr) {
                parse_top_key(j, key, *v, kp, m);
            }
        });
        out = std::move(m);
        return "";
    } catch (const fault_at &e) {
        return printable(e.what());
    } catch (const json::exception &e) {
        return std::string("(document): ") + printable(e.what());
    }
}

} // namespace emu
