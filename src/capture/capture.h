// quorvex-capture: one pass of the tool's own USB scan with the platform's
// answers recorded, written as a machine description, and a report a person reads.
#pragma once

#include "platform/description/model.h"
#include "platform/record/record.h"

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

// Whether a recorded call is one of `function`.
inline bool is_call(const rec::call &c, const char *function) {
    return std::strcmp(c.function, function) == 0;
}

// The text with the ASCII letters A to Z lowered, every other byte as it was:
// device paths and driver keys compare so, as Windows compares them.
inline std::string ascii_lower(std::string text) {
    for (char &ch : text) {
        if (ch >= 'A' && ch <= 'Z') {
            ch = static_cast<char>(ch - 'A' + 'a');
        }
    }
    return text;
}

// The machine the recorded calls describe: every answer the scan read, as
// topology where the description has words for it and as planted faults where
// it does not, so that the emulated machine answers the same calls the same way.
// `nodes`: the device tree as Device Manager shows it, read after the pass; the
// controllers' nodes and those naming our vendor add their state.
desc::machine describe_machine(const std::vector<rec::call> &calls,
                               const std::vector<rec::node_view> &nodes = {});

// The device path the scan opens a hub of this name by: \\.\ and the name as
// the PC converted it to ANSI text in the recorded scan.
std::string hub_device_path(const std::string &hub_name, const std::vector<rec::call> &scan);

// The readable report: the topology with speeds and IDs, which devices are the
// tool's own, each failure report a pass shows (site, the call before it, its
// error), and with an argument the pauses, commands, traces and boxes of the
// argument's action (`action_calls`, empty without one).
struct capture_report {
    const char *file;
    const char *argument; // null: none given
    const desc::machine *machine;
    const std::vector<rec::call> *scan;   // the pass the description was made from
    const std::vector<rec::call> *action; // what the argument's action did
    bool action_scanned;                  // the action's pass is the scan above
    bool download_done;                   // the pass handled the download-mode device
    bool verdict_read;                    // Device Manager's tree could be walked
};
std::string report_text(const capture_report &r);

// How quorvex reads ARG on Windows `major`.`minor`, in words: the byte, each bit
// set and its meaning, then the action that acts (or that none does); each line
// ends with a newline.
std::string argument_text(const char *arg, std::uint32_t major, std::uint32_t minor);

int capture_main(int argc, char **argv);
