// The files quorvex needs at this PC: for every distinct command a run of
// `quorvex ARG` starts, its program as CreateProcessA finds it from quorvex's
// folder; for every `wdreg -inf NAME`, the INF in the current folder (where
// wdreg opens it) and, read with SetupAPI, the catalog and source files it
// names. quorvex's folder is the capture's own: the two are shipped side by side.
// What is found is rendered as a section of the report and checked for its
// findings (report/); nothing here reads the report or the recorded pass.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <utility>
#include <vector>

// This PC's folders as the check takes them.
struct pc_folders {
    char separator = '\\';
    std::string own_name;     // the capture's file name
    std::string quorvex;      // quorvex's folder: the capture's
    std::string quorvex_name; // quorvex.exe: "quorvex" with the capture's extension
    bool quorvex_beside = false;
    std::string current;
    bool current_is_quorvex = false;
    bool current_searched = true; // for programs
    std::optional<std::string> system, windows;
    std::vector<std::string> path;
};

// What an INF names, read with SetupAPI's INF functions: its catalog (the most
// specific of CatalogFile.NTx86, CatalogFile.NT and CatalogFile) and each file
// of [SourceDisksFiles.x86] and [SourceDisksFiles], as paths relative to the
// INF's folder (the disk's path of [SourceDisksNames.x86] or [SourceDisksNames],
// the file's own subfolder, its name), joined with `separator`; its driver's
// date, version and provider; and the devices it installs on an x86 Windows
// `major`.`minor`: the IDs the models sections that such an install takes list.
struct inf_contents {
    bool opened = false;
    unsigned long error = 0; // where it could not be opened: GetLastError
    unsigned line = 0;       // and the line SetupAPI names
    std::optional<std::string> catalog;
    std::vector<std::string> files;
    // [Version] DriverVer's fields as written ("03/01/2025", "1.2.0.0"), and
    // Provider with its %strkey% substituted; "" where the INF has none.
    std::string driver_date, driver_version, provider;
    // Of each model line of those sections, in order, each ID once: field 2,
    // the hardware ID, and fields 3 on, the compatible IDs.
    std::vector<std::string> hardware_ids, compatible_ids;
};
inf_contents read_inf(const std::string &path, char separator, unsigned major, unsigned minor);
// The function read_inf opens an INF with, by name.
extern const char inf_reader[];

struct program_file {
    std::string name;   // as Windows looks for it: with .exe where the word has no extension
    std::string where;  // in words; "" where it is nowhere
    std::string folder; // the folder it is in; "" where it is nowhere
    std::size_t commands = 0;
};

struct inf_file {
    std::string name;
    bool installed = false, removed = false; // by a command of this run
    bool there = false;                      // in the current folder
    bool in_quorvex = false;                 // in quorvex's folder
    inf_contents contents;
    std::vector<std::string> missing; // of what it names, relative to its folder
};

// Who may write a folder quorvex runs or installs from as an administrator
// (record/rights.cpp): quorvex's folder, the current folder, and each folder
// of a program's search up to the one it is found in.
struct folder_rights {
    std::string folder;
    bool quorvex = false, current = false;
    bool searched = false;            // for programs
    std::vector<std::string> runs;    // the programs found here
    std::vector<std::string> looked;  // found further on, or nowhere, yet looked for here first
    std::string failed;               // the call that could not read the rights, if any
    unsigned long error = 0;          // and its error
    std::string file_system;          // as its volume names it; "" where not read
    bool no_acls = false;             // its volume keeps no rights: anyone may write
    std::vector<std::string> writers; // who of Everyone, Authenticated Users, Users and
                                      // Interactive may add or change files here
};

struct files_found {
    pc_folders where;
    std::optional<std::string> scope; // which run the commands are, in words
    std::size_t commands = 0;         // distinct
    std::vector<program_file> programs;
    std::vector<inf_file> infs;
    bool contents_read = true;         // false: this build cannot read an INF
    unsigned long unread = 0;          // and SetupOpenInfFileA's error
    unsigned major = 0, minor = 0;     // the Windows version, which picks an INF's models
    std::vector<folder_rights> rights; // where a scope is known
};

// `commands`: the command lines of the run, in order (repeats are checked once);
// `scope`: which run they are, in words ("what quorvex 64 runs here"), or none
// where no ARG was given and no command is known; `major`, `minor`: the Windows
// version (from 5.2 on, NoDefaultCurrentDirectoryInExePath keeps the current
// folder out of a program's search).
files_found find_files(const std::vector<std::string> &commands,
                       const std::optional<std::string> &scope, unsigned major, unsigned minor);

// The places CreateProcessA looks for a program in, in its order: each folder
// and its words ("the current folder").
std::vector<std::pair<std::string, std::string>> program_places(const pc_folders &f);
// Who may write each folder quorvex runs or installs from (record/rights.cpp).
void find_rights(files_found &found);

// Paths and texts of what was found.
std::string joined(const pc_folders &f, const std::string &folder, const std::string &name);
// The folder of a path relative to `folder`, and its last name.
std::pair<std::string, std::string> split(const pc_folders &f, const std::string &folder,
                                          const std::string &relative);
// Where Windows looks for a program, in words: "quorvex's folder, the current
// folder or a folder of PATH".
std::string searched(const pc_folders &f);
// "A", "A and B", "A, B and C".
std::string names_joined(const std::vector<std::string> &names);
// What fails where an INF cannot serve: its install, its removal, or both.
std::string what_fails(const inf_file &inf);
// "error 5", "error 0xE0000102".
std::string error_number(unsigned long error);
// Whether SetupAPI read the INF, or failed otherwise than by not being
// implemented on this build.
bool unreadable(const inf_file &inf);
