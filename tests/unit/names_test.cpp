// The name queries against the emulated USB stack: the names that come back,
// the failure reports on stderr with their sites, what reached the platform, and
// replies that cannot be trusted.
#include "usb_enum_fixture.h"

#include <functional>
#include <optional>

namespace {

using testkit::report_line;

const char machine_json[] = R"({
  "clock": "virtual", "processes": "record",
  "controllers": [{
    "number": 0,
    "driver_key": "{36fc9e60-c465-11cf-8056-444553540000}\\0000",
    "device_id": "PCI\\VEN_8086&DEV_24C2&SUBSYS_01451028&REV_01\\3&172E68DD&0&E8",
    "root_hub": {
      "name": "USB#ROOT_HUB#4&1a2b3c&0#{f18a0e88-c30c-11d0-8815-00a0c906bed8}",
      "port_count": 4,
      "ports": [
        { "port": 3, "vid": "0x7A31", "pid": "0xE121",
          "driver_key": "{4d36e96d-e325-11ce-bfc1-08002be10318}\\0001" },
        { "port": 2, "vid": "0x05E3", "pid": "0x0608",
          "driver_key": "{36fc9e60-c465-11cf-8056-444553540000}\\0002",
          "hub": { "name": "USB#VID_05E3&PID_0608#5&2c3d&0&2", "port_count": 4 } },
        { "port": 4, "vid": "0x7A31", "pid": "0xE122",
          "driver_key": "Ключ-é-€-中-😀\\0004" }
      ]
    }
  }]
})";

const std::string root_hub = "USB#ROOT_HUB#4&1a2b3c&0#{f18a0e88-c30c-11d0-8815-00a0c906bed8}";

class names : public testkit::scan_test {
  protected:
    void SetUp() override {
        scan_test::SetUp();
        load(machine_json);
        controller = open_device("\\\\.\\HCD0");
        hub = open_device("\\\\.\\" + root_hub);
        ASSERT_NE(controller, INVALID_HANDLE_VALUE);
        ASSERT_NE(hub, INVALID_HANDLE_VALUE);
    }
    void TearDown() override {
        // The queries left both handles open: closing them succeeds.
        EXPECT_TRUE(CloseHandle(controller));
        EXPECT_TRUE(CloseHandle(hub));
        scan_test::TearDown();
    }

    // Runs one query; its text (released here) or nothing, and what it wrote on stderr.
    std::optional<std::string> run(const std::function<char *()> &query) {
        testing::internal::CaptureStderr();
        char *text = query();
        reports = testing::internal::GetCapturedStderr();
        if (text == nullptr) {
            return std::nullopt;
        }
        std::string copy = text;
        tracked_free(text);
        return copy;
    }

    static void plant(DWORD code, emu::fault::kind action, std::uint32_t nth,
                      std::vector<std::uint8_t> bytes = {}, std::uint32_t length = 0,
                      std::uint32_t port = 0) {
        emu::fault f;
        f.function = "DeviceIoControl";
        f.ioctl = code;
        f.action = action;
        f.nth = nth;
        f.bytes = std::move(bytes);
        f.length = length;
        f.port = port;
        emu::add_fault(f);
    }

    HANDLE controller = nullptr;
    HANDLE hub = nullptr;
    std::string reports;
};

TEST_F(names, ControllerAndPortNamesComeBackAsAnsiText) {
    EXPECT_EQ(run([&] { return query_hcd_driver_key(controller); }),
              "{36fc9e60-c465-11cf-8056-444553540000}\\0000");
    EXPECT_EQ(run([&] { return query_root_hub_name(controller); }), root_hub);
    EXPECT_EQ(run([&] { return query_port_driver_key(hub, 3); }),
              "{4d36e96d-e325-11ce-bfc1-08002be10318}\\0001");
    EXPECT_EQ(run([&] { return query_port_driver_key(hub, 2); }),
              "{36fc9e60-c465-11cf-8056-444553540000}\\0002");
    EXPECT_EQ(run([&] { return query_port_hub_name(hub, 2); }), "USB#VID_05E3&PID_0608#5&2c3d&0&2");
    EXPECT_EQ(reports, "");
    EXPECT_EQ(emu::call_count("DeviceIoControl"), 10u); // a probe and one full read each
    EXPECT_EQ(emu::call_count("DeviceIoControl:0x220420"), 4u);
    EXPECT_EQ(emu::call_count("DeviceIoControl:0x220408"), 2u);
}

TEST_F(names, CharactersOutsideTheAnsiCodePageBecomeTheDefaultCharacter) {
    // Cyrillic and CJK have no byte; é and € have theirs; a surrogate pair is one '?'.
    EXPECT_EQ(run([&] { return query_port_driver_key(hub, 4); }),
              std::string(4, '?') + "-\xE9-\x80-?-?\\0004");
    EXPECT_EQ(reports, "");
}

TEST_F(names, RepliesNoLongerThanTheProbeAreReportedAtTheLengthSite) {
    plant(0x220424, emu::fault::actual_length, 1, {}, 6);
    EXPECT_EQ(run([&] { return query_hcd_driver_key(controller); }), std::nullopt);
    EXPECT_EQ(reports, report_line(554));

    plant(0x220420, emu::fault::actual_length, 1, {}, 10);
    EXPECT_EQ(run([&] { return query_port_driver_key(hub, 3); }), std::nullopt);
    EXPECT_EQ(reports, report_line(460));

    // A port without an external hub answers an empty name: ActualLength 10.
    EXPECT_EQ(run([&] { return query_port_hub_name(hub, 3); }), std::nullopt);
    EXPECT_EQ(reports, report_line(1067));

    // The handle is still usable afterwards.
    EXPECT_EQ(run([&] { return query_hcd_driver_key(controller); }),
              "{36fc9e60-c465-11cf-8056-444553540000}\\0000");
}

TEST_F(names, RootHubNameHasNoLengthCheck) {
    plant(0x220408, emu::fault::raw_reply, 0, {6, 0, 0, 0, 0, 0});
    EXPECT_EQ(run([&] { return query_root_hub_name(controller); }), "");
    EXPECT_EQ(reports, "");
    emu::clear_faults();

    plant(0x220408, emu::fault::actual_length, 1, {}, 0);
    EXPECT_EQ(run([&] { return query_root_hub_name(controller); }), std::nullopt);
    EXPECT_EQ(reports, report_line(373)); // a block of 0 bytes is nothing
}

TEST_F(names, RootHubRepliesTooShortForANameReadNothingBeyondTheirBlock) {
    for (std::uint8_t length = 1; length <= 5; ++length) {
        emu::clear_faults();
        plant(0x220408, emu::fault::raw_reply, 0, {length, 0, 0, 0, 'X', 0});
        EXPECT_EQ(run([&] { return query_root_hub_name(controller); }), "")
            << "length " << int(length);
        EXPECT_EQ(reports, "");
    }
}

TEST_F(names, PortNumberReachesThePlatformInBothCalls) {
    // A fault planted for port 3 only fires when the call names port 3.
    plant(0x220420, emu::fault::fail, 1, {}, 0, 3);
    EXPECT_EQ(run([&] { return query_port_driver_key(hub, 3); }), std::nullopt);
    EXPECT_EQ(reports, report_line(451));
    emu::clear_faults();

    plant(0x220420, emu::fault::fail, 2, {}, 0, 3);
    EXPECT_EQ(run([&] { return query_port_driver_key(hub, 3); }), std::nullopt);
    EXPECT_EQ(reports, report_line(486));
    emu::clear_faults();

    plant(0x220414, emu::fault::fail, 2, {}, 0, 2);
    EXPECT_EQ(run([&] { return query_port_hub_name(hub, 2); }), std::nullopt);
    EXPECT_EQ(reports, report_line(1092));
    emu::clear_faults();

    plant(0x220420, emu::fault::fail, 0, {}, 0, 4);
    EXPECT_EQ(run([&] { return query_port_driver_key(hub, 3); }),
              "{4d36e96d-e325-11ce-bfc1-08002be10318}\\0001");
}

struct member {
    const char *name;
    DWORD code;
    std::function<char *(HANDLE controller, HANDLE hub)> query;
    int probe_site, allocation_failure_site, second_call_site;
};

TEST_F(names, EachFailingStepReportsItsOwnSiteOnce) {
    const member members[] = {
        {"root hub name", 0x220408, [](HANDLE c, HANDLE) { return query_root_hub_name(c); }, 362,
         373, 389},
        {"controller driver key", 0x220424,
         [](HANDLE c, HANDLE) { return query_hcd_driver_key(c); }, 545, 561, 578},
        {"port driver key", 0x220420, [](HANDLE, HANDLE h) { return query_port_driver_key(h, 3); },
         451, 467, 486},
        {"port hub name", 0x220414, [](HANDLE, HANDLE h) { return query_port_hub_name(h, 2); },
         1058, 1074, 1092},
    };
    for (const member &m : members) {
        SCOPED_TRACE(m.name);
        auto query = [&] { return m.query(controller, hub); };
        emu::clear_faults();
        plant(m.code, emu::fault::fail, 1);
        EXPECT_EQ(run(query), std::nullopt);
        EXPECT_EQ(reports, report_line(m.probe_site));

        emu::clear_faults();
        plant(m.code, emu::fault::fail, 2);
        EXPECT_EQ(run(query), std::nullopt);
        EXPECT_EQ(reports, report_line(m.second_call_site));

        emu::clear_faults();
        emu::fault no_memory;
        no_memory.function = "GlobalAlloc";
        emu::add_fault(no_memory);
        EXPECT_EQ(run(query), std::nullopt);
        EXPECT_EQ(reports, report_line(m.allocation_failure_site));

        // A failed conversion yields nothing, with no report of its own.
        emu::clear_faults();
        no_memory.nth = 2;
        emu::add_fault(no_memory);
        EXPECT_EQ(run(query), std::nullopt);
        EXPECT_EQ(reports, "");
    }
}

TEST_F(names, ReplyTextIsReadOnlyAsFarAsTheReplySays) {
    // No terminator within the reply.
    plant(0x220408, emu::fault::raw_reply, 0, {12, 0, 0, 0, 'A', 0, 'B', 0, 'C', 0, 'D', 0});
    EXPECT_EQ(run([&] { return query_root_hub_name(controller); }), "ABCD");
    emu::clear_faults();

    // The text ends at its first NUL.
    plant(0x220408, emu::fault::raw_reply, 0, {12, 0, 0, 0, 'A', 0, 0, 0, 'B', 0, 0, 0});
    EXPECT_EQ(run([&] { return query_root_hub_name(controller); }), "A");
    emu::clear_faults();

    // The full reply claims more than the probe did: the block's end holds.
    plant(0x220424, emu::fault::raw_reply, 1, {8, 0, 0, 0});
    plant(0x220424, emu::fault::raw_reply, 2, {0xFF, 0, 0, 0, 'A', 0, 'B', 0, 'C', 0});
    EXPECT_EQ(run([&] { return query_hcd_driver_key(controller); }), "AB");
    emu::clear_faults();

    // The full reply claims less than the probe did: its own length holds.
    plant(0x220420, emu::fault::raw_reply, 1, {3, 0, 0, 0, 16, 0, 0, 0});
    plant(0x220420, emu::fault::raw_reply, 2,
          {3, 0, 0, 0, 12, 0, 0, 0, 'A', 0, 'B', 0, 'C', 0, 'D', 0});
    EXPECT_EQ(run([&] { return query_port_driver_key(hub, 3); }), "AB");
    EXPECT_EQ(reports, "");
}

TEST_F(names, ProbeRecordStartsZeroed) {
    // The stack writes only the low two bytes of ActualLength; the rest must be
    // the zeros the record started with, giving a reply of 32 bytes.
    plant(0x220424, emu::fault::raw_reply, 1, {32, 0});
    EXPECT_EQ(run([&] { return query_hcd_driver_key(controller); }), "{36fc9e60-c465");
    EXPECT_EQ(reports, "");
}

TEST_F(names, WideToAnsiStopsAtTheLimitOrTheFirstNul) {
    auto convert = [&](const char16_t *text, std::uint32_t units) {
        return run([&] { return wide_to_ansi(text, units); });
    };
    EXPECT_EQ(convert(u"ABC", 2), "AB");
    EXPECT_EQ(convert(u"AB\0CD", 5), "AB");
    const auto live = emu::live_global_blocks();
    char *empty = wide_to_ansi(u"", 7);
    ASSERT_NE(empty, nullptr);
    EXPECT_EQ(empty[0], '\0');
    EXPECT_EQ(emu::live_global_blocks(), live + 1);
    tracked_free(empty);
    EXPECT_EQ(convert(nullptr, 0), "");

    emu::fault refused;
    refused.function = "WideCharToMultiByte";
    emu::add_fault(refused);
    EXPECT_EQ(convert(u"ABC", 3), std::nullopt);
    EXPECT_EQ(reports, "");
}

} // namespace
