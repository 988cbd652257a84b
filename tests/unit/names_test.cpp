// The name queries against the emulated USB stack: the names that come back,
// the failure reports on stderr with their sites, what reached the platform, and
// replies that cannot be trusted.
#include "usb_enum_fixture.h"

#include <functional>
#include <optional>

namespace {

using namespace testkit;

// Controller 0; on its root hub a device with its driver key on port 3, an
// external hub on port 2 and on port 4 a device whose driver key has characters
// the ANSI code page has and has not.
machine with_names() {
    return one_controller({
        {.port = 3,
         .vid = 0x7A31,
         .pid = 0xE121,
         .driver_key = "{4d36e96d-e325-11ce-bfc1-08002be10318}\\0001"},
        {.port = 2,
         .vid = 0x05E3,
         .pid = 0x0608,
         .device_is_hub = true,
         .driver_key = "{36fc9e60-c465-11cf-8056-444553540000}\\0002",
         .hub = {{.name = "USB#VID_05E3&PID_0608#5&2c3d&0&2", .port_count = 4}}},
        {.port = 4, .vid = 0x7A31, .pid = 0xE122, .driver_key = "Ключ-é-€-Œ-™-中-😀\\0004"},
    });
}

const char *const io = "DeviceIoControl";

// The nth call with a control code (0: every one) answered with `bytes`.
emu::fault reply(DWORD code, std::uint32_t nth, std::vector<std::uint8_t> bytes) {
    return {.function = io,
            .ioctl = code,
            .nth = nth,
            .action = emu::fault::raw_reply,
            .bytes = std::move(bytes)};
}

// The first call with a control code answered with the stated ActualLength.
emu::fault stated_length(DWORD code, std::uint32_t length) {
    return {.function = io, .ioctl = code, .action = emu::fault::actual_length, .length = length};
}

class names : public scan_test {
  protected:
    void SetUp() override {
        scan_test::SetUp();
        load(with_names());
        controller = open_device("\\\\.\\HCD0");
        hub = open_device("\\\\.\\" + root_name);
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
        char *text = nullptr;
        err = stderr_of([&] { text = query(); });
        if (text == nullptr) {
            return std::nullopt;
        }
        std::string copy = text;
        tracked_free(text);
        return copy;
    }

    HANDLE controller = nullptr;
    HANDLE hub = nullptr;
    std::string err;
};

TEST_F(names, controller_and_port_names_come_back_as_ansi_text) {
    EXPECT_EQ(run([&] { return query_hcd_driver_key(controller); }),
              "{36fc9e60-c465-11cf-8056-444553540000}\\0000");
    EXPECT_EQ(run([&] { return query_root_hub_name(controller); }), root_name);
    EXPECT_EQ(run([&] { return query_port_driver_key(hub, 3); }),
              "{4d36e96d-e325-11ce-bfc1-08002be10318}\\0001");
    EXPECT_EQ(run([&] { return query_port_driver_key(hub, 2); }),
              "{36fc9e60-c465-11cf-8056-444553540000}\\0002");
    EXPECT_EQ(run([&] { return query_port_hub_name(hub, 2); }), "USB#VID_05E3&PID_0608#5&2c3d&0&2");
    EXPECT_EQ(err, "");
    EXPECT_EQ(emu::call_count("DeviceIoControl"), 10u); // a probe and one full read each
    EXPECT_EQ(emu::call_count("DeviceIoControl:0x220420"), 4u);
    EXPECT_EQ(emu::call_count("DeviceIoControl:0x220408"), 2u);
}

TEST_F(names, characters_outside_the_ansi_code_page_become_the_default_character) {
    // Cyrillic and CJK have no byte; é, €, Œ and ™ have theirs; a surrogate pair is one '?'.
    EXPECT_EQ(run([&] { return query_port_driver_key(hub, 4); }),
              std::string(4, '?') + "-\xE9-\x80-\x8C-\x99-?-?\\0004");
    EXPECT_EQ(err, "");
}

TEST_F(names, replies_no_longer_than_the_probe_are_reported_at_the_length_site) {
    emu::add_fault(stated_length(0x220424, 6));
    EXPECT_EQ(run([&] { return query_hcd_driver_key(controller); }), std::nullopt);
    EXPECT_EQ(err, report(554));

    emu::add_fault(stated_length(0x220420, 10));
    EXPECT_EQ(run([&] { return query_port_driver_key(hub, 3); }), std::nullopt);
    EXPECT_EQ(err, report(460));

    // A port without an external hub answers an empty name: ActualLength 10.
    EXPECT_EQ(run([&] { return query_port_hub_name(hub, 3); }), std::nullopt);
    EXPECT_EQ(err, report(1067));

    // The handle is still usable afterwards.
    EXPECT_EQ(run([&] { return query_hcd_driver_key(controller); }),
              "{36fc9e60-c465-11cf-8056-444553540000}\\0000");
}

TEST_F(names, root_hub_name_has_no_length_check) {
    emu::add_fault(reply(0x220408, 0, {6, 0, 0, 0, 0, 0}));
    EXPECT_EQ(run([&] { return query_root_hub_name(controller); }), "");
    EXPECT_EQ(err, "");
    emu::clear_faults();

    emu::add_fault(stated_length(0x220408, 0));
    EXPECT_EQ(run([&] { return query_root_hub_name(controller); }), std::nullopt);
    EXPECT_EQ(err, report(373)); // a block of 0 bytes is nothing
}

TEST_F(names, root_hub_replies_too_short_for_a_name_read_nothing_beyond_their_block) {
    for (std::uint8_t length = 1; length <= 5; ++length) {
        SCOPED_TRACE(int(length));
        emu::clear_faults();
        emu::add_fault(reply(0x220408, 0, {length, 0, 0, 0, 'X', 0}));
        EXPECT_EQ(run([&] { return query_root_hub_name(controller); }), "");
        EXPECT_EQ(err, "");
    }
}

TEST_F(names, port_number_reaches_the_platform_in_both_calls) {
    // A fault planted for port 3 only fires when the call names port 3.
    emu::add_fault({.function = io, .ioctl = 0x220420, .port = 3});
    EXPECT_EQ(run([&] { return query_port_driver_key(hub, 3); }), std::nullopt);
    EXPECT_EQ(err, report(451));
    emu::clear_faults();

    emu::add_fault({.function = io, .ioctl = 0x220420, .port = 3, .nth = 2});
    EXPECT_EQ(run([&] { return query_port_driver_key(hub, 3); }), std::nullopt);
    EXPECT_EQ(err, report(486));
    emu::clear_faults();

    emu::add_fault({.function = io, .ioctl = 0x220414, .port = 2, .nth = 2});
    EXPECT_EQ(run([&] { return query_port_hub_name(hub, 2); }), std::nullopt);
    EXPECT_EQ(err, report(1092));
    emu::clear_faults();

    emu::add_fault({.function = io, .ioctl = 0x220420, .port = 4, .nth = 0});
    EXPECT_EQ(run([&] { return query_port_driver_key(hub, 3); }),
              "{4d36e96d-e325-11ce-bfc1-08002be10318}\\0001");
}

TEST_F(names, reply_text_is_read_only_as_far_as_the_reply_says) {
    // No terminator within the reply.
    emu::add_fault(reply(0x220408, 0, {12, 0, 0, 0, 'A', 0, 'B', 0, 'C', 0, 'D', 0}));
    EXPECT_EQ(run([&] { return query_root_hub_name(controller); }), "ABCD");
    emu::clear_faults();

    // The text ends at its first NUL.
    emu::add_fault(reply(0x220408, 0, {12, 0, 0, 0, 'A', 0, 0, 0, 'B', 0, 0, 0}));
    EXPECT_EQ(run([&] { return query_root_hub_name(controller); }), "A");
    emu::clear_faults();

    // The full reply claims more than the probe did: the block's end holds.
    emu::add_fault(reply(0x220424, 1, {8, 0, 0, 0}));
    emu::add_fault(reply(0x220424, 2, {0xFF, 0, 0, 0, 'A', 0, 'B', 0, 'C', 0}));
    EXPECT_EQ(run([&] { return query_hcd_driver_key(controller); }), "AB");
    emu::clear_faults();

    // The full reply claims less than the probe did: its own length holds.
    emu::add_fault(reply(0x220420, 1, {3, 0, 0, 0, 16, 0, 0, 0}));
    emu::add_fault(reply(0x220420, 2, {3, 0, 0, 0, 12, 0, 0, 0, 'A', 0, 'B', 0, 'C', 0, 'D', 0}));
    EXPECT_EQ(run([&] { return query_port_driver_key(hub, 3); }), "AB");
    EXPECT_EQ(err, "");
}

TEST_F(names, probe_record_starts_zeroed) {
    // The stack writes only the low two bytes of ActualLength; the rest must be
    // the zeros the record started with, giving a reply of 32 bytes.
    emu::add_fault(reply(0x220424, 1, {32, 0}));
    EXPECT_EQ(run([&] { return query_hcd_driver_key(controller); }), "{36fc9e60-c465");
    EXPECT_EQ(err, "");
}

TEST_F(names, wide_to_ansi_stops_at_the_limit_or_the_first_nul) {
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

    emu::add_fault({.function = "WideCharToMultiByte"});
    EXPECT_EQ(convert(u"ABC", 3), std::nullopt);
    EXPECT_EQ(err, "");
}

} // namespace
