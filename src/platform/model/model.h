/* The machine model: what a PC's USB stack, device tree and host-controller
   interface list answer, as rules over one flat table. The emulated machine, the
   kernel-mode stand-in under Wine and the capture program answer from it.

   Input: a table (below) that describes the machine, a state that the caller owns,
   and one request; output: the answer and the next state. The model holds no
   handle, makes no allocation and does no I/O: it compiles in user mode, in the
   emulation's builds and freestanding inside a driver. Its control codes, record
   layouts and error values are its own, never the tool's.

   The table is one block: the header, then the controllers, the devices (the
   paths that open something, sorted by their lower-case text), the hubs, the
   ports, the device-tree nodes, the changes, the faults, and a pool of texts. A
   record names another by its index and a text by its offset in the pool
   (QVM_NONE: none). Texts the USB stack answers are UTF-16LE, ended by a zero
   unit; every other text is in the ANSI code page, ended by a zero byte; the
   pool ends with three zero bytes. Everything is packed and little-endian, the
   same in every build. */
#ifndef QUORVEX_PLATFORM_MODEL_H
#define QUORVEX_PLATFORM_MODEL_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#define QVM_ASSERT_SIZE(type, size) static_assert(sizeof(type) == (size), #type)
#else
#define QVM_ASSERT_SIZE(type, size) _Static_assert(sizeof(type) == (size), #type)
#endif

#define QVM_MAGIC 0x324D5651u /* "QVM2" */
#define QVM_NONE 0xFFFFFFFFu
#define QVM_LIMIT (1u << 24) /* records of one kind, bytes of the pool */

/* The calls the machine answers. */
enum qvm_call {
    QVM_CREATE_FILE,
    QVM_DEVICE_IO_CONTROL,
    QVM_GLOBAL_ALLOC,
    QVM_WIDE_CHAR_TO_MULTI_BYTE,
    QVM_GET_CLASS_DEVS,
    QVM_ENUM_INTERFACES,
    QVM_INTERFACE_DETAIL,
    QVM_LOCATE_DEVNODE,
    QVM_GET_CHILD,
    QVM_GET_SIBLING,
    QVM_GET_PARENT,
    QVM_GET_PROPERTY,
    QVM_GET_DEVICE_ID,
    QVM_GET_STATUS,
    QVM_OPEN_DEVNODE_KEY, /* the node's software key (CM_REGISTRY_SOFTWARE) */
    QVM_QUERY_VALUE,      /* a value of a software key opened so */
    QVM_CALLS
};

/* The Win32 function a call stands for ("CreateFileA", ...), or "" past the end. */
const char *qvm_call_name(uint32_t call);

/* What narrows a fault planted in a call (a field of qvm_fault, where it is set)
   and what the fault may do there besides failing. */
#define QVM_BY_PATH 0x01u       /* device: the path the call opens or sends to */
#define QVM_BY_TEXT 0x02u       /* device: an interface's path, or a node's device ID */
#define QVM_BY_CODE 0x04u       /* code */
#define QVM_BY_PORT 0x08u       /* port */
#define QVM_BY_SIZE 0x10u       /* size */
#define QVM_STATES_LENGTH 0x20u /* the action QVM_ACTUAL_LENGTH */
#define QVM_GIVES_REPLY 0x40u   /* the action QVM_RAW_REPLY */
/* Those of a call, or 0 past the end. */
uint32_t qvm_fault_keys(uint32_t call);

/* The control codes the USB stack answers: a host controller the first two, a
   hub the others. */
#define QVM_CODE_ROOT_HUB_NAME 0x220408u
#define QVM_CODE_HCD_DRIVER_KEY 0x220424u
#define QVM_CODE_NODE_INFORMATION 0x220408u /* to a hub: the root hub name's code */
#define QVM_CODE_CONNECTION 0x22040Cu       /* the older connection query */
#define QVM_CODE_CONNECTION_EX 0x220448u
#define QVM_CODE_CONNECTION_NAME 0x220414u
#define QVM_CODE_CONNECTION_DRIVER_KEY 0x220420u
#define QVM_CODES 6
/* Each code once, in increasing order. */
extern const uint32_t qvm_codes[QVM_CODES];

#pragma pack(push, 1)

struct qvm_header {
    uint32_t magic;
    uint32_t size;          /* of the whole table */
    uint32_t major, minor;  /* the version the machine reports */
    uint64_t largest_block; /* the largest block GlobalAlloc gives */
    uint32_t controllers, devices, hubs, ports, nodes, changes, faults;
    uint32_t slots; /* the port counts of all hubs together */
    uint32_t pool;  /* bytes */
};
QVM_ASSERT_SIZE(struct qvm_header, 60);

struct qvm_controller {
    int32_t number;          /* answers to \\.\HCD<number>; -1: to none */
    uint32_t interface_path; /* the path the interface list gives, QVM_NONE: not listed */
    uint32_t driver_key;     /* UTF-16 */
    uint32_t root_hub;
};
QVM_ASSERT_SIZE(struct qvm_controller, 16);

enum { QVM_CONTROLLER = 1, QVM_HUB = 2 };

/* A path that opens something: a controller, or whichever hub of that name the
   topology holds now. */
struct qvm_device {
    uint32_t kind;
    uint32_t path;       /* as the tool opens it: \\.\HCD0, \\?\pci#..., \\.\<hub name> */
    uint32_t controller; /* QVM_CONTROLLER */
};
QVM_ASSERT_SIZE(struct qvm_device, 12);

/* A hub as the description gives it; a change can bring another of the same
   name. */
struct qvm_hub {
    uint32_t device;
    uint32_t name; /* UTF-16 */
    uint32_t port_count;
    uint32_t first_port, ports; /* the listed ports, records of its own */
    uint32_t first_slot;        /* where the state keeps which port is on each */
};
QVM_ASSERT_SIZE(struct qvm_hub, 24);

struct qvm_port {
    uint32_t port;
    uint32_t status; /* ConnectionStatus; 0: no device */
    uint16_t vid, pid;
    uint8_t speed; /* 0 low, 1 full, 2 high */
    uint8_t legacy_only;
    uint8_t device_is_hub;
    uint8_t reserved;
    uint32_t driver_key; /* UTF-16, QVM_NONE: no driver yet */
    uint32_t hub;        /* the external hub below it */
    uint32_t node;       /* its device's node */
};
QVM_ASSERT_SIZE(struct qvm_port, 28);

/* A device-tree node; its DEVINST is its index + 1, node 0 the root. Below it
   come the nodes that do not come and go, then the devices on `hub`'s ports. */
struct qvm_node {
    uint32_t device_id, driver_key, description, service; /* ANSI */
    uint32_t hardware_ids; /* ANSI, each ended by a zero byte, then one more */
    uint32_t status, problem;
    uint32_t status_error; /* not 0: CM_Get_DevNode_Status fails with it */
    uint32_t first_child, next_sibling;
    uint32_t hub;
    /* Its software key, which a node has where it has a driver key: its values
       as pairs of ANSI texts (the name, then the value), then one more zero
       byte; QVM_NONE: none. Where not 0, CM_Open_DevNode_Key fails with this. */
    uint32_t driver_values;
    uint32_t software_key_error;
    /* A value of that key whose reading fails (ANSI; QVM_NONE: none), and with
       which Win32 error. */
    uint32_t failing_value, value_error;
};
QVM_ASSERT_SIZE(struct qvm_node, 60);

enum { QVM_AT_MS = 1, QVM_AT_OPEN = 2, QVM_AT_CALL = 3 };

/* A port replaced, at a time, at the nth open of a device or at the nth call of
   one kind (the call that makes the count is answered after it). */
struct qvm_change {
    uint32_t trigger;
    uint32_t counted; /* QVM_AT_OPEN: the device; QVM_AT_CALL: the call */
    uint64_t at;      /* milliseconds, or the count */
    uint32_t controller;
    uint32_t path, depth; /* port numbers (uint32 each) from the root hub down */
    uint32_t port;        /* the new port, QVM_NONE: emptied */
};
QVM_ASSERT_SIZE(struct qvm_change, 32);

enum { QVM_FAIL = 0, QVM_ACTUAL_LENGTH = 1, QVM_RAW_REPLY = 2 };

/* A planted fault: the nth matching call (0: every one) acts instead. */
struct qvm_fault {
    uint32_t call;
    uint32_t code;   /* control code, 0: any */
    uint32_t device; /* the path, or a node's device ID (ANSI); QVM_NONE: any */
    uint32_t port;   /* ConnectionIndex, 0: any */
    uint64_t size;   /* bytes asked of GlobalAlloc, 0: any */
    uint32_t nth;
    uint32_t action;
    uint32_t error;               /* QVM_FAIL: a Win32 error, or the CONFIGRET (0: CR_FAILURE) */
    uint32_t length;              /* QVM_ACTUAL_LENGTH */
    uint32_t reply, reply_length; /* QVM_RAW_REPLY */
};
QVM_ASSERT_SIZE(struct qvm_fault, 48);

#pragma pack(pop)

/* Whether a planted fault acts on a call. Each key it sets (code, port, size: not
   0; `device`: not NULL) must equal the call's value, a text byte for byte; each
   call it so matches counts in *hits, and it acts on its nth (nth 0: every one). */
int qvm_fault_acts(const struct qvm_fault *f, const char *device, uint32_t code, const char *text,
                   uint32_t port, uint64_t size, uint32_t *hits);

/* A table checked record by record, and where its sections are. */
struct qvm_view {
    const struct qvm_header *head;
    const struct qvm_controller *controllers;
    const struct qvm_device *devices;
    const struct qvm_hub *hubs;
    const struct qvm_port *ports;
    const struct qvm_node *nodes;
    const struct qvm_change *changes;
    const struct qvm_fault *faults;
    const uint8_t *pool;
};

/* The caller's state: this record, then qvm_state_size() - sizeof it bytes that
   only the model reads; all zero, then qvm_start(). Its last words count each
   fault's matching calls, so that a table made again with more faults keeps the
   state, grown by zeros. */
struct qvm_state {
    uint32_t topology;         /* changes applied so far */
    uint32_t calls[QVM_CALLS]; /* requests answered, by call */
};

/* 0 when every index and offset of the table stays inside it; the view is then set. */
int qvm_load(struct qvm_view *view, const void *table, uint32_t size);
uint32_t qvm_state_size(const struct qvm_view *view);
void qvm_start(const struct qvm_view *view, struct qvm_state *state);

/* The text at a pool offset, up to its terminator; "" for none. */
const char *qvm_text(const struct qvm_view *view, uint32_t offset);
/* The device a path opens (letters compared without regard to case), or QVM_NONE. */
uint32_t qvm_find_device(const struct qvm_view *view, const char *path);
/* Whether a device is there now (a hub's name may come and go). */
int qvm_device_present(const struct qvm_view *view, const struct qvm_state *state, uint32_t device);
/* The index-th controller of those the interface list gives, in their order, or NULL. */
const struct qvm_controller *qvm_listed(const struct qvm_view *view, uint32_t index);

struct qvm_request {
    uint32_t call;
    const char *text; /* the path opened or asked of; locate: the device ID, or none; a
                         value's name */
    uint32_t device;  /* a control code: the device its open gave */
    uint32_t code;    /* the control code; the property; the interface's index; locate's flags;
                         the open of a software key: its disposition */
    const void *in;
    uint32_t in_size;
    void *out; /* the caller's buffer: a reply, a text, a detail record */
    uint32_t out_size;
    uint32_t node;   /* the DEVINST asked about */
    uint64_t size;   /* GlobalAlloc */
    uint64_t now_ms; /* the machine's clock */
};

struct qvm_answer {
    uint32_t error;     /* 0: success; else the Win32 error, or the CONFIGRET */
    const char *misuse; /* the caller broke the platform's rules: how (the error is Windows') */
    uint32_t length;    /* bytes written to out, or the size needed; QVM_NONE: none told */
    uint32_t device;    /* an open: the device */
    uint32_t node;      /* locate and the navigation calls: the DEVINST given, 0: none */
    uint32_t data_type; /* a property or a value: REG_SZ 1 or REG_MULTI_SZ 7; 0: not told */
    uint32_t status, problem;
};

/* Answers one request and moves the state on. In and out may be one buffer: the
   input is read before the reply is written. */
void qvm_ask(const struct qvm_view *view, struct qvm_state *state,
             const struct qvm_request *request, struct qvm_answer *answer);

#ifdef __cplusplus
}
#endif

#endif
