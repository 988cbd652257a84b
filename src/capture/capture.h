// quorvex-capture: one pass of the tool's own USB scan with the platform's
// answers recorded (record/), read once (read/), written as a machine
// description (describe/), and a report a person reads (report/).
#pragma once

#include "platform/record/record.h"

#include <string>
#include <vector>

// One capture of the machine, written nowhere (main.cpp writes FILE): the
// description, the report (naming `file`), the recorded answers the description
// does not replay (which the report names too), and the journals of the scan and
// of the argument's action (none without one).
struct capture_made {
    std::string description;
    std::string report;
    std::vector<std::string> gaps;
    std::vector<rec::entry> scan, action;
};
capture_made capture_machine(const char *file, const char *argument);
