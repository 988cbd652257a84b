// The report's section "Files quorvex needs here:": quorvex's folder and the
// current one, each command's program, each INF and what it names.
#include "capture/report/sections/sections.h"

#include "platform/win32.h"

namespace {

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
    out += found.contents_read
               ? ":\n"
               : " (what each names is not read on this build: " + std::string(inf_reader) +
                     " answered " + error_number(found.unread) + ", not implemented):\n";
    for (const inf_file &inf : found.infs) {
        out += "    " + inf.name + ": ";
        if (!inf.there) {
            out += std::string("missing") + (inf.in_quorvex ? " (it is in quorvex's folder)" : "") +
                   "\n";
        } else if (!inf.contents.opened && unreadable(inf)) {
            out += "there; SetupAPI cannot read it (" + error_number(inf.contents.error) +
                   ", line " + std::to_string(inf.contents.line) + ")\n";
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

// Who may write each folder quorvex runs or installs from.
std::string rights_lines(const files_found &found) {
    if (found.rights.empty()) {
        return "";
    }
    std::string out = "  who may write where quorvex runs or installs from as an administrator:\n";
    for (const folder_rights &r : found.rights) {
        out += "    " + r.folder + ": ";
        if (r.error == ERROR_FILE_NOT_FOUND || r.error == ERROR_PATH_NOT_FOUND) {
            out += "not there (" + r.failed + " answered " + error_number(r.error) +
                   "); who may make it is not checked\n";
        } else if (!r.failed.empty()) {
            out += "not read: " + r.failed + " answered " + error_number(r.error) + "\n";
        } else if (r.no_acls) {
            out += "on a " + r.file_system +
                   " volume, which keeps no rights: anyone may add or change files "
                   "here\n";
        } else if (r.writers.empty()) {
            out += "administrators only may write (" + r.file_system + ")\n";
        } else {
            out += names_joined(r.writers) + " may add or change files here\n";
        }
    }
    return out;
}

} // namespace

std::string files_section(const files_found &found) {
    std::string out = "Files quorvex needs here:\n" + folder_lines(found);
    if (!found.scope) {
        return out + "  no ARG given: which commands quorvex runs depends on it; capture again "
                     "with the ARG given to quorvex to check their files\n";
    }
    out += "  checked: " + *found.scope + ": " + std::to_string(found.commands) +
           (found.commands == 1 ? " command\n" : " distinct commands\n");
    for (const program_file &p : found.programs) {
        out += "  " + p.name + ": " +
               (p.where.empty() ? "missing: not in " + searched(found.where) : p.where) + "\n";
    }
    return (found.infs.empty() ? out : out + inf_lines(found)) + rights_lines(found);
}
