// quorvex-capture: one pass of the tool's own USB scan with the platform's
// answers recorded, written as a machine description, and a report a person
// reads (report.h).
#pragma once

#include "platform/record/record.h"
#include "platform/win32.h"

#include <string>
#include <vector>

// The Windows version as quorvex reads it (zero where the call fails).
OSVERSIONINFOA read_version();

// One capture of the machine, written nowhere (main.cpp writes FILE): the
// description, the report (naming `file`), the recorded calls of the scan and of
// the argument's action (none without one), and the recorded answers the
// description does not replay (describe.h), which the report names too.
struct capture_made {
    std::string description;
    std::string report;
    std::vector<rec::call> scan, action;
    std::vector<std::string> gaps;
};
capture_made capture_machine(const char *file, const char *argument);
