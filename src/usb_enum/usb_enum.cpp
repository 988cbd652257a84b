// One polling pass over the machine's USB host controllers: each controller by
// its numbered name and by its device interface, its root hub, every hub port,
// and external hubs below them. Connected devices go to the install policy.
#include "usb_enum/usb_enum.h"

#include "usb_enum/sites.h"

#include "shared/modes.h"
#include "policy/install.h"

#include <cstddef>
#include <cstdio>
#include <cstring>

const char usb_enum_file[] = __FILE__;

namespace {

// Allocation sites.
enum : int {
    alloc_host_ctrl_record = 1830,
    alloc_external_hub_record = 1682,
    alloc_root_hub_record = 1684,
    alloc_node_info = 1693,
    alloc_device_path = 1725,
    alloc_port_connection = 1314,
    alloc_old_connection = 1347,
};

const GUID usb_host_controller_interface = {
    0x3ABF6F2D, 0x71C4, 0x462A, {0x8A, 0x92, 0x1E, 0x68, 0x61, 0xE6, 0xAF, 0x27}};

struct host_ctrl_record {
    std::int32_t kind; // 0: host controller
    list_link link;
    char *driver_key;
    std::uint32_t vendor_id;
    std::uint32_t device_id;
    std::uint32_t subsys_id;
    std::uint32_t revision;
};

enum : std::int32_t { kind_host_controller = 0, kind_root_hub = 1, kind_external_hub = 2 };

// A root hub's record ends after hub_name; an external hub's has all six fields.
struct hub_record {
    std::int32_t kind;
    void *node_info;
    char *hub_name;
    port_connection *connection;
    void *config_desc;
    void *string_descs; // chain of blocks linked through their first field
};
constexpr std::uint32_t root_hub_record_size = offsetof(hub_record, connection);

// The controllers walked in this pass, oldest first.
constinit list_link host_ctrl_list = {&host_ctrl_list, &host_ctrl_list};

// Tier of the hub whose ports are being walked: 0 for a root hub.
int hub_tier = -1;

// The records of a pass are not read after it: each is unlinked, then released.
void release_host_ctrl_records() {
    while (!list_empty(&host_ctrl_list)) {
        list_link *link = host_ctrl_list.next;
        list_del(link);
        auto *record = list_entry<host_ctrl_record>(link, offsetof(host_ctrl_record, link));
        tracked_free(record->driver_key);
        tracked_free(record);
    }
}

void walk_and_close(HANDLE host_controller) {
    walk_host_controller(host_controller);
    CloseHandle(host_controller);
}

HANDLE open_device(const char *path) {
    return CreateFileA(path, GENERIC_WRITE, FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
}

// The controllers the host-controller interface lists, until one of their
// walks handles the download-mode device.
void walk_interface_controllers() {
    HDEVINFO set = SetupDiGetClassDevsA(&usb_host_controller_interface, nullptr, nullptr,
                                        DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE) {
        return;
    }
    for (DWORD index = 0;; ++index) {
        SP_DEVICE_INTERFACE_DATA interface_data;
        std::memset(&interface_data, 0, sizeof interface_data);
        interface_data.cbSize = sizeof interface_data;
        if (!SetupDiEnumDeviceInterfaces(set, nullptr, &usb_host_controller_interface, index,
                                         &interface_data)) {
            break;
        }
        // The size call must fail for lack of room and name a size that holds the
        // record; anything else skips the interface.
        DWORD required = 0;
        if (SetupDiGetDeviceInterfaceDetailA(set, &interface_data, nullptr, 0, &required,
                                             nullptr) ||
            GetLastError() != ERROR_INSUFFICIENT_BUFFER ||
            required < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A)) {
            continue;
        }
        auto *detail = static_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_A>(GlobalAlloc(GPTR, required));
        if (detail == nullptr) {
            continue;
        }
        detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
        if (SetupDiGetDeviceInterfaceDetailA(set, &interface_data, detail, required, &required,
                                             nullptr)) {
            HANDLE host_controller = open_device(detail->DevicePath);
            if (host_controller != INVALID_HANDLE_VALUE) {
                walk_and_close(host_controller);
            }
        }
        GlobalFree(detail);
        if (bVcp_done != 0) {
            break;
        }
    }
    SetupDiDestroyDeviceInfoList(set);
}

// The record of a hub about to be walked: an external hub's (all six fields)
// when the hub hangs on a port's connection, a root hub's (the first three)
// otherwise; null after its report when it cannot be had.
hub_record *make_hub_record(char *hub_name, port_connection *connection) {
    const bool external = connection != nullptr;
    auto *record = static_cast<hub_record *>(
        tracked_alloc(usb_enum_file, external ? alloc_external_hub_record : alloc_root_hub_record,
                      external ? sizeof(hub_record) : root_hub_record_size));
    if (record == nullptr) {
        report_failure(usb_enum_file, site_hub_record_alloc);
        return nullptr;
    }
    record->hub_name = hub_name;
    if (external) {
        record->kind = kind_external_hub;
        record->connection = connection;
    } else {
        record->kind = kind_root_hub;
    }
    return record;
}

// Opens a hub by the device path "\\.\" and its name, in a tracked buffer that
// goes as soon as the open has been tried; reports a hub that does not open. A
// path that cannot be had skips the hub without a report.
HANDLE open_hub(const char *hub_name) {
    const std::size_t name_length = std::strlen(hub_name);
    auto *path = static_cast<char *>(tracked_alloc(usb_enum_file, alloc_device_path,
                                                   static_cast<std::uint32_t>(name_length + 5)));
    if (path == nullptr) {
        return INVALID_HANDLE_VALUE;
    }
    std::memcpy(path, "\\\\.\\", 4);
    std::memcpy(path + 4, hub_name, name_length + 1);
    HANDLE hub = open_device(path);
    tracked_free(path);
    if (hub == INVALID_HANDLE_VALUE) {
        report_failure(usb_enum_file, site_hub_open);
    }
    return hub;
}

// The walk of a hub whose record has been made: its node information buffer,
// the open, the port count, the port loop. A step that fails reports its site
// and returns; what was taken hangs on the record, which walk_hub releases.
void walk_recorded_hub(hub_record *record) {
    record->node_info = tracked_alloc(usb_enum_file, alloc_node_info, node_information_size);
    if (record->node_info == nullptr) {
        report_failure(usb_enum_file, site_node_info_alloc);
        return;
    }
    HANDLE hub = open_hub(record->hub_name);
    if (hub == INVALID_HANDLE_VALUE) {
        return;
    }
    DWORD returned = 0;
    if (DeviceIoControl(hub, ioctl_usb_get_node_information, record->node_info,
                        node_information_size, record->node_info, node_information_size, &returned,
                        nullptr)) {
        const auto *reply = static_cast<const unsigned char *>(record->node_info);
        walk_hub_ports(hub, reply[node_information_port_count_offset]);
    } else {
        report_failure(usb_enum_file, site_node_info_query);
    }
    CloseHandle(hub);
}

// Releases what a hub walk holds: the record, if it was made, with its node
// information and (an external hub's only) its chain of string-descriptor
// blocks; then the hub's name.
void release_hub(hub_record *record, char *hub_name) {
    if (record != nullptr) {
        void *block = record->kind == kind_external_hub ? record->string_descs : nullptr;
        while (block != nullptr) {
            void *next = *static_cast<void **>(block);
            tracked_free(block);
            block = next;
        }
        tracked_free(record->node_info);
        tracked_free(record);
    }
    tracked_free(hub_name);
}

void trace_mode(const char *format, int value) {
    crt_snprintf(trace_buffer, sizeof trace_buffer, format, value);
    OutputDebugStringA(trace_buffer);
}

} // namespace

int scan_usb() {
    for (int number = 0; number < numbered_controllers; ++number) {
        char name[16];
        wsprintfA(name, "\\\\.\\HCD%d", number);
        HANDLE host_controller = open_device(name);
        if (host_controller != INVALID_HANDLE_VALUE) {
            walk_and_close(host_controller);
        }
        if (bVcp_done != 0) {
            break;
        }
    }
    if (bVcp_done == 0) {
        walk_interface_controllers();
    }
    release_host_ctrl_records();
    return bVcp_done;
}

void walk_host_controller(HANDLE host_controller) {
    auto *record = static_cast<host_ctrl_record *>(
        tracked_alloc(usb_enum_file, alloc_host_ctrl_record, sizeof(host_ctrl_record)));
    if (record == nullptr) {
        return;
    }
    record->kind = kind_host_controller;
    char *driver_key = query_hcd_driver_key(host_controller);
    if (driver_key == nullptr) {
        report_failure(usb_enum_file, site_no_controller_driver_key);
        tracked_free(record);
        return;
    }
    const char *device_id = lookup_devnode_by_driver(driver_key, 1);
    if (device_id != nullptr) {
        unsigned vendor = 0, device = 0, subsys = 0, revision = 0;
        const int fields = crt_sscanf(device_id, "PCI\\VEN_%4x&DEV_%4x&SUBSYS_%8x&REV_%2x", &vendor,
                                      &device, &subsys, &revision);
        if (fields < 4) {
            report_failure(usb_enum_file, site_controller_not_pci);
        }
        record->driver_key = driver_key;
        record->vendor_id = vendor;
        record->device_id = device;
        record->subsys_id = subsys;
        record->revision = revision;
    } else {
        report_failure(usb_enum_file, site_controller_no_device_id);
        tracked_free(driver_key);
    }
    list_add_tail(&host_ctrl_list, &record->link);

    char *root_hub_name = query_root_hub_name(host_controller);
    if (root_hub_name != nullptr) {
        walk_hub(root_hub_name, nullptr);
    } else {
        report_failure(usb_enum_file, site_no_root_hub_name);
    }
}

void walk_hub(char *hub_name, port_connection *connection) {
    ++hub_tier;
    hub_record *record = make_hub_record(hub_name, connection);
    if (record != nullptr) {
        walk_recorded_hub(record);
    }
    release_hub(record, hub_name);
    --hub_tier;
}

// Reads one port's connection record into `connection`, with the older query
// when the extended one fails; false when neither answers.
bool query_port_connection(HANDLE hub, std::uint32_t port, port_connection *connection) {
    DWORD returned = 0;
    connection->ConnectionIndex = port;
    if (DeviceIoControl(hub, ioctl_usb_get_node_connection_information_ex, connection,
                        port_connection_size, connection, port_connection_size, &returned,
                        nullptr)) {
        return true;
    }
    auto *old = static_cast<port_connection *>(
        tracked_alloc(usb_enum_file, alloc_old_connection, port_connection_size));
    if (old == nullptr) {
        return false; // skipped without a report of its own
    }
    old->ConnectionIndex = port;
    if (!DeviceIoControl(hub, ioctl_usb_get_node_connection_information, old, port_connection_size,
                         old, port_connection_size, &returned, nullptr)) {
        report_failure(usb_enum_file, site_connection_queries);
        tracked_free(old);
        return false;
    }
    // The older reply has LowSpeed where the extended one has Speed.
    connection->ConnectionIndex = old->ConnectionIndex;
    connection->DeviceDescriptor = old->DeviceDescriptor;
    connection->CurrentConfigurationValue = old->CurrentConfigurationValue;
    connection->Speed = old->Speed == 0 ? 1 : 0;
    connection->DeviceIsHub = old->DeviceIsHub;
    connection->DeviceAddress = old->DeviceAddress;
    connection->NumberOfOpenPipes = old->NumberOfOpenPipes;
    connection->ConnectionStatus = old->ConnectionStatus;
    std::memcpy(connection->PipeList, old->PipeList, sizeof connection->PipeList);
    tracked_free(old);
    return true;
}

void walk_hub_ports(HANDLE hub, std::uint32_t port_count) {
    // The variant modes as they stand when the loop starts serve every port.
    const std::uint8_t selsusp_mode = bSelsusp_mode;
    const std::uint8_t xcontrol_mode = bXcontrol_mode;
    trace_mode("bSelsusp_mode = %d\n", selsusp_mode);
    trace_mode("bXcontrol_mode = %d\n", xcontrol_mode);

    for (std::uint32_t port = 1; port <= port_count; ++port) {
        auto *connection = static_cast<port_connection *>(
            tracked_alloc(usb_enum_file, alloc_port_connection, port_connection_size));
        if (connection == nullptr) {
            report_failure(usb_enum_file, site_port_connection_alloc);
            return;
        }
        if (!query_port_connection(hub, port, connection)) {
            tracked_free(connection);
            continue;
        }
        if (connection->DeviceIsHub != 0 && hub_tier < max_hub_tiers) {
            if (char *inner_hub_name = query_port_hub_name(hub, port)) {
                walk_hub(inner_hub_name, connection);
            }
        }
        if (connection->ConnectionStatus == 0) {
            tracked_free(connection);
            continue;
        }
        if (handle_download_device(connection)) {
            tracked_free(connection);
            return;
        }
        char *driver_key = nullptr;
        if (connection_product(connection) != download_product_id) {
            driver_key = query_port_driver_key(hub, port);
        }
        install_for_port(connection, selsusp_mode, xcontrol_mode);
        tracked_free(driver_key);
        tracked_free(connection);
    }
}
