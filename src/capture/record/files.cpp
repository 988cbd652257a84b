// The check of the files quorvex needs here (files.h): where this PC's folders
// are, where CreateProcessA finds each command's program (a first word without
// an extension gets ".exe"; quorvex's folder, the current folder, the system
// folder, the 16-bit system folder, the Windows folder, then PATH), which INF
// files wdreg finds in the current folder, and which files they name are there.
#include "capture/record/files.h"

#include "platform/description/table.h"
#include "platform/win32.h"

#include <cstdio>
#include <set>
#include <utility>

namespace {

using desc::lower;

bool file_there(const std::string &path) {
    const DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

// A path a call writes into a buffer: none where it fails or does not fit. A
// folder loses a closing separator unless it is a drive's or the root.
template <typename Call> std::optional<std::string> path_from(Call call) {
    char text[1024];
    const unsigned long n = call(text, static_cast<DWORD>(sizeof text));
    if (n == 0 || n >= sizeof text) {
        return std::nullopt;
    }
    std::string path(text, n);
    while (path.size() > 1 && (path.back() == '\\' || path.back() == '/') &&
           path[path.size() - 2] != ':') {
        path.pop_back();
    }
    return path;
}

std::optional<std::string> variable(const char *name) {
    const DWORD size = GetEnvironmentVariableA(name, nullptr, 0);
    if (size == 0) {
        return std::nullopt;
    }
    std::string text(size, '\0');
    const DWORD n = GetEnvironmentVariableA(name, text.data(), size);
    if (n >= size) {
        return std::nullopt;
    }
    text.resize(n);
    return text;
}

void read_own_place(pc_folders &f) {
    const std::string own = path_from([](char *t, DWORD n) {
                                return GetModuleFileNameA(nullptr, t, n);
                            }).value_or("quorvex-capture.exe");
    f.separator = own.find('\\') != std::string::npos ? '\\' : '/';
    const std::size_t cut = own.rfind(f.separator);
    f.own_name = cut == std::string::npos ? own : own.substr(cut + 1);
    const bool root = cut == 0 || (cut != std::string::npos && own[cut - 1] == ':');
    f.quorvex = cut == std::string::npos ? "." : own.substr(0, root ? cut + 1 : cut);
    const std::size_t dot = f.own_name.rfind('.');
    f.quorvex_name = "quorvex" + (dot == std::string::npos ? "" : f.own_name.substr(dot));
    f.quorvex_beside = file_there(joined(f, f.quorvex, f.quorvex_name));
}

pc_folders read_folders(unsigned major, unsigned minor) {
    pc_folders f;
    read_own_place(f);
    f.current = path_from([](char *t, DWORD n) { return GetCurrentDirectoryA(n, t); }).value_or("");
    f.current_is_quorvex = lower(f.current) == lower(f.quorvex);
    f.current_searched = !desc::honours_no_current_folder(major, minor) ||
                         !variable("NoDefaultCurrentDirectoryInExePath");
    f.system = path_from([](char *t, DWORD n) { return GetSystemDirectoryA(t, n); });
    f.windows = path_from([](char *t, DWORD n) { return GetWindowsDirectoryA(t, n); });
    const std::string path = variable("PATH").value_or("") + ";";
    for (std::size_t start = 0, end; (end = path.find(';', start)) != std::string::npos;
         start = end + 1) {
        if (end > start) {
            f.path.push_back(path.substr(start, end - start));
        }
    }
    return f;
}

std::vector<std::string> words_of(const std::string &command) {
    std::vector<std::string> words;
    std::string word;
    for (const char c : command + " ") {
        if (c != ' ' && c != '\t') {
            word += c;
        } else if (!word.empty()) {
            words.push_back(word);
            word.clear();
        }
    }
    return words;
}

} // namespace

std::vector<std::pair<std::string, std::string>> program_places(const pc_folders &f) {
    std::vector<std::pair<std::string, std::string>> places{{f.quorvex, "quorvex's folder"}};
    if (f.current_searched && !f.current_is_quorvex) {
        places.emplace_back(f.current, "the current folder");
    }
    if (f.system) {
        places.emplace_back(*f.system, "the system folder " + *f.system);
    }
    if (f.windows) {
        const std::string sixteen = joined(f, *f.windows, "SYSTEM");
        places.emplace_back(sixteen, "the 16-bit system folder " + sixteen);
        places.emplace_back(*f.windows, "the Windows folder " + *f.windows);
    }
    for (const std::string &folder : f.path) {
        places.emplace_back(folder, folder + ", a folder of PATH");
    }
    return places;
}

namespace {

// quorvex's commands name each program bare ("wdreg", "del_sys.bat"): Windows
// looks for it in the folders of its search order, with ".exe" added where the
// name has no extension.
void add_program(files_found &found, const std::string &word) {
    const std::string name = word.find('.') == std::string::npos ? word + ".exe" : word;
    for (program_file &p : found.programs) {
        if (lower(p.name) == lower(name)) {
            ++p.commands;
            return;
        }
    }
    program_file p{name, "", "", 1};
    for (const auto &[folder, words] : program_places(found.where)) {
        if (p.where.empty() && file_there(joined(found.where, folder, name))) {
            p.where = "in " + words;
            p.folder = folder;
        }
    }
    found.programs.push_back(p);
}

void add_inf(files_found &found, const std::string &name, bool install) {
    for (inf_file &inf : found.infs) {
        if (lower(inf.name) == lower(name)) {
            (install ? inf.installed : inf.removed) = true;
            return;
        }
    }
    const pc_folders &f = found.where;
    inf_file inf;
    inf.name = name;
    (install ? inf.installed : inf.removed) = true;
    const std::string path = joined(f, f.current, name);
    inf.there = file_there(path);
    inf.in_quorvex = f.current_is_quorvex ? inf.there : file_there(joined(f, f.quorvex, name));
    inf.contents.error = found.unread; // where this build reads no INF
    if (inf.there && found.contents_read) {
        inf.contents = read_inf(path, f.separator, found.major, found.minor);
        if (!inf.contents.opened && inf.contents.error == ERROR_CALL_NOT_IMPLEMENTED) {
            found.contents_read = false;
            found.unread = inf.contents.error;
        }
    }
    std::vector<std::string> named = inf.contents.files;
    if (inf.contents.catalog) {
        named.insert(named.begin(), *inf.contents.catalog);
    }
    for (const std::string &file : named) {
        if (!file_there(joined(f, f.current, file))) {
            inf.missing.push_back(file);
        }
    }
    found.infs.push_back(inf);
}

} // namespace

files_found find_files(const std::vector<std::string> &commands,
                       const std::optional<std::string> &scope, unsigned major, unsigned minor) {
    files_found found;
    found.where = read_folders(major, minor);
    found.scope = scope;
    found.major = major;
    found.minor = minor;
    std::set<std::string> seen;
    for (const std::string &command : scope ? commands : std::vector<std::string>{}) {
        const std::vector<std::string> words = words_of(command);
        if (words.empty() || !seen.insert(command).second) {
            continue;
        }
        ++found.commands;
        add_program(found, words[0]);
        if (words.size() >= 3 && lower(words[0]) == "wdreg" && lower(words[1]) == "-inf") {
            add_inf(found, words[2], lower(words.back()) != "uninstall");
        }
    }
    if (scope) {
        find_rights(found);
    }
    return found;
}

std::string joined(const pc_folders &f, const std::string &folder, const std::string &name) {
    return folder.empty() || folder.back() == f.separator ? folder + name
                                                          : folder + f.separator + name;
}

std::pair<std::string, std::string> split(const pc_folders &f, const std::string &folder,
                                          const std::string &relative) {
    const std::string path = joined(f, folder, relative);
    const std::size_t cut = path.rfind(f.separator);
    return {path.substr(0, cut), path.substr(cut + 1)};
}

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

std::string names_joined(const std::vector<std::string> &names) {
    std::string text;
    for (std::size_t i = 0; i < names.size(); ++i) {
        text += (i == 0 ? "" : i + 1 == names.size() ? " and " : ", ") + names[i];
    }
    return text;
}

std::string what_fails(const inf_file &inf) {
    return inf.installed && inf.removed ? "every install and removal of that package fails"
           : inf.installed              ? "every install of that package fails"
                                        : "every removal of that package fails";
}

std::string error_number(unsigned long error) {
    char text[32];
    std::snprintf(text, sizeof text, error >= 0x10000 ? "error 0x%lX" : "error %lu", error);
    return text;
}

bool unreadable(const inf_file &inf) {
    return !inf.contents.opened && inf.contents.error != ERROR_CALL_NOT_IMPLEMENTED;
}
