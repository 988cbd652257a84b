// The keys of a machine description (docs/machine.md), one account shared by its
// reader (platform/emu/machine.cpp) and its writer (description/writer.cpp).
//
// Each kind of object has one function below that names its keys in order, each
// once: the member it holds, the kind of value, and what it is when left out.
// The reader and the writer walk every object through that function, each with
// an `io` of its own that offers the same three calls:
//
//   io.key(name, member, kind, presence[, rule])
//     presence: need{words}, the object must have the key (the words refuse it
//     where it is left out); when{b}, the writer writes it where b holds and the
//     reader leaves the member as it is where it is left out; read_only, a
//     shorthand for another key that the writer never writes; otherwise the
//     value the reader makes of a key left out, which is where the writer leaves
//     it out (`none`: the member's empty value). The rule, where there is one, is
//     applied by the reader to the key it has read.
//   io.check(rule): a rule of the object, applied by the reader at this point of
//     the order (after it has refused keys the function does not name).
//   io.nesting(ok, words): refused unless ok, before anything of the object.
//
// A rule is given `r`: r.has(key), r.refuse(words) at the key (or the object),
// r.refuse_at(key, words) at that key of the object.
//
// A key is one line of one function, so neither side can know a key the other
// does not; a kind of value that one side cannot read or write does not build.
// No JSON library: every build includes this.
#pragma once

#include "platform/description/model.h"
#include "platform/description/table.h"
#include "platform/model/model.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <iterator>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace desc::keys {

// --- kinds of value -----------------------------------------------------------

struct whole { // a number from lo to hi, written in decimal
    std::uint64_t lo, hi;
};
struct number32 {   // a 32-bit number, or "0x" and hexadecimal digits
    int digits = 0; // written in hexadecimal with this many digits; 0: in decimal
};
struct id16 {}; // a 16-bit ID: "0x7A31" or a number; written "0x7A31"
struct text {   // UTF-8 without NUL; written as it is held
    bool empty = true;
    bool lowered = false; // kept with ASCII letters lowered (a path, as opens are counted)
};
struct flag {};
struct speed {}; // a port's speed by its word (speed_names)
struct choice {  // one of two words: the member is true for `yes`
    const char *first, *second, *yes;
};
struct texts {};         // a list of texts, none empty
struct port_path {};     // a non-empty list of port numbers
struct folder_groups {}; // an object: each folder with a list of writer_groups
struct reply {};         // a fault's raw reply, as pairs of hexadecimal digits
struct stated_length {}; // a fault's ActualLength (number32)
struct controller_path { // a controller by its number: its device path
    const machine &m;
};
struct hub_path { // a hub by its name: its device path
    const machine &m;
};
template <typename Kind> struct nullable { // null: none
    Kind kind;
};
template <typename Visit> struct object { // one object, walked by visit(io, member)
    Visit visit;
};
template <typename Visit> struct objects { // a list of objects
    Visit visit;
};
// (Spelled out for compilers that do not deduce an aggregate's arguments.)
template <typename Visit> object(Visit) -> object<Visit>;
template <typename Visit> objects(Visit) -> objects<Visit>;
struct change_port { // a change's port: its number left out is the path's last
    const std::vector<std::uint32_t> &path;
};

// The groups a folder's rights may name beside the administrators: their
// well-known SIDs are S-1-1-0, S-1-5-11, S-1-5-32-545 and S-1-5-4.
inline constexpr const char *writer_groups[] = {"Everyone", "Authenticated Users", "Users",
                                                "Interactive"};

// --- presence -----------------------------------------------------------------

struct need {
    const char *words;
};
struct when {
    bool written;
};
struct read_only {};
inline constexpr struct none_t {
} none;
struct no_rule {
    template <typename Rules> void operator()(const Rules &) const {}
};

// --- what the reader assumes for a key left out -------------------------------

// `os_version` left out is 6.1 build 7601 (the model's own defaults); given
// without `minor`, the minor version is 0; without `build`, the last service
// pack's build of that version (2600 for any other 5.x, 7601 for any other
// version).
inline constexpr std::uint32_t minor_version_unstated = 0;
constexpr std::uint32_t default_build(std::uint32_t major, std::uint32_t minor) {
    if (major == 5) {
        return minor == 0 ? 2195 : minor == 2 ? 3790 : 2600;
    }
    return major != 6 ? 7601 : minor == 0 ? 6002 : minor == 2 ? 9200 : minor == 3 ? 9600 : 7601;
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

// A node's state left out (model.h's node_state): a node without a driver has
// problem 28 (CM_PROB_FAILED_INSTALL, no driver installed); every other node has
// no problem. A USB device is without one where it has no driver key; any other
// node where it has neither a driver key (its class) nor a service, the tree's
// root aside (Windows starts HTREE\ROOT\0 itself). A USB device is a port's own
// node, a node whose device ID begins with USB\ (root hubs aside), and every node
// below one of these (a composite device's interfaces, and what hangs on them).
// `node_status` left out follows the problem: started (DN_STARTED,
// DN_DRIVER_LOADED, ...) or with a problem (DN_HAS_PROBLEM, ...), and a USB
// device is removable (DN_REMOVABLE) as well. `status_error` left out:
// CM_Get_DevNode_Status answers. `service` and `hardware_ids` left out are not
// set.
inline constexpr std::uint32_t problem_no_driver = 28;
inline constexpr std::uint32_t status_started = 0x0180200A;
inline constexpr std::uint32_t status_problem = 0x01802400;
inline constexpr std::uint32_t status_removable = 0x00004000; // DN_REMOVABLE
inline bool is_usb_device(std::string_view device_id) {
    const std::string id = lower(std::string(device_id));
    return id.rfind("usb\\", 0) == 0 && id.rfind("usb\\root_hub", 0) != 0;
}
struct node_kind {
    bool usb_device = false;
    bool has_driver_key = false;
    bool has_service = false;
    bool root = false;
};
constexpr std::uint32_t default_problem(const node_kind &k) {
    const bool driver = k.has_driver_key || (!k.usb_device && (k.has_service || k.root));
    return driver ? 0 : problem_no_driver;
}
constexpr std::uint32_t default_node_status(bool usb_device, std::uint32_t problem) {
    return (problem != 0 ? status_problem : status_started) | (usb_device ? status_removable : 0);
}
// The problem and DN_ flags a node answers: what its state states, the
// defaults above for what it leaves out.
struct shown_state {
    std::uint32_t problem = 0;
    std::uint32_t status = 0;
};
inline shown_state shown(const node_state &s, node_kind k) {
    k.has_service = k.has_service || s.service.has_value();
    const std::uint32_t problem = s.problem.value_or(default_problem(k));
    return {problem, s.node_status.value_or(default_node_status(k.usb_device, problem))};
}

// A root hub's node: `device_id` left out follows its controller, as Windows
// names root hubs: USB\ROOT_HUB20 below an EHCI controller, USB\ROOT_HUB30
// below an xHCI one, USB\ROOT_HUB below UHCI and OHCI. The controller's kind
// ("20", "30", or "" for the others) is read from the class code in its hardware
// IDs (PCI\...&CC_0C0320: EHCI), or failing that from its description
// ("Enhanced", "eXtensible"). The node has a driver key made from the root hub's
// place, as a port's.
inline std::string controller_kind(const controller_desc &c) {
    for (const std::string &id : c.state.hardware_ids) {
        const std::string l = lower(id);
        const auto at = l.find("&cc_0c03");
        if (at != std::string::npos && l.size() >= at + 10) {
            const std::string code = l.substr(at + 8, 2);
            return code == "20" || code == "30" ? code : "";
        }
    }
    const std::string d = lower(c.description);
    return d.find("enhanced") != std::string::npos     ? "20"
           : d.find("extensible") != std::string::npos ? "30"
                                                       : "";
}
inline std::string default_root_hub_id(const controller_desc &c, std::size_t index) {
    return "USB\\ROOT_HUB" + controller_kind(c) + "\\4&" + std::to_string(index) + "&0";
}
// Its service: usbhub, but below an xHCI controller (its root hub's stated ID
// USB\ROOT_HUB30, or the controller's kind) usbhub3 from Windows 8 (6.2) on;
// before, the controller's vendor's own driver runs an xHCI root hub, and its
// service, which a description cannot tell, is not set.
inline std::optional<std::string> default_root_hub_service(const machine &m,
                                                           const controller_desc &c) {
    const std::string &id = c.root_hub.device_id;
    const bool xhci =
        id.empty() ? controller_kind(c) == "30" : lower(id).rfind("usb\\root_hub30", 0) == 0;
    if (!xhci) {
        return "usbhub";
    }
    return m.major > 6 || (m.major == 6 && m.minor >= 2) ? std::optional<std::string>("usbhub3")
                                                         : std::nullopt;
}
inline constexpr char root_hub_description[] = "USB Root Hub";

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

// The calls the machine model answers (and counts): the model's number of one,
// or QVM_NONE.
inline std::uint32_t machine_call(std::string_view function) {
    for (std::uint32_t call = 0; call < QVM_CALLS; ++call) {
        if (function == qvm_call_name(call)) {
            return call;
        }
    }
    return QVM_NONE;
}

// What a fault planted in a function may narrow and do, beyond `function`, `nth`
// and `error`: in a call of the machine model, the bits model.h's qvm_fault_keys
// gives; CreateProcessA, which the emulation answers, takes `program` (the
// command line's first word) and SetPriorityClass nothing more. None: no fault
// can be planted in it.
inline constexpr std::uint32_t by_program = 1u << 31;
inline std::optional<std::uint32_t> fault_site(std::string_view function) {
    const std::uint32_t call = machine_call(function);
    return call != QVM_NONE                 ? qvm_fault_keys(call)
           : function == "CreateProcessA"   ? by_program
           : function == "SetPriorityClass" ? 0u
                                            : std::optional<std::uint32_t>();
}

// The keys that stand for those bits, in the order they are checked
// (`controller` and `hub` are shorthands for a device path).
inline constexpr std::pair<const char *, std::uint32_t> fault_site_keys[] = {
    {"ioctl", QVM_BY_CODE},         {"port", QVM_BY_PORT},
    {"size", QVM_BY_SIZE},          {"actual_length", QVM_STATES_LENGTH},
    {"raw_reply", QVM_GIVES_REPLY}, {"controller", QVM_BY_PATH},
    {"hub", QVM_BY_PATH},           {"device", QVM_BY_PATH | QVM_BY_TEXT},
    {"program", by_program}};

// --- rules over more than one object ------------------------------------------

// Adds the names of a hub and of every hub below it; the first that was there
// already, or null.
inline const std::string *add_hub_names(const hub_desc &top, std::set<std::string> &names) {
    const std::string *twice = nullptr;
    each_hub(top, [&](const hub_desc &h) {
        twice = names.insert(h.name).second || twice != nullptr ? twice : &h.name;
    });
    return twice;
}

// Every change must land on a port that exists when its time comes, and leave
// every hub name once: where one fails (a place below the machine) and why, or
// two empty texts. The reader's own (platform/emu/machine.cpp).
std::pair<std::string, std::string> where_changes_fail(const machine &m);

// --- the keys -----------------------------------------------------------------

template <typename Io, typename Hub> void hub_keys(Io &io, Hub &h, unsigned depth);

// The software key's values, each a text by the name Windows gives it.
template <typename Io, typename Values> void driver_value_keys(Io &io, Values &d) {
    for (const driver_value_name &v : driver_value_names) {
        io.key(v.name, d.*v.member, text{}, none);
    }
}

template <typename Io, typename Error> void value_error_keys(Io &io, Error &e) {
    io.key("name", e.name, text{.empty = false}, need{"needs the value's \"name\""});
    io.key("error", e.error, whole{1, 0xFFFFFFFF}, need{"needs the \"error\" it answers"});
}

// A node's driver: its software key is there only where it has a driver key
// (how opening it fails, `software_key_error`, may be said of any node).
template <typename Io> void driver_needs_key(Io &io, const std::optional<std::string> &driver_key) {
    io.check([&](auto &r) {
        for (const char *key : {"driver_values", "driver_value_error"}) {
            if (!driver_key && r.has(key)) {
                r.refuse_at(key, "a node without a driver key has no software key");
            }
        }
    });
}

template <typename Io, typename State> void state_keys(Io &io, State &s) {
    io.key("node_status", s.node_status, number32{8}, none);
    io.key("problem", s.problem, whole{0, 0xFFFFFFFF}, none);
    io.key("status_error", s.status_error, whole{1, 0xFFFFFFFF}, none);
    io.key("service", s.service, text{.empty = false}, none);
    io.key("hardware_ids", s.hardware_ids, texts{}, none);
    io.key("driver_values", s.driver, object{[](auto &io, auto &d) { driver_value_keys(io, d); }},
           when{s.driver != driver_values{}});
    io.key("software_key_error", s.software_key_error, whole{1, 0xFFFFFFFF}, none);
    io.key("driver_value_error", s.driver_value_error,
           object{[](auto &io, auto &e) { value_error_keys(io, e); }}, none);
}

// A node's texts: `driver_key` and `description` may be null (none).
template <typename Io, typename Node> void node_keys(Io &io, Node &n, unsigned depth) {
    io.nesting(depth <= 64, "nodes nested too deep");
    io.key("driver_key", n.driver_key, nullable<text>{}, none);
    io.key("device_id", n.device_id, text{}, none);
    io.key("description", n.description, nullable<text>{}, none);
    state_keys(io, n.state);
    driver_needs_key(io, n.driver_key);
    io.key("children", n.children,
           objects{[depth](auto &io, auto &c) { node_keys(io, c, depth + 1); }}, none);
}

// `hub` comes before `device_is_hub` and the texts: the flag's default follows
// the hub, the device ID's the port's number and IDs. The node's state and the
// nodes below it (`children`) come last. `on`: the hub it is listed on (none: a
// change's port, which any hub may take).
template <typename Io, typename Port>
void port_keys(Io &io, Port &p, unsigned depth, const hub_desc *on) {
    const std::uint32_t port_count = on != nullptr ? on->port_count : 255;
    io.key("port", p.port, whole{1, 255}, need{"a port needs its \"port\" number"}, [&](auto &r) {
        if (p.port > port_count) {
            r.refuse("port " + std::to_string(p.port) + " is beyond the hub's " +
                     std::to_string(port_count) + " ports");
        }
    });
    io.key("vid", p.vid, id16{}, std::uint16_t{0});
    io.key("pid", p.pid, id16{}, std::uint16_t{0});
    io.key("status", p.status, whole{0, 0xFFFFFFFF}, std::uint32_t{1});
    // A speed the description has no word for is left out, and reads back as high.
    io.key("speed", p.speed, speed{}, when{p.speed != 2 && p.speed < std::size(speed_names)});
    io.key("legacy_query", p.legacy_only, flag{}, false);
    io.key("hub", p.hub, object{[depth](auto &io, auto &h) { hub_keys(io, h, depth + 1); }}, none);
    io.key("device_is_hub", p.device_is_hub, flag{}, !p.hub.empty(), [&](auto &r) {
        if (!p.device_is_hub && !p.hub.empty()) {
            r.refuse("false, but the port has a hub");
        }
    });
    io.key("driver_key", p.driver_key, nullable<text>{},
           std::optional<std::string>(default_port_driver_key(io.place())));
    io.key("device_id", p.device_id, text{}, default_port_device_id(p.vid, p.pid, p.port));
    io.key("description", p.description, text{}, std::string(default_port_description));
    state_keys(io, p.state);
    driver_needs_key(io, p.driver_key);
    io.key("children", p.children,
           objects{[depth](auto &io, auto &c) { node_keys(io, c, depth + 1); }}, none);
    io.check([&](auto &r) {
        for (std::size_t i = 0; on != nullptr && i < on->ports.size(); ++i) {
            if (&on->ports[i] != &p && on->ports[i].port == p.port) {
                r.refuse_at("port", "port " + std::to_string(p.port) + " is listed twice");
            }
        }
    });
}

// `device_id`: a root hub's own node (an external hub's is its port's).
template <typename Io, typename Hub> void hub_keys(Io &io, Hub &h, unsigned depth) {
    io.nesting(depth <= 32, "hubs nested too deep");
    io.key("name", h.name, text{.empty = false}, need{"a hub needs its \"name\""});
    io.key("port_count", h.port_count, whole{0, 255}, need{"a hub needs its \"port_count\""});
    io.check([&](auto &r) {
        if (depth != 0 && r.has("device_id")) {
            r.refuse_at("device_id",
                        "only a root hub's node is described here; an external hub's is its "
                        "port's");
        }
    });
    io.key("device_id", h.device_id, text{.empty = false}, none);
    io.key("ports", h.ports,
           objects{[&h, depth](auto &io, auto &p) { port_keys(io, p, depth, &h); }}, none);
}

// Controller numbers and hub names are the machine's own: `all` holds the
// controllers read before this one.
template <typename Io, typename Controller>
void controller_keys(Io &io, Controller &c, const std::vector<controller_desc> &all) {
    io.key("number", c.number, whole{0, 9}, none, [&](auto &r) {
        for (const controller_desc &other : all) {
            if (&other != &c && other.number == c.number) {
                r.refuse("controller number " + std::to_string(*c.number) + " is used twice");
            }
        }
    });
    io.key("interface", c.interface, flag{}, true);
    io.key("interface_path", c.interface_path, text{.empty = false}, none);
    io.key("driver_key", c.driver_key, text{}, need{"a controller needs its \"driver_key\""});
    io.key("device_id", c.device_id, text{}, std::string(default_controller_device_id));
    io.key("description", c.description, text{}, std::string(default_controller_description));
    state_keys(io, c.state);
    io.key("root_hub", c.root_hub, object{[](auto &io, auto &h) { hub_keys(io, h, 0); }},
           need{"a controller needs its \"root_hub\""}, [&](auto &r) {
               std::set<std::string> names;
               for (const controller_desc &other : all) {
                   if (&other != &c) {
                       add_hub_names(other.root_hub, names);
                   }
               }
               if (const std::string *twice = add_hub_names(c.root_hub, names)) {
                   r.refuse("hub name \"" + *twice + "\" is used twice");
               }
           });
}

// The device is a path as opened, letters lowered.
template <typename Io, typename Change> void at_open_keys(Io &io, Change &c) {
    io.check([](auto &r) {
        if (!r.has("device") || !r.has("nth")) {
            r.refuse("needs \"device\" and \"nth\"");
        }
    });
    io.key("device", c.at_open_device, text{.empty = false, .lowered = true}, when{true});
    io.key("nth", c.at_open_nth, whole{1, 0xFFFFFFFF}, when{true});
}

template <typename Io, typename Change> void at_call_keys(Io &io, Change &c) {
    io.check([](auto &r) {
        if (!r.has("function") || !r.has("nth")) {
            r.refuse("needs \"function\" and \"nth\"");
        }
    });
    io.key("function", c.at_call_function, text{.empty = false}, when{true}, [&](auto &r) {
        if (machine_call(c.at_call_function) == QVM_NONE) {
            r.refuse("not a call the machine answers");
        }
    });
    io.key("nth", c.at_call_nth, whole{1, 0xFFFFFFFF}, when{true});
}

// A change made by an open or a call has no time. Its keys are all required,
// but one of the three times.
template <typename Io, typename Change> void change_keys(Io &io, Change &c, const machine &m) {
    io.check([&](auto &r) {
        if (r.has("at_ms") + r.has("at_open") + r.has("at_call") != 1 || !r.has("controller") ||
            !r.has("port_path") || !r.has("port")) {
            r.refuse("a change needs \"at_ms\" or \"at_open\" or \"at_call\", \"controller\", "
                     "\"port_path\" and \"port\"");
        }
    });
    const bool opened = !c.at_open_device.empty(), called = !c.at_call_function.empty();
    io.key("at_ms", c.at_ms, whole{0, 1ull << 48}, when{!opened && !called});
    io.key("at_open", c, object{[](auto &io, auto &c) { at_open_keys(io, c); }}, when{opened});
    io.key("at_call", c, object{[](auto &io, auto &c) { at_call_keys(io, c); }}, when{called});
    io.key("controller", c.controller, whole{0, 1000}, when{true}, [&](auto &r) {
        if (c.controller >= m.controllers.size()) {
            r.refuse("no controller at this position");
        }
    });
    io.key("port_path", c.port_path, port_path{}, when{true});
    io.key("port", c.port, nullable<change_port>{{c.port_path}}, when{true});
}

// The narrowing keys first (`device`, `program` and the two shorthands for a
// device path, which the writer never uses), then the count, then the actions.
// The device is kept as written, in UTF-8 (the machine is asked in ANSI).
template <typename Io, typename Fault> void fault_keys(Io &io, Fault &f, const machine &m) {
    io.key("function", f.function, text{}, need{"a fault needs its \"function\""}, [&](auto &r) {
        const std::optional<std::uint32_t> site = fault_site(f.function);
        if (!site) {
            r.refuse("no fault can be planted in \"" + f.function + "\"");
        }
        for (const auto &[key, bits] : fault_site_keys) {
            if (r.has(key) && (*site & bits) == 0) {
                r.refuse_at(key, "does not apply to " + f.function);
            }
        }
    });
    const bool program = (fault_site(f.function).value_or(0) & by_program) != 0;
    io.key("ioctl", f.ioctl, number32{6}, std::uint32_t{0}, [&](auto &r) {
        if (std::ranges::find(qvm_codes, f.ioctl) == std::end(qvm_codes)) {
            r.refuse("not a control code the USB stack answers");
        }
    });
    io.key("device", f.device, text{.empty = false}, when{!f.device.empty() && !program});
    io.key("program", f.device, text{.empty = false}, when{!f.device.empty() && program});
    io.key("controller", f.device, controller_path{m}, read_only{});
    io.key("hub", f.device, hub_path{m}, read_only{});
    io.check([](auto &r) {
        if (r.has("device") + r.has("program") + r.has("controller") + r.has("hub") > 1) {
            r.refuse("at most one of \"device\", \"controller\" and \"hub\"");
        }
    });
    io.key("port", f.port, whole{1, 255}, std::uint32_t{0});
    io.key("size", f.size, whole{1, 0xFFFFFFFF}, std::uint64_t{0});
    io.key("nth", f.nth, whole{0, 0xFFFFFFFF}, std::uint32_t{1});
    io.check([](auto &r) {
        if (r.has("error") + r.has("actual_length") + r.has("raw_reply") > 1) {
            r.refuse("at most one of \"error\", \"actual_length\" and \"raw_reply\"");
        }
    });
    io.key("error", f.error, number32{}, when{f.action == fault::fail && f.error != fault{}.error});
    io.key("actual_length", f, stated_length{}, when{f.action == fault::actual_length});
    io.key("raw_reply", f, reply{}, when{f.action == fault::raw_reply});
}

// `os_version` given without `minor` or `build` takes the reader's own.
template <typename Io, typename Machine> void version_keys(Io &io, Machine &m) {
    io.key("major", m.major, whole{0, 255}, need{"needs \"major\""});
    io.key("minor", m.minor, whole{0, 255}, minor_version_unstated);
    io.key("build", m.build, whole{0, 0xFFFF}, default_build(m.major, m.minor));
}

// The top level: every key may be left out.
template <typename Io, typename Machine> void machine_keys(Io &io, Machine &m) {
    const machine plain;
    io.key("os_version", m, object{[](auto &io, auto &m) { version_keys(io, m); }},
           when{m.major != plain.major || m.minor != plain.minor || m.build != plain.build});
    io.key("clock", m.virtual_clock, choice{clock_virtual, clock_real, clock_virtual}, false);
    io.key("processes", m.record_processes,
           choice{processes_run, processes_record, processes_record}, false);
    io.key("largest_block", m.largest_block, whole{0, 0x7FFFFFFF}, plain.largest_block);
    io.key("system_folder", m.system_folder, text{.empty = false}, none);
    io.key("windows_folder", m.windows_folder, text{.empty = false}, none);
    io.key("folder_rights", m.folder_rights, folder_groups{}, none);
    io.key("no_acl_volumes", m.no_acl_volumes, texts{}, none);
    io.key("controllers", m.controllers,
           objects{[&m](auto &io, auto &c) { controller_keys(io, c, m.controllers); }}, none);
    io.key("device_tree", m.device_tree, object{[](auto &io, auto &n) { node_keys(io, n, 0); }},
           none);
    io.check([](auto &r) {
        if (r.has("nodes") && r.has("device_tree")) {
            r.refuse_at("nodes", "not beside \"device_tree\", which holds the whole tree");
        }
    });
    io.key("nodes", m.extra_nodes, objects{[](auto &io, auto &n) { node_keys(io, n, 0); }}, none);
    io.key("changes", m.changes, objects{[&m](auto &io, auto &c) { change_keys(io, c, m); }}, none,
           [&](auto &r) {
               const auto [place, words] = where_changes_fail(m);
               if (!words.empty()) {
                   r.refuse_at(place, words);
               }
           });
    io.key("faults", m.faults, objects{[&m](auto &io, auto &f) { fault_keys(io, f, m); }}, none);
}

} // namespace desc::keys
