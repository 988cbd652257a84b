// The host-controller scan and the hub walk on machines that misbehave: every
// failure path reports what it should and leaves nothing allocated or open.
#include "usb_enum_fixture.h"

#include "shared/modes.h"

#include <cstring>

namespace {

using testkit::report_line;

const std::string root_name = "USB#ROOT_HUB#4&1a2b3c&0#{f18a0e88-c30c-11d0-8815-00a0c906bed8}";
const std::string vcp_install = "wdreg -inf vyrvcp.inf -compat -dont_create_virtual install";
const std::string modes_trace = "bSelsusp_mode = 0\nbXcontrol_mode = 0\n";

// One controller, numbered 0 unless `numbered` is false, with the given root hub ports.
std::string machine(const std::string &ports, int port_count = 4, bool numbered = true,
                    bool interface = false) {
    return std::string(R"({"clock": "virtual", "processes": "record", "controllers": [{)") +
           (numbered ? R"("number": 0, )" : "") + R"("interface": )" +
           (interface ? "true" : "false") +
           R"(, "driver_key": "{36fc9e60-c465-11cf-8056-444553540000}\\0000",
              "device_id": "PCI\\VEN_8086&DEV_24C2&SUBSYS_01451028&REV_01\\3",
              "root_hub": {"name": ")" +
           root_name + R"(", "port_count": )" + std::to_string(port_count) + R"(, "ports": [)" +
           ports + "]}}]}";
}

// A tracked copy of a hub name, as the name queries hand one over.
char *tracked_name(const std::string &name) {
    auto *copy = static_cast<char *>(tracked_alloc(usb_enum_file, 1, name.size() + 1));
    std::memcpy(copy, name.c_str(), name.size() + 1);
    return copy;
}

class walk : public testkit::scan_test {
  protected:
    void SetUp() override {
        scan_test::SetUp();
        bUpdate_mode = bSelsusp_mode = bXcontrol_mode = 0;
        bVcp_done = 0;
    }
    void TearDown() override {
        bVcp_done = 0;
        scan_test::TearDown();
    }
    // Walks the root hub as the host-controller walk would; returns the reports.
    std::string walk_root_hub() {
        testing::internal::CaptureStderr();
        walk_hub(tracked_name(root_name), nullptr);
        return testing::internal::GetCapturedStderr();
    }
    std::string scan() {
        testing::internal::CaptureStderr();
        scan_usb();
        return testing::internal::GetCapturedStderr();
    }
};

// The older connection query has LowSpeed where the extended one has Speed.
TEST_F(walk, older_connection_query_fills_the_record_with_its_speed) {
    load(machine(
        R"({"port": 1, "vid": "0x7A31", "pid": "0xE120", "speed": "low", "legacy_query": true},
                    {"port": 2, "vid": "0x7A31", "pid": "0xE221", "speed": "full", "legacy_query": true},
                    {"port": 3, "vid": "0x7A31", "pid": "0xE321", "speed": "high"})"));
    HANDLE hub = open_device("\\\\.\\" + root_name);
    ASSERT_NE(hub, INVALID_HANDLE_VALUE);
    struct {
        std::uint32_t port;
        std::uint16_t product;
        std::uint8_t speed;
    } const cases[] = {{1, 0xE120, 0}, {2, 0xE221, 1}, {3, 0xE321, 2}};
    for (const auto &c : cases) {
        port_connection connection;
        std::memset(&connection, 0xAB, sizeof connection);
        ASSERT_TRUE(query_port_connection(hub, c.port, &connection)) << c.port;
        EXPECT_EQ(+connection.ConnectionIndex, c.port); // packed: compared by value
        EXPECT_EQ(connection_vendor(&connection), 0x7A31);
        EXPECT_EQ(connection_product(&connection), c.product);
        EXPECT_EQ(connection.Speed, c.speed) << c.port;
        EXPECT_EQ(+connection.ConnectionStatus, 1u);
        EXPECT_EQ(connection.DeviceIsHub, 0);
    }
    CloseHandle(hub);
}

TEST_F(walk, port_answering_neither_query_is_reported_and_skipped) {
    load(machine(R"({"port": 1, "vid": "0x7A31", "pid": "0xE120"},
                    {"port": 2, "vid": "0x7A31", "pid": "0x2132"})",
                 2));
    emu::fault f;
    f.function = "DeviceIoControl";
    f.port = 1;
    f.nth = 0;
    f.ioctl = ioctl_usb_get_node_connection_information_ex;
    emu::add_fault(f);
    f.ioctl = ioctl_usb_get_node_connection_information;
    emu::add_fault(f);
    EXPECT_EQ(walk_root_hub(), report_line(1361));
    EXPECT_EQ(journal(), std::vector<std::string>{vcp_install}); // port 2 still handled
}

// A stack whose hub names itself on its port is followed seven tiers down and
// no further, without a report.
TEST_F(walk, hub_naming_itself_is_not_followed_past_seven_tiers) {
    load(machine(R"({"port": 1, "vid": "0x05E3", "pid": "0x0608", "device_is_hub": true})", 1));
    std::vector<std::uint8_t> reply(8 + 2 * (root_name.size() + 1), 0);
    reply[0] = 1;
    reply[4] = static_cast<std::uint8_t>(reply.size());
    for (std::size_t i = 0; i < root_name.size(); ++i) {
        reply[8 + 2 * i] = static_cast<std::uint8_t>(root_name[i]);
    }
    emu::fault f;
    f.function = "DeviceIoControl";
    f.ioctl = ioctl_usb_get_node_connection_name;
    f.nth = 0;
    f.action = emu::fault::raw_reply;
    f.bytes = reply;
    emu::add_fault(f);
    EXPECT_EQ(walk_root_hub(), "");
    EXPECT_EQ(emu::call_count("CreateFileA"), 8u); // the root hub and seven tiers below it
    std::string expected;
    for (int i = 0; i < 8; ++i) {
        expected += modes_trace;
    }
    EXPECT_EQ(trace(), expected);
}

// A hub reporting 255 ports has each of them read once; the counter does not wrap.
TEST_F(walk, hub_with_255_ports_reads_each_once) {
    load(machine(R"({"port": 255, "vid": "0x7A31", "pid": "0x2132"})", 255));
    EXPECT_EQ(walk_root_hub(), "");
    EXPECT_EQ(emu::call_count("DeviceIoControl:0x220448"), 255u);
    EXPECT_EQ(journal(), std::vector<std::string>{vcp_install});
    EXPECT_EQ(bVcp_done, 1);
}

// Every way the hub walk can fail releases the record, the node information
// and the name it took over, and closes the hub.
TEST_F(walk, hub_walk_failures_release_everything) {
    struct {
        const char *function;
        std::uint32_t ioctl;
        std::uint32_t nth;
        std::string report;
    } const cases[] = {
        {"GlobalAlloc", 0, 1, report_line(1687)}, // the hub's record
        {"GlobalAlloc", 0, 2, report_line(1696)}, // its node information
        {"GlobalAlloc", 0, 3, ""},                // the device path: skipped quietly
        {"CreateFileA", 0, 1, report_line(1747)}, // opening the hub
        {"DeviceIoControl", ioctl_usb_get_node_information, 1, report_line(1766)},
    };
    for (const auto &c : cases) {
        load(machine(R"({"port": 1, "vid": "0x7A31", "pid": "0x2132"})"));
        emu::clear_faults();
        emu::fault f;
        f.function = c.function;
        f.ioctl = c.ioctl;
        f.nth = c.nth;
        char *name = tracked_name(root_name);
        emu::add_fault(f);
        testing::internal::CaptureStderr();
        walk_hub(name, nullptr);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), c.report) << c.function << c.nth;
        EXPECT_EQ(trace(), "") << c.function << c.nth;
        EXPECT_EQ(testkit::blocks_forward(), live_at_start) << c.function << c.nth;
        EXPECT_EQ(emu::open_handles(), base_handles) << c.function << c.nth;
    }
}

// The allocation of a port's record failing ends that hub's loop.
TEST_F(walk, port_record_allocation_failure_ends_the_hub) {
    load(machine(R"({"port": 2, "vid": "0x7A31", "pid": "0x2132"})"));
    emu::fault f;
    f.function = "GlobalAlloc";
    f.nth = 5; // the name, the record, node information, device path, port 1's record
    emu::add_fault(f);
    EXPECT_EQ(walk_root_hub(), report_line(1317));
    EXPECT_TRUE(journal().empty());
    EXPECT_EQ(emu::call_count("DeviceIoControl:0x220448"), 0u);
}

// The controller's own failures, in the order the reports appear.
TEST_F(walk, controller_failures_report_and_release) {
    const std::string download = R"({"port": 1, "vid": "0x7A31", "pid": "0x2132"})";
    struct {
        const char *function;
        std::uint32_t ioctl;
        std::string reports;
        bool root_hub_walked;
    } const cases[] = {
        // No driver key: the query's own report, then the walk's; nothing more.
        {"DeviceIoControl", ioctl_get_hcd_driverkey_name, report_line(545) + report_line(1920),
         false},
        // The device ID cannot be read: reported, the root hub still walked.
        {"CM_Get_Device_IDA", 0, report_line(1889), true},
        // No root hub name: the query's report, then the walk's.
        {"DeviceIoControl", ioctl_usb_get_root_hub_name, report_line(362) + report_line(1917),
         false},
    };
    for (const auto &c : cases) {
        load(machine(download));
        bVcp_done = 0;
        emu::clear_faults();
        emu::fault f;
        f.function = c.function;
        f.ioctl = c.ioctl;
        f.device = c.ioctl != 0 ? "\\\\.\\HCD0" : "";
        f.nth = 1;
        emu::add_fault(f);
        const auto journal_before = journal().size();
        EXPECT_EQ(scan(), c.reports) << c.function;
        EXPECT_EQ(journal().size() - journal_before, c.root_hub_walked ? 1u : 0u) << c.function;
        EXPECT_EQ(testkit::blocks_forward(), live_at_start) << c.function;
        EXPECT_EQ(emu::open_handles(), base_handles) << c.function;
    }
}

// The interface detail is used only when the size call fails for lack of room
// and names a size that holds the record; otherwise the interface is skipped
// quietly and the next one walked.
TEST_F(walk, interface_detail_size_is_checked_before_use) {
    load(machine(R"({"port": 1, "vid": "0x7A31", "pid": "0xE120"})", 1, false, true));
    struct {
        emu::fault::kind action;
        std::uint32_t length;
        std::uint32_t error;
        std::uint32_t nth;
    } const cases[] = {
        {emu::fault::actual_length, 4, 0, 1}, // too small for the record
        {emu::fault::actual_length, 0, 0, 1},
        {emu::fault::fail, 0, ERROR_INVALID_PARAMETER, 1}, // fails for another reason
        {emu::fault::fail, 0, ERROR_GEN_FAILURE, 2},       // the second call fails
    };
    for (const auto &c : cases) {
        emu::clear_faults();
        emu::fault f;
        f.function = "SetupDiGetDeviceInterfaceDetailA";
        f.action = c.action;
        f.length = c.length;
        f.error = c.error;
        f.nth = c.nth;
        emu::add_fault(f);
        EXPECT_EQ(scan(), "");
        EXPECT_EQ(trace(), "") << c.length << c.error; // the controller was not walked
        EXPECT_EQ(testkit::blocks_forward(), live_at_start);
        EXPECT_EQ(emu::live_global_blocks(), base_blocks);
    }
    emu::clear_faults();
    EXPECT_EQ(scan(), "");
    EXPECT_EQ(journal().size(), 4u); // the device's whole sequence, once
    EXPECT_EQ(trace().substr(0, modes_trace.size()), modes_trace);
}

} // namespace
