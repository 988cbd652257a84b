// The emulated machine's own interface: what tests and the start-up code use to
// set the machine up and to look inside it. The tool never includes this file.
#pragma once

#include "platform/description/model.h"

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace emu {

// Loads a machine description (JSON text; `name` is what error messages call it).
// Returns an empty string on success, otherwise the one-line fault
// ("<name>: <place>: <fault>"); on failure the current machine is unchanged.
std::string load_machine_text(const std::string &text, const std::string &name);
std::string load_machine_file(const std::string &path);

// Back to the machine with no USB host controller, version 6.1, real clock, real
// processes, as a test program starts with; clears faults and counters, and the
// settings: no rehearsal, trace, journal, merged file or statistics. Open handles
// and allocations stay counted. (The programs users run read their settings from
// the environment at start-up; a test program reads none.)
void reset_machine();

// Where debugger output and the command journal go ("" = dropped / no journal).
void set_trace_path(const std::string &path);
void set_journal_path(const std::string &path);
// One more file that gets both, in the order they happen, each marked with where
// it came from: "trace: " before each piece of debugger output, "run: " before
// each command line ("" = none). Neither the trace nor the journal changes.
void set_merged_path(const std::string &path);

// What is held open or allocated right now.
std::size_t open_handles();
std::size_t live_global_blocks();
// The calls that broke the platform's rules since the program started (each also
// wrote its line on standard error); a reset does not clear them either.
std::size_t misuses();

// The machine's clock in milliseconds since start (virtual or real).
std::uint64_t clock_ms();

// How often a platform function was called since the last reset ("DeviceIoControl", ...).
std::uint64_t call_count(const std::string &function);
// Every count at once, by the same names.
std::map<std::string, std::uint64_t> call_counts();

// Bytes held in GlobalAlloc blocks now, and the most held at once since the
// machine was loaded or reset_peak_global_bytes() was called.
std::size_t live_global_bytes();
std::size_t peak_global_bytes();
void reset_peak_global_bytes();

// A fault planted in the machine (platform/description/model.h says what each
// field narrows and does).
using fault = desc::fault;
void add_fault(const fault &f);
void clear_faults();

} // namespace emu
