// Fault lists in machine descriptions: a faulty one is refused with one line
// naming its place before anything runs; a planted reply that states a huge
// length is honoured without the memory it names.
#include "e2e/machine_run.h"

namespace {

using namespace testkit;

const controller one_controller = numbered_controller(
    0, root_hub(0, 2, {device(1, 0x7A31, 0xE520), hub_port(2, external_hub(0, 2, 1))}));
const std::string hcd0 = device_path("HCD0");

class fault_lists : public machine_test {};

TEST_F(fault_lists, faulty_fault_lists_are_refused_with_their_place) {
    install_standins(dir);
    // Each fault list as the description's text, and the fault it is refused for.
    struct {
        std::string faults;
        std::string fault;
    } const cases[] = {
        {R"({})", "faults: expected an array"},
        {R"([{"ioctl": "0x220420"}])", "faults[0]: a fault needs its \"function\""},
        {R"([{"function": "ReadFile"}])",
         "faults[0].function: no fault can be planted in \"ReadFile\""},
        {R"([{"function": "DeviceIoControl", "ioctl": "0x220409"}])",
         "faults[0].ioctl: not a control code the USB stack answers"},
        {R"([{"function": "DeviceIoControl", "ioctl": "220420"}])",
         "faults[0].ioctl: expected a number or a hexadecimal string"},
        {R"([{"function": "GlobalAlloc", "port": 1}])",
         "faults[0].port: does not apply to GlobalAlloc"},
        {R"([{"function": "CreateFileA", "raw_reply": "00"}])",
         "faults[0].raw_reply: does not apply to CreateFileA"},
        {R"([{"function": "CreateProcessA", "device": "wdreg"}])",
         "faults[0].device: does not apply to CreateProcessA"},
        {R"([{"function": "DeviceIoControl", "controller": 4}])",
         "faults[0].controller: no controller has the number 4"},
        {R"([{"function": "CreateFileA", "hub": "USB#NO_SUCH_HUB"}])",
         "faults[0].hub: no hub of the machine has this name"},
        {R"([{"function": "DeviceIoControl", "controller": 0, "device": "\\\\.\\HCD0"}])",
         "faults[0]: at most one of \"device\", \"controller\" and \"hub\""},
        {R"([{"function": "DeviceIoControl", "error": 5, "actual_length": 6}])",
         "faults[0]: at most one of \"error\", \"actual_length\" and \"raw_reply\""},
        {R"([{"function": "DeviceIoControl", "raw_reply": "06 00 0"}])",
         "faults[0].raw_reply: expected pairs of hexadecimal digits, fault at character 7"},
        {R"([{"function": "DeviceIoControl", "port": 256}])",
         "faults[0].port: expected a whole number from 1 to 255"},
        {R"([{"function": "GlobalAlloc", "size": 0}])",
         "faults[0].size: expected a whole number from 1 to 4294967295"},
        {R"([{"function": "GlobalAlloc", "nth": -1}])",
         "faults[0].nth: expected a whole number from 0 to 4294967295"},
        {R"([{"function": "GlobalAlloc", "when": 1}])", "faults[0].when: unknown key"},
        // Found by fuzzing: a number beyond every range, and a key holding a line feed.
        {R"([{"function": "GlobalAlloc", "nth": 9e999}])",
         "(document): not valid JSON: number overflow parsing '9e999'"},
        {R"([{"function": "GlobalAlloc", "a\nb": 1}])", "faults[0].a\\x0Ab: unknown key"},
    };
    for (const auto &c : cases) {
        // The list goes into the text as it is: some are not even JSON.
        std::string text = description(machine_of({one_controller}));
        text.insert(text.rfind('}'), R"(, "faults": )" + c.faults);
        expect_refused(text, c.fault);
    }
}

// The hub shorthand names hubs that only a change brings; every fault of the list
// is planted, each counting its own matching calls.
TEST_F(fault_lists, every_fault_of_the_list_counts_its_own_calls) {
    const hub late = {
        .name = "USB#LATE_HUB", .port_count = 1, .ports = {device(1, 0x7A31, 0x2132)}};
    const char *const io = "DeviceIoControl";
    const char *const late_hub = R"("USB#LATE_HUB")"; // the shorthand, which the writer never uses
    const auto r = run_machine(patched(
        machine_of({one_controller}, {{.at_ms = 300, .port_path = {2}, .port = hub_port(2, late)}},
                   {{.function = io, .ioctl = 0x220420, .port = 1, .nth = 2},
                    {.function = io, .ioctl = 0x220408, .nth = 1},
                    {.function = io, .ioctl = 0x220408, .nth = 2}}),
        {{"/faults/1/hub", late_hub}, {"/faults/2/hub", late_hub}}));
    // Pass 1: port 1's driver key probe is the first matching call, its second
    // call the second: site 486. Pass 2: the late hub's node information fails
    // (1766); pass 3 likewise (the second call of that fault); pass 4 finds the
    // download device behind it.
    EXPECT_EQ(r.err, reports({486, 1766, 1766}));
    const lines N = sequence("nuvek", 0);
    EXPECT_EQ(journal(), N + N + N + N + lines{vcp_install});
    EXPECT_EQ(passes(), 4);
    expect_nothing_held_between_passes();
}

// A driver key probe stating 1.5 GB: the block is given, only the reply's bytes
// are written into it, and the name is read from the real reply. The tool ends
// having used little memory.
TEST_F(fault_lists, huge_stated_length_is_given_without_its_memory) {
    const auto r = run_machine(
        patched(machine_of({one_controller}, {download_arrives(300, {2})},
                           {{.function = "DeviceIoControl", .ioctl = 0x220424, .device = hcd0}}),
                {{"/faults/0/actual_length", R"("0x5C494350")"}})); // as hexadecimal text
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(journal(), sequence("nuvek", 0) + sequence("nuvek", 0) + lines{vcp_install});
    expect_nothing_held_between_passes();
    EXPECT_GT(peak_rss_kb(), 0);
    EXPECT_LT(peak_rss_kb(), 256 * 1024);
}

// On a machine whose largest block is 1 MiB the same length cannot be had: the
// query reports its allocation failure, the walk its missing driver key.
TEST_F(fault_lists, length_beyond_the_largest_block_fails_the_allocation) {
    machine m = machine_of({one_controller}, {download_arrives(300, {2})},
                           {{.function = "DeviceIoControl",
                             .ioctl = 0x220424,
                             .device = hcd0,
                             .action = fault::actual_length,
                             .length = 1048577}});
    m.largest_block = 1048576;
    const auto r = run_machine(m);
    EXPECT_EQ(r.err, reports({561, 1920}));
    EXPECT_EQ(journal(), sequence("nuvek", 0) + lines{vcp_install});
    expect_nothing_held_between_passes();
}

} // namespace
