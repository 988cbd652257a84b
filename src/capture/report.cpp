// The report a person reads after a capture: the topology with each port's
// place and state, the tool's own devices (where they are, which walks reach
// them, what each pass runs for them, what Device Manager says of them), the
// boxes a pass shows (what each means, the call that failed, where, what it
// skips) and why the polling goes on.
#include "capture/capture.h"

#include "policy/install.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <map>
#include <optional>
#include <set>
#include <utility>

namespace {

using rec::call;

const char *const family_codes[] = {"orvo", "kelmi", "pasur", "dravo", "nuvek"};
static_assert(std::size(family_codes) == family_count);

constexpr std::uint32_t code_name_or_information =
    0x220408; // root hub name; a hub's node information
constexpr std::uint32_t code_hcd_driver_key = 0x220424;
constexpr std::uint32_t code_port_hub_name = 0x220414;
constexpr std::uint32_t code_port_driver_key = 0x220420;
constexpr std::uint32_t code_connection = 0x22040C;
constexpr std::uint32_t code_connection_ex = 0x220448;
constexpr std::uint32_t error_file_not_found = 2;
constexpr std::uint32_t error_insufficient_buffer = 122;
constexpr std::uint32_t error_no_more_items = 259;
constexpr std::uint32_t problem_no_driver = 28; // CM_PROB_FAILED_INSTALL
constexpr std::uint32_t dn_started = 0x8;
constexpr unsigned pass_bound = 100000;
constexpr unsigned pause_before_pass_ms = 250;

// What a box is about: the controller being walked, a hub, or a port.
enum class about { controller, hub, port };

// What each failure site of the scan means, what it is about, what the scan then
// skips, and, for a site that reports no failed call of its own, why it shows.
struct site_info {
    int site;
    const char *meaning;
    about place;
    const char *skips;
    const char *no_call; // null: the site reports a failed call
};

constexpr const char *skips_root_hub = "the root hub: box 1917 follows; no port of it is walked";
constexpr const char *skips_controller = "the controller: box 1920 follows; it is not walked";
constexpr const char *skips_nothing_port = "nothing: the install for the port still runs";
constexpr const char *skips_inner_hub = "the external hub on this port and every port below it";
constexpr const char *skips_hub = "this hub and every port below it";
constexpr const char *too_short = "the reply was too short";

constexpr site_info site_table[] = {
    {362, "the root hub name query failed", about::controller, skips_root_hub, nullptr},
    {373, "no memory for the root hub name", about::controller, skips_root_hub, nullptr},
    {389, "the root hub name could not be read", about::controller, skips_root_hub, nullptr},
    {545, "the controller's driver key query failed", about::controller, skips_controller, nullptr},
    {554, "the controller's driver key reply is too short", about::controller, skips_controller,
     too_short},
    {561, "no memory for the controller's driver key", about::controller, skips_controller,
     nullptr},
    {578, "the controller's driver key could not be read", about::controller, skips_controller,
     nullptr},
    {451, "a port's driver key query failed", about::port, skips_nothing_port, nullptr},
    {460, "a port's driver key reply is too short", about::port, skips_nothing_port, too_short},
    {467, "no memory for a port's driver key", about::port, skips_nothing_port, nullptr},
    {486, "a port's driver key could not be read", about::port, skips_nothing_port, nullptr},
    {1058, "the external hub name query failed", about::port, skips_inner_hub, nullptr},
    {1067, "the external hub name reply is too short", about::port, skips_inner_hub, too_short},
    {1074, "no memory for an external hub name", about::port, skips_inner_hub, nullptr},
    {1092, "an external hub name could not be read", about::port, skips_inner_hub, nullptr},
    {1920, "the controller has no driver key", about::controller,
     "the controller: its root hub and ports are not walked", nullptr},
    {1875, "the controller's device ID is not a full PCI ID", about::controller,
     "nothing: the walk goes on without the PCI IDs", "the ID is not in PCI form"},
    {1889, "no device node gave the controller's device ID", about::controller,
     "nothing: the walk goes on without the controller's IDs", nullptr},
    {1917, "the controller has no root hub name", about::controller,
     "the controller's root hub and all its ports", nullptr},
    {1687, "no memory for a hub record", about::hub, skips_hub, nullptr},
    {1696, "no memory for a hub's node information", about::hub, skips_hub, nullptr},
    {1747, "a hub could not be opened", about::hub, skips_hub, nullptr},
    {1766, "a hub's node information query failed", about::hub, skips_hub, nullptr},
    {1317, "no memory for a port's connection record", about::hub, "the rest of this hub's ports",
     nullptr},
    {1361, "both connection queries of a port failed", about::port,
     "this port: nothing is installed for it; the next port follows", nullptr},
};

// USB_CONNECTION_STATUS, by value.
const char *const connection_status_names[] = {"NoDeviceConnected",
                                               "DeviceConnected",
                                               "DeviceFailedEnumeration",
                                               "DeviceGeneralFailure",
                                               "DeviceCausedOvercurrent",
                                               "DeviceNotEnoughPower",
                                               "DeviceNotEnoughBandwidth",
                                               "DeviceHubNestedTooDeeply",
                                               "DeviceInLegacyHub",
                                               "DeviceEnumerating",
                                               "DeviceReset"};

// The common CM_PROB_ codes, in Device Manager's words.
struct problem_words {
    std::uint32_t code;
    const char *words;
};
constexpr problem_words problem_table[] = {
    {1, "not configured"},
    {3, "out of memory"},
    {10, "the device cannot start"},
    {12, "not enough free resources"},
    {14, "Windows must be restarted"},
    {18, "its drivers must be reinstalled"},
    {19, "its registry entry is damaged"},
    {21, "Windows is removing it"},
    {22, "disabled"},
    {24, "not present, or not working"},
    {28, "no driver installed"},
    {29, "disabled by the firmware"},
    {31, "Windows cannot load its driver"},
    {32, "its driver service is disabled"},
    {37, "its driver failed to initialise"},
    {39, "its driver is missing or damaged"},
    {43, "Windows stopped it: it reported problems"},
    {45, "not connected now"},
    {47, "prepared for safe removal"},
    {48, "its driver is blocked"},
    {52, "its driver is not signed"},
};

__attribute__((format(printf, 2, 3))) void line(std::string &out, const char *format, ...) {
    char text[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    out += text;
    out += '\n';
}

bool is_controller_path(const std::string &path) {
    const std::string l = ascii_lower(path);
    return l.compare(0, 4, "\\\\?\\") == 0 ||
           (l.size() == 8 && l.compare(0, 7, "\\\\.\\hcd") == 0 && l[7] >= '0' && l[7] <= '9');
}

std::string pause_text(std::uint32_t ms) {
    char text[32];
    if (ms % 1000 == 0) {
        std::snprintf(text, sizeof text, "%u s", static_cast<unsigned>(ms / 1000));
    } else {
        std::snprintf(text, sizeof text, "%u ms", static_cast<unsigned>(ms));
    }
    return text;
}

std::string seconds_text(std::uint64_t ms) {
    char text[32];
    std::snprintf(text, sizeof text, "%llu.%02llu s", static_cast<unsigned long long>(ms / 1000),
                  static_cast<unsigned long long>(ms % 1000 / 10));
    return text;
}

// A long time in words: "about 7 hours", "about 21 days".
std::string duration_text(std::uint64_t ms) {
    const std::uint64_t hours = (ms + 1800000) / 3600000;
    if (hours < 48) {
        return "about " + std::to_string(hours) + (hours == 1 ? " hour" : " hours");
    }
    return "about " + std::to_string((hours + 12) / 24) + " days";
}

std::string times_text(std::size_t n) {
    return n == 1 ? "once" : n == 2 ? "twice" : std::to_string(n) + " times";
}

const char *speed_name(std::uint8_t speed) {
    static const char *const names[] = {"low speed", "full speed", "high speed"};
    return speed < std::size(names) ? names[speed] : "super speed";
}

std::string status_text(std::uint32_t status) {
    const std::string name = status < std::size(connection_status_names)
                                 ? connection_status_names[status]
                                 : "an unknown connection status";
    return name + " (status " + std::to_string(status) + ")";
}

// The product a port holds, in words: "kelmi d1 (family 1, variant 1)".
std::string product_text(const desc::port_desc &p) {
    if (p.pid == download_product_id) {
        return "the download-mode device";
    }
    for (std::size_t i = 0; i < product_count; ++i) {
        if (product_table[i] == p.pid) {
            const std::size_t family = i / variants_per_family;
            const std::size_t variant = i % variants_per_family;
            char text[96];
            std::snprintf(text, sizeof text, "%s %s (family %zu, variant %zu)",
                          family_codes[family],
                          variant == mtp_only_variant ? "MTP only"
                          : variant == 0              ? "d0"
                          : variant == 1              ? "d1"
                                                      : "d2",
                          family, variant);
            return text;
        }
    }
    return "a product quorvex does not know: nothing is installed for it";
}

bool known_product(const desc::port_desc &p) {
    if (p.pid == download_product_id) {
        return true;
    }
    return std::find(std::begin(product_table), std::end(product_table), p.pid) !=
           std::end(product_table);
}

bool is_ours(const desc::port_desc &p) {
    return p.vid == handled_vendor_id && p.status != 0;
}

// Device Manager's verdict on a node: started or not, its problem in words, its
// service. Unset values are what Windows shows by default.
std::string verdict(const desc::node_state &s, std::uint32_t default_problem) {
    const std::uint32_t problem = s.problem.value_or(default_problem);
    const bool started = s.node_status ? (*s.node_status & dn_started) != 0 : problem == 0;
    std::string text = started ? "started" : "not started";
    if (problem == 0) {
        text += ", no problem";
    } else {
        const char *words = "see Device Manager";
        for (const problem_words &w : problem_table) {
            if (w.code == problem) {
                words = w.words;
            }
        }
        text += ", problem " + std::to_string(problem) + ": " + words;
    }
    if (s.service) {
        text += ", service " + *s.service;
    }
    return text;
}

// --- where things are ---

struct hub_place {
    std::size_t controller; // index into the machine's controllers
    std::string at;         // the dotted ports of the port it hangs on; "" for a root hub
};

struct places {
    const desc::machine &m;
    const std::vector<call> &scan;
    std::map<std::string, hub_place> hubs; // by lower-case device path

    places(const desc::machine &machine, const std::vector<call> &calls) : m(machine), scan(calls) {
        for (std::size_t i = 0; i < m.controllers.size(); ++i) {
            add(m.controllers[i].root_hub, i, "");
        }
    }
    void add(const desc::hub_desc &h, std::size_t controller, const std::string &at) {
        hubs.emplace(ascii_lower(hub_device_path(h.name, scan)), hub_place{controller, at});
        for (const desc::port_desc &p : h.ports) {
            for (const desc::hub_desc &inner : p.hub) {
                add(inner, controller, dotted(at, p.port));
            }
        }
    }
    static std::string dotted(const std::string &at, std::uint32_t port) {
        return (at.empty() ? "" : at + ".") + std::to_string(port);
    }
    const hub_place *hub(const std::string &path) const {
        const auto it = hubs.find(ascii_lower(path));
        return it == hubs.end() ? nullptr : &it->second;
    }
    // The controller a walk opened by this path.
    std::optional<std::size_t> controller(const std::string &path) const {
        const std::string l = ascii_lower(path);
        for (std::size_t i = 0; i < m.controllers.size(); ++i) {
            const desc::controller_desc &c = m.controllers[i];
            if ((c.number && l == "\\\\.\\hcd" + std::to_string(*c.number)) ||
                (c.interface_path && l == ascii_lower(*c.interface_path))) {
                return i;
            }
        }
        return std::nullopt;
    }
    std::string controller_name(std::size_t i) const {
        const desc::controller_desc &c = m.controllers[i];
        std::string text = "controller " + std::to_string(i + 1);
        if (c.number) {
            text += " (\\\\.\\HCD" + std::to_string(*c.number) + ")";
        }
        return text;
    }
    std::string port_place(const std::string &hub_path, std::uint32_t port) const {
        const hub_place *h = hub(hub_path);
        if (h == nullptr) {
            return "port " + std::to_string(port) + " of " + hub_path;
        }
        return controller_name(h->controller) + ", port " + dotted(h->at, port);
    }
    std::string hub_text(const std::string &hub_path) const {
        const hub_place *h = hub(hub_path);
        if (h == nullptr) {
            return "the hub " + hub_path;
        }
        return controller_name(h->controller) +
               (h->at.empty() ? ", its root hub" : ", the hub at " + h->at);
    }
};

// --- one pass, as the recorded calls show it ---

using port_ref = std::pair<std::string, std::uint32_t>; // lower-case hub path, port

struct walk {
    std::string path; // the controller path the walk opened
    std::set<port_ref> reached;
    std::map<port_ref, std::vector<std::string>> steps; // what ran for each port
};

struct pass {
    std::vector<walk> walks;
    std::vector<std::string> before; // steps before the first walk or outside any port
    std::size_t commands = 0;
    std::map<std::uint32_t, std::size_t> pauses; // by length: how many
    std::uint64_t paused_ms = 0;
};

std::string box_step(const call &c) {
    const char *at = std::strstr(c.text.c_str(), ", Line ");
    return "box " + (at != nullptr ? std::string(at + 7) : c.text);
}

pass read_pass(const std::vector<call> &calls) {
    pass p;
    std::optional<port_ref> current;
    for (const call &c : calls) {
        std::string step;
        if (is_call(c, "CreateFileA")) {
            if (c.ok && is_controller_path(c.device)) {
                p.walks.push_back(walk{c.device, {}, {}});
            }
            current.reset();
        } else if (is_call(c, "DeviceIoControl") && !is_controller_path(c.device)) {
            if (c.code == code_connection_ex || c.code == code_connection ||
                c.code == code_port_driver_key) {
                current = port_ref{ascii_lower(c.device), c.port};
                if (!p.walks.empty()) {
                    p.walks.back().reached.insert(*current);
                }
            } else if (c.code == code_name_or_information) {
                current.reset();
            }
        } else if (is_call(c, "Sleep")) {
            step = "pause " + pause_text(c.code);
            ++p.pauses[c.code];
            p.paused_ms += c.code;
        } else if (is_call(c, "CreateProcessA")) {
            step = "run " + c.text;
            ++p.commands;
        } else if (is_call(c, "MessageBoxA")) {
            step = box_step(c);
        }
        if (step.empty()) {
            continue;
        }
        if (current && !p.walks.empty()) {
            p.walks.back().steps[*current].push_back(step);
        } else {
            p.before.push_back(step);
        }
    }
    return p;
}

// --- the boxes ---

const site_info *site_of(int site) {
    for (const site_info &s : site_table) {
        if (s.site == site) {
            return &s;
        }
    }
    return nullptr;
}

std::string ioctl_name(const call &c) {
    switch (c.code) {
    case code_name_or_information:
        return is_controller_path(c.device) ? "root hub name" : "node information";
    case code_hcd_driver_key:
        return "controller driver key";
    case code_port_hub_name:
        return "port hub name";
    case code_port_driver_key:
        return "port driver key";
    case code_connection:
        return "older connection query";
    case code_connection_ex:
        return "connection query";
    default:
        return "control code";
    }
}

std::string failure_text(const call &c) {
    char text[160];
    if (is_call(c, "DeviceIoControl")) {
        std::snprintf(text, sizeof text, "DeviceIoControl 0x%X (%s) failed with error %u",
                      static_cast<unsigned>(c.code), ioctl_name(c).c_str(),
                      static_cast<unsigned>(c.error));
    } else if (std::strncmp(c.function, "CM_", 3) == 0) {
        std::snprintf(text, sizeof text, "%s failed with 0x%X", c.function,
                      static_cast<unsigned>(c.error));
    } else {
        std::snprintf(text, sizeof text, "%s failed with error %u", c.function,
                      static_cast<unsigned>(c.error));
    }
    return text;
}

// Whether a failed call is one that can make a box: not a pause, a command, a
// sizing call that is meant to fail, a lookup's step through the device tree, a
// numbered controller that is not there, the end of the interface list, or a
// newer connection query the older one then answered.
bool can_cause(const std::vector<call> &calls, std::size_t i, int site) {
    const call &c = calls[i];
    if (c.ok || is_call(c, "Sleep") || is_call(c, "CreateProcessA") ||
        is_call(c, "OutputDebugStringA") || is_call(c, "MessageBoxA")) {
        return false;
    }
    if (std::strncmp(c.function, "CM_", 3) == 0) {
        return site == 1889 &&
               (is_call(c, "CM_Locate_DevNodeA") || is_call(c, "CM_Get_Device_IDA"));
    }
    if (site == 1889) {
        return false;
    }
    if ((is_call(c, "SetupDiGetDeviceInterfaceDetailA") && c.error == error_insufficient_buffer) ||
        (is_call(c, "SetupDiEnumDeviceInterfaces") && c.error == error_no_more_items) ||
        (is_call(c, "CreateFileA") && c.error == error_file_not_found && !c.device.empty() &&
         c.device.compare(0, 4, "\\\\.\\") == 0 && is_controller_path(c.device))) {
        return false;
    }
    if (is_call(c, "DeviceIoControl") && c.code == code_connection_ex && i + 1 < calls.size()) {
        const call &next = calls[i + 1];
        return !(is_call(next, "DeviceIoControl") && next.code == code_connection && next.ok);
    }
    return true;
}

// The call a box reports: the latest that failed and can cause it, since the
// box before it and within the same controller walk.
const call *failed_call(const std::vector<call> &calls, std::size_t box, int site) {
    for (std::size_t i = box; i-- > 0;) {
        const call &c = calls[i];
        if (is_call(c, "MessageBoxA") ||
            (is_call(c, "CreateFileA") && c.ok && is_controller_path(c.device))) {
            break;
        }
        if (can_cause(calls, i, site)) {
            return &c;
        }
    }
    return nullptr;
}

// The last call before the box that was for a device: its path and port.
const call *last_device_call(const std::vector<call> &calls, std::size_t box) {
    for (std::size_t i = box; i-- > 0;) {
        if (is_call(calls[i], "DeviceIoControl") || is_call(calls[i], "CreateFileA")) {
            return &calls[i];
        }
    }
    return nullptr;
}

std::string walk_name(const std::string &path) {
    return path.compare(0, 4, "\\\\?\\") == 0 ? "the interface" : path;
}

// Where a box is: the controller walked, the hub or the port it is about.
std::string box_place(const places &where, const std::vector<call> &calls, std::size_t box,
                      about place, const std::string &walk_path) {
    const call *last = last_device_call(calls, box);
    const auto controller = where.controller(walk_path);
    const std::string walk_text = controller ? where.controller_name(*controller)
                                             : (walk_path.empty() ? "no controller" : walk_path);
    const bool twice = controller && where.m.controllers[*controller].number &&
                       where.m.controllers[*controller].interface;
    const std::string in_walk = twice ? ", in the walk by " + walk_name(walk_path) : "";
    if (place == about::controller || last == nullptr) {
        return walk_text + in_walk;
    }
    if (is_controller_path(last->device)) {
        return walk_text + ", its root hub" + in_walk;
    }
    const bool names_port =
        is_call(*last, "DeviceIoControl") && last->code != code_name_or_information;
    if (place == about::port && names_port) {
        return where.port_place(last->device, last->port) + in_walk;
    }
    if (place == about::hub && names_port && last->code == code_port_hub_name) {
        return where.port_place(last->device, last->port) + ": the hub there" + in_walk;
    }
    return where.hub_text(last->device) + in_walk;
}

// Why a box with no failed call of its own shows.
std::string no_call_text(const std::vector<call> &calls, std::size_t box, const site_info &s) {
    if (s.site == 1875) {
        for (std::size_t i = box; i-- > 0;) {
            if (is_call(calls[i], "CM_Get_Device_IDA") && calls[i].ok) {
                return "no failed call: the ID is not in PCI form: " + calls[i].text;
            }
        }
    }
    if (s.no_call != nullptr && s.site != 1875) {
        for (std::size_t i = box; i-- > 0;) {
            const call &c = calls[i];
            if (is_call(c, "DeviceIoControl") && c.ok) {
                const std::size_t at = c.code == code_hcd_driver_key ? 0 : 4;
                std::uint32_t stated = 0;
                for (std::size_t k = 0; k < 4 && at + k < c.reply.size(); ++k) {
                    stated |= std::uint32_t{c.reply[at + k]} << (8 * k);
                }
                return std::string("no failed call: ") + s.no_call + " (it states " +
                       std::to_string(stated) + " bytes)";
            }
        }
    }
    if (s.no_call != nullptr) {
        return std::string("no failed call: ") + s.no_call;
    }
    if (s.site == 1889) {
        return "no failed call: no device node has the controller's driver key";
    }
    if (box > 0 && is_call(calls[box - 1], "MessageBoxA")) {
        return "no failed call of its own: the box before it gives the cause";
    }
    return "no failed call";
}

void box_lines(std::string &out, const places &where, const std::vector<call> &calls) {
    std::string walk_path;
    std::size_t boxes = 0;
    std::string lines;
    for (std::size_t i = 0; i < calls.size(); ++i) {
        const call &c = calls[i];
        if (is_call(c, "CreateFileA") && c.ok && is_controller_path(c.device)) {
            walk_path = c.device;
        }
        if (!is_call(c, "MessageBoxA")) {
            continue;
        }
        ++boxes;
        const char *at = std::strstr(c.text.c_str(), ", Line ");
        const int site = at != nullptr ? std::atoi(at + 7) : 0;
        const site_info *s = site_of(site);
        if (s == nullptr) {
            line(lines, "box %s: not a site of the scan", c.text.c_str());
            continue;
        }
        const call *failed = s->no_call == nullptr ? failed_call(calls, i, site) : nullptr;
        const bool no_driver_yet = site == 451 && failed != nullptr && failed->error == 2;
        line(lines, "box %d: %s", site, s->meaning);
        if (no_driver_yet) {
            line(lines,
                 "  no driver installed yet for this device: normal before its first install");
        }
        line(lines, "  cause: %s",
             failed != nullptr ? failure_text(*failed).c_str()
                               : no_call_text(calls, i, *s).c_str());
        line(lines, "  at %s", box_place(where, calls, i, s->place, walk_path).c_str());
        line(lines, "  skips %s", s->skips);
    }
    if (boxes == 0) {
        line(out, "Boxes a pass shows: none");
        return;
    }
    line(out, "Boxes a pass shows: %lu, each waiting for OK (\"File: ..., Line N\": box N):",
         static_cast<unsigned long>(boxes));
    out += lines;
}

// --- the topology ---

void hub_lines(std::string &out, const places &where, const desc::hub_desc &h,
               const std::string &at, int depth);

void port_line(std::string &out, const places &where, const desc::port_desc &p,
               const std::string &at, int depth) {
    const std::string indent(static_cast<std::size_t>(2 * depth), ' ');
    const std::string place = places::dotted(at, p.port);
    std::string text = indent + "port " + place + ": ";
    if (p.status == 0) {
        text += "no device";
    } else if (p.vid == 0 && p.pid == 0) {
        text += "no device descriptor read (0000:0000)";
    } else {
        char ids[64];
        std::snprintf(ids, sizeof ids, "%04X:%04X, %s", p.vid, p.pid, speed_name(p.speed));
        text += ids;
    }
    if (p.status > 1) {
        text += ", " + status_text(p.status);
    }
    if (p.legacy_only) {
        text += ", older query only";
    }
    if (p.device_is_hub) {
        text += ", a hub";
    }
    if (is_ours(p)) {
        text += ": ours";
    }
    out += text + "\n";
    for (const desc::hub_desc &inner : p.hub) {
        hub_lines(out, where, inner, place, depth + 1);
    }
}

void hub_lines(std::string &out, const places &where, const desc::hub_desc &h,
               const std::string &at, int depth) {
    const std::string indent(static_cast<std::size_t>(2 * depth), ' ');
    out += indent + (at.empty() ? "root hub " : "hub ") + h.name + ", " +
           std::to_string(h.port_count) + " ports\n";
    for (const desc::port_desc &p : h.ports) {
        port_line(out, where, p, at, depth + 1);
    }
}

void topology_lines(std::string &out, const places &where) {
    const desc::machine &m = where.m;
    line(out, "USB topology:");
    if (m.controllers.empty()) {
        line(out, "  no host controller answered");
    }
    for (std::size_t i = 0; i < m.controllers.size(); ++i) {
        const desc::controller_desc &c = m.controllers[i];
        const char *answers = c.number && c.interface ? ", and by the interface as"
                              : c.interface           ? ": by the interface only, as"
                                                      : "";
        line(out, "%s%s", where.controller_name(i).c_str(), answers);
        if (c.interface) {
            line(out, "    %s", c.interface_path.value_or("(no path read)").c_str());
        }
        line(out, "  driver key %s", c.driver_key.empty() ? "(none read)" : c.driver_key.c_str());
        line(out, "  device ID %s", c.device_id.empty() ? "(none found)" : c.device_id.c_str());
        if (c.state.problem.value_or(0) != 0 || c.state.node_status) {
            line(out, "  Device Manager: %s", verdict(c.state, 0).c_str());
        }
        hub_lines(out, where, c.root_hub, "", 1);
    }
}

// --- the devices of ours ---

struct own_device {
    const desc::port_desc *port;
    std::size_t controller;
    std::string hub_path; // lower case
    std::string at;       // dotted
    std::string hub_at;   // the dotted place of the hub it is on; "" for a root hub
};

void find_own(const places &where, const desc::hub_desc &h, std::size_t controller,
              const std::string &at, std::vector<own_device> &own) {
    for (const desc::port_desc &p : h.ports) {
        const std::string place = places::dotted(at, p.port);
        if (is_ours(p)) {
            own.push_back(
                {&p, controller, ascii_lower(hub_device_path(h.name, where.scan)), place, at});
        }
        for (const desc::hub_desc &inner : p.hub) {
            find_own(where, inner, controller, place, own);
        }
    }
}

void device_lines(std::string &out, const places &where, const capture_report &r,
                  const pass &scan) {
    std::vector<own_device> own;
    for (std::size_t i = 0; i < where.m.controllers.size(); ++i) {
        find_own(where, where.m.controllers[i].root_hub, i, "", own);
    }
    line(out, "Devices of ours:%s", own.empty() ? " none" : "");
    for (const own_device &d : own) {
        const desc::port_desc &p = *d.port;
        line(out, "%04X:%04X, %s", p.vid, p.pid, product_text(p).c_str());
        const std::string on =
            d.hub_at.empty()
                ? "root port " + std::to_string(p.port)
                : "port " + std::to_string(p.port) + " of the external hub " +
                      (d.hub_at.find('.') == std::string::npos ? "on root port " : "at ") +
                      d.hub_at;
        line(out, "  at %s, port %s:", where.controller_name(d.controller).c_str(), d.at.c_str());
        line(out, "    %s", on.c_str());
        if (p.status != 1) {
            line(out, "  connection %s%s", status_text(p.status).c_str(),
                 known_product(p) ? ": quorvex installs for it all the same" : "");
        }
        if (!r.verdict_read) {
            line(out, "  Device Manager: not read on this PC (see above)");
        } else {
            line(out, "  Device Manager: %s",
                 verdict(p.state, p.driver_key ? 0 : problem_no_driver).c_str());
        }
        for (const desc::node_desc &child : p.children) {
            line(out, "    interface %s:", child.device_id.c_str());
            line(out, "      %s", verdict(child.state, 0).c_str());
        }
        const port_ref ref{d.hub_path, p.port};
        std::vector<const walk *> reaching;
        for (const walk &w : scan.walks) {
            if (w.reached.count(ref) != 0) {
                reaching.push_back(&w);
            }
        }
        std::string by;
        for (const walk *w : reaching) {
            by += (by.empty() ? "by " : " and by ") + walk_name(w->path);
        }
        line(out, "  reached %s a pass%s%s", times_text(reaching.size()).c_str(),
             by.empty() ? "" : ": ", by.c_str());
        const desc::controller_desc &c = where.m.controllers[d.controller];
        if (reaching.size() > 1 && c.number && c.interface) {
            line(out, "    (its controller answers to \\\\.\\HCD%d and to the interface: a pass",
                 *c.number);
            line(out, "    walks it twice, so every install runs twice)");
        } else if (reaching.size() < 2 && c.number && c.interface) {
            line(out, "    (its controller is walked twice a pass; one walk does not reach it)");
        }
        if (!r.action_scanned || reaching.empty()) {
            continue;
        }
        bool alike = true;
        for (const walk *w : reaching) {
            alike =
                alike && w->steps.count(ref) == reaching.front()->steps.count(ref) &&
                (w->steps.count(ref) == 0 || w->steps.at(ref) == reaching.front()->steps.at(ref));
        }
        for (const walk *w : reaching) {
            const auto it = w->steps.find(ref);
            const std::vector<std::string> none;
            const std::vector<std::string> &steps = it == w->steps.end() ? none : it->second;
            if (alike) {
                line(out, "  each pass%s, quorvex %s runs for it:",
                     reaching.size() > 1
                         ? (", " + times_text(reaching.size()) + " (once a walk)").c_str()
                         : "",
                     r.argument);
            } else {
                line(out,
                     "  in the walk by %s, quorvex %s runs for it:", walk_name(w->path).c_str(),
                     r.argument);
            }
            for (const std::string &s : steps) {
                line(out, "    %s", s.c_str());
            }
            if (steps.empty()) {
                line(out, "    nothing");
            }
            if (alike) {
                break;
            }
        }
    }
}

// --- the polling ---

bool download_seen(const desc::hub_desc &h, std::string &at, const std::string &from,
                   const places &where, std::size_t controller) {
    for (const desc::port_desc &p : h.ports) {
        const std::string place = places::dotted(from, p.port);
        if (is_ours(p) && p.pid == download_product_id) {
            at = where.controller_name(controller) + ", port " + place;
            return true;
        }
        for (const desc::hub_desc &inner : p.hub) {
            if (download_seen(inner, at, place, where, controller)) {
                return true;
            }
        }
    }
    return false;
}

void polling_lines(std::string &out, const places &where, const capture_report &r,
                   const pass &action) {
    line(out, "Why quorvex %s polls, and for how long:", r.argument);
    std::string at;
    bool seen = false;
    for (std::size_t i = 0; i < where.m.controllers.size() && !seen; ++i) {
        seen = download_seen(where.m.controllers[i].root_hub, at, "", where, i);
    }
    if (r.download_done) {
        line(out, "  7A31:2132, the download-mode device, is at %s: its install ran,",
             at.empty() ? "a port of this pass" : at.c_str());
        line(out, "  so polling ends with this pass.");
    } else {
        line(out, "  7A31:2132, the download-mode device, was not seen: polling goes on.");
        line(out,
             "  Nothing but its install ends the polling, bar the bound of %u passes:", pass_bound);
        line(out, "  %s here, of pauses alone.",
             duration_text(action.paused_ms * pass_bound).c_str());
    }
    std::string pauses;
    std::size_t count = 0;
    for (const auto &[ms, n] : action.pauses) {
        pauses += pauses.empty() ? "" : ", ";
        pauses += ms == pause_before_pass_ms && n == 1 ? pause_text(ms) + " before the pass"
                                                       : pause_text(ms) + " " + times_text(n);
        count += n;
    }
    line(out, "  One pass: %lu commands, and %lu pause%s%s%s.",
         static_cast<unsigned long>(action.commands), static_cast<unsigned long>(count),
         count == 1 ? "" : "s", pauses.empty() ? "" : ": ", pauses.c_str());
    line(out, "  That is %s of pauses a pass, plus the time the commands take.",
         seconds_text(action.paused_ms).c_str());
    if (r.download_done) {
        return;
    }
    if (action.commands == 0) {
        line(out, "  At the PC: quorvex waits and installs nothing until the device is put");
        line(out, "  into download mode (it then shows as 7A31:2132).");
        return;
    }
    line(out, "  At the PC: quorvex installs the packages above again on every pass, until");
    line(out, "  the device is put into download mode (it then shows as 7A31:2132) or the");
    line(out, "  bound is reached. Closing its window is the only other way to stop it.");
}

void action_lines(std::string &out, const capture_report &r) {
    bool direct = false;
    for (const call &c : *r.action) {
        direct = direct || is_call(c, "GetVersionExA");
    }
    if (direct) {
        line(out, "quorvex %s on Windows %u.%u does not scan: a direct install, with no box:",
             r.argument, static_cast<unsigned>(r.machine->major),
             static_cast<unsigned>(r.machine->minor));
    } else {
        line(out, "quorvex %s does not scan: no box, and only this:", r.argument);
    }
    std::size_t steps = 0;
    for (const call &c : *r.action) {
        if (is_call(c, "CreateProcessA")) {
            line(out, "  run %s", c.text.c_str());
            ++steps;
        }
    }
    if (steps == 0) {
        line(out, "  nothing");
    }
    line(out, "The topology and devices above are for reference: quorvex %s walks none of it.",
         r.argument);
}

} // namespace

std::string report_text(const capture_report &r) {
    std::string out;
    const desc::machine &m = *r.machine;
    line(out, "quorvex-capture: this PC's USB topology, as the tool's scan reads it, is in %s",
         r.file);
    line(out, "Windows version %u.%u, build %u", static_cast<unsigned>(m.major),
         static_cast<unsigned>(m.minor), static_cast<unsigned>(m.build));
    const places where(m, *r.scan);
    const pass scan = read_pass(*r.scan);
    topology_lines(out, where);
    device_lines(out, where, r, scan);
    if (r.argument != nullptr && !r.action_scanned) {
        action_lines(out, r);
        return out;
    }
    box_lines(out, where, *r.scan);
    if (r.action_scanned) {
        polling_lines(out, where, r, read_pass(*r.action));
    }
    return out;
}
