// The emulated machine's core: start-up, clock, handles, last error, version,
// debugger output, message boxes, and the way to the machine model.
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

void append_to(const std::string &path, const char *bytes, std::size_t n) {
    if (path.empty()) {
        return;
    }
    if (FILE *f = std::fopen(path.c_str(), "ab")) {
        std::fwrite(bytes, 1, n, f);
        std::fclose(f);
    }
}

namespace {

// Whether a machine was started yet (constant-initialised, so that it holds
// whichever start-up code runs first).
bool machine_started = false;

// The machine as the model's table, made again when the faults change; the
// model's state keeps all else (its last words count the faults' calls).
void make_table() {
    state &s = st();
    s.table = desc::machine_table(s.m);
    if (qvm_load(&s.view, s.table.data(), static_cast<std::uint32_t>(s.table.size())) != 0) {
        std::fprintf(stderr, "quorvex-emu: the machine model cannot take the machine\n");
        std::abort();
    }
    s.model.resize(qvm_state_size(&s.view) / sizeof(std::uint32_t), 0);
}

void start_machine(machine m) {
    machine_started = true;
    state &s = st();
    s.m = std::move(m);
    ++s.loads;
    s.vclock_ms = 0;
    s.start = std::chrono::steady_clock::now();
    s.calls.clear();
    s.call_slots.clear();
    s.peak_global_bytes = s.global_bytes;
    s.fault_hits.clear();
    s.opens.clear();
    s.model.clear();
    make_table();
    qvm_start(&s.view, reinterpret_cast<qvm_state *>(s.model.data()));
}

// Every program starts on the plain machine: the programs users run then read
// their settings from the environment (settings.cpp), test programs set the
// machine they want through emu.h.
struct boot {
    boot() {
        if (!machine_started) {
            start_machine(machine{});
        }
    }
};
const boot booted;

std::uint64_t &counter(std::string_view name) {
    auto &calls = st().calls;
    const auto it = calls.find(name);
    return (it != calls.end() ? it : calls.emplace(std::string(name), 0).first)->second;
}

// `folders`: what the description's relative folders are relative to.
std::string load_machine(const std::string &text, const std::string &name,
                         const std::string &folders) {
    machine m;
    const std::string fault = parse_machine(text, m);
    if (!fault.empty()) {
        return name + ": " + fault;
    }
    settle_folders(m, folders);
    start_machine(std::move(m));
    return "";
}

} // namespace

std::uint64_t clock_ms() {
    state &s = st();
    if (s.m.virtual_clock) {
        return s.vclock_ms;
    }
    return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                          std::chrono::steady_clock::now() - s.start)
                                          .count());
}

void write_stats(const char *event, std::uint64_t value) {
    state &s = st();
    if (s.stats_path.empty()) {
        return;
    }
    char line[160];
    const int n = std::snprintf(line, sizeof line, "%s %llu clock %llu handles %zu blocks %zu\n",
                                event, static_cast<unsigned long long>(value),
                                static_cast<unsigned long long>(clock_ms()), s.handles.size(),
                                s.globals.size());
    append_to(s.stats_path, line, static_cast<std::size_t>(n));
}

void count_call(const char *function, std::uint32_t value) {
    char name[64];
    const int n = std::snprintf(name, sizeof name, "%s:0x%X", function, value);
    ++counter(std::string_view(name, static_cast<std::size_t>(n)));
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
}

qvm_answer ask_machine(qvm_request request) {
    state &s = st();
    request.now_ms = clock_ms();
    qvm_answer answer;
    qvm_ask(&s.view, reinterpret_cast<qvm_state *>(s.model.data()), &request, &answer);
    if (answer.misuse != nullptr) {
        misuse(qvm_call_name(request.call), answer.misuse);
    }
    return answer;
}

qvm_answer ask_machine(std::uint32_t call, std::uint32_t node, std::uint32_t code, void *out,
                       std::uint32_t out_size) {
    qvm_request r{};
    r.call = call;
    r.node = node;
    r.code = code;
    r.out = out;
    r.out_size = out_size;
    return ask_machine(r);
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

const fault *take_fault(const char *function, const std::string &program) {
    state &s = st();
    s.fault_hits.resize(s.m.faults.size(), 0);
    const fault *hit = nullptr;
    for (std::size_t i = 0; i < s.m.faults.size(); ++i) {
        const fault &f = s.m.faults[i];
        qvm_fault keys{};
        keys.code = f.ioctl;
        keys.port = f.port;
        keys.size = f.size;
        keys.nth = f.nth;
        if (f.function == function &&
            qvm_fault_acts(&keys, f.device.empty() ? nullptr : f.device.c_str(), 0, program.c_str(),
                           0, 0, &s.fault_hits[i]) &&
            hit == nullptr) {
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
    return load_machine(text, name, "");
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
    const std::size_t slash = path.rfind('/');
    return load_machine(text.str(), path,
                        slash == std::string::npos ? "" : path.substr(0, slash + 1));
}

void reset_machine() {
    state &s = st();
    for (std::string *path : {&s.trace_path, &s.journal_path, &s.merged_path, &s.stats_path}) {
        path->clear();
    }
    s.rehearsal_passes = 0;
    s.passes = 0;
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
    st().m.faults.push_back(f);
    make_table();
}

void clear_faults() {
    st().m.faults.clear();
    st().fault_hits.clear();
    make_table();
}

void rehearse(const char *what, const std::string &text) {
    if (st().rehearsal_passes != 0) {
        std::fprintf(stderr, "%s %s\n", what, text.c_str());
        std::fflush(stderr);
    }
}

void journal_command(const char *command_line) {
    rehearse("run", command_line);
    const std::string line = std::string(command_line) + '\n', marked = "run: " + line;
    append_to(st().journal_path, line.data(), line.size());
    append_to(st().merged_path, marked.data(), marked.size());
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
}

BOOL GetVersionExA(LPOSVERSIONINFOA info) {
    enter("GetVersionExA");
    if (info == nullptr || info->dwOSVersionInfoSize != sizeof(OSVERSIONINFOA)) {
        return refused("GetVersionExA", "the record's size field is not sizeof(OSVERSIONINFOA)",
                       ERROR_INSUFFICIENT_BUFFER);
    }
    const machine &m = st().m;
    *info = OSVERSIONINFOA{sizeof(OSVERSIONINFOA), m.major, m.minor, m.build,
                           VER_PLATFORM_WIN32_NT,  {}};
    if (m.major == 5 && m.minor == 1) {
        std::strcpy(info->szCSDVersion, "Service Pack 3");
    }
    return TRUE;
}

// The machine's local time: a fixed start, Monday 7 December 2026 at 09:00,
// and the machine's clock since (the virtual one, or the real time since start).
void GetLocalTime(LPSYSTEMTIME time) {
    enter("GetLocalTime");
    if (time == nullptr) {
        misuse("GetLocalTime", "no record for the time");
        return;
    }
    using namespace std::chrono;
    const auto start = sys_days{year{2026} / December / 7} + hours{9};
    const auto now = start + milliseconds{clock_ms()};
    const auto day = floor<days>(now);
    const year_month_day date{day};
    const hh_mm_ss<milliseconds> clock{floor<milliseconds>(now - day)};
    const auto word = [](auto value) { return static_cast<WORD>(value); };
    *time =
        SYSTEMTIME{word(static_cast<int>(date.year())), word(static_cast<unsigned>(date.month())),
                   word(weekday{day}.c_encoding()),     word(static_cast<unsigned>(date.day())),
                   word(clock.hours().count()),         word(clock.minutes().count()),
                   word(clock.seconds().count()),       word(clock.subseconds().count())};
}

void OutputDebugStringA(LPCSTR text) {
    enter("OutputDebugStringA");
    if (text == nullptr) {
        return;
    }
    const std::size_t length = std::strlen(text);
    rehearse("trace",
             std::string(text, length > 0 && text[length - 1] == '\n' ? length - 1 : length));
    emu::append_to(st().trace_path, text, length);
    const std::string marked = std::string("trace: ") + text;
    emu::append_to(st().merged_path, marked.data(), marked.size());
}

int MessageBoxA(HWND, LPCSTR text, LPCSTR caption, UINT) {
    enter("MessageBoxA");
    std::fprintf(stderr, "[%s] %s\n", caption != nullptr ? caption : "Error",
                 text != nullptr ? text : "");
    std::fflush(stderr);
    return 1; // IDOK
}

BOOL CloseHandle(HANDLE h) {
    enter("CloseHandle");
    handle_obj *obj = find_handle(h);
    if (obj == nullptr || obj->kind == handle_kind::devinfo || obj->kind == handle_kind::inf ||
        obj->kind == handle_kind::key) {
        return refused("CloseHandle", "not an open handle", ERROR_INVALID_HANDLE);
    }
    st().handles.erase(reinterpret_cast<std::uintptr_t>(h));
    return TRUE;
}
