// The emulated machine's USB stack, device tree, interface enumeration, memory and
// string calls, held to the system's rules: wrong arguments fail with the
// system's error code and one diagnostic line, and what is open and called is
// counted. What the machine answers to right ones is in the facts table
// (tests/wine_usb/facts.txt), which runs under Wine too.
#include "emu_fixture.h"
#include "platform/win32.h"
#include "usb_enum/records.h"

#include <sanitizer/asan_interface.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

namespace {

using namespace testkit;

// One numbered controller, listed by interface too, with an empty root hub.
machine empty_root_hub_machine() {
    return {.virtual_clock = true,
            .record_processes = true,
            .controllers = {{.number = 0,
                             .driver_key = "{36fc9e60-c465-11cf-8056-444553540000}\\0000",
                             .root_hub = {.name = "ROOT#HUB#A", .port_count = 2}}}};
}

class emulated : public emu_test {
  protected:
    void SetUp() override {
        emu_test::SetUp();
        load(empty_root_hub_machine());
    }
    void TearDown() override {
        expect_nothing_held();
        emu_test::TearDown();
    }

    // Runs `call`; the number of diagnostic lines it wrote on stderr, each counted.
    static int diagnostics(const std::function<void()> &call) {
        const std::size_t misuses = emu::misuses();
        const std::string err = stderr_of(call);
        int lines = 0;
        for (std::size_t at = err.find("quorvex-emu: "); at != std::string::npos;
             at = err.find("quorvex-emu: ", at + 1)) {
            ++lines;
        }
        EXPECT_EQ(emu::misuses() - misuses, static_cast<std::size_t>(lines));
        return lines;
    }

    struct answer {
        BOOL ok;
        DWORD error;
        DWORD returned;
        std::vector<std::uint8_t> bytes;
    };

    // One control-code exchange with the buffer as input and output.
    static answer ask(HANDLE h, DWORD code, std::vector<std::uint8_t> buffer,
                      bool as_input = true) {
        answer a{};
        a.returned = 0xDEAD;
        SetLastError(0);
        a.ok = DeviceIoControl(h, code, as_input ? buffer.data() : nullptr,
                               as_input ? static_cast<DWORD>(buffer.size()) : 0, buffer.data(),
                               static_cast<DWORD>(buffer.size()), &a.returned, nullptr);
        a.error = GetLastError();
        a.bytes = buffer;
        return a;
    }

    static std::vector<std::uint8_t> with_port(std::size_t size, std::uint32_t port) {
        std::vector<std::uint8_t> b(size, 0);
        std::memcpy(b.data(), &port, 4);
        return b;
    }
};

TEST_F(emulated, devices_open_only_with_the_arguments_the_stack_accepts) {
    struct wrong {
        DWORD access, share;
        DWORD disposition, flags;
        DWORD error;
    } cases[] = {
        {GENERIC_READ, FILE_SHARE_WRITE, OPEN_EXISTING, 0, ERROR_ACCESS_DENIED},
        {GENERIC_WRITE, FILE_SHARE_READ, OPEN_EXISTING, 0, 32},
        {GENERIC_WRITE, FILE_SHARE_WRITE, 2, 0, ERROR_INVALID_PARAMETER},
        {GENERIC_WRITE, FILE_SHARE_WRITE, OPEN_EXISTING, 0x40000000, ERROR_INVALID_PARAMETER},
    };
    for (const wrong &w : cases) {
        SCOPED_TRACE(w.error);
        HANDLE h = nullptr;
        EXPECT_EQ(diagnostics([&] {
                      h = CreateFileA("\\\\.\\HCD0", w.access, w.share, nullptr, w.disposition,
                                      w.flags, nullptr);
                  }),
                  1);
        EXPECT_EQ(h, INVALID_HANDLE_VALUE);
        EXPECT_EQ(GetLastError(), w.error);
    }
    SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, FALSE};
    EXPECT_EQ(
        CreateFileA("\\\\.\\HCD0", GENERIC_WRITE, FILE_SHARE_WRITE, &sa, OPEN_EXISTING, 0, nullptr),
        INVALID_HANDLE_VALUE);
    expect_nothing_held();
}

TEST_F(emulated, every_exchange_needs_a_byte_count_and_an_open_device) {
    HANDLE hcd = open_device("\\\\.\\HCD0");
    std::uint8_t reply[6] = {};
    EXPECT_EQ(diagnostics([&] {
                  EXPECT_FALSE(DeviceIoControl(hcd, ioctl_usb_get_root_hub_name, nullptr, 0, reply,
                                               sizeof reply, nullptr, nullptr));
              }),
              1);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_USER_BUFFER);

    OVERLAPPED o{};
    DWORD n = 0;
    EXPECT_FALSE(
        DeviceIoControl(hcd, ioctl_usb_get_root_hub_name, nullptr, 0, reply, sizeof reply, &n, &o));

    EXPECT_TRUE(CloseHandle(hcd));
    EXPECT_FALSE(DeviceIoControl(hcd, ioctl_usb_get_root_hub_name, nullptr, 0, reply, sizeof reply,
                                 &n, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    expect_nothing_held();
}

const GUID host_controllers = {
    0x3abf6f2d, 0x71c4, 0x462a, {0x8a, 0x92, 0x1e, 0x68, 0x61, 0xe6, 0xaf, 0x27}};

TEST_F(emulated, interface_enumeration_takes_only_what_the_tool_asks) {
    EXPECT_EQ(diagnostics([] {
                  EXPECT_EQ(SetupDiGetClassDevsA(&host_controllers, nullptr, nullptr, 2),
                            INVALID_HANDLE_VALUE);
              }),
              1);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_FLAGS);
    HDEVINFO set = SetupDiGetClassDevsA(&host_controllers, nullptr, nullptr, 18);
    ASSERT_NE(set, INVALID_HANDLE_VALUE);
    EXPECT_EQ(diagnostics([&] { EXPECT_FALSE(CloseHandle(set)); }), 1); // no kernel handle
    EXPECT_TRUE(SetupDiDestroyDeviceInfoList(set));
    expect_nothing_held();
}

TEST_F(emulated, global_memory_is_counted_and_checked) {
    EXPECT_EQ(diagnostics([] { EXPECT_EQ(GlobalAlloc(0x0002, 16), nullptr); }), 1);
    EXPECT_EQ(GlobalAlloc(GMEM_ZEROINIT, 0x80000000u), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_NOT_ENOUGH_MEMORY);

    auto *raw = static_cast<unsigned char *>(GlobalAlloc(GMEM_FIXED, 8));
    auto *zeroed = static_cast<unsigned char *>(GlobalAlloc(GMEM_ZEROINIT, 8));
    EXPECT_EQ(emu::live_global_blocks(), base_blocks + 2);
    EXPECT_NE(std::memcmp(raw, zeroed, 8), 0); // only the second was asked to be zero
    // A byte written past a block (AddressSanitizer would stop the write) is
    // found when the block is freed.
    ASAN_UNPOISON_MEMORY_REGION(raw + 8, 1);
    raw[8] = 0;
    EXPECT_EQ(diagnostics([&] { EXPECT_EQ(GlobalFree(raw), nullptr); }), 1);
    EXPECT_EQ(GlobalFree(zeroed), nullptr);
    EXPECT_EQ(diagnostics([&] { EXPECT_EQ(GlobalFree(zeroed), zeroed); }), 1);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    expect_nothing_held();
}

TEST_F(emulated, wide_char_to_multi_byte_follows_the_size_protocol) {
    const char16_t text[] = u"Ab\u00e9\u20ac\u4e2d";
    EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, text, -1, nullptr, 0, nullptr, nullptr), 6);
    char out[8] = {};
    BOOL defaulted = FALSE;
    EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, text, 5, out, 8, nullptr, &defaulted), 5);
    EXPECT_EQ(std::string(out), "Ab\xE9\x80?");
    EXPECT_TRUE(defaulted);
    EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, text, -1, out, 3, nullptr, nullptr), 0);
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(diagnostics([&] {
                  EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, text, 0, out, 8, nullptr, nullptr), 0);
              }),
              1);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0x400, text, 5, out, 8, nullptr, nullptr), 0);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_FLAGS);
}

TEST_F(emulated, wsprintf_formats_the_systems_subset) {
    char out[1100];
    EXPECT_EQ(wsprintfA(out, "\\\\.\\HCD%d", 7), 8);
    EXPECT_STREQ(out, "\\\\.\\HCD7");
    wsprintfA(out, "%.3s|%5d|%-4u|%04x|%#X|%c|%%|%s|%lu", "abcdef", -42, 7u, 0xbeu, 0xABu, 'z',
              static_cast<const char *>(nullptr), 4000000000u);
    EXPECT_STREQ(out, "abc|  -42|7   |00be|0XAB|z|%|(null)|4000000000");
    const std::string long_text(2000, 'x');
    EXPECT_EQ(wsprintfA(out, "%s", long_text.c_str()), 1023);
    EXPECT_EQ(std::strlen(out), 1023u);
}

// A handle follows its hub through a change that leaves the hub where it was,
// and a reloaded machine answers through handles opened before.
TEST_F(emulated, handles_follow_their_hub_through_changes) {
    const auto with_root_hub = [](hub root) {
        return machine{.virtual_clock = true,
                       .controllers = {{.number = 0, .driver_key = "k0", .root_hub = root}}};
    };
    machine first = with_root_hub({.name = "ROOT#HUB#A",
                                   .port_count = 3,
                                   .ports = {hub_port(1, {.name = "EXT#HUB#B", .port_count = 2})}});
    first.changes = {{.at_ms = 100, .port_path = {3}, .port = device(3, 0x7A31, 0xE121)}};
    load(first);
    HANDLE root = open_device("\\\\.\\ROOT#HUB#A");
    HANDLE ext = open_device("\\\\.\\EXT#HUB#B");
    ASSERT_NE(root, INVALID_HANDLE_VALUE);
    ASSERT_NE(ext, INVALID_HANDLE_VALUE);
    EXPECT_EQ(ask(root, ioctl_usb_get_node_connection_information_ex, with_port(365, 3)).bytes[31],
              0); // port 3 empty
    Sleep(100);
    EXPECT_EQ(ask(root, ioctl_usb_get_node_connection_information_ex, with_port(365, 3)).bytes[31],
              1); // the device arrived
    EXPECT_TRUE(ask(ext, ioctl_usb_get_node_information, std::vector<std::uint8_t>(76)).ok);

    load(with_root_hub({.name = "ROOT#HUB#A", .port_count = 5}));
    answer a = ask(root, ioctl_usb_get_node_information, std::vector<std::uint8_t>(76));
    EXPECT_TRUE(a.ok);
    EXPECT_EQ(a.bytes[6], 5); // the new machine's root hub
    a = ask(ext, ioctl_usb_get_node_information, std::vector<std::uint8_t>(76));
    EXPECT_FALSE(a.ok);
    EXPECT_EQ(a.error, ERROR_DEVICE_NOT_CONNECTED);
    EXPECT_TRUE(CloseHandle(root));
    EXPECT_TRUE(CloseHandle(ext));
}

TEST_F(emulated, call_counts_are_kept_by_function_and_control_code) {
    HANDLE hub = open_device("\\\\.\\ROOT#HUB#A");
    ASSERT_NE(hub, INVALID_HANDLE_VALUE);
    ask(hub, ioctl_usb_get_node_information, std::vector<std::uint8_t>(76));
    ask(hub, ioctl_usb_get_node_connection_information_ex, with_port(365, 1));
    ask(hub, ioctl_usb_get_node_connection_information_ex, with_port(365, 2));
    EXPECT_TRUE(CloseHandle(hub));
    const auto counts = emu::call_counts();
    EXPECT_EQ(counts.at("CreateFileA"), 1u);
    EXPECT_EQ(counts.at("DeviceIoControl"), 3u);
    EXPECT_EQ(counts.at("DeviceIoControl:0x220408"), 1u);
    EXPECT_EQ(counts.at("DeviceIoControl:0x220448"), 2u);
    EXPECT_EQ(counts.at("CloseHandle"), 1u);
    for (const auto &[function, count] : counts) {
        SCOPED_TRACE(function);
        EXPECT_EQ(emu::call_count(function), count);
    }
    EXPECT_EQ(emu::call_count("CM_Get_Child"), 0u);
    load(empty_root_hub_machine());
    EXPECT_TRUE(emu::call_counts().empty());
}

TEST_F(emulated, global_bytes_are_counted_with_their_peak) {
    const std::size_t base = emu::live_global_bytes();
    emu::reset_peak_global_bytes();
    void *a = GlobalAlloc(GMEM_ZEROINIT, 100);
    void *b = GlobalAlloc(GMEM_ZEROINIT, 50);
    EXPECT_EQ(emu::live_global_bytes(), base + 150);
    EXPECT_EQ(GlobalFree(a), nullptr);
    void *c = GlobalAlloc(GMEM_FIXED, 20);
    EXPECT_EQ(emu::live_global_bytes(), base + 70);
    EXPECT_EQ(emu::peak_global_bytes(), base + 150);
    emu::reset_peak_global_bytes();
    EXPECT_EQ(emu::peak_global_bytes(), base + 70);
    EXPECT_EQ(GlobalFree(b), nullptr);
    EXPECT_EQ(GlobalFree(c), nullptr);
    EXPECT_EQ(emu::live_global_bytes(), base);
}

} // namespace
