// Files and folders on the emulated machine: the program's own path, the
// current, system and Windows folders, the environment, whether a file is there,
// and the folders CreateProcessA looks for a program in. Paths are the Linux
// file system's, handed out byte for byte. The system and Windows folders are
// the ones the machine description names; a machine that names none has none.
// SetupAPI's INF functions are in inf.cpp.
#include "platform/emu/state.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

namespace emu {
namespace {

std::string own_path() {
    char path[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    return n > 0 ? std::string(path, static_cast<std::size_t>(n)) : std::string();
}

std::string current_folder() {
    std::error_code error;
    const std::filesystem::path here = std::filesystem::current_path(error);
    return error ? std::string(".") : here.string();
}

// The folders of a PATH-like list (Linux: separated by ':'); an empty one is
// the current folder, as the shell takes it.
std::vector<std::string> path_folders(const char *list) {
    std::vector<std::string> folders;
    for (const char *start = list; start != nullptr;) {
        const char *colon = std::strchr(start, ':');
        const std::string folder =
            colon != nullptr ? std::string(start, colon) : std::string(start);
        folders.push_back(folder.empty() ? "." : folder);
        start = colon != nullptr ? colon + 1 : nullptr;
    }
    return folders;
}

// A text handed out as Windows hands out a path or a variable: the length
// without the terminator where it fits, else the size it needs with one; the
// buffer is left as it was then.
DWORD hand_out(const char *function, const std::string &text, LPSTR buffer, DWORD size) {
    if (buffer == nullptr && size != 0) {
        return refused(function, "no buffer for a size that is not 0", ERROR_INVALID_PARAMETER, 0);
    }
    if (buffer == nullptr || text.size() + 1 > size) {
        return static_cast<DWORD>(text.size() + 1);
    }
    std::memcpy(buffer, text.c_str(), text.size() + 1);
    return static_cast<DWORD>(text.size());
}

UINT folder_of_machine(const char *function, const std::optional<std::string> &folder, LPSTR buffer,
                       UINT size) {
    enter(function);
    if (!folder) {
        return failed(ERROR_PATH_NOT_FOUND, 0); // this machine has none
    }
    return hand_out(function, *folder, buffer, size);
}

} // namespace

std::vector<std::string> program_folders() {
    const machine &m = st().m;
    const std::string own = own_path();
    const std::size_t slash = own.rfind('/');
    std::vector<std::string> folders{slash == std::string::npos ? std::string(".")
                                                                : own.substr(0, slash)};
    if (!desc::honours_no_current_folder(m.major, m.minor) ||
        std::getenv("NoDefaultCurrentDirectoryInExePath") == nullptr) {
        folders.push_back(".");
    }
    if (m.system_folder) {
        folders.push_back(*m.system_folder);
    }
    if (m.windows_folder) {
        folders.push_back(*m.windows_folder + "/SYSTEM");
        folders.push_back(*m.windows_folder);
    }
    const std::vector<std::string> path = path_folders(std::getenv("PATH"));
    folders.insert(folders.end(), path.begin(), path.end());
    return folders;
}

void settle_folders(machine &m, const std::string &base) {
    const auto settle = [&](std::string &folder) {
        if (folder.front() != '/') {
            const std::filesystem::path from = base.empty() ? current_folder() : base;
            folder = std::filesystem::absolute(from / folder).lexically_normal().string();
        }
        while (folder.size() > 1 && folder.back() == '/') {
            folder.pop_back();
        }
    };
    for (std::optional<std::string> *folder : {&m.system_folder, &m.windows_folder}) {
        if (*folder) {
            settle(**folder);
        }
    }
    for (auto &[folder, groups] : m.folder_rights) {
        settle(folder);
    }
    for (std::string &volume : m.no_acl_volumes) {
        settle(volume);
    }
}

} // namespace emu

using namespace emu;

DWORD GetModuleFileNameA(HMODULE module, LPSTR file_name, DWORD size) {
    enter("GetModuleFileNameA");
    if (module != nullptr) {
        return refused("GetModuleFileNameA", "only the program's own module (NULL) is known",
                       ERROR_MOD_NOT_FOUND, 0);
    }
    if (file_name == nullptr) {
        return refused("GetModuleFileNameA", "no buffer", ERROR_INVALID_PARAMETER, 0);
    }
    const std::string path = own_path();
    if (path.size() + 1 > size) { // cut short and terminated, as Windows Vista and later do
        if (size > 0) {
            std::memcpy(file_name, path.data(), size - 1);
            file_name[size - 1] = '\0';
        }
        return failed(ERROR_INSUFFICIENT_BUFFER, size);
    }
    std::memcpy(file_name, path.c_str(), path.size() + 1);
    return static_cast<DWORD>(path.size());
}

DWORD GetCurrentDirectoryA(DWORD size, LPSTR buffer) {
    enter("GetCurrentDirectoryA");
    return hand_out("GetCurrentDirectoryA", current_folder(), buffer, size);
}

UINT GetSystemDirectoryA(LPSTR buffer, UINT size) {
    return folder_of_machine("GetSystemDirectoryA", st().m.system_folder, buffer, size);
}

UINT GetWindowsDirectoryA(LPSTR buffer, UINT size) {
    return folder_of_machine("GetWindowsDirectoryA", st().m.windows_folder, buffer, size);
}

// The Linux environment; PATH with its folders separated by ';', as Windows
// separates them.
DWORD GetEnvironmentVariableA(LPCSTR name, LPSTR buffer, DWORD size) {
    enter("GetEnvironmentVariableA");
    if (name == nullptr) {
        return refused("GetEnvironmentVariableA", "no name", ERROR_INVALID_PARAMETER, 0);
    }
    const char *value = std::getenv(name);
    if (value == nullptr) {
        return failed(ERROR_ENVVAR_NOT_FOUND, 0);
    }
    std::string text = value;
    if (std::strcmp(name, "PATH") == 0) {
        text.clear();
        for (const std::string &folder : path_folders(value)) {
            text += (text.empty() ? "" : ";") + folder;
        }
    }
    return hand_out("GetEnvironmentVariableA", text, buffer, size);
}

DWORD GetFileAttributesA(LPCSTR file_name) {
    enter("GetFileAttributesA");
    if (file_name == nullptr) {
        return refused("GetFileAttributesA", "no file name", ERROR_INVALID_PARAMETER,
                       INVALID_FILE_ATTRIBUTES);
    }
    struct stat info {};
    if (::stat(file_name, &info) == 0) {
        return S_ISDIR(info.st_mode) ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_ARCHIVE;
    }
    const int why = errno;
    const std::filesystem::path parent = std::filesystem::path(file_name).parent_path();
    std::error_code error;
    const bool in_a_folder = parent.empty() || std::filesystem::is_directory(parent, error);
    return failed(why == EACCES                  ? ERROR_ACCESS_DENIED
                  : why == ENOENT && in_a_folder ? ERROR_FILE_NOT_FOUND
                                                 : ERROR_PATH_NOT_FOUND,
                  INVALID_FILE_ATTRIBUTES);
}
