// The boxes of a recorded pass: each box's site, the platform call whose failure
// it reports, where it is and what it is about.
#include "capture/facts.h"

#include "capture/calls.h"
#include "capture/words.h"
#include "usb_enum/records.h"

#include <cstdlib>
#include <cstring>

namespace {

using rec::call;

constexpr std::uint32_t error_file_not_found = 2;
constexpr std::uint32_t cr_no_such_devnode = 0x0D;
constexpr std::uint32_t cr_no_such_value = 0x25;

std::string ioctl_name(const call &c) {
    switch (c.code) {
    case ioctl_usb_get_root_hub_name:
        return is_controller_path(c.device) ? "root hub name" : "node information";
    case ioctl_get_hcd_driverkey_name:
        return "controller driver key";
    case ioctl_usb_get_node_connection_name:
        return "port hub name";
    case ioctl_usb_get_node_connection_driverkey_name:
        return "port driver key";
    case ioctl_usb_get_node_connection_information:
        return "older connection query";
    case ioctl_usb_get_node_connection_information_ex:
        return "connection query";
    default:
        return "control code";
    }
}

std::string failure_text(const call &c) {
    char text[160];
    if (is_call(c, "DeviceIoControl")) {
        std::snprintf(text, sizeof text, "DeviceIoControl 0x%X (%s) failed with %s",
                      static_cast<unsigned>(c.code), ioctl_name(c).c_str(),
                      error_text(c.error).c_str());
    } else if (std::strncmp(c.function, "CM_", 3) == 0) {
        std::snprintf(text, sizeof text, "%s failed with 0x%X", c.function,
                      static_cast<unsigned>(c.error));
    } else {
        std::snprintf(text, sizeof text, "%s failed with %s", c.function,
                      error_text(c.error).c_str());
    }
    return text;
}

// Whether a failed call can make a box of `s`: one the site's table names, and
// not a step that fails by design (a lookup's step off the end of the tree, a
// property a node does not have, a numbered controller that is not there, a newer
// connection query that the older one then answered).
bool can_cause(const std::vector<call> &calls, std::size_t i, const failure_site &s) {
    const call &c = calls[i];
    if (c.ok || !can_fail_at(s, c.function, c.code)) {
        return false;
    }
    if ((is_call(c, "CM_Get_Child") || is_call(c, "CM_Get_Sibling") ||
         is_call(c, "CM_Get_Parent")) &&
        c.error == cr_no_such_devnode) {
        return false;
    }
    if ((is_call(c, "CM_Get_DevNode_Registry_PropertyA") && c.error == cr_no_such_value) ||
        (is_call(c, "CreateFileA") && c.error == error_file_not_found &&
         is_controller_path(c.device))) {
        return false;
    }
    if (is_call(c, "DeviceIoControl") && c.code == ioctl_usb_get_node_connection_information_ex &&
        i + 1 < calls.size()) {
        const call &next = calls[i + 1];
        return !(is_call(next, "DeviceIoControl") &&
                 next.code == ioctl_usb_get_node_connection_information && next.ok);
    }
    return true;
}

// The call a box reports: the latest that failed and can cause it, since the
// box before it and within the same controller walk.
const call *failed_call(const std::vector<call> &calls, std::size_t box, const failure_site &s) {
    for (std::size_t i = box; i-- > 0;) {
        const call &c = calls[i];
        if (is_call(c, "MessageBoxA") ||
            (is_call(c, "CreateFileA") && c.ok && is_controller_path(c.device))) {
            break;
        }
        if (can_cause(calls, i, s)) {
            return &c;
        }
    }
    return nullptr;
}

// Why a box with no failed call of its own shows.
std::string no_call_text(const std::vector<call> &calls, std::size_t box, const failure_site &s) {
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
                // A controller's name replies state their length first, a
                // hub's after the port number.
                const std::size_t at = is_controller_path(c.device) ? 0 : 4;
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

// The last call before the box that was for a device: its path and port.
const call *last_device_call(const std::vector<call> &calls, std::size_t box) {
    for (std::size_t i = box; i-- > 0;) {
        if (is_call(calls[i], "DeviceIoControl") || is_call(calls[i], "CreateFileA")) {
            return &calls[i];
        }
    }
    return nullptr;
}

// The root hub of a controller, by its lower-case device path.
std::string root_hub_path(const places &where, std::size_t controller) {
    for (const auto &[path, h] : where.hubs) {
        if (h.controller == controller && h.at.empty()) {
            return path;
        }
    }
    return "";
}

// Where a box is, in words, and the hub (or port of it) it is about.
void place_box(box &b, const places &where, const std::vector<call> &calls, std::size_t i) {
    const call *last = last_device_call(calls, i);
    const std::string walk_text = b.controller          ? where.controller_name(*b.controller)
                                  : b.walk_path.empty() ? "no controller"
                                                        : b.walk_path;
    const about place = b.info != nullptr ? b.info->place : about::controller;
    b.place = walk_text;
    if (place == about::controller || last == nullptr) {
        b.hub_path = b.controller ? root_hub_path(where, *b.controller) : "";
        return;
    }
    if (is_controller_path(last->device)) {
        b.place = walk_text + ", its root hub";
        b.hub_path = b.controller ? root_hub_path(where, *b.controller) : "";
        return;
    }
    const bool names_port =
        is_call(*last, "DeviceIoControl") && last->code != ioctl_usb_get_root_hub_name;
    b.hub_path = desc::lower(last->device);
    if (place == about::port && names_port) {
        b.place = where.port_place(last->device, last->port);
        b.port = last->port;
    } else if (place == about::hub && names_port &&
               last->code == ioctl_usb_get_node_connection_name) {
        b.place = where.port_place(last->device, last->port) + ": the hub there";
        b.port = last->port;
    } else {
        b.place = where.hub_text(last->device);
    }
}

} // namespace

std::vector<box> read_boxes(const places &where, const std::vector<call> &calls) {
    std::vector<box> boxes;
    std::string walk_path;
    for (std::size_t i = 0; i < calls.size(); ++i) {
        const call &c = calls[i];
        if (is_call(c, "CreateFileA") && c.ok && is_controller_path(c.device)) {
            walk_path = c.device;
        }
        if (!is_call(c, "MessageBoxA")) {
            continue;
        }
        box b;
        b.text = c.text;
        const char *at = std::strstr(c.text.c_str(), ", Line ");
        b.site = at != nullptr ? std::atoi(at + 7) : 0;
        b.info = find_site(b.site);
        b.walk_path = walk_path;
        b.controller = where.controller(walk_path);
        if (b.controller && where.walked_twice(*b.controller)) {
            b.in_walk = ", in the walk by " + walk_name(walk_path);
        }
        if (b.info != nullptr) {
            b.failed = failed_call(calls, i, *b.info);
            b.cause =
                b.failed != nullptr ? failure_text(*b.failed) : no_call_text(calls, i, *b.info);
            place_box(b, where, calls, i);
        }
        boxes.push_back(std::move(b));
    }
    for (box &b : boxes) {
        std::size_t same = 0;
        for (const box &o : boxes) {
            same += o.site == b.site && o.place == b.place ? 1 : 0;
        }
        b.every_walk = same > 1 || !b.controller || !where.walked_twice(*b.controller);
    }
    return boxes;
}

std::vector<const box *> report_facts::skipping(const std::string &hub_path,
                                                std::uint32_t port) const {
    std::vector<const box *> found;
    for (const box &b : boxes) {
        if (b.info != nullptr && b.hub_path == hub_path && b.port == port &&
            !skips_nothing(*b.info)) {
            found.push_back(&b);
        }
    }
    return found;
}
