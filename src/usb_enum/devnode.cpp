// The device-node lookup: a pre-order walk of the configuration manager's device
// tree for the node that carries a given driver key.
#include "usb_enum/usb_enum.h"

#include <cstring>

char devnode_buffer[devnode_buffer_size];

namespace {

// A read into devnode_buffer counts only when it succeeded and left terminated
// text; whatever happened, the buffer ends terminated.
bool read_done(CONFIGRET result) {
    const bool terminated = std::memchr(devnode_buffer, '\0', devnode_buffer_size) != nullptr;
    devnode_buffer[devnode_buffer_size - 1] = '\0';
    return result == CR_SUCCESS && terminated;
}

bool read_property(DEVINST node, ULONG property) {
    ULONG length = devnode_buffer_size;
    return read_done(
        CM_Get_DevNode_Registry_PropertyA(node, property, nullptr, devnode_buffer, &length, 0));
}

char ascii_lower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// Equal but for the case of the ASCII letters; every other byte must match.
// Equal bytes, by far the most common case, need no case folding.
bool same_driver_key(const char *a, const char *b) {
    for (;; ++a, ++b) {
        if (*a != *b && ascii_lower(*a) != ascii_lower(*b)) {
            return false;
        }
        if (*a == '\0') {
            return true;
        }
    }
}

} // namespace

char *lookup_devnode_by_driver(const char *driver_key, std::uint8_t want_device_id) {
    DEVINST current = 0;
    if (CM_Locate_DevNodeA(&current, nullptr, CM_LOCATE_DEVNODE_NORMAL) != CR_SUCCESS) {
        return nullptr;
    }
    for (;;) {
        if (read_property(current, CM_DRP_DRIVER) && same_driver_key(devnode_buffer, driver_key)) {
            break;
        }
        DEVINST next = 0;
        if (CM_Get_Child(&next, current, 0) == CR_SUCCESS) {
            current = next;
            continue;
        }
        // No child: the next sibling of this node or of the nearest ancestor that
        // has one; none left means the whole tree has been read.
        for (;;) {
            if (CM_Get_Sibling(&next, current, 0) == CR_SUCCESS) {
                current = next;
                break;
            }
            if (CM_Get_Parent(&next, current, 0) != CR_SUCCESS) {
                return nullptr;
            }
            current = next;
        }
    }

    bool read;
    if (want_device_id != 0) {
        read = read_done(CM_Get_Device_IDA(current, devnode_buffer, devnode_buffer_size, 0));
    } else {
        read = read_property(current, CM_DRP_DEVICEDESC);
    }
    return read ? devnode_buffer : nullptr;
}
