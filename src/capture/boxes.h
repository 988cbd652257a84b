// The report's boxes (boxes.cpp).
#pragma once

#include "capture/facts.h"

#include <string>

// Each box a pass shows, what its site means, the call whose failure it reports,
// where it is and what the scan then skips.
void boxes_section(std::string &out, const report_facts &f);
