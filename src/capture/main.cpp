// quorvex-capture: its arguments, the refusals, and FILE (capture.cpp captures).
#include "capture/report/sections/sections.h"
#include "capture/capture.h"
#include "capture/record/run.h"
#include "platform/new_file.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

constexpr int status_done = 0;
constexpr int status_bad_input = 2;
constexpr int status_replays_otherwise = 3; // FILE written; the report names what it lacks

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

// The runs that end before anything is captured: the usage, --explain, bad
// arguments and, on the emulated machine, no machine to capture. Their exit
// status, or -1 where the capture goes on.
int before_the_capture(int argc, char **argv) {
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
    if (const char *why = no_machine_to_capture()) {
        return refuse("quorvex-capture: %s%s", why);
    }
    return -1;
}

// The refusal of a FILE that could not be begun, or finished, with `error` (errno):
// something there (from the start, or come meanwhile) only where it is at FILE
// itself; any other reason in the system's words.
int refuse_file(const char *path, const new_file &file, int error, bool finishing) {
    if (error == EEXIST && finishing) {
        return refuse("quorvex-capture: %s came there meanwhile and is not overwritten", path);
    }
    if (error == EEXIST && file.temporary.empty()) {
        return refuse("quorvex-capture: %s is there already and is not overwritten", path);
    }
    if (error == EEXIST) { // not FILE: every name to write it under first
        return refuse("quorvex-capture: cannot write %s: %s and the names before it are all "
                      "there (left by runs that were killed)",
                      path, file.temporary.c_str());
    }
    return refuse("quorvex-capture: cannot write %s: %s", path, std::strerror(error));
}

} // namespace

int main(int argc, char **argv) {
    if (const int status = before_the_capture(argc, argv); status >= 0) {
        return status;
    }
    const char *path = argv[1];
    new_file file;
    if (!begin_new_file(path, file)) {
        return refuse_file(path, file, errno, false);
    }
    const capture_made made = capture_machine(path, argc == 3 ? argv[2] : nullptr);
    if (!finish_new_file(file, made.description)) {
        return refuse_file(path, file, errno, true);
    }
    std::fwrite(made.report.data(), 1, made.report.size(), stdout);
    std::fflush(stdout);
    return made.gaps.empty() ? status_done : status_replays_otherwise;
}
