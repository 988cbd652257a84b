// The USB topology scan module: tracked memory and failure reports, the name
// queries, the device-node lookup, the host-controller scan and the hub walk.
#pragma once

#include "platform/win32.h"
#include "usb_enum/list.h"
#include "usb_enum/records.h"

#include <cstddef>
#include <cstdint>

// The module's source path as fixed at build time; every tracked allocation and
// failure report of the module carries it.
extern const char usb_enum_file[];

// --- tracked allocation and failure reports ---

// One header in front of every tracked block, linking it into alloc_list: the
// two links, the allocating site's file and line, padded to pointer alignment
// (16 bytes in a 32-bit build, 32 in a 64-bit one).
struct alloc_header {
    list_link link;
    const char *file;
    std::int32_t line;
};
static_assert(offsetof(alloc_header, link) == 0);
static_assert(sizeof(alloc_header) == 4 * sizeof(void *));

// The live tracked blocks, oldest first; empty at start without any call.
extern list_link alloc_list;

void *tracked_alloc(const char *file, int line, std::uint32_t size);
void tracked_free(void *block);
void report_failure(const char *file, int line);

// --- name queries (each returns tracked ANSI text, or null) ---

char *query_root_hub_name(HANDLE host_controller);
char *query_hcd_driver_key(HANDLE host_controller);
char *query_port_driver_key(HANDLE hub, std::uint32_t port);
char *query_port_hub_name(HANDLE hub, std::uint32_t port);

// Converts NUL-terminated UTF-16 text of at most `max_units` units (the reply's
// own length; the text ends there even without a terminator) to ANSI text in
// tracked memory, or null.
char *wide_to_ansi(const WCHAR *text, std::uint32_t max_units);

// --- device-node lookup ---

constexpr std::uint32_t devnode_buffer_size = 200;
extern char devnode_buffer[devnode_buffer_size];

// Finds the node whose driver key matches (ASCII case ignored) and returns its
// device ID (want_device_id non-zero) or device description in devnode_buffer.
char *lookup_devnode_by_driver(const char *driver_key, std::uint8_t want_device_id);

// --- host-controller scan and hub walk ---

// The controllers a pass opens by number: \\.\HCD0 and on.
constexpr int numbered_controllers = 10;

// USB allows five tiers of external hubs below a root hub; a stack that reports
// more (a hub that names itself, a cycle) is not followed past this depth.
constexpr int max_hub_tiers = 7;

int scan_usb();
void walk_host_controller(HANDLE host_controller);
void walk_hub(char *hub_name, port_connection *connection);
void walk_hub_ports(HANDLE hub, std::uint32_t port_count);

// Reads one port's connection record into `connection` with the extended query,
// or with the older one when that fails; false (after the report where one is
// due) when neither answers.
bool query_port_connection(HANDLE hub, std::uint32_t port, port_connection *connection);
