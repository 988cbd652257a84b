// The checks of the files quorvex needs here, one finding a cause: the current
// folder, the INFs the package lacks, the programs, the files the INFs name.
// Each names the folder first and says what to do.
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
    "To do: copy every file of the driver packages into quorvex's folder, and start quorvex "
    "there.\n";

// Whether an INF is missing from the current folder because quorvex was started
// elsewhere: it is in quorvex's folder.
bool left_behind(const files_found &found, const inf_file &inf) {
    return !inf.there && inf.in_quorvex && !found.where.current_is_quorvex;
}

// "  NAME: every install of that package fails" for each INF.
std::string inf_lines(const std::vector<const inf_file *> &infs) {
    std::string text;
    for (const inf_file *inf : infs) {
        text += "  " + inf->name + ": " + what_fails(*inf) + "\n";
    }
    return text;
}

} // namespace

check missing_programs(const files_found &found) {
    std::string names, lines;
    std::size_t missing = 0, commands = 0;
    for (const program_file &p : found.programs) {
        if (p.where.empty()) {
            names += (names.empty() ? "" : ", ") + p.name;
            lines += "  " + p.name + ": " + std::to_string(p.commands) +
                     (p.commands == 1 ? " command\n" : " commands\n");
            ++missing;
            commands += p.commands;
        }
    }
    if (missing == 0) {
        return std::nullopt;
    }
    const pc_folders &f = found.where;
    return finding{
        severity::install_fails,
        f.quorvex + ": " + (missing == 1 ? "a program is" : "programs are") + " missing: " + names +
            ": not in " + searched(f) + ".\n" +
            (commands == 1 ? std::string("The command that starts it is")
                           : "Each of the " + std::to_string(commands) + " commands that start " +
                                 (missing == 1 ? "it is" : "them is")) +
            " a " + not_found_line() + " line at this PC, and does nothing:\n" + lines + copy_all};
}

check current_folder(const files_found &found) {
    const pc_folders &f = found.where;
    if (f.current_is_quorvex || !found.scope) {
        return std::nullopt;
    }
    std::vector<const inf_file *> behind;
    for (const inf_file &inf : found.infs) {
        if (left_behind(found, inf)) {
            behind.push_back(&inf);
        }
    }
    std::string text = f.current + ": quorvex is started in a folder that is not its own (" +
                       f.quorvex + "), and wdreg opens each INF in the current folder";
    if (behind.empty()) {
        return finding{severity::information, text + "; every INF this run needs is here too.\n"};
    }
    text += behind.size() == 1 ? ": one INF this run needs is missing here, and is in "
                                 "quorvex's folder:\n"
                               : ": " + std::to_string(behind.size()) +
                                     " INFs this run needs are missing here, and are in "
                                     "quorvex's folder:\n";
    return finding{severity::install_fails,
                   text + inf_lines(behind) +
                       "To do: start quorvex in its own folder (for a shortcut: set its "
                       "\"Start in\" to " +
                       f.quorvex + ").\n"};
}

check missing_infs(const files_found &found) {
    std::vector<const inf_file *> lost;
    for (const inf_file &inf : found.infs) {
        if (!inf.there && !left_behind(found, inf)) {
            lost.push_back(&inf);
        }
    }
    if (lost.empty()) {
        return std::nullopt;
    }
    const pc_folders &f = found.where;
    std::string text =
        f.current + ": the driver package is incomplete: " +
        (lost.size() == 1 ? "one INF this run needs is"
                          : std::to_string(lost.size()) + " INFs this run needs are") +
        " missing from the current folder, where wdreg opens " +
        (lost.size() == 1 ? "it" : "them") +
        (f.current_is_quorvex ? ":\n" : ", and from quorvex's folder:\n");
    return finding{severity::install_fails, text + inf_lines(lost) + copy_all};
}

check unreadable_infs(const files_found &found) {
    std::string lines;
    for (const inf_file &inf : found.infs) {
        if (inf.there && unreadable(inf)) {
            lines += "  " + inf.name + " (" + error_number(inf.contents.error) +
                     "): " + what_fails(inf) + "\n";
        }
    }
    if (lines.empty()) {
        return std::nullopt;
    }
    return finding{severity::install_fails,
                   found.where.current +
                       ": SetupAPI cannot read INFs that are here, so wdreg cannot use them:\n" +
                       lines + "To do: copy the package folder anew.\n"};
}

check missing_named_files(const files_found &found) {
    std::string lines;
    bool installed = false;
    for (const inf_file &inf : found.infs) {
        for (const std::string &file : inf.missing) {
            const auto [folder, name] = split(found.where, found.where.current, file);
            lines += "  " + joined(found.where, folder, name) + ", named by " + inf.name + ": " +
                     (inf.installed ? "every install of that package fails\n"
                                    : "quorvex only removes that package, which may not need "
                                      "it\n");
            installed = installed || inf.installed;
        }
    }
    if (lines.empty()) {
        return std::nullopt;
    }
    return finding{installed ? severity::install_fails : severity::information,
                   found.where.current + ": files the INFs name are missing:\n" + lines +
                       "To do: copy the whole package folder with its subfolders.\n"};
}

check not_beside(const files_found &found) {
    const pc_folders &f = found.where;
    if (f.quorvex_beside) {
        return std::nullopt;
    }
    return finding{severity::information,
                   f.quorvex + ": " + f.quorvex_name + " is not beside " + f.own_name +
                       ": the check takes this folder as quorvex's.\nRun " + f.own_name +
                       " in the folder of " + f.quorvex_name + " for a check that holds there.\n"};
}
