// The polling action end to end: the built tool walks an emulated USB topology
// and runs the install sequences of the devices it finds.
#include "e2e/machine_run.h"

namespace {

using namespace testkit;

const lines remove_composite = {
    "wdreg -inf cdcacm_modem.inf -compat uninstall",
    "wdreg -inf cdc_acm_obex.inf -compat uninstall",
    "wdreg -inf cdc_enum.inf -compat uninstall",
    "del_sys.bat",
};

// The trace lines of a composite install: its commands after the first.
std::string install_trace(const lines &sequence) {
    std::string trace;
    for (std::size_t i = 1; i < sequence.size(); ++i) {
        trace += sequence[i] + "\n";
    }
    return trace;
}

const lines orvo_d1 = sequence("orvo", 1);
const lines nuvek_d0 = sequence("nuvek", 0);

class poll : public machine_test {};

// The device sits on port 3 of controller 0, which the interface enumeration
// lists too: every pass runs its whole sequence twice, until it comes back in
// download mode (at 30 s, while the second pass waits between packages).
TEST_F(poll, typical_event_installs_twice_per_pass_until_download_mode) {
    install_standins(dir);
    machine m = one_controller({device(3, 0x7A31, 0xE121)});
    m.controllers[0].interface = true;
    m.record_processes = false;
    m.changes = {download_arrives(30000, {3})};
    const auto r = run_machine(m, "129");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(split_lines(r.out), lines{"KX: input =129"});
    EXPECT_EQ(r.err, "");

    const lines walk = remove_composite + orvo_d1;
    const lines expected = walk + walk + walk + walk + lines{vcp_install};
    EXPECT_EQ(journal(), expected);
    EXPECT_EQ(log(), expected); // what the started stand-ins saw, in the same order
    const std::string walk_trace = modes_trace + install_trace(orvo_d1);
    EXPECT_EQ(trace(), walk_trace + walk_trace + walk_trace + walk_trace + modes_trace);
    // Two passes of 2 x 9 s of package waits, three 250 ms pauses.
    EXPECT_EQ(std::to_string(at_exit().clock), "36750");
    expect_nothing_held_between_passes();
}

// Found behind controller 0, the download-mode device ends the pass there:
// controllers 1 to 9 are never opened and no interface is enumerated.
TEST_F(poll, download_device_on_controller_0_ends_the_pass_there) {
    machine m = one_controller({device(1, 0x7A31, 0x2132)});
    for (int n = 1; n <= 9; ++n) {
        m.controllers.push_back(
            numbered_controller(n, root_hub(n, 4, {device(1, 0x7A31, 0xE120)})));
    }
    const auto r = run_machine(m);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(journal(), lines{vcp_install});
    const auto c = call_counts();
    EXPECT_EQ(c.at("CreateFileA"), 2); // \\.\HCD0 and its root hub
    EXPECT_EQ(c.count("SetupDiGetClassDevsA"), 0u);
    EXPECT_EQ(std::to_string(at_exit().clock), "250");
    expect_nothing_held_between_passes();
}

// Behind an external hub on port 2, the download-mode device ends the hub's
// loop; the root hub's loop goes on with port 3, then the pass ends.
TEST_F(poll, download_device_behind_a_hub_ends_only_the_inner_loop) {
    const auto r = run_machine(one_controller(
        {hub_port(2, external_hub(0, 2, 4, {device(1, 0x7A31, 0x2132), device(2, 0x7A31, 0xE120)})),
         device(3, 0x7A31, 0xE520)}));
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(journal(), lines{vcp_install} + nuvek_d0);
    EXPECT_EQ(trace(), modes_trace + modes_trace + install_trace(nuvek_d0));
    EXPECT_EQ(call_counts().count("SetupDiGetClassDevsA"), 0u);
    expect_nothing_held_between_passes();
}

// Every connection status but 0 counts as a connected device, the platform's
// failure states included.
TEST_F(poll, failure_states_count_as_connected_devices) {
    const auto r =
        run_machine(one_controller({{.port = 1, .vid = 0x7A31, .pid = 0xE10C, .status = 2},
                                    {.port = 2, .vid = 0x7A31, .pid = 0xE20C, .status = 0},
                                    {.port = 3, .vid = 0x7A31, .pid = 0x2132, .status = 3}}));
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(journal(),
              (lines{"wdreg -inf ulvo_mtp.inf -compat -dont_create_virtual install", vcp_install}));
}

// A port whose device is gone but whose hub flag is still set is descended into
// before it is skipped.
TEST_F(poll, empty_port_flagged_as_hub_is_still_descended) {
    port gone = hub_port(
        1, {.name = "USB#HUB#1" + hub_guid, .port_count = 1, .ports = {device(1, 0x7A31, 0x2132)}});
    gone.status = 0;
    const auto r = run_machine(one_controller({gone}));
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(journal(), lines{vcp_install});
    EXPECT_EQ(trace(), modes_trace + modes_trace);
}

// Two recognised devices on one hub get their sequences in port order,
// whatever order the machine lists them in.
TEST_F(poll, two_devices_on_one_hub_are_installed_in_port_order) {
    const auto r = run_machine(one_controller(
        {device(4, 0x7A31, 0xE520), device(2, 0x7A31, 0xE121), device(3, 0x7A31, 0x2132)}));
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(journal(), orvo_d1 + lines{vcp_install});
    EXPECT_EQ(trace(), modes_trace + install_trace(orvo_d1));
}

// A download-mode product ID under another vendor is nobody's download device:
// no driver key query, no install.
TEST_F(poll, download_product_of_another_vendor_is_left_alone) {
    machine m = one_controller({device(1, 0x1234, 0x2132), device(2, 0x1234, 0xE120)});
    m.changes = {download_arrives(600, {3})};
    const auto r = run_machine(m);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(journal(), lines{vcp_install});
    // Port 2's device is asked for its driver key in each of the three passes;
    // port 1's never is.
    EXPECT_EQ(call_counts().at("DeviceIoControl:0x220420"), 3 * 2);
}

// A faulty machine description is refused with one line naming its place, and
// nothing runs.
TEST_F(poll, faulty_descriptions_are_refused_before_anything_runs) {
    install_standins(dir);
    const port ok_device = device(1, 0x7A31, 0x2132);
    // A machine with one change; those the builder cannot write are patched in.
    const auto with_change = [&](change c) {
        machine m = one_controller({ok_device});
        m.changes = {std::move(c)};
        return m;
    };
    const machine ok = one_controller({ok_device});
    const std::string hcd0 = device_path("HCD0");
    struct {
        std::string json;
        std::string fault;
    } const cases[] = {
        {description(ok) + "}", "(document): not valid JSON"},
        {patched(ok, {{"/controllers/0/root_hub/ports/0", R"({"port": 1, "vendor": "0x7A31"})"}}),
         "controllers[0].root_hub.ports[0].vendor: unknown key"},
        {patched(ok, {{"/controllers/0/root_hub/ports/0/vid", "true"}}),
         "controllers[0].root_hub.ports[0].vid: expected a 16-bit ID"},
        {patched(ok,
                 {{"/controllers/0/root_hub/ports/0",
                   R"({"port": 1, "driver_key": null, "driver_values": {"InfPath": "a.inf"}})"}}),
         "controllers[0].root_hub.ports[0].driver_values: a node without a driver key has no "
         "software key"},
        {description(one_controller({ok_device, ok_device})),
         "controllers[0].root_hub.ports[1].port: port 1 is listed twice"},
        {description(one_controller({device(5, 0x7A31, 0x2132)})),
         "controllers[0].root_hub.ports[0].port: port 5 is beyond the hub's 4 ports"},
        {patched(ok, {{"/controllers/0/number", "10"}}),
         "controllers[0].number: expected a whole number"},
        {description(with_change({.at_ms = 1, .port_path = {1, 2}})),
         "changes[0].port_path: leads to no port of a hub"},
        {patched(with_change({.at_open_device = hcd0, .at_open_nth = 2, .port_path = {1}}),
                 {{"/changes/0/at_ms", "1"}}),
         "changes[0]: a change needs \"at_ms\" or \"at_open\""},
        {description(with_change({.at_open_device = hcd0, .at_open_nth = 0, .port_path = {1}})),
         "changes[0].at_open.nth: expected a whole number from 1 to 4294967295"},
    };
    for (const auto &c : cases) {
        expect_refused(c.json, c.fault);
    }
}

} // namespace
