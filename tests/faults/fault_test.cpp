// Every failure site of the scan, reached from outside: the built tool polls a
// machine whose description plants one fault, and the test reads the reports on
// standard error, the commands run, how many port loops ran, and what the tool
// held before each pass and at exit.
#include "e2e/machine_run.h"

#include "usb_enum/usb_enum.h"

namespace {

using namespace testkit;

// What the scan asks GlobalAlloc for: the tracked-block header, then the block.
constexpr std::uint64_t tracked(std::uint64_t bytes) {
    return sizeof(alloc_header) + bytes;
}
// The hub records: a 32-bit kind, then pointers (two for a root hub, five for an
// external one); in a 64-bit build the host-controller record is as large as an
// external hub's.
constexpr std::uint64_t root_hub_record = 3 * sizeof(void *);
constexpr std::uint64_t external_hub_record = 6 * sizeof(void *);
constexpr std::uint64_t connection_record = port_connection_size;

// Controller 0: an external hub on port 1 (a kelmi device on its port 1), a
// nuvek device on port 2, a pasur device on port 4. Controller 1: a dravo device
// on port 2; from 300 ms on, the download-mode device on its port 1. So the first
// pass installs four devices and the second three, then the download device, and
// the tool ends.
const std::string nuvek_key = "{4d36e96d-e325-11ce-bfc1-08002be10318}\\00002";

std::vector<controller> standard_controllers(const std::string &controller0_id = pci_id(0)) {
    controller c0 = numbered_controller(
        0, root_hub(0, 4,
                    {hub_port(1, external_hub(0, 1, 2, {device(1, 0x7A31, 0xE220)})),
                     {.number = 2, .vid = 0x7A31, .pid = 0xE520, .driver_key = nuvek_key},
                     device(4, 0x7A31, 0xE321)}));
    c0.device_id = controller0_id;
    return {c0, numbered_controller(1, root_hub(1, 2, {device(2, 0x7A31, 0xE420)}))};
}

const lines K = sequence("kelmi", 0);
const lines N = sequence("nuvek", 0);
const lines P = sequence("pasur", 1);
const lines D = sequence("dravo", 0);
const lines last_pass = K + N + P + lines{vcp_install};
constexpr long last_pass_loops = 3; // root hub 0, the external hub, root hub 1

class fault_sites : public machine_test {
  protected:
    // Polls the machine with `faults` planted: the reports on standard error, in
    // order, and the commands and port loops of the first pass; the second is whole.
    void check(const char *what, std::vector<fault> faults, const std::string &reports,
               const lines &first_pass, long first_pass_loops,
               std::vector<controller> controllers = standard_controllers()) {
        SCOPED_TRACE(what);
        const auto r = run_machine(machine{.controllers = std::move(controllers),
                                           .changes = {download_arrives(300, {1}, 1)},
                                           .faults = std::move(faults)});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "KX: input =128\n");
        EXPECT_EQ(r.err, reports);
        EXPECT_EQ(journal(), first_pass + last_pass);
        EXPECT_EQ(passes(), 2);
        EXPECT_EQ(port_loops(), first_pass_loops + last_pass_loops);
        expect_nothing_held_between_passes();
    }
};

// Without a fault the machine installs everything in both passes.
TEST_F(fault_sites, machine_without_faults_installs_everything) {
    check("no fault", {}, "", K + N + P + D, 3);
}

// The two name queries on a host controller, each failure point: the query's
// own report, then the walk's. Without a driver key the controller is skipped;
// without a root hub name its walk ends. Either way the next controller is walked.
TEST_F(fault_sites, controller_name_queries_report_twice_and_go_to_the_next_controller) {
    const char *const io = "DeviceIoControl";
    check("362: root hub name probe fails", {{.function = io, .ioctl = 0x220408, .controller = 0}},
          reports({362, 1917}), D, 1);
    check("373: root hub name of length 0",
          {{.function = io, .ioctl = 0x220408, .controller = 0, .actual_length = 0}},
          reports({373, 1917}), D, 1);
    check("389: second root hub name call fails",
          {{.function = io, .ioctl = 0x220408, .controller = 0, .nth = 2}}, reports({389, 1917}), D,
          1);
    check("545: driver key probe fails",
          {{.function = io, .ioctl = 0x220424, .controller = 0, .error = 1}}, reports({545, 1920}),
          D, 1);
    check("554: driver key of length 6",
          {{.function = io, .ioctl = 0x220424, .controller = 0, .raw_reply = "06000000 0000"}},
          reports({554, 1920}), D, 1);
    check("561: driver key block cannot be had",
          {{.function = io, .ioctl = 0x220424, .controller = 0, .actual_length = 0x7FFFFFF0}},
          reports({561, 1920}), D, 1);
    check("578: second driver key call fails",
          {{.function = io, .ioctl = 0x220424, .controller = 0, .nth = 2}}, reports({578, 1920}), D,
          1);
}

// When the name arrives but cannot be converted, only the walk reports.
TEST_F(fault_sites, unconvertible_controller_names_give_only_the_walks_report) {
    check("1920: driver key not converted", {{.function = "WideCharToMultiByte", .nth = 1}},
          report(1920), D, 1);
    // The driver key takes two conversion calls; the root hub name's is the third.
    check("1917: root hub name not converted", {{.function = "WideCharToMultiByte", .nth = 3}},
          report(1917), D, 1);
}

// The controller's identity: a device ID that is not a PCI one, or none at all,
// is reported and the controller's root hub is walked all the same.
TEST_F(fault_sites, controller_identity_failures_leave_the_walk_going) {
    check("1875: device ID not in PCI form (every pass)", {}, reports({1875, 1875}), K + N + P + D,
          3, standard_controllers("USB\\VID_8086&PID_24C2\\0"));
    check("1875: PCI device ID without REV_ (every pass)", {}, reports({1875, 1875}), K + N + P + D,
          3, standard_controllers("PCI\\VEN_8086&DEV_24C2&SUBSYS_01451028\\3&172E68DD&0&E8"));
    check("1889: device ID cannot be read",
          {{.function = "CM_Get_Device_IDA", .device = pci_id(0)}}, report(1889), K + N + P + D, 3);
    check("1889: device tree has no root", {{.function = "CM_Locate_DevNodeA", .error = 0}},
          report(1889), K + N + P + D, 3);
}

// The hub walk's own failures: a root hub skipped ends its controller's walk, an
// external hub skipped lets its parent's loop go on with the next port.
TEST_F(fault_sites, hub_walk_failures_skip_the_hub_and_clean_up) {
    const std::string root = root_hub_name(0);
    const std::string outer = external_hub_name(0, 1);
    check("1687: root hub record", {{.function = "GlobalAlloc", .size = tracked(root_hub_record)}},
          report(1687), D, 1);
    // In a 64-bit build the host-controller record of controller 0 has the same size
    // and comes first; in a 32-bit one it is larger (32 bytes, the hub's 24).
    check("1687: external hub record",
          {{.function = "GlobalAlloc",
            .size = tracked(external_hub_record),
            .nth = sizeof(void *) == 8 ? 2u : 1u}},
          report(1687), N + P + D, 2);
    check("1696: root hub node information",
          {{.function = "GlobalAlloc", .size = tracked(node_information_size)}}, report(1696), D,
          1);
    check("1696: external hub node information",
          {{.function = "GlobalAlloc", .size = tracked(node_information_size), .nth = 2}},
          report(1696), N + P + D, 2);
    check("1747: root hub does not open", {{.function = "CreateFileA", .hub = root, .error = 2}},
          report(1747), D, 1);
    check("1747: external hub does not open",
          {{.function = "CreateFileA", .hub = outer, .error = 2}}, report(1747), N + P + D, 2);
    check("1766: root hub node information query fails",
          {{.function = "DeviceIoControl", .ioctl = 0x220408, .hub = root}}, report(1766), D, 1);
    check("1766: external hub node information query fails",
          {{.function = "DeviceIoControl", .ioctl = 0x220408, .hub = outer}}, report(1766),
          N + P + D, 2);
}

// The port loop: a connection record that cannot be had ends that hub's loop
// (an external hub's parent goes on); a port answering neither connection query
// is skipped.
TEST_F(fault_sites, port_loop_failures_skip_the_rest_of_the_hub_or_the_port) {
    const std::uint64_t record = tracked(connection_record);
    const std::string root = root_hub_name(0);
    // Records are taken for root port 1, the external hub's ports 1 and 2, root port 2, ...
    check("1317: root hub, port 1", {{.function = "GlobalAlloc", .size = record}}, report(1317), D,
          2);
    check("1317: root hub, port 2", {{.function = "GlobalAlloc", .size = record, .nth = 4}},
          report(1317), K + D, 3);
    check("1317: external hub, port 1", {{.function = "GlobalAlloc", .size = record, .nth = 2}},
          report(1317), N + P + D, 3);
    check("1361: neither connection query answers for root port 2",
          {{.function = "DeviceIoControl", .ioctl = 0x220448, .hub = root, .port = 2},
           {.function = "DeviceIoControl", .ioctl = 0x22040C, .hub = root, .port = 2}},
          report(1361), K + P + D, 3);
}

// The port's driver key is asked for only to be released: its failures are
// reported and the device is installed all the same.
TEST_F(fault_sites, port_driver_key_failures_are_reported_and_the_install_runs) {
    const char *const io = "DeviceIoControl";
    const std::string root = root_hub_name(0);
    const lines all = K + N + P + D;
    check("451: probe fails", {{.function = io, .ioctl = 0x220420, .hub = root, .port = 2}},
          report(451), all, 3);
    check("460: driver key of length 10",
          {{.function = io, .ioctl = 0x220420, .hub = root, .port = 2, .actual_length = 10}},
          report(460), all, 3);
    // The reply block for the nuvek device's 44-character key: 8 bytes, then
    // 45 UTF-16 units.
    check("467: driver key block cannot be had",
          {{.function = "GlobalAlloc", .size = tracked(8 + 2 * 45)}}, report(467), all, 3);
    check("486: second call fails",
          {{.function = io, .ioctl = 0x220420, .hub = root, .port = 2, .nth = 2}}, report(486), all,
          3);
    // No driver installed yet: both passes' probes fail with error 2.
    std::vector<controller> no_driver = standard_controllers();
    no_driver[0].root_hub.ports[1].without_driver_key = true;
    check("451: no driver yet", {}, reports({451, 451}), all, 3, no_driver);
}

// Without the external hub's name the hub is not walked: its devices get
// nothing, and the loop goes on with the next port.
TEST_F(fault_sites, port_hub_name_failures_leave_the_hub_unwalked) {
    const char *const io = "DeviceIoControl";
    const std::string root = root_hub_name(0);
    check("1058: probe fails", {{.function = io, .ioctl = 0x220414, .hub = root, .port = 1}},
          report(1058), N + P + D, 2);
    check("1067: hub name of length 10",
          {{.function = io, .ioctl = 0x220414, .hub = root, .port = 1, .actual_length = 10}},
          report(1067), N + P + D, 2);
    check(
        "1074: hub name block cannot be had",
        {{.function = io, .ioctl = 0x220414, .hub = root, .port = 1, .actual_length = 2147483632}},
        report(1074), N + P + D, 2);
    check("1092: second call fails",
          {{.function = io, .ioctl = 0x220414, .hub = root, .port = 1, .nth = 2}}, report(1092),
          N + P + D, 2);
}

// A controller listed by its number and by the interface enumeration is walked
// twice a pass; a fault on its numbered name spoils only that walk.
TEST_F(fault_sites, fault_on_the_numbered_name_leaves_the_interface_walk) {
    controller c = numbered_controller(0, root_hub(0, 2, {device(1, 0x7A31, 0xE520)}));
    c.interface = true;
    const auto r = run_machine(machine{
        .controllers = {c},
        .changes = {download_arrives(300, {2})},
        .faults = {{.function = "DeviceIoControl", .ioctl = 0x220424, .controller = 0, .nth = 0}}});
    EXPECT_EQ(r.err, reports({545, 1920, 545, 1920}));
    // Each pass: the numbered walk fails, the interface walk installs; in the
    // second it finds the download device too.
    EXPECT_EQ(journal(), N + N + lines{vcp_install});
    EXPECT_EQ(passes(), 2);
    EXPECT_EQ(port_loops(), 2);
    expect_nothing_held_between_passes();
}

// A fault that strikes every pass is reported every pass; the tool still ends
// when the download device is handled and holds nothing between passes.
TEST_F(fault_sites, fault_in_every_pass_is_reported_every_pass) {
    const auto r = run_machine(
        machine{.controllers = standard_controllers(),
                .changes = {download_arrives(800, {1}, 1)},
                .faults = {{.function = "CreateFileA", .hub = external_hub_name(0, 1), .nth = 0}}});
    EXPECT_EQ(r.err, reports({1747, 1747, 1747, 1747}));
    EXPECT_EQ(journal(), N + P + D + N + P + D + N + P + D + N + P + lines{vcp_install});
    EXPECT_EQ(passes(), 4);
    expect_nothing_held_between_passes();
}

} // namespace
