// The report's section "Files quorvex needs here:": quorvex's folder and the
// current one, each command's program, each INF and what it names.
#include "capture/report/sections/sections.h"

#include "platform/win32.h"

#include <cstdio>

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

// A DriverVer date as written (month/day/year) in ISO order: "2025-03-01".
std::string iso_date(const std::string &date) {
    unsigned month = 0, day = 0, year = 0;
    char end = 0;
    if (std::sscanf(date.c_str(), "%u/%u/%u%c", &month, &day, &year, &end) != 3) {
        return date;
    }
    char text[16];
    std::snprintf(text, sizeof text, "%04u-%02u-%02u", year % 10000, month % 100, day % 100);
    return text;
}

std::string listed(const std::vector<std::string> &ids) {
    std::string out;
    for (const std::string &id : ids) {
        out += (out.empty() ? "" : ", ") + id;
    }
    return out;
}

// The driver an INF read installs, and the devices it installs on x86.
std::string driver_line(const inf_contents &inf) {
    std::string out = "      ";
    out += inf.driver_version.empty() && inf.driver_date.empty()
               ? "no DriverVer"
               : "version " + (inf.driver_version.empty() ? "?" : inf.driver_version) + " of " +
                     (inf.driver_date.empty() ? "?" : iso_date(inf.driver_date));
    out += inf.provider.empty() ? ", no Provider" : ", provider " + inf.provider;
    out += inf.hardware_ids.empty() ? "; for x86 it lists no hardware ID"
                                    : "; for x86 it lists " + listed(inf.hardware_ids);
    return out + (inf.compatible_ids.empty() ? "" : ", compatible " + listed(inf.compatible_ids)) +
           "\n";
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
            const unsigned line = inf.contents.line; // 0: no line is to blame
            out += "there; SetupAPI cannot read it (" + error_number(inf.contents.error) +
                   (line != 0 ? ", line " + std::to_string(line) : "") + ")\n";
        } else if (!inf.contents.opened) {
            out += "there\n";
        } else {
            const std::size_t named = inf.contents.files.size();
            out += "there; it names " +
                   (inf.contents.catalog ? "the catalog " + *inf.contents.catalog + " and "
                                         : std::string("no catalog, and ")) +
                   std::to_string(named) + (named == 1 ? " file" : " files") +
                   (inf.missing.empty() ? ": all there\n" : "\n") + driver_line(inf.contents);
            out += inf.missing.empty() ? "" : "      missing:\n";
            for (const std::string &file : inf.missing) {
                out += "        " + file + "\n";
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
