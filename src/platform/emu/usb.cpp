// The emulated USB stack: CreateFileA on host controllers and hubs, and the
// DeviceIoControl codes the scan sends them, answered from the machine
// description in the published reply layouts (byte-packed, little-endian, names
// in UTF-16LE).
//
// Host controllers answer to \\.\HCD<number> and to their interface device path;
// hubs, root or external, to \\.\<hub name>. A handle keeps the path it was
// opened with and finds its device again on every call, so a hub that a topology
// change has taken away answers no more.
#include "platform/emu/state.h"

#include <cstdio>
#include <cstring>
#include <string_view>
#include <unordered_map>

namespace emu {
namespace {

constexpr DWORD error_invalid_function = 1;
constexpr DWORD error_sharing_violation = 32;

constexpr DWORD ioctl_root_hub_name = 0x220408;    // to a host controller
constexpr DWORD ioctl_node_information = 0x220408; // to a hub
constexpr DWORD ioctl_hcd_driverkey_name = 0x220424;
constexpr DWORD ioctl_connection_name = 0x220414;
constexpr DWORD ioctl_connection_driverkey_name = 0x220420;
constexpr DWORD ioctl_connection_information = 0x22040C;
constexpr DWORD ioctl_connection_information_ex = 0x220448;

// Sizes of the fixed records (packed), each with a one-unit name where it has one.
constexpr DWORD root_hub_name_size = 6;    // USB_ROOT_HUB_NAME, USB_HCD_DRIVERKEY_NAME
constexpr DWORD connection_name_size = 10; // USB_NODE_CONNECTION_(DRIVERKEY_)NAME
constexpr DWORD node_information_size = 76;
constexpr DWORD connection_information_size = 35; // without pipes

const char host_controller_guid[] = "{3abf6f2d-71c4-462a-8a92-1e6861e6af27}";

char ascii_lower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// Device names compare without regard to the case of ASCII letters.
bool same_name(const std::string &a, const std::string &b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (ascii_lower(a[i]) != ascii_lower(b[i])) {
            return false;
        }
    }
    return true;
}

bool starts_with(const std::string &s, const char *prefix) {
    return s.compare(0, std::strlen(prefix), prefix) == 0;
}

std::string lower(std::string text) {
    for (char &c : text) {
        c = ascii_lower(c);
    }
    return text;
}

// The devices a path can name, by the lower-case ANSI text it must match: every
// hub by its name and every listed controller by its interface path. Made again
// after each topology change.
struct device_index {
    std::uint64_t topology = 0;
    std::unordered_map<std::string, const hub_desc *> hubs;
    std::unordered_map<std::string, const controller_desc *> interfaces;
};

// The first hub of a name in walk order wins, as a search in that order would.
void index_hubs(device_index &index, const hub_desc &h) {
    index.hubs.emplace(lower(utf8_to_ansi(h.name)), &h);
    for (const port_desc &p : h.ports) {
        for (const hub_desc &inner : p.hub) {
            index_hubs(index, inner);
        }
    }
}

const device_index &current_index() {
    static device_index index;
    const state &s = st();
    if (index.topology != s.topology) {
        index.hubs.clear();
        index.interfaces.clear();
        for (std::size_t i = 0; i < s.m.controllers.size(); ++i) {
            const controller_desc &c = s.m.controllers[i];
            index_hubs(index, c.root_hub);
            if (c.interface) {
                // Of two controllers under one path the later one answers.
                index.interfaces.insert_or_assign(lower(interface_path(i)), &c);
            }
        }
        index.topology = s.topology;
    }
    return index;
}

// What a device path opens: a host controller or a hub, or neither.
struct target {
    const controller_desc *controller = nullptr;
    const hub_desc *hub = nullptr;
};

target resolve(const std::string &path) {
    target t;
    const machine &m = st().m;
    if (starts_with(path, "\\\\.\\")) {
        const std::string name = path.substr(4);
        if (name.size() == 4 && same_name(name.substr(0, 3), "HCD") && name[3] >= '0' &&
            name[3] <= '9') {
            for (const controller_desc &c : m.controllers) {
                if (c.number && *c.number == name[3] - '0') {
                    t.controller = &c;
                }
            }
            return t;
        }
        t.hub = find_hub(name);
    } else { // a path the interface enumeration lists
        const auto &interfaces = current_index().interfaces;
        const auto it = interfaces.find(lower(path));
        if (it != interfaces.end()) {
            t.controller = it->second;
        }
    }
    return t;
}

void put_u8(std::vector<std::uint8_t> &r, std::size_t at, std::uint8_t v) {
    r[at] = v;
}
void put_u16(std::vector<std::uint8_t> &r, std::size_t at, std::uint16_t v) {
    r[at] = static_cast<std::uint8_t>(v);
    r[at + 1] = static_cast<std::uint8_t>(v >> 8);
}
void put_u32(std::vector<std::uint8_t> &r, std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) {
        r[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
    }
}

std::uint32_t get_u32(const void *bytes) {
    const auto *b = static_cast<const std::uint8_t *>(bytes);
    return std::uint32_t(b[0]) | std::uint32_t(b[1]) << 8 | std::uint32_t(b[2]) << 16 |
           std::uint32_t(b[3]) << 24;
}

// The reply goes out as far as the caller's buffer holds it.
BOOL deliver(const std::vector<std::uint8_t> &reply, LPVOID out, DWORD out_size, LPDWORD returned) {
    const DWORD n = reply.size() < out_size ? static_cast<DWORD>(reply.size()) : out_size;
    if (n > 0) {
        std::memcpy(out, reply.data(), n);
    }
    *returned = n;
    return TRUE;
}

BOOL refuse(const char *what, DWORD error) {
    misuse("DeviceIoControl", what);
    SetLastError(error);
    return FALSE;
}

// A name reply: the record's fixed part (ConnectionIndex where it has one, then
// ActualLength), then the NUL-terminated UTF-16LE name. ActualLength is the
// length of the whole reply unless a planted fault says otherwise.
std::vector<std::uint8_t> name_reply(const std::optional<std::uint32_t> &index,
                                     const std::string &name,
                                     const std::optional<std::uint32_t> &stated_length) {
    const std::u16string wide = utf8_to_utf16(name);
    const std::size_t fixed = index ? 8 : 4;
    std::vector<std::uint8_t> r(fixed + 2 * (wide.size() + 1), 0);
    if (index) {
        put_u32(r, 0, *index);
    }
    put_u32(r, fixed - 4, stated_length ? *stated_length : static_cast<std::uint32_t>(r.size()));
    for (std::size_t i = 0; i < wide.size(); ++i) {
        put_u16(r, fixed + 2 * i, wide[i]);
    }
    return r;
}

const port_desc *listed_port(const hub_desc &hub, std::uint32_t number) {
    for (const port_desc &p : hub.ports) {
        if (p.port == number) {
            return &p;
        }
    }
    return nullptr;
}

// USB_NODE_INFORMATION for a hub: NodeType UsbHub, then its hub descriptor.
std::vector<std::uint8_t> node_information(const hub_desc &hub) {
    std::vector<std::uint8_t> r(node_information_size, 0);
    put_u32(r, 0, 0);   // UsbHub
    put_u8(r, 4, 9);    // bDescriptorLength
    put_u8(r, 5, 0x29); // bDescriptorType: hub
    put_u8(r, 6, static_cast<std::uint8_t>(hub.port_count));
    put_u16(r, 7, 0x0009); // wHubCharacteristics: per-port power switching and overcurrent
    put_u8(r, 9, 50);      // bPowerOnToPowerGood
    put_u8(r, 10, 0);      // bHubControlCurrent
    return r;
}

// USB_NODE_CONNECTION_INFORMATION(_EX) without pipes. The older record has a
// LowSpeed flag where the newer one has Speed.
std::vector<std::uint8_t> connection_information(std::uint32_t index, const port_desc *p,
                                                 bool older) {
    std::vector<std::uint8_t> r(connection_information_size, 0);
    put_u32(r, 0, index);
    if (p == nullptr) {
        return r; // NoDeviceConnected, everything else zero
    }
    // The device descriptor.
    put_u8(r, 4, 18);
    put_u8(r, 5, 1);
    put_u16(r, 6, p->speed == 2 ? 0x0200 : 0x0110);
    put_u8(r, 8, p->device_is_hub ? 9 : 0);
    put_u8(r, 11, p->speed == 0 ? 8 : 64);
    put_u16(r, 12, p->vid);
    put_u16(r, 14, p->pid);
    put_u16(r, 16, 0x0100);
    put_u8(r, 18, 1);
    put_u8(r, 19, 2);
    put_u8(r, 21, 1);
    put_u8(r, 22, p->status == 1 ? 1 : 0);
    put_u8(r, 23, older ? (p->speed == 0 ? 1 : 0) : p->speed);
    put_u8(r, 24, p->device_is_hub ? 1 : 0);
    put_u16(r, 25, static_cast<std::uint16_t>(p->port + 1));
    put_u32(r, 27, 0);
    put_u32(r, 31, p->status);
    return r;
}

BOOL controller_request(const controller_desc &c, DWORD code, LPVOID out, DWORD out_size,
                        LPDWORD returned, const std::optional<std::uint32_t> &stated_length) {
    if (code != ioctl_root_hub_name && code != ioctl_hcd_driverkey_name) {
        return refuse("a host controller does not answer this control code",
                      error_invalid_function);
    }
    if (out_size < root_hub_name_size) {
        return refuse("output buffer smaller than the reply's fixed part",
                      ERROR_INSUFFICIENT_BUFFER);
    }
    const std::string &name = code == ioctl_root_hub_name ? c.root_hub.name : c.driver_key;
    return deliver(name_reply(std::nullopt, name, stated_length), out, out_size, returned);
}

BOOL hub_request(const hub_desc &hub, DWORD code, LPVOID in, DWORD in_size, LPVOID out,
                 DWORD out_size, LPDWORD returned,
                 const std::optional<std::uint32_t> &stated_length) {
    if (code == ioctl_node_information) {
        if (out_size < node_information_size) {
            return refuse("output buffer smaller than USB_NODE_INFORMATION",
                          ERROR_INSUFFICIENT_BUFFER);
        }
        return deliver(node_information(hub), out, out_size, returned);
    }
    DWORD record_size = 0;
    if (code == ioctl_connection_name || code == ioctl_connection_driverkey_name) {
        record_size = connection_name_size;
    } else if (code == ioctl_connection_information || code == ioctl_connection_information_ex) {
        record_size = connection_information_size;
    } else {
        return refuse("a hub does not answer this control code", error_invalid_function);
    }
    if (in == nullptr || in_size < record_size || out_size < record_size) {
        return refuse("input or output buffer smaller than the record", ERROR_INSUFFICIENT_BUFFER);
    }
    const std::uint32_t index = get_u32(in);
    if (index == 0 || index > hub.port_count) {
        return refuse("ConnectionIndex names no port of this hub", ERROR_INVALID_PARAMETER);
    }
    const port_desc *p = listed_port(hub, index);

    if (code == ioctl_connection_information_ex || code == ioctl_connection_information) {
        // A port speaks either the newer query or, when the description marks it
        // so, only the older one.
        const bool legacy = p != nullptr && p->legacy_only;
        if (legacy != (code == ioctl_connection_information)) {
            SetLastError(error_invalid_function);
            return FALSE;
        }
        return deliver(connection_information(index, p, legacy), out, out_size, returned);
    }
    if (code == ioctl_connection_name) {
        // An external hub's name; a port without one answers an empty name.
        const std::string name = p != nullptr && !p->hub.empty() ? p->hub.front().name : "";
        return deliver(name_reply(index, name, stated_length), out, out_size, returned);
    }
    if (p == nullptr || p->status == 0) {
        SetLastError(ERROR_INVALID_PARAMETER); // no device, so no driver
        return FALSE;
    }
    if (!p->driver_key && !stated_length) {
        // No driver installed yet: the hub finds no driver key to read.
        SetLastError(ERROR_FILE_NOT_FOUND);
        return FALSE;
    }
    return deliver(name_reply(index, p->driver_key.value_or(""), stated_length), out, out_size,
                   returned);
}

} // namespace

const hub_desc *find_hub(const std::string &name) {
    const auto &hubs = current_index().hubs;
    const auto it = hubs.find(lower(name));
    return it == hubs.end() ? nullptr : it->second;
}

std::string interface_path(std::size_t index) {
    const machine &m = st().m;
    if (const auto &stated = m.controllers[index].interface_path) {
        return utf8_to_ansi(*stated);
    }
    const std::string &id = m.controllers[index].device_id;
    bool unique = !id.empty();
    for (std::size_t i = 0; i < index; ++i) {
        unique = unique && !same_name(m.controllers[i].device_id, id);
    }
    std::string path = "\\\\?\\";
    if (unique) {
        for (char c : utf8_to_ansi(id)) {
            path += c == '\\' ? '#' : ascii_lower(c);
        }
    } else {
        path += "pci#ven_0000&dev_0000#hc&" + std::to_string(index);
    }
    return path + "#" + host_controller_guid;
}

} // namespace emu

using namespace emu;

HANDLE CreateFileA(LPCSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                   DWORD disposition, DWORD flags, HANDLE template_file) {
    enter("CreateFileA");
    const char *wrong = nullptr;
    DWORD error = ERROR_INVALID_PARAMETER;
    if (name == nullptr) {
        wrong = "no file name";
    } else if (access != GENERIC_WRITE) {
        wrong = "USB devices are opened for GENERIC_WRITE";
        error = ERROR_ACCESS_DENIED;
    } else if (share != FILE_SHARE_WRITE) {
        wrong = "USB devices are opened with share mode FILE_SHARE_WRITE";
        error = error_sharing_violation;
    } else if (security != nullptr) {
        wrong = "USB devices are opened without security attributes";
    } else if (disposition != OPEN_EXISTING) {
        wrong = "a device can only be opened with OPEN_EXISTING";
    } else if (flags != 0) {
        wrong = "USB devices are opened without flags or attributes";
    } else if (template_file != nullptr) {
        wrong = "a device is opened without a template file";
    }
    if (wrong != nullptr) {
        misuse("CreateFileA", wrong);
        SetLastError(error);
        return INVALID_HANDLE_VALUE;
    }
    const std::string path = name;
    if (const fault *f = take_fault("CreateFileA", 0, path, 0)) {
        SetLastError(f->error);
        return INVALID_HANDLE_VALUE;
    }
    const target t = resolve(path);
    if (t.controller == nullptr && t.hub == nullptr) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    handle_obj h;
    h.kind = handle_kind::device;
    h.path = path;
    h.controller = t.controller;
    h.hub = t.hub;
    count_open(path);
    h.topology = st().topology;
    SetLastError(ERROR_SUCCESS);
    return new_handle(h);
}

BOOL DeviceIoControl(HANDLE device, DWORD code, LPVOID in, DWORD in_size, LPVOID out,
                     DWORD out_size, LPDWORD returned, LPOVERLAPPED overlapped) {
    enter("DeviceIoControl");
    // Each control code is counted on its own too, as "DeviceIoControl:0x220420".
    char per_code[32] = "DeviceIoControl:0x";
    std::size_t length = std::strlen(per_code);
    bool digits = false;
    for (int shift = 28; shift >= 0; shift -= 4) {
        const unsigned digit = (code >> shift) & 0xFu;
        if (digit != 0 || digits || shift == 0) {
            per_code[length++] = "0123456789ABCDEF"[digit];
            digits = true;
        }
    }
    count_call(std::string_view(per_code, length));
    handle_obj *h = find_handle(device);
    if (h == nullptr || h->kind != handle_kind::device) {
        misuse("DeviceIoControl", "not an open device handle");
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (overlapped != nullptr) {
        return refuse("the device was not opened for overlapped I/O", ERROR_INVALID_PARAMETER);
    }
    if (returned == nullptr) {
        return refuse("a synchronous call needs a byte-count pointer", ERROR_INVALID_USER_BUFFER);
    }
    *returned = 0;
    if ((in == nullptr && in_size != 0) || (out == nullptr && out_size != 0)) {
        return refuse("a buffer length without a buffer", ERROR_INVALID_USER_BUFFER);
    }
    const std::string &path = h->path;
    if (h->topology != st().topology) {
        // The topology changed since the last call: the device may be elsewhere
        // now, or gone.
        const target t = resolve(path);
        h->controller = t.controller;
        h->hub = t.hub;
        h->topology = st().topology;
    }
    if (h->controller == nullptr && h->hub == nullptr) {
        SetLastError(ERROR_DEVICE_NOT_CONNECTED);
        return FALSE;
    }

    const std::uint32_t port = in != nullptr && in_size >= 4 ? get_u32(in) : 0;
    std::optional<std::uint32_t> stated_length;
    if (const fault *f = take_fault("DeviceIoControl", code, path, port)) {
        switch (f->action) {
        case fault::fail:
            SetLastError(f->error);
            return FALSE;
        case fault::raw_reply:
            return deliver(f->bytes, out, out_size, returned);
        case fault::actual_length:
            stated_length = f->length;
            break;
        }
    }
    if (h->controller != nullptr) {
        return controller_request(*h->controller, code, out, out_size, returned, stated_length);
    }
    return hub_request(*h->hub, code, in, in_size, out, out_size, returned, stated_length);
}
