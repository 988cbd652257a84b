// The report's topology (topology.cpp).
#pragma once

#include "capture/facts.h"

#include <string>

// Each controller, how the scan finds it, and its hubs and ports with their
// places, IDs, speeds and states.
void topology_section(std::string &out, const report_facts &f);
