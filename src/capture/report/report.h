// The report a person reads after a capture, rendered from one input: the
// description, the reading of the recorded pass (and of ARG's action), Device
// Manager's verdict and the files found. It leads with its findings (what will
// go wrong at this PC, most serious first, each with what to do), then shows
// the facts they rest on: the topology with speeds and IDs, the devices of ours
// (where, what Device Manager says, what each pass runs for them), the boxes a
// pass shows, why the polling goes on (or what ARG's action runs instead), and
// the files quorvex needs.
#pragma once

#include "capture/describe/device_manager.h"
#include "capture/read/pass.h"
#include "capture/record/files.h"
#include "platform/description/model.h"

#include <cstdint>
#include <string>
#include <vector>

// The capture's local date and time.
struct local_time {
    unsigned year, month, day, hour, minute;
};

// Device Manager's verdict: whether its tree could be walked (where not, what
// the locate answered) and the ports whose device no node was found for.
struct device_manager_verdict {
    bool read = false;
    std::uint32_t failure = 0;
    std::vector<unmatched_port> unmatched;
};

struct capture_input {
    const char *file = nullptr;
    const char *argument = nullptr; // null: none given
    local_time captured{};
    desc::machine machine;
    std::vector<std::string> replay_gaps; // recorded answers the description lacks
    pass_reading scan;                    // the pass the description was made from
    pass_reading action;                  // what ARG's action did (nothing without ARG)
    bool action_scanned = false;          // the action's pass is the scan
    bool download_done = false;           // the pass handled the download-mode device
    device_manager_verdict verdict;
    files_found files;
};

// The report: findings first, then the facts they rest on.
std::string report_text(const capture_input &in);
