// The host-controller scan and the hub walk on machines that misbehave: every
// failure path reports what it should and leaves nothing allocated or open.
#include "usb_enum_fixture.h"

#include "shared/modes.h"

#include <cstring>

namespace {

using namespace testkit;

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
};

// The older connection query has LowSpeed where the extended one has Speed.
TEST_F(walk, older_connection_query_fills_the_record_with_its_speed) {
    load(one_controller({{.port = 1, .vid = 0x7A31, .pid = 0xE120, .speed = 0, .legacy_only = true},
                         {.port = 2, .vid = 0x7A31, .pid = 0xE221, .speed = 1, .legacy_only = true},
                         {.port = 3, .vid = 0x7A31, .pid = 0xE321, .speed = 2}}));
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

// A stack whose hub names itself on its port is followed seven tiers down and
// no further, without a report.
TEST_F(walk, hub_naming_itself_is_not_followed_past_seven_tiers) {
    load(one_controller({{.port = 1, .vid = 0x05E3, .pid = 0x0608, .device_is_hub = true}}, 1));
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

} // namespace
