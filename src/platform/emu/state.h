// Inside the emulated machine: the machine description as loaded, the machine
// model that answers from it (platform/model/), and the live state that the
// emulated calls share (clock, handles, allocations, counters).
#pragma once

#include "platform/description/table.h"
#include "platform/emu/emu.h"
#include "platform/model/model.h"
#include "platform/win32.h"

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace emu {

using desc::change_desc, desc::controller_desc, desc::hub_desc, desc::machine, desc::port_desc;

// Parses a description; returns the fault text ("<place>: <fault>") or "".
std::string parse_machine(const std::string &text, machine &out);

enum class handle_kind { process, thread, device, devinfo, inf, key };

struct inf_text; // an INF file as SetupAPI holds it open (platform/emu/inf.cpp)

struct handle_obj {
    handle_kind kind = handle_kind::device;
    // process
    long pid = -1;
    bool exited = false;
    // device: the path as opened, and the model's device it opened on the
    // machine loaded then (a machine loaded since looks the path up again)
    std::string path;
    std::uint32_t device = QVM_NONE, load = 0;
    // devinfo: how many interfaces it lists
    std::size_t interfaces = 0;
    // inf: its sections and lines
    std::shared_ptr<const inf_text> inf;
    // key: the DEVINST whose software key it is
    std::uint32_t node = 0;
};

struct state {
    machine m; // as loaded; its fault list grows and shrinks with add_fault and clear_faults
    std::uint32_t loads = 0;
    std::vector<std::uint8_t> table; // the machine as the model's table
    qvm_view view{};
    std::vector<std::uint32_t> model; // the model's state (a qvm_state and what follows)
    std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();
    std::uint64_t vclock_ms = 0;
    DWORD last_error = 0;
    std::map<std::uintptr_t, handle_obj> handles;
    std::uintptr_t next_handle = 0x100;
    std::unordered_map<void *, std::size_t> globals;
    std::size_t global_bytes = 0;          // held in the live blocks
    std::size_t peak_global_bytes = 0;     // the most held at once
    std::size_t misuses = 0;               // calls that broke the platform's rules
    std::vector<std::uint32_t> fault_hits; // matching calls seen, per fault
    std::map<std::string, std::uint64_t, std::less<>> calls;
    // The counter in `calls` last found for a name at a given address (the names
    // are literals); emptied whenever `calls` is.
    std::unordered_map<const char *, std::pair<const std::string *, std::uint64_t *>> call_slots;
    std::map<std::string, std::uint32_t> opens; // successful opens by lower-case device path
    std::string trace_path, journal_path, merged_path, stats_path;
    // A rehearsal (QUORVEX_REHEARSAL): at most this many polling passes, every
    // step told on standard error; 0 = not a rehearsal.
    std::uint32_t rehearsal_passes = 0;
    std::uint32_t passes = 0; // polling pauses seen, each the start of a pass
};

state &st();

// Counts a call of `function` (for call_count).
void enter(const char *function);
// Counts a call once more under its function and a value, as
// "DeviceIoControl:0x220420" (the value in hexadecimal).
void count_call(const char *function, std::uint32_t value);

// Appends `n` bytes to the file at `path` ("" = nowhere; a file that cannot be
// opened is skipped, as debugger output nobody reads).
void append_to(const std::string &path, const char *bytes, std::size_t n);
// One line of the statistics (QUORVEX_STATS): the event, its value, the clock and
// what is held.
void write_stats(const char *event, std::uint64_t value);

// Puts a request to the machine model at the machine's clock, telling (as
// misuse() does) where the caller broke the platform's rules. The second form
// asks about a node (a DEVINST) or an item (an interface's index in `code`).
qvm_answer ask_machine(qvm_request request);
qvm_answer ask_machine(std::uint32_t call, std::uint32_t node, std::uint32_t code = 0,
                       void *out = nullptr, std::uint32_t out_size = 0);

HANDLE new_handle(const handle_obj &h);
handle_obj *find_handle(HANDLE h);

// A fault planted for a call that starts a process or sets its priority, if one
// matches the program by the model's rule (qvm_fault_acts, which counts it); the
// machine model has the others. One narrowed to a code, port or size matches none.
const fault *take_fault(const char *function, const std::string &program);

using desc::lower, desc::utf16_to_ansi; // lower: a device path as opens are counted

// The folders CreateProcessA looks for a program in, in Windows' order: the
// program's own folder, the current folder (left out on 5.2 and later where
// NoDefaultCurrentDirectoryInExePath is set), the system folder, the 16-bit
// system folder (SYSTEM in the Windows folder) and the Windows folder where the
// machine names them, then each folder of PATH (platform/emu/files.cpp).
std::vector<std::string> program_folders();
// Makes the machine's folders absolute: a relative one is taken from `base`
// (the description's folder; "" for the current folder).
void settle_folders(machine &m, const std::string &base);

// In a rehearsal, one line on standard error telling a step of the run.
void rehearse(const char *what, const std::string &text);

// Appends a command line to the journal (QUORVEX_JOURNAL), one line each.
void journal_command(const char *command_line);

// A call fails as Windows fails it: `error` as the last error, and what the
// call returns on failure (FALSE where not said).
template <typename R = BOOL> R failed(DWORD error, R value = R{}) {
    SetLastError(error);
    return value;
}

// A caller broke the platform's rules: one line on standard error, and counted.
// The caller then fails the call as Windows would (refused()).
void misuse(const char *function, const std::string &what);
template <typename R = BOOL>
R refused(const char *function, const std::string &what, DWORD error, R value = R{}) {
    misuse(function, what);
    return failed(error, value);
}

} // namespace emu
