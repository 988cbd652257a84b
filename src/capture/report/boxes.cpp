// The boxes of the pass in words: the call whose failure each reports, where it
// is and what it is about.
#include "capture/report/boxes.h"

#include "capture/report/value_texts.h"
#include "usb_enum/records.h"
#include "usb_enum/usb_enum.h"

#include <cstdio>

namespace {

std::string ioctl_name(const rec::entry &c) {
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

std::string failure_text(const rec::entry &c) {
    char text[160];
    const char *name = qvm_call_name(c.call);
    if (c.call == QVM_DEVICE_IO_CONTROL) {
        std::snprintf(text, sizeof text, "%s 0x%X (%s) failed with %s", name,
                      static_cast<unsigned>(c.code), ioctl_name(c).c_str(),
                      error_text(c.error).c_str());
    } else if (is_config_manager(c)) {
        std::snprintf(text, sizeof text, "%s failed with 0x%X", name,
                      static_cast<unsigned>(c.error));
    } else {
        std::snprintf(text, sizeof text, "%s failed with %s", name, error_text(c.error).c_str());
    }
    return text;
}

// Why a box with no failed call of its own shows.
std::string no_call_text(const box_seen &b, const site_words &w) {
    const rec::entry *id = b.last_id;
    if (b.site == site_controller_not_pci && id != nullptr) {
        return "no failed call: the ID is not in PCI form: " + id->text;
    }
    const rec::entry *reply = b.last_reply;
    if (w.no_call != nullptr && b.site != site_controller_not_pci && reply != nullptr) {
        const std::uint32_t stated = read_name(reply->reply, reply->out_size, reply->code).front();
        return std::string("no failed call: ") + w.no_call + " (it states " +
               std::to_string(stated) + " bytes)";
    }
    if (w.no_call != nullptr) {
        return std::string("no failed call: ") + w.no_call;
    }
    if (b.site == site_controller_no_device_id && id != nullptr &&
        id->text.size() >= devnode_buffer_size) {
        return "no failed call: " + std::string(qvm_call_name(QVM_GET_DEVICE_ID)) +
               " gave an ID of " + std::to_string(id->text.size()) +
               " characters, which fills quorvex's " + std::to_string(devnode_buffer_size) +
               "-byte buffer with no room for its end";
    }
    if (b.site == site_controller_no_device_id) {
        return "no failed call: no device node has the controller's driver key";
    }
    return b.after_box ? "no failed call of its own: the box before it gives the cause"
                       : "no failed call";
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
void place_box(box &b, const places &where) {
    const rec::entry *last = b.seen->last_device;
    const std::string &walk_path = b.seen->walk_path;
    const std::string walk_text = b.controller        ? where.controller_name(*b.controller)
                                  : walk_path.empty() ? "no controller"
                                                      : walk_path;
    const site_about place = b.seen->info->about;
    b.place = walk_text;
    if (place == site_about::controller || last == nullptr) {
        b.hub_path = b.controller ? root_hub_path(where, *b.controller) : "";
        return;
    }
    if (is_controller_path(last->device)) {
        b.place = walk_text + ", its root hub";
        b.hub_path = b.controller ? root_hub_path(where, *b.controller) : "";
        return;
    }
    const bool names_port =
        last->call == QVM_DEVICE_IO_CONTROL && last->code != ioctl_usb_get_root_hub_name;
    b.hub_path = desc::lower(last->device);
    if (place == site_about::port && names_port) {
        b.place = where.port_place(last->device, last->port);
        b.port = last->port;
    } else if (place == site_about::hub && names_port &&
               last->code == ioctl_usb_get_node_connection_name) {
        b.place = where.port_place(last->device, last->port) + ": the hub there";
        b.port = last->port;
    } else {
        b.place = where.hub_text(last->device);
    }
}

} // namespace

std::vector<box> boxes_of(const places &where, const pass_reading &scan) {
    std::vector<box> boxes;
    for (const box_seen &seen : scan.boxes) {
        box &b = boxes.emplace_back();
        b.seen = &seen;
        b.controller = where.controller(seen.walk_path);
        if (b.controller && where.walked_twice(*b.controller)) {
            b.in_walk = ", in the walk by " + walk_name(seen.walk_path);
        }
        if (seen.info != nullptr) {
            b.words = &words_of(*seen.info);
            b.cause =
                seen.failed != nullptr ? failure_text(*seen.failed) : no_call_text(seen, *b.words);
            place_box(b, where);
        }
    }
    for (box &b : boxes) {
        std::size_t same = 0;
        for (const box &o : boxes) {
            same += o.seen->site == b.seen->site && o.place == b.place ? 1 : 0;
        }
        b.every_walk = same > 1 || !b.controller || !where.walked_twice(*b.controller);
    }
    return boxes;
}
