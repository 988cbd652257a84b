// What a capture gathered for its report (report.h): the description, the
// recorded pass, what ARG's action did, Device Manager's verdict, when, and the
// check of the files quorvex needs.
#pragma once

#include "capture/findings.h"
#include "capture/verdict.h"
#include "platform/description/model.h"
#include "platform/record/record.h"

#include <cstdint>
#include <string>
#include <vector>

// The capture's local date and time, as GetLocalTime gave it.
struct local_time {
    unsigned year, month, day, hour, minute;
};

// What the report is made from: the description, the recorded pass, with ARG
// what its action did, Device Manager's verdict, and the check of the files.
// The report leads with its findings (what will go wrong at this PC, most
// serious first, each with what to do), then shows the facts they rest on: the
// topology with speeds and IDs, the devices of ours (where, what Device Manager
// says, what each pass runs for them), the boxes a pass shows, why the polling
// goes on (or what ARG's action runs instead), and the files quorvex needs.
struct capture_report {
    const char *file;
    const char *argument; // null: none given
    const desc::machine *machine;
    const std::vector<rec::call> *scan;           // the pass the description was made from
    const std::vector<rec::call> *action;         // what the argument's action did
    bool action_scanned;                          // the action's pass is the scan above
    bool download_done;                           // the pass handled the download-mode device
    bool verdict_read;                            // Device Manager's tree could be walked
    std::uint32_t verdict_failure;                // where not: what CM_Locate_DevNodeA answered
    const std::vector<unmatched_port> *unmatched; // ports whose device no node was found for
    const std::vector<std::string> *replay_gaps;  // recorded answers the description lacks
    local_time captured;
    const findings *file_findings = nullptr;
    const std::string *files_section = nullptr;
};
