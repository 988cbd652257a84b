// The capture's run: its arguments, one recorded pass of the scan (and, with an
// argument, the tool's action for it), the description and the report.
#include "capture/capture.h"

#include "front/entry.h"
#include "platform/new_file.h"
#include "platform/win32.h"
#include "shared/modes.h"
#include "usb_enum/usb_enum.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

constexpr int status_done = 0;
constexpr int status_bad_input = 2;

int refuse(const char *format, const char *detail, const char *more = "") {
    std::fprintf(stderr, format, detail, more);
    std::fputc('\n', stderr);
    return status_bad_input;
}

constexpr const char usage[] =
    "usage: quorvex-capture FILE [ARG]\n"
    "  Records this PC's answers to quorvex's USB scan (and, with ARG, what quorvex ARG\n"
    "  would do) into FILE, a machine description, and prints a report. FILE must not\n"
    "  be there yet; it appears whole or not at all.\n"
    "usage: quorvex-capture --explain ARG\n"
    "  Says how quorvex reads ARG on this PC: its bits and the action that acts.\n";

// The Windows version as quorvex reads it (zero where the call fails).
OSVERSIONINFOA read_version() {
    OSVERSIONINFOA version;
    std::memset(&version, 0, sizeof version);
    version.dwOSVersionInfoSize = sizeof version;
    GetVersionExA(&version);
    return version;
}

// Calls made since `from`: the recording of one stretch of the run.
std::vector<rec::call> calls_since(std::size_t from) {
    const std::vector<rec::call> &all = rec::calls();
    return std::vector<rec::call>(all.begin() + static_cast<std::ptrdiff_t>(from), all.end());
}

bool opened_a_controller(const std::vector<rec::call> &calls) {
    for (const rec::call &c : calls) {
        if (std::strcmp(c.function, "CreateFileA") == 0) {
            return true; // every pass opens \\.\HCD0 first
        }
    }
    return false;
}

} // namespace

int capture_main(int argc, char **argv) {
    const char *path = argc >= 2 ? argv[1] : "";
    if (argc == 2 && (std::strcmp(path, "--help") == 0 || std::strcmp(path, "-h") == 0 ||
                      std::strcmp(path, "/?") == 0)) {
        std::fputs(usage, stdout);
        return status_done;
    }
    if (argc == 3 && std::strcmp(path, "--explain") == 0) {
        const OSVERSIONINFOA version = read_version();
        std::fputs(argument_text(argv[2], version.dwMajorVersion, version.dwMinorVersion).c_str(),
                   stdout);
        return status_done;
    }
    if (argc < 2 || argc > 3) {
        return refuse("usage: %s FILE [ARG]", "quorvex-capture");
    }
    if (path[0] == '-') {
        return refuse("quorvex-capture: FILE may not begin with '-': %s (--help shows the usage)",
                      path);
    }
    const char *argument = argc == 3 ? argv[2] : nullptr;
    if (const char *why = no_machine_to_capture()) {
        return refuse("quorvex-capture: %s%s", why);
    }
    new_file file;
    if (!begin_new_file(path, file)) {
        const int error = errno;
        if (error == EEXIST) {
            return refuse("quorvex-capture: %s is there already and is not overwritten", path);
        }
        return refuse("quorvex-capture: cannot write %s: %s", path, std::strerror(error));
    }

    // The modes as the tool sets them from the argument; none without one.
    bSelsusp_mode = 0;
    bXcontrol_mode = 0;
    bUpdate_mode = 0;
    bVcp_done = 0;
    const std::uint8_t flags = argument != nullptr ? convert_flags(argument) : 0;
    apply_mode_bits(flags);

    const OSVERSIONINFOA version = read_version();
    const std::vector<rec::call> version_call = calls_since(0);

    // The argument's action, with one polling pass at most. Where it does not
    // poll, the pass the description is made from is one of its own.
    std::vector<rec::call> action;
    if (argument != nullptr) {
        const std::size_t from = rec::calls().size();
        run_action(flags, 1);
        action = calls_since(from);
    }
    const bool action_scanned = opened_a_controller(action);
    std::vector<rec::call> scan = version_call;
    if (action_scanned) {
        scan.insert(scan.end(), action.begin(), action.end());
    } else {
        const std::size_t from = rec::calls().size();
        scan_usb();
        const std::vector<rec::call> pass = calls_since(from);
        scan.insert(scan.end(), pass.begin(), pass.end());
    }

    // Device Manager's view, read after the pass and not part of it.
    std::uint32_t tree_failure = 0;
    const std::vector<rec::node_view> nodes = rec::device_nodes(tree_failure);
    const desc::machine machine = describe_machine(scan, nodes);
    if (!finish_new_file(file, desc::write_description(machine))) {
        const int error = errno;
        if (error == EEXIST) {
            return refuse("quorvex-capture: %s came there meanwhile and is not overwritten", path);
        }
        return refuse("quorvex-capture: cannot write %s: %s", path, std::strerror(error));
    }
    const capture_report report = {.file = path,
                                   .argument = argument,
                                   .machine = &machine,
                                   .scan = &scan,
                                   .action = &action,
                                   .action_scanned = action_scanned,
                                   .download_done = bVcp_done != 0,
                                   .verdict_read = !nodes.empty()};
    std::string text = report_text(report);
    if (nodes.empty()) {
        char why[160];
        std::snprintf(why, sizeof why,
                      "Device Manager's verdict: not read (CM_Locate_DevNodeA answered 0x%X)\n",
                      static_cast<unsigned>(tree_failure));
        text.insert(text.find('\n') + 1, why);
    }
    if (argument != nullptr) { // how ARG was read: the report's first lines after its header
        const std::size_t header = text.find('\n') + 1;
        text.insert(header,
                    argument_text(argument, version.dwMajorVersion, version.dwMinorVersion));
    }
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
    return status_done;
}
