/* What the USB stand-in driver and the programs that drive it share: the control
   device, its private control codes, what the driver counts, and the status that
   makes Wine report each Win32 error. The table the driver answers from is the
   machine model's (src/platform/model/model.h), made by make_table. */
#ifndef QUORVEX_WINE_USB_STANDIN_H
#define QUORVEX_WINE_USB_STANDIN_H

#include <stdint.h>

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

#define QVX_INTERFACE_SLOTS 10 /* root-enumerated devices that carry the interface */
#define QVX_MAX_DEVICES 256
#define QVX_MAX_TABLE (1u << 20)

#pragma pack(push, 1)
struct qvx_counts {
    uint32_t problems; /* requests the stand-in could not place */
    uint32_t held;     /* 1: the first request after the passes allowed waits */
};
#pragma pack(pop)

/* The NTSTATUS a driver completes with for Wine to report `error`; 0 for an
   error no status gives. */
static inline uint32_t qvx_status(uint32_t error) {
    switch (error) {
    case 1:
        return 0xC0000010u; /* STATUS_INVALID_DEVICE_REQUEST */
    case 2:
        return 0xC0000034u; /* STATUS_OBJECT_NAME_NOT_FOUND */
    case 5:
        return 0xC0000022u; /* STATUS_ACCESS_DENIED */
    case 8:
        return 0xC0000017u; /* STATUS_NO_MEMORY */
    case 31:
        return 0xC0000001u; /* STATUS_UNSUCCESSFUL */
    case 87:
        return 0xC000000Du; /* STATUS_INVALID_PARAMETER */
    case 122:
        return 0xC0000023u; /* STATUS_BUFFER_TOO_SMALL */
    case 1167:
        return 0xC000009Du; /* STATUS_DEVICE_NOT_CONNECTED */
    default:
        return 0;
    }
}

#endif
