// Inside the emulated machine: the machine description as loaded, and the live
// state that the emulated calls share (clock, handles, allocations, faults).
#pragma once

#include "platform/emu/emu.h"
#include "platform/win32.h"

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace emu {

using desc::change_desc;
using desc::controller_desc;
using desc::hub_desc;
using desc::machine;
using desc::node_desc;
using desc::node_state;
using desc::port_desc;

// Parses a description; returns the fault text ("<place>: <fault>") or "".
std::string parse_machine(const std::string &text, machine &out);

// The hub holding the last port of `path` below a controller's root hub, or null
// when the path leads nowhere; and the replacement of one port of a hub.
hub_desc *hub_for_path(machine &m, std::size_t controller, const std::vector<std::uint32_t> &path);
void replace_port(hub_desc &h, std::uint32_t number, const std::optional<port_desc> &port);

enum class handle_kind { process, thread, device, devinfo };

struct handle_obj {
    handle_kind kind = handle_kind::device;
    // process
    long pid = -1;
    bool exited = false;
    // device: the path as opened, and what it named when the topology was as
    // `topology` says (looked up again after a change)
    std::string path;
    const controller_desc *controller = nullptr;
    const hub_desc *hub = nullptr;
    std::uint64_t topology = 0;
    // devinfo: the interface paths it lists, in order
    std::vector<std::string> interfaces;
};

// One node of the configuration manager's tree; DEVINST is index + 1.
struct devnode {
    DEVINST parent = 0, child = 0, sibling = 0;
    std::optional<std::string> driver_key;
    std::string device_id;
    std::optional<std::string> description;
    // The same texts in the ANSI code page, as the ...A calls hand them out.
    std::optional<std::string> driver_key_ansi;
    std::string device_id_ansi;
    std::optional<std::string> description_ansi;
    // What CM_Get_DevNode_Status and the service and hardware ID properties
    // answer: the description's state with Windows' defaults filled in.
    std::uint32_t status = 0;
    std::uint32_t problem = 0;
    std::optional<std::string> service_ansi;
    std::vector<std::string> hardware_ids_ansi;
};

struct state {
    machine m;
    std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();
    std::uint64_t vclock_ms = 0;
    DWORD last_error = 0;
    std::map<std::uintptr_t, handle_obj> handles;
    std::uintptr_t next_handle = 0x100;
    std::unordered_map<void *, std::size_t> globals;
    std::size_t global_bytes = 0;      // held in the live blocks
    std::size_t peak_global_bytes = 0; // the most held at once
    std::size_t misuses = 0;           // calls that broke the platform's rules
    std::vector<fault> faults;
    std::vector<std::uint32_t> fault_hits; // matching calls seen, per fault
    std::map<std::string, std::uint64_t, std::less<>> calls;
    // The counter in `calls` last found for a name at a given address (the names
    // are literals); emptied whenever `calls` is.
    std::unordered_map<const char *, std::pair<const std::string *, std::uint64_t *>> call_slots;
    std::map<std::string, std::uint32_t> opens; // successful opens by lower-case device path
    std::vector<devnode> tree;                  // rebuilt whenever the topology changes
    std::uint64_t topology = 0;                 // counts those rebuilds
    std::string trace_path;
    std::string journal_path;
    std::string merged_path;
    std::string stats_path;
    // A rehearsal (QUORVEX_REHEARSAL): at most this many polling passes, every
    // step told on standard error; 0 = not a rehearsal.
    std::uint32_t rehearsal_passes = 0;
    std::uint32_t passes = 0; // polling pauses seen, each the start of a pass
};

state &st();

// Counts a call of `function` (for call_count) and applies due topology changes.
void enter(const char *function);
// Counts one more call under `name` without anything else.
void count_call(std::string_view name);

// The machine's clock now.
std::uint64_t now_ms();

// Applies the changes whose time has come; rebuilds the device tree if any did.
void apply_due_changes();
// Counts a successful open of a device path and applies the changes it triggers.
void count_open(const std::string &path);
// A device path as opens are counted: lower-case ASCII letters.
std::string open_key(const std::string &path);
void rebuild_tree();

// Handles.
HANDLE new_handle(const handle_obj &h);
handle_obj *find_handle(HANDLE h);

// A fault planted for this call, if one matches (and counts the match).
const fault *take_fault(const char *function, std::uint32_t ioctl, const std::string &device,
                        std::uint32_t port, std::uint64_t size = 0);

// Where the topology holds a hub of this name (root or external), or null.
const hub_desc *find_hub(const std::string &name);

// The device path under which the host-controller interface enumeration lists
// controller `index` (its `interface_path`, or one made from its device ID);
// CreateFileA opens the controller by it.
std::string interface_path(std::size_t index);

// Texts of the machine description (UTF-8) as the platform hands them out:
// UTF-16 for the USB stack's replies, the ANSI code page for the ...A calls.
std::u16string utf8_to_utf16(const std::string &text);
std::string utf16_to_ansi(const char16_t *text, std::size_t units, char default_char,
                          bool *used_default);
std::string utf8_to_ansi(const std::string &text);

// In a rehearsal, one line on standard error telling a step of the run.
void rehearse(const char *what, const std::string &text);

// Appends a command line to the journal (QUORVEX_JOURNAL), one line each.
void journal_command(const char *command_line);

// A caller broke the platform's rules: one line on standard error, and counted.
// The caller then fails the call as Windows would.
void misuse(const char *function, const std::string &what);

} // namespace emu
