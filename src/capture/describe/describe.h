// From recorded answers to a machine description (describe.cpp).
#pragma once

#include "capture/describe/device_manager.h"
#include "capture/read/pass.h"
#include "platform/description/model.h"
#include "platform/record/record.h"

#include <string>
#include <vector>

// The machine the recorded pass describes: every answer the scan read, as
// topology where the description has words for it and as planted faults where
// it does not, so that the emulated machine answers the same calls the same way.
// `nodes`: the device tree as Device Manager shows it, read after the pass (empty
// where its locate failed, with `tree_failure`, the CONFIGRET); the controllers'
// nodes, the hubs' and those naming our vendor add their state. `unmatched`: the
// ports whose device no node was found for. `gaps`: the recorded calls no planted
// fault answers as this PC did, each named with both answers; the description
// replays those differently.
struct described {
    desc::machine machine;
    std::vector<unmatched_port> unmatched;
    std::vector<std::string> gaps;
};
described describe_machine(const pass_reading &scan, const std::vector<rec::node_view> &nodes,
                           std::uint32_t tree_failure);
