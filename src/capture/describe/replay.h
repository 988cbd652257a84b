// The recorded pass put through the machine model on its description
// (replay.cpp): the faults that make the model answer as this PC did, and the
// calls none can.
#pragma once

#include "capture/read/pass.h"
#include "platform/description/model.h"

#include <string>
#include <vector>

struct replayed {
    bool held = false; // the model can hold the description
    std::vector<desc::fault> faults;
    std::vector<std::string> gaps; // each call no fault answers as here, with both answers
};

// Every machine call of the scan, then `locate` (Device Manager's, after the pass).
replayed replay_pass(const desc::machine &m, const pass_reading &scan, const rec::entry &locate);
