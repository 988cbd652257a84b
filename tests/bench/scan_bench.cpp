// What one polling pass costs: scan_usb over a typical machine and over the
// largest one, and the device-node lookup alone over trees of 100 to 10000
// nodes. Commands are recorded, not started; the clock is virtual; trace lines
// and the command journal are dropped. The figures are reported, never checked.
//
// After the benchmarks a summary gives, per machine, the time of a pass against
// the 250 ms polling period and the platform calls of one pass by kind beside
// the minimum the walk cannot do without (machines.h says how that is counted).
#include "heap_count.h"
#include "machines.h"

#include "shared/modes.h"
#include "platform/emu/emu.h"
#include "usb_enum/usb_enum.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

using bench::call_table;

enum machine_kind { typical, largest };

const char *const machine_names[] = {"typical", "largest"};

bench::machine make_machine(machine_kind kind) {
    return kind == typical ? bench::typical_machine() : bench::largest_machine();
}

void load(const bench::machine &m) {
    const std::string fault = emu::load_machine_text(testkit::description(m), "benchmark machine");
    if (!fault.empty()) {
        std::fprintf(stderr, "%s\n", fault.c_str());
        std::exit(2);
    }
    bUpdate_mode = 0;
    bSelsusp_mode = 0;
    bXcontrol_mode = 0;
    bVcp_done = 0;
}

call_table difference(const call_table &after, const call_table &before) {
    call_table d;
    for (const auto &[kind, count] : after) {
        const auto it = before.find(kind);
        const std::uint64_t earlier = it == before.end() ? 0 : it->second;
        if (count > earlier) {
            d[kind] = count - earlier;
        }
    }
    return d;
}

std::uint64_t total_calls(const call_table &t) {
    std::uint64_t n = 0;
    for (const auto &[kind, count] : t) {
        if (kind.find(':') == std::string::npos) {
            n += count;
        }
    }
    return n;
}

std::uint64_t get(const call_table &t, const std::string &kind) {
    const auto it = t.find(kind);
    return it == t.end() ? 0 : it->second;
}

// What one pass does, measured once: platform calls by kind, heap allocations
// and the most bytes the tool held in platform blocks at once.
struct pass_profile {
    call_table calls;
    std::uint64_t heap = 0;
    std::size_t peak_bytes = 0;
    std::uint64_t ports = 0;
};

// Ports read in one pass: each controller is walked once by number and once by
// interface.
std::uint64_t ports_per_pass(const bench::machine &m) {
    std::uint64_t ports = 0;
    for (const bench::controller &c : m.controllers) {
        bench::hub_cost one;
        bench::count_hub(c.root_hub, one);
        ports += one.ports * ((c.number ? 1 : 0) + (c.interface ? 1 : 0));
    }
    return ports;
}

// The blocks the tool took through tracked_alloc: every GlobalAlloc but the one
// interface detail block per listed controller.
std::uint64_t tracked_blocks(const call_table &calls) {
    return get(calls, "GlobalAlloc") - (get(calls, "SetupDiEnumDeviceInterfaces") - 1);
}

pass_profile profile_pass(const bench::machine &m) {
    load(m);
    scan_usb(); // the first pass settles whatever the emulation builds lazily
    pass_profile p;
    const call_table before = emu::call_counts();
    const std::uint64_t heap_before = bench::heap_allocations();
    const std::size_t base_bytes = emu::live_global_bytes();
    emu::reset_peak_global_bytes();
    scan_usb();
    p.heap = bench::heap_allocations() - heap_before;
    p.peak_bytes = emu::peak_global_bytes() - base_bytes;
    p.calls = difference(emu::call_counts(), before);
    p.ports = ports_per_pass(m);
    return p;
}

void scan_pass(benchmark::State &state, machine_kind kind) {
    const bench::machine m = make_machine(kind);
    const pass_profile profile = profile_pass(m);
    const call_table minimum = bench::minimum_calls(m);
    load(m);
    scan_usb();
    for (auto _ : state) {
        benchmark::DoNotOptimize(scan_usb());
    }
    if (bVcp_done != 0 || emu::live_global_blocks() != 0 || emu::open_handles() != 0) {
        state.SkipWithError("a pass left something behind or met the download-mode device");
    }
    using benchmark::Counter;
    state.counters["port"] = Counter(static_cast<double>(profile.ports),
                                     Counter::kIsIterationInvariantRate | Counter::kInvert);
    state.counters["ports"] = static_cast<double>(profile.ports);
    state.counters["calls"] = static_cast<double>(total_calls(profile.calls));
    state.counters["calls_min"] = static_cast<double>(total_calls(minimum));
    state.counters["ioctls"] = static_cast<double>(get(profile.calls, "DeviceIoControl"));
    state.counters["ioctls_min"] = static_cast<double>(get(minimum, "DeviceIoControl"));
    state.counters["tracked_allocs"] = static_cast<double>(tracked_blocks(profile.calls));
    state.counters["peak_bytes"] = static_cast<double>(profile.peak_bytes);
    state.counters["heap_allocs"] = static_cast<double>(profile.heap);
}

// The lookup over a tree of `nodes` nodes, for the driver key of the node last
// in pre-order (hit) or for one no node carries (miss).
void lookup(benchmark::State &state, bool hit) {
    const auto nodes = static_cast<std::size_t>(state.range(0));
    const std::string key = std::string(bench::usb_class_key) + "0042";
    const std::string wanted = hit ? key : std::string(bench::usb_class_key) + "9999";
    const bench::machine m = bench::node_tree_machine(nodes, key);
    const bench::search_cost cost = bench::search_tree(bench::device_tree(m), wanted);
    load(m);
    const call_table before = emu::call_counts();
    const std::uint64_t heap_before = bench::heap_allocations();
    const bool found = lookup_devnode_by_driver(wanted.c_str(), 1) != nullptr;
    const std::uint64_t heap = bench::heap_allocations() - heap_before;
    const call_table calls = difference(emu::call_counts(), before);
    if (found != hit || found != cost.found) {
        state.SkipWithError("the lookup did not give the expected answer");
        return;
    }
    for (auto _ : state) {
        benchmark::DoNotOptimize(lookup_devnode_by_driver(wanted.c_str(), 1));
    }
    using benchmark::Counter;
    state.counters["node"] = Counter(static_cast<double>(cost.reads),
                                     Counter::kIsIterationInvariantRate | Counter::kInvert);
    state.counters["nodes_read"] = static_cast<double>(cost.reads);
    state.counters["calls"] = static_cast<double>(total_calls(calls));
    state.counters["calls_min"] = static_cast<double>(1 + cost.reads + cost.child + cost.sibling +
                                                      cost.parent + (cost.found ? 1 : 0));
    state.counters["heap_allocs"] = static_cast<double>(heap);
}

// --- the summary ----------------------------------------------------------------

// Keeps every run for the summary while reporting as usual, in plain columns
// (the output goes to logs).
class keeping_reporter : public benchmark::ConsoleReporter {
  public:
    keeping_reporter() : ConsoleReporter(OO_Tabular) {}
    void ReportRuns(const std::vector<Run> &runs) override {
        ConsoleReporter::ReportRuns(runs);
        kept.insert(kept.end(), runs.begin(), runs.end());
    }
    std::vector<Run> kept;
};

void print_summary(const std::vector<benchmark::BenchmarkReporter::Run> &runs) {
    constexpr double period_ns = 250e6;
    for (int kind = typical; kind <= largest; ++kind) {
        const std::string name = std::string("scan_pass/") + machine_names[kind];
        const benchmark::BenchmarkReporter::Run *run = nullptr;
        for (const auto &r : runs) {
            if (r.benchmark_name() == name && !r.error_occurred) {
                run = &r;
            }
        }
        if (run == nullptr) {
            continue;
        }
        const double ns = run->real_accumulated_time * 1e9 / static_cast<double>(run->iterations);
        const bench::machine m = make_machine(static_cast<machine_kind>(kind));
        const pass_profile profile = profile_pass(m);
        const call_table minimum = bench::minimum_calls(m);
        std::printf("\n%s machine: %.1f us per pass, %.4f%% of a 250 ms polling period;\n"
                    "  %llu ports read, %llu tracked blocks (%zu bytes at most at once), "
                    "%llu heap allocations of the emulation\n",
                    machine_names[kind], ns / 1e3, 100.0 * ns / period_ns,
                    static_cast<unsigned long long>(profile.ports),
                    static_cast<unsigned long long>(tracked_blocks(profile.calls)),
                    profile.peak_bytes, static_cast<unsigned long long>(profile.heap));
        std::printf("  %-36s %10s %10s\n", "platform calls per pass", "made", "minimum");
        call_table all = minimum;
        for (const auto &[kind_name, count] : profile.calls) {
            all.emplace(kind_name, 0);
        }
        for (const auto &[kind_name, ignored] : all) {
            std::printf("  %-36s %10llu %10llu\n", kind_name.c_str(),
                        static_cast<unsigned long long>(get(profile.calls, kind_name)),
                        static_cast<unsigned long long>(get(minimum, kind_name)));
        }
        std::printf("  %-36s %10llu %10llu\n", "all",
                    static_cast<unsigned long long>(total_calls(profile.calls)),
                    static_cast<unsigned long long>(total_calls(minimum)));
    }
}

} // namespace

BENCHMARK_CAPTURE(scan_pass, typical, typical)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(scan_pass, largest, largest)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(lookup, hit_last, true)
    ->Arg(100)
    ->Arg(1000)
    ->Arg(10000)
    ->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(lookup, miss, false)
    ->Arg(100)
    ->Arg(1000)
    ->Arg(10000)
    ->Unit(benchmark::kMicrosecond);

int main(int argc, char **argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    keeping_reporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    print_summary(reporter.kept);
    benchmark::Shutdown();
    return 0;
}
