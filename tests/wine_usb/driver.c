/* The USB host-controller stand-in: a kernel-mode driver for Wine that answers
   the tool's USB control codes from a table the harness loads (standin.h).

   Devices: the control device (\\.\QuorvexUsbControl); per table, one device for
   each numbered controller (\\.\HCD<n>) and each hub (\\.\<hub name>); and the
   root-enumerated PnP devices, each carrying one host-controller interface that
   the table gives to a controller or switches off. Replies follow the platform's
   rules for METHOD_BUFFERED; faults and topology steps are counted as the
   emulated machine counts them. Requests arrive one at a time. A polling pass
   opens the table's first controller once (by number, or by interface if it has
   none): after the passes QVX_START allows, the next pass's first request is
   held, unanswered, for the harness to end the tool there. */
#include <ntddk.h>

#include "standin.h"

#define POOL_TAG 0x58565551 /* "QUVX" */

static const GUID host_controller_interface = {
    0x3abf6f2d, 0x71c4, 0x462a, {0x8a, 0x92, 0x1e, 0x68, 0x61, 0xe6, 0xaf, 0x27}};

enum { KIND_CONTROL = 1, KIND_TABLE = 2, KIND_SLOT = 3 };

struct extension {
    int kind;
    uint32_t device; /* KIND_TABLE: the table's device index */
    /* KIND_SLOT */
    int slot;
    DEVICE_OBJECT *lower;
    UNICODE_STRING link;
};

/* Requests that come through an interface path match only faults for any device. */
#define BY_INTERFACE (QVX_NONE - 1)

static void take_steps(uint32_t kind, uint32_t device, uint32_t value);

static DRIVER_OBJECT *driver;
static DEVICE_OBJECT *slots[QVX_INTERFACE_SLOTS];

/* The table and what it drives. */
static uint8_t *table;
static const struct qvx_header *head;
static const struct qvx_device *devices;
static const struct qvx_step *steps;
static const struct qvx_hub_state *hub_states;
static const struct qvx_port *ports;
static const struct qvx_fault *faults;
static const uint8_t *pool;
static DEVICE_OBJECT **table_devices;
static uint32_t *fault_hits;
static uint32_t *opens;
static BOOLEAN *linked;
static uint32_t state;
static ULONGLONG start_time;
static struct qvx_counts counts;
static uint32_t passes, passes_allowed; /* 0: any number */
static IRP *held;

static NTSTATUS complete(IRP *irp, NTSTATUS status, ULONG_PTR information) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

static void put16(uint8_t *r, uint32_t at, uint16_t v) {
    r[at] = (uint8_t)v;
    r[at + 1] = (uint8_t)(v >> 8);
}

static void put32(uint8_t *r, uint32_t at, uint32_t v) {
    put16(r, at, (uint16_t)v);
    put16(r, at + 2, (uint16_t)(v >> 16));
}

static uint32_t get32(const uint8_t *b) {
    return b[0] | (uint32_t)b[1] << 8 | (uint32_t)b[2] << 16 | (uint32_t)b[3] << 24;
}

/* UTF-16 units of a pool name, terminator excluded. */
static uint32_t name_units(uint32_t offset) {
    uint32_t n = 0;
    if (offset == QVX_NONE) {
        return 0;
    }
    while (offset + 2 * n + 1 < head->pool_size &&
           (pool[offset + 2 * n] != 0 || pool[offset + 2 * n + 1] != 0)) {
        ++n;
    }
    return n;
}

/* ---- the table ---------------------------------------------------------- */

/* The link a device answers to: HCD<number> or its hub name. */
static NTSTATUS link_name(uint32_t index, UNICODE_STRING *link) {
    const struct qvx_device *d = &devices[index];
    RtlAppendUnicodeToString(link, L"\\DosDevices\\");
    if (d->kind == QVX_CONTROLLER) {
        WCHAR hcd[] = L"HCD0";
        hcd[3] = (WCHAR)(L'0' + d->number);
        return RtlAppendUnicodeToString(link, hcd);
    }
    UNICODE_STRING name;
    name.Buffer = (WCHAR *)(pool + d->name);
    name.Length = name.MaximumLength = (USHORT)(2 * name_units(d->name));
    return RtlAppendUnicodeStringToString(link, &name);
}

/* Wine completes an open before the driver sees its create request, whatever
   the driver answers; so a device that is not there has no link at all. */
static NTSTATUS set_link(uint32_t index, BOOLEAN on) {
    WCHAR link_text[160], device_text[40], digits[12];
    UNICODE_STRING link, device_name, number;
    if (linked[index] == on) {
        return STATUS_SUCCESS;
    }
    RtlInitEmptyUnicodeString(&link, link_text, sizeof link_text);
    RtlInitEmptyUnicodeString(&device_name, device_text, sizeof device_text);
    RtlInitEmptyUnicodeString(&number, digits, sizeof digits);
    NTSTATUS status = link_name(index, &link);
    if (status != STATUS_SUCCESS) {
        return STATUS_NAME_TOO_LONG;
    }
    RtlAppendUnicodeToString(&device_name, L"\\Device\\QuorvexUsb");
    RtlIntegerToUnicodeString(index, 10, &number);
    RtlAppendUnicodeStringToString(&device_name, &number);
    status = on ? IoCreateSymbolicLink(&link, &device_name) : IoDeleteSymbolicLink(&link);
    if (status == STATUS_SUCCESS) {
        linked[index] = on;
    } else {
        ++counts.problems;
    }
    return status;
}

static void drop_table(void) {
    if (table == NULL) {
        return;
    }
    for (uint32_t i = 0; i < head->device_count; ++i) {
        if (table_devices[i] != NULL) {
            set_link(i, FALSE);
            IoDeleteDevice(table_devices[i]);
        }
    }
    if (held != NULL) {
        complete(held, STATUS_CANCELLED, 0);
        held = NULL;
    }
    ExFreePoolWithTag(table, POOL_TAG);
    table = NULL;
    head = NULL;
}

static NTSTATUS make_device(uint32_t index) {
    const struct qvx_device *d = &devices[index];
    WCHAR device_text[40], digits[12];
    UNICODE_STRING device_name, number;
    if (d->kind == QVX_CONTROLLER && d->number < 0) {
        return STATUS_SUCCESS; /* reached through its interface only */
    }
    RtlInitEmptyUnicodeString(&device_name, device_text, sizeof device_text);
    RtlInitEmptyUnicodeString(&number, digits, sizeof digits);
    RtlAppendUnicodeToString(&device_name, L"\\Device\\QuorvexUsb");
    RtlIntegerToUnicodeString(index, 10, &number);
    RtlAppendUnicodeStringToString(&device_name, &number);
    DEVICE_OBJECT *device;
    NTSTATUS status = IoCreateDevice(driver, sizeof(struct extension), &device_name,
                                     FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
    if (status != STATUS_SUCCESS) {
        return status;
    }
    struct extension *e = device->DeviceExtension;
    RtlZeroMemory(e, sizeof *e);
    e->kind = KIND_TABLE;
    e->device = index;
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    table_devices[index] = device;
    return set_link(index, d->kind == QVX_CONTROLLER || hub_states[index].present);
}

static BOOLEAN in_pool(uint32_t offset, uint32_t length, uint32_t pool_size) {
    return offset == QVX_NONE || (offset <= pool_size && length <= pool_size - offset);
}

/* Every index and pool offset of a table stays inside it. */
static BOOLEAN table_in_range(const uint8_t *data, const struct qvx_header *h) {
    const struct qvx_device *d = (const struct qvx_device *)(data + sizeof *h);
    const struct qvx_step *st = (const struct qvx_step *)(d + h->device_count);
    const struct qvx_hub_state *hs = (const struct qvx_hub_state *)(st + (h->state_count - 1));
    const struct qvx_port *p = (const struct qvx_port *)(hs + h->state_count * h->device_count);
    const struct qvx_fault *f = (const struct qvx_fault *)(p + h->port_count);
    for (uint32_t i = 0; i < h->device_count; ++i) {
        if (d[i].kind == QVX_CONTROLLER
                ? d[i].number > 9 || d[i].interface_slot >= QVX_INTERFACE_SLOTS ||
                      d[i].root_hub >= h->device_count || d[i].driver_key == QVX_NONE ||
                      !in_pool(d[i].driver_key, 2, h->pool_size)
                : d[i].kind != QVX_HUB || d[i].name == QVX_NONE ||
                      !in_pool(d[i].name, 2, h->pool_size)) {
            return FALSE;
        }
    }
    for (uint32_t i = 0; i + 1 < h->state_count; ++i) {
        if (st[i].kind == QVX_AT_OPEN && st[i].device >= h->device_count) {
            return FALSE;
        }
    }
    for (uint32_t i = 0; i < h->state_count * h->device_count; ++i) {
        if (hs[i].first_port > h->port_count || hs[i].ports > h->port_count - hs[i].first_port) {
            return FALSE;
        }
    }
    for (uint32_t i = 0; i < h->port_count; ++i) {
        if (!in_pool(p[i].driver_key, 2, h->pool_size) ||
            !in_pool(p[i].hub_name, 2, h->pool_size)) {
            return FALSE;
        }
    }
    for (uint32_t i = 0; i < h->fault_count; ++i) {
        if (f[i].action == QVX_RAW_REPLY && !in_pool(f[i].reply, f[i].reply_length, h->pool_size)) {
            return FALSE;
        }
    }
    return TRUE;
}

/* Takes a table (checked record by record) and makes its devices. */
static NTSTATUS load_table(const uint8_t *data, ULONG size) {
    const struct qvx_header *h = (const struct qvx_header *)data;
    if (size < sizeof *h || h->magic != QVX_MAGIC || h->size != size || size > QVX_MAX_TABLE ||
        h->device_count > QVX_MAX_DEVICES || h->state_count == 0 || h->state_count > 4096) {
        return STATUS_INVALID_PARAMETER;
    }
    const ULONGLONG need =
        sizeof *h + (ULONGLONG)h->device_count * sizeof(struct qvx_device) +
        (ULONGLONG)(h->state_count - 1) * sizeof(struct qvx_step) +
        (ULONGLONG)h->state_count * h->device_count * sizeof(struct qvx_hub_state) +
        (ULONGLONG)h->port_count * sizeof(struct qvx_port) +
        (ULONGLONG)h->fault_count * sizeof(struct qvx_fault) + h->pool_size;
    if (need != size) {
        return STATUS_INVALID_PARAMETER;
    }
    if (!table_in_range(data, h)) {
        return STATUS_INVALID_PARAMETER;
    }
    drop_table();
    const SIZE_T extra =
        h->device_count * (sizeof(DEVICE_OBJECT *) + sizeof(uint32_t) + sizeof(BOOLEAN)) +
        h->fault_count * sizeof(uint32_t);
    table = ExAllocatePoolWithTag(NonPagedPool, size + extra, POOL_TAG);
    if (table == NULL) {
        return STATUS_NO_MEMORY;
    }
    RtlCopyMemory(table, data, size);
    RtlZeroMemory(table + size, extra);
    head = (const struct qvx_header *)table;
    devices = (const struct qvx_device *)(table + sizeof *head);
    steps = (const struct qvx_step *)(devices + head->device_count);
    hub_states = (const struct qvx_hub_state *)(steps + (head->state_count - 1));
    ports = (const struct qvx_port *)(hub_states + head->state_count * head->device_count);
    faults = (const struct qvx_fault *)(ports + head->port_count);
    pool = (const uint8_t *)(faults + head->fault_count);
    table_devices = (DEVICE_OBJECT **)(table + size);
    opens = (uint32_t *)(table_devices + head->device_count);
    fault_hits = opens + head->device_count;
    linked = (BOOLEAN *)(fault_hits + head->fault_count);
    state = 0;
    passes = 0;
    RtlZeroMemory(&counts, sizeof counts);

    NTSTATUS status = STATUS_SUCCESS;
    for (uint32_t i = 0; i < head->device_count && status == STATUS_SUCCESS; ++i) {
        status = make_device(i);
    }
    for (int s = 0; s < QVX_INTERFACE_SLOTS; ++s) {
        if (slots[s] != NULL) {
            BOOLEAN used = FALSE;
            for (uint32_t i = 0; i < head->device_count; ++i) {
                used =
                    used || (devices[i].kind == QVX_CONTROLLER && devices[i].interface_slot == s);
            }
            IoSetDeviceInterfaceState(&((struct extension *)slots[s]->DeviceExtension)->link, used);
        }
    }
    if (status != STATUS_SUCCESS) {
        drop_table();
    }
    return status;
}

/* ---- topology, counts and faults --------------------------------------- */

/* The clock comes from the performance counter: the shared-data page that
   KeQueryInterruptTime reads is not mapped where Wine runs drivers. */
static ULONGLONG now_ms(void) {
    LARGE_INTEGER frequency;
    const LARGE_INTEGER ticks = KeQueryPerformanceCounter(&frequency);
    return frequency.QuadPart > 0 ? (ULONGLONG)ticks.QuadPart * 1000 / frequency.QuadPart : 0;
}

static ULONGLONG elapsed_ms(void) {
    return now_ms() - start_time;
}

static void take_steps(uint32_t kind, uint32_t device, uint32_t value) {
    while (state + 1 < head->state_count) {
        const struct qvx_step *s = &steps[state];
        if (s->kind != kind || (kind == QVX_AT_MS && s->value > value) ||
            (kind == QVX_AT_OPEN && (s->device != device || s->value != value))) {
            return;
        }
        ++state;
        for (uint32_t i = 0; i < head->device_count; ++i) {
            if (devices[i].kind == QVX_HUB) {
                set_link(i, hub_states[state * head->device_count + i].present != 0);
            }
        }
    }
}

static const struct qvx_hub_state *hub_now(uint32_t device) {
    const struct qvx_hub_state *h = &hub_states[state * head->device_count + device];
    return h->present ? h : NULL;
}

/* The fault planted for this call, if one is due (every matching fault counts). */
static const struct qvx_fault *take_fault(uint32_t function, uint32_t code, uint32_t device,
                                          uint32_t port) {
    const struct qvx_fault *hit = NULL;
    for (uint32_t i = 0; i < head->fault_count; ++i) {
        const struct qvx_fault *f = &faults[i];
        if (f->function != function || (f->ioctl != 0 && f->ioctl != code) ||
            (f->device != QVX_NONE && f->device != device) || (f->port != 0 && f->port != port)) {
            continue;
        }
        ++fault_hits[i];
        if (hit == NULL && (f->nth == 0 || f->nth == fault_hits[i])) {
            hit = f;
        }
    }
    return hit;
}

/* The table device a request is for: by number or name, or through a slot. */
static BOOLEAN target_of(DEVICE_OBJECT *device, uint32_t *index, BOOLEAN *by_interface) {
    const struct extension *e = device->DeviceExtension;
    *by_interface = FALSE;
    if (table == NULL) {
        return FALSE;
    }
    if (e->kind == KIND_TABLE) {
        *index = e->device;
        return TRUE;
    }
    if (e->kind == KIND_SLOT) {
        for (uint32_t i = 0; i < head->device_count; ++i) {
            if (devices[i].kind == QVX_CONTROLLER && devices[i].interface_slot == e->slot) {
                *index = i;
                *by_interface = TRUE;
                return TRUE;
            }
        }
    }
    return FALSE;
}

/* ---- replies ------------------------------------------------------------ */

#define IOCTL_ROOT_HUB_NAME 0x220408u    /* to a host controller */
#define IOCTL_NODE_INFORMATION 0x220408u /* to a hub */
#define IOCTL_HCD_DRIVERKEY_NAME 0x220424u
#define IOCTL_CONNECTION_NAME 0x220414u
#define IOCTL_CONNECTION_DRIVERKEY_NAME 0x220420u
#define IOCTL_CONNECTION_INFORMATION 0x22040Cu
#define IOCTL_CONNECTION_INFORMATION_EX 0x220448u

#define REPLY_ROOM 1024

/* The reply goes out as far as the caller's buffer holds it. */
static NTSTATUS deliver(IRP *irp, const uint8_t *reply, ULONG length, ULONG out_size) {
    const ULONG n = length < out_size ? length : out_size;
    RtlCopyMemory(irp->AssociatedIrp.SystemBuffer, reply, n);
    return complete(irp, STATUS_SUCCESS, n);
}

/* A name reply: ConnectionIndex where the record has one, ActualLength (the
   whole reply unless a fault states another), the UTF-16 name and terminator. */
static NTSTATUS name_reply(IRP *irp, BOOLEAN with_index, uint32_t index, uint32_t name,
                           const struct qvx_fault *f, ULONG out_size) {
    uint8_t reply[REPLY_ROOM];
    const uint32_t fixed = with_index ? 8 : 4;
    uint32_t units = name_units(name);
    if (fixed + 2 * (units + 1) > sizeof reply) {
        units = (sizeof reply - fixed) / 2 - 1;
    }
    const uint32_t length = fixed + 2 * (units + 1);
    RtlZeroMemory(reply, length);
    if (with_index) {
        put32(reply, 0, index);
    }
    put32(reply, fixed - 4, f != NULL && f->action == QVX_ACTUAL_LENGTH ? f->length : length);
    if (units > 0) {
        RtlCopyMemory(reply + fixed, pool + name, 2 * units);
    }
    return deliver(irp, reply, length, out_size);
}

static const struct qvx_port *listed_port(const struct qvx_hub_state *h, uint32_t number) {
    for (uint32_t i = 0; i < h->ports; ++i) {
        if (ports[h->first_port + i].port == number) {
            return &ports[h->first_port + i];
        }
    }
    return NULL;
}

static NTSTATUS node_information(IRP *irp, const struct qvx_hub_state *h, ULONG out_size) {
    uint8_t r[76];
    if (out_size < sizeof r) {
        return complete(irp, STATUS_BUFFER_TOO_SMALL, 0);
    }
    RtlZeroMemory(r, sizeof r);
    r[4] = 9;    /* bDescriptorLength */
    r[5] = 0x29; /* hub descriptor */
    r[6] = (uint8_t)h->port_count;
    put16(r, 7, 0x0009); /* per-port power switching and overcurrent */
    r[9] = 50;           /* bPowerOnToPowerGood */
    return deliver(irp, r, sizeof r, out_size);
}

/* USB_NODE_CONNECTION_INFORMATION(_EX) without pipes; the older record has a
   LowSpeed flag where the newer one has Speed. */
static NTSTATUS connection_information(IRP *irp, uint32_t index, const struct qvx_port *p,
                                       BOOLEAN older, ULONG out_size) {
    uint8_t r[35];
    RtlZeroMemory(r, sizeof r);
    put32(r, 0, index);
    if (p != NULL) {
        r[4] = 18;
        r[5] = 1;
        put16(r, 6, p->speed == 2 ? 0x0200 : 0x0110);
        r[8] = p->device_is_hub ? 9 : 0;
        r[11] = p->speed == 0 ? 8 : 64;
        put16(r, 12, p->vid);
        put16(r, 14, p->pid);
        put16(r, 16, 0x0100);
        r[18] = 1;
        r[19] = 2;
        r[21] = 1;
        r[22] = p->status == 1 ? 1 : 0;
        r[23] = older ? (p->speed == 0 ? 1 : 0) : p->speed;
        r[24] = p->device_is_hub ? 1 : 0;
        put16(r, 25, (uint16_t)(p->port + 1));
        put32(r, 31, p->status);
    }
    return deliver(irp, r, sizeof r, out_size);
}

static NTSTATUS controller_request(IRP *irp, const struct qvx_device *c, uint32_t code,
                                   const struct qvx_fault *f, ULONG out_size) {
    if (code != IOCTL_ROOT_HUB_NAME && code != IOCTL_HCD_DRIVERKEY_NAME) {
        return complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    }
    if (out_size < 6) {
        return complete(irp, STATUS_BUFFER_TOO_SMALL, 0);
    }
    const uint32_t name = code == IOCTL_ROOT_HUB_NAME ? devices[c->root_hub].name : c->driver_key;
    return name_reply(irp, FALSE, 0, name, f, out_size);
}

static NTSTATUS hub_request(IRP *irp, const struct qvx_hub_state *h, uint32_t code,
                            const struct qvx_fault *f, ULONG in_size, ULONG out_size) {
    if (code == IOCTL_NODE_INFORMATION) {
        return node_information(irp, h, out_size);
    }
    ULONG record_size;
    if (code == IOCTL_CONNECTION_NAME || code == IOCTL_CONNECTION_DRIVERKEY_NAME) {
        record_size = 10;
    } else if (code == IOCTL_CONNECTION_INFORMATION || code == IOCTL_CONNECTION_INFORMATION_EX) {
        record_size = 35;
    } else {
        return complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    }
    if (in_size < record_size || out_size < record_size) {
        return complete(irp, STATUS_BUFFER_TOO_SMALL, 0);
    }
    const uint32_t index = get32(irp->AssociatedIrp.SystemBuffer);
    if (index == 0 || index > h->port_count) {
        return complete(irp, STATUS_INVALID_PARAMETER, 0);
    }
    const struct qvx_port *p = listed_port(h, index);
    if (code == IOCTL_CONNECTION_INFORMATION || code == IOCTL_CONNECTION_INFORMATION_EX) {
        /* A port speaks the newer query or, when marked so, only the older one. */
        const BOOLEAN legacy = p != NULL && p->legacy_only;
        if (legacy != (code == IOCTL_CONNECTION_INFORMATION)) {
            return complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
        }
        return connection_information(irp, index, p, legacy, out_size);
    }
    if (code == IOCTL_CONNECTION_NAME) {
        return name_reply(irp, TRUE, index, p != NULL ? p->hub_name : QVX_NONE, f, out_size);
    }
    if (p == NULL || p->status == 0) {
        return complete(irp, STATUS_INVALID_PARAMETER, 0); /* no device, so no driver */
    }
    if (p->driver_key == QVX_NONE && (f == NULL || f->action != QVX_ACTUAL_LENGTH)) {
        return complete(irp, STATUS_OBJECT_NAME_NOT_FOUND, 0); /* no driver yet: error 2 */
    }
    return name_reply(irp, TRUE, index, p->driver_key, f, out_size);
}

/* ---- dispatch ----------------------------------------------------------- */

static NTSTATUS control_request(IRP *irp, uint32_t code, ULONG in_size, ULONG out_size) {
    uint8_t *buffer = irp->AssociatedIrp.SystemBuffer;
    if (code == QVX_LOAD_TABLE) {
        return complete(irp, load_table(buffer, in_size), 0);
    }
    if (code == QVX_START) {
        if (table == NULL) {
            return complete(irp, STATUS_DEVICE_NOT_READY, 0);
        }
        start_time = now_ms();
        passes_allowed = in_size >= 4 ? get32(buffer) : 0;
        return complete(irp, STATUS_SUCCESS, 0);
    }
    if (code == QVX_GET_COUNTS) {
        if (table == NULL) {
            return complete(irp, STATUS_DEVICE_NOT_READY, 0);
        }
        if (out_size < sizeof counts) {
            return complete(irp, STATUS_BUFFER_TOO_SMALL, 0);
        }
        RtlCopyMemory(buffer, &counts, sizeof counts);
        return complete(irp, STATUS_SUCCESS, sizeof counts);
    }
    return complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
}

static NTSTATUS WINAPI dispatch_create(DEVICE_OBJECT *device, IRP *irp) {
    const struct extension *e = device->DeviceExtension;
    uint32_t index;
    BOOLEAN by_interface;
    if (e->kind == KIND_CONTROL) {
        return complete(irp, STATUS_SUCCESS, 0);
    }
    if (!target_of(device, &index, &by_interface)) {
        return complete(irp, STATUS_OBJECT_NAME_NOT_FOUND, 0);
    }
    take_steps(QVX_AT_MS, 0, (uint32_t)elapsed_ms());
    if (!by_interface) {
        take_steps(QVX_AT_OPEN, index, ++opens[index]);
    }
    passes += index == 0 && by_interface == (devices[0].number < 0);
    return complete(irp, STATUS_SUCCESS, 0);
}

static NTSTATUS WINAPI dispatch_close(DEVICE_OBJECT *device, IRP *irp) {
    (void)device;
    return complete(irp, STATUS_SUCCESS, 0);
}

static NTSTATUS WINAPI dispatch_control(DEVICE_OBJECT *device, IRP *irp) {
    const struct extension *e = device->DeviceExtension;
    const IO_STACK_LOCATION *stack = IoGetCurrentIrpStackLocation(irp);
    const uint32_t code = stack->Parameters.DeviceIoControl.IoControlCode;
    const ULONG in_size = stack->Parameters.DeviceIoControl.InputBufferLength;
    const ULONG out_size = stack->Parameters.DeviceIoControl.OutputBufferLength;
    uint32_t index;
    BOOLEAN by_interface;
    if (e->kind == KIND_CONTROL) {
        return control_request(irp, code, in_size, out_size);
    }
    if (!target_of(device, &index, &by_interface)) {
        ++counts.problems;
        return complete(irp, STATUS_DEVICE_NOT_CONNECTED, 0);
    }
    if (passes_allowed != 0 && passes > passes_allowed && held == NULL) {
        held = irp;
        counts.held = 1;
        IoMarkIrpPending(irp);
        return STATUS_PENDING;
    }
    take_steps(QVX_AT_MS, 0, (uint32_t)elapsed_ms());
    const struct qvx_device *d = &devices[index];
    const struct qvx_hub_state *h = d->kind == QVX_HUB ? hub_now(index) : NULL;
    if (d->kind == QVX_HUB && h == NULL) {
        return complete(irp, STATUS_DEVICE_NOT_CONNECTED, 0); /* taken away by a change */
    }
    const uint32_t port = in_size >= 4 ? get32(irp->AssociatedIrp.SystemBuffer) : 0;
    const struct qvx_fault *f =
        take_fault(QVX_DEVICE_IO_CONTROL, code, by_interface ? BY_INTERFACE : index, port);
    if (f != NULL && f->action == QVX_FAIL) {
        return complete(irp, f->status, 0);
    }
    if (f != NULL && f->action == QVX_RAW_REPLY) {
        return deliver(irp, pool + f->reply, f->reply_length, out_size);
    }
    if (d->kind == QVX_CONTROLLER) {
        return controller_request(irp, d, code, f, out_size);
    }
    return hub_request(irp, h, code, f, in_size, out_size);
}

/* ---- PnP: the interface slots ------------------------------------------- */

/* The slot is the instance number the harness gave the root device
   (ROOT\QUORVEX_HC\<nnnn>, decimal), read from the interface's link name. */
static int slot_of(const UNICODE_STRING *link) {
    const USHORT units = link->Length / sizeof(WCHAR);
    for (USHORT i = 0; i + 1 < units; ++i) {
        if (link->Buffer[i] == L'#' && link->Buffer[i + 1] == L'{' && i >= 4) {
            int slot = 0;
            for (USHORT k = i - 4; k < i; ++k) {
                const WCHAR digit = link->Buffer[k];
                if (digit < L'0' || digit > L'9') {
                    return -1;
                }
                slot = slot * 10 + (digit - L'0');
            }
            return slot < QVX_INTERFACE_SLOTS ? slot : -1;
        }
    }
    return -1;
}

static NTSTATUS WINAPI add_device(DRIVER_OBJECT *owner, DEVICE_OBJECT *pdo) {
    DEVICE_OBJECT *fdo;
    NTSTATUS status =
        IoCreateDevice(owner, sizeof(struct extension), NULL, FILE_DEVICE_UNKNOWN, 0, FALSE, &fdo);
    if (status != STATUS_SUCCESS) {
        return status;
    }
    struct extension *e = fdo->DeviceExtension;
    RtlZeroMemory(e, sizeof *e);
    e->kind = KIND_SLOT;
    e->lower = IoAttachDeviceToDeviceStack(fdo, pdo);
    status = IoRegisterDeviceInterface(pdo, &host_controller_interface, NULL, &e->link);
    e->slot = status == STATUS_SUCCESS ? slot_of(&e->link) : -1;
    if (e->slot >= 0 && slots[e->slot] == NULL) {
        slots[e->slot] = fdo;
    } else {
        ++counts.problems;
    }
    fdo->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

static NTSTATUS WINAPI dispatch_pnp(DEVICE_OBJECT *device, IRP *irp) {
    struct extension *e = device->DeviceExtension;
    const IO_STACK_LOCATION *stack = IoGetCurrentIrpStackLocation(irp);
    if (e->kind != KIND_SLOT) {
        return complete(irp, STATUS_NOT_SUPPORTED, 0);
    }
    if (stack->MinorFunction == IRP_MN_START_DEVICE) {
        /* Listed until a table says whether a controller takes the slot. */
        IoSetDeviceInterfaceState(&e->link, TRUE);
        irp->IoStatus.Status = STATUS_SUCCESS;
    } else if (stack->MinorFunction == IRP_MN_REMOVE_DEVICE) {
        DEVICE_OBJECT *lower = e->lower;
        IoSetDeviceInterfaceState(&e->link, FALSE);
        if (e->slot >= 0 && slots[e->slot] == device) {
            slots[e->slot] = NULL;
        }
        RtlFreeUnicodeString(&e->link);
        irp->IoStatus.Status = STATUS_SUCCESS;
        IoSkipCurrentIrpStackLocation(irp);
        const NTSTATUS status = IoCallDriver(lower, irp);
        IoDetachDevice(lower);
        IoDeleteDevice(device);
        return status;
    } else if (stack->MinorFunction == IRP_MN_SURPRISE_REMOVAL ||
               stack->MinorFunction == IRP_MN_QUERY_REMOVE_DEVICE ||
               stack->MinorFunction == IRP_MN_STOP_DEVICE) {
        irp->IoStatus.Status = STATUS_SUCCESS;
    }
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(e->lower, irp);
}

/* ---- load and unload ---------------------------------------------------- */

static void WINAPI unload(DRIVER_OBJECT *owner) {
    UNICODE_STRING link;
    drop_table();
    RtlInitUnicodeString(&link, L"\\DosDevices\\" QVX_CONTROL_NAME_W);
    IoDeleteSymbolicLink(&link);
    DEVICE_OBJECT *device = owner->DeviceObject;
    while (device != NULL) {
        DEVICE_OBJECT *next = device->NextDevice;
        if (((struct extension *)device->DeviceExtension)->kind == KIND_CONTROL) {
            IoDeleteDevice(device);
        }
        device = next;
    }
}

NTSTATUS WINAPI DriverEntry(DRIVER_OBJECT *owner, UNICODE_STRING *registry_path) {
    UNICODE_STRING name, link;
    DEVICE_OBJECT *control;
    (void)registry_path;
    driver = owner;
    owner->MajorFunction[IRP_MJ_CREATE] = dispatch_create;
    owner->MajorFunction[IRP_MJ_CLOSE] = dispatch_close;
    owner->MajorFunction[IRP_MJ_DEVICE_CONTROL] = dispatch_control;
    owner->MajorFunction[IRP_MJ_PNP] = dispatch_pnp;
    owner->DriverExtension->AddDevice = add_device;
    owner->DriverUnload = unload;
    RtlInitUnicodeString(&name, L"\\Device\\" QVX_CONTROL_NAME_W);
    RtlInitUnicodeString(&link, L"\\DosDevices\\" QVX_CONTROL_NAME_W);
    NTSTATUS status = IoCreateDevice(owner, sizeof(struct extension), &name, FILE_DEVICE_UNKNOWN, 0,
                                     FALSE, &control);
    if (status != STATUS_SUCCESS) {
        return status;
    }
    ((struct extension *)control->DeviceExtension)->kind = KIND_CONTROL;
    control->Flags &= ~DO_DEVICE_INITIALIZING;
    return IoCreateSymbolicLink(&link, &name);
}
