// The emulated machine's USB stack, device tree, interface enumeration, memory and
// string calls, held to the system's rules: right arguments get the published
// answers, wrong ones fail with the system's error code and one diagnostic line.
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

const std::string usb_class = "{36fc9e60-c465-11cf-8056-444553540000}\\";

// Controller 0 (numbered, listed): on ports 2 to 4 of its root hub an external
// hub, a full-speed device and a low-speed one that answers only the older
// connection query; the hub goes away at 500 ms. Controller 1: listed, no
// number. Controller 2: numbered, not listed.
machine three_controllers() {
    return {
        .os_version = std::nullopt,
        .controllers =
            {{.number = 0,
              .driver_key = usb_class + "0000",
              .device_id = "PCI\\VEN_8086&DEV_24C2&SUBSYS_01451028&REV_01\\3&172E68DD&0&E8",
              .root_hub = {.name = "ROOT#HUB#A",
                           .port_count = 4,
                           .ports = {{.number = 3, .vid = 0x7A31, .pid = 0xE121, .speed = "full"},
                                     hub_port(2, {.name = "EXT#HUB#B", .port_count = 2}),
                                     {.number = 4,
                                      .vid = 0x7A31,
                                      .pid = 0x2132,
                                      .speed = "low",
                                      .legacy_query = true}}}},
             {.driver_key = usb_class + "0001",
              .device_id = "PCI\\VEN_8086&DEV_24C4&SUBSYS_01451028&REV_01\\3&172E68DD&0&E9",
              .root_hub = {.name = "ROOT#HUB#C", .port_count = 2}},
             {.number = 2,
              .interface = false,
              .driver_key = usb_class + "0002",
              .root_hub = {.name = "ROOT#HUB#D", .port_count = 2}}},
        .changes = {{.at_ms = 500, .port_path = {2}}}};
}

class emulated : public emu_test {
  protected:
    void SetUp() override {
        emu_test::SetUp();
        load(three_controllers());
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

    static std::uint32_t u32_at(const std::vector<std::uint8_t> &b, std::size_t at) {
        std::uint32_t v;
        std::memcpy(&v, b.data() + at, 4);
        return v;
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

    // Absent devices are not misuse.
    for (const char *absent : {"\\\\.\\HCD1", "\\\\.\\HCD2x", "\\\\.\\NO#SUCH#HUB", "HCD0"}) {
        SCOPED_TRACE(absent);
        EXPECT_EQ(diagnostics([&] { EXPECT_EQ(open_device(absent), INVALID_HANDLE_VALUE); }), 0);
        EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    }
    expect_nothing_held();

    for (const char *present :
         {"\\\\.\\HCD0", "\\\\.\\hcd2", "\\\\.\\root#hub#a", "\\\\.\\EXT#HUB#B"}) {
        SCOPED_TRACE(present);
        HANDLE h = open_device(present);
        EXPECT_NE(h, INVALID_HANDLE_VALUE);
        EXPECT_TRUE(CloseHandle(h));
    }
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
    EXPECT_FALSE(
        DeviceIoControl(hcd, ioctl_usb_get_root_hub_name, nullptr, 0, reply, 5, &n, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(ask(hcd, ioctl_usb_get_node_connection_information_ex, with_port(365, 1)).error,
              1u); // a hub's code sent to a controller

    EXPECT_TRUE(CloseHandle(hcd));
    EXPECT_FALSE(DeviceIoControl(hcd, ioctl_usb_get_root_hub_name, nullptr, 0, reply, sizeof reply,
                                 &n, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    expect_nothing_held();
}

TEST_F(emulated, name_replies_carry_their_length_and_utf16_name_as_far_as_the_buffer_holds) {
    HANDLE hcd = open_device("\\\\.\\HCD0");
    answer probe = ask(hcd, ioctl_usb_get_root_hub_name, std::vector<std::uint8_t>(6), false);
    ASSERT_TRUE(probe.ok);
    EXPECT_EQ(u32_at(probe.bytes, 0), 4u + 2u * 11u); // "ROOT#HUB#A" and its terminator
    EXPECT_EQ(probe.bytes[4], 'R');
    EXPECT_EQ(probe.returned, 6u);

    answer full = ask(hcd, ioctl_usb_get_root_hub_name, std::vector<std::uint8_t>(40), false);
    EXPECT_EQ(full.returned, 26u);
    EXPECT_EQ(std::vector<std::uint8_t>(full.bytes.begin() + 22, full.bytes.begin() + 26),
              (std::vector<std::uint8_t>{'A', 0, 0, 0}));

    answer key = ask(hcd, ioctl_get_hcd_driverkey_name, std::vector<std::uint8_t>(200));
    EXPECT_EQ(u32_at(key.bytes, 0), 4u + 2u * 44u);
    EXPECT_TRUE(CloseHandle(hcd));

    HANDLE hub = open_device("\\\\.\\ROOT#HUB#A");
    answer name = ask(hub, ioctl_usb_get_node_connection_name, with_port(40, 2));
    EXPECT_EQ(u32_at(name.bytes, 0), 2u);
    EXPECT_EQ(u32_at(name.bytes, 4), 8u + 2u * 10u);
    EXPECT_EQ(name.bytes[8], 'E');
    answer none = ask(hub, ioctl_usb_get_node_connection_name, with_port(40, 3));
    EXPECT_EQ(u32_at(none.bytes, 4), 10u); // a device that is no hub: empty name
    answer no_device = ask(hub, ioctl_usb_get_node_connection_driverkey_name, with_port(40, 1));
    EXPECT_FALSE(no_device.ok);
    EXPECT_TRUE(CloseHandle(hub));
    expect_nothing_held();
}

TEST_F(emulated, hubs_answer_node_and_connection_information) {
    HANDLE hub = open_device("\\\\.\\ROOT#HUB#A");
    answer node = ask(hub, ioctl_usb_get_node_information, std::vector<std::uint8_t>(76));
    ASSERT_TRUE(node.ok);
    EXPECT_EQ(node.returned, 76u);
    EXPECT_EQ(node.bytes[node_information_port_count_offset], 4);
    EXPECT_FALSE(ask(hub, ioctl_usb_get_node_information, std::vector<std::uint8_t>(75)).ok);

    answer device = ask(hub, ioctl_usb_get_node_connection_information_ex, with_port(365, 3));
    ASSERT_TRUE(device.ok);
    port_connection c;
    std::memcpy(&c, device.bytes.data(), sizeof c);
    EXPECT_EQ(std::uint32_t{c.ConnectionIndex}, 3u); // packed: compared by value
    EXPECT_EQ(connection_vendor(&c), 0x7A31);
    EXPECT_EQ(connection_product(&c), 0xE121);
    EXPECT_EQ(std::uint32_t{c.ConnectionStatus}, 1u);
    EXPECT_EQ(c.Speed, 1);
    EXPECT_EQ(c.DeviceIsHub, 0);

    answer empty = ask(hub, ioctl_usb_get_node_connection_information_ex, with_port(365, 1));
    ASSERT_TRUE(empty.ok);
    EXPECT_EQ(u32_at(empty.bytes, 31), 0u);
    EXPECT_EQ(ask(hub, ioctl_usb_get_node_connection_information_ex, with_port(365, 2)).bytes[24],
              1); // DeviceIsHub

    for (std::uint32_t bad : {0u, 5u}) {
        SCOPED_TRACE(bad);
        answer a{};
        EXPECT_EQ(diagnostics([&] {
                      a = ask(hub, ioctl_usb_get_node_connection_information_ex,
                              with_port(365, bad));
                  }),
                  1);
        EXPECT_FALSE(a.ok);
        EXPECT_EQ(a.error, ERROR_INVALID_PARAMETER);
    }

    // A port that speaks only the older query: LowSpeed where Speed would be.
    EXPECT_FALSE(ask(hub, ioctl_usb_get_node_connection_information_ex, with_port(365, 4)).ok);
    answer older = ask(hub, ioctl_usb_get_node_connection_information, with_port(365, 4));
    ASSERT_TRUE(older.ok);
    EXPECT_EQ(older.bytes[23], 1);
    EXPECT_EQ(older.bytes[14], 0x32);
    EXPECT_FALSE(ask(hub, ioctl_usb_get_node_connection_information, with_port(365, 3)).ok);
    EXPECT_TRUE(CloseHandle(hub));
}

TEST_F(emulated, a_hub_taken_away_answers_no_more) {
    HANDLE hub = open_device("\\\\.\\EXT#HUB#B");
    ASSERT_NE(hub, INVALID_HANDLE_VALUE);
    Sleep(500);
    answer a = ask(hub, ioctl_usb_get_node_information, std::vector<std::uint8_t>(76));
    EXPECT_FALSE(a.ok);
    EXPECT_EQ(a.error, ERROR_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(open_device("\\\\.\\EXT#HUB#B"), INVALID_HANDLE_VALUE);
    EXPECT_TRUE(CloseHandle(hub));
}

const GUID host_controllers = {
    0x3abf6f2d, 0x71c4, 0x462a, {0x8a, 0x92, 0x1e, 0x68, 0x61, 0xe6, 0xaf, 0x27}};

TEST_F(emulated, interface_enumeration_lists_controllers_by_openable_paths) {
    EXPECT_EQ(diagnostics([] {
                  EXPECT_EQ(SetupDiGetClassDevsA(&host_controllers, nullptr, nullptr, 2),
                            INVALID_HANDLE_VALUE);
              }),
              1);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_FLAGS);

    HDEVINFO set = SetupDiGetClassDevsA(&host_controllers, nullptr, nullptr, 18);
    ASSERT_NE(set, INVALID_HANDLE_VALUE);
    SP_DEVICE_INTERFACE_DATA data{};
    data.cbSize = sizeof data - 1;
    EXPECT_FALSE(SetupDiEnumDeviceInterfaces(set, nullptr, &host_controllers, 0, &data));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_USER_BUFFER);

    std::vector<std::string> root_hubs;
    DWORD index = 0;
    for (;; ++index) {
        SCOPED_TRACE(index);
        data.cbSize = sizeof data;
        if (!SetupDiEnumDeviceInterfaces(set, nullptr, &host_controllers, index, &data)) {
            break;
        }
        DWORD needed = 0;
        EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailA(set, &data, nullptr, 0, &needed, nullptr));
        EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
        std::vector<std::uint8_t> block(needed, 0);
        auto *detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A *>(block.data());
        detail->cbSize = needed; // not the record's size
        EXPECT_FALSE(
            SetupDiGetDeviceInterfaceDetailA(set, &data, detail, needed, nullptr, nullptr));
        detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
        EXPECT_FALSE(
            SetupDiGetDeviceInterfaceDetailA(set, &data, detail, needed - 1, nullptr, nullptr));
        ASSERT_TRUE(SetupDiGetDeviceInterfaceDetailA(set, &data, detail, needed, nullptr, nullptr));

        HANDLE hcd = open_device(detail->DevicePath);
        ASSERT_NE(hcd, INVALID_HANDLE_VALUE);
        answer name = ask(hcd, ioctl_usb_get_root_hub_name, std::vector<std::uint8_t>(64), false);
        std::string hub_name;
        for (std::size_t i = 4; i + 1 < name.bytes.size() && name.bytes[i] != 0; i += 2) {
            hub_name += static_cast<char>(name.bytes[i]);
        }
        root_hubs.push_back(hub_name);
        EXPECT_TRUE(CloseHandle(hcd));
    }
    EXPECT_EQ(GetLastError(), ERROR_NO_MORE_ITEMS);
    // The third controller is not listed; the second has no number but is.
    EXPECT_EQ(root_hubs, (std::vector<std::string>{"ROOT#HUB#A", "ROOT#HUB#C"}));
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

TEST_F(emulated, device_tree_reads_follow_the_buffer_rules) {
    DEVINST root = 0, controller = 0, none = 7;
    ASSERT_EQ(CM_Locate_DevNodeA(&root, nullptr, CM_LOCATE_DEVNODE_NORMAL), CR_SUCCESS);
    EXPECT_EQ(CM_Get_Parent(&none, root, 0), CR_NO_SUCH_DEVNODE);
    EXPECT_EQ(none, 0u);
    EXPECT_EQ(diagnostics([&] { EXPECT_EQ(CM_Get_Child(&controller, root, 1), CR_INVALID_FLAG); }),
              1);
    EXPECT_EQ(CM_Get_Child(&controller, 999, 0), CR_INVALID_DEVNODE);
    ASSERT_EQ(CM_Get_Child(&controller, root, 0), CR_SUCCESS);

    const std::string id = "PCI\\VEN_8086&DEV_24C2&SUBSYS_01451028&REV_01\\3&172E68DD&0&E8";
    std::vector<char> buffer(id.size() + 1, '#');
    ASSERT_EQ(CM_Get_Device_IDA(controller, buffer.data(), static_cast<ULONG>(id.size()), 0),
              CR_SUCCESS);
    EXPECT_EQ(buffer.back(), '#'); // exactly filled: no terminator
    EXPECT_EQ(CM_Get_Device_IDA(controller, buffer.data(), static_cast<ULONG>(id.size() - 1), 0),
              CR_BUFFER_SMALL);

    char text[64];
    ULONG length = 10;
    EXPECT_EQ(
        CM_Get_DevNode_Registry_PropertyA(controller, CM_DRP_DRIVER, nullptr, text, &length, 0),
        CR_BUFFER_SMALL);
    EXPECT_EQ(length, 44u); // 43 characters and the terminator
    length = sizeof text;
    ASSERT_EQ(
        CM_Get_DevNode_Registry_PropertyA(controller, CM_DRP_DRIVER, nullptr, text, &length, 0),
        CR_SUCCESS);
    EXPECT_STREQ(text, "{36fc9e60-c465-11cf-8056-444553540000}\\0000");
    length = sizeof text;
    EXPECT_EQ(CM_Get_DevNode_Registry_PropertyA(root, CM_DRP_DRIVER, nullptr, text, &length, 0),
              CR_NO_SUCH_VALUE);
}

} // namespace

namespace {

TEST_F(emulated, hub_names_open_without_regard_to_case) {
    HANDLE hub = open_device("\\\\.\\ext#hub#b");
    ASSERT_NE(hub, INVALID_HANDLE_VALUE);
    answer a = ask(hub, ioctl_usb_get_node_information, std::vector<std::uint8_t>(76));
    EXPECT_TRUE(a.ok);
    EXPECT_EQ(a.bytes[6], 2); // EXT#HUB#B's port count
    EXPECT_TRUE(CloseHandle(hub));
    EXPECT_EQ(open_device("\\\\.\\EXT#HUB#"), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
}

// A handle follows its hub through a change that leaves the hub where it was,
// and a reloaded machine answers through handles opened before.
TEST_F(emulated, handles_follow_their_hub_through_changes) {
    const auto with_root_hub = [](hub root) {
        return machine{.os_version = std::nullopt,
                       .processes = "",
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
    load(three_controllers());
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
