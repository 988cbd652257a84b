// Processes on the emulated machine are real processes: a command line is split
// at spaces and tabs and its first word, with ".exe" added where it has no
// extension, looked for where Windows looks (platform/emu/files.cpp).
#include "platform/emu/state.h"

#include <algorithm>
#include <cerrno>
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
    for (const char *p = line; *p != '\0';) {
        const std::size_t n = std::strcspn(p, " \t");
        if (n > 0) {
            words.emplace_back(p, n);
        }
        p += n + (p[n] != '\0' ? 1 : 0);
    }
    return words;
}

bool is_file(const std::string &path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

// The program a first word names, or "" when there is none: as on Windows, a
// name without an extension gets ".exe", and a name without a folder is looked
// for in the folders of program_folders().
std::string resolve(std::string word) {
    const std::size_t slash = word.rfind('/');
    if (word.find('.', slash == std::string::npos ? 0 : slash + 1) == std::string::npos) {
        word += ".exe";
    }
    if (slash != std::string::npos) {
        return is_file(word) ? word : std::string();
    }
    for (const std::string &folder : program_folders()) {
        const std::string candidate = folder + "/" + word;
        if (is_file(candidate)) {
            return candidate;
        }
    }
    return "";
}

DWORD error_for_spawn(int err) {
    return err == ENOENT || err == ENOTDIR ? ERROR_FILE_NOT_FOUND
           : err == EACCES || err == EPERM ? ERROR_ACCESS_DENIED
           : err == ENOEXEC                ? ERROR_BAD_EXE_FORMAT
           : err == ENOMEM                 ? ERROR_NOT_ENOUGH_MEMORY
                                           : ERROR_GEN_FAILURE;
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
    const char elf[4] = {0x7F, 'E', 'L', 'F'};
    return (n >= 2 && start[0] == '#' && start[1] == '!') ||
           (n == 4 && std::memcmp(start, elf, 4) == 0);
}

// Starts the program the first word names: 0 and its process ID, or the error
// Windows gives.
DWORD spawn(std::vector<std::string> &words, long &pid) {
    const std::string program = resolve(words[0]);
    const DWORD refusal = program.empty()                        ? ERROR_FILE_NOT_FOUND
                          : ::access(program.c_str(), X_OK) != 0 ? ERROR_ACCESS_DENIED
                          : !looks_runnable(program)             ? ERROR_BAD_EXE_FORMAT
                                                                 : 0;
    if (refusal != 0) {
        return refusal;
    }
    std::vector<char *> argv;
    for (std::string &word : words) {
        argv.push_back(word.data());
    }
    argv.push_back(nullptr);
    pid_t id = -1;
    const int err = posix_spawn(&id, program.c_str(), nullptr, nullptr, argv.data(), environ);
    pid = id;
    return err != 0 ? error_for_spawn(err) : 0;
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
        return refused("CreateProcessA", "only a command line with no other options is supported",
                       ERROR_INVALID_PARAMETER);
    }
    if (startup == nullptr || startup->cb != sizeof(STARTUPINFOA) || info == nullptr) {
        return refused("CreateProcessA", "STARTUPINFOA size field or PROCESS_INFORMATION missing",
                       ERROR_INVALID_PARAMETER);
    }
    std::vector<std::string> words = split_words(command_line);
    if (const fault *f = take_fault("CreateProcessA", words.empty() ? "" : words[0])) {
        return failed(f->error);
    }
    if (words.empty()) {
        return failed(ERROR_FILE_NOT_FOUND);
    }

    handle_obj process;
    process.kind = handle_kind::process;
    process.exited = st().m.record_processes;
    if (const DWORD error = process.exited ? 0 : spawn(words, process.pid); error != 0) {
        return failed(error);
    }
    static DWORD next_id = 1000;
    handle_obj thread;
    thread.kind = handle_kind::thread;
    *info = PROCESS_INFORMATION{new_handle(process), new_handle(thread), next_id, next_id + 4};
    next_id += 8;
    return TRUE;
}

BOOL SetPriorityClass(HANDLE process, DWORD priority_class) {
    enter("SetPriorityClass");
    count_call("SetPriorityClass", priority_class); // each class is counted on its own too
    handle_obj *obj = find_handle(process);
    if (obj == nullptr || obj->kind != handle_kind::process) {
        return refused("SetPriorityClass", "not a process handle", ERROR_INVALID_HANDLE);
    }
    // NORMAL, IDLE, HIGH, REALTIME, BELOW_NORMAL and ABOVE_NORMAL.
    const DWORD classes[] = {0x20, 0x40, 0x80, 0x100, 0x4000, 0x8000};
    if (std::find(std::begin(classes), std::end(classes), priority_class) == std::end(classes)) {
        return refused("SetPriorityClass", "not a priority class", ERROR_INVALID_PARAMETER);
    }
    if (const fault *f = take_fault("SetPriorityClass", "")) {
        return failed(f->error);
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
        return refused("WaitForSingleObject", "not a process handle", ERROR_INVALID_HANDLE,
                       WAIT_FAILED);
    }
    if (milliseconds != INFINITE) {
        return refused("WaitForSingleObject", "only an unlimited wait is supported",
                       ERROR_INVALID_PARAMETER, WAIT_FAILED);
    }
    if (!obj->exited) {
        int status = 0;
        while (waitpid(static_cast<pid_t>(obj->pid), &status, 0) < 0 && errno == EINTR) {
        }
        obj->exited = true;
    }
    return WAIT_OBJECT_0;
}
