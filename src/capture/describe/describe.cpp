// From recorded answers to a machine description. The topology first: the
// controllers the pass opened (by number and by interface, one where both name the
// same root hub), the hubs the name queries named, each port's first connection
// reply, the nodes the lookups visited and Device Manager's view (verdict.cpp).
// Then every recorded call goes through the machine model on that description, in
// order; where its answer differs as far as the scan reads it, a planted fault
// answers as recorded, if the model says one does. Any other is told as a gap.
#include "capture/describe/describe.h"

#include "capture/describe/replay.h"
#include "platform/description/keys.h"
#include "platform/description/table.h"
#include "platform/model/model.h"
#include "platform/win32.h"
#include "usb_enum/records.h"
#include "usb_enum/usb_enum.h"

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
using rec::entry;

// The description as it is built from the reading.
struct recorded {
    const pass_reading &r;
    desc::machine m = {};
    std::set<std::string> hub_names = {}; // lower-case: a name names one hub
    int placeholders = 0;
};

// The name a query's second calls gave: the first that names a hub the scan
// opened, or else the first, if any.
std::optional<std::string> learned_name(const pass_reading &r, const std::string &device,
                                        std::uint32_t code, std::uint32_t port) {
    std::optional<std::string> first;
    for (const entry *c : r.of(device, code, port)) {
        if (r.second.count(c) != 0 && c->ok) {
            const std::vector<std::uint32_t> v = read_name(c->reply, c->out_size, code);
            const std::string name = utf16_to_utf8(std::u16string(v.begin() + 1, v.end()));
            if (r.opened_ok(r.ansi.hub_path(name))) {
                return name;
            }
            first = first.value_or(name);
        }
    }
    return first;
}

const entry *first_answer(const pass_reading &r, const std::string &device, std::uint32_t code,
                          std::uint32_t port) {
    for (const entry *c : r.of(device, code, port)) {
        if (c->ok) {
            return c;
        }
    }
    return nullptr;
}

constexpr int deepest_hub = max_hub_tiers + 1; // as deep as the scan follows hubs, and one more
constexpr const char *unnamed_hub = "CAPTURE#UNNAMED_HUB#";

// A name that can stand for a new hub: not empty, and no other hub's.
bool fresh(const recorded &b, const std::optional<std::string> &name) {
    return name && !name->empty() && b.hub_names.count(desc::lower(*name)) == 0;
}

// A hub's name for the description: the one it answered, or, where that cannot
// stand, one made up that no device path of the pass could name.
std::string hub_name_for(recorded &b, const std::optional<std::string> &answered) {
    std::string name =
        fresh(b, answered) ? *answered : unnamed_hub + std::to_string(b.placeholders++);
    b.hub_names.insert(desc::lower(name));
    return name;
}

desc::hub_desc build_hub(recorded &b, const std::string &name, int depth);

// A port as its first answered connection query showed it; none where the
// description's empty port answers the same.
std::optional<desc::port_desc> build_port(recorded &b, const std::string &path, std::uint32_t port,
                                          int depth) {
    const entry *ex = first_answer(b.r, path, ioctl_usb_get_node_connection_information_ex, port);
    const entry *c = ex != nullptr
                         ? ex
                         : first_answer(b.r, path, ioctl_usb_get_node_connection_information, port);
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
    p.driver_key = learned_name(b.r, path, ioctl_usb_get_node_connection_driverkey_name, port);
    p.device_id = desc::keys::default_port_device_id(p.vid, p.pid, port);
    p.description = desc::keys::default_port_description;
    if (p.device_is_hub && depth < deepest_hub) {
        const auto inner = learned_name(b.r, path, ioctl_usb_get_node_connection_name, port);
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
    const std::string path = b.r.ansi.hub_path(name);
    if (const entry *info = first_answer(b.r, path, ioctl_usb_get_node_information, 0)) {
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
        c.driver_key = learned_name(b.r, path, ioctl_get_hcd_driverkey_name, 0).value_or("");
    }
    if (c.device_id.empty()) {
        const auto id = b.r.looked_up.find(path);
        c.device_id = id != b.r.looked_up.end() ? id->second : "";
    }
    if (b.r.opened_ok(b.r.ansi.hub_path(c.root_hub.name))) {
        return;
    }
    const auto root = learned_name(b.r, path, ioctl_usb_get_root_hub_name, 0);
    if (b.r.opened_ok(path) && fresh(b, root)) {
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
    for (const auto &[path, opens] : b.r.opens) {
        const auto number = controller_number(path);
        const entry &first = *opens.front();
        if (number && (first.ok || first.error != ERROR_FILE_NOT_FOUND)) {
            desc::controller_desc &c = numbered.emplace_back();
            learn_controller(b, c, path);
            c.number = *number;
            c.interface = false;
        }
    }
    for (const std::string &path : b.r.interfaces) {
        const auto root = learned_name(b.r, path, ioctl_usb_get_root_hub_name, 0);
        const auto key = learned_name(b.r, path, ioctl_get_hcd_driverkey_name, 0);
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

// The verdict's texts in UTF-8.
std::vector<rec::node_view> in_utf8(std::vector<rec::node_view> views) {
    for (rec::node_view &v : views) {
        v.device_id = ansi_to_utf8(v.device_id);
        for (std::optional<std::string> *t : {&v.driver_key, &v.description, &v.service}) {
            *t = *t ? std::optional<std::string>(ansi_to_utf8(**t)) : std::nullopt;
        }
        std::transform(v.hardware_ids.begin(), v.hardware_ids.end(), v.hardware_ids.begin(),
                       ansi_to_utf8);
        for (const desc::driver_value_name &name : desc::driver_value_names) {
            std::optional<std::string> &t = v.driver.values.*name.member;
            t = t ? std::optional<std::string>(ansi_to_utf8(*t)) : std::nullopt;
        }
    }
    return views;
}

} // namespace

// `tree_failure`: what the locate of Device Manager's walk after the pass
// answered; a fault that gives it counts that call too.
described describe_machine(const pass_reading &scan, const std::vector<rec::node_view> &nodes,
                           std::uint32_t tree_failure) {
    recorded b{scan};
    if (const entry *version = scan.version; version != nullptr && version->ok) {
        b.m.major = version->major;
        b.m.minor = version->minor;
        b.m.build = version->build;
    }
    b.m.virtual_clock = true;
    b.m.record_processes = true;
    build_controllers(b);
    captured_tree tree = scan.tree;
    const std::vector<rec::node_view> views = in_utf8(nodes);
    if (!views.empty() && tree.root != 0) { // the root's ID, which no lookup reads
        tree.nodes[tree.root].device_id = views.front().device_id;
    }
    described out;
    add_device_manager_view(b.m, tree, views, &out.unmatched);
    // Device Manager's walk after the pass begins with a locate of the root.
    entry locate;
    locate.call = QVM_LOCATE_DEVNODE;
    locate.ok = tree_failure == 0;
    locate.error = tree_failure;
    locate.result_node = views.empty() ? 0 : views.front().node;
    replayed replay = replay_pass(b.m, scan, locate);
    b.m.faults = std::move(replay.faults);
    out.gaps = std::move(replay.gaps);
    if (!replay.held) {
        out.gaps.push_back(std::to_string(b.m.controllers.size()) +
                           " controllers, and a description's machine holds 10 at most");
    }
    out.machine = std::move(b.m);
    return out;
}
