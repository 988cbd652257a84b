// The check of who may write where quorvex runs or installs from: a folder
// that others than the administrators may write, and what quorvex, running as
// an administrator, would then run or install from what they put there. Such a
// folder makes this run's installs untrustworthy as they stand: it is told as
// seriously as an install that fails.
#include "capture/report/checks/checks.h"

namespace {

// What quorvex does in a folder, each a sentence of its own.
std::string what_quorvex_does(const files_found &found, const folder_rights &r) {
    std::string text;
    if (!r.runs.empty()) {
        text += "quorvex runs " + names_joined(r.runs) + " from here as an administrator.\n";
    }
    for (const std::string &name : r.looked) {
        std::string at;
        for (const program_file &p : found.programs) {
            at = p.name == name ? p.folder : at;
        }
        text += "quorvex looks here for " + name;
        if (at.empty()) {
            text += ", which is missing: a " + name + " put here is run as an administrator.\n";
        } else {
            text += " before " + at;
            text += ", where it is: a " + name + " put here is run instead, as an administrator.\n";
        }
    }
    std::vector<std::string> infs;
    for (const inf_file &inf : r.current ? found.infs : std::vector<inf_file>{}) {
        infs.push_back(inf.name);
    }
    if (!infs.empty()) {
        text += "wdreg, run by quorvex as an administrator, opens " + names_joined(infs) +
                " here and installs the files they name from here.\n";
    }
    if (r.quorvex && found.major == 5 && found.minor == 1) {
        text += "A copy of msvcrt.dll, setupapi.dll or cfgmgr32.dll put here is loaded into "
                "quorvex, as they are not KnownDLLs on Windows XP.\n";
    }
    return text;
}

} // namespace

check writable_folder(const files_found &found, const folder_rights &r) {
    if (!r.failed.empty() || (!r.no_acls && r.writers.empty())) {
        return std::nullopt;
    }
    const std::string does = what_quorvex_does(found, r);
    if (does.empty()) {
        return std::nullopt;
    }
    if (r.no_acls) {
        return finding{severity::install_fails,
                       r.folder + ": on a " + r.file_system +
                           " volume, which keeps no rights: anyone may add or change files "
                           "here.\n" +
                           does +
                           "To do: copy the package to a folder on an NTFS volume that only "
                           "administrators may write, and start quorvex there.\n"};
    }
    const std::string who = names_joined(r.writers);
    const std::string take =
        "take the write rights of " + who + " away from this folder (its Properties, Security)";
    return finding{severity::install_fails,
                   r.folder + ": " + who + " may add or change files here.\n" + does +
                       (r.quorvex || r.current
                            ? "To do: keep the package in a folder only administrators may "
                              "write, or " +
                                  take + ".\n"
                            : "To do: " + take + ", or put " + names_joined(r.looked) +
                                  " in quorvex's folder, which Windows searches first.\n")};
}
