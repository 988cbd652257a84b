// From recorded answers to a machine description.
//
// The topology comes first: the controllers the pass opened (by number and by
// interface, one controller where both name the same root hub), the hubs named by
// the name queries, each port's first connection reply, the device-tree nodes the
// lookups visited. Then every recorded call is answered again from that topology,
// as the emulated machine will answer it, and compared with what the scan read of
// the real answer; each call where they differ becomes a planted fault (the
// recorded failure, or the recorded reply byte for byte) at its place in the
// order, or one fault for every call of its kind where all of them differ alike.
#include "capture/capture.h"

#include "platform/description/keys.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <set>
#include <tuple>

namespace {

using rec::call;

constexpr std::uint32_t code_root_hub_name = 0x220408;    // to a controller
constexpr std::uint32_t code_node_information = 0x220408; // to a hub
constexpr std::uint32_t code_hcd_driver_key = 0x220424;
constexpr std::uint32_t code_port_hub_name = 0x220414;
constexpr std::uint32_t code_port_driver_key = 0x220420;
constexpr std::uint32_t code_connection = 0x22040C;
constexpr std::uint32_t code_connection_ex = 0x220448;

constexpr std::uint32_t error_invalid_function = 1;
constexpr std::uint32_t error_file_not_found = 2;
constexpr std::uint32_t error_invalid_parameter = 87;
constexpr std::uint32_t error_insufficient_buffer = 122;
constexpr std::uint32_t error_no_more_items = 259;
constexpr std::uint32_t error_not_enough_memory = 8;
constexpr std::uint32_t cr_no_such_devnode = 0x0D;
constexpr std::uint32_t cr_buffer_small = 0x1A;
constexpr std::uint32_t cr_no_such_value = 0x25;
constexpr std::uint32_t property_driver = 10;
constexpr std::uint32_t devnode_text_size = 200;
constexpr std::size_t detail_path_offset = 4;       // SP_DEVICE_INTERFACE_DETAIL_DATA_A.DevicePath
constexpr std::uint64_t largest_block = 0x7FFFFFFF; // what a description's GlobalAlloc gives

std::uint32_t u32_at(const std::vector<std::uint8_t> &b, std::size_t at) {
    std::uint32_t v = 0;
    for (std::size_t i = 0; i < 4 && at + i < b.size(); ++i) {
        v |= std::uint32_t{b[at + i]} << (8 * i);
    }
    return v;
}

std::uint16_t u16_at(const std::vector<std::uint8_t> &b, std::size_t at) {
    return static_cast<std::uint16_t>(u32_at(b, at) & 0xFFFFu);
}

// --- text: the description is UTF-8, the USB stack answers UTF-16LE ---

void put_utf8(std::string &out, std::uint32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

std::string utf16_to_utf8(const std::u16string &units) {
    std::string out;
    for (std::size_t i = 0; i < units.size(); ++i) {
        std::uint32_t cp = units[i];
        if (cp >= 0xD800 && cp < 0xDC00 && i + 1 < units.size() && units[i + 1] >= 0xDC00 &&
            units[i + 1] < 0xE000) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (units[i + 1] - 0xDC00u);
            ++i;
        } else if (cp >= 0xD800 && cp < 0xE000) {
            cp = 0xFFFD;
        }
        put_utf8(out, cp);
    }
    return out;
}

std::u16string utf8_to_utf16(const std::string &text) {
    std::u16string out;
    for (std::size_t i = 0; i < text.size();) {
        const auto lead = static_cast<unsigned char>(text[i]);
        const int extra = lead >= 0xF0 ? 3 : lead >= 0xE0 ? 2 : lead >= 0xC0 ? 1 : 0;
        std::uint32_t cp = extra == 0 ? lead : lead & (0x3Fu >> extra);
        for (int k = 1; k <= extra && i + k < text.size(); ++k) {
            cp = (cp << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3Fu);
        }
        i += static_cast<std::size_t>(extra) + 1;
        if (cp >= 0x10000) {
            out += static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10));
            out += static_cast<char16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF));
        } else {
            out += static_cast<char16_t>(cp);
        }
    }
    return out;
}

// The PC's own conversions of names to its ANSI code page, as the scan made them
// (recorded WideCharToMultiByte calls): a name of the description (UTF-8) and
// the ANSI text the device path it opened holds, both ways.
struct code_page {
    std::map<std::string, std::string> to_ansi;
    std::map<std::string, std::string> to_utf8;

    // The ANSI text of a name: as this PC converted it; a name it never converted
    // keeps its ASCII, other characters as '?'.
    std::string ansi(const std::string &utf8) const {
        if (const auto it = to_ansi.find(utf8); it != to_ansi.end()) {
            return it->second;
        }
        std::string out;
        for (char16_t unit : utf8_to_utf16(utf8)) {
            out += unit < 0x80 ? static_cast<char>(unit) : '?';
        }
        return out;
    }
    // A device path as the description writes it (UTF-8): a hub's path names
    // the hub as converted back.
    std::string utf8_path(const std::string &path) const {
        if (path.compare(0, 4, "\\\\.\\") == 0) {
            if (const auto it = to_utf8.find(path.substr(4)); it != to_utf8.end()) {
                return path.substr(0, 4) + it->second;
            }
        }
        return path;
    }
};

code_page conversions_of(const std::vector<call> &calls) {
    code_page p;
    for (const call &c : calls) {
        if (std::strcmp(c.function, "WideCharToMultiByte") != 0 || c.reply.empty()) {
            continue;
        }
        std::u16string units;
        for (std::size_t i = 0; i + 1 < c.reply.size(); i += 2) {
            units += static_cast<char16_t>(c.reply[i] | (c.reply[i + 1] << 8));
        }
        while (!units.empty() && units.back() == 0) {
            units.pop_back();
        }
        std::string ansi = c.text;
        while (!ansi.empty() && ansi.back() == '\0') {
            ansi.pop_back();
        }
        const std::string utf8 = utf16_to_utf8(units);
        p.to_ansi.emplace(utf8, ansi);
        p.to_utf8.emplace(ansi, utf8);
    }
    return p;
}

// --- the name queries, as the scan reads their replies ---

struct name_layout {
    std::size_t length_offset; // ActualLength
    std::size_t name_offset;
    std::uint32_t probe_size;
};

name_layout layout_of(std::uint32_t code) {
    if (code == code_port_hub_name || code == code_port_driver_key) {
        return {4, 8, 10};
    }
    return {0, 4, 6};
}

// What the scan reads of a name reply that filled `block_size` bytes: the stated
// length, and the name within it up to its terminator.
struct name_view {
    std::uint32_t stated = 0;
    std::u16string name;
    bool operator==(const name_view &) const = default;
};

name_view read_name(const std::vector<std::uint8_t> &reply, std::uint32_t block_size,
                    const name_layout &l) {
    std::vector<std::uint8_t> block(reply);
    block.resize(std::max<std::size_t>(block_size, l.length_offset + 4), 0);
    name_view v;
    v.stated = u32_at(block, l.length_offset);
    const std::size_t end = std::min<std::size_t>(block_size, v.stated);
    for (std::size_t at = l.name_offset; at + 1 < end; at += 2) {
        const auto unit = static_cast<char16_t>(u16_at(block, at));
        if (unit == 0) {
            break;
        }
        v.name += unit;
    }
    return v;
}

// The reply the emulated machine gives for a name, cut to the caller's buffer.
std::vector<std::uint8_t> name_reply(std::uint32_t port, const std::string &name,
                                     const name_layout &l, std::uint32_t out_size) {
    const std::u16string wide = utf8_to_utf16(name);
    std::vector<std::uint8_t> r(l.name_offset + 2 * (wide.size() + 1), 0);
    auto put = [&r](std::size_t at, std::uint32_t v, int bytes) {
        for (int i = 0; i < bytes; ++i) {
            r[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
        }
    };
    if (l.name_offset == 8) {
        put(0, port, 4);
    }
    put(l.length_offset, static_cast<std::uint32_t>(r.size()), 4);
    for (std::size_t i = 0; i < wide.size(); ++i) {
        put(l.name_offset + 2 * i, wide[i], 2);
    }
    r.resize(std::min<std::size_t>(r.size(), out_size));
    return r;
}

// --- device paths ---

std::optional<int> controller_number(const std::string &path) {
    const std::string l = ascii_lower(path);
    if (l.size() == 8 && l.compare(0, 7, "\\\\.\\hcd") == 0 && l[7] >= '0' && l[7] <= '9') {
        return l[7] - '0';
    }
    return std::nullopt;
}

bool is_interface_path(const std::string &path) {
    return path.compare(0, 4, "\\\\?\\") == 0;
}

bool is_controller_path(const std::string &path) {
    return controller_number(path) || is_interface_path(path);
}

std::string hub_path(const code_page &p, const std::string &name) {
    return "\\\\.\\" + p.ansi(name);
}

// --- what the recorded pass says ---

// The calls of one kind to one device and port, in order.
using call_key = std::tuple<std::string, std::uint32_t, std::uint32_t>;

struct recorded {
    const std::vector<call> &calls;
    code_page ansi;
    std::vector<bool> second; // a name query's second call (after its probe)
    std::map<call_key, std::vector<std::size_t>> by_key;
    std::map<std::string, std::vector<std::size_t>> opens; // CreateFileA by path
};

bool is_name_code(const call &c) {
    return c.code == code_hcd_driver_key || c.code == code_port_hub_name ||
           c.code == code_port_driver_key ||
           (c.code == code_root_hub_name && is_controller_path(c.device));
}

recorded index_calls(const std::vector<call> &calls) {
    recorded r{calls, conversions_of(calls), std::vector<bool>(calls.size(), false), {}, {}};
    std::optional<std::pair<call_key, std::uint32_t>> probe; // awaiting its second call
    for (std::size_t i = 0; i < calls.size(); ++i) {
        const call &c = calls[i];
        if (is_call(c, "CreateFileA")) {
            r.opens[c.device].push_back(i);
        }
        if (!is_call(c, "DeviceIoControl")) {
            continue;
        }
        const call_key key{c.device, c.code, c.port};
        r.by_key[key].push_back(i);
        r.second[i] = probe && probe->first == key && probe->second == c.out_size;
        probe.reset();
        if (is_name_code(c) && !r.second[i] && c.ok) {
            probe.emplace(key, read_name(c.reply, c.out_size, layout_of(c.code)).stated);
        }
    }
    return r;
}

// The name the first answered second call of a query gave, if any.
std::optional<std::string> learned_name(const recorded &r, const std::string &device,
                                        std::uint32_t code, std::uint32_t port) {
    const auto it = r.by_key.find({device, code, port});
    if (it == r.by_key.end()) {
        return std::nullopt;
    }
    for (std::size_t i : it->second) {
        const call &c = r.calls[i];
        if (r.second[i] && c.ok) {
            return utf16_to_utf8(read_name(c.reply, c.out_size, layout_of(code)).name);
        }
    }
    return std::nullopt;
}

const call *first_answer(const recorded &r, const std::string &device, std::uint32_t code,
                         std::uint32_t port) {
    const auto it = r.by_key.find({device, code, port});
    if (it != r.by_key.end()) {
        for (std::size_t i : it->second) {
            if (r.calls[i].ok) {
                return &r.calls[i];
            }
        }
    }
    return nullptr;
}

// --- the topology ---

struct builder {
    const recorded &r;
    desc::machine m;
    std::set<std::string> hub_names; // lower-case: a name names one hub
    int placeholders = 0;
};

constexpr int deepest_hub = 8; // as deep as the scan follows external hubs, and one more
constexpr const char *unnamed_hub = "CAPTURE#UNNAMED_HUB#";

// A hub's name for the description: the one it answered, or, where it gave none
// that can stand (none, empty, or another hub's), one made up that no device path
// of the pass could name.
std::string hub_name_for(builder &b, const std::optional<std::string> &answered) {
    if (answered && !answered->empty() && b.hub_names.insert(ascii_lower(*answered)).second) {
        return *answered;
    }
    std::string made = unnamed_hub + std::to_string(b.placeholders++);
    b.hub_names.insert(ascii_lower(made));
    return made;
}

desc::hub_desc build_hub(builder &b, const std::string &name, int depth);

// A port as its first answered connection query showed it; none where the
// description's empty port answers the same.
std::optional<desc::port_desc> build_port(builder &b, const std::string &path, std::uint32_t port,
                                          int depth) {
    const call *ex = first_answer(b.r, path, code_connection_ex, port);
    const call *older = ex == nullptr ? first_answer(b.r, path, code_connection, port) : nullptr;
    if (ex == nullptr && older == nullptr) {
        return std::nullopt;
    }
    const std::vector<std::uint8_t> &reply = ex != nullptr ? ex->reply : older->reply;
    desc::port_desc p;
    p.port = port;
    p.vid = u16_at(reply, 12);
    p.pid = u16_at(reply, 14);
    const std::uint8_t speed = reply.size() > 23 ? reply[23] : 0;
    p.speed = ex != nullptr ? std::min<std::uint8_t>(speed, 2) : (speed == 0 ? 1 : 0);
    p.device_is_hub = reply.size() > 24 && reply[24] != 0;
    p.status = u32_at(reply, 31);
    p.legacy_only = ex == nullptr;
    p.driver_key = learned_name(b.r, path, code_port_driver_key, port);
    char id[64];
    std::snprintf(id, sizeof id, "USB\\VID_%04X&PID_%04X\\%u", p.vid, p.pid, port);
    p.device_id = id;
    p.description = "USB Composite Device";
    if (p.device_is_hub && depth < deepest_hub) {
        const auto inner = learned_name(b.r, path, code_port_hub_name, port);
        if (inner && !inner->empty() && b.hub_names.count(ascii_lower(*inner)) == 0) {
            p.hub.push_back(build_hub(b, hub_name_for(b, inner), depth + 1));
        }
    }
    const bool plain = p.status == 0 && p.vid == 0 && p.pid == 0 && !p.device_is_hub &&
                       !p.legacy_only && p.hub.empty();
    return plain ? std::nullopt : std::optional<desc::port_desc>(std::move(p));
}

desc::hub_desc build_hub(builder &b, const std::string &name, int depth) {
    desc::hub_desc h;
    h.name = name;
    const std::string path = hub_path(b.r.ansi, name);
    if (const call *info = first_answer(b.r, path, code_node_information, 0)) {
        h.port_count = info->reply.size() > 6 ? info->reply[6] : 0;
    }
    for (std::uint32_t port = 1; port <= h.port_count; ++port) {
        if (auto p = build_port(b, path, port, depth)) {
            h.ports.push_back(std::move(*p));
        }
    }
    return h;
}

bool opened(const recorded &r, const std::string &path) {
    const auto it = r.opens.find(path);
    return it != r.opens.end() && r.calls[it->second.front()].ok;
}

// The device ID the walk of the controller opened as `path` looked up.
std::string looked_up_id(const recorded &r, const std::string &path) {
    const auto it = r.opens.find(path);
    if (it == r.opens.end()) {
        return "";
    }
    for (std::size_t i = it->second.front() + 1; i < r.calls.size(); ++i) {
        const call &c = r.calls[i];
        if (is_call(c, "CreateFileA") && is_controller_path(c.device)) {
            break;
        }
        if (is_call(c, "CM_Get_Device_IDA") && c.ok) {
            return c.text;
        }
    }
    return "";
}

// What one walk of a controller, opened as `path`, learned of it; a controller
// walked twice (by number and by interface) takes what the first walk could not.
void learn_controller(builder &b, desc::controller_desc &c, const std::string &path) {
    if (c.driver_key.empty()) {
        c.driver_key = learned_name(b.r, path, code_hcd_driver_key, 0).value_or("");
    }
    if (c.device_id.empty()) {
        c.device_id = looked_up_id(b.r, path);
    }
    if (!c.root_hub.name.empty() && c.root_hub.name.rfind(unnamed_hub, 0) != 0) {
        return;
    }
    const auto root = learned_name(b.r, path, code_root_hub_name, 0);
    const bool walkable =
        opened(b.r, path) && root && !root->empty() && b.hub_names.count(ascii_lower(*root)) == 0;
    if (walkable) {
        c.root_hub = build_hub(b, hub_name_for(b, root), 0);
    } else if (c.root_hub.name.empty()) {
        c.root_hub = desc::hub_desc{hub_name_for(b, std::nullopt), 0, {}};
    }
}

desc::controller_desc build_controller(builder &b, const std::string &path) {
    desc::controller_desc c;
    c.description = "USB Universal Host Controller";
    learn_controller(b, c, path);
    return c;
}

// The interface paths the enumeration listed, in its order; "" where the path
// could not be read.
std::vector<std::string> listed_interfaces(const recorded &r) {
    std::vector<std::string> paths;
    bool waiting = false;
    for (const call &c : r.calls) {
        if (is_call(c, "SetupDiEnumDeviceInterfaces") && c.ok) {
            paths.emplace_back();
            waiting = true;
        } else if (waiting && is_call(c, "SetupDiGetDeviceInterfaceDetailA") && c.ok) {
            paths.back() = c.text;
            waiting = false;
        }
    }
    return paths;
}

// The controller that answered to a number and is the one the interface path
// names: the same root hub, or failing that the same driver key.
std::vector<desc::controller_desc>::iterator twin_of(const builder &b, const std::string &path,
                                                     std::vector<desc::controller_desc> &numbered) {
    const auto root = learned_name(b.r, path, code_root_hub_name, 0);
    const auto key = learned_name(b.r, path, code_hcd_driver_key, 0);
    return std::find_if(numbered.begin(), numbered.end(), [&](const desc::controller_desc &n) {
        return !n.interface &&
               ((root && !root->empty() && ascii_lower(*root) == ascii_lower(n.root_hub.name)) ||
                (key && !key->empty() && ascii_lower(*key) == ascii_lower(n.driver_key)));
    });
}

// The controllers: those the interface enumeration listed, in its order (one
// that also answered to its number is one controller), then those that answered
// only to a number.
void build_controllers(builder &b) {
    std::vector<desc::controller_desc> numbered;
    for (const auto &[path, opens] : b.r.opens) {
        const auto number = controller_number(path);
        const call &first = b.r.calls[opens.front()];
        if (number && (first.ok || first.error != error_file_not_found)) {
            numbered.push_back(build_controller(b, path));
            numbered.back().number = *number;
            numbered.back().interface = false;
        }
    }
    for (const std::string &path : listed_interfaces(b.r)) {
        const auto twin = twin_of(b, path, numbered);
        if (twin == numbered.end()) {
            desc::controller_desc c = build_controller(b, path);
            c.interface_path = path.empty() ? std::nullopt : std::optional<std::string>(path);
            b.m.controllers.push_back(std::move(c));
            continue;
        }
        twin->interface = true;
        twin->interface_path = path;
        learn_controller(b, *twin, path);
        b.m.controllers.push_back(*twin);
        numbered.erase(twin);
    }
    for (desc::controller_desc &c : numbered) {
        b.m.controllers.push_back(std::move(c));
    }
}

// --- the device tree, as far as the lookups walked it ---

struct tree_node {
    std::optional<std::string> driver_key;
    std::string device_id;
    std::optional<std::string> description;
    desc::node_state state;
    std::vector<std::uint32_t> children;
    std::uint32_t parent = 0;
};

struct captured_tree {
    std::uint32_t root = 0; // 0: the root was never located
    std::map<std::uint32_t, tree_node> nodes;

    const tree_node *find(std::uint32_t n) const {
        if (n == 0) {
            return nullptr;
        }
        const auto it = nodes.find(n);
        return it == nodes.end() ? nullptr : &it->second;
    }
    // The node after `n` among its parent's children, or 0.
    std::uint32_t next_sibling(std::uint32_t n) const {
        const tree_node *node = find(n);
        const tree_node *parent = node != nullptr ? find(node->parent) : nullptr;
        if (parent == nullptr) {
            return 0;
        }
        const auto it = std::find(parent->children.begin(), parent->children.end(), n);
        return it != parent->children.end() && it + 1 != parent->children.end() ? *(it + 1) : 0;
    }
};

void learn_node(captured_tree &t, const call &c) {
    if (is_call(c, "CM_Locate_DevNodeA")) {
        t.root = c.result_node;
        t.nodes[t.root];
    } else if (is_call(c, "CM_Get_Child") && t.nodes[c.node].children.empty()) {
        t.nodes[c.node].children.push_back(c.result_node);
        t.nodes[c.result_node].parent = c.node;
    } else if (is_call(c, "CM_Get_Sibling")) {
        const std::uint32_t parent = t.nodes[c.node].parent;
        if (parent != 0) {
            std::vector<std::uint32_t> &siblings = t.nodes[parent].children;
            if (std::find(siblings.begin(), siblings.end(), c.result_node) == siblings.end()) {
                const auto at = std::find(siblings.begin(), siblings.end(), c.node);
                siblings.insert(at == siblings.end() ? at : at + 1, c.result_node);
            }
        }
        t.nodes[c.result_node].parent = parent;
    } else if (is_call(c, "CM_Get_Parent")) {
        t.nodes[c.node].parent = c.result_node;
    } else if (is_call(c, "CM_Get_DevNode_Registry_PropertyA")) {
        (c.code == property_driver ? t.nodes[c.node].driver_key : t.nodes[c.node].description) =
            c.text;
    } else if (is_call(c, "CM_Get_Device_IDA")) {
        t.nodes[c.node].device_id = c.text;
    }
}

captured_tree learn_tree(const recorded &r) {
    captured_tree t;
    for (const call &c : r.calls) {
        if (c.ok && std::strncmp(c.function, "CM_", 3) == 0) {
            learn_node(t, c);
        }
    }
    return t;
}

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

// What the device tree of the description answers a configuration-manager call:
// CR_SUCCESS or the CONFIGRET of its failure.
std::uint32_t tree_answer(const captured_tree &t, const call &c) {
    const tree_node *node = t.find(c.node);
    if (is_call(c, "CM_Locate_DevNodeA")) {
        return t.root != 0 ? 0 : cr_no_such_devnode;
    }
    if (node == nullptr) {
        return cr_no_such_devnode;
    }
    if (is_call(c, "CM_Get_Child")) {
        return node->children.empty() ? cr_no_such_devnode : 0;
    }
    if (is_call(c, "CM_Get_Sibling")) {
        return t.next_sibling(c.node) == 0 ? cr_no_such_devnode : 0;
    }
    if (is_call(c, "CM_Get_Parent")) {
        return t.find(node->parent) == nullptr ? cr_no_such_devnode : 0;
    }
    const std::optional<std::string> text = is_call(c, "CM_Get_Device_IDA")
                                                ? std::optional<std::string>(node->device_id)
                                            : c.code == property_driver ? node->driver_key
                                                                        : node->description;
    if (!text) {
        return cr_no_such_value;
    }
    return text->size() < devnode_text_size ? 0 : cr_buffer_small;
}

// --- the calls the topology answers differently: faults ---

// One group of calls a fault's narrowing counts together, and the faults its
// differing calls need, by their place in the group.
struct fault_group {
    std::uint32_t calls = 0;
    std::vector<std::pair<std::uint32_t, desc::fault>> differing;
};

bool same_action(const desc::fault &a, const desc::fault &b) {
    return a.action == b.action && a.error == b.error && a.length == b.length && a.bytes == b.bytes;
}

struct fault_maker {
    std::map<std::string, fault_group> groups;
    std::vector<std::string> order; // groups in the order their first call came

    fault_group &count(const std::string &key) {
        auto [it, added] = groups.try_emplace(key);
        if (added) {
            order.push_back(key);
        }
        ++it->second.calls;
        return it->second;
    }
    void differs(fault_group &g, desc::fault f) {
        g.differing.emplace_back(g.calls, std::move(f));
    }
    // One fault for every call of a group where all of them differ alike;
    // otherwise one for each differing call, at its place.
    std::vector<desc::fault> faults() const {
        std::vector<desc::fault> out;
        for (const std::string &key : order) {
            const fault_group &g = groups.at(key);
            const bool all_alike =
                !g.differing.empty() && g.differing.size() == g.calls &&
                std::all_of(g.differing.begin(), g.differing.end(), [&](const auto &d) {
                    return same_action(d.second, g.differing.front().second);
                });
            for (const auto &[nth, f] : g.differing) {
                out.push_back(f);
                out.back().nth = all_alike ? 0 : nth;
                if (all_alike) {
                    break;
                }
            }
        }
        return out;
    }
};

desc::fault failure_of(const call &c) {
    desc::fault f;
    f.function = c.function;
    f.error = c.error;
    return f;
}

desc::fault reply_of(const call &c) {
    desc::fault f;
    f.function = c.function;
    f.action = desc::fault::raw_reply;
    f.bytes = c.reply;
    return f;
}

// The device of the description a path opens: a controller or a hub.
struct device_ref {
    const desc::controller_desc *controller = nullptr;
    const desc::hub_desc *hub = nullptr;
};

void index_hubs(const code_page &p, const desc::hub_desc &h,
                std::map<std::string, const desc::hub_desc *> &hubs) {
    hubs.emplace(ascii_lower(hub_path(p, h.name)), &h);
    for (const desc::port_desc &port : h.ports) {
        for (const desc::hub_desc &inner : port.hub) {
            index_hubs(p, inner, hubs);
        }
    }
}

struct topology {
    const desc::machine &m;
    std::map<std::string, const desc::hub_desc *> hubs; // by lower-case device path

    const code_page &ansi;
    topology(const desc::machine &machine, const code_page &p) : m(machine), ansi(p) {
        for (const desc::controller_desc &c : m.controllers) {
            index_hubs(p, c.root_hub, hubs);
        }
    }
    device_ref find(const std::string &path) const {
        device_ref d;
        const auto number = controller_number(path);
        for (const desc::controller_desc &c : m.controllers) {
            if ((number && c.number == number) ||
                (!number && c.interface && c.interface_path &&
                 ascii_lower(*c.interface_path) == ascii_lower(path))) {
                d.controller = &c;
            }
        }
        const auto it = hubs.find(ascii_lower(path));
        if (d.controller == nullptr && !number && it != hubs.end()) {
            d.hub = it->second;
        }
        return d;
    }
};

const desc::port_desc *listed(const desc::hub_desc &h, std::uint32_t port) {
    for (const desc::port_desc &p : h.ports) {
        if (p.port == port) {
            return &p;
        }
    }
    return nullptr;
}

// What the scan reads of a connection reply: the fields it or the report uses.
std::vector<std::uint32_t> connection_view(const std::vector<std::uint8_t> &r) {
    return {u16_at(r, 12), u16_at(r, 14), r.size() > 23 ? r[23] : 0u, r.size() > 24 ? r[24] : 0u,
            u32_at(r, 31)};
}

std::vector<std::uint32_t> expected_connection(const desc::port_desc *p, bool older) {
    if (p == nullptr) {
        return {0, 0, 0, 0, 0};
    }
    const std::uint32_t speed = older ? (p->speed == 0 ? 1u : 0u) : p->speed;
    return {p->vid, p->pid, speed, p->device_is_hub ? 1u : 0u, p->status};
}

// Whether the description answers a name query as the recorded call was answered,
// as far as the scan reads it.
bool same_name_answer(const call &c, const std::string &name) {
    const name_layout l = layout_of(c.code);
    const auto expected = name_reply(c.port, name, l, c.out_size);
    return c.ok && read_name(c.reply, c.out_size, l) == read_name(expected, c.out_size, l);
}

// Whether a hub answers the recorded control code the same way.
bool hub_answers_alike(const desc::hub_desc &h, const call &c) {
    if (c.code == code_node_information) {
        return c.ok && (c.reply.size() > 6 ? c.reply[6] : 0u) == h.port_count;
    }
    if (c.port == 0 || c.port > h.port_count) {
        return !c.ok && c.error == error_invalid_parameter;
    }
    const desc::port_desc *p = listed(h, c.port);
    if (c.code == code_connection || c.code == code_connection_ex) {
        const bool older = c.code == code_connection;
        const bool answers = (p != nullptr && p->legacy_only) == older;
        if (!answers) {
            return !c.ok && c.error == error_invalid_function;
        }
        return c.ok && connection_view(c.reply) == expected_connection(p, older);
    }
    if (c.code == code_port_hub_name) {
        return same_name_answer(c, p != nullptr && !p->hub.empty() ? p->hub.front().name : "");
    }
    if (p == nullptr || p->status == 0) {
        return !c.ok && c.error == error_invalid_parameter;
    }
    if (!p->driver_key) { // no driver yet
        return !c.ok && c.error == error_file_not_found;
    }
    return same_name_answer(c, *p->driver_key);
}

bool answers_alike(const topology &t, const call &c) {
    const device_ref d = t.find(c.device);
    if (d.controller != nullptr) {
        return same_name_answer(c, c.code == code_hcd_driver_key ? d.controller->driver_key
                                                                 : d.controller->root_hub.name);
    }
    return d.hub == nullptr || hub_answers_alike(*d.hub, c);
}

void device_faults(fault_maker &faults, const topology &t, const call &c) {
    char key[32];
    std::snprintf(key, sizeof key, "|%X|%u", static_cast<unsigned>(c.code), c.port);
    fault_group &g = faults.count("DeviceIoControl|" + c.device + key);
    if (answers_alike(t, c)) {
        return;
    }
    desc::fault f = c.ok ? reply_of(c) : failure_of(c);
    f.ioctl = c.code;
    f.device = t.ansi.utf8_path(c.device);
    f.port = c.port;
    faults.differs(g, std::move(f));
}

void open_faults(fault_maker &faults, const topology &t, const call &c) {
    fault_group &g = faults.count("CreateFileA|" + c.device);
    const device_ref d = t.find(c.device);
    const bool there = d.controller != nullptr || d.hub != nullptr;
    if (!c.ok && (there || c.error != error_file_not_found)) {
        desc::fault f = failure_of(c);
        f.device = t.ansi.utf8_path(c.device);
        faults.differs(g, std::move(f));
    }
}

// The interface enumeration and its detail calls; `index` is the interface the
// detail calls are for.
void interface_faults(fault_maker &faults, const desc::machine &m, const call &c,
                      std::size_t &index) {
    fault_group &g = faults.count(c.function);
    std::size_t listed_count = 0;
    const desc::controller_desc *current = nullptr;
    for (const desc::controller_desc &ctl : m.controllers) {
        if (ctl.interface && listed_count++ == index) {
            current = &ctl;
        }
    }
    if (is_call(c, "SetupDiEnumDeviceInterfaces")) {
        index = c.code;
        if (!c.ok && (c.code < listed_count || c.error != error_no_more_items)) {
            faults.differs(g, failure_of(c));
        }
    } else if (is_call(c, "SetupDiGetDeviceInterfaceDetailA") && c.out_size == 0) {
        const std::string path = current != nullptr ? current->interface_path.value_or("") : "";
        const auto needed = static_cast<std::uint32_t>(detail_path_offset + path.size() + 1);
        if (!c.ok && c.error != error_insufficient_buffer) {
            faults.differs(g, failure_of(c));
        } else if (!c.ok && c.required != needed) {
            desc::fault f = failure_of(c);
            f.action = desc::fault::actual_length;
            f.length = c.required;
            faults.differs(g, std::move(f));
        }
    } else if (!c.ok) {
        faults.differs(g, failure_of(c));
    }
}

void other_faults(fault_maker &faults, const captured_tree &tree, const call &c) {
    if (is_call(c, "GlobalAlloc")) {
        // Beyond the description's largest block a request fails anyway.
        fault_group &g = faults.count("GlobalAlloc|" + std::to_string(c.size));
        if (!c.ok && c.size <= largest_block) {
            desc::fault f = failure_of(c);
            f.size = c.size;
            f.error = c.error != 0 ? c.error : error_not_enough_memory;
            faults.differs(g, std::move(f));
        }
    } else if (std::strncmp(c.function, "CM_", 3) == 0) {
        fault_group &g = faults.count(c.function);
        if (!c.ok && c.error != tree_answer(tree, c)) {
            faults.differs(g, failure_of(c));
        }
    } else if (is_call(c, "WideCharToMultiByte") || is_call(c, "SetupDiGetClassDevsA")) {
        fault_group &g = faults.count(c.function);
        if (!c.ok) {
            faults.differs(g, failure_of(c));
        }
    }
}

std::vector<desc::fault> find_faults(const recorded &r, const desc::machine &m,
                                     const captured_tree &tree) {
    const topology t(m, r.ansi);
    fault_maker faults;
    std::size_t interface_index = 0;
    for (const call &c : r.calls) {
        if (is_call(c, "DeviceIoControl")) {
            device_faults(faults, t, c);
        } else if (is_call(c, "CreateFileA")) {
            open_faults(faults, t, c);
        } else if (std::strncmp(c.function, "SetupDi", 7) == 0) {
            interface_faults(faults, m, c, interface_index);
        } else {
            other_faults(faults, tree, c);
        }
    }
    return faults.faults();
}

// --- Device Manager's verdict, read after the pass ---

bool names_our_vendor(const std::string &device_id) {
    return ascii_lower(device_id).find("vid_7a31") != std::string::npos;
}

// A node's state as the description holds it: unset where it is what the
// emulated machine assumes for such a node.
desc::node_state state_of(const rec::node_view &v, bool usb_device) {
    desc::node_state s;
    if (v.state_read) {
        const std::uint32_t problem =
            desc::keys::default_problem(usb_device, v.driver_key.has_value());
        s.problem = v.problem != problem ? std::optional<std::uint32_t>(v.problem) : std::nullopt;
        s.node_status = v.status != desc::keys::default_node_status(v.problem)
                            ? std::optional<std::uint32_t>(v.status)
                            : std::nullopt;
    }
    s.service = v.service;
    s.hardware_ids = v.hardware_ids;
    return s;
}

bool is_controller(const desc::machine &m, const rec::node_view &v) {
    return std::any_of(m.controllers.begin(), m.controllers.end(), [&](const auto &c) {
        return (v.driver_key && !c.driver_key.empty() &&
                ascii_lower(*v.driver_key) == ascii_lower(c.driver_key)) ||
               (!v.device_id.empty() && ascii_lower(v.device_id) == ascii_lower(c.device_id));
    });
}

// Each controller's node and each node that names our vendor, with the nodes
// above it, go into the captured tree where the scan's lookups did not reach:
// after what they walked, so that the tool's walk meets them no sooner.
void add_verdict(captured_tree &t, const desc::machine &m,
                 const std::vector<rec::node_view> &nodes) {
    std::map<std::uint32_t, const rec::node_view *> by_node;
    for (const rec::node_view &v : nodes) {
        by_node[v.node] = &v;
    }
    for (const rec::node_view &v : nodes) {
        const bool controller = is_controller(m, v);
        if (!controller && !names_our_vendor(v.device_id)) {
            continue;
        }
        const rec::node_view *at = t.nodes.count(v.node) == 0 ? &v : nullptr;
        while (at != nullptr) { // the node, then each one above it not yet in the tree
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
        t.nodes[v.node].state = state_of(v, !controller && desc::keys::is_usb_device(v.device_id));
    }
}

// The node of a port's device below its hub's node: by the port's driver key;
// one with no driver key yet (no driver installed) by its IDs, the one node below
// the hub's with no driver key whose device ID names the port's VID and PID.
std::uint32_t port_node(const captured_tree &t, const std::map<std::string, std::uint32_t> &by_key,
                        std::uint32_t hub_node, const desc::port_desc &p) {
    if (p.driver_key) {
        const auto it = by_key.find(ascii_lower(*p.driver_key));
        return it != by_key.end() ? it->second : 0;
    }
    const tree_node *hub = t.find(hub_node);
    if (hub == nullptr) {
        return 0;
    }
    char ids[32];
    std::snprintf(ids, sizeof ids, "usb\\vid_%04x&pid_%04x\\", p.vid, p.pid);
    std::uint32_t found = 0;
    for (std::uint32_t child : hub->children) {
        const tree_node *node = t.find(child);
        if (node != nullptr && !node->driver_key &&
            ascii_lower(node->device_id).rfind(ids, 0) == 0) {
            if (found != 0) {
                return 0; // two alike: neither can be told for this port's
            }
            found = child;
        }
    }
    return found;
}

// The verdict on the controllers and on the ports' devices, and the nodes below
// a port's device.
void verdict_on_topology(desc::machine &m, const captured_tree &t) {
    std::map<std::string, std::uint32_t> by_key;
    for (const auto &[n, node] : t.nodes) {
        if (node.driver_key && n != 0) {
            by_key.emplace(ascii_lower(*node.driver_key), n);
        }
    }
    std::set<std::uint32_t> seen;
    auto ports = [&](auto &self, desc::hub_desc &h, std::uint32_t hub_node) -> void {
        for (desc::port_desc &p : h.ports) {
            const std::uint32_t n = port_node(t, by_key, hub_node, p);
            if (n != 0 && names_our_vendor(t.nodes.at(n).device_id)) {
                const tree_node &node = t.nodes.at(n);
                p.state = node.state;
                p.device_id = node.device_id;
                for (std::uint32_t child : node.children) {
                    if (t.find(child) != nullptr) {
                        p.children.push_back(tree_desc(t, child, seen));
                    }
                }
            }
            for (desc::hub_desc &inner : p.hub) {
                self(self, inner, n);
            }
        }
    };
    for (desc::controller_desc &c : m.controllers) {
        std::uint32_t root_hub = 0; // the controller's one child: its root hub's node
        if (const auto it = by_key.find(ascii_lower(c.driver_key)); it != by_key.end()) {
            const tree_node &node = t.nodes.at(it->second);
            c.state = node.state;
            root_hub = node.children.size() == 1 ? node.children.front() : 0;
        }
        ports(ports, c.root_hub, root_hub);
    }
}

} // namespace

std::string hub_device_path(const std::string &hub_name, const std::vector<rec::call> &scan) {
    return hub_path(conversions_of(scan), hub_name);
}

desc::machine describe_machine(const std::vector<rec::call> &calls,
                               const std::vector<rec::node_view> &nodes) {
    const recorded r = index_calls(calls);
    builder b{r, {}, {}, 0};
    for (const call &c : calls) {
        if (is_call(c, "GetVersionExA")) {
            b.m.major = c.ok ? c.major : 0;
            b.m.minor = c.ok ? c.minor : 0;
            b.m.build = c.ok ? c.build : 0;
            break;
        }
    }
    b.m.virtual_clock = true;
    b.m.record_processes = true;
    build_controllers(b);
    captured_tree tree = learn_tree(r);
    b.m.faults = find_faults(r, b.m, tree);
    if (tree.root != 0) {
        add_verdict(tree, b.m, nodes);
        std::set<std::uint32_t> seen;
        b.m.device_tree = tree_desc(tree, tree.root, seen);
        verdict_on_topology(b.m, tree);
    }
    return b.m;
}
