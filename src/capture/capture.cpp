// The capture: record, read, describe, report.
#include "capture/capture.h"

#include "capture/describe/describe.h"
#include "capture/read/pass.h"
#include "capture/record/files.h"
#include "capture/record/run.h"
#include "capture/report/report.h"
#include "exec/commands.h"
#include "platform/win32.h"
#include "policy/install.h"

#include <cstdio>

namespace {

// The files the run's commands need here (files.h): those of one polling pass
// with the install that ends the polling, or those of an action that does not
// scan; none without an argument.
files_found files_of(const capture_input &in) {
    if (in.argument == nullptr) {
        return find_files({}, std::nullopt, in.machine.major, in.machine.minor);
    }
    const bool polls = in.action_scanned;
    std::vector<std::string> commands = in.action.commands;
    std::string scope = std::string("what ") + (polls ? "one polling pass of " : "") + "quorvex " +
                        in.argument + " runs here";
    if (polls) {
        commands.push_back(vcp_install_command);
        scope += ", and the download-mode install that ends the polling";
    }
    return find_files(commands, scope, in.machine.major, in.machine.minor);
}

local_time now() {
    SYSTEMTIME t;
    GetLocalTime(&t);
    return {t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute};
}

} // namespace

capture_made capture_machine(const char *file, const char *argument) {
    capture_input in;
    in.file = file;
    in.argument = argument;
    in.captured = now();
    recorded_run run = record_run(argument);
    in.scan = read_pass(run.scan);
    in.action = read_pass(run.action);
    in.action_scanned = in.action.opened;
    in.download_done = run.download_done;
    // Device Manager's view, read after the pass and not part of it, with the
    // driver installed for each node of ours.
    char ours[16];
    std::snprintf(ours, sizeof ours, "vid_%04x", handled_vendor_id);
    const std::vector<rec::node_view> nodes = rec::device_nodes(in.verdict.failure, ours);
    in.verdict.read = !nodes.empty();
    described d = describe_machine(in.scan, nodes, in.verdict.failure);
    in.machine = std::move(d.machine);
    in.verdict.unmatched = std::move(d.unmatched);
    in.replay_gaps = std::move(d.gaps);
    in.files = files_of(in);
    capture_made made;
    made.description = desc::write_description(in.machine);
    made.report = report_text(in);
    made.gaps = in.replay_gaps;
    made.scan = std::move(run.scan);
    made.action = std::move(run.action);
    return made;
}
