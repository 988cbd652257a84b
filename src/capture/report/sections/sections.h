// The report's sections, each appended to `out` from the view (view.h): they
// show the facts the findings rest on.
#pragma once

#include "capture/report/view.h"

#include <cstdint>
#include <string>

// Each controller, how the scan finds it, and its hubs and ports with their
// places, IDs, speeds and states (topology.cpp).
void topology_section(std::string &out, const report_view &v);
// Where each device of ours is, what Device Manager says of it and of its
// interfaces, which walks of a pass reach it, and what each pass runs for it
// (devices.cpp).
void devices_section(std::string &out, const report_view &v);
// Each box a pass shows, what its site means, the call whose failure it reports,
// where it is and what the scan then skips (boxes.cpp).
void boxes_section(std::string &out, const report_view &v);
// Why quorvex ARG polls, and for how long; what it runs where it does not scan
// (polling.cpp).
void polling_section(std::string &out, const report_view &v);
void action_section(std::string &out, const report_view &v);
// "Files quorvex needs here:" (files_section.cpp).
std::string files_section(const files_found &found);

// How quorvex reads ARG on Windows `major`.`minor`, in words: the byte, each bit
// set and its meaning, then the action that acts (or that none does); each line
// ends with a newline (argument.cpp).
std::string argument_text(const char *arg, std::uint32_t major, std::uint32_t minor);

// A step a walk took for a port, in words: "run ...", "pause 3 s", "box N".
std::string step_text(const rec::entry &step);
