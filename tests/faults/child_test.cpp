// Children that cannot be started, that fail, or that are refused the raised
// priority: the runner says so on standard output (or says nothing), and the
// sequence goes on with its next command.
#include "e2e/machine_run.h"

#include <sys/stat.h>

namespace {

using namespace testkit;

const lines remove_download = {"wdreg -inf vyrvcp.inf -compat uninstall",
                               "wdreg -inf vyrww.inf -compat uninstall", "del_sys_dl.bat"};

// A machine on the real clock whose commands run as real processes, with `faults`.
machine running_machine(std::vector<fault> faults = {}) {
    machine m = machine_of({}, {}, std::move(faults));
    m.virtual_clock = m.record_processes = false;
    return m;
}

class children : public machine_test {
  protected:
    // Writes a program of the given content and mode into the run's directory.
    void program(const std::string &name, const std::string &content, mode_t mode) {
        write(name, content);
        ::chmod((dir / name).c_str(), mode);
    }
    // The removal of the download drivers (argument 64) on `m`.
    tool_run remove(const machine &m) {
        return run_machine(m, "64");
    }
};

// wdreg missing, not executable, or not a program: each of its two commands is
// reported with the system's code, and the batch file after them still runs.
TEST_F(children, child_that_cannot_start_is_reported_and_skipped) {
    struct {
        const char *what;
        const char *content; // nullptr: no wdreg at all
        mode_t mode;
        int code;
    } const cases[] = {
        {"missing", nullptr, 0, 2},
        {"not executable", "#!/bin/sh\necho wdreg >> standin.log\n", 0644, 5},
        {"not a program", "\x01\x02 this is no program\n", 0755, 193},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        std::filesystem::remove(dir / "wdreg.exe");
        std::filesystem::remove(dir / "standin.log");
        std::filesystem::copy_file(std::string(QUORVEX_STANDINS) + "/del_sys_dl.bat",
                                   dir / "del_sys_dl.bat",
                                   std::filesystem::copy_options::overwrite_existing);
        if (c.content != nullptr) {
            program("wdreg.exe", c.content, c.mode);
        }
        const auto r = remove(running_machine());
        const std::string failed = "CreateProcess failed (" + std::to_string(c.code) + ")";
        EXPECT_EQ(split_lines(r.out), (lines{"KX: input =64", failed, failed}));
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(journal(), remove_download); // every command was handed over
        EXPECT_EQ(log(), lines{"del_sys_dl.bat"});
        EXPECT_EQ(at_exit().handles, 0u);
    }
}

// A planted refusal to start, by program: the other commands run.
TEST_F(children, planted_start_failure_names_its_code) {
    install_standins(dir);
    const auto r = remove(running_machine(
        {{.function = "CreateProcessA", .device = "del_sys_dl.bat", .error = 1455}}));
    EXPECT_EQ(split_lines(r.out), (lines{"KX: input =64", "CreateProcess failed (1455)"}));
    EXPECT_EQ(log(), (lines{"wdreg -inf vyrvcp.inf -compat uninstall",
                            "wdreg -inf vyrww.inf -compat uninstall"}));
    EXPECT_EQ(at_exit().handles, 0u);
}

// A child ending with a failure status changes nothing: no message, the same
// commands in the same order as with children that succeed.
TEST_F(children, child_exit_status_is_never_looked_at) {
    install_standins(dir);
    const auto succeeding = remove(running_machine());
    const lines succeeding_log = log();
    std::filesystem::remove(dir / "standin.log");
    program("wdreg.exe", "#!/bin/sh\nprintf 'wdreg %s\\n' \"$*\" >> standin.log\nexit 3\n", 0755);
    program("del_sys_dl.bat", "#!/bin/sh\necho del_sys_dl.bat >> standin.log\nexit 255\n", 0755);
    const auto failing = remove(running_machine());
    EXPECT_EQ(failing.out, succeeding.out);
    EXPECT_EQ(failing.out, "KX: input =64\n");
    EXPECT_EQ(failing.err, "");
    EXPECT_EQ(log(), succeeding_log);
    EXPECT_EQ(log(), remove_download);
    EXPECT_EQ(failing.status, 1);
}

// The raise to real-time priority refused: the message with the code in
// hexadecimal, and each child is still waited for before the next starts (its
// last line is written before the next child's first).
TEST_F(children, refused_priority_raise_is_reported_and_the_child_waited_for) {
    program("wdreg.exe",
            "#!/bin/sh\necho \"start $*\" >> standin.log\nsleep 0.2\n"
            "echo \"end $*\" >> standin.log\n",
            0755);
    program("del_sys_dl.bat", "#!/bin/sh\necho del_sys_dl.bat >> standin.log\n", 0755);
    const auto r =
        remove(running_machine({{.function = "SetPriorityClass", .nth = 0, .error = 5}}));
    const std::string refused = "GetLastError for SetPriorityClass = 0X5";
    EXPECT_EQ(split_lines(r.out), (lines{"KX: input =64", refused, refused, refused}));
    EXPECT_EQ(log(), (lines{"start -inf vyrvcp.inf -compat uninstall",
                            "end -inf vyrvcp.inf -compat uninstall",
                            "start -inf vyrww.inf -compat uninstall",
                            "end -inf vyrww.inf -compat uninstall", "del_sys_dl.bat"}));
    auto c = call_counts();
    EXPECT_EQ(c["SetPriorityClass:0x100"], 3); // real time asked for every child
    EXPECT_EQ(c.at("WaitForSingleObject"), 3);
    EXPECT_EQ(c.at("CloseHandle"), 6);
    EXPECT_EQ(at_exit().handles, 0u);
}

// A code beyond one hexadecimal digit is printed in lower-case hexadecimal
// after the upper-case "0X".
TEST_F(children, refused_priority_code_is_printed_in_hexadecimal) {
    install_standins(dir);
    // The code written as hexadecimal text, as descriptions may.
    const auto r =
        run_machine(patched(running_machine({{.function = "SetPriorityClass", .nth = 2}}),
                            {{"/faults/0/error", R"("0x2AF")"}}),
                    "64");
    EXPECT_EQ(split_lines(r.out),
              (lines{"KX: input =64", "GetLastError for SetPriorityClass = 0X2af"}));
    EXPECT_EQ(log(), remove_download);
}

} // namespace
