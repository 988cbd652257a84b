// The findings' checks of places: each over one box or one port of the facts,
// adding nothing or one finding (checks.cpp).
#pragma once

#include "capture/facts.h"
#include "capture/findings.h"

#include <optional>

// A hub, a controller or a port that a box makes the scan skip: what is not seen
// below it, its Device Manager state, and what to do. One finding for the boxes
// of every walk that skips the same place.
std::optional<finding> skipped_by_box(const report_facts &f, const box &b);
// A port whose device Windows could not read or run.
std::optional<finding> connection_trouble(const report_facts &f, const port_at &p);
// A device of our vendor whose product quorvex does not know.
std::optional<finding> unknown_product(const report_facts &f, const port_at &p);
// A device of ours, or one of its interfaces, with a Device Manager problem other
// than "no driver installed".
std::optional<finding> device_problem(const report_facts &f, const port_at &p);
