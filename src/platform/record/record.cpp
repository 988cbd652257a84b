// The recording layer: the platform calls of the tool's code as the capture
// program builds it. A call that asks the machine something goes to the real
// function and its answer is kept; a call that would act (start a process, show a
// box, sleep, write to the debugger) is kept instead of done. The last-error
// value each real call left is handed back unchanged.
#include "platform/win32.h"

#include "platform/record/record.h"

#include <cstring>
#include <map>

namespace rec {
namespace {

std::vector<entry> &entries() {
    static std::vector<entry> kept;
    return kept;
}

// The device path each open handle was opened with.
std::map<HANDLE, std::string> &paths() {
    static std::map<HANDLE, std::string> opened;
    return opened;
}

// A started command's process and thread: nothing runs, so these are tokens the
// runner's later calls are answered for, never real handles.
char process_token;
char thread_token;
HANDLE const process_handle = &process_token;
HANDLE const thread_handle = &thread_token;

entry &add(event kind, std::uint32_t call = QVM_NONE) {
    entries().push_back(entry{});
    entries().back().kind = kind;
    entries().back().call = call;
    return entries().back();
}

entry &ask(std::uint32_t call) {
    return add(event::asked, call);
}

// Keeps the outcome of a real call and leaves its last-error value in place.
void finish(entry &c, bool ok) {
    const DWORD error = GetLastError();
    c.ok = ok;
    c.error = ok ? 0 : error;
    SetLastError(error);
}

CONFIGRET finish_cm(entry &c, CONFIGRET result) {
    c.ok = result == CR_SUCCESS;
    c.error = result;
    return result;
}

// Text in a buffer of `size` bytes: up to its terminator, or the whole buffer.
std::string bounded_text(const char *text, std::size_t size) {
    const void *end = std::memchr(text, '\0', size);
    return std::string(text, end != nullptr ? static_cast<const char *>(end) - text : size);
}

CONFIGRET navigate(std::uint32_t call, CONFIGRET result, PDEVINST to, DEVINST from) {
    entry &c = ask(call);
    c.node = from;
    if (finish_cm(c, result) == CR_SUCCESS && to != nullptr) {
        c.result_node = *to;
    }
    return result;
}

} // namespace

const std::vector<entry> &journal() {
    return entries();
}

namespace {

// A property as text (REG_SZ), or each text of a list (REG_MULTI_SZ); none
// where the node has none or it cannot be read.
std::vector<std::string> property(DEVINST node, ULONG which) {
    ULONG length = 0;
    std::vector<std::string> texts;
    if (CM_Get_DevNode_Registry_PropertyA(node, which, nullptr, nullptr, &length, 0) !=
            CR_BUFFER_SMALL ||
        length == 0) {
        return texts;
    }
    std::vector<char> buffer(length + 2, '\0');
    if (CM_Get_DevNode_Registry_PropertyA(node, which, nullptr, buffer.data(), &length, 0) !=
        CR_SUCCESS) {
        return texts;
    }
    for (std::size_t at = 0; at < length && buffer[at] != '\0';) {
        texts.emplace_back(buffer.data() + at);
        at += texts.back().size() + 1;
    }
    return texts;
}

std::optional<std::string> text_property(DEVINST node, ULONG which) {
    std::vector<std::string> texts = property(node, which);
    return texts.empty() ? std::nullopt : std::optional<std::string>(texts.front());
}

bool holds(const std::string &id, const std::string &ours) {
    std::string lowered = id;
    for (char &c : lowered) {
        c = c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
    }
    return !ours.empty() && lowered.find(ours) != std::string::npos;
}

// A query of a software key's value, kept in the journal: the buffer's size
// (none: a sizing call) and the answer; the text where it was read.
LONG query(HKEY key, DEVINST node, const char *name, std::vector<char> *data, DWORD &size) {
    DWORD type = 0;
    const DWORD room = size;
    const LONG answer =
        RegQueryValueExA(key, name, nullptr, &type,
                         data != nullptr ? reinterpret_cast<LPBYTE>(data->data()) : nullptr, &size);
    entry &c = ask(QVM_QUERY_VALUE);
    c.node = node;
    c.value = name;
    c.out_size = data != nullptr ? room : 0;
    c.ok = answer == ERROR_SUCCESS;
    c.error = static_cast<std::uint32_t>(answer);
    if (c.ok && data != nullptr) {
        c.text = bounded_text(data->data(), size < data->size() ? size : data->size());
    }
    return answer;
}

// One value of a software key: the sizing call, then the read. False where a
// call failed otherwise than for a value not there.
bool read_value(HKEY key, DEVINST node, const char *name, std::optional<std::string> &value,
                std::uint32_t &error) {
    DWORD size = 0;
    LONG answer = query(key, node, name, nullptr, size);
    if (answer == ERROR_SUCCESS) {
        std::vector<char> data(size + 1, '\0');
        answer = query(key, node, name, &data, size);
        if (answer == ERROR_SUCCESS) {
            value = bounded_text(data.data(), size < data.size() ? size : data.size());
        }
    }
    error = answer == ERROR_SUCCESS || answer == ERROR_FILE_NOT_FOUND
                ? 0
                : static_cast<std::uint32_t>(answer);
    return error == 0;
}

// The node's software key, opened for reading as it exists, and its values.
driver_reading read_driver(DEVINST node) {
    driver_reading d;
    d.asked = true;
    HKEY key = nullptr;
    d.key_answer = CM_Open_DevNode_Key(node, KEY_READ, 0, RegDisposition_OpenExisting, &key,
                                       CM_REGISTRY_SOFTWARE);
    entry &c = ask(QVM_OPEN_DEVNODE_KEY);
    c.node = node;
    finish_cm(c, d.key_answer);
    if (d.key_answer != CR_SUCCESS) {
        return d;
    }
    for (const desc::driver_value_name &v : desc::driver_value_names) {
        if (!read_value(key, node, v.name, d.values.*v.member, d.value_error)) {
            d.failed_value = v.name;
            break;
        }
    }
    RegCloseKey(key);
    return d;
}

void add_nodes(DEVINST node, DEVINST parent, std::vector<node_view> &out, int depth,
               const std::string &ours) {
    for (; node != 0 && depth < 64 && out.size() < 100000;) {
        node_view v;
        v.node = node;
        v.parent = parent;
        char id[512] = {};
        if (CM_Get_Device_IDA(node, id, sizeof id - 1, 0) == CR_SUCCESS) {
            v.device_id = id;
        }
        v.driver_key = text_property(node, CM_DRP_DRIVER);
        v.description = text_property(node, CM_DRP_DEVICEDESC);
        v.service = text_property(node, CM_DRP_SERVICE);
        v.hardware_ids = property(node, CM_DRP_HARDWAREID);
        ULONG status = 0, problem = 0;
        v.status_answer = CM_Get_DevNode_Status(&status, &problem, node, 0);
        v.state_read = v.status_answer == CR_SUCCESS;
        v.status = status;
        v.problem = problem;
        if (holds(v.device_id, ours)) {
            v.driver = read_driver(node);
        }
        out.push_back(std::move(v));
        DEVINST next = 0;
        if (CM_Get_Child(&next, node, 0) == CR_SUCCESS) {
            add_nodes(next, node, out, depth + 1, ours);
        }
        next = 0;
        node = parent != 0 && CM_Get_Sibling(&next, node, 0) == CR_SUCCESS ? next : 0;
    }
}

} // namespace

std::vector<node_view> device_nodes(std::uint32_t &failure, const std::string &ours) {
    std::vector<node_view> nodes;
    DEVINST root = 0;
    failure = CM_Locate_DevNodeA(&root, nullptr, CM_LOCATE_DEVNODE_NORMAL);
    if (failure == CR_SUCCESS) {
        add_nodes(root, 0, nodes, 0, ours);
    }
    return nodes;
}

void clear() {
    entries().clear();
}

} // namespace rec

using rec::add;
using rec::ask;
using rec::event;

BOOL recorded_CreateProcessA(LPCSTR, LPSTR command_line, LPSECURITY_ATTRIBUTES,
                             LPSECURITY_ATTRIBUTES, BOOL, DWORD, LPVOID, LPCSTR, LPSTARTUPINFOA,
                             LPPROCESS_INFORMATION process_info) {
    add(event::command).text = command_line != nullptr ? command_line : "";
    process_info->hProcess = rec::process_handle;
    process_info->hThread = rec::thread_handle;
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

BOOL recorded_SetPriorityClass(HANDLE, DWORD) {
    return TRUE;
}

DWORD recorded_WaitForSingleObject(HANDLE, DWORD) {
    return WAIT_OBJECT_0;
}

BOOL recorded_CloseHandle(HANDLE handle) {
    if (handle == rec::process_handle || handle == rec::thread_handle) {
        return TRUE;
    }
    rec::paths().erase(handle);
    return CloseHandle(handle);
}

BOOL recorded_GetVersionExA(LPOSVERSIONINFOA info) {
    const BOOL ok = GetVersionExA(info);
    rec::entry &c = add(event::version);
    rec::finish(c, ok != FALSE);
    c.major = info->dwMajorVersion;
    c.minor = info->dwMinorVersion;
    c.build = info->dwBuildNumber;
    return ok;
}

void recorded_Sleep(DWORD milliseconds) {
    add(event::pause).ms = milliseconds;
}

void recorded_OutputDebugStringA(LPCSTR text) {
    add(event::trace).text = text != nullptr ? text : "";
}

int recorded_MessageBoxA(HWND, LPCSTR text, LPCSTR caption, UINT) {
    rec::entry &c = add(event::box);
    c.text = std::string("[") + (caption != nullptr ? caption : "") + "] " +
             (text != nullptr ? text : "");
    return 1; // IDOK: the box was answered
}

HANDLE recorded_CreateFileA(LPCSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                            DWORD disposition, DWORD flags, HANDLE template_file) {
    HANDLE handle = CreateFileA(name, access, share, security, disposition, flags, template_file);
    rec::entry &c = ask(QVM_CREATE_FILE);
    c.device = name != nullptr ? name : "";
    rec::finish(c, handle != INVALID_HANDLE_VALUE);
    if (handle != INVALID_HANDLE_VALUE) {
        rec::paths()[handle] = c.device;
    }
    return handle;
}

BOOL recorded_DeviceIoControl(HANDLE device, DWORD code, LPVOID in, DWORD in_size, LPVOID out,
                              DWORD out_size, LPDWORD returned, LPOVERLAPPED overlapped) {
    // The port goes in with the request and the reply may overwrite the buffer.
    std::uint32_t port = 0;
    if (in != nullptr && in_size >= sizeof port) {
        std::memcpy(&port, in, sizeof port);
    }
    const BOOL ok = DeviceIoControl(device, code, in, in_size, out, out_size, returned, overlapped);
    rec::entry &c = ask(QVM_DEVICE_IO_CONTROL);
    const auto known = rec::paths().find(device);
    c.device = known != rec::paths().end() ? known->second : std::string();
    c.code = code;
    c.port = port;
    c.in_size = in_size;
    c.out_size = out_size;
    rec::finish(c, ok != FALSE);
    if (ok && out != nullptr && returned != nullptr) {
        const DWORD n = *returned < out_size ? *returned : out_size;
        const auto *bytes = static_cast<const std::uint8_t *>(out);
        c.reply.assign(bytes, bytes + n);
    }
    return ok;
}

HGLOBAL recorded_GlobalAlloc(UINT flags, SIZE_T bytes) {
    HGLOBAL block = GlobalAlloc(flags, bytes);
    rec::entry &c = ask(QVM_GLOBAL_ALLOC);
    c.size = bytes;
    rec::finish(c, block != nullptr);
    return block;
}

int recorded_WideCharToMultiByte(UINT code_page, DWORD flags, LPCWCH text, int units, LPSTR out,
                                 int out_size, LPCCH default_char, LPBOOL used_default) {
    const int written = WideCharToMultiByte(code_page, flags, text, units, out, out_size,
                                            default_char, used_default);
    rec::entry &c = ask(QVM_WIDE_CHAR_TO_MULTI_BYTE);
    rec::finish(c, written != 0);
    // A conversion that wrote text: the UTF-16 units it was given (as bytes) and
    // the text it made, this PC's own code page at work.
    if (written > 0 && out != nullptr && text != nullptr && units > 0) {
        const auto *bytes = reinterpret_cast<const std::uint8_t *>(text);
        c.reply.assign(bytes, bytes + static_cast<std::size_t>(units) * sizeof(WCHAR));
        c.text.assign(out, static_cast<std::size_t>(written));
    }
    return written;
}

HDEVINFO recorded_SetupDiGetClassDevsA(const GUID *guid, PCSTR enumerator, HWND parent,
                                       DWORD flags) {
    HDEVINFO set = SetupDiGetClassDevsA(guid, enumerator, parent, flags);
    rec::finish(ask(QVM_GET_CLASS_DEVS), set != INVALID_HANDLE_VALUE);
    return set;
}

BOOL recorded_SetupDiEnumDeviceInterfaces(HDEVINFO set, PSP_DEVINFO_DATA info, const GUID *guid,
                                          DWORD index, PSP_DEVICE_INTERFACE_DATA data) {
    const BOOL ok = SetupDiEnumDeviceInterfaces(set, info, guid, index, data);
    rec::entry &c = ask(QVM_ENUM_INTERFACES);
    c.code = index;
    rec::finish(c, ok != FALSE);
    return ok;
}

BOOL recorded_SetupDiGetDeviceInterfaceDetailA(HDEVINFO set, PSP_DEVICE_INTERFACE_DATA data,
                                               PSP_DEVICE_INTERFACE_DETAIL_DATA_A detail,
                                               DWORD detail_size, PDWORD required,
                                               PSP_DEVINFO_DATA info) {
    const BOOL ok =
        SetupDiGetDeviceInterfaceDetailA(set, data, detail, detail_size, required, info);
    rec::entry &c = ask(QVM_INTERFACE_DETAIL);
    c.out_size = detail_size;
    rec::finish(c, ok != FALSE);
    if (required != nullptr) {
        c.required = *required;
    }
    if (ok && detail != nullptr) {
        c.text = detail->DevicePath;
    }
    return ok;
}

CONFIGRET recorded_CM_Locate_DevNodeA(PDEVINST node, DEVINSTID_A id, ULONG flags) {
    const CONFIGRET result =
        rec::navigate(QVM_LOCATE_DEVNODE, CM_Locate_DevNodeA(node, id, flags), node, 0);
    rec::entries().back().text = id != nullptr ? id : "";
    rec::entries().back().code = flags;
    return result;
}

CONFIGRET recorded_CM_Get_Child(PDEVINST child, DEVINST node, ULONG flags) {
    return rec::navigate(QVM_GET_CHILD, CM_Get_Child(child, node, flags), child, node);
}

CONFIGRET recorded_CM_Get_Sibling(PDEVINST sibling, DEVINST node, ULONG flags) {
    return rec::navigate(QVM_GET_SIBLING, CM_Get_Sibling(sibling, node, flags), sibling, node);
}

CONFIGRET recorded_CM_Get_Parent(PDEVINST parent, DEVINST node, ULONG flags) {
    return rec::navigate(QVM_GET_PARENT, CM_Get_Parent(parent, node, flags), parent, node);
}

CONFIGRET recorded_CM_Get_DevNode_Registry_PropertyA(DEVINST node, ULONG property, PULONG type,
                                                     PVOID buffer, PULONG length, ULONG flags) {
    const ULONG size = length != nullptr ? *length : 0;
    const CONFIGRET result =
        CM_Get_DevNode_Registry_PropertyA(node, property, type, buffer, length, flags);
    rec::entry &c = ask(QVM_GET_PROPERTY);
    c.node = node;
    c.code = property;
    c.out_size = size;
    if (rec::finish_cm(c, result) == CR_SUCCESS && buffer != nullptr) {
        c.text = rec::bounded_text(static_cast<const char *>(buffer), size);
    }
    return result;
}

CONFIGRET recorded_CM_Get_Device_IDA(DEVINST node, PSTR buffer, ULONG length, ULONG flags) {
    const CONFIGRET result = CM_Get_Device_IDA(node, buffer, length, flags);
    rec::entry &c = ask(QVM_GET_DEVICE_ID);
    c.node = node;
    c.out_size = length;
    if (rec::finish_cm(c, result) == CR_SUCCESS && buffer != nullptr) {
        c.text = rec::bounded_text(buffer, length);
    }
    return result;
}
