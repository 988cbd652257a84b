// Machine descriptions for the end-to-end fault and soak tests, and what those
// tests read back from a run: failure reports, the command journal, the trace
// and the platform statistics written before every pause and at exit.
#pragma once

#include "e2e/run_tool.h"

#include <algorithm>
#include <map>
#include <string>
#include <vector>

namespace faultkit {

using lines = std::vector<std::string>;

inline lines operator+(lines a, const lines &b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

const std::string hub_guid = "#{f18a0e88-c30c-11d0-8815-00a0c906bed8}";

inline std::string root_hub(int controller) {
    return "USB#ROOT_HUB#4&1a2b3c&" + std::to_string(controller) + hub_guid;
}
inline std::string external_hub(int controller, int port) {
    return "USB#VID_05E3&PID_0608#5&2c3d&" + std::to_string(controller) + "&" +
           std::to_string(port) + hub_guid;
}
inline std::string controller_key(int controller) {
    return "{36fc9e60-c465-11cf-8056-444553540000}\\\\000" + std::to_string(controller);
}
inline std::string pci_id(int controller) {
    return "PCI\\\\VEN_8086&DEV_24C" + std::to_string(controller) +
           "&SUBSYS_01451028&REV_01\\\\3&172E68DD&0&E8";
}

// One port holding a device: `extra` adds keys ("\"speed\": \"low\"").
inline std::string device(int port, const std::string &vid, const std::string &pid,
                          const std::string &extra = "") {
    return R"({"port": )" + std::to_string(port) + R"(, "vid": ")" + vid + R"(", "pid": ")" + pid +
           "\"" + extra + "}";
}

inline std::string hub(const std::string &name, int port_count, const std::string &ports) {
    return R"({"name": ")" + name + R"(", "port_count": )" + std::to_string(port_count) +
           R"(, "ports": [)" + ports + "]}";
}

// A port holding an external hub.
inline std::string hub_port(int port, const std::string &name, int port_count,
                            const std::string &ports) {
    return R"({"port": )" + std::to_string(port) +
           R"(, "vid": "0x05E3", "pid": "0x0608", "hub": )" + hub(name, port_count, ports) + "}";
}

// A numbered controller; `extra` adds keys (", \"interface\": true").
inline std::string controller(int number, const std::string &root, const std::string &extra = "",
                              const std::string &device_id = "") {
    return R"({"number": )" + std::to_string(number) + R"(, "interface": false, "driver_key": ")" +
           controller_key(number) + R"(", "device_id": ")" +
           (device_id.empty() ? pci_id(number) : device_id) + "\"" + extra + R"(, "root_hub": )" +
           root + "}";
}

// A machine of version 5.1 on the virtual clock whose commands are recorded.
inline std::string machine(const std::string &controllers, const std::string &changes = "[]",
                           const std::string &faults = "[]",
                           const std::string &processes = "record") {
    return R"({"os_version": {"major": 5, "minor": 1}, "clock": "virtual", "processes": ")" +
           processes + R"(", "controllers": [)" + controllers + R"(], "changes": )" + changes +
           R"(, "faults": )" + faults + "}";
}

// The install sequence of a composite device of families 1 to 4 (no pauses)
// with no variant modes set.
inline lines sequence(const std::string &family, int variant) {
    const std::string d = "_d" + std::to_string(variant);
    return {"wdreg -inf cdc_enum_" + family + d + ".inf -compat install",
            "wdreg -inf cdc_enum_" + family + "_m.inf -compat install",
            "wdreg -inf cdcacm_modem_" + family + d + ".inf -compat -dont_create_virtual install",
            "wdreg -inf cdc_acm_obex_" + family + d + ".inf -compat -dont_create_virtual install"};
}

const std::string vcp_install = "wdreg -inf vyrvcp.inf -compat -dont_create_virtual install";
const std::string modes_trace = "bSelsusp_mode = 0\n";

// The message box of one failure site, as the emulation writes it.
inline std::string report(int site) {
    return "[Oops!] File: src/usb_enum/usb_enum.cpp, Line " + std::to_string(site) + "\n";
}
inline std::string reports(std::initializer_list<int> sites) {
    std::string text;
    for (int site : sites) {
        text += report(site);
    }
    return text;
}

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
    for (const std::string &line : testkit::read_lines(stats)) {
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
    for (const std::string &line : testkit::read_lines(stats)) {
        if (line.rfind("call ", 0) == 0) {
            const auto space = line.rfind(' ');
            counts[line.substr(5, space - 5)] = std::stol(line.substr(space + 1));
        }
    }
    return counts;
}

// A run of the tool on a machine description, with journal, trace and statistics.
class machine_test : public testkit::tool_test {
  protected:
    testkit::tool_run run_machine(const std::string &json, const std::string &argument = "128") {
        std::filesystem::remove(dir / "journal");
        std::filesystem::remove(dir / "trace");
        std::filesystem::remove(dir / "stats");
        write("machine.json", json);
        return run({argument}, {{"QUORVEX_MACHINE", (dir / "machine.json").string()},
                                {"QUORVEX_TRACE", (dir / "trace").string()},
                                {"QUORVEX_JOURNAL", (dir / "journal").string()},
                                {"QUORVEX_STATS", (dir / "stats").string()}});
    }
    lines journal() const {
        return testkit::read_lines(dir / "journal");
    }
    std::string trace() const {
        return testkit::read_file(dir / "trace");
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
        for (const std::string &line : testkit::read_lines(dir / "stats")) {
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
                ++checked;
                EXPECT_EQ(h.handles, 0u) << h.event << " at " << h.clock;
                EXPECT_EQ(h.blocks, 0u) << h.event << " at " << h.clock;
            }
        }
        EXPECT_GE(checked, 2);
    }
};

} // namespace faultkit
