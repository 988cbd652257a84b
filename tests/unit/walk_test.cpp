// The host-controller scan and the hub walk on machines that misbehave: every
// failure path reports what it should and leaves nothing allocated or open.
#include "usb_enum_fixture.h"

#include "shared/modes.h"

#include <cstring>

namespace {

using namespace testkit;

const std::string root_name = root_hub_name(0);

// A tracked copy of a hub name, as the name queries hand one over.
char *tracked_name(const std::string &name) {
    auto *copy = static_cast<char *>(tracked_alloc(usb_enum_file, 1, name.size() + 1));
    std::memcpy(copy, name.c_str(), name.size() + 1);
    return copy;
}

class walk : public scan_test {
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
    static std::string walk_root_hub() {
        return stderr_of([] { walk_hub(tracked_name(root_name), nullptr); });
    }
    static std::string scan() {
        return stderr_of(scan_usb);
    }
};

// The older connection query has LowSpeed where the extended one has Speed.
TEST_F(walk, older_connection_query_fills_the_record_with_its_speed) {
    load(one_controller(
        {{.number = 1, .vid = 0x7A31, .pid = 0xE120, .speed = "low", .legacy_query = true},
         {.number = 2, .vid = 0x7A31, .pid = 0xE221, .speed = "full", .legacy_query = true},
         {.number = 3, .vid = 0x7A31, .pid = 0xE321, .speed = "high"}}));
    HANDLE hub = open_device("\\\\.\\" + root_name);
    ASSERT_NE(hub, INVALID_HANDLE_VALUE);
    struct {
        std::uint32_t port;
        std::uint16_t product;
        std::uint8_t speed;
    } const cases[] = {{1, 0xE120, 0}, {2, 0xE221, 1}, {3, 0xE321, 2}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.port);
        port_connection connection;
        std::memset(&connection, 0xAB, sizeof connection);
        ASSERT_TRUE(query_port_connection(hub, c.port, &connection));
        EXPECT_EQ(+connection.ConnectionIndex, c.port); // packed: compared by value
        EXPECT_EQ(connection_vendor(&connection), 0x7A31);
        EXPECT_EQ(connection_product(&connection), c.product);
        EXPECT_EQ(connection.Speed, c.speed);
        EXPECT_EQ(+connection.ConnectionStatus, 1u);
        EXPECT_EQ(connection.DeviceIsHub, 0);
    }
    EXPECT_EQ(emu::call_count("DeviceIoControl:0x22040C"), 2u); // ports 1 and 2 answered it
    CloseHandle(hub);
}

TEST_F(walk, port_answering_neither_query_is_reported_and_skipped) {
    load(one_controller({device(1, 0x7A31, 0xE120), device(2, 0x7A31, 0x2132)}, 2));
    for (std::uint32_t code : {ioctl_usb_get_node_connection_information_ex,
                               ioctl_usb_get_node_connection_information}) {
        emu::add_fault({.function = "DeviceIoControl", .ioctl = code, .port = 1, .nth = 0});
    }
    EXPECT_EQ(walk_root_hub(), report(1361));
    EXPECT_EQ(journal(), std::vector<std::string>{vcp_install}); // port 2 still handled
}

// A stack whose hub names itself on its port is followed seven tiers down and
// no further, without a report.
TEST_F(walk, hub_naming_itself_is_not_followed_past_seven_tiers) {
    load(one_controller({{.number = 1, .vid = 0x05E3, .pid = 0x0608, .device_is_hub = true}}, 1));
    std::vector<std::uint8_t> reply(8 + 2 * (root_name.size() + 1), 0);
    reply[0] = 1;
    reply[4] = static_cast<std::uint8_t>(reply.size());
    for (std::size_t i = 0; i < root_name.size(); ++i) {
        reply[8 + 2 * i] = static_cast<std::uint8_t>(root_name[i]);
    }
    emu::add_fault({.function = "DeviceIoControl",
                    .ioctl = ioctl_usb_get_node_connection_name,
                    .nth = 0,
                    .action = emu::fault::raw_reply,
                    .bytes = reply});
    EXPECT_EQ(walk_root_hub(), "");
    EXPECT_EQ(emu::call_count("CreateFileA"), 8u); // the root hub and seven tiers below it
    std::string expected;
    for (int i = 0; i < 8; ++i) {
        expected += modes_trace;
    }
    EXPECT_EQ(trace(), expected);
}

// A hub reporting 255 ports, none of them the download-mode device, has each of
// them read once. A port counter that wrapped would go round again from port 0;
// the 256th connection record is refused, so that it ends at once, reported.
TEST_F(walk, hub_with_255_ports_reads_each_once) {
    load(one_controller({device(255, 0x7A31, 0xE520)}, 255));
    emu::add_fault({.function = "GlobalAlloc",
                    .size = sizeof(alloc_header) + port_connection_size,
                    .nth = 256});
    EXPECT_EQ(walk_root_hub(), "");
    EXPECT_EQ(emu::call_count("DeviceIoControl:0x220448"), 255u);
    EXPECT_EQ(journal(), sequence("nuvek", 0));
}

// Every way the hub walk can fail releases the record, the node information
// and the name it took over, and closes the hub.
TEST_F(walk, hub_walk_failures_release_everything) {
    struct {
        emu::fault fault;
        std::string report;
    } const cases[] = {
        {{.function = "GlobalAlloc"}, report(1687)},           // the hub's record
        {{.function = "GlobalAlloc", .nth = 2}, report(1696)}, // its node information
        {{.function = "GlobalAlloc", .nth = 3}, ""},           // the device path: skipped quietly
        {{.function = "CreateFileA"}, report(1747)},           // opening the hub
        {{.function = "DeviceIoControl", .ioctl = ioctl_usb_get_node_information}, report(1766)},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.fault.function + " " + std::to_string(c.fault.nth));
        load(one_controller({device(1, 0x7A31, 0x2132)}));
        char *name = tracked_name(root_name);
        emu::add_fault(c.fault);
        EXPECT_EQ(stderr_of([&] { walk_hub(name, nullptr); }), c.report);
        EXPECT_EQ(trace(), "");
        EXPECT_EQ(blocks(), live_at_start);
        EXPECT_EQ(emu::open_handles(), base_handles);
    }
}

// The allocation of a port's record failing ends that hub's loop.
TEST_F(walk, port_record_allocation_failure_ends_the_hub) {
    load(one_controller({device(2, 0x7A31, 0x2132)}));
    // The name, the record, node information, device path, port 1's record.
    emu::add_fault({.function = "GlobalAlloc", .nth = 5});
    EXPECT_EQ(walk_root_hub(), report(1317));
    EXPECT_TRUE(journal().empty());
    EXPECT_EQ(emu::call_count("DeviceIoControl:0x220448"), 0u);
}

// The controller's own failures, in the order the reports appear.
TEST_F(walk, controller_failures_report_and_release) {
    const std::string hcd0 = "\\\\.\\HCD0";
    struct {
        emu::fault fault;
        std::string reports;
        bool root_hub_walked;
    } const cases[] = {
        // No driver key: the query's own report, then the walk's; nothing more.
        {{.function = "DeviceIoControl", .ioctl = ioctl_get_hcd_driverkey_name, .device = hcd0},
         reports({545, 1920}),
         false},
        // The device ID cannot be read: reported, the root hub still walked.
        {{.function = "CM_Get_Device_IDA"}, report(1889), true},
        // No root hub name: the query's report, then the walk's.
        {{.function = "DeviceIoControl", .ioctl = ioctl_usb_get_root_hub_name, .device = hcd0},
         reports({362, 1917}),
         false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.reports);
        load(one_controller({device(1, 0x7A31, 0x2132)}));
        bVcp_done = 0;
        emu::add_fault(c.fault);
        const auto journal_before = journal().size();
        EXPECT_EQ(scan(), c.reports);
        EXPECT_EQ(journal().size() - journal_before, c.root_hub_walked ? 1u : 0u);
        EXPECT_EQ(blocks(), live_at_start);
        EXPECT_EQ(emu::open_handles(), base_handles);
    }
}

// The interface detail is used only when the size call fails for lack of room
// and names a size that holds the record; otherwise the interface is skipped
// quietly and the next one walked.
TEST_F(walk, interface_detail_size_is_checked_before_use) {
    machine m = one_controller({device(1, 0x7A31, 0xE120)}, 1);
    m.controllers[0].number.reset(); // found by its interface only
    m.controllers[0].interface = true;
    load(m);
    const char *const detail = "SetupDiGetDeviceInterfaceDetailA";
    const emu::fault cases[] = {
        // Too small for the record, or no size at all.
        {.function = detail, .action = emu::fault::actual_length, .length = 4},
        {.function = detail, .action = emu::fault::actual_length, .length = 0},
        {.function = detail, .error = ERROR_INVALID_PARAMETER}, // fails for another reason
        {.function = detail, .nth = 2},                         // the second call fails
    };
    for (const emu::fault &f : cases) {
        SCOPED_TRACE(testing::Message() << "nth " << f.nth << ", action " << f.action << ", length "
                                        << f.length << ", error " << f.error);
        emu::clear_faults();
        emu::add_fault(f);
        EXPECT_EQ(scan(), "");
        EXPECT_EQ(trace(), ""); // the controller was not walked
        EXPECT_EQ(blocks(), live_at_start);
        EXPECT_EQ(emu::live_global_blocks(), base_blocks);
    }
    emu::clear_faults();
    EXPECT_EQ(scan(), "");
    EXPECT_EQ(journal().size(), 4u); // the device's whole sequence, once
    EXPECT_EQ(trace().substr(0, modes_trace.size()), modes_trace);
}

} // namespace
