// The checks of the files quorvex needs here: each names the folder first and
// says what to do.
#include "capture/report/checks/checks.h"

#include "exec/commands.h"
#include "platform/win32.h"

#include <cstdio>

namespace {

// The line quorvex prints where a command's program is not found, as "...".
std::string not_found_line() {
    char text[64];
    std::snprintf(text, sizeof text, start_failure_format, static_cast<int>(ERROR_FILE_NOT_FOUND));
    std::string quoted = "\"";
    quoted += text;
    quoted.back() = '"'; // for the line's end
    return quoted;
}

constexpr const char *copy_all =
    "  Copy every file of the driver packages into quorvex's folder, and start quorvex there.\n";

} // namespace

check missing_program(const files_found &found, const program_file &p) {
    if (!p.where.empty()) {
        return std::nullopt;
    }
    const pc_folders &f = found.where;
    return finding{
        severity::install_fails,
        f.quorvex + ": " + p.name + " is missing: it is not in " + searched(f) + ".\n" +
            (p.commands == 1
                 ? "  The command that starts it is"
                 : "  Each of the " + std::to_string(p.commands) + " commands that start it is") +
            " a " + not_found_line() + " line at this PC, and does nothing.\n" + copy_all};
}

check missing_inf(const files_found &found, const inf_file &inf) {
    const pc_folders &f = found.where;
    if (!inf.there) {
        return finding{severity::install_fails,
                       f.current + ": " + inf.name +
                           " is missing from the current folder, where wdreg opens it: " +
                           what_fails(inf) + " at this PC.\n" +
                           (inf.in_quorvex ? "  It is in quorvex's folder " + f.quorvex +
                                                 ": start quorvex from there.\n"
                                           : copy_all)};
    }
    if (unreadable(inf)) {
        return finding{severity::install_fails,
                       f.current + ": " + inf.name + " is there, but SetupAPI cannot read it (" +
                           error_number(inf.contents.error) + "): " + what_fails(inf) +
                           " at this PC.\n  Copy the package folder anew.\n"};
    }
    return std::nullopt;
}

check missing_named_file(const files_found &found, const inf_file &inf, const std::string &file) {
    const auto [folder, name] = split(found.where, found.where.current, file);
    return finding{inf.installed ? severity::install_fails : severity::information,
                   folder + ": " + name + " is missing, and " + inf.name + " names it: " +
                       (inf.installed ? "every install of that package fails at this PC.\n"
                                      : "quorvex only removes that package here, which "
                                        "may not need it.\n") +
                       "  Copy the whole package folder with its subfolders.\n"};
}

check current_folder(const files_found &found) {
    const pc_folders &f = found.where;
    if (f.current_is_quorvex || !found.scope) {
        return std::nullopt;
    }
    std::size_t missing = 0;
    for (const inf_file &inf : found.infs) {
        missing += inf.there ? 0 : 1;
    }
    return finding{missing > 0 ? severity::install_fails : severity::information,
                   f.current + ": the current folder is not quorvex's folder (" + f.quorvex +
                       "): wdreg looks for each INF here" +
                       (missing == 1 ? ", and one of them is missing here.\n"
                        : missing > 1
                            ? ", and " + std::to_string(missing) + " of them are missing here.\n"
                            : "; every INF this run needs is here too.\n") +
                       (missing > 0 ? "  Start quorvex from its own folder.\n"
                                    : "  Start quorvex from this folder again, or keep "
                                      "the package's files beside quorvex.\n")};
}

check not_beside(const files_found &found) {
    const pc_folders &f = found.where;
    if (f.quorvex_beside) {
        return std::nullopt;
    }
    return finding{severity::information,
                   f.quorvex + ": " + f.quorvex_name + " is not beside " + f.own_name +
                       ": the check takes this folder as quorvex's.\n  Run " + f.own_name +
                       " in the folder of " + f.quorvex_name + " for a check that holds there.\n"};
}
