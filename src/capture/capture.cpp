// The capture: one recorded pass of the scan (and, with an argument, the tool's
// action for it), the description and the report.
#include "capture/capture.h"

#include "capture/calls.h"
#include "capture/describe.h"
#include "capture/files.h"
#include "capture/report.h"
#include "exec/commands.h"
#include "front/entry.h"
#include "platform/win32.h"
#include "shared/modes.h"
#include "usb_enum/usb_enum.h"

#include <cstdio>
#include <cstring>

namespace {

// Calls made since `from`: the recording of one stretch of the run.
std::vector<rec::call> calls_since(std::size_t from) {
    const std::vector<rec::call> &all = rec::calls();
    return std::vector<rec::call>(all.begin() + static_cast<std::ptrdiff_t>(from), all.end());
}

// The files the run's commands need here (files.h): those of one polling pass
// with the install that ends the polling, or those of an action that does not
// scan; none without an argument.
files_check check_run_files(const std::vector<rec::call> &action, bool polls, const char *argument,
                            unsigned major) {
    if (argument == nullptr) {
        return check_files({}, nullptr, major);
    }
    std::vector<std::string> commands;
    for (const rec::call &c : action) {
        if (is_call(c, "CreateProcessA")) {
            commands.push_back(c.text);
        }
    }
    std::string scope = std::string("what ") + (polls ? "one polling pass of " : "") + "quorvex " +
                        argument + " runs here";
    if (polls) {
        commands.push_back(vcp_install_command);
        scope += ", and the download-mode install that ends the polling";
    }
    return check_files(commands, scope.c_str(), major);
}

bool opened_a_controller(const std::vector<rec::call> &calls) {
    for (const rec::call &c : calls) {
        if (std::strcmp(c.function, "CreateFileA") == 0) {
            return true; // every pass opens \\.\HCD0 first
        }
    }
    return false;
}

// One pass of the scan with the platform's answers recorded: with an argument,
// its action with one polling pass at most, and where that does not poll, a pass
// of its own for the description; the version call first.
struct recorded_run {
    std::vector<rec::call> scan;   // the pass the description is made from
    std::vector<rec::call> action; // what the argument's action did
    bool action_scanned = false;   // the action's pass is the scan
};

recorded_run record_run(const char *argument) {
    // The modes as the tool sets them from the argument; none without one.
    bSelsusp_mode = 0;
    bXcontrol_mode = 0;
    bUpdate_mode = 0;
    bVcp_done = 0;
    const std::uint8_t flags = argument != nullptr ? convert_flags(argument) : 0;
    apply_mode_bits(flags);

    const std::size_t start = rec::calls().size();
    read_version();
    recorded_run run;
    run.scan = calls_since(start);
    if (argument != nullptr) {
        const std::size_t from = rec::calls().size();
        run_action(flags, 1);
        run.action = calls_since(from);
    }
    run.action_scanned = opened_a_controller(run.action);
    if (run.action_scanned) {
        run.scan.insert(run.scan.end(), run.action.begin(), run.action.end());
    } else {
        const std::size_t from = rec::calls().size();
        scan_usb();
        const std::vector<rec::call> pass = calls_since(from);
        run.scan.insert(run.scan.end(), pass.begin(), pass.end());
    }
    return run;
}

} // namespace

// The Windows version as quorvex reads it (zero where the call fails).
OSVERSIONINFOA read_version() {
    OSVERSIONINFOA version;
    std::memset(&version, 0, sizeof version);
    version.dwOSVersionInfoSize = sizeof version;
    GetVersionExA(&version);
    return version;
}

capture_made capture_machine(const char *file, const char *argument) {
    SYSTEMTIME now;
    GetLocalTime(&now);
    const local_time captured = {now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute};
    capture_made made;
    const recorded_run run = record_run(argument);
    made.scan = run.scan;
    made.action = run.action;

    // Device Manager's view, read after the pass and not part of it.
    std::uint32_t tree_failure = 0;
    const std::vector<rec::node_view> nodes = rec::device_nodes(tree_failure);
    const described d = describe_machine(run.scan, nodes, tree_failure);
    const desc::machine &machine = d.machine;
    made.description = desc::write_description(machine);
    made.gaps = d.gaps;
    const files_check files =
        check_run_files(run.action, run.action_scanned, argument, machine.major);
    const capture_report report = {.file = file,
                                   .argument = argument,
                                   .machine = &machine,
                                   .scan = &run.scan,
                                   .action = &run.action,
                                   .action_scanned = run.action_scanned,
                                   .download_done = bVcp_done != 0,
                                   .verdict_read = !nodes.empty(),
                                   .verdict_failure = tree_failure,
                                   .unmatched = &d.unmatched,
                                   .replay_gaps = &d.gaps,
                                   .captured = captured,
                                   .file_findings = &files.found,
                                   .files_section = &files.section};
    made.report = report_text(report);
    return made;
}
