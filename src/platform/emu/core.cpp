// The emulated machine's core: start-up, clock, handles, last error, version,
// debugger output, message boxes, planted faults and topology changes.
#include "platform/emu/state.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

namespace emu {

state &st() {
    static state s;
    return s;
}

namespace {

void append_to(const std::string &path, const char *bytes, std::size_t n) {
    if (path.empty()) {
        return;
    }
    if (FILE *f = std::fopen(path.c_str(), "ab")) {
        std::fwrite(bytes, 1, n, f);
        std::fclose(f);
    }
}

void write_stats(const char *event, std::uint64_t value) {
    state &s = st();
    if (s.stats_path.empty()) {
        return;
    }
    char line[160];
    const int n = std::snprintf(line, sizeof line, "%s %llu clock %llu handles %zu blocks %zu\n",
                                event, static_cast<unsigned long long>(value),
                                static_cast<unsigned long long>(now_ms()), s.handles.size(),
                                s.globals.size());
    append_to(s.stats_path, line, static_cast<std::size_t>(n));
}

// The process's peak resident memory (VmHWM) in kilobytes, as the system counts
// it for this program image; 0 where the system does not tell.
unsigned long long peak_resident_kb() {
    unsigned long long kb = 0;
    if (FILE *f = std::fopen("/proc/self/status", "r")) {
        char line[256];
        while (std::fgets(line, sizeof line, f) != nullptr) {
            if (std::sscanf(line, "VmHWM: %llu kB", &kb) == 1) {
                break;
            }
        }
        std::fclose(f);
    }
    return kb;
}

void start_machine(machine m) {
    state &s = st();
    s.m = std::move(m);
    s.vclock_ms = 0;
    s.start = std::chrono::steady_clock::now();
    s.calls.clear();
    s.call_slots.clear();
    s.peak_global_bytes = s.global_bytes;
    s.faults = s.m.faults;
    s.fault_hits.clear();
    s.opens.clear();
    rebuild_tree();
    apply_due_changes();
}

// QUORVEX_REHEARSAL=N: the machine's clock is virtual, no command starts, and
// the run stops before polling pass N + 1. Standard output is unbuffered, so
// that the tool's lines and the steps told on standard error keep their order.
void start_rehearsal(const char *passes) {
    char *end = nullptr;
    const unsigned long n = std::strtoul(passes, &end, 10);
    if (*passes < '0' || *passes > '9' || *end != '\0' || n < 1 || n > 100000) {
        std::fprintf(stderr,
                     "quorvex: QUORVEX_REHEARSAL must be a number of passes from 1 to "
                     "100000, not \"%s\"\n",
                     passes);
        std::exit(2);
    }
    state &s = st();
    s.rehearsal_passes = static_cast<std::uint32_t>(n);
    s.m.virtual_clock = true;
    s.m.record_processes = true;
    std::setvbuf(stdout, nullptr, _IONBF, 0);
}

// Reads the machine description named by the environment before the tool runs;
// a faulty one stops the program here, with one line on standard error.
struct boot {
    boot() {
        state &s = st();
        if (const char *trace = std::getenv("QUORVEX_TRACE")) {
            s.trace_path = trace;
        }
        if (const char *journal = std::getenv("QUORVEX_JOURNAL")) {
            s.journal_path = journal;
        }
        if (const char *stats = std::getenv("QUORVEX_STATS")) {
            s.stats_path = stats;
        }
        const char *path = std::getenv("QUORVEX_MACHINE");
        if (path != nullptr && *path != '\0') {
            const std::string fault = load_machine_file(path);
            if (!fault.empty()) {
                std::fprintf(stderr, "quorvex: machine description %s\n", fault.c_str());
                std::exit(2);
            }
        } else {
            start_machine(machine{});
        }
        if (const char *passes = std::getenv("QUORVEX_REHEARSAL")) {
            start_rehearsal(passes);
        }
    }
    ~boot() {
        write_stats("exit", 0);
        state &s = st();
        if (s.rehearsal_passes != 0) {
            rehearse("ended", "by itself after " + std::to_string(s.passes) + " polling passes");
        }
        if (!s.stats_path.empty()) {
            std::string lines;
            for (const auto &[function, count] : s.calls) {
                lines += "call " + function + " " + std::to_string(count) + "\n";
            }
            for (const auto &[path, count] : s.opens) {
                lines += "opened " + path + " " + std::to_string(count) + "\n";
            }
            lines += "peak_rss_kb " + std::to_string(peak_resident_kb()) + "\n";
            append_to(s.stats_path, lines.data(), lines.size());
        }
    }
};
const boot booted;

} // namespace

std::uint64_t now_ms() {
    state &s = st();
    if (s.m.virtual_clock) {
        return s.vclock_ms;
    }
    return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                          std::chrono::steady_clock::now() - s.start)
                                          .count());
}

namespace {

std::uint64_t &counter(std::string_view name) {
    auto &calls = st().calls;
    auto it = calls.find(name);
    if (it == calls.end()) {
        it = calls.emplace(std::string(name), 0).first;
    }
    return it->second;
}

} // namespace

void count_call(std::string_view name) {
    ++counter(name);
}

void enter(const char *function) {
    // Most calls come from a name seen before at the same address.
    auto &slots = st().call_slots;
    auto slot = slots.find(function);
    if (slot == slots.end() || *slot->second.first != function) {
        const std::string_view name(function);
        std::uint64_t &count = counter(name);
        const std::string *key = &st().calls.find(name)->first;
        slot = slots.insert_or_assign(function, std::make_pair(key, &count)).first;
    }
    ++*slot->second.second;
    apply_due_changes();
}

void apply_due_changes() {
    state &s = st();
    const std::uint64_t now = now_ms();
    bool changed = false;
    // Changes apply in time order; equal times in the order they are listed.
    for (;;) {
        change_desc *next = nullptr;
        for (change_desc &c : s.m.changes) {
            if (!c.applied && c.at_open_device.empty() && c.at_ms <= now &&
                (next == nullptr || c.at_ms < next->at_ms)) {
                next = &c;
            }
        }
        if (next == nullptr) {
            break;
        }
        next->applied = true;
        if (hub_desc *h = hub_for_path(s.m, next->controller, next->port_path)) {
            replace_port(*h, next->port_path.back(), next->port);
            changed = true;
        }
    }
    if (changed) {
        rebuild_tree();
    }
}

std::string open_key(const std::string &path) {
    std::string key = path;
    for (char &c : key) {
        c = c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
    }
    return key;
}

void count_open(const std::string &path) {
    state &s = st();
    const std::string key = open_key(path);
    const std::uint32_t count = ++s.opens[key];
    bool changed = false;
    for (change_desc &c : s.m.changes) {
        if (!c.applied && c.at_open_nth == count && c.at_open_device == key) {
            c.applied = true;
            if (hub_desc *h = hub_for_path(s.m, c.controller, c.port_path)) {
                replace_port(*h, c.port_path.back(), c.port);
                changed = true;
            }
        }
    }
    if (changed) {
        rebuild_tree();
    }
}

HANDLE new_handle(const handle_obj &h) {
    state &s = st();
    const std::uintptr_t value = s.next_handle;
    s.next_handle += 4;
    s.handles[value] = h;
    return reinterpret_cast<HANDLE>(value);
}

handle_obj *find_handle(HANDLE h) {
    state &s = st();
    auto it = s.handles.find(reinterpret_cast<std::uintptr_t>(h));
    return it == s.handles.end() ? nullptr : &it->second;
}

const fault *take_fault(const char *function, std::uint32_t ioctl, const std::string &device,
                        std::uint32_t port, std::uint64_t size) {
    state &s = st();
    s.fault_hits.resize(s.faults.size(), 0);
    const fault *hit = nullptr;
    for (std::size_t i = 0; i < s.faults.size(); ++i) {
        const fault &f = s.faults[i];
        if (f.function != function || (f.ioctl != 0 && f.ioctl != ioctl) ||
            (!f.device.empty() && f.device != device) || (f.port != 0 && f.port != port) ||
            (f.size != 0 && f.size != size)) {
            continue;
        }
        ++s.fault_hits[i];
        if (hit == nullptr && (f.nth == 0 || f.nth == s.fault_hits[i])) {
            hit = &f;
        }
    }
    return hit;
}

void misuse(const char *function, const std::string &what) {
    ++st().misuses;
    std::fprintf(stderr, "quorvex-emu: %s: %s\n", function, what.c_str());
}

std::string load_machine_text(const std::string &text, const std::string &name) {
    machine m;
    const std::string fault = parse_machine(text, m);
    if (!fault.empty()) {
        return name + ": " + fault;
    }
    start_machine(std::move(m));
    return "";
}

std::string load_machine_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return path + ": cannot be read";
    }
    std::ostringstream text;
    text << in.rdbuf();
    if (!in.good() && !in.eof()) {
        return path + ": cannot be read";
    }
    return load_machine_text(text.str(), path);
}

void reset_machine() {
    start_machine(machine{});
}

void set_trace_path(const std::string &path) {
    st().trace_path = path;
}

void set_journal_path(const std::string &path) {
    st().journal_path = path;
}

void set_merged_path(const std::string &path) {
    st().merged_path = path;
}

std::size_t open_handles() {
    return st().handles.size();
}

std::size_t live_global_blocks() {
    return st().globals.size();
}

std::size_t misuses() {
    return st().misuses;
}

std::uint64_t clock_ms() {
    return now_ms();
}

std::uint64_t call_count(const std::string &function) {
    const auto &calls = st().calls;
    auto it = calls.find(function);
    return it == calls.end() ? 0 : it->second;
}

std::map<std::string, std::uint64_t> call_counts() {
    const auto &calls = st().calls;
    return {calls.begin(), calls.end()};
}

std::size_t live_global_bytes() {
    return st().global_bytes;
}

std::size_t peak_global_bytes() {
    return st().peak_global_bytes;
}

void reset_peak_global_bytes() {
    st().peak_global_bytes = st().global_bytes;
}

void add_fault(const fault &f) {
    st().faults.push_back(f);
}

void clear_faults() {
    st().faults.clear();
    st().fault_hits.clear();
}

void rehearse(const char *what, const std::string &text) {
    if (st().rehearsal_passes != 0) {
        std::fprintf(stderr, "%s %s\n", what, text.c_str());
        std::fflush(stderr);
    }
}

void journal_command(const char *command_line) {
    rehearse("run", command_line);
    std::string line = command_line;
    line += '\n';
    append_to(st().journal_path, line.data(), line.size());
    if (!st().merged_path.empty()) {
        line.insert(0, "run: ");
        append_to(st().merged_path, line.data(), line.size());
    }
}

} // namespace emu

using namespace emu;

DWORD GetLastError(void) {
    return st().last_error;
}

void SetLastError(DWORD code) {
    st().last_error = code;
}

// The pause the polling loop takes before each pass.
constexpr DWORD polling_pause_ms = 250;

void Sleep(DWORD milliseconds) {
    enter("Sleep");
    state &s = st();
    if (milliseconds == polling_pause_ms && s.rehearsal_passes != 0) {
        if (s.passes == s.rehearsal_passes) {
            rehearse("stopped", "before pass " + std::to_string(s.passes + 1) +
                                    ": no download-mode device yet, polling would go on");
            std::fflush(stdout);
            s.rehearsal_passes = 0;
            std::exit(1);
        }
        ++s.passes;
        rehearse("pass", std::to_string(s.passes));
    }
    rehearse("pause", std::to_string(milliseconds) + " ms");
    write_stats("sleep", milliseconds); // what the tool holds before each pause
    if (s.m.virtual_clock) {
        s.vclock_ms += milliseconds;
    } else {
        std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
    }
    apply_due_changes();
}

BOOL GetVersionExA(LPOSVERSIONINFOA info) {
    enter("GetVersionExA");
    if (info == nullptr || info->dwOSVersionInfoSize != sizeof(OSVERSIONINFOA)) {
        misuse("GetVersionExA", "the record's size field is not sizeof(OSVERSIONINFOA)");
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    const machine &m = st().m;
    info->dwMajorVersion = m.major;
    info->dwMinorVersion = m.minor;
    info->dwBuildNumber = m.build;
    info->dwPlatformId = VER_PLATFORM_WIN32_NT;
    std::memset(info->szCSDVersion, 0, sizeof info->szCSDVersion);
    if (m.major == 5 && m.minor == 1) {
        std::strcpy(info->szCSDVersion, "Service Pack 3");
    }
    return TRUE;
}

void OutputDebugStringA(LPCSTR text) {
    enter("OutputDebugStringA");
    if (text != nullptr) {
        const std::size_t length = std::strlen(text);
        rehearse("trace",
                 std::string(text, length > 0 && text[length - 1] == '\n' ? length - 1 : length));
        emu::append_to(st().trace_path, text, length);
        if (!st().merged_path.empty()) {
            const std::string marked = std::string("trace: ") + text;
            emu::append_to(st().merged_path, marked.data(), marked.size());
        }
    }
}

int MessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT type) {
    enter("MessageBoxA");
    (void)owner;
    (void)type;
    std::fprintf(stderr, "[%s] %s\n", caption != nullptr ? caption : "Error",
                 text != nullptr ? text : "");
    std::fflush(stderr);
    return 1; // IDOK
}

BOOL CloseHandle(HANDLE h) {
    enter("CloseHandle");
    handle_obj *obj = find_handle(h);
    if (obj == nullptr || obj->kind == handle_kind::devinfo) {
        misuse("CloseHandle", "not an open handle");
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    st().handles.erase(reinterpret_cast<std::uintptr_t>(h));
    return TRUE;
}

// The emulated machine is one a description names, or none worth capturing.
const char *no_machine_to_capture() {
    const char *path = std::getenv("QUORVEX_MACHINE");
    return path != nullptr && *path != '\0'
               ? nullptr
               : "QUORVEX_MACHINE is not set: on Linux only an emulated machine, named by a "
                 "description, can be captured";
}
