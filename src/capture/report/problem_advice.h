// What to do about a problem code Device Manager shows for a device, after
// Microsoft's published resolutions of Device Manager's error codes, and whether
// quorvex's own install for the device can mend it.
#pragma once

#include <cstdint>

enum class quorvex_mends : std::uint8_t {
    yes, // the install quorvex runs for the device is the remedy
    may, // the install puts the driver on anew, which is the first remedy to try
    no,  // the remedy is elsewhere; quorvex's install leaves the problem as it is
};

struct problem_advice {
    const char *name;   // CM_PROB_...
    const char *remedy; // what to do, in Device Manager's words where it has them
    const char *source;
    std::uint32_t code;
    quorvex_mends mends;
};

// The advice for a problem code; null where the table has none.
const problem_advice *advice_for(std::uint32_t problem);
