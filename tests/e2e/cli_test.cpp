// The command-line contract, end to end: the built tool runs in a scratch
// directory with stand-in wdreg and batch files that log how they were called.
// A scenario's [setup] lines: "standins none" (no stand-ins), "standins talk"
// (wdreg writes to standard output too, so [stdout] shows the order of the
// tool's lines and its children's), "machine FILE" (the machine description,
// beside the scenario, that the tool runs on). [stderr] holds the failure
// reports the run shows, if any.
#include "machine_run.h"

#include <algorithm>

namespace {

using testkit::machine;
using testkit::read_lines;
using testkit::split_lines;

struct scenario {
    std::string name;
    bool standins = true;
    bool talk = false;
    std::string machine;                    // path of the machine description, or empty
    std::vector<std::string> unknown_setup; // lines this runner does not know
    std::vector<std::string> args;
    std::vector<std::string> out;
    std::vector<std::string> log;
    std::vector<std::string> err;
};

void PrintTo(const scenario &s, std::ostream *os) {
    *os << s.name;
}

scenario read_scenario(const std::filesystem::path &file) {
    scenario s;
    s.name = file.stem().string();
    std::vector<std::string> *section = nullptr;
    std::vector<std::string> setup;
    for (const std::string &line : read_lines(file)) {
        if (line == "[setup]") {
            section = &setup;
        } else if (line == "[args]") {
            section = &s.args;
        } else if (line == "[stdout]") {
            section = &s.out;
        } else if (line == "[log]") {
            section = &s.log;
        } else if (line == "[stderr]") {
            section = &s.err;
        } else if (section != nullptr) {
            section->push_back(line);
        }
    }
    for (const std::string &line : setup) {
        if (line == "standins none") {
            s.standins = false;
        } else if (line == "standins talk") {
            s.talk = true;
        } else if (line.rfind("machine ", 0) == 0) {
            s.machine = (file.parent_path() / line.substr(8)).string();
        } else if (!line.empty()) {
            s.unknown_setup.push_back(line);
        }
    }
    return s;
}

std::vector<scenario> all_scenarios() {
    std::vector<scenario> all;
    for (const auto &entry : std::filesystem::directory_iterator(
             std::filesystem::path(QUORVEX_FIXTURES) / ".." / "e2e" / "cli")) {
        if (entry.path().extension() == ".scenario") {
            all.push_back(read_scenario(entry.path()));
        }
    }
    std::sort(all.begin(), all.end(),
              [](const scenario &a, const scenario &b) { return a.name < b.name; });
    return all;
}

class cli : public testkit::tool_test, public ::testing::WithParamInterface<scenario> {};

TEST_P(cli, runs_exactly_the_expected_commands) {
    const scenario &s = GetParam();
    ASSERT_EQ(s.unknown_setup, std::vector<std::string>{}) << "unknown [setup] lines";
    if (s.standins) {
        testkit::install_standins(dir);
    }
    if (s.talk) {
        write("standins.talk", "");
    }
    std::map<std::string, std::string> env;
    if (!s.machine.empty()) {
        env["QUORVEX_MACHINE"] = s.machine;
    }
    const testkit::tool_run r = run(s.args, env);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(split_lines(r.out), s.out);
    EXPECT_EQ(split_lines(r.err), s.err);
    EXPECT_EQ(log(), s.log);
}

INSTANTIATE_TEST_SUITE_P(scenarios, cli, ::testing::ValuesIn(all_scenarios()),
                         [](const ::testing::TestParamInfo<scenario> &info) {
                             return info.param.name;
                         });

class version : public testkit::machine_test {};

// Bit 7 asks the system's version: from 6 on the download-mode package is
// installed directly, once.
TEST_F(version, six_and_later_install_the_download_package_directly) {
    testkit::install_standins(dir);
    const auto r = run_machine(machine{.major = 6, .minor = 0, .virtual_clock = true});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(split_lines(r.out), testkit::lines{"KX: input =128"});
    EXPECT_EQ(log(), testkit::lines{testkit::vcp_install});
}

class machine_file : public testkit::machine_test {};

// A faulty machine description stops the program before it does anything.
TEST_F(machine_file, faults_stop_the_program_with_one_line) {
    testkit::install_standins(dir);
    struct {
        const char *json;
        const char *fault;
    } const cases[] = {
        {R"({"clock": "virtual",)", "(document): not valid JSON"},
        {R"({"clocks": "virtual"})", "clocks: unknown key"},
        {R"({"os_version": {"major": "5"}})", "os_version.major: expected a whole number"},
        {R"({"processes": "spawn"})", "processes: expected \"run\" or \"record\""},
        {R"({"device_tree": {}, "nodes": []})", "nodes: not beside \"device_tree\""},
        {R"({"nodes": [{"description": "a\u0000b"}]})",
         "nodes[0].description: must not contain a NUL character"},
        {R"({"controllers": [{"driver_key": "k", "root_hub": {"name": "R", "port_count": 1, "ports": [{"port": 1, "device_is_hub": false, "hub": {"name": "H", "port_count": 0}}]}}]})",
         "controllers[0].root_hub.ports[0].device_is_hub: false, but the port has a hub"},
        {R"({"controllers": [{"driver_key": "k", "root_hub": {"name": "R", "port_count": 1, "ports": [{"port": 1, "hub": {"name": "R", "port_count": 0}}]}}]})",
         "controllers[0].root_hub: hub name \"R\" is used twice"},
    };
    for (const auto &c : cases) {
        expect_refused(c.json, c.fault, "32");
    }
    const testkit::tool_run r = run({"32"}, {{"QUORVEX_MACHINE", (dir / "absent.json").string()}});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, "quorvex: machine description " + (dir / "absent.json").string() +
                         ": cannot be read\n");
}

} // namespace
