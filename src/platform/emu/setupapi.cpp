// SetupAPI's device-interface enumeration on the emulated machine. It knows one
// interface class, the USB host controllers, and lists the controllers that the
// machine description does not exclude from it, in description order.
#include "platform/emu/state.h"

#include <cstddef>
#include <cstring>

namespace emu {
namespace {

const GUID host_controller_interface = {
    0x3abf6f2d, 0x71c4, 0x462a, {0x8a, 0x92, 0x1e, 0x68, 0x61, 0xe6, 0xaf, 0x27}};
const GUID usb_device_class = {
    0x36fc9e60, 0xc465, 0x11cf, {0x80, 0x56, 0x44, 0x45, 0x53, 0x54, 0x00, 0x00}};

bool same_guid(const GUID &a, const GUID &b) {
    return a.Data1 == b.Data1 && a.Data2 == b.Data2 && a.Data3 == b.Data3 &&
           std::memcmp(a.Data4, b.Data4, sizeof a.Data4) == 0;
}

handle_obj *find_set(HDEVINFO set) {
    handle_obj *h = find_handle(set);
    return h != nullptr && h->kind == handle_kind::devinfo ? h : nullptr;
}

BOOL refuse(const char *function, const char *what, DWORD error) {
    misuse(function, what);
    SetLastError(error);
    return FALSE;
}

// The interface an SP_DEVICE_INTERFACE_DATA from this set stands for: the
// enumeration keeps its position (1-based) in the opaque Reserved field.
const std::string *interface_of(const handle_obj &set, const SP_DEVICE_INTERFACE_DATA &data) {
    if (data.Reserved == 0 || data.Reserved > set.interfaces.size()) {
        return nullptr;
    }
    return &set.interfaces[data.Reserved - 1];
}

} // namespace
} // namespace emu

using namespace emu;

HDEVINFO SetupDiGetClassDevsA(const GUID *class_guid, PCSTR enumerator, HWND parent, DWORD flags) {
    enter("SetupDiGetClassDevsA");
    const char *wrong = nullptr;
    DWORD error = ERROR_INVALID_PARAMETER;
    if (class_guid == nullptr || !same_guid(*class_guid, host_controller_interface)) {
        wrong = "only the USB host-controller interface class is known";
    } else if (enumerator != nullptr) {
        wrong = "no enumerator filter is supported";
    } else if (parent != nullptr) {
        wrong = "no parent window is expected";
    } else if (flags != (DIGCF_PRESENT | DIGCF_DEVICEINTERFACE)) {
        wrong = "flags must be DIGCF_PRESENT | DIGCF_DEVICEINTERFACE";
        error = ERROR_INVALID_FLAGS;
    }
    if (wrong != nullptr) {
        misuse("SetupDiGetClassDevsA", wrong);
        SetLastError(error);
        return INVALID_HANDLE_VALUE;
    }
    if (const fault *f = take_fault("SetupDiGetClassDevsA", 0, "", 0)) {
        SetLastError(f->error);
        return INVALID_HANDLE_VALUE;
    }
    // The set is what is present now; later topology changes do not alter it.
    handle_obj set;
    set.kind = handle_kind::devinfo;
    const machine &m = st().m;
    for (std::size_t i = 0; i < m.controllers.size(); ++i) {
        if (m.controllers[i].interface) {
            set.interfaces.push_back(interface_path(i));
        }
    }
    return new_handle(set);
}

BOOL SetupDiEnumDeviceInterfaces(HDEVINFO set_handle, PSP_DEVINFO_DATA device,
                                 const GUID *interface_guid, DWORD index,
                                 PSP_DEVICE_INTERFACE_DATA data) {
    constexpr const char *name = "SetupDiEnumDeviceInterfaces";
    enter(name);
    const handle_obj *set = find_set(set_handle);
    if (set == nullptr) {
        return refuse(name, "not a device information set", ERROR_INVALID_HANDLE);
    }
    if (device != nullptr) {
        return refuse(name, "enumeration below one device is not supported",
                      ERROR_INVALID_PARAMETER);
    }
    if (interface_guid == nullptr || data == nullptr) {
        return refuse(name, "no interface class or no record", ERROR_INVALID_PARAMETER);
    }
    if (data->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA)) {
        return refuse(name, "cbSize is not sizeof(SP_DEVICE_INTERFACE_DATA)",
                      ERROR_INVALID_USER_BUFFER);
    }
    if (const fault *f = take_fault(name, 0, "", 0)) {
        SetLastError(f->error);
        return FALSE;
    }
    if (!same_guid(*interface_guid, host_controller_interface) || index >= set->interfaces.size()) {
        SetLastError(ERROR_NO_MORE_ITEMS);
        return FALSE;
    }
    data->InterfaceClassGuid = host_controller_interface;
    data->Flags = 1; // SPINT_ACTIVE
    data->Reserved = index + 1;
    return TRUE;
}

BOOL SetupDiGetDeviceInterfaceDetailA(HDEVINFO set_handle, PSP_DEVICE_INTERFACE_DATA data,
                                      PSP_DEVICE_INTERFACE_DETAIL_DATA_A detail, DWORD detail_size,
                                      PDWORD required_size, PSP_DEVINFO_DATA device) {
    constexpr const char *name = "SetupDiGetDeviceInterfaceDetailA";
    enter(name);
    const handle_obj *set = find_set(set_handle);
    if (set == nullptr) {
        return refuse(name, "not a device information set", ERROR_INVALID_HANDLE);
    }
    if (data == nullptr || data->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA)) {
        return refuse(name, "no interface record, or its cbSize is wrong",
                      ERROR_INVALID_USER_BUFFER);
    }
    const std::string *path = interface_of(*set, *data);
    if (path == nullptr) {
        return refuse(name, "the interface record does not come from this set",
                      ERROR_INVALID_PARAMETER);
    }
    if (detail == nullptr && detail_size != 0) {
        return refuse(name, "a buffer size without a buffer", ERROR_INVALID_USER_BUFFER);
    }
    if (detail != nullptr) {
        if (detail_size < offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath) + 1) {
            return refuse(name, "the buffer cannot hold the record", ERROR_INVALID_USER_BUFFER);
        }
        if (detail->cbSize != sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A)) {
            return refuse(name, "cbSize is not sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A)",
                          ERROR_INVALID_USER_BUFFER);
        }
    }
    if (device != nullptr && device->cbSize != sizeof(SP_DEVINFO_DATA)) {
        return refuse(name, "cbSize is not sizeof(SP_DEVINFO_DATA)", ERROR_INVALID_USER_BUFFER);
    }
    if (const fault *f = take_fault(name, 0, *path, 0)) {
        if (f->action == fault::actual_length) {
            // A size answer that is not the truth: the call fails for lack of room
            // and names the planted size.
            if (required_size != nullptr) {
                *required_size = f->length;
            }
            SetLastError(ERROR_INSUFFICIENT_BUFFER);
            return FALSE;
        }
        SetLastError(f->error);
        return FALSE;
    }
    const DWORD needed = static_cast<DWORD>(
        offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath) + path->size() + 1);
    if (required_size != nullptr) {
        *required_size = needed;
    }
    if (detail == nullptr || detail_size < needed) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    std::memcpy(reinterpret_cast<char *>(detail) +
                    offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath),
                path->c_str(), path->size() + 1);
    if (device != nullptr) {
        device->ClassGuid = usb_device_class;
        device->DevInst = 0;
        device->Reserved = 0;
    }
    return TRUE;
}

BOOL SetupDiDestroyDeviceInfoList(HDEVINFO set_handle) {
    enter("SetupDiDestroyDeviceInfoList");
    if (find_set(set_handle) == nullptr) {
        return refuse("SetupDiDestroyDeviceInfoList", "not a device information set",
                      ERROR_INVALID_HANDLE);
    }
    st().handles.erase(reinterpret_cast<std::uintptr_t>(set_handle));
    return TRUE;
}
