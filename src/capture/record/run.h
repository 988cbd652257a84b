// One run of the tool's own code with the platform's answers recorded
// (platform/record): with ARG its action, one polling pass at most; where that
// does not scan, a pass of its own for the description. The version call first.
#pragma once

#include "platform/record/record.h"
#include "platform/win32.h"

#include <vector>

// The Windows version as quorvex reads it (zero where the call fails).
OSVERSIONINFOA read_version();

struct recorded_run {
    std::vector<rec::entry> scan;   // the pass the description is made from
    std::vector<rec::entry> action; // what the argument's action did
    bool download_done = false;     // the pass handled the download-mode device
};

// `argument`: ARG, or null for none.
recorded_run record_run(const char *argument);
