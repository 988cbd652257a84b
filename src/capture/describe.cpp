// From recorded answers to a machine description. The topology first: the
// controllers the pass opened (by number and by interface, one where both name the
// same root hub), the hubs the name queries named, each port's first connection
// reply, the nodes the lookups visited and Device Manager's view (verdict.cpp).
// Then every recorded call goes through the machine model on that description, in
// order; where its answer differs as far as the scan reads it, a planted fault
// answers as recorded, if the model says one does. Any other is told as a gap.
#include "capture/describe.h"

#include "capture/calls.h"
#include "platform/description/keys.h"
#include "platform/description/table.h"
#include "platform/model/model.h"
#include "platform/win32.h"
#include "usb_enum/records.h"

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <map>
#include <set>
#include <tuple>
#include <utility>

namespace {

using desc::ansi_to_utf8;
using desc::utf16_to_utf8;
using rec::call;

// The little-endian number of `n` bytes at `at`, as far as the reply holds them.
std::uint32_t le(const std::vector<std::uint8_t> &b, std::size_t at, std::size_t n = 4) {
    std::uint32_t v = 0;
    for (std::size_t i = 0; i < n && at + i < b.size(); ++i) {
        v |= std::uint32_t{b[at + i]} << (8 * i);
    }
    return v;
}

// The PC's own conversions of names to its ANSI code page (the recorded
// WideCharToMultiByte calls), both ways. hub_path: the path the scan opened a hub
// of this name by (a name it never converted, as the replay converts it);
// replay_path: the path the replay opens where the scan opened `path`.
struct code_page {
    std::map<std::string, std::string> to_ansi;
    std::map<std::string, std::string> to_utf8;

    std::string hub_path(const std::string &name) const {
        const auto it = to_ansi.find(name);
        return "\\\\.\\" + (it != to_ansi.end() ? it->second : desc::utf8_to_ansi(name));
    }
    std::string replay_path(const std::string &path) const {
        if (path.compare(0, 4, "\\\\.\\") == 0) {
            if (const auto it = to_utf8.find(path.substr(4)); it != to_utf8.end()) {
                return path.substr(0, 4) + desc::utf8_to_ansi(it->second);
            }
        }
        return path;
    }
};

code_page conversions_of(const std::vector<call> &calls) {
    code_page p;
    for (const call &c : calls) {
        if (!is_call(c, "WideCharToMultiByte") || c.reply.empty()) {
            continue;
        }
        std::u16string units;
        for (std::size_t i = 0; i + 1 < c.reply.size(); i += 2) {
            units += static_cast<char16_t>(le(c.reply, i, 2));
        }
        const std::string utf8 = utf16_to_utf8(units.substr(0, units.find_last_not_of(u'\0') + 1));
        const std::string ansi = c.text.substr(0, c.text.find_last_not_of('\0') + 1);
        p.to_ansi.emplace(utf8, ansi);
        p.to_utf8.emplace(ansi, utf8);
    }
    return p;
}

bool is_port_name_code(std::uint32_t code) {
    return code == ioctl_usb_get_node_connection_name ||
           code == ioctl_usb_get_node_connection_driverkey_name;
}

// A name query's reply: the root hub's name and the controller's driver key, to a
// controller; a port's hub name and driver key, to a hub.
bool is_name_query(const call &c) {
    return is_port_name_code(c.code) || c.code == ioctl_get_hcd_driverkey_name ||
           (c.code == ioctl_usb_get_root_hub_name && is_controller_path(c.device));
}

// What the scan reads of a name reply that filled `block_size` bytes: the stated
// length (ActualLength), then the name's units within it up to its terminator.
std::vector<std::uint32_t> read_name(const std::vector<std::uint8_t> &reply,
                                     std::uint32_t block_size, std::uint32_t code) {
    const std::size_t length_at = is_port_name_code(code) ? 4 : 0;
    std::vector<std::uint32_t> v{le(reply, length_at)};
    const std::size_t end = std::min<std::size_t>(block_size, v.front());
    for (std::size_t at = length_at + 4; at + 1 < end && le(reply, at, 2) != 0; at += 2) {
        v.push_back(le(reply, at, 2));
    }
    return v;
}

// What the scan or the report reads of any reply: a name, a hub's port count, a
// port's IDs, speed, hub flag and connection status; all of it for others.
std::vector<std::uint32_t> reply_view(const call &c, const std::vector<std::uint8_t> &reply) {
    if (is_name_query(c)) {
        return read_name(reply, c.out_size, c.code);
    }
    if (c.code == ioctl_usb_get_node_information) {
        return {le(reply, node_information_port_count_offset, 1)};
    }
    if (c.code == ioctl_usb_get_node_connection_information ||
        c.code == ioctl_usb_get_node_connection_information_ex) {
        return {le(reply, id_vendor_offset, 2), le(reply, id_product_offset, 2),
                le(reply, offsetof(port_connection, Speed), 1),
                le(reply, offsetof(port_connection, DeviceIsHub), 1),
                le(reply, offsetof(port_connection, ConnectionStatus))};
    }
    return {reply.begin(), reply.end()};
}

// The control codes sent to one device and port, in order.
using call_key = std::tuple<std::string, std::uint32_t, std::uint32_t>;

struct recorded {
    const std::vector<call> &calls;
    code_page ansi;
    std::vector<bool> second = std::vector<bool>(calls.size()); // a name query's second call
    std::map<call_key, std::vector<std::size_t>> by_key = {};
    std::map<std::string, std::vector<std::size_t>> opens = {}; // CreateFileA by path
    // The interface paths the enumeration listed, in its order ("" where the path
    // could not be read), and the device ID each controller's first walk looked up.
    std::vector<std::string> interfaces = {};
    std::map<std::string, std::string> looked_up = {};
    desc::machine m = {};                 // the description, as it is built
    std::set<std::string> hub_names = {}; // lower-case: a name names one hub
    int placeholders = 0;

    const std::vector<std::size_t> &of(const std::string &device, std::uint32_t code,
                                       std::uint32_t port) const {
        static const std::vector<std::size_t> none;
        const auto it = by_key.find({device, code, port});
        return it != by_key.end() ? it->second : none;
    }
};

recorded index_calls(const std::vector<call> &calls) {
    recorded r{calls, conversions_of(calls)};
    std::optional<std::pair<call_key, std::uint32_t>> probe; // awaiting its second call
    bool detail = false;                                     // awaiting an interface's path
    // The paths first opened since the last open of a controller, whose walks have
    // read no device ID yet.
    std::vector<std::string> walks;
    for (std::size_t i = 0; i < calls.size(); ++i) {
        const call &c = calls[i];
        if (is_call(c, "CreateFileA")) {
            if (is_controller_path(c.device)) {
                walks.clear();
            }
            r.opens[c.device].push_back(i);
            if (r.opens[c.device].size() == 1) {
                walks.push_back(c.device);
            }
        } else if (is_call(c, "CM_Get_Device_IDA") && c.ok) {
            for (const std::string &walk : std::exchange(walks, {})) {
                r.looked_up.emplace(walk, ansi_to_utf8(c.text));
            }
        } else if (is_call(c, "SetupDiEnumDeviceInterfaces") && c.ok) {
            r.interfaces.emplace_back();
            detail = true;
        } else if (is_call(c, "SetupDiGetDeviceInterfaceDetailA") && c.ok && detail) {
            r.interfaces.back() = c.text;
            detail = false;
        }
        if (!is_call(c, "DeviceIoControl")) {
            continue;
        }
        const call_key key{c.device, c.code, c.port};
        r.by_key[key].push_back(i);
        r.second[i] = probe && probe->first == key && probe->second == c.out_size;
        probe.reset();
        if (is_name_query(c) && !r.second[i] && c.ok) {
            probe.emplace(key, read_name(c.reply, c.out_size, c.code).front());
        }
    }
    return r;
}

bool opened(const recorded &r, const std::string &path) {
    const auto it = r.opens.find(path);
    return it != r.opens.end() && r.calls[it->second.front()].ok;
}

// The name a query's second calls gave: the first that names a hub the scan
// opened, or else the first, if any.
std::optional<std::string> learned_name(const recorded &r, const std::string &device,
                                        std::uint32_t code, std::uint32_t port) {
    std::optional<std::string> first;
    for (std::size_t i : r.of(device, code, port)) {
        const call &c = r.calls[i];
        if (r.second[i] && c.ok) {
            const std::vector<std::uint32_t> v = read_name(c.reply, c.out_size, code);
            const std::string name = utf16_to_utf8(std::u16string(v.begin() + 1, v.end()));
            if (opened(r, r.ansi.hub_path(name))) {
                return name;
            }
            first = first.value_or(name);
        }
    }
    return first;
}

const call *first_answer(const recorded &r, const std::string &device, std::uint32_t code,
                         std::uint32_t port) {
    for (std::size_t i : r.of(device, code, port)) {
        if (r.calls[i].ok) {
            return &r.calls[i];
        }
    }
    return nullptr;
}

constexpr int deepest_hub = 8; // as deep as the scan follows external hubs, and one more
constexpr const char *unnamed_hub = "CAPTURE#UNNAMED_HUB#";

// A name that can stand for a new hub: not empty, and no other hub's.
bool fresh(const recorded &b, const std::optional<std::string> &name) {
    return name && !name->empty() && b.hub_names.count(desc::lower(*name)) == 0;
}

// A hub's name for the description: the one it answered, or, where that cannot
// stand, one made up that no device path of the pass could name.
std::string hub_name_for(recorded &b, const std::optional<std::string> &answered) {
    const std::string name =
        fresh(b, answered) ? *answered : unnamed_hub + std::to_string(b.placeholders++);
    b.hub_names.insert(desc::lower(name));
    return name;
}

desc::hub_desc build_hub(recorded &b, const std::string &name, int depth);

// A port as its first answered connection query showed it; none where the
// description's empty port answers the same.
std::optional<desc::port_desc> build_port(recorded &b, const std::string &path, std::uint32_t port,
                                          int depth) {
    const call *ex = first_answer(b, path, ioctl_usb_get_node_connection_information_ex, port);
    const call *c =
        ex != nullptr ? ex : first_answer(b, path, ioctl_usb_get_node_connection_information, port);
    if (c == nullptr) {
        return std::nullopt;
    }
    const std::vector<std::uint32_t> v = reply_view(*c, c->reply); // vid, pid, speed, hub, status
    desc::port_desc p;
    p.port = port;
    p.vid = static_cast<std::uint16_t>(v[0]);
    p.pid = static_cast<std::uint16_t>(v[1]);
    p.speed = static_cast<std::uint8_t>(ex != nullptr ? std::min(v[2], 2u) : v[2] == 0 ? 1 : 0);
    p.device_is_hub = v[3] != 0;
    p.status = v[4];
    p.legacy_only = ex == nullptr;
    p.driver_key = learned_name(b, path, ioctl_usb_get_node_connection_driverkey_name, port);
    p.device_id = desc::keys::default_port_device_id(p.vid, p.pid, port);
    p.description = desc::keys::default_port_description;
    if (p.device_is_hub && depth < deepest_hub) {
        const auto inner = learned_name(b, path, ioctl_usb_get_node_connection_name, port);
        if (fresh(b, inner)) {
            p.hub.push_back(build_hub(b, hub_name_for(b, inner), depth + 1));
        }
    }
    const bool plain = p.status == 0 && p.vid == 0 && p.pid == 0 && !p.device_is_hub &&
                       !p.legacy_only && p.hub.empty();
    return plain ? std::nullopt : std::optional<desc::port_desc>(std::move(p));
}

desc::hub_desc build_hub(recorded &b, const std::string &name, int depth) {
    desc::hub_desc h;
    h.name = name;
    const std::string path = b.ansi.hub_path(name);
    if (const call *info = first_answer(b, path, ioctl_usb_get_node_information, 0)) {
        h.port_count = reply_view(*info, info->reply).front();
    }
    for (std::uint32_t port = 1; port <= h.port_count; ++port) {
        if (auto p = build_port(b, path, port, depth)) {
            h.ports.push_back(std::move(*p));
        }
    }
    return h;
}

// What one walk of a controller, opened as `path`, learned of it; a controller
// walked twice (by number and by interface) takes what the first walk could not.
void learn_controller(recorded &b, desc::controller_desc &c, const std::string &path) {
    c.description = desc::keys::default_controller_description;
    if (c.driver_key.empty()) {
        c.driver_key = learned_name(b, path, ioctl_get_hcd_driverkey_name, 0).value_or("");
    }
    if (c.device_id.empty()) {
        const auto id = b.looked_up.find(path);
        c.device_id = id != b.looked_up.end() ? id->second : "";
    }
    if (opened(b, b.ansi.hub_path(c.root_hub.name))) {
        return;
    }
    const auto root = learned_name(b, path, ioctl_usb_get_root_hub_name, 0);
    if (opened(b, path) && fresh(b, root)) {
        c.root_hub = build_hub(b, hub_name_for(b, root), 0);
    } else if (c.root_hub.name.empty()) {
        c.root_hub = desc::hub_desc{hub_name_for(b, std::nullopt), 0, {}};
    }
}

// The controllers: those the interface enumeration listed, in its order (one
// that also answered to its number, with the same root hub or failing that the
// same driver key, is one controller), then those that answered only to a number.
void build_controllers(recorded &b) {
    std::vector<desc::controller_desc> numbered;
    for (const auto &[path, opens] : b.opens) {
        const auto number = controller_number(path);
        const call &first = b.calls[opens.front()];
        if (number && (first.ok || first.error != ERROR_FILE_NOT_FOUND)) {
            desc::controller_desc &c = numbered.emplace_back();
            learn_controller(b, c, path);
            c.number = *number;
            c.interface = false;
        }
    }
    for (const std::string &path : b.interfaces) {
        const auto root = learned_name(b, path, ioctl_usb_get_root_hub_name, 0);
        const auto key = learned_name(b, path, ioctl_get_hcd_driverkey_name, 0);
        const auto twin = std::find_if(numbered.begin(), numbered.end(), [&](const auto &n) {
            return (root && !root->empty() && desc::lower(*root) == desc::lower(n.root_hub.name)) ||
                   (key && !key->empty() && desc::lower(*key) == desc::lower(n.driver_key));
        });
        desc::controller_desc &c = b.m.controllers.emplace_back();
        if (twin != numbered.end()) {
            c = std::move(*twin);
            numbered.erase(twin);
        }
        c.interface = true;
        // The path as SetupAPI's ...A call gave it, in the ANSI code page; a
        // description holds UTF-8.
        c.interface_path =
            path.empty() ? std::nullopt : std::optional<std::string>(ansi_to_utf8(path));
        learn_controller(b, c, path);
    }
    for (desc::controller_desc &c : numbered) {
        b.m.controllers.push_back(std::move(c));
    }
}

// The device tree, as far as the lookups walked it.
captured_tree learn_tree(const recorded &r) {
    captured_tree t;
    for (const call &c : r.calls) {
        if (!c.ok || std::strncmp(c.function, "CM_", 3) != 0) {
            continue;
        }
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
            (c.code == CM_DRP_DRIVER ? t.nodes[c.node].driver_key : t.nodes[c.node].description) =
                ansi_to_utf8(c.text);
        } else if (is_call(c, "CM_Get_Device_IDA")) {
            t.nodes[c.node].device_id = ansi_to_utf8(c.text);
        }
    }
    return t;
}

// The machine a description stands for, with its model's state from the start;
// `held` false where the model cannot hold it.
struct model {
    std::vector<std::uint8_t> table;
    qvm_view view{};
    std::vector<std::uint32_t> state;
    bool held = false;

    explicit model(const desc::machine &m) : table(desc::machine_table(m)) {
        held = qvm_load(&view, table.data(), static_cast<std::uint32_t>(table.size())) == 0;
        state.resize(held ? qvm_state_size(&view) / sizeof(std::uint32_t) : 0);
        if (held) {
            qvm_start(&view, reinterpret_cast<qvm_state *>(state.data()));
        }
    }
    qvm_answer ask(const qvm_request &r) {
        qvm_answer a;
        qvm_ask(&view, reinterpret_cast<qvm_state *>(state.data()), &r, &a);
        return a;
    }
};

// The calls one narrowing (a fault with only its function, device, code, port and
// size) counts, and the faults its differing calls need, by their place among them.
struct fault_group {
    desc::fault narrowing;
    std::uint32_t calls = 0;
    std::vector<std::pair<std::uint32_t, desc::fault>> differing;
};

struct replay {
    const desc::machine &m;
    const code_page &ansi;
    model machine;
    std::map<std::uint32_t, std::uint32_t> nodes; // a DEVINST of the PC's, the model's
    std::uint32_t interface = 0;                  // the one the detail calls are about
    std::vector<fault_group> groups;              // as their first calls came
    std::vector<std::tuple<desc::fault, std::uint32_t, std::uint32_t, bool>> verified;
    std::vector<std::string> gaps;
};

// A recorded call as the model is asked it, with room for the answer, and what
// a fault for it is narrowed by (its function; its device, code, port or size).
struct asked {
    qvm_request request{};
    std::string text;
    std::vector<std::uint8_t> in, out;
    desc::fault narrowing;
};

bool is_text_call(std::uint32_t c) {
    return c == QVM_GET_PROPERTY || c == QVM_GET_DEVICE_ID;
}

// Where the scan asked about a DEVINST, the one the model gave the replay for
// it; where it sent a control code, the input (the port number is all it sends).
void request_of(asked &a, const call &c, const replay &p) {
    const std::uint32_t which = desc::keys::machine_call(c.function);
    const auto node = p.nodes.find(c.node);
    a.text = which == QVM_LOCATE_DEVNODE ? c.text : p.ansi.replay_path(c.device);
    const bool fills = which == QVM_DEVICE_IO_CONTROL || which == QVM_INTERFACE_DETAIL;
    a.out.resize(fills || is_text_call(which) ? c.out_size : 0);
    a.in.resize(std::max<std::size_t>(c.in_size, 4));
    std::memcpy(a.in.data(), &c.port, 4);
    a.request = {.call = which,
                 .text = a.text.empty() ? nullptr : a.text.c_str(),
                 .device = qvm_find_device(&p.machine.view, a.text.c_str()),
                 .code = which == QVM_INTERFACE_DETAIL ? p.interface : c.code,
                 .in = c.in_size != 0 ? a.in.data() : nullptr,
                 .in_size = c.in_size,
                 .out = a.out.empty() ? nullptr : a.out.data(),
                 .out_size = c.out_size,
                 .node = node != p.nodes.end() ? node->second : 0,
                 .size = c.size,
                 .now_ms = 0};
    const bool ioctl = which == QVM_DEVICE_IO_CONTROL;
    a.narrowing.function = c.function;
    a.narrowing.device = ioctl || which == QVM_CREATE_FILE ? ansi_to_utf8(a.text) : "";
    a.narrowing.ioctl = ioctl ? c.code : 0;
    a.narrowing.port = ioctl ? c.port : 0;
    // A size a description can state (a 32-bit process asks no more).
    a.narrowing.size = which == QVM_GLOBAL_ALLOC && c.size <= 0xFFFFFFFFu ? c.size : 0;
}

// A text the configuration manager left in the caller's buffer, as the scan reads
// it: up to its terminator (kept), or the whole buffer where it has none.
std::string buffer_text(const std::string &text, std::uint32_t size) {
    return text.size() < size ? text + '\0' : text;
}

// Whether the model answered as recorded, as far as the scan reads the answer.
bool answered_alike(const call &c, const asked &q, const qvm_answer &a) {
    const auto *out = reinterpret_cast<const char *>(q.out.data());
    const std::uint32_t which = q.request.call;
    if (a.error != c.error || c.ok != (a.error == 0)) {
        return false;
    }
    if (which == QVM_DEVICE_IO_CONTROL && c.ok) {
        const std::vector<std::uint8_t> reply(q.out.data(),
                                              q.out.data() + std::min(a.length, c.out_size));
        return reply_view(c, c.reply) == reply_view(c, reply);
    }
    if (which == QVM_INTERFACE_DETAIL && c.ok) {
        const std::size_t at = offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath);
        return q.out.size() > at &&
               std::string(out + at, strnlen(out + at, q.out.size() - at)) == c.text;
    }
    if (which == QVM_INTERFACE_DETAIL) { // the size a sizing call named is read
        return c.error != ERROR_INSUFFICIENT_BUFFER || a.length == c.required;
    }
    return !is_text_call(which) || !c.ok ||
           buffer_text(std::string(out, strnlen(out, q.out.size())), c.out_size) ==
               buffer_text(c.text, c.out_size);
}

// The fault of the call's kind that answers as recorded, if one can: a failure,
// the size a sizing call named, or the reply or text byte for byte.
std::optional<desc::fault> fault_for(const call &c, const asked &q) {
    desc::fault f = q.narrowing;
    const std::uint32_t which = q.request.call;
    if (!c.ok && which == QVM_INTERFACE_DETAIL && c.error == ERROR_INSUFFICIENT_BUFFER) {
        f.action = desc::fault::actual_length;
        f.length = c.required;
    } else if (!c.ok) {
        f.error = c.error;
    } else if (which == QVM_DEVICE_IO_CONTROL || is_text_call(which)) {
        const std::string text = buffer_text(c.text, c.out_size);
        f.action = desc::fault::raw_reply;
        f.bytes = which == QVM_DEVICE_IO_CONTROL
                      ? c.reply
                      : std::vector<std::uint8_t>(text.begin(), text.end());
    } else {
        return std::nullopt;
    }
    return f;
}

// One fault for every call of a group where all of them differ alike, but for
// the configuration manager's calls other than the locate: Device Manager's walk
// after the pass makes more of them, unrecorded, and such a fault would reach
// those too. Otherwise one fault for each differing call, at its place.
void add_faults(const fault_group &g, std::vector<desc::fault> &out) {
    const desc::fault &first = g.differing.front().second;
    bool alike = g.differing.size() == g.calls &&
                 (first.function.rfind("CM_", 0) != 0 || first.function == "CM_Locate_DevNodeA");
    for (const auto &[nth, f] : g.differing) {
        alike = alike && f == first; // the same narrowing: the same answer
    }
    for (const auto &[nth, f] : g.differing) {
        out.push_back(f);
        out.back().nth = alike ? 0 : nth;
        if (alike) {
            return;
        }
    }
}

// The call no fault answers as recorded: which, where, and both answers.
std::string gap_text(const call &c, std::size_t index, const qvm_answer &a) {
    const char *form = std::strncmp(c.function, "CM_", 3) == 0 ? "0x%X" : "error %u";
    char here[32] = "success", there[32] = "success", code[40] = "";
    std::snprintf(here, sizeof here, c.error != 0 ? form : "success", c.error);
    std::snprintf(there, sizeof there, a.error != 0 ? form : "success", a.error);
    if (is_call(c, "DeviceIoControl")) {
        std::snprintf(code, sizeof code, " 0x%X, port %u,", c.code, c.port);
    }
    return "call " + std::to_string(index + 1) + ", " + c.function + code +
           (c.device.empty() ? "" : " " + c.device) + ": " + here + " here, " + there +
           " in the replay" + (c.error == a.error ? ", its reply otherwise" : "");
}

// Whether the machine, with the fault planted for every call of its kind,
// answers the call as recorded: the model, not the describer, says what a fault
// does. Asked once for each fault and request.
bool fault_answers(replay &p, const desc::fault &f, const call &c, asked &q) {
    const qvm_request &r = q.request;
    for (const auto &[known, node, code, alike] : p.verified) {
        if (node == r.node && code == r.code && known == f) {
            return alike;
        }
    }
    desc::machine planted = p.m;
    planted.faults = {f};
    planted.faults.back().nth = 0;
    std::fill(q.out.begin(), q.out.end(), std::uint8_t{0});
    return std::get<3>(
        p.verified.emplace_back(f, r.node, r.code, answered_alike(c, q, model(planted).ask(r))));
}

void replay_call(replay &p, const call &c, std::size_t index) {
    asked q;
    request_of(q, c, p);
    if (q.request.call == QVM_NONE) {
        return; // not the machine's: a pause, a command, a box, a trace, the version
    }
    const qvm_answer a = p.machine.ask(q.request);
    p.interface = q.request.call == QVM_ENUM_INTERFACES ? c.code : p.interface;
    if (c.ok && a.error == 0 && a.node != 0) {
        p.nodes[c.result_node] = a.node;
    }
    auto group = std::find_if(p.groups.begin(), p.groups.end(),
                              [&](const fault_group &g) { return g.narrowing == q.narrowing; });
    if (group == p.groups.end()) {
        group = p.groups.insert(group, {q.narrowing, 0, {}});
    }
    ++group->calls;
    if (answered_alike(c, q, a)) {
        return;
    }
    if (const auto f = fault_for(c, q); f && fault_answers(p, *f, c, q)) {
        group->differing.emplace_back(group->calls, *f);
    } else {
        p.gaps.push_back(gap_text(c, index, a));
    }
}

} // namespace

std::string hub_device_path(const std::string &hub_name, const std::vector<rec::call> &scan) {
    return conversions_of(scan).hub_path(hub_name);
}

// `tree_failure`: what the locate of Device Manager's walk after the pass
// answered; a fault that gives it counts that call too.
described describe_machine(const std::vector<rec::call> &calls,
                           const std::vector<rec::node_view> &nodes, std::uint32_t tree_failure) {
    recorded b = index_calls(calls);
    const auto version = std::find_if(calls.begin(), calls.end(),
                                      [](const call &c) { return is_call(c, "GetVersionExA"); });
    if (version != calls.end()) {
        b.m.major = version->ok ? version->major : 0;
        b.m.minor = version->ok ? version->minor : 0;
        b.m.build = version->ok ? version->build : 0;
    }
    b.m.virtual_clock = true;
    b.m.record_processes = true;
    build_controllers(b);
    captured_tree tree = learn_tree(b);
    // The verdict's texts in UTF-8; the root's ID, which no lookup reads, in the tree.
    std::vector<rec::node_view> views = nodes;
    for (rec::node_view &v : views) {
        v.device_id = ansi_to_utf8(v.device_id);
        for (std::optional<std::string> *t : {&v.driver_key, &v.description, &v.service}) {
            *t = *t ? std::optional<std::string>(ansi_to_utf8(**t)) : std::nullopt;
        }
        std::transform(v.hardware_ids.begin(), v.hardware_ids.end(), v.hardware_ids.begin(),
                       ansi_to_utf8);
        if (v.parent == 0 && tree.root != 0) {
            tree.nodes[tree.root].device_id = v.device_id;
        }
    }
    described out;
    add_device_manager_view(b.m, tree, views, &out.unmatched);
    replay p{b.m, b.ansi, model(b.m), {}, 0, {}, {}, {}};
    std::vector<call> pass = calls;
    pass.emplace_back();
    pass.back().function = "CM_Locate_DevNodeA";
    pass.back().ok = tree_failure == 0;
    pass.back().error = tree_failure;
    pass.back().result_node = views.empty() ? 0 : views.front().node;
    for (std::size_t i = 0; i < pass.size() && p.machine.held; ++i) {
        replay_call(p, pass[i], i);
    }
    for (const fault_group &g : p.groups) {
        if (!g.differing.empty()) {
            add_faults(g, b.m.faults);
        }
    }
    out.gaps = std::move(p.gaps);
    if (!p.machine.held) {
        out.gaps.push_back(std::to_string(b.m.controllers.size()) +
                           " controllers, and a description's machine holds 10 at most");
    }
    out.machine = std::move(b.m);
    return out;
}
