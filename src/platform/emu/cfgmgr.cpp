// The configuration manager's calls on the emulated machine. The emulation checks
// the arguments; the machine model answers from its device tree (how the tree is
// made from a description: platform/description/table.cpp).
#include "platform/emu/state.h"

namespace emu {
namespace {

CONFIGRET refuse(const char *function, const char *what, CONFIGRET result) {
    misuse(function, what);
    return result;
}

// The calls that give a DEVINST share their checks: a place for the answer,
// cleared first as the system does, and flags 0 (the locate call's flags are
// the machine's to check).
CONFIGRET find_node(std::uint32_t call, PDEVINST answer, DEVINST from, const char *device_id,
                    ULONG flags) {
    const char *function = qvm_call_name(call);
    enter(function);
    if (answer == nullptr) {
        return refuse(function, "no place for the answer", CR_INVALID_POINTER);
    }
    *answer = 0;
    const bool locate = call == QVM_LOCATE_DEVNODE;
    if (!locate && flags != 0) {
        return refuse(function, "flags must be 0", CR_INVALID_FLAG);
    }
    qvm_request r{};
    r.call = call;
    r.text = device_id;
    r.code = locate ? flags : 0;
    r.node = from;
    const qvm_answer a = ask_machine(r);
    *answer = a.node;
    return a.error;
}

} // namespace
} // namespace emu

using namespace emu;

CONFIGRET CM_Locate_DevNodeA(PDEVINST answer, DEVINSTID_A device_id, ULONG flags) {
    return find_node(QVM_LOCATE_DEVNODE, answer, 0, device_id, flags);
}

CONFIGRET CM_Get_Child(PDEVINST answer, DEVINST from, ULONG flags) {
    return find_node(QVM_GET_CHILD, answer, from, nullptr, flags);
}

CONFIGRET CM_Get_Sibling(PDEVINST answer, DEVINST from, ULONG flags) {
    return find_node(QVM_GET_SIBLING, answer, from, nullptr, flags);
}

CONFIGRET CM_Get_Parent(PDEVINST answer, DEVINST from, ULONG flags) {
    return find_node(QVM_GET_PARENT, answer, from, nullptr, flags);
}

// The properties any version knows are 1 to 0x25; the machine tells which its
// version lacks.
CONFIGRET CM_Get_DevNode_Registry_PropertyA(DEVINST dn, ULONG property, PULONG data_type,
                                            PVOID buffer, PULONG length, ULONG flags) {
    constexpr const char *name = "CM_Get_DevNode_Registry_PropertyA";
    enter(name);
    if (length == nullptr || (buffer == nullptr && *length != 0)) {
        return refuse(name, "no length, or a length without a buffer", CR_INVALID_POINTER);
    }
    if (flags != 0) {
        return refuse(name, "flags must be 0", CR_INVALID_FLAG);
    }
    if (property < 1 || property > 0x25) {
        return refuse(name, "not a device property", CR_INVALID_PROPERTY);
    }
    const qvm_answer a = ask_machine(QVM_GET_PROPERTY, dn, property, buffer, *length);
    if (a.length != QVM_NONE) {
        *length = a.length;
    }
    if (data_type != nullptr && a.data_type != 0) {
        *data_type = a.data_type;
    }
    return a.error;
}

CONFIGRET CM_Get_DevNode_Status(PULONG status, PULONG problem, DEVINST dn, ULONG flags) {
    constexpr const char *name = "CM_Get_DevNode_Status";
    enter(name);
    if (status == nullptr || problem == nullptr) {
        return refuse(name, "no place for the status or the problem", CR_INVALID_POINTER);
    }
    *status = *problem = 0;
    if (flags != 0) {
        return refuse(name, "flags must be 0", CR_INVALID_FLAG);
    }
    const qvm_answer a = ask_machine(QVM_GET_STATUS, dn);
    *status = a.status;
    *problem = a.problem;
    return a.error;
}

CONFIGRET CM_Get_Device_IDA(DEVINST dn, PSTR buffer, ULONG buffer_length, ULONG flags) {
    constexpr const char *name = "CM_Get_Device_IDA";
    enter(name);
    if (buffer == nullptr) {
        return refuse(name, "no buffer", CR_INVALID_POINTER);
    }
    if (flags != 0) {
        return refuse(name, "flags must be 0", CR_INVALID_FLAG);
    }
    return ask_machine(QVM_GET_DEVICE_ID, dn, 0, buffer, buffer_length).error;
}
