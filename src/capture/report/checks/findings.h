// The report's findings: what will go wrong at this PC, one a cause, each with
// what follows from it and what to do. Each check is a small function over
// facts the report's sections show (the pass, the description, the files); it
// adds nothing or one finding. The report numbers them most serious first, in
// the order the checks added them within one level; information (by design,
// worth knowing) goes under them, unnumbered.
#pragma once

#include <string>
#include <vector>

// How much a finding stands in the way, most serious first.
enum class severity {
    install_fails,  // an install or removal of this run cannot work as it stands
    never_reached,  // a device of ours is never installed, or polling cannot end
    action_differs, // the action does not do what a user of this ARG may expect
    device_trouble, // Windows could not read or run a device
    box_waits,      // a box holds quorvex until somebody presses OK
    information,    // by design, worth knowing
};

struct finding {
    severity level;
    std::string text; // whole lines, each ending in '\n': the place first, then what to do
};

using findings = std::vector<finding>;
