// The report's polling, or the action that does not scan (polling.cpp).
#pragma once

#include "capture/facts.h"

#include <string>

// Why quorvex ARG polls, and for how long.
void polling_section(std::string &out, const report_facts &f);
// What quorvex ARG runs where it does not scan.
void action_section(std::string &out, const report_facts &f);
