// The report's devices of ours (devices.cpp).
#pragma once

#include "capture/facts.h"

#include <string>

// Where each device of ours is, what Device Manager says of it and of its
// interfaces, which walks of a pass reach it, and what each pass runs for it.
void devices_section(std::string &out, const report_facts &f);
