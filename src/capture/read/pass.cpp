// One reading of a recorded pass: the journal, entry by entry, into what every
// later step asks of it.
#include "capture/read/pass.h"

#include "platform/description/table.h"
#include "platform/win32.h"
#include "shared/port_connection.h"
#include "usb_enum/records.h"
#include "usb_enum/usb_enum.h"

#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <cstring>

std::uint32_t le(const std::vector<std::uint8_t> &b, std::size_t at, std::size_t n) {
    std::uint32_t v = 0;
    for (std::size_t i = 0; i < n && at + i < b.size(); ++i) {
        v |= std::uint32_t{b[at + i]} << (8 * i);
    }
    return v;
}

std::optional<int> controller_number(const std::string &path) {
    for (int n = 0; n < numbered_controllers; ++n) {
        if (desc::lower(path) == "\\\\.\\hcd" + std::to_string(n)) {
            return n;
        }
    }
    return std::nullopt;
}

bool is_controller_path(const std::string &path) {
    return controller_number(path) || path.compare(0, 4, "\\\\?\\") == 0;
}

std::string walk_name(const std::string &path) {
    return path.compare(0, 4, "\\\\?\\") == 0 ? "the interface" : path;
}

bool is_config_manager(const rec::entry &c) {
    return c.kind == rec::event::asked && c.call >= QVM_LOCATE_DEVNODE;
}

namespace {

bool is_port_name_code(std::uint32_t code) {
    return code == ioctl_usb_get_node_connection_name ||
           code == ioctl_usb_get_node_connection_driverkey_name;
}

bool is(const rec::entry &c, std::uint32_t call) {
    return c.kind == rec::event::asked && c.call == call;
}

} // namespace

bool is_name_query(const rec::entry &c) {
    return is_port_name_code(c.code) || c.code == ioctl_get_hcd_driverkey_name ||
           (c.code == ioctl_usb_get_root_hub_name && is_controller_path(c.device));
}

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
std::vector<std::uint32_t> reply_view(const rec::entry &c, const std::vector<std::uint8_t> &reply) {
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

std::string code_page::hub_path(const std::string &name) const {
    const auto it = to_ansi.find(name);
    return "\\\\.\\" + (it != to_ansi.end() ? it->second : desc::utf8_to_ansi(name));
}

std::string code_page::replay_path(const std::string &path) const {
    if (path.compare(0, 4, "\\\\.\\") == 0) {
        if (const auto it = to_utf8.find(path.substr(4)); it != to_utf8.end()) {
            return path.substr(0, 4) + desc::utf8_to_ansi(it->second);
        }
    }
    return path;
}

const tree_node *captured_tree::find(std::uint32_t n) const {
    const auto it = n != 0 ? nodes.find(n) : nodes.end();
    return it == nodes.end() ? nullptr : &it->second;
}

const std::vector<const rec::entry *> &
pass_reading::of(const std::string &device, std::uint32_t code, std::uint32_t port) const {
    static const std::vector<const rec::entry *> none;
    const auto it = answers.find({device, code, port});
    return it != answers.end() ? it->second : none;
}

bool pass_reading::opened_ok(const std::string &path) const {
    const auto it = opens.find(path);
    return it != opens.end() && it->second.front()->ok;
}

namespace {

// The reader's place in the journal as it goes.
struct reader {
    pass_reading &r;
    std::optional<port_ref> port = {};                            // the port the walk is at
    std::optional<std::pair<call_key, std::uint32_t>> probe = {}; // awaiting its second call
    bool detail = false;                                          // awaiting an interface's path
    std::vector<std::string> unlooked = {};         // first opened, no device ID read yet
    std::vector<const rec::entry *> since_box = {}; // since the last box or controller walk
    const rec::entry *last_device = nullptr, *last_id = nullptr, *last_reply = nullptr;
    const rec::entry *previous = nullptr;
};

void add_step(reader &d, const rec::entry &c) {
    if (d.port && !d.r.walks.empty()) {
        d.r.walks.back().steps[*d.port].push_back(&c);
    }
}

// A failure by design, no box's cause: a lookup's step off the end of the tree, a
// property a node does not have, a numbered controller that is not there, a newer
// connection query that the older one then answered.
bool by_design(const rec::entry &c, const rec::entry *next) {
    if ((is(c, QVM_GET_CHILD) || is(c, QVM_GET_SIBLING) || is(c, QVM_GET_PARENT)) &&
        c.error == CR_NO_SUCH_DEVNODE) {
        return true;
    }
    if ((is(c, QVM_GET_PROPERTY) && c.error == CR_NO_SUCH_VALUE) ||
        (is(c, QVM_CREATE_FILE) && c.error == ERROR_FILE_NOT_FOUND &&
         is_controller_path(c.device))) {
        return true;
    }
    return is(c, QVM_DEVICE_IO_CONTROL) && c.code == ioctl_usb_get_node_connection_information_ex &&
           next != nullptr && is(*next, QVM_DEVICE_IO_CONTROL) &&
           next->code == ioctl_usb_get_node_connection_information && next->ok;
}

// The call a box reports: the latest that failed and can cause it, since the box
// before it and within the same controller walk.
const rec::entry *failed_call(const reader &d, const failure_site &s) {
    const std::vector<const rec::entry *> &calls = d.since_box;
    for (std::size_t i = calls.size(); i-- > 0;) {
        const rec::entry &c = *calls[i];
        const rec::entry *next = i + 1 < calls.size() ? calls[i + 1] : nullptr;
        if (!c.ok && c.kind == rec::event::asked && can_cause(s, c.call, c.code) &&
            !by_design(c, next)) {
            return &c;
        }
    }
    return nullptr;
}

void read_box(reader &d, const rec::entry &c) {
    box_seen b;
    b.text = c.text;
    const char *at = std::strstr(c.text.c_str(), ", Line ");
    b.site = at != nullptr ? std::atoi(at + 7) : 0;
    b.info = find_failure_site(b.site);
    b.walk_path = d.r.walks.empty() ? "" : d.r.walks.back().path;
    b.failed = b.info != nullptr ? failed_call(d, *b.info) : nullptr;
    b.last_device = d.last_device;
    // The device ID this controller's lookup read, if it read one.
    b.last_id = std::find(d.since_box.begin(), d.since_box.end(), d.last_id) != d.since_box.end()
                    ? d.last_id
                    : nullptr;
    b.last_reply = d.last_reply;
    b.after_box = d.previous != nullptr && d.previous->kind == rec::event::box;
    d.r.boxes.push_back(std::move(b));
    add_step(d, c);
    d.since_box.clear();
}

// An act of the tool: a box, a command, a pause, the version.
void read_act(reader &d, const rec::entry &c) {
    switch (c.kind) {
    case rec::event::box:
        read_box(d, c);
        break;
    case rec::event::command:
        d.r.commands.push_back(c.text);
        add_step(d, c);
        break;
    case rec::event::pause:
        ++d.r.pauses[c.ms];
        d.r.paused_ms += c.ms;
        add_step(d, c);
        break;
    case rec::event::version:
        d.r.version = d.r.version != nullptr ? d.r.version : &c;
        break;
    default:
        break;
    }
}

void read_open(reader &d, const rec::entry &c) {
    d.r.opened = true;
    d.port.reset();
    if (is_controller_path(c.device)) {
        d.unlooked.clear();
    }
    if (c.ok && is_controller_path(c.device)) {
        d.r.walks.push_back(walk{c.device, {}, {}});
        d.since_box.clear();
    }
    std::vector<const rec::entry *> &opens = d.r.opens[c.device];
    opens.push_back(&c);
    if (opens.size() == 1) {
        d.unlooked.push_back(c.device);
    }
}

// A control code: the port the walk is at, its answer by device and port, and
// whether it is a name query's sized second call.
void read_control(reader &d, const rec::entry &c) {
    if (!is_controller_path(c.device)) {
        if (c.code == ioctl_usb_get_node_connection_information_ex ||
            c.code == ioctl_usb_get_node_connection_information ||
            c.code == ioctl_usb_get_node_connection_driverkey_name) {
            d.port = port_ref{desc::lower(c.device), c.port};
            if (!d.r.walks.empty()) {
                d.r.walks.back().reached.insert(*d.port);
            }
        } else if (c.code == ioctl_usb_get_root_hub_name) {
            d.port.reset();
        }
    }
    const call_key key{c.device, c.code, c.port};
    d.r.answers[key].push_back(&c);
    const bool second = d.probe && d.probe->first == key && d.probe->second == c.out_size;
    if (second) {
        d.r.second.insert(&c);
    }
    d.probe.reset();
    if (is_name_query(c) && !second && c.ok) {
        d.probe.emplace(key, read_name(c.reply, c.out_size, c.code).front());
    }
    d.last_reply = c.ok ? &c : d.last_reply;
}

// A conversion of a name to the ANSI code page.
void read_conversion(reader &d, const rec::entry &c) {
    if (c.reply.empty()) {
        return;
    }
    std::u16string units;
    for (std::size_t i = 0; i + 1 < c.reply.size(); i += 2) {
        units += static_cast<char16_t>(le(c.reply, i, 2));
    }
    const std::string utf8 =
        desc::utf16_to_utf8(units.substr(0, units.find_last_not_of(u'\0') + 1));
    const std::string ansi = c.text.substr(0, c.text.find_last_not_of('\0') + 1);
    d.r.ansi.to_ansi.emplace(utf8, ansi);
    d.r.ansi.to_utf8.emplace(ansi, utf8);
}

void read_sibling(captured_tree &t, const rec::entry &c) {
    const std::uint32_t parent = t.nodes[c.node].parent;
    if (parent != 0) {
        std::vector<std::uint32_t> &siblings = t.nodes[parent].children;
        if (std::find(siblings.begin(), siblings.end(), c.result_node) == siblings.end()) {
            const auto at = std::find(siblings.begin(), siblings.end(), c.node);
            siblings.insert(at == siblings.end() ? at : at + 1, c.result_node);
        }
    }
    t.nodes[c.result_node].parent = parent;
}

// A step of the lookups through the device tree that succeeded.
void read_tree(reader &d, const rec::entry &c) {
    captured_tree &t = d.r.tree;
    if (c.call == QVM_LOCATE_DEVNODE) {
        t.root = c.result_node;
        t.nodes[t.root];
    } else if (c.call == QVM_GET_CHILD && t.nodes[c.node].children.empty()) {
        t.nodes[c.node].children.push_back(c.result_node);
        t.nodes[c.result_node].parent = c.node;
    } else if (c.call == QVM_GET_SIBLING) {
        read_sibling(t, c);
    } else if (c.call == QVM_GET_PARENT) {
        t.nodes[c.node].parent = c.result_node;
    } else if (c.call == QVM_GET_PROPERTY) {
        (c.code == CM_DRP_DRIVER ? t.nodes[c.node].driver_key : t.nodes[c.node].description) =
            desc::ansi_to_utf8(c.text);
    } else if (c.call == QVM_GET_DEVICE_ID) {
        t.nodes[c.node].device_id = desc::ansi_to_utf8(c.text);
        for (const std::string &walked : std::exchange(d.unlooked, {})) {
            d.r.looked_up.emplace(walked, desc::ansi_to_utf8(c.text));
        }
    }
}

void read_asked(reader &d, const rec::entry &c) {
    d.r.asked.push_back(&c);
    d.since_box.push_back(&c);
    if (c.call == QVM_CREATE_FILE) {
        read_open(d, c);
    } else if (c.call == QVM_DEVICE_IO_CONTROL) {
        read_control(d, c);
    } else if (c.call == QVM_WIDE_CHAR_TO_MULTI_BYTE) {
        read_conversion(d, c);
    } else if (c.call == QVM_ENUM_INTERFACES && c.ok) {
        d.r.interfaces.emplace_back();
        d.detail = true;
    } else if (c.call == QVM_INTERFACE_DETAIL && c.ok && d.detail) {
        d.r.interfaces.back() = c.text;
        d.detail = false;
    } else if (is_config_manager(c) && c.ok) {
        read_tree(d, c);
    }
    if (c.call == QVM_CREATE_FILE || c.call == QVM_DEVICE_IO_CONTROL) {
        d.last_device = &c;
    }
    d.last_id = c.call == QVM_GET_DEVICE_ID && c.ok ? &c : d.last_id;
}

} // namespace

pass_reading read_pass(const std::vector<rec::entry> &journal) {
    pass_reading r;
    r.begin = journal.data();
    r.entries = journal.size();
    reader d{r};
    for (const rec::entry &c : journal) {
        if (c.kind == rec::event::asked) {
            read_asked(d, c);
        } else {
            read_act(d, c);
        }
        d.previous = &c;
    }
    return r;
}
