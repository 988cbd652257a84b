// Seven-hour polling runs on the virtual clock. One: 100000 passes over a machine
// with three controllers, nested hubs and recognised devices, every pass
// running installs and reporting two failure sites, until the download-mode
// device arrives in the last pass the loop allows. Nothing held grows: not the
// blocks and handles between passes, not the process's peak resident memory
// (VmHWM as the tool reports it at exit, compared with a run of 1000 passes).
// The other: a machine with nothing to find, polled to the loop's bound.
#include "e2e/machine_run.h"

#include <cstdio>

namespace {

using namespace testkit;

// Controller 0 (numbered and listed by the interface, so walked twice a pass):
// an external hub on port 1 with a kelmi d1 device and a second-tier hub holding
// a pasur MTP-only device, a nuvek d2 device on port 2, a dravo d0 device that
// answers only the older connection query on port 4; the download-mode device
// comes to its port 3 just before the last pass. Controller 1 (numbered only):
// a device ID that is not a PCI one (site 1875 every pass), a kelmi d0 device.
// Controller 2 (interface only): another vendor's device, and a pasur d1 device
// whose driver key cannot be read (site 451 every pass).
machine soak_machine(long passes) {
    const hub tier2 = {.name = "USB#VID_05E3&PID_0608#6&1f&0&3" + hub_guid,
                       .port_count = 2,
                       .ports = {device(1, 0x7A31, 0xE30C)}};
    controller c0 = numbered_controller(
        0, root_hub(
               0, 4,
               {hub_port(1, external_hub(0, 1, 4, {device(2, 0x7A31, 0xE221), hub_port(3, tier2)})),
                device(2, 0x7A31, 0xE52C),
                {.port = 4, .vid = 0x7A31, .pid = 0xE420, .legacy_only = true}}));
    c0.interface = true;
    controller c1 = numbered_controller(1, root_hub(1, 2, {device(1, 0x7A31, 0xE220)}));
    c1.device_id = "ACPI\\PNP0A03\\1";
    controller c2 = numbered_controller(
        2, root_hub(2, 3, {device(1, 0x1234, 0x5678), device(3, 0x7A31, 0xE321)}));
    c2.number.reset();
    c2.interface = true;
    return machine_of({c0, c1, c2},
                      {download_arrives(static_cast<std::uint64_t>(250 * passes - 100), {3})},
                      {{.function = "DeviceIoControl",
                        .ioctl = 0x220420,
                        .device = device_path(root_hub_name(2)),
                        .port = 3,
                        .nth = 0}});
}

const std::string mtp_install = "wdreg -inf ulvo_mtp.inf -compat -dont_create_virtual install";

// Controller 0's walk: the devices in port order, hubs first.
const lines controller0 = sequence("kelmi", 1) + lines{mtp_install} + sequence("nuvek", 2) +
                          lines{mtp_install} + sequence("dravo", 0);
// A whole pass: controller 0, controller 1, then by interface controller 0 again
// and controller 2.
const lines whole_pass = controller0 + sequence("kelmi", 0) + controller0 + sequence("pasur", 1);
// The last pass ends at the download device on controller 0's port 3.
const lines last_pass = sequence("kelmi", 1) + lines{mtp_install} + sequence("nuvek", 2) +
                        lines{mtp_install, vcp_install};
const std::string pass_reports = reports({1875, 451});

class soak : public machine_test {
  protected:
    // The run ended by itself in the pass that found the download device, the
    // last one the loop allows, and held nothing before any pass or at exit.
    void expect_whole_run(const tool_run &r, long passes) {
        EXPECT_EQ(r.status, 1);
        std::string expected_err;
        expected_err.reserve(pass_reports.size() * static_cast<std::size_t>(passes));
        for (long pass = 1; pass < passes; ++pass) {
            expected_err += pass_reports;
        }
        EXPECT_TRUE(r.err == expected_err)
            << "standard error differs; its start: " << r.err.substr(0, 400);
        const auto s = stats();
        ASSERT_FALSE(s.empty());
        long pauses = 0;
        for (const held &h : s) {
            SCOPED_TRACE(testing::Message() << h.event << " at " << h.clock);
            if (h.event == "sleep" && h.value == 250) {
                ++pauses;
                // Before pass k the clock reads 250 (k - 1): no other pause runs.
                ASSERT_EQ(h.clock, 250u * static_cast<unsigned long long>(pauses - 1));
            }
            if ((h.event == "sleep" && h.value == 250) || h.event == "exit") {
                ASSERT_EQ(h.handles, 0u);
                ASSERT_EQ(h.blocks, 0u);
            }
        }
        EXPECT_EQ(pauses, passes);
        EXPECT_EQ(s.back().event, "exit");
        EXPECT_EQ(s.back().clock, 250u * static_cast<unsigned long long>(passes));
        const auto c = call_counts();
        EXPECT_EQ(c.at("CreateProcessA"), static_cast<long>(whole_pass.size()) * (passes - 1) +
                                              static_cast<long>(last_pass.size()));
        EXPECT_EQ(c.at("GlobalAlloc"), c.at("GlobalFree"));
        EXPECT_EQ(c.at("SetupDiGetClassDevsA"), passes - 1);
        EXPECT_EQ(c.at("SetupDiDestroyDeviceInfoList"), passes - 1);
    }
};

TEST_F(soak, hundred_thousand_passes_hold_nothing_more_than_a_thousand) {
    const long short_run = 1000;
    const long long_run = 100000;

    // The short run, journalled: every pass runs the same commands.
    const auto first = run_machine(soak_machine(short_run));
    expect_whole_run(first, short_run);
    const long short_run_peak_kb = peak_rss_kb();
    lines expected;
    for (long pass = 1; pass < short_run; ++pass) {
        expected = expected + whole_pass;
    }
    EXPECT_EQ(journal(), expected + last_pass);

    // The long run, seven hours of polling on the virtual clock, with no journal.
    const auto second = run_machine(soak_machine(long_run), "128", false);
    expect_whole_run(second, long_run);
    const long long_run_peak_kb = peak_rss_kb();

    // The process's peak resident memory does not grow with the passes: a leak
    // of a few bytes a pass would add hundreds of kilobytes.
    std::printf("peak resident memory: %ld KB after %ld passes, %ld KB after %ld passes\n",
                short_run_peak_kb, short_run, long_run_peak_kb, long_run);
    EXPECT_GT(short_run_peak_kb, 0);
    EXPECT_GT(long_run_peak_kb, 0);
    EXPECT_LE(long_run_peak_kb, short_run_peak_kb + 256);
}

} // namespace

// With nothing to find the loop runs to its bound: 100000 passes, each after a
// 250 ms pause, every one opening the ten numbered names (one a controller whose
// root hub has no ports, which writes the two mode lines and no more) and
// enumerating the interface, and holding nothing between them.
TEST_F(soak, nothing_to_find_polls_to_the_pass_bound) {
    const auto r = run_machine(one_controller({}, 0), "140"); // bits 2, 3, 7: both modes
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "KX: input =140\n");
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(journal().empty());
    std::string expected;
    for (int pass = 0; pass < 100000; ++pass) {
        expected += "bSelsusp_mode = 2\nbXcontrol_mode = 1\n";
    }
    EXPECT_TRUE(trace() == expected) << "the trace differs; its start: " << trace().substr(0, 400);
    EXPECT_EQ(passes(), 100000);
    EXPECT_EQ(at_exit().clock, 25000000u);
    const auto c = call_counts();
    EXPECT_EQ(c.at("CreateFileA"), 11L * 100000);    // \\.\HCD0 to 9, the root hub
    EXPECT_EQ(c.at("DeviceIoControl"), 5L * 100000); // two names, the node information
    EXPECT_EQ(c.at("SetupDiGetClassDevsA"), 100000);
    EXPECT_EQ(c.at("SetupDiDestroyDeviceInfoList"), 100000);
    expect_nothing_held_between_passes();
}
