// The emulated USB stack's calls: CreateFileA on host controllers and hubs, and
// DeviceIoControl with the codes the scan sends them. The emulation checks the
// arguments and keeps the handles; the machine model answers (platform/model/).
//
// Host controllers answer to \\.\HCD<number> and to their interface device path;
// hubs, root or external, to \\.\<hub name>. A handle keeps the path it was
// opened with, so a hub that a topology change has taken away answers no more.
#include "platform/emu/state.h"

namespace emu {
namespace {

constexpr DWORD error_sharing_violation = 32;

BOOL refuse(const char *what, DWORD error) {
    return refused("DeviceIoControl", what, error);
}

} // namespace
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
        return refused("CreateFileA", wrong, error, INVALID_HANDLE_VALUE);
    }
    qvm_request r{};
    r.call = QVM_CREATE_FILE;
    r.text = name;
    const qvm_answer a = ask_machine(r);
    if (a.error != 0) {
        return failed(a.error, INVALID_HANDLE_VALUE);
    }
    handle_obj h; // a device's
    h.path = name;
    h.device = a.device;
    h.load = st().loads;
    ++st().opens[lower(h.path)];
    SetLastError(ERROR_SUCCESS);
    return new_handle(h);
}

BOOL DeviceIoControl(HANDLE device, DWORD code, LPVOID in, DWORD in_size, LPVOID out,
                     DWORD out_size, LPDWORD returned, LPOVERLAPPED overlapped) {
    enter("DeviceIoControl");
    count_call("DeviceIoControl", code); // each control code is counted on its own too
    handle_obj *h = find_handle(device);
    if (h == nullptr || h->kind != handle_kind::device) {
        return refuse("not an open device handle", ERROR_INVALID_HANDLE);
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
    if (h->load != st().loads) { // another machine: the path may name something else
        h->device = qvm_find_device(&st().view, h->path.c_str());
        h->load = st().loads;
    }
    qvm_request r{};
    r.call = QVM_DEVICE_IO_CONTROL;
    r.text = h->path.c_str();
    r.device = h->device;
    r.code = code;
    r.in = in;
    r.in_size = in_size;
    r.out = out;
    r.out_size = out_size;
    const qvm_answer a = ask_machine(r);
    if (a.error != 0) {
        return failed(a.error);
    }
    *returned = a.length;
    return TRUE;
}
