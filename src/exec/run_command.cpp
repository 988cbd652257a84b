#include "exec/commands.h"

#include "platform/win32.h"

#include <cstdio>
#include <cstring>

namespace {

// CreateProcessA may write into the command line it is given, so it gets a
// private copy. Every command line of the tool is far below this size.
constexpr std::size_t command_line_capacity = 1024;

} // namespace

void run_command(const char *command_line) {
    char writable[command_line_capacity];
    const std::size_t length = std::strlen(command_line);
    if (length >= sizeof writable) {
        return; // cannot happen with the tool's fixed command lines
    }
    std::memcpy(writable, command_line, length + 1);

    STARTUPINFOA startup;
    std::memset(&startup, 0, sizeof startup);
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process;
    std::memset(&process, 0, sizeof process);

    // The child shares the console: what the tool printed so far comes first.
    std::fflush(stdout);
    if (!CreateProcessA(nullptr, writable, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                        &process)) {
        crt_printf(start_failure_format, static_cast<int>(GetLastError()));
        return;
    }
    if (!SetPriorityClass(process.hProcess, REALTIME_PRIORITY_CLASS)) {
        crt_printf("GetLastError for SetPriorityClass = 0X%x\n",
                   static_cast<unsigned>(GetLastError()));
    }
    WaitForSingleObject(process.hProcess, INFINITE);
    CloseHandle(process.hProcess);
    CloseHandle(process.hThread);
}
