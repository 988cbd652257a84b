// The report's checks: the doctor's list. Each check looks at one thing the
// report shows and returns nothing or one finding: the action ARG chose
// (action_checks.cpp), a box or a port of the topology (place_checks.cpp), a
// file quorvex needs (files_checks.cpp). findings.cpp runs them in a fixed
// order and puts the findings most serious first.
#pragma once

#include "capture/report/checks/findings.h"
#include "capture/report/view.h"

#include <cstddef>
#include <optional>

using check = std::optional<finding>;

// --- the action ---

// ARG sets no action bit: quorvex does nothing.
check no_action(const report_view &v);
// Bit 7 is set, but a lower action bit acts instead.
check hidden_install(const report_view &v);
// Bit 7 on Windows 6.0 and later: the devices whose drivers quorvex never installs.
check direct_install(const report_view &v);
// Where quorvex polls: whether the download-mode device is there.
check download_mode(const report_view &v);
// A controller walked twice a pass, by number and by interface.
check walked_twice(const report_view &v, std::size_t controller);

// --- places ---

// A hub, a controller or a port that a box makes the scan skip: what is not seen
// below it, its Device Manager state, and what to do. One finding for the boxes
// of every walk that skips the same place.
check skipped_by_box(const report_view &v, const box &b);
// A port whose device Windows could not read or run.
check connection_trouble(const report_view &v, const port_at &p);
// A device of our vendor whose product quorvex does not know.
check unknown_product(const report_view &v, const port_at &p);
// A device of ours, or one of its interfaces, with a Device Manager problem other
// than "no driver installed".
check device_problem(const report_view &v, const port_at &p);

// --- files ---

// A program of the run's commands that Windows does not find.
check missing_program(const files_found &found, const program_file &p);
// An INF missing from the current folder, or there but unreadable.
check missing_inf(const files_found &found, const inf_file &inf);
// A file an INF names that is not there.
check missing_named_file(const files_found &found, const inf_file &inf, const std::string &file);
// A current folder other than quorvex's.
check current_folder(const files_found &found);
// quorvex.exe not beside the capture.
check not_beside(const files_found &found);

// Every check's finding, most serious first; where nothing stands in the way,
// first one that says what quorvex ARG does here.
findings find_findings(const report_view &v);
