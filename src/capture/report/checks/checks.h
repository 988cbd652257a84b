// The report's checks: the doctor's list. Each check looks at one cause and
// returns nothing or one finding, with what follows from the cause under it:
// the action ARG chose (action_checks.cpp), a box of the pass (box_checks.cpp),
// a port of the topology (place_checks.cpp), the files quorvex needs
// (files_checks.cpp). findings.cpp runs them in a fixed order and puts the
// findings most serious first.
#pragma once

#include "capture/report/checks/findings.h"
#include "capture/report/view.h"

#include <cstddef>
#include <optional>

using check = std::optional<finding>;

// --- the action ---

// ARG is not a plain decimal number: where quorvex stops reading it, and what
// to give instead.
check not_decimal(const report_view &v);
// Bit 1 cancels bit 0: the removals bit 0 asks for do not run (or, without bit 0,
// bit 1 does nothing).
check removal_cancelled(const report_view &v);
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

// --- boxes ---

// A hub, a controller or a port that a box makes the scan skip: what is not seen
// below it, its Device Manager state, and what to do. One finding for the boxes
// of every walk that skips the same place.
check skipped_by_box(const report_view &v, const box &b);
// A box the scan goes on past: what it is about and what to do. One finding for
// the boxes of one site at one place; a box at a port Windows could not set up
// is told with that port's trouble.
check box_shown(const report_view &v, const box &b);
// "It shows twice a pass, each time waiting for OK: ...".
std::string waits_text(const report_view &v, const box &b);

// --- places ---

// Whether Windows could not read or run a port's device.
bool port_in_trouble(const desc::port_desc &d);
// A port whose device Windows could not read or run, with the boxes at it.
check connection_trouble(const report_view &v, const port_at &p);
// A device of our vendor whose product quorvex does not know.
check unknown_product(const report_view &v, const port_at &p);
// A device of ours, or one of its interfaces, with a Device Manager problem other
// than "no driver installed".
check device_problem(const report_view &v, const port_at &p);

// The drivers Windows installed for a device of ours and its interfaces against
// the package's INFs: older, from another provider or INF, or listed by no INF;
// information where they are the package's.
check installed_drivers(const report_view &v, const port_at &p);

// --- files ---

// The programs of the run's commands that Windows does not find.
check missing_programs(const files_found &found);
// A current folder other than quorvex's, with the INFs missing there for it.
check current_folder(const files_found &found);
// The INFs missing from the package: from the current folder and quorvex's.
check missing_infs(const files_found &found);
// The INFs here that SetupAPI cannot read.
check unreadable_infs(const files_found &found);
// The files the INFs name that are not there.
check missing_named_files(const files_found &found);
// quorvex.exe not beside the capture.
check not_beside(const files_found &found);
// A folder quorvex runs or installs from as an administrator that others may
// write: what they could put there (rights_checks.cpp).
check writable_folder(const files_found &found, const folder_rights &r);

// Every check's finding, most serious first (information last).
findings find_findings(const report_view &v);
// What quorvex ARG does here, where nothing stands in its way.
std::string nothing_in_the_way(const report_view &v);
