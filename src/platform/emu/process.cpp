// Processes on the emulated machine are real processes: a command line is split
// at spaces and tabs and its first word looked for in the tool's own directory,
// the current directory, then PATH.
#include "platform/emu/state.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <spawn.h>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace emu {
namespace {

std::vector<std::string> split_words(const char *line) {
    std::vector<std::string> words;
    std::string word;
    for (const char *p = line; *p != '\0'; ++p) {
        if (*p == ' ' || *p == '\t') {
            if (!word.empty()) {
                words.push_back(word);
                word.clear();
            }
        } else {
            word += *p;
        }
    }
    if (!word.empty()) {
        words.push_back(word);
    }
    return words;
}

std::string own_directory() {
    char path[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0) {
        return ".";
    }
    path[n] = '\0';
    std::string p(path);
    const auto slash = p.rfind('/');
    return slash == std::string::npos ? std::string(".") : p.substr(0, slash);
}

bool is_file(const std::string &path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

// The program a first word names, or "" when there is none.
std::string resolve(const std::string &word) {
    if (word.find('/') != std::string::npos) {
        return is_file(word) ? word : std::string();
    }
    std::vector<std::string> dirs{own_directory(), "."};
    if (const char *path = std::getenv("PATH")) {
        std::string all(path);
        std::size_t start = 0;
        for (;;) {
            const auto colon = all.find(':', start);
            std::string dir =
                all.substr(start, colon == std::string::npos ? std::string::npos : colon - start);
            dirs.push_back(dir.empty() ? std::string(".") : dir);
            if (colon == std::string::npos) {
                break;
            }
            start = colon + 1;
        }
    }
    for (const std::string &dir : dirs) {
        std::string candidate = dir;
        candidate += '/';
        candidate += word;
        if (is_file(candidate)) {
            return candidate;
        }
    }
    return "";
}

DWORD error_for_spawn(int err) {
    switch (err) {
    case ENOENT:
    case ENOTDIR:
        return ERROR_FILE_NOT_FOUND;
    case EACCES:
    case EPERM:
        return ERROR_ACCESS_DENIED;
    case ENOEXEC:
        return ERROR_BAD_EXE_FORMAT;
    case ENOMEM:
        return ERROR_NOT_ENOUGH_MEMORY;
    default:
        return ERROR_GEN_FAILURE;
    }
}

// Whether a file starts as a program the kernel runs: an ELF image or a script
// ("#!"). posix_spawn reports ENOEXEC for anything else, but not where the
// program runs under qemu-user (the linux32 preset's tests, on a machine without
// 32-bit code), whose vfork is a fork that cannot hand the exec's error back.
bool looks_runnable(const std::string &program) {
    char start[4] = {};
    FILE *f = std::fopen(program.c_str(), "rb");
    if (f == nullptr) {
        return true; // unreadable: the spawn tells
    }
    const std::size_t n = std::fread(start, 1, sizeof start, f);
    std::fclose(f);
    return (n >= 2 && start[0] == '#' && start[1] == '!') || (n == 4 && std::memcmp(start,
                                                                                    "\x7F"
                                                                                    "ELF",
                                                                                    4) == 0);
}

} // namespace
} // namespace emu

using namespace emu;

BOOL CreateProcessA(LPCSTR application, LPSTR command_line, LPSECURITY_ATTRIBUTES process_attrs,
                    LPSECURITY_ATTRIBUTES thread_attrs, BOOL inherit, DWORD flags,
                    LPVOID environment, LPCSTR directory, LPSTARTUPINFOA startup,
                    LPPROCESS_INFORMATION info) {
    enter("CreateProcessA");
    if (command_line != nullptr) {
        journal_command(command_line);
    }
    if (application != nullptr || command_line == nullptr || process_attrs != nullptr ||
        thread_attrs != nullptr || inherit != FALSE || flags != 0 || environment != nullptr ||
        directory != nullptr) {
        misuse("CreateProcessA", "only a command line with no other options is supported");
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (startup == nullptr || startup->cb != sizeof(STARTUPINFOA) || info == nullptr) {
        misuse("CreateProcessA", "STARTUPINFOA size field or PROCESS_INFORMATION missing");
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::vector<std::string> words = split_words(command_line);
    if (const fault *f = take_fault("CreateProcessA", 0, words.empty() ? "" : words[0], 0)) {
        SetLastError(f->error);
        return FALSE;
    }
    if (words.empty()) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return FALSE;
    }

    handle_obj process;
    process.kind = handle_kind::process;
    if (st().m.record_processes) {
        process.exited = true;
    } else {
        const std::string program = resolve(words[0]);
        if (program.empty()) {
            SetLastError(ERROR_FILE_NOT_FOUND);
            return FALSE;
        }
        if (::access(program.c_str(), X_OK) != 0) {
            SetLastError(ERROR_ACCESS_DENIED);
            return FALSE;
        }
        if (!looks_runnable(program)) {
            SetLastError(ERROR_BAD_EXE_FORMAT);
            return FALSE;
        }
        std::vector<char *> argv;
        argv.reserve(words.size() + 1);
        for (std::string &a : words) {
            argv.push_back(a.data());
        }
        argv.push_back(nullptr);
        pid_t pid = -1;
        const int err = posix_spawn(&pid, program.c_str(), nullptr, nullptr, argv.data(), environ);
        if (err != 0) {
            SetLastError(error_for_spawn(err));
            return FALSE;
        }
        process.pid = pid;
    }
    static DWORD next_id = 1000;
    info->hProcess = new_handle(process);
    handle_obj thread;
    thread.kind = handle_kind::thread;
    info->hThread = new_handle(thread);
    info->dwProcessId = next_id;
    info->dwThreadId = next_id + 4;
    next_id += 8;
    return TRUE;
}

BOOL SetPriorityClass(HANDLE process, DWORD priority_class) {
    enter("SetPriorityClass");
    // The class asked for is counted on its own too, as "SetPriorityClass:0x100".
    char per_class[32];
    std::snprintf(per_class, sizeof per_class, "SetPriorityClass:0x%X",
                  static_cast<unsigned>(priority_class));
    count_call(per_class);
    handle_obj *obj = find_handle(process);
    if (obj == nullptr || obj->kind != handle_kind::process) {
        misuse("SetPriorityClass", "not a process handle");
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    switch (priority_class) {
    case 0x20:   // NORMAL
    case 0x40:   // IDLE
    case 0x80:   // HIGH
    case 0x100:  // REALTIME
    case 0x4000: // BELOW_NORMAL
    case 0x8000: // ABOVE_NORMAL
        break;
    default:
        misuse("SetPriorityClass", "not a priority class");
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (const fault *f = take_fault("SetPriorityClass", 0, "", 0)) {
        SetLastError(f->error);
        return FALSE;
    }
    // As on Windows for a caller without the privilege, a raise the system does not
    // allow quietly becomes the highest one it does.
    if (obj->pid > 0 && priority_class == REALTIME_PRIORITY_CLASS) {
        for (int nice_value = -20; nice_value <= 0; nice_value += 5) {
            if (setpriority(PRIO_PROCESS, static_cast<id_t>(obj->pid), nice_value) == 0) {
                break;
            }
        }
    }
    return TRUE;
}

DWORD WaitForSingleObject(HANDLE h, DWORD milliseconds) {
    enter("WaitForSingleObject");
    handle_obj *obj = find_handle(h);
    if (obj == nullptr || obj->kind != handle_kind::process) {
        misuse("WaitForSingleObject", "not a process handle");
        SetLastError(ERROR_INVALID_HANDLE);
        return WAIT_FAILED;
    }
    if (milliseconds != INFINITE) {
        misuse("WaitForSingleObject", "only an unlimited wait is supported");
        SetLastError(ERROR_INVALID_PARAMETER);
        return WAIT_FAILED;
    }
    if (!obj->exited) {
        int status = 0;
        while (waitpid(static_cast<pid_t>(obj->pid), &status, 0) < 0 && errno == EINTR) {
        }
        obj->exited = true;
    }
    return WAIT_OBJECT_0;
}
