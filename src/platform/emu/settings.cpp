// The settings of the programs users run on the emulated machine (quorvex and
// quorvex-capture), read from the environment when they start: QUORVEX_MACHINE,
// QUORVEX_TRACE, QUORVEX_JOURNAL, QUORVEX_STATS and QUORVEX_REHEARSAL
// (docs/running.md). Only those programs link this file, and the facts table's
// program, which makes the same Win32 calls on Windows and here and so is given
// its machine as they are; a test program reads none of them and sets the
// machine it wants through emu.h.
#include "platform/emu/state.h"
#include "platform/new_file.h"

#include <cstdio>
#include <cstdlib>
#include <string>

namespace emu {
namespace {

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
// a faulty one stops the program here, with one line on standard error. At exit,
// the statistics and the end of a rehearsal.
struct settings {
    settings() {
        const char *path = std::getenv("QUORVEX_MACHINE");
        if (path != nullptr && *path != '\0') {
            const std::string fault = load_machine_file(path);
            if (!fault.empty()) {
                std::fprintf(stderr, "quorvex: machine description %s\n", fault.c_str());
                std::exit(2);
            }
        } else {
            reset_machine();
        }
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
        if (const char *passes = std::getenv("QUORVEX_REHEARSAL")) {
            start_rehearsal(passes);
        }
    }
    ~settings() {
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
const settings read_at_start;

} // namespace
} // namespace emu

// The emulated machine is one a description names, or none worth capturing.
const char *no_machine_to_capture() {
    const char *path = std::getenv("QUORVEX_MACHINE");
    return path != nullptr && *path != '\0'
               ? nullptr
               : "QUORVEX_MACHINE is not set: on Linux only an emulated machine, named by a "
                 "description, can be captured";
}
