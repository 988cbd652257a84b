// The driver installation policy seen from outside: which command lines reach
// the process journal and in what order, what the debugger output shows, and how
// far the virtual clock moves.

#include "emu_fixture.h"

#include "shared/modes.h"
#include "policy/catalogue.h"
#include "policy/install.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

namespace {

using lines = std::vector<std::string>;

// A connection record as a hub answers it: IDs little-endian at bytes 12 and 14.
port_connection connection(std::uint16_t vendor, std::uint16_t product) {
    port_connection c;
    std::memset(&c, 0, sizeof c);
    auto *bytes = reinterpret_cast<unsigned char *>(&c);
    bytes[12] = static_cast<unsigned char>(vendor & 0xFF);
    bytes[13] = static_cast<unsigned char>(vendor >> 8);
    bytes[14] = static_cast<unsigned char>(product & 0xFF);
    bytes[15] = static_cast<unsigned char>(product >> 8);
    bytes[31] = 1; // ConnectionStatus: device connected
    return c;
}

const std::string mtp = "wdreg -inf ulvo_mtp.inf -compat -dont_create_virtual install";
const std::string vcp = "wdreg -inf vyrvcp.inf -compat -dont_create_virtual install";
const std::string ext_ctrl = "wdreg -inf dc_ext_ctrl.inf -compat -dont_create_virtual install";
const lines cdc_removal = {
    "wdreg -inf cdcacm_modem.inf -compat uninstall",
    "wdreg -inf cdc_acm_obex.inf -compat uninstall",
    "wdreg -inf cdc_enum.inf -compat uninstall",
    "del_sys.bat",
};
const lines cdc_removal_xctrl = {
    "wdreg -inf dc_ext_ctrl.inf -compat -dont_create_virtual uninstall",
    "del_xctrl.bat",
    "wdreg -inf cdcacm_modem.inf -compat uninstall",
    "wdreg -inf cdc_acm_obex.inf -compat uninstall",
    "wdreg -inf cdc_enum.inf -compat uninstall",
    "del_sys.bat",
};

lines joined(lines a, const lines &b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

class policy : public testkit::emu_test {
  protected:
    void SetUp() override {
        emu_test::SetUp();
        set_modes(0, 0, 0);
        bVcp_done = 0;
        start_ms = emu::clock_ms();
    }

    static void set_modes(std::uint8_t update, std::uint8_t selsusp, std::uint8_t xcontrol) {
        bUpdate_mode = update;
        bSelsusp_mode = selsusp;
        bXcontrol_mode = xcontrol;
    }

    // As the port loop does it: the variant modes it captured are the globals.
    static void install(std::uint16_t vendor, std::uint16_t product) {
        const port_connection c = connection(vendor, product);
        install_for_port(&c, bSelsusp_mode, bXcontrol_mode);
    }

    static bool download(std::uint16_t vendor, std::uint16_t product) {
        const port_connection c = connection(vendor, product);
        return handle_download_device(&c);
    }

    std::uint64_t elapsed_ms() const {
        return emu::clock_ms() - start_ms;
    }

    std::uint64_t start_ms = 0;
};

// ---------------------------------------------------------------------------
// The catalogue's lookups.

TEST(catalogue, lookups_pick_the_slot_of_family_variant_and_modes) {
    // Base slot: selective suspend counts 2, external control 1.
    EXPECT_STREQ(base_command(2, 0, 0), "wdreg -inf cdc_enum_pasur_m.inf -compat install");
    EXPECT_STREQ(base_command(1, 0, 1), "wdreg -inf cdc_enum_kelmi_m_x.inf -compat install");
    EXPECT_STREQ(base_command(3, 2, 0), "wdreg -inf cdc_enum_dravo_m_s.inf -compat install");
    EXPECT_STREQ(base_command(4, 2, 1), "wdreg -inf cdc_enum_nuvek_m_s_x.inf -compat install");
    // Enumerator slot: only selective suspend matters.
    EXPECT_STREQ(config_enum_command(2, 0, 0), "wdreg -inf cdc_enum_pasur_d0.inf -compat install");
    EXPECT_STREQ(config_enum_command(3, 1, 2),
                 "wdreg -inf cdc_enum_dravo_d1_s.inf -compat install");
    // Modem and OBEX slots.
    EXPECT_STREQ(config_command(0, 2, config_slot_modem),
                 "wdreg -inf cdcacm_modem_orvo_d2.inf -compat -dont_create_virtual install");
    EXPECT_STREQ(config_command(0, 2, config_slot_obex),
                 "wdreg -inf cdc_acm_obex_orvo_d2.inf -compat -dont_create_virtual install");
}

TEST(catalogue, text_lengths_range_from_46_to_73_and_orvo_is_one_shorter) {
    std::size_t shortest = 1000;
    std::size_t longest = 0;
    auto measure = [&](const char *text) {
        ASSERT_NE(text, nullptr);
        shortest = std::min(shortest, std::strlen(text));
        longest = std::max(longest, std::strlen(text));
    };
    for (unsigned f = 0; f < 5; ++f) {
        for (std::uint8_t s : {0, 2}) {
            for (std::uint8_t x : {0, 1}) {
                SCOPED_TRACE(testing::Message() << "base " << f << " " << int{s} << " " << int{x});
                measure(base_command(f, s, x));
                if (f > 0) {
                    EXPECT_EQ(std::strlen(base_command(f, s, x)),
                              std::strlen(base_command(0, s, x)) + 1);
                }
            }
        }
        for (unsigned v = 0; v < 3; ++v) {
            for (unsigned slot = 0; slot < 4; ++slot) {
                SCOPED_TRACE(testing::Message() << "config " << f << " " << v << " " << slot);
                measure(config_command(f, v, slot));
                if (f > 0) {
                    EXPECT_EQ(std::strlen(config_command(f, v, slot)),
                              std::strlen(config_command(0, v, slot)) + 1);
                }
            }
        }
    }
    EXPECT_EQ(shortest, 46u);
    EXPECT_EQ(longest, 73u);
}

TEST(catalogue, lookups_outside_a_family_table_yield_nothing) {
    EXPECT_EQ(base_command(5, 0, 0), nullptr);
    EXPECT_EQ(base_command(0, 2, 2), nullptr); // mode sum 4
    EXPECT_EQ(base_command(4, 4, 0), nullptr);
    EXPECT_EQ(config_enum_command(0, 3, 0), nullptr); // variant 3 has no configuration
    EXPECT_EQ(config_enum_command(5, 0, 2), nullptr);
    EXPECT_EQ(config_command(4, 2, 4), nullptr); // would be the next family's slot
    EXPECT_EQ(config_command(1, 3, 0), nullptr);
}

// ---------------------------------------------------------------------------
// Device matching and install sequences, case by case.

TEST_F(policy, orvo_d2_without_modes_waits_nine_seconds_and_adds_mtp) {
    install(0x7A31, 0xE12C);
    EXPECT_EQ(journal(), (lines{
                             "wdreg -inf cdc_enum_orvo_d2.inf -compat install",
                             "wdreg -inf cdc_enum_orvo_m.inf -compat install",
                             "wdreg -inf cdcacm_modem_orvo_d2.inf -compat -dont_create_virtual "
                             "install",
                             "wdreg -inf cdc_acm_obex_orvo_d2.inf -compat -dont_create_virtual "
                             "install",
                             mtp,
                         }));
    EXPECT_EQ(trace(),
              "wdreg -inf cdc_enum_orvo_m.inf -compat install\n"
              "wdreg -inf cdcacm_modem_orvo_d2.inf -compat -dont_create_virtual install\n"
              "wdreg -inf cdc_acm_obex_orvo_d2.inf -compat -dont_create_virtual install\n");
    EXPECT_EQ(elapsed_ms(), 9000u);
    EXPECT_EQ(bVcp_done, 0);
}

TEST_F(policy, mtp_only_device_gets_only_mtp_even_in_update_mode) {
    set_modes(1, 2, 1);
    install(0x7A31, 0xE20C);
    EXPECT_EQ(journal(), lines{mtp});
    EXPECT_EQ(trace(), "");
    EXPECT_EQ(elapsed_ms(), 0u);

    install(0x7A31, 0xE10C); // family 0's MTP-only device does not wait either
    EXPECT_EQ(journal(), (lines{mtp, mtp}));
    EXPECT_EQ(elapsed_ms(), 0u);
}

TEST_F(policy, pasur_d1_with_both_variant_modes) {
    set_modes(0, 2, 1);
    install(0x7A31, 0xE321);
    EXPECT_EQ(journal(), (lines{
                             "wdreg -inf cdc_enum_pasur_d1_s.inf -compat install",
                             "wdreg -inf cdc_enum_pasur_m_s_x.inf -compat install",
                             "wdreg -inf cdcacm_modem_pasur_d1.inf -compat -dont_create_virtual "
                             "install",
                             "wdreg -inf cdc_acm_obex_pasur_d1.inf -compat -dont_create_virtual "
                             "install",
                             ext_ctrl,
                         }));
    EXPECT_EQ(trace(),
              "wdreg -inf cdc_enum_pasur_m_s_x.inf -compat install\n"
              "wdreg -inf cdcacm_modem_pasur_d1.inf -compat -dont_create_virtual install\n"
              "wdreg -inf cdc_acm_obex_pasur_d1.inf -compat -dont_create_virtual install\n");
    EXPECT_EQ(elapsed_ms(), 0u);
}

TEST_F(policy, nuvek_d0_in_update_mode_removes_first) {
    set_modes(1, 0, 0);
    install(0x7A31, 0xE520);
    EXPECT_EQ(
        journal(),
        joined(cdc_removal,
               {
                   "wdreg -inf cdc_enum_nuvek_d0.inf -compat install",
                   "wdreg -inf cdc_enum_nuvek_m.inf -compat install",
                   "wdreg -inf cdcacm_modem_nuvek_d0.inf -compat -dont_create_virtual install",
                   "wdreg -inf cdc_acm_obex_nuvek_d0.inf -compat -dont_create_virtual install",
               }));
}

TEST_F(policy, kelmi_with_external_control_announces_it) {
    set_modes(1, 0, 1);
    install(0x7A31, 0xE221);
    EXPECT_EQ(
        journal(),
        joined(cdc_removal_xctrl,
               {
                   "wdreg -inf cdc_enum_kelmi_d1.inf -compat install",
                   "wdreg -inf cdc_enum_kelmi_m_x.inf -compat install",
                   "wdreg -inf cdcacm_modem_kelmi_d1.inf -compat -dont_create_virtual install",
                   "wdreg -inf cdc_acm_obex_kelmi_d1.inf -compat -dont_create_virtual install",
                   ext_ctrl,
               }));
    EXPECT_EQ(trace(), "wdreg -inf cdc_enum_kelmi_m_x.inf -compat install\n"
                       "wdreg -inf cdcacm_modem_kelmi_d1.inf -compat -dont_create_virtual install\n"
                       "wdreg -inf cdc_acm_obex_kelmi_d1.inf -compat -dont_create_virtual install\n"
                       "Install dc_ext_ctrl.inf\n");
}

TEST_F(policy, unknown_products_of_the_handled_vendor_are_left_alone) {
    set_modes(1, 2, 1);
    for (std::uint16_t product : {0xE123, 0xE10D, 0xE600, 0x0000, 0xFFFF, 0x2132, 0x21E1}) {
        SCOPED_TRACE(product);
        install(0x7A31, product);
        if (product != 0x2132) {
            EXPECT_FALSE(download(0x7A31, product));
        }
    }
    EXPECT_EQ(journal(), lines{});
    EXPECT_EQ(trace(), "");
    EXPECT_EQ(elapsed_ms(), 0u);
    EXPECT_EQ(bVcp_done, 0);
}

TEST_F(policy, download_mode_device_gets_only_the_vcp_install) {
    set_modes(1, 2, 1);
    EXPECT_TRUE(download(0x7A31, 0x2132));
    EXPECT_EQ(bVcp_done, 1);
    EXPECT_EQ(journal(), lines{vcp});
    EXPECT_EQ(trace(), "");
    EXPECT_EQ(elapsed_ms(), 0u);
}

TEST_F(policy, table_products_under_another_vendor_are_left_alone) {
    set_modes(1, 0, 1);
    // Another vendor, the handled vendor byte-swapped, and vendor and product
    // read from each other's place.
    const std::uint16_t pairs[][2] = {
        {0x05E3, 0xE121}, {0x05E3, 0x2132}, {0x317A, 0xE12C},
        {0x317A, 0x2132}, {0xE121, 0x7A31}, {0x2132, 0x7A31},
    };
    for (const auto &p : pairs) {
        SCOPED_TRACE(p[0]);
        EXPECT_FALSE(download(p[0], p[1]));
        install(p[0], p[1]);
    }
    EXPECT_EQ(journal(), lines{});
    EXPECT_EQ(trace(), "");
    EXPECT_EQ(elapsed_ms(), 0u);
    EXPECT_EQ(bVcp_done, 0);
}

TEST_F(policy, a_slot_of_the_longest_size_is_traced_whole) {
    const std::string longest(command_slot_size - 1, 'w');
    trace_line(longest.c_str());
    EXPECT_EQ(trace(), longest + "\n");

    // Longer than any slot: cut short at the buffer's end, line feed and all.
    const std::string oversized(600, 'o');
    trace_line(oversized.c_str());
    EXPECT_EQ(trace(), longest + "\n" + oversized.substr(0, trace_buffer_size - 1));
}

// ---------------------------------------------------------------------------
// Every product under every mode combination, against the sequence written out
// from the families' rules.

const char *const family_codes[5] = {"orvo", "kelmi", "pasur", "dravo", "nuvek"};
const std::uint16_t products[20] = {
    0xE120, 0xE121, 0xE12C, 0xE10C, 0xE220, 0xE221, 0xE22C, 0xE20C, 0xE320, 0xE321,
    0xE32C, 0xE30C, 0xE420, 0xE421, 0xE42C, 0xE40C, 0xE520, 0xE521, 0xE52C, 0xE50C,
};

// One thing the sequence does: run a command line or write a trace text.
struct step {
    bool run;
    std::string text; // a trace text without its line feed
};

std::string install_line(const std::string &inf, bool dont_create_virtual) {
    return "wdreg -inf " + inf + " -compat " +
           (dont_create_virtual ? "-dont_create_virtual " : "") + "install";
}

std::vector<step> expected_steps(unsigned family, unsigned variant, bool update, bool selsusp,
                                 bool xcontrol) {
    std::vector<step> steps;
    auto run = [&](const std::string &line) { steps.push_back({true, line}); };
    auto trace = [&](const std::string &text) { steps.push_back({false, text}); };
    if (variant == 3) {
        run(mtp);
        return steps;
    }
    if (update) {
        // The removal set reads the process-wide external-control mode: the other one.
        for (const auto &line : xcontrol ? cdc_removal : cdc_removal_xctrl) {
            run(line);
        }
    }
    const std::string code = family_codes[family];
    const std::string config = "_d" + std::to_string(variant);
    const std::string enumerator =
        install_line("cdc_enum_" + code + config + (selsusp ? "_s" : "") + ".inf", false);
    const std::string base = install_line(
        "cdc_enum_" + code + "_m" + (selsusp ? "_s" : "") + (xcontrol ? "_x" : "") + ".inf", false);
    const std::string modem = install_line("cdcacm_modem_" + code + config + ".inf", true);
    const std::string obex = install_line("cdc_acm_obex_" + code + config + ".inf", true);
    if (family == 0) {
        run(enumerator);
        trace(base);
    } else {
        trace(base);
        run(enumerator);
    }
    run(base);
    trace(modem);
    run(modem);
    trace(obex);
    run(obex);
    if (xcontrol) {
        if (family == 1) {
            trace("Install dc_ext_ctrl.inf");
        }
        run(ext_ctrl);
    }
    if (variant == 2) {
        run(mtp);
    }
    return steps;
}

TEST_F(policy, every_product_under_every_mode_combination) {
    int case_number = 0;
    for (unsigned index = 0; index < 20; ++index) {
        const unsigned family = index / 4;
        const unsigned variant = index % 4;
        for (std::uint8_t update : {0, 1}) {
            for (std::uint8_t selsusp : {0, 2}) {
                for (std::uint8_t xcontrol : {0, 1}) {
                    SCOPED_TRACE(testing::Message()
                                 << "product 0x" << std::hex << products[index] << std::dec
                                 << " update " << int{update} << " selsusp " << int{selsusp}
                                 << " xcontrol " << int{xcontrol});
                    const auto steps =
                        expected_steps(family, variant, update != 0, selsusp != 0, xcontrol != 0);
                    lines runs;
                    lines interleaved;
                    std::string traces;
                    for (const auto &s : steps) {
                        if (s.run) {
                            runs.push_back(s.text);
                        } else {
                            traces += s.text + "\n";
                        }
                        interleaved.push_back((s.run ? "run: " : "trace: ") + s.text);
                    }
                    const bool waits = family == 0 && variant != 3;

                    // The process-wide modes name the other editions: the
                    // modes the port loop captured must choose them.
                    set_modes(update, 2 - selsusp, 1 - xcontrol);
                    const port_connection c = connection(0x7A31, products[index]);
                    const auto name = dir / ("case" + std::to_string(case_number++));

                    // Journal and debugger output apart.
                    emu::set_journal_path(name.string() + ".journal");
                    emu::set_trace_path(name.string() + ".trace");
                    std::uint64_t before = emu::clock_ms();
                    EXPECT_FALSE(handle_download_device(&c));
                    install_for_port(&c, selsusp, xcontrol);
                    EXPECT_EQ(testkit::read_lines(name.string() + ".journal"), runs);
                    EXPECT_EQ(testkit::read_file(name.string() + ".trace"), traces);
                    EXPECT_EQ(emu::clock_ms() - before, waits ? 9000u : 0u);

                    // Both into one file, each line marked with its stream, to
                    // see where each trace line falls among the commands.
                    emu::set_merged_path(name.string() + ".both");
                    install_for_port(&c, selsusp, xcontrol);
                    emu::set_merged_path("");
                    EXPECT_EQ(testkit::read_lines(name.string() + ".both"), interleaved);
                    EXPECT_EQ(bVcp_done, 0);
                }
            }
        }
    }
    EXPECT_EQ(case_number, 160);
}

} // namespace
