/* What the USB stand-in driver and the programs that drive it share: the control
   device, its private control codes, and the table a machine description becomes.

   Every record is packed, little-endian and fixed in size, the same for the 64-bit
   driver, the Windows harness and the Linux converter; the sizes are checked where
   the header is compiled. A table is one block: the header, then the devices, the
   steps between topology states, one hub state per device and state, the ports,
   the faults, and a pool of UTF-16LE names and raw reply bytes. */
#ifndef QUORVEX_WINE_USB_STANDIN_H
#define QUORVEX_WINE_USB_STANDIN_H

#include <stdint.h>

#ifdef __cplusplus
#define QVX_ASSERT_SIZE(type, size) static_assert(sizeof(type) == (size), #type)
#else
#define QVX_ASSERT_SIZE(type, size) _Static_assert(sizeof(type) == (size), #type)
#endif

/* The control device: \\.\QuorvexUsbControl. It takes only these codes, all
   METHOD_BUFFERED on FILE_DEVICE_UNKNOWN (0x22), functions 0x800 and up. */
#define QVX_CONTROL_NAME "QuorvexUsbControl"
#define QVX_CONTROL_NAME_W L"QuorvexUsbControl"
#define QVX_CODE(function) ((0x22u << 16) | ((uint32_t)(function) << 2))
#define QVX_LOAD_TABLE QVX_CODE(0x800) /* in: a whole table; makes its devices */
#define QVX_START                                                                                  \
    QVX_CODE(0x801) /* in: the polling passes allowed (uint32, 0: any), or none;                   \
                       the clock and the counts start now */
#define QVX_GET_COUNTS QVX_CODE(0x802) /* out: qvx_counts */

#define QVX_MAGIC 0x31585651u  /* "QVX1" */
#define QVX_NONE 0xFFFFFFFFu   /* no string, no device */
#define QVX_INTERFACE_SLOTS 10 /* root-enumerated devices that carry the interface */
#define QVX_MAX_DEVICES 256
#define QVX_MAX_TABLE (1u << 20)

#pragma pack(push, 1)

struct qvx_header {
    uint32_t magic;
    uint32_t size; /* of the whole table, header included */
    uint32_t device_count;
    uint32_t state_count; /* topology states; state 0 is the start */
    uint32_t port_count;
    uint32_t fault_count;
    uint32_t pool_size;
};
QVX_ASSERT_SIZE(struct qvx_header, 28);

enum { QVX_CONTROLLER = 1, QVX_HUB = 2 };

/* A device the tool can open: a host controller (by number, by interface, or
   both) or a hub (by name, root or external). */
struct qvx_device {
    uint32_t kind;
    int32_t number;         /* controller: \\.\HCD<number>, or -1 */
    int32_t interface_slot; /* controller: 0 to 9 when the interface lists it, or -1 */
    uint32_t driver_key;    /* controller: pool offset of its driver key name */
    uint32_t root_hub;      /* controller: the device index of its root hub */
    uint32_t name;          /* hub: pool offset of its name, also its link name */
};
QVX_ASSERT_SIZE(struct qvx_device, 24);

enum { QVX_AT_MS = 1, QVX_AT_OPEN = 2 };

/* What moves the topology from state n to state n + 1. */
struct qvx_step {
    uint32_t kind;
    uint32_t device; /* QVX_AT_OPEN: the device whose opens count (by number or name) */
    uint32_t value;  /* milliseconds since QVX_START, or the count of opens */
};
QVX_ASSERT_SIZE(struct qvx_step, 12);

/* One hub in one state; index state * device_count + device. */
struct qvx_hub_state {
    uint32_t present;    /* the hub is in this state's topology */
    uint32_t port_count; /* as its hub descriptor says */
    uint32_t first_port; /* index of its first listed port in the port records */
    uint32_t ports;      /* listed ports; the others are empty */
};
QVX_ASSERT_SIZE(struct qvx_hub_state, 16);

struct qvx_port {
    uint32_t port;
    uint32_t status; /* ConnectionStatus; 0 = no device */
    uint16_t vid;
    uint16_t pid;
    uint8_t speed; /* 0 low, 1 full, 2 high */
    uint8_t legacy_only;
    uint8_t device_is_hub;
    uint8_t reserved;
    uint32_t driver_key; /* pool offset, or QVX_NONE: none, no driver yet */
    uint32_t hub_name;   /* pool offset of the external hub's name, or QVX_NONE */
};
QVX_ASSERT_SIZE(struct qvx_port, 24);

enum { QVX_DEVICE_IO_CONTROL = 1 };
enum { QVX_FAIL = 0, QVX_ACTUAL_LENGTH = 1, QVX_RAW_REPLY = 2 };

/* A planted fault: the nth matching control request (0: every one) acts instead. */
struct qvx_fault {
    uint32_t function;
    uint32_t ioctl;  /* 0: any */
    uint32_t device; /* QVX_NONE: any device, by any path */
    uint32_t port;   /* 0: any */
    uint32_t nth;
    uint32_t action;
    uint32_t status;       /* QVX_FAIL: the NTSTATUS completed */
    uint32_t length;       /* QVX_ACTUAL_LENGTH: the ActualLength stated */
    uint32_t reply;        /* QVX_RAW_REPLY: pool offset of the bytes */
    uint32_t reply_length; /* and their number */
};
QVX_ASSERT_SIZE(struct qvx_fault, 40);

struct qvx_counts {
    uint32_t problems; /* requests the stand-in could not place */
    uint32_t held;     /* 1: the first request after the passes allowed waits */
};
QVX_ASSERT_SIZE(struct qvx_counts, 8);

#pragma pack(pop)

#endif
