// A device's software key on the emulated machine: opened through the
// configuration manager, its values read as the registry reads them. The
// emulation checks the arguments; the machine model answers from the node's
// driver values. The machine's registry is read only: a key is opened as it
// exists, for reading.
#include "platform/emu/state.h"

namespace emu {
namespace {

constexpr ULONG registry_bits = CM_REGISTRY_SOFTWARE | CM_REGISTRY_USER | CM_REGISTRY_CONFIG;

CONFIGRET refuse(const char *function, const char *what, CONFIGRET result) {
    misuse(function, what);
    return result;
}

// The software key a handle stands for, or null.
handle_obj *key_of(HKEY key) {
    handle_obj *h = find_handle(reinterpret_cast<HANDLE>(key));
    return h != nullptr && h->kind == handle_kind::key ? h : nullptr;
}

LONG refuse_value(const char *what, LONG error) {
    misuse("RegQueryValueExA", what);
    return error;
}

} // namespace
} // namespace emu

using namespace emu;

CONFIGRET CM_Open_DevNode_Key(DEVINST dn, REGSAM access, ULONG profile, REGDISPOSITION disposition,
                              PHKEY key, ULONG flags) {
    constexpr const char *name = "CM_Open_DevNode_Key";
    enter(name);
    if (key == nullptr) {
        return refuse(name, "no place for the key", CR_INVALID_POINTER);
    }
    *key = nullptr;
    if ((flags & ~registry_bits) != 0) {
        return refuse(name, "flags beyond CM_REGISTRY_BITS", CR_INVALID_FLAG);
    }
    if (disposition != RegDisposition_OpenAlways && disposition != RegDisposition_OpenExisting) {
        return refuse(name, "not a RegDisposition_ value", CR_INVALID_DATA);
    }
    if (flags != CM_REGISTRY_SOFTWARE || profile != 0) {
        return refuse(name,
                      "the machine holds a device's software key alone (CM_REGISTRY_SOFTWARE,"
                      " the current hardware profile 0)",
                      CR_INVALID_FLAG);
    }
    if (disposition != RegDisposition_OpenExisting || (access & ~KEY_READ) != 0) {
        return refuse(name,
                      "the machine's registry is read only: KEY_READ, "
                      "RegDisposition_OpenExisting",
                      CR_INVALID_DATA);
    }
    qvm_request r{};
    r.call = QVM_OPEN_DEVNODE_KEY;
    r.node = dn;
    r.code = disposition;
    const qvm_answer a = ask_machine(r);
    if (a.error == 0) {
        handle_obj h;
        h.kind = handle_kind::key;
        h.node = dn;
        *key = static_cast<HKEY>(new_handle(h));
    }
    return a.error;
}

// RegQueryValueExA returns its error and leaves the last error as it was.
LONG RegQueryValueExA(HKEY key, LPCSTR value_name, LPDWORD reserved, LPDWORD type, LPBYTE data,
                      LPDWORD size) {
    enter("RegQueryValueExA");
    const handle_obj *h = key_of(key);
    if (h == nullptr) {
        return refuse_value("not an open key", ERROR_INVALID_HANDLE);
    }
    if (reserved != nullptr) {
        return refuse_value("lpReserved must be NULL", ERROR_INVALID_PARAMETER);
    }
    if (data != nullptr && size == nullptr) {
        return refuse_value("a buffer without its size", ERROR_INVALID_PARAMETER);
    }
    qvm_request r{};
    r.call = QVM_QUERY_VALUE;
    r.node = h->node;
    r.text = value_name;
    r.out = data;
    r.out_size = size != nullptr ? *size : 0;
    const qvm_answer a = ask_machine(r);
    if (size != nullptr && a.length != QVM_NONE) {
        *size = a.length;
    }
    if (type != nullptr && a.data_type != 0) {
        *type = a.data_type;
    }
    return static_cast<LONG>(a.error);
}

LONG RegCloseKey(HKEY key) {
    enter("RegCloseKey");
    if (key_of(key) == nullptr) {
        misuse("RegCloseKey", "not an open key");
        return ERROR_INVALID_HANDLE;
    }
    st().handles.erase(reinterpret_cast<std::uintptr_t>(key));
    return ERROR_SUCCESS;
}
