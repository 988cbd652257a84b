// Runs of the built tool on a machine description, for the end-to-end, fault and
// soak tests, and what they read back from a run: failure reports, the command
// journal, the trace and the platform statistics written before every pause and
// at exit.
#pragma once

#include "e2e/run_tool.h"
#include "machine_builder.h"

#include <algorithm>
#include <map>
#include <string>
#include <vector>

namespace testkit {

// One `sleep` or `exit` line of the statistics.
struct held {
    std::string event;
    unsigned long long value = 0;
    unsigned long long clock = 0;
    unsigned long long handles = 0;
    unsigned long long blocks = 0;
};

inline std::vector<held> holdings(const std::filesystem::path &stats) {
    std::vector<held> out;
    for (const std::string &line : read_lines(stats)) {
        held h;
        char event[16] = {};
        if (std::sscanf(line.c_str(), "%15s %llu clock %llu handles %llu blocks %llu", event,
                        &h.value, &h.clock, &h.handles, &h.blocks) == 5) {
            h.event = event;
            out.push_back(h);
        }
    }
    return out;
}

inline std::map<std::string, long> calls(const std::filesystem::path &stats) {
    std::map<std::string, long> counts;
    for (const std::string &line : read_lines(stats)) {
        if (line.rfind("call ", 0) == 0) {
            const auto space = line.rfind(' ');
            counts[line.substr(5, space - 5)] = std::stol(line.substr(space + 1));
        }
    }
    return counts;
}

// A run of the tool on a machine description, with journal, trace and statistics.
class machine_test : public tool_test {
  protected:
    // Without `logs` the run writes no journal and no trace, only the statistics.
    tool_run run_machine(const machine &m, const std::string &argument = "128", bool logs = true) {
        return run_machine(description(m), argument, logs);
    }
    tool_run run_machine(const std::string &json, const std::string &argument = "128",
                         bool logs = true) {
        std::filesystem::remove(dir / "journal");
        std::filesystem::remove(dir / "trace");
        std::filesystem::remove(dir / "stats");
        write("machine.json", json);
        std::map<std::string, std::string> env = {
            {"QUORVEX_MACHINE", (dir / "machine.json").string()},
            {"QUORVEX_STATS", (dir / "stats").string()}};
        if (logs) {
            env["QUORVEX_TRACE"] = (dir / "trace").string();
            env["QUORVEX_JOURNAL"] = (dir / "journal").string();
        }
        return run({argument}, env);
    }
    // A description refused before anything runs: status 2, one line on standard
    // error naming the file and `fault`, no journal, statistics or stand-in log.
    void expect_refused(const std::string &json, const std::string &fault,
                        const std::string &argument = "128") {
        SCOPED_TRACE(json);
        const tool_run r = run_machine(json, argument);
        EXPECT_EQ(r.status, 2);
        EXPECT_EQ(r.out, "");
        const std::string prefix =
            "quorvex: machine description " + (dir / "machine.json").string() + ": " + fault;
        EXPECT_EQ(r.err.substr(0, prefix.size()), prefix);
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
        EXPECT_FALSE(std::filesystem::exists(dir / "journal"));
        EXPECT_FALSE(std::filesystem::exists(dir / "stats"));
        EXPECT_FALSE(std::filesystem::exists(dir / "standin.log"));
    }
    // How many port loops ran: each writes the mode lines once.
    long port_loops() const {
        const std::string t = trace();
        long n = 0;
        for (auto at = t.find(modes_trace); at != std::string::npos;
             at = t.find(modes_trace, at + 1)) {
            ++n;
        }
        return n;
    }
    std::vector<held> stats() const {
        return holdings(dir / "stats");
    }
    // What was held when the tool ended.
    held at_exit() const {
        for (const held &h : stats()) {
            if (h.event == "exit") {
                return h;
            }
        }
        ADD_FAILURE() << "no exit line in the statistics";
        held none;
        none.handles = none.blocks = ~0ull;
        return none;
    }
    std::map<std::string, long> call_counts() const {
        return calls(dir / "stats");
    }
    // The tool's peak resident memory in kilobytes, as it reported at exit.
    long peak_rss_kb() const {
        for (const std::string &line : read_lines(dir / "stats")) {
            if (line.rfind("peak_rss_kb ", 0) == 0) {
                return std::stol(line.substr(12));
            }
        }
        return -1;
    }
    // Polling passes run: one 250 ms pause before each.
    long passes() const {
        const auto s = stats();
        return std::count_if(s.begin(), s.end(),
                             [](const held &h) { return h.event == "sleep" && h.value == 250; });
    }
    // Before every pass and at exit the scan holds no block and no handle.
    void expect_nothing_held_between_passes() const {
        long checked = 0;
        for (const held &h : stats()) {
            if ((h.event == "sleep" && h.value == 250) || h.event == "exit") {
                SCOPED_TRACE(testing::Message() << h.event << " at " << h.clock);
                ++checked;
                EXPECT_EQ(h.handles, 0u);
                EXPECT_EQ(h.blocks, 0u);
            }
        }
        EXPECT_GE(checked, 2);
    }
};

} // namespace testkit
