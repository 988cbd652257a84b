// The files check in words (files.h): the report's section "Files quorvex needs
// here:", and a finding for each file missing and for a current folder other
// than quorvex's, each naming the folder first and saying what to do.
#include "capture/files.h"

#include <cstdio>

namespace {

constexpr unsigned long error_not_implemented = 120; // ERROR_CALL_NOT_IMPLEMENTED
constexpr const char *copy_all =
    "  Copy every file of the driver packages into quorvex's folder, and start quorvex there.\n";

std::string error_text(unsigned long error) {
    char text[32];
    std::snprintf(text, sizeof text, error >= 0x10000 ? "error 0x%lX" : "error %lu", error);
    return text;
}

std::string joined(const pc_folders &f, const std::string &folder, const std::string &name) {
    return folder.empty() || folder.back() == f.separator ? folder + name
                                                          : folder + f.separator + name;
}

// The folder of a path relative to `folder`, and its last name.
std::pair<std::string, std::string> split(const pc_folders &f, const std::string &folder,
                                          const std::string &relative) {
    const std::string path = joined(f, folder, relative);
    const std::size_t cut = path.rfind(f.separator);
    return {path.substr(0, cut), path.substr(cut + 1)};
}

// Where Windows looks for a program, in words: "quorvex's folder, the current
// folder or a folder of PATH".
std::string searched(const pc_folders &f) {
    std::vector<std::string> names{"quorvex's folder"};
    if (f.current_searched && !f.current_is_quorvex) {
        names.push_back("the current folder");
    }
    if (f.system) {
        names.push_back("the system folder");
    }
    if (f.windows) {
        names.push_back("the 16-bit system folder");
        names.push_back("the Windows folder");
    }
    names.push_back("a folder of PATH");
    std::string text;
    for (std::size_t i = 0; i < names.size(); ++i) {
        text += (i == 0 ? "" : i + 1 == names.size() ? " or " : ", ") + names[i];
    }
    return text;
}

// What fails where an INF cannot serve: its install, its removal, or both.
std::string what_fails(const inf_file &inf) {
    return inf.installed && inf.removed ? "every install and removal of that package fails"
           : inf.installed              ? "every install of that package fails"
                                        : "every removal of that package fails";
}

std::string folder_lines(const files_found &found) {
    const pc_folders &f = found.where;
    std::string out = "  " + f.quorvex_name + ": " +
                      (f.quorvex_beside ? "in " + f.quorvex + ", beside " + f.own_name + "\n"
                                        : "not in " + f.quorvex + ", the folder of " + f.own_name +
                                              "; the check takes it as quorvex's\n");
    out += "  the current folder: " + f.current +
           (f.current_is_quorvex ? ", quorvex's folder\n"
                                 : ", not quorvex's folder: wdreg looks for each INF here\n");
    if (!f.current_searched && !f.current_is_quorvex) {
        out += "  (NoDefaultCurrentDirectoryInExePath is set: Windows does not look for a program "
               "there)\n";
    }
    return out;
}

std::string inf_lines(const files_found &found) {
    std::string out = "  INF files, each in the current folder, where wdreg opens it";
    out += found.contents_read ? ":\n"
                               : " (what each names is not read on this build: "
                                 "SetupOpenInfFileA answered " +
                                     error_text(found.unread) + ", not implemented):\n";
    for (const inf_file &inf : found.infs) {
        out += "    " + inf.name + ": ";
        if (!inf.there) {
            out += std::string("missing") + (inf.in_quorvex ? " (it is in quorvex's folder)" : "") +
                   "\n";
        } else if (!inf.contents.opened && inf.contents.error != error_not_implemented) {
            out += "there; SetupAPI cannot read it (" + error_text(inf.contents.error) + ", line " +
                   std::to_string(inf.contents.line) + ")\n";
        } else if (!inf.contents.opened) {
            out += "there\n";
        } else {
            const std::size_t named = inf.contents.files.size();
            out += "there; it names " +
                   (inf.contents.catalog ? "the catalog " + *inf.contents.catalog + " and "
                                         : std::string("no catalog, and ")) +
                   std::to_string(named) + (named == 1 ? " file" : " files") +
                   (inf.missing.empty() ? ": all there\n" : "; missing:\n");
            for (const std::string &file : inf.missing) {
                out += "      " + file + "\n";
            }
        }
    }
    return out;
}

} // namespace

std::string files_section(const files_found &found) {
    std::string out = "Files quorvex needs here:\n" + folder_lines(found);
    if (found.scope == nullptr) {
        return out + "  no ARG given: which commands quorvex runs depends on it; capture again "
                     "with the ARG given to quorvex to check their files\n";
    }
    out += "  checked: " + std::string(found.scope) + ": " + std::to_string(found.commands) +
           (found.commands == 1 ? " command\n" : " distinct commands\n");
    for (const program_file &p : found.programs) {
        out += "  " + p.name + ": " +
               (p.where.empty() ? "missing: not in " + searched(found.where) : p.where) + "\n";
    }
    return found.infs.empty() ? out : out + inf_lines(found);
}

findings files_findings(const files_found &found) {
    findings out;
    const pc_folders &f = found.where;
    for (const program_file &p : found.programs) {
        if (p.where.empty()) {
            out.push_back({severity::install_fails,
                           f.quorvex + ": " + p.name + " is missing: it is not in " + searched(f) +
                               ".\n" +
                               (p.commands == 1 ? "  The command that starts it is"
                                                : "  Each of the " + std::to_string(p.commands) +
                                                      " commands that start it is") +
                               " a \"CreateProcess failed (2)\" line at this PC, and does "
                               "nothing.\n" +
                               copy_all});
        }
    }
    std::size_t missing_here = 0;
    for (const inf_file &inf : found.infs) {
        missing_here += inf.there ? 0 : 1;
        if (!inf.there) {
            out.push_back({severity::install_fails,
                           f.current + ": " + inf.name +
                               " is missing from the current folder, where wdreg opens it: " +
                               what_fails(inf) + " at this PC.\n" +
                               (inf.in_quorvex ? "  It is in quorvex's folder " + f.quorvex +
                                                     ": start quorvex from there.\n"
                                               : copy_all)});
        } else if (!inf.contents.opened && inf.contents.error != error_not_implemented) {
            out.push_back({severity::install_fails,
                           f.current + ": " + inf.name +
                               " is there, but SetupAPI cannot read it (" +
                               error_text(inf.contents.error) + "): " + what_fails(inf) +
                               " at this PC.\n  Copy the package folder anew.\n"});
        }
        for (const std::string &file : inf.missing) {
            const auto [folder, name] = split(f, f.current, file);
            out.push_back({inf.installed ? severity::install_fails : severity::information,
                           folder + ": " + name + " is missing, and " + inf.name + " names it: " +
                               (inf.installed ? "every install of that package fails at this PC.\n"
                                              : "quorvex only removes that package here, which "
                                                "may not need it.\n") +
                               "  Copy the whole package folder with its subfolders.\n"});
        }
    }
    if (!f.current_is_quorvex && found.scope != nullptr) {
        out.push_back({missing_here > 0 ? severity::install_fails : severity::information,
                       f.current + ": the current folder is not quorvex's folder (" + f.quorvex +
                           "): wdreg looks for each INF here" +
                           (missing_here == 1  ? ", and one of them is missing here.\n"
                            : missing_here > 1 ? ", and " + std::to_string(missing_here) +
                                                     " of them are missing here.\n"
                                               : "; every INF this run needs is here too.\n") +
                           (missing_here > 0 ? "  Start quorvex from its own folder.\n"
                                             : "  Start quorvex from this folder again, or keep "
                                               "the package's files beside quorvex.\n")});
    }
    if (!f.quorvex_beside) {
        out.push_back({severity::information,
                       f.quorvex + ": " + f.quorvex_name + " is not beside " + f.own_name +
                           ": the check takes this folder as quorvex's.\n"
                           "  Run " +
                           f.own_name + " in the folder of " + f.quorvex_name +
                           " for a check that holds there.\n"});
    }
    return out;
}
