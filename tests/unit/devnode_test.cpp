// The device-node lookup over the emulated configuration manager's tree: which
// node is found, what is read and how often, and what devnode_buffer holds.
#include "usb_enum_fixture.h"

#include <cstring>
#include <string>

namespace {

const std::string long_id = "PCI\\" + std::string(197, 'L');    // 201 characters
const std::string exact_id = "ROOT\\" + std::string(195, 'E');  // 200 characters
const std::string key_200 = "{long}\\" + std::string(193, 'k'); // 200 characters
const std::string key_199 = "{long}\\" + std::string(192, 'k'); // 199 characters
// Every ASCII letter, between the two bytes next to them, which are no letters.
const std::string upper = "@ABCDEFGHIJKLMNOPQRSTUVWXYZ[";
const std::string lower = "@abcdefghijklmnopqrstuvwxyz[";

// Pre-order: root, controller 0, its root hub, the device, controller 1, its root
// hub, PCI bus, its two children, then AFTER, EXACT, KEY200, KEY199, ACCENT,
// NODESC: 15 nodes.
constexpr std::uint64_t node_count = 15;

const std::string usb_class = "{36fc9e60-c465-11cf-8056-444553540000}\\";

testkit::machine with_tree() {
    using namespace testkit;
    machine m = machine_of(
        {{.number = 0,
          .driver_key = usb_class + "0000",
          .device_id = "PCI\\VEN_8086&DEV_24C2&SUBSYS_01451028&REV_01\\3&172E68DD&0&E8",
          .description = "Host controller 24C2",
          .root_hub = {.name = "ROOT_A",
                       .port_count = 2,
                       .ports = {{.port = 1,
                                  .vid = 0x7A31,
                                  .pid = 0xE121,
                                  .driver_key = "{4d36e96d-e325-11ce-bfc1-08002be10318}\\0001",
                                  .device_id = "USB\\VID_7A31&PID_E121\\5&1",
                                  .description = "Modem"}}}},
         {.number = 1,
          .driver_key = usb_class + "0001",
          .device_id = "PCI\\VEN_8086&DEV_24C4&SUBSYS_01451028&REV_01\\3&172E68DD&0&E9",
          .root_hub = {.name = "ROOT_B", .port_count = 2}}},
        {{.at_ms = 1000,
          .port_path = {1},
          .port = port{.port = 1,
                       .vid = 0x7A31,
                       .pid = 0x2132,
                       .driver_key = "{4d36e978-e325-11ce-bfc1-08002be10318}\\0007",
                       .device_id = "USB\\VID_7A31&PID_2132\\5&1"}}});
    m.extra_nodes = {{.device_id = "ACPI\\PNP0A03\\0",
                      .description = "PCI bus",
                      .children = {{.driver_key = "{dup}\\0099", .device_id = long_id},
                                   {.driver_key = "{pre}\\0001",
                                    .device_id = "PCI\\SECOND",
                                    .description = "Second"}}},
                     {.driver_key = "{PRE}\\0001", .device_id = "ROOT\\AFTER"},
                     {.driver_key = "{exact}\\0001", .device_id = exact_id},
                     {.driver_key = key_200, .device_id = "ROOT\\KEY200"},
                     {.driver_key = key_199, .device_id = "ROOT\\KEY199"},
                     {.driver_key = "KEY-É-" + upper, .device_id = "ROOT\\ACCENT"},
                     {.driver_key = "{nodesc}\\0001", .device_id = "ROOT\\NODESC"}};
    return m;
}

class devnode_lookup : public testkit::scan_test {
  protected:
    void SetUp() override {
        scan_test::SetUp();
        load(with_tree());
    }

    // The lookup's result as text, or "<nothing>".
    static std::string lookup(const std::string &key, std::uint8_t want_id) {
        const char *found = lookup_devnode_by_driver(key.c_str(), want_id);
        if (found == nullptr) {
            return "<nothing>";
        }
        EXPECT_EQ(found, devnode_buffer);
        return found;
    }

    static std::uint64_t property_reads() {
        return emu::call_count("CM_Get_DevNode_Registry_PropertyA");
    }
};

TEST_F(devnode_lookup, driver_key_matches_ignoring_only_the_case_of_ascii_letters) {
    EXPECT_EQ(lookup("{36FC9E60-C465-11CF-8056-444553540000}\\0000", 1),
              "PCI\\VEN_8086&DEV_24C2&SUBSYS_01451028&REV_01\\3&172E68DD&0&E8");
    EXPECT_EQ(lookup("key-\xC9-" + lower, 1), "ROOT\\ACCENT"); // ASCII letters in another case
    EXPECT_EQ(lookup("KEY-\xE9-" + upper, 1), "<nothing>");    // é is not É
    EXPECT_EQ(lookup("KEY-\xC9-`" + upper.substr(1), 1), "<nothing>");          // '@' is no letter
    EXPECT_EQ(lookup("KEY-\xC9-" + upper.substr(0, 27) + "{", 1), "<nothing>"); // nor is '['
    EXPECT_EQ(lookup("{36fc9e60-c465-11cf-8056-444553540000}\\000", 1), "<nothing>");
}

TEST_F(devnode_lookup, same_node_gives_its_device_id_or_its_description) {
    const std::string key = "{4d36e96d-e325-11ce-bfc1-08002be10318}\\0001";
    EXPECT_EQ(lookup(key, 1), "USB\\VID_7A31&PID_E121\\5&1");
    EXPECT_EQ(lookup(key, 0), "Modem");
    EXPECT_EQ(lookup("{nodesc}\\0001", 0), "<nothing>"); // no description
    EXPECT_EQ(lookup("{nodesc}\\0001", 2), "ROOT\\NODESC");
}

TEST_F(devnode_lookup, a_miss_reads_every_node_once) {
    EXPECT_EQ(lookup("{absent}\\0000", 1), "<nothing>");
    EXPECT_EQ(property_reads(), node_count);
    EXPECT_EQ(emu::call_count("CM_Get_Device_IDA"), 0u);
    EXPECT_EQ(emu::call_count("CM_Locate_DevNodeA"), 1u);
}

TEST_F(devnode_lookup, children_come_before_later_siblings) {
    EXPECT_EQ(lookup("{PRE}\\0001", 1), "PCI\\SECOND");
    EXPECT_EQ(property_reads(), 9u); // the ninth node in pre-order
}

TEST_F(devnode_lookup, a_found_node_whose_id_cannot_be_read_ends_the_search) {
    // Too long for the buffer, although a later sibling has the same key.
    EXPECT_EQ(lookup("{DUP}\\0099", 1), "<nothing>");
    EXPECT_EQ(emu::call_count("CM_Get_Device_IDA"), 1u);

    // Fills all 200 bytes, leaving no room for a terminator.
    EXPECT_EQ(lookup("{exact}\\0001", 1), "<nothing>");
    EXPECT_NE(std::memchr(devnode_buffer, '\0', sizeof devnode_buffer), nullptr);
}

TEST_F(devnode_lookup, a_driver_key_that_does_not_fit_is_not_read) {
    EXPECT_EQ(lookup(key_200, 1), "<nothing>");
    EXPECT_EQ(property_reads(), node_count);
    EXPECT_EQ(lookup(key_199, 1), "ROOT\\KEY199");
}

TEST_F(devnode_lookup, the_next_lookup_overwrites_the_shared_text) {
    const char *first = lookup_devnode_by_driver("{36fc9e60-c465-11cf-8056-444553540000}\\0001", 1);
    ASSERT_NE(first, nullptr);
    const std::string first_text = first;
    EXPECT_EQ(lookup("{4d36e96d-e325-11ce-bfc1-08002be10318}\\0001", 1),
              "USB\\VID_7A31&PID_E121\\5&1");
    EXPECT_STREQ(first, "USB\\VID_7A31&PID_E121\\5&1");

    EXPECT_EQ(lookup("{36fc9e60-c465-11cf-8056-444553540000}\\0001", 1), first_text);
    EXPECT_EQ(lookup("{absent}\\0000", 1), "<nothing>");
    EXPECT_NE(std::string(first), first_text);
}

TEST_F(devnode_lookup, the_tree_follows_topology_changes) {
    const std::string replacement = "{4d36e978-e325-11ce-bfc1-08002be10318}\\0007";
    EXPECT_EQ(lookup(replacement, 1), "<nothing>");
    Sleep(1000);
    EXPECT_EQ(lookup(replacement, 1), "USB\\VID_7A31&PID_2132\\5&1");
    EXPECT_EQ(lookup("{4d36e96d-e325-11ce-bfc1-08002be10318}\\0001", 1), "<nothing>");
}

} // namespace
