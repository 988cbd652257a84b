// The polling action end to end: the built tool walks an emulated USB topology
// and runs the install sequences of the devices it finds.
#include "faults/machine_kit.h"
#include "run_tool.h"

#include <algorithm>
#include <map>

namespace {

using testkit::read_lines;
using testkit::split_lines;
using lines = std::vector<std::string>;

const char *const hub_guid = "#{f18a0e88-c30c-11d0-8815-00a0c906bed8}";

std::string root_hub_name(int n) {
    return "USB#ROOT_HUB#4&1a2b3c&" + std::to_string(n) + hub_guid;
}

std::string controller(int number, const std::string &ports, int port_count = 4,
                       const std::string &extra = "") {
    char driver_key[64];
    std::snprintf(driver_key, sizeof driver_key, "{36fc9e60-c465-11cf-8056-444553540000}\\\\%04d",
                  number);
    return R"({"number": )" + std::to_string(number) + R"(, "driver_key": ")" + driver_key +
           R"(", "device_id": "PCI\\VEN_8086&DEV_24C2&SUBSYS_01451028&REV_01\\3&172E68DD&0&E8")" +
           extra + R"(, "root_hub": {"name": ")" + root_hub_name(number) + R"(", "port_count": )" +
           std::to_string(port_count) + R"(, "ports": [)" + ports + "]}}";
}

std::string machine(const std::string &controllers, const std::string &changes = "[]",
                    const char *processes = "record") {
    return R"({"os_version": {"major": 5, "minor": 1}, "clock": "virtual", "processes": ")" +
           std::string(processes) + R"(", "controllers": [)" + controllers + R"(], "changes": )" +
           changes + "}";
}

std::string device(int port, const char *vid, const char *pid) {
    return R"({"port": )" + std::to_string(port) + R"(, "vid": ")" + vid + R"(", "pid": ")" + pid +
           R"("})";
}

const lines remove_composite = {
    "wdreg -inf cdcacm_modem.inf -compat uninstall",
    "wdreg -inf cdc_acm_obex.inf -compat uninstall",
    "wdreg -inf cdc_enum.inf -compat uninstall",
    "del_sys.bat",
};
const std::string vcp_install = "wdreg -inf vyrvcp.inf -compat -dont_create_virtual install";
const std::string modes_trace = "bSelsusp_mode = 0\nbXcontrol_mode = 0\n";

lines orvo_d1() {
    return {"wdreg -inf cdc_enum_orvo_d1.inf -compat install",
            "wdreg -inf cdc_enum_orvo_m.inf -compat install",
            "wdreg -inf cdcacm_modem_orvo_d1.inf -compat -dont_create_virtual install",
            "wdreg -inf cdc_acm_obex_orvo_d1.inf -compat -dont_create_virtual install"};
}
const std::string orvo_d1_trace = "wdreg -inf cdc_enum_orvo_m.inf -compat install\n"
                                  "wdreg -inf cdcacm_modem_orvo_d1.inf -compat "
                                  "-dont_create_virtual install\n"
                                  "wdreg -inf cdc_acm_obex_orvo_d1.inf -compat "
                                  "-dont_create_virtual install\n";

lines nuvek_d0() {
    return {"wdreg -inf cdc_enum_nuvek_d0.inf -compat install",
            "wdreg -inf cdc_enum_nuvek_m.inf -compat install",
            "wdreg -inf cdcacm_modem_nuvek_d0.inf -compat -dont_create_virtual install",
            "wdreg -inf cdc_acm_obex_nuvek_d0.inf -compat -dont_create_virtual install"};
}
const std::string nuvek_d0_trace = "wdreg -inf cdc_enum_nuvek_m.inf -compat install\n"
                                   "wdreg -inf cdcacm_modem_nuvek_d0.inf -compat "
                                   "-dont_create_virtual install\n"
                                   "wdreg -inf cdc_acm_obex_nuvek_d0.inf -compat "
                                   "-dont_create_virtual install\n";

lines operator+(lines a, const lines &b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

class poll : public faultkit::machine_test {};

// The device sits on port 3 of controller 0, which the interface enumeration
// lists too: every pass runs its whole sequence twice, until it comes back in
// download mode (at 30 s, while the second pass waits between packages).
TEST_F(poll, typical_event_installs_twice_per_pass_until_download_mode) {
    testkit::install_standins(dir);
    const auto r = run_machine(machine(controller(0, device(3, "0x7A31", "0xE121")),
                                       R"([{"at_ms": 30000, "controller": 0, "port_path": [3],
                     "port": {"vid": "0x7A31", "pid": "0x2132"}}])",
                                       "run"),
                               "129");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(split_lines(r.out), lines{"KX: input =129"});
    EXPECT_EQ(r.err, "");

    const lines walk = remove_composite + orvo_d1();
    const lines expected = walk + walk + walk + walk + lines{vcp_install};
    EXPECT_EQ(journal(), expected);
    EXPECT_EQ(log(), expected); // what the started stand-ins saw, in the same order
    const std::string walk_trace = modes_trace + orvo_d1_trace;
    EXPECT_EQ(trace(), walk_trace + walk_trace + walk_trace + walk_trace + modes_trace);
    // Two passes of 2 x 9 s of package waits, three 250 ms pauses.
    EXPECT_EQ(std::to_string(at_exit().clock), "36750");
    expect_nothing_held_between_passes();
}

// Found behind controller 0, the download-mode device ends the pass there:
// controllers 1 to 9 are never opened and no interface is enumerated.
TEST_F(poll, download_device_on_controller_0_ends_the_pass_there) {
    std::string controllers = controller(0, device(1, "0x7A31", "0x2132"));
    for (int n = 1; n <= 9; ++n) {
        controllers += ',';
        controllers += controller(n, device(1, "0x7A31", "0xE120"));
    }
    const auto r = run_machine(machine(controllers));
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(journal(), lines{vcp_install});
    const auto c = call_counts();
    EXPECT_EQ(c.at("CreateFileA"), 2); // \\.\HCD0 and its root hub
    EXPECT_EQ(c.count("SetupDiGetClassDevsA"), 0u);
    EXPECT_EQ(std::to_string(at_exit().clock), "250");
    expect_nothing_held_between_passes();
}

// With no controller at all a pass opens nothing, finds no interface, and the
// loop runs to its bound.
TEST_F(poll, no_controller_opens_nothing) {
    const auto r = run_machine(machine(""));
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(journal().empty());
    EXPECT_EQ(trace(), "");
    const auto c = call_counts();
    EXPECT_EQ(c.at("CreateFileA"), 10L * 100000);
    EXPECT_EQ(c.at("SetupDiGetClassDevsA"), 100000);
    EXPECT_EQ(c.count("DeviceIoControl"), 0u);
    EXPECT_EQ(c.at("SetupDiDestroyDeviceInfoList"), 100000);
    expect_nothing_held_between_passes();
}

// Behind an external hub on port 2, the download-mode device ends the hub's
// loop; the root hub's loop goes on with port 3, then the pass ends.
TEST_F(poll, download_device_behind_a_hub_ends_only_the_inner_loop) {
    const std::string hub =
        R"({"port": 2, "vid": "0x05E3", "pid": "0x0608", "hub": {"name": "USB#VID_05E3&PID_0608#5&2c3d&0&2)" +
        std::string(hub_guid) + R"(", "port_count": 4, "ports": [)" +
        device(1, "0x7A31", "0x2132") + "," + device(2, "0x7A31", "0xE120") + "]}}";
    const auto r = run_machine(machine(controller(0, hub + "," + device(3, "0x7A31", "0xE520"))));
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(journal(), lines{vcp_install} + nuvek_d0());
    EXPECT_EQ(trace(), modes_trace + modes_trace + nuvek_d0_trace);
    EXPECT_EQ(call_counts().count("SetupDiGetClassDevsA"), 0u);
    expect_nothing_held_between_passes();
}

// Every connection status but 0 counts as a connected device, the platform's
// failure states included.
TEST_F(poll, failure_states_count_as_connected_devices) {
    const auto r = run_machine(
        machine(controller(0,
                           R"({"port": 1, "status": 2, "vid": "0x7A31", "pid": "0xE10C"},
           {"port": 2, "status": 0, "vid": "0x7A31", "pid": "0xE20C"},
           {"port": 3, "status": 3, "vid": "0x7A31", "pid": "0x2132"})",
                           4, R"(, "interface": false)")));
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(journal(),
              (lines{"wdreg -inf ulvo_mtp.inf -compat -dont_create_virtual install", vcp_install}));
}

// A port whose device is gone but whose hub flag is still set is descended into
// before it is skipped.
TEST_F(poll, empty_port_flagged_as_hub_is_still_descended) {
    const std::string hub =
        R"({"port": 1, "status": 0, "vid": "0x05E3", "pid": "0x0608", "hub": {"name": "USB#HUB#1)" +
        std::string(hub_guid) + R"(", "port_count": 1, "ports": [)" +
        device(1, "0x7A31", "0x2132") + "]}}";
    const auto r = run_machine(machine(controller(0, hub)));
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(journal(), lines{vcp_install});
    EXPECT_EQ(trace(), modes_trace + modes_trace);
}

// A hub with no ports writes the two mode lines and nothing else.
TEST_F(poll, hub_with_no_ports_writes_only_the_mode_traces) {
    const auto r = run_machine(machine(controller(0, "", 0, R"(, "interface": false)")),
                               "140"); // bits 2, 3, 7: both variant modes
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(journal().empty());
    std::string expected;
    for (int pass = 0; pass < 100000; ++pass) {
        expected += "bSelsusp_mode = 2\nbXcontrol_mode = 1\n";
    }
    EXPECT_EQ(trace(), expected);
}

// Two recognised devices on one hub get their sequences in port order,
// whatever order the machine lists them in.
TEST_F(poll, two_devices_on_one_hub_are_installed_in_port_order) {
    const auto r = run_machine(
        machine(controller(0,
                           device(4, "0x7A31", "0xE520") + "," + device(2, "0x7A31", "0xE121") +
                               "," + device(3, "0x7A31", "0x2132"),
                           4, R"(, "interface": false)")));
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(journal(), orvo_d1() + lines{vcp_install});
    EXPECT_EQ(trace(), modes_trace + orvo_d1_trace);
}

// A download-mode product ID under another vendor is nobody's download device:
// no driver key query, no install.
TEST_F(poll, download_product_of_another_vendor_is_left_alone) {
    const auto r = run_machine(
        machine(controller(0, device(1, "0x1234", "0x2132") + "," + device(2, "0x1234", "0xE120"),
                           4, R"(, "interface": false)"),
                R"([{"at_ms": 600, "controller": 0, "port_path": [3],
                     "port": {"vid": "0x7A31", "pid": "0x2132"}}])"));
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(journal(), lines{vcp_install});
    // Port 2's device is asked for its driver key in each of the three passes;
    // port 1's never is.
    EXPECT_EQ(call_counts().at("DeviceIoControl:0x220420"), 3 * 2);
}

// A controller whose device ID is not a PCI one is reported, and its root hub
// is walked all the same.
TEST_F(poll, controller_not_in_pci_form_is_reported_and_walked) {
    std::string c = controller(0, device(1, "0x7A31", "0x2132"), 4, R"(, "interface": false)");
    const std::string pci = R"(PCI\\VEN_8086&DEV_24C2&SUBSYS_01451028&REV_01\\3&172E68DD&0&E8)";
    c.replace(c.find(pci), pci.size(), R"(ACPI\\PNP0A03\\0)");
    const auto r = run_machine(machine(c));
    EXPECT_EQ(r.err, "[Oops!] File: src/usb_enum/usb_enum.cpp, Line 1875\n");
    EXPECT_EQ(journal(), lines{vcp_install});
    EXPECT_EQ(trace(), modes_trace);
    expect_nothing_held_between_passes();
}

// A faulty machine description is refused with one line naming its place, and
// nothing runs.
TEST_F(poll, faulty_descriptions_are_refused_before_anything_runs) {
    testkit::install_standins(dir);
    const std::string ok_device = device(1, "0x7A31", "0x2132");
    struct {
        std::string json;
        std::string fault;
    } const cases[] = {
        {machine(controller(0, ok_device)) + "}", "(document): not valid JSON"},
        {machine(controller(0, R"({"port": 1, "vendor": "0x7A31"})")),
         "controllers[0].root_hub.ports[0].vendor: unknown key"},
        {machine(controller(0, R"({"port": 1, "vid": true})")),
         "controllers[0].root_hub.ports[0].vid: expected a 16-bit ID"},
        {machine(controller(0, ok_device + "," + ok_device)),
         "controllers[0].root_hub.ports[1].port: port 1 is listed twice"},
        {machine(controller(0, device(5, "0x7A31", "0x2132"))),
         "controllers[0].root_hub.ports[0].port: port 5 is beyond the hub's 4 ports"},
        {machine(controller(10, ok_device)), "controllers[0].number: expected a whole number"},
        {machine(controller(0, ok_device),
                 R"([{"at_ms": 1, "controller": 0, "port_path": [1, 2], "port": null}])"),
         "changes[0].port_path: leads to no port of a hub"},
        {machine(controller(0, ok_device),
                 R"([{"at_ms": 1, "at_open": {"device": "\\\\.\\HCD0", "nth": 2},
                      "controller": 0, "port_path": [1], "port": null}])"),
         "changes[0]: a change needs \"at_ms\" or \"at_open\""},
        {machine(controller(0, ok_device),
                 R"([{"at_open": {"device": "\\\\.\\HCD0", "nth": 0},
                      "controller": 0, "port_path": [1], "port": null}])"),
         "changes[0].at_open.nth: expected a whole number from 1 to 4294967295"},
    };
    for (const auto &c : cases) {
        const auto r = run_machine(c.json);
        EXPECT_EQ(r.status, 2) << c.json;
        EXPECT_EQ(r.out, "") << c.json;
        const std::string prefix =
            "quorvex: machine description " + (dir / "machine.json").string() + ": " + c.fault;
        EXPECT_EQ(r.err.rfind(prefix, 0), 0u) << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
        EXPECT_FALSE(std::filesystem::exists(dir / "journal"));
        EXPECT_FALSE(std::filesystem::exists(dir / "standin.log"));
    }
}

} // namespace
