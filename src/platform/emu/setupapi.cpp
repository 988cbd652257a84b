// SetupAPI's device-interface enumeration on the emulated machine. It knows one
// interface class, the USB host controllers; the machine model says which
// controllers it lists, in which order, and under which paths.
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
    return std::memcmp(&a, &b, sizeof a) == 0; // a GUID has no padding
}

// The set a handle stands for; where it stands for none, `function` is refused.
handle_obj *find_set(const char *function, HDEVINFO set) {
    handle_obj *h = find_handle(set);
    if (h == nullptr || h->kind != handle_kind::devinfo) {
        return refused<handle_obj *>(function, "not a device information set", ERROR_INVALID_HANDLE,
                                     nullptr);
    }
    return h;
}

// The interface an SP_DEVICE_INTERFACE_DATA from this set stands for: the
// enumeration keeps its position (1-based) in the opaque Reserved field.
bool from_set(const handle_obj &set, const SP_DEVICE_INTERFACE_DATA &data) {
    return data.Reserved != 0 && data.Reserved <= set.interfaces;
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
        return refused("SetupDiGetClassDevsA", wrong, error, INVALID_HANDLE_VALUE);
    }
    if (const qvm_answer a = ask_machine(QVM_GET_CLASS_DEVS, 0); a.error != 0) {
        return failed(a.error, INVALID_HANDLE_VALUE);
    }
    handle_obj set;
    set.kind = handle_kind::devinfo;
    while (qvm_listed(&st().view, static_cast<std::uint32_t>(set.interfaces)) != nullptr) {
        ++set.interfaces;
    }
    return new_handle(set);
}

BOOL SetupDiEnumDeviceInterfaces(HDEVINFO set_handle, PSP_DEVINFO_DATA device,
                                 const GUID *interface_guid, DWORD index,
                                 PSP_DEVICE_INTERFACE_DATA data) {
    constexpr const char *name = "SetupDiEnumDeviceInterfaces";
    enter(name);
    if (find_set(name, set_handle) == nullptr) {
        return FALSE;
    }
    if (device != nullptr) {
        return refused(name, "enumeration below one device is not supported",
                       ERROR_INVALID_PARAMETER);
    }
    if (interface_guid == nullptr || data == nullptr) {
        return refused(name, "no interface class or no record", ERROR_INVALID_PARAMETER);
    }
    if (data->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA)) {
        return refused(name, "cbSize is not sizeof(SP_DEVICE_INTERFACE_DATA)",
                       ERROR_INVALID_USER_BUFFER);
    }
    if (const qvm_answer a = ask_machine(QVM_ENUM_INTERFACES, 0, index); a.error != 0) {
        return failed(a.error);
    }
    if (!same_guid(*interface_guid, host_controller_interface)) {
        return failed(ERROR_NO_MORE_ITEMS);
    }
    *data = SP_DEVICE_INTERFACE_DATA{data->cbSize, host_controller_interface, 1 /* SPINT_ACTIVE */,
                                     index + 1};
    return TRUE;
}

BOOL SetupDiGetDeviceInterfaceDetailA(HDEVINFO set_handle, PSP_DEVICE_INTERFACE_DATA data,
                                      PSP_DEVICE_INTERFACE_DETAIL_DATA_A detail, DWORD detail_size,
                                      PDWORD required_size, PSP_DEVINFO_DATA device) {
    constexpr const char *name = "SetupDiGetDeviceInterfaceDetailA";
    enter(name);
    const handle_obj *set = find_set(name, set_handle);
    if (set == nullptr) {
        return FALSE;
    }
    if (data == nullptr || data->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA)) {
        return refused(name, "no interface record, or its cbSize is wrong",
                       ERROR_INVALID_USER_BUFFER);
    }
    if (!from_set(*set, *data)) {
        return refused(name, "the interface record does not come from this set",
                       ERROR_INVALID_PARAMETER);
    }
    if (detail == nullptr && detail_size != 0) {
        return refused(name, "a buffer size without a buffer", ERROR_INVALID_USER_BUFFER);
    }
    if (detail != nullptr) {
        if (detail_size < offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath) + 1) {
            return refused(name, "the buffer cannot hold the record", ERROR_INVALID_USER_BUFFER);
        }
        if (detail->cbSize != sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A)) {
            return refused(name, "cbSize is not sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A)",
                           ERROR_INVALID_USER_BUFFER);
        }
    }
    if (device != nullptr && device->cbSize != sizeof(SP_DEVINFO_DATA)) {
        return refused(name, "cbSize is not sizeof(SP_DEVINFO_DATA)", ERROR_INVALID_USER_BUFFER);
    }
    const qvm_answer a =
        ask_machine(QVM_INTERFACE_DETAIL, 0, static_cast<std::uint32_t>(data->Reserved - 1), detail,
                    detail != nullptr ? detail_size : 0);
    if (required_size != nullptr && a.length != QVM_NONE) {
        *required_size = a.length;
    }
    if (a.error != 0) {
        return failed(a.error);
    }
    if (device != nullptr) {
        *device = SP_DEVINFO_DATA{device->cbSize, usb_device_class, 0, 0};
    }
    return TRUE;
}

BOOL SetupDiDestroyDeviceInfoList(HDEVINFO set_handle) {
    enter("SetupDiDestroyDeviceInfoList");
    if (find_set("SetupDiDestroyDeviceInfoList", set_handle) == nullptr) {
        return FALSE;
    }
    st().handles.erase(reinterpret_cast<std::uintptr_t>(set_handle));
    return TRUE;
}
