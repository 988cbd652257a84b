/* The USB host-controller stand-in: a kernel-mode driver for Wine that answers
   the tool's USB control codes from the machine model (src/platform/model/), on
   a table the harness loads (make_table makes it from a machine description).

   Devices: the control device (\\.\QuorvexUsbControl); per table, one device for
   each numbered controller (\\.\HCD<n>) and each hub name (\\.\<hub name>),
   linked while the topology holds it; and the root-enumerated PnP devices, each
   carrying one host-controller interface that the table gives to a controller or
   switches off. Requests arrive one at a time. A polling pass opens the table's
   first controller once (by number, or by interface if it has none): after the
   passes QVX_START allows, the next pass's first request is held, unanswered, for
   the harness to end the tool there. */
#include <ntddk.h>

#include "platform/model/model.h"
#include "standin.h"

#define POOL_TAG 0x58565551 /* "QUVX" */

static const GUID host_controller_interface = {
    0x3abf6f2d, 0x71c4, 0x462a, {0x8a, 0x92, 0x1e, 0x68, 0x61, 0xe6, 0xaf, 0x27}};

enum { KIND_CONTROL = 1, KIND_TABLE = 2, KIND_SLOT = 3 };

struct extension {
    int kind;
    uint32_t device; /* KIND_TABLE: the model's device */
    /* KIND_SLOT */
    int slot;
    DEVICE_OBJECT *lower;
    UNICODE_STRING link;
};

static DRIVER_OBJECT *driver;
static DEVICE_OBJECT *control_device;
static DEVICE_OBJECT *slots[QVX_INTERFACE_SLOTS];

/* The table, the model's state, and what they drive. */
static uint8_t *table;
static struct qvm_view view;
static struct qvm_state *machine;
static uint32_t topology;
static DEVICE_OBJECT *table_devices[QVX_MAX_DEVICES];
static BOOLEAN linked[QVX_MAX_DEVICES];
static uint32_t first_controller; /* the device a pass opens first */
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

/* ---- the table ---------------------------------------------------------- */

/* A device's path, \\.\HCD<n> or \\.\<hub name>, past its \\.\: its link name. */
static const char *link_of(uint32_t index) {
    const char *path = qvm_text(&view, view.devices[index].path);
    return path[0] == '\\' && path[1] == '\\' && path[2] == '.' && path[3] == '\\' ? path + 4
                                                                                   : NULL;
}

/* Wine completes an open before the driver sees its create request, whatever
   the driver answers; so a device that is not there has no link at all. */
static NTSTATUS set_link(uint32_t index, BOOLEAN on) {
    WCHAR link_text[160], device_text[40], digits[12];
    UNICODE_STRING link, device_name, number;
    const char *name = link_of(index);
    if (linked[index] == on) {
        return STATUS_SUCCESS;
    }
    RtlInitEmptyUnicodeString(&link, link_text, sizeof link_text);
    RtlInitEmptyUnicodeString(&device_name, device_text, sizeof device_text);
    RtlInitEmptyUnicodeString(&number, digits, sizeof digits);
    RtlAppendUnicodeToString(&link, L"\\DosDevices\\");
    for (; *name != '\0' && link.Length + 2 < link.MaximumLength; ++name) {
        link.Buffer[link.Length / 2] = (WCHAR)(unsigned char)*name; /* printable ASCII */
        link.Length += 2;
    }
    if (*name != '\0') {
        return STATUS_NAME_TOO_LONG;
    }
    RtlAppendUnicodeToString(&device_name, L"\\Device\\QuorvexUsb");
    RtlIntegerToUnicodeString(index, 10, &number);
    RtlAppendUnicodeStringToString(&device_name, &number);
    NTSTATUS status = on ? IoCreateSymbolicLink(&link, &device_name) : IoDeleteSymbolicLink(&link);
    if (status == STATUS_SUCCESS) {
        linked[index] = on;
    } else {
        ++counts.problems;
    }
    return status;
}

/* After a request that changed the topology: a hub is linked while it is there. */
static void follow_topology(void) {
    if (machine->topology == topology) {
        return;
    }
    topology = machine->topology;
    for (uint32_t i = 0; i < view.head->devices; ++i) {
        if (table_devices[i] != NULL) {
            set_link(i, (BOOLEAN)qvm_device_present(&view, machine, i));
        }
    }
}

static void drop_table(void) {
    if (table == NULL) {
        return;
    }
    for (uint32_t i = 0; i < view.head->devices; ++i) {
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
}

static NTSTATUS make_device(uint32_t index) {
    WCHAR device_text[40], digits[12];
    UNICODE_STRING device_name, number;
    if (link_of(index) == NULL) {
        return STATUS_SUCCESS; /* an interface path: reached through its slot */
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
    return set_link(index, (BOOLEAN)qvm_device_present(&view, machine, index));
}

/* The interface path of the slot-th controller the interface list gives. */
static const char *slot_path(int slot) {
    const struct qvm_controller *c = qvm_listed(&view, (uint32_t)slot);
    return c != NULL ? qvm_text(&view, c->interface_path) : NULL;
}

/* The device a pass opens the table's first controller by: its number, or else
   its interface. */
static uint32_t first_opened(void) {
    uint32_t found = QVM_NONE;
    for (uint32_t i = 0; i < view.head->devices; ++i) {
        if (view.devices[i].kind == QVM_CONTROLLER && view.devices[i].controller == 0 &&
            (found == QVM_NONE || link_of(i) != NULL)) {
            found = i;
        }
    }
    return found;
}

/* Takes a table that the model finds whole, starts the model on it and makes
   its devices. */
static NTSTATUS load_table(const uint8_t *data, ULONG size) {
    struct qvm_view checked;
    if (size > QVX_MAX_TABLE || qvm_load(&checked, data, size) != 0 ||
        checked.head->devices > QVX_MAX_DEVICES) {
        return STATUS_INVALID_PARAMETER;
    }
    drop_table();
    const SIZE_T at = (size + 7) & ~(SIZE_T)7, state = qvm_state_size(&checked);
    table = ExAllocatePoolWithTag(NonPagedPool, at + state, POOL_TAG);
    if (table == NULL) {
        return STATUS_NO_MEMORY;
    }
    RtlCopyMemory(table, data, size);
    qvm_load(&view, table, size);
    machine = (struct qvm_state *)(table + at);
    qvm_start(&view, machine);
    topology = machine->topology;
    RtlZeroMemory(table_devices, sizeof table_devices);
    RtlZeroMemory(linked, sizeof linked);
    first_controller = first_opened();
    passes = 0;
    RtlZeroMemory(&counts, sizeof counts);

    NTSTATUS status = STATUS_SUCCESS;
    for (uint32_t i = 0; i < view.head->devices && status == STATUS_SUCCESS; ++i) {
        status = make_device(i);
    }
    for (int s = 0; s < QVX_INTERFACE_SLOTS; ++s) {
        if (slots[s] != NULL) {
            IoSetDeviceInterfaceState(&((struct extension *)slots[s]->DeviceExtension)->link,
                                      slot_path(s) != NULL);
        }
    }
    if (status != STATUS_SUCCESS) {
        drop_table();
    }
    return status;
}

/* ---- requests ----------------------------------------------------------- */

/* The clock comes from the performance counter: the shared-data page that
   KeQueryInterruptTime reads is not mapped where Wine runs drivers. */
static ULONGLONG now_ms(void) {
    LARGE_INTEGER frequency;
    const LARGE_INTEGER ticks = KeQueryPerformanceCounter(&frequency);
    return frequency.QuadPart > 0 ? (ULONGLONG)ticks.QuadPart * 1000 / frequency.QuadPart : 0;
}

/* The model's device a request is for: by number or name, or through a slot. */
static uint32_t target_of(DEVICE_OBJECT *device) {
    const struct extension *e = device->DeviceExtension;
    if (table == NULL || (e->kind != KIND_TABLE && e->kind != KIND_SLOT)) {
        return QVM_NONE;
    }
    return e->kind == KIND_TABLE ? e->device : qvm_find_device(&view, slot_path(e->slot));
}

/* Puts a request to the model as the device's own path asks it. */
static void ask(uint32_t call, uint32_t device, IRP *irp, struct qvm_answer *a) {
    const IO_STACK_LOCATION *stack = IoGetCurrentIrpStackLocation(irp);
    struct qvm_request r;
    RtlZeroMemory(&r, sizeof r);
    r.call = call;
    r.text = qvm_text(&view, view.devices[device].path);
    r.device = device;
    if (call == QVM_DEVICE_IO_CONTROL) {
        r.code = stack->Parameters.DeviceIoControl.IoControlCode;
        r.in = r.out = irp->AssociatedIrp.SystemBuffer;
        r.in_size = stack->Parameters.DeviceIoControl.InputBufferLength;
        r.out_size = stack->Parameters.DeviceIoControl.OutputBufferLength;
    }
    r.now_ms = now_ms() - start_time;
    qvm_ask(&view, machine, &r, a);
    follow_topology();
}

/* ---- dispatch ----------------------------------------------------------- */

static NTSTATUS control_request(IRP *irp, uint32_t code, ULONG in_size, ULONG out_size) {
    uint8_t *buffer = irp->AssociatedIrp.SystemBuffer;
    if (code == QVX_LOAD_TABLE) {
        return complete(irp, load_table(buffer, in_size), 0);
    }
    if (code != QVX_START && code != QVX_GET_COUNTS) {
        return complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    }
    if (table == NULL) {
        return complete(irp, STATUS_DEVICE_NOT_READY, 0);
    }
    if (code == QVX_START) {
        start_time = now_ms();
        passes_allowed = in_size >= 4 ? *(const uint32_t *)buffer : 0;
        return complete(irp, STATUS_SUCCESS, 0);
    }
    if (out_size < sizeof counts) {
        return complete(irp, STATUS_BUFFER_TOO_SMALL, 0);
    }
    RtlCopyMemory(buffer, &counts, sizeof counts);
    return complete(irp, STATUS_SUCCESS, sizeof counts);
}

/* Wine has opened the device already; the model counts the open. */
static NTSTATUS WINAPI dispatch_create(DEVICE_OBJECT *device, IRP *irp) {
    const struct extension *e = device->DeviceExtension;
    struct qvm_answer a;
    if (e->kind == KIND_CONTROL) {
        return complete(irp, STATUS_SUCCESS, 0);
    }
    const uint32_t index = target_of(device);
    if (index == QVM_NONE) {
        return complete(irp, STATUS_OBJECT_NAME_NOT_FOUND, 0);
    }
    ask(QVM_CREATE_FILE, index, irp, &a);
    passes += index == first_controller;
    return complete(irp, STATUS_SUCCESS, 0);
}

static NTSTATUS WINAPI dispatch_close(DEVICE_OBJECT *device, IRP *irp) {
    (void)device;
    return complete(irp, STATUS_SUCCESS, 0);
}

static NTSTATUS WINAPI dispatch_control(DEVICE_OBJECT *device, IRP *irp) {
    const struct extension *e = device->DeviceExtension;
    const IO_STACK_LOCATION *stack = IoGetCurrentIrpStackLocation(irp);
    struct qvm_answer a;
    if (e->kind == KIND_CONTROL) {
        return control_request(irp, stack->Parameters.DeviceIoControl.IoControlCode,
                               stack->Parameters.DeviceIoControl.InputBufferLength,
                               stack->Parameters.DeviceIoControl.OutputBufferLength);
    }
    const uint32_t index = target_of(device);
    if (index == QVM_NONE) {
        ++counts.problems;
        return complete(irp, STATUS_DEVICE_NOT_CONNECTED, 0);
    }
    if (passes_allowed != 0 && passes > passes_allowed && held == NULL) {
        held = irp;
        counts.held = 1;
        IoMarkIrpPending(irp);
        return STATUS_PENDING;
    }
    ask(QVM_DEVICE_IO_CONTROL, index, irp, &a);
    if (a.error == 0) {
        return complete(irp, STATUS_SUCCESS, a.length);
    }
    const NTSTATUS status = (NTSTATUS)qvx_status(a.error);
    counts.problems += status == 0; /* an error no status gives */
    return complete(irp, status != 0 ? status : STATUS_UNSUCCESSFUL, 0);
}

/* ---- PnP: the interface slots ------------------------------------------- */

/* The slot is the instance number the harness gave the root device
   (ROOT\QUORVEX_HC\<nnnn>, decimal), read from the interface's link name. */
static int slot_of(const UNICODE_STRING *link) {
    const USHORT units = link->Length / sizeof(WCHAR);
    for (USHORT i = 4; i + 1 < units; ++i) {
        if (link->Buffer[i] == L'#' && link->Buffer[i + 1] == L'{') {
            int slot = 0;
            for (USHORT k = i - 4; k < i && slot >= 0; ++k) {
                const WCHAR digit = link->Buffer[k];
                slot = digit >= L'0' && digit <= L'9' ? slot * 10 + (digit - L'0') : -1;
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
    const UCHAR minor = IoGetCurrentIrpStackLocation(irp)->MinorFunction;
    if (e->kind != KIND_SLOT) {
        return complete(irp, STATUS_NOT_SUPPORTED, 0);
    }
    if (minor == IRP_MN_START_DEVICE) {
        /* Listed until a table says whether a controller takes the slot. */
        IoSetDeviceInterfaceState(&e->link, TRUE);
        irp->IoStatus.Status = STATUS_SUCCESS;
    } else if (minor == IRP_MN_REMOVE_DEVICE) {
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
    } else if (minor == IRP_MN_SURPRISE_REMOVAL || minor == IRP_MN_QUERY_REMOVE_DEVICE ||
               minor == IRP_MN_STOP_DEVICE) {
        irp->IoStatus.Status = STATUS_SUCCESS;
    }
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(e->lower, irp);
}

/* ---- load and unload ---------------------------------------------------- */

/* The slots' devices go with their PnP removal. */
static void WINAPI unload(DRIVER_OBJECT *owner) {
    UNICODE_STRING link;
    (void)owner;
    drop_table();
    RtlInitUnicodeString(&link, L"\\DosDevices\\" QVX_CONTROL_NAME_W);
    IoDeleteSymbolicLink(&link);
    IoDeleteDevice(control_device);
}

NTSTATUS WINAPI DriverEntry(DRIVER_OBJECT *owner, UNICODE_STRING *registry_path) {
    UNICODE_STRING name, link;
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
                                     FALSE, &control_device);
    if (status != STATUS_SUCCESS) {
        return status;
    }
    ((struct extension *)control_device->DeviceExtension)->kind = KIND_CONTROL;
    control_device->Flags &= ~DO_DEVICE_INITIALIZING;
    return IoCreateSymbolicLink(&link, &name);
}
