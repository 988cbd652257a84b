// Reading a machine description (JSON) into the emulated machine's model.
// Strict: an unknown key, a wrong type or a value out of range is a fault that
// names its place, and nothing of a faulty description is used.
#include "platform/emu/state.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <stdexcept>
#include <tuple>

namespace emu {
namespace {

using json = nlohmann::json;

struct fault_at : std::runtime_error {
    using std::runtime_error::runtime_error;
};

[[noreturn]] void fail(const std::string &place, const std::string &what) {
    throw fault_at(place + ": " + what);
}

void only_keys(const json &j, const std::string &place, std::initializer_list<const char *> keys) {
    if (!j.is_object()) {
        fail(place, "expected an object");
    }
    for (const auto &item : j.items()) {
        bool known = false;
        for (const char *k : keys) {
            known = known || item.key() == k;
        }
        if (!known) {
            fail(place.empty() ? item.key() : place + "." + item.key(), "unknown key");
        }
    }
}

std::string at(const std::string &place, const char *key) {
    return place.empty() ? std::string(key) : place + "." + key;
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

hub_desc parse_hub(const json &j, const std::string &place, unsigned depth);

port_desc parse_port(const json &j, const std::string &place, std::uint32_t port_count,
                     unsigned depth) {
    only_keys(j, place,
              {"port", "vid", "pid", "status", "speed", "legacy_query", "device_is_hub",
               "driver_key", "device_id", "description", "hub"});
    port_desc p;
    if (!j.contains("port")) {
        fail(place, "a port needs its \"port\" number");
    }
    p.port = static_cast<std::uint32_t>(whole(j["port"], at(place, "port"), 1, 255));
    if (p.port > port_count) {
        fail(at(place, "port"), "port " + std::to_string(p.port) + " is beyond the hub's " +
                                    std::to_string(port_count) + " ports");
    }
    if (j.contains("vid")) {
        p.vid = id16(j["vid"], at(place, "vid"));
    }
    if (j.contains("pid")) {
        p.pid = id16(j["pid"], at(place, "pid"));
    }
    if (j.contains("status")) {
        p.status =
            static_cast<std::uint32_t>(whole(j["status"], at(place, "status"), 0, 0xFFFFFFFFu));
    }
    if (j.contains("speed")) {
        const json &s = j["speed"];
        if (s == "low") {
            p.speed = 0;
        } else if (s == "full") {
            p.speed = 1;
        } else if (s == "high") {
            p.speed = 2;
        } else {
            fail(at(place, "speed"), "expected \"low\", \"full\" or \"high\"");
        }
    }
    if (j.contains("legacy_query")) {
        p.legacy_only = flag(j["legacy_query"], at(place, "legacy_query"));
    }
    if (j.contains("hub")) {
        p.hub.push_back(parse_hub(j["hub"], at(place, "hub"), depth + 1));
        p.device_is_hub = true;
    }
    if (j.contains("device_is_hub")) {
        p.device_is_hub = flag(j["device_is_hub"], at(place, "device_is_hub"));
    }
    if (j.contains("driver_key")) {
        if (!j["driver_key"].is_null()) {
            p.driver_key = text(j["driver_key"], at(place, "driver_key"));
        }
    } else {
        // Every enumerated device has a driver key; make one up that names its place.
        p.driver_key = "{36fc9e60-c465-11cf-8056-444553540000}\\" + place;
    }
    if (j.contains("device_id")) {
        p.device_id = text(j["device_id"], at(place, "device_id"));
    } else {
        char id[64];
        std::snprintf(id, sizeof id, "USB\\VID_%04X&PID_%04X\\%u", p.vid, p.pid, p.port);
        p.device_id = id;
    }
    if (j.contains("description")) {
        p.description = text(j["description"], at(place, "description"));
    } else {
        p.description = "USB Composite Device";
    }
    return p;
}

hub_desc parse_hub(const json &j, const std::string &place, unsigned depth) {
    if (depth > 32) {
        fail(place, "hubs nested too deep");
    }
    only_keys(j, place, {"name", "port_count", "ports"});
    hub_desc h;
    if (!j.contains("name")) {
        fail(place, "a hub needs its \"name\"");
    }
    h.name = text(j["name"], at(place, "name"), false);
    if (!j.contains("port_count")) {
        fail(place, "a hub needs its \"port_count\"");
    }
    h.port_count =
        static_cast<std::uint32_t>(whole(j["port_count"], at(place, "port_count"), 0, 255));
    if (j.contains("ports")) {
        const json &ports = j["ports"];
        if (!ports.is_array()) {
            fail(at(place, "ports"), "expected an array");
        }
        std::set<std::uint32_t> seen;
        for (std::size_t i = 0; i < ports.size(); ++i) {
            const std::string pp = at(place, "ports") + "[" + std::to_string(i) + "]";
            port_desc p = parse_port(ports[i], pp, h.port_count, depth);
            if (!seen.insert(p.port).second) {
                fail(at(pp, "port"), "port " + std::to_string(p.port) + " is listed twice");
            }
            h.ports.push_back(std::move(p));
        }
    }
    return h;
}

node_desc parse_node(const json &j, const std::string &place, unsigned depth) {
    if (depth > 64) {
        fail(place, "nodes nested too deep");
    }
    only_keys(j, place, {"driver_key", "device_id", "description", "children"});
    node_desc n;
    if (j.contains("driver_key") && !j["driver_key"].is_null()) {
        n.driver_key = text(j["driver_key"], at(place, "driver_key"));
    }
    if (!j.contains("device_id")) {
        fail(place, "a node needs its \"device_id\"");
    }
    n.device_id = text(j["device_id"], at(place, "device_id"));
    if (j.contains("description") && !j["description"].is_null()) {
        n.description = text(j["description"], at(place, "description"));
    }
    if (j.contains("children")) {
        const json &c = j["children"];
        if (!c.is_array()) {
            fail(at(place, "children"), "expected an array");
        }
        for (std::size_t i = 0; i < c.size(); ++i) {
            n.children.push_back(
                parse_node(c[i], at(place, "children") + "[" + std::to_string(i) + "]", depth + 1));
        }
    }
    return n;
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

// The calls a fault can be planted in, and what each one can be told.
struct fault_site {
    const char *function;
    const char *device_key; // the key that narrows it to one device, or null
    bool ioctl_and_port;    // DeviceIoControl's control code and port
    bool size;              // GlobalAlloc's byte count
    bool actual_length;
    bool raw_reply;
};

constexpr fault_site fault_sites[] = {
    {"DeviceIoControl", "device", true, false, true, true},
    {"CreateFileA", "device", false, false, false, false},
    {"GlobalAlloc", nullptr, false, true, false, false},
    {"WideCharToMultiByte", nullptr, false, false, false, false},
    {"SetupDiGetClassDevsA", nullptr, false, false, false, false},
    {"SetupDiEnumDeviceInterfaces", nullptr, false, false, false, false},
    {"SetupDiGetDeviceInterfaceDetailA", "device", false, false, true, false},
    {"CM_Locate_DevNodeA", "device", false, false, false, false},
    {"CM_Get_Child", "device", false, false, false, false},
    {"CM_Get_Sibling", "device", false, false, false, false},
    {"CM_Get_Parent", "device", false, false, false, false},
    {"CM_Get_DevNode_Registry_PropertyA", "device", false, false, false, true},
    {"CM_Get_Device_IDA", "device", false, false, false, true},
    {"CreateProcessA", "program", false, false, false, false},
    {"SetPriorityClass", nullptr, false, false, false, false},
};

// The control codes the emulated USB stack answers.
constexpr std::uint32_t usb_control_codes[] = {0x220408, 0x22040C, 0x220414,
                                               0x220420, 0x220424, 0x220448};

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

fault parse_fault(const json &j, const std::string &place, const machine &m,
                  const std::set<std::string> &hub_names) {
    only_keys(j, place,
              {"function", "ioctl", "device", "controller", "hub", "program", "port", "size", "nth",
               "error", "actual_length", "raw_reply"});
    if (!j.contains("function")) {
        fail(place, "a fault needs its \"function\"");
    }
    fault f;
    f.function = text(j["function"], at(place, "function"));
    const fault_site *site = nullptr;
    for (const fault_site &candidate : fault_sites) {
        if (f.function == candidate.function) {
            site = &candidate;
        }
    }
    if (site == nullptr) {
        fail(at(place, "function"), "no fault can be planted in \"" + f.function + "\"");
    }
    auto only_for = [&](const char *key, bool allowed) {
        if (j.contains(key) && !allowed) {
            fail(at(place, key), "does not apply to " + f.function);
        }
    };
    const bool device_path = site->device_key != nullptr &&
                             (f.function == "DeviceIoControl" || f.function == "CreateFileA");
    only_for("ioctl", site->ioctl_and_port);
    only_for("port", site->ioctl_and_port);
    only_for("size", site->size);
    only_for("actual_length", site->actual_length);
    only_for("raw_reply", site->raw_reply);
    only_for("controller", device_path);
    only_for("hub", device_path);
    only_for("device", site->device_key != nullptr && std::string(site->device_key) == "device");
    only_for("program", site->device_key != nullptr && std::string(site->device_key) == "program");

    if (j.contains("ioctl")) {
        f.ioctl = number32(j["ioctl"], at(place, "ioctl"));
        bool known = false;
        for (std::uint32_t code : usb_control_codes) {
            known = known || code == f.ioctl;
        }
        if (!known) {
            fail(at(place, "ioctl"), "not a control code the USB stack answers");
        }
    }
    int narrowing = 0;
    if (j.contains("device")) {
        f.device = text(j["device"], at(place, "device"), false);
        ++narrowing;
    }
    if (j.contains("program")) {
        f.device = text(j["program"], at(place, "program"), false);
        ++narrowing;
    }
    if (j.contains("controller")) {
        const auto number = static_cast<int>(whole(j["controller"], at(place, "controller"), 0, 9));
        bool found = false;
        for (const controller_desc &c : m.controllers) {
            found = found || (c.number && *c.number == number);
        }
        if (!found) {
            fail(at(place, "controller"), "no controller has the number " + std::to_string(number));
        }
        f.device = "\\\\.\\HCD" + std::to_string(number);
        ++narrowing;
    }
    if (j.contains("hub")) {
        const std::string name = text(j["hub"], at(place, "hub"), false);
        if (hub_names.count(name) == 0) {
            fail(at(place, "hub"), "no hub of the machine has this name");
        }
        f.device = "\\\\.\\" + utf8_to_ansi(name);
        ++narrowing;
    }
    if (narrowing > 1) {
        fail(place, "at most one of \"device\", \"controller\" and \"hub\"");
    }
    if (j.contains("port")) {
        f.port = static_cast<std::uint32_t>(whole(j["port"], at(place, "port"), 1, 255));
    }
    if (j.contains("size")) {
        f.size = whole(j["size"], at(place, "size"), 1, 0xFFFFFFFFu);
    }
    if (j.contains("nth")) {
        f.nth = static_cast<std::uint32_t>(whole(j["nth"], at(place, "nth"), 0, 0xFFFFFFFFu));
    }
    const int actions = static_cast<int>(j.contains("error")) +
                        static_cast<int>(j.contains("actual_length")) +
                        static_cast<int>(j.contains("raw_reply"));
    if (actions > 1) {
        fail(place, "at most one of \"error\", \"actual_length\" and \"raw_reply\"");
    }
    if (j.contains("error")) {
        f.error = number32(j["error"], at(place, "error"));
    } else if (j.contains("actual_length")) {
        f.action = fault::actual_length;
        f.length = number32(j["actual_length"], at(place, "actual_length"));
    } else if (j.contains("raw_reply")) {
        f.action = fault::raw_reply;
        f.bytes = hex_bytes(j["raw_reply"], at(place, "raw_reply"));
    }
    return f;
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
        only_keys(j, "",
                  {"os_version", "clock", "processes", "largest_block", "controllers", "changes",
                   "nodes", "faults"});
        if (j.contains("os_version")) {
            const json &v = j["os_version"];
            only_keys(v, "os_version", {"major", "minor", "build"});
            if (!v.contains("major")) {
                fail("os_version", "needs \"major\"");
            }
            m.major = static_cast<DWORD>(whole(v["major"], "os_version.major", 0, 255));
            m.minor = v.contains("minor")
                          ? static_cast<DWORD>(whole(v["minor"], "os_version.minor", 0, 255))
                          : 0;
            m.build = v.contains("build")
                          ? static_cast<DWORD>(whole(v["build"], "os_version.build", 0, 0xFFFF))
                          : (m.major == 5 ? 2600 : 7601);
        }
        if (j.contains("clock")) {
            if (j["clock"] == "virtual") {
                m.virtual_clock = true;
            } else if (j["clock"] == "real") {
                m.virtual_clock = false;
            } else {
                fail("clock", "expected \"virtual\" or \"real\"");
            }
        }
        if (j.contains("processes")) {
            if (j["processes"] == "run") {
                m.record_processes = false;
            } else if (j["processes"] == "record") {
                m.record_processes = true;
            } else {
                fail("processes", "expected \"run\" or \"record\"");
            }
        }
        if (j.contains("largest_block")) {
            m.largest_block = whole(j["largest_block"], "largest_block", 0, 0x7FFFFFFF);
        }
        std::set<int> numbers;
        std::set<std::string> hub_names;
        if (j.contains("controllers")) {
            const json &cs = j["controllers"];
            if (!cs.is_array()) {
                fail("controllers", "expected an array");
            }
            for (std::size_t i = 0; i < cs.size(); ++i) {
                const std::string place = "controllers[" + std::to_string(i) + "]";
                const json &c = cs[i];
                only_keys(
                    c, place,
                    {"number", "interface", "driver_key", "device_id", "description", "root_hub"});
                controller_desc cd;
                if (c.contains("number")) {
                    cd.number = static_cast<int>(whole(c["number"], at(place, "number"), 0, 9));
                    if (!numbers.insert(*cd.number).second) {
                        fail(at(place, "number"),
                             "controller number " + std::to_string(*cd.number) + " is used twice");
                    }
                }
                if (c.contains("interface")) {
                    cd.interface = flag(c["interface"], at(place, "interface"));
                }
                if (!c.contains("driver_key")) {
                    fail(place, "a controller needs its \"driver_key\"");
                }
                cd.driver_key = text(c["driver_key"], at(place, "driver_key"));
                cd.device_id =
                    c.contains("device_id")
                        ? text(c["device_id"], at(place, "device_id"))
                        : std::string("PCI\\VEN_8086&DEV_24C2&SUBSYS_00000000&REV_01\\3&0&0&E8");
                cd.description = c.contains("description")
                                     ? text(c["description"], at(place, "description"))
                                     : std::string("USB Universal Host Controller");
                if (!c.contains("root_hub")) {
                    fail(place, "a controller needs its \"root_hub\"");
                }
                cd.root_hub = parse_hub(c["root_hub"], at(place, "root_hub"), 0);
                collect_hub_names(cd.root_hub, at(place, "root_hub"), hub_names);
                m.controllers.push_back(std::move(cd));
            }
        }
        if (j.contains("nodes")) {
            const json &ns = j["nodes"];
            if (!ns.is_array()) {
                fail("nodes", "expected an array");
            }
            for (std::size_t i = 0; i < ns.size(); ++i) {
                m.extra_nodes.push_back(parse_node(ns[i], "nodes[" + std::to_string(i) + "]", 0));
            }
        }
        if (j.contains("changes")) {
            const json &cs = j["changes"];
            if (!cs.is_array()) {
                fail("changes", "expected an array");
            }
            for (std::size_t i = 0; i < cs.size(); ++i) {
                const std::string place = "changes[" + std::to_string(i) + "]";
                const json &c = cs[i];
                only_keys(c, place, {"at_ms", "at_open", "controller", "port_path", "port"});
                change_desc ch;
                if (c.contains("at_ms") == c.contains("at_open") || !c.contains("controller") ||
                    !c.contains("port_path") || !c.contains("port")) {
                    fail(place, "a change needs \"at_ms\" or \"at_open\", \"controller\", "
                                "\"port_path\" and \"port\"");
                }
                if (c.contains("at_ms")) {
                    ch.at_ms = whole(c["at_ms"], at(place, "at_ms"), 0, 1ull << 48);
                } else {
                    const json &o = c["at_open"];
                    const std::string op = at(place, "at_open");
                    only_keys(o, op, {"device", "nth"});
                    if (!o.contains("device") || !o.contains("nth")) {
                        fail(op, "needs \"device\" and \"nth\"");
                    }
                    ch.at_open_device =
                        open_key(utf8_to_ansi(text(o["device"], at(op, "device"), false)));
                    ch.at_open_nth =
                        static_cast<std::uint32_t>(whole(o["nth"], at(op, "nth"), 1, 0xFFFFFFFFu));
                }
                ch.controller = static_cast<std::size_t>(
                    whole(c["controller"], at(place, "controller"), 0, 1000));
                if (ch.controller >= m.controllers.size()) {
                    fail(at(place, "controller"), "no controller at this position");
                }
                const json &path = c["port_path"];
                if (!path.is_array() || path.empty()) {
                    fail(at(place, "port_path"), "expected a non-empty array of port numbers");
                }
                for (std::size_t k = 0; k < path.size(); ++k) {
                    ch.port_path.push_back(static_cast<std::uint32_t>(whole(
                        path[k], at(place, "port_path") + "[" + std::to_string(k) + "]", 1, 255)));
                }
                if (!c["port"].is_null()) {
                    json port = c["port"];
                    if (port.is_object() && !port.contains("port")) {
                        port["port"] = ch.port_path.back();
                    }
                    // Checked against the largest hub; the hub it lands on is checked below.
                    ch.port = parse_port(port, at(place, "port"), 255, 0);
                    if (ch.port->port != ch.port_path.back()) {
                        fail(at(place, "port.port"), "differs from the last number of port_path");
                    }
                }
                m.changes.push_back(std::move(ch));
            }
            // Every change must land on a port that exists when its time comes.
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
                const std::string place = "changes[" + std::to_string(i) + "]";
                hub_desc *h = hub_for_path(replay, ch.controller, ch.port_path);
                if (h == nullptr) {
                    fail(at(place, "port_path"), "leads to no port of a hub");
                }
                if (ch.port && ch.port->port > h->port_count) {
                    fail(at(place, "port_path"), "port beyond the hub's port count");
                }
                replace_port(*h, ch.port_path.back(), ch.port);
                std::set<std::string> names;
                for (std::size_t k = 0; k < replay.controllers.size(); ++k) {
                    collect_hub_names(replay.controllers[k].root_hub, at(place, "port"), names);
                }
            }
        }
        if (j.contains("faults")) {
            const json &fs = j["faults"];
            if (!fs.is_array()) {
                fail("faults", "expected an array");
            }
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
            for (std::size_t i = 0; i < fs.size(); ++i) {
                m.faults.push_back(
                    parse_fault(fs[i], "faults[" + std::to_string(i) + "]", m, names));
            }
        }
        out = std::move(m);
        return "";
    } catch (const fault_at &e) {
        return printable(e.what());
    } catch (const json::exception &e) {
        return std::string("(document): ") + printable(e.what());
    }
}

} // namespace emu
