#include "policy/catalogue.h"

const char ext_ctrl_install_trace[] = "Install dc_ext_ctrl.inf\n";

namespace {

// Each family keeps its own two tables: a base table of four slots chosen by the
// variant modes, and a configuration table of three groups (d0, d1, d2) of four
// slots each: enumerator, enumerator with selective suspend, modem, OBEX.

namespace orvo {
const command_slot family_base_table[base_slot_count] = {
    "wdreg -inf cdc_enum_orvo_m.inf -compat install",
    "wdreg -inf cdc_enum_orvo_m_x.inf -compat install",
    "wdreg -inf cdc_enum_orvo_m_s.inf -compat install",
    "wdreg -inf cdc_enum_orvo_m_s_x.inf -compat install",
};

const command_slot family_config_table[config_slot_count] = {
    // d0
    "wdreg -inf cdc_enum_orvo_d0.inf -compat install",
    "wdreg -inf cdc_enum_orvo_d0_s.inf -compat install",
    "wdreg -inf cdcacm_modem_orvo_d0.inf -compat -dont_create_virtual install",
    "wdreg -inf cdc_acm_obex_orvo_d0.inf -compat -dont_create_virtual install",
    // d1
    "wdreg -inf cdc_enum_orvo_d1.inf -compat install",
    "wdreg -inf cdc_enum_orvo_d1_s.inf -compat install",
    "wdreg -inf cdcacm_modem_orvo_d1.inf -compat -dont_create_virtual install",
    "wdreg -inf cdc_acm_obex_orvo_d1.inf -compat -dont_create_virtual install",
    // d2
    "wdreg -inf cdc_enum_orvo_d2.inf -compat install",
    "wdreg -inf cdc_enum_orvo_d2_s.inf -compat install",
    "wdreg -inf cdcacm_modem_orvo_d2.inf -compat -dont_create_virtual install",
    "wdreg -inf cdc_acm_obex_orvo_d2.inf -compat -dont_create_virtual install",
};
} // namespace orvo

namespace kelmi {
const command_slot family_base_table[base_slot_count] = {
    "wdreg -inf cdc_enum_kelmi_m.inf -compat install",
    "wdreg -inf cdc_enum_kelmi_m_x.inf -compat install",
    "wdreg -inf cdc_enum_kelmi_m_s.inf -compat install",
    "wdreg -inf cdc_enum_kelmi_m_s_x.inf -compat install",
};

const command_slot family_config_table[config_slot_count] = {
    // d0
    "wdreg -inf cdc_enum_kelmi_d0.inf -compat install",
    "wdreg -inf cdc_enum_kelmi_d0_s.inf -compat install",
    "wdreg -inf cdcacm_modem_kelmi_d0.inf -compat -dont_create_virtual install",
    "wdreg -inf cdc_acm_obex_kelmi_d0.inf -compat -dont_create_virtual install",
    // d1
    "wdreg -inf cdc_enum_kelmi_d1.inf -compat install",
    "wdreg -inf cdc_enum_kelmi_d1_s.inf -compat install",
    "wdreg -inf cdcacm_modem_kelmi_d1.inf -compat -dont_create_virtual install",
    "wdreg -inf cdc_acm_obex_kelmi_d1.inf -compat -dont_create_virtual install",
    // d2
    "wdreg -inf cdc_enum_kelmi_d2.inf -compat install",
    "wdreg -inf cdc_enum_kelmi_d2_s.inf -compat install",
    "wdreg -inf cdcacm_modem_kelmi_d2.inf -compat -dont_create_virtual install",
    "wdreg -inf cdc_acm_obex_kelmi_d2.inf -compat -dont_create_virtual install",
};
} // namespace kelmi

namespace pasur {
const command_slot family_base_table[base_slot_count] = {
    "wdreg -inf cdc_enum_pasur_m.inf -compat install",
    "wdreg -inf cdc_enum_pasur_m_x.inf -compat install",
    "wdreg -inf cdc_enum_pasur_m_s.inf -compat install",
    "wdreg -inf cdc_enum_pasur_m_s_x.inf -compat install",
};

const command_slot family_config_table[config_slot_count] = {
    // d0
    "wdreg -inf cdc_enum_pasur_d0.inf -compat install",
    "wdreg -inf cdc_enum_pasur_d0_s.inf -compat install",
    "wdreg -inf cdcacm_modem_pasur_d0.inf -compat -dont_create_virtual install",
    "wdreg -inf cdc_acm_obex_pasur_d0.inf -compat -dont_create_virtual install",
    // d1
    "wdreg -inf cdc_enum_pasur_d1.inf -compat install",
    "wdreg -inf cdc_enum_pasur_d1_s.inf -compat install",
    "wdreg -inf cdcacm_modem_pasur_d1.inf -compat -dont_create_virtual install",
    "wdreg -inf cdc_acm_obex_pasur_d1.inf -compat -dont_create_virtual install",
    // d2
    "wdreg -inf cdc_enum_pasur_d2.inf -compat install",
    "wdreg -inf cdc_enum_pasur_d2_s.inf -compat install",
    "wdreg -inf cdcacm_modem_pasur_d2.inf -compat -dont_create_virtual install",
    "wdreg -inf cdc_acm_obex_pasur_d2.inf -compat -dont_create_virtual install",
};
} // namespace pasur

namespace dravo {
const command_slot family_base_table[base_slot_count] = {
    "wdreg -inf cdc_enum_dravo_m.inf -compat install",
    "wdreg -inf cdc_enum_dravo_m_x.inf -compat install",
    "wdreg -inf cdc_enum_dravo_m_s.inf -compat install",
    "wdreg -inf cdc_enum_dravo_m_s_x.inf -compat install",
};

const command_slot family_config_table[config_slot_count] = {
    // d0
    "wdreg -inf cdc_enum_dravo_d0.inf -compat install",
    "wdreg -inf cdc_enum_dravo_d0_s.inf -compat install",
    "wdreg -inf cdcacm_modem_dravo_d0.inf -compat -dont_create_virtual install",
    "wdreg -inf cdc_acm_obex_dravo_d0.inf -compat -dont_create_virtual install",
    // d1
    "wdreg -inf cdc_enum_dravo_d1.inf -compat install",
    "wdreg -inf cdc_enum_dravo_d1_s.inf -compat install",
    "wdreg -inf cdcacm_modem_dravo_d1.inf -compat -dont_create_virtual install",
    "wdreg -inf cdc_acm_obex_dravo_d1.inf -compat -dont_create_virtual install",
    // d2
    "wdreg -inf cdc_enum_dravo_d2.inf -compat install",
    "wdreg -inf cdc_enum_dravo_d2_s.inf -compat install",
    "wdreg -inf cdcacm_modem_dravo_d2.inf -compat -dont_create_virtual install",
    "wdreg -inf cdc_acm_obex_dravo_d2.inf -compat -dont_create_virtual install",
};
} // namespace dravo

namespace nuvek {
const command_slot family_base_table[base_slot_count] = {
    "wdreg -inf cdc_enum_nuvek_m.inf -compat install",
    "wdreg -inf cdc_enum_nuvek_m_x.inf -compat install",
    "wdreg -inf cdc_enum_nuvek_m_s.inf -compat install",
    "wdreg -inf cdc_enum_nuvek_m_s_x.inf -compat install",
};

const command_slot family_config_table[config_slot_count] = {
    // d0
    "wdreg -inf cdc_enum_nuvek_d0.inf -compat install",
    "wdreg -inf cdc_enum_nuvek_d0_s.inf -compat install",
    "wdreg -inf cdcacm_modem_nuvek_d0.inf -compat -dont_create_virtual install",
    "wdreg -inf cdc_acm_obex_nuvek_d0.inf -compat -dont_create_virtual install",
    // d1
    "wdreg -inf cdc_enum_nuvek_d1.inf -compat install",
    "wdreg -inf cdc_enum_nuvek_d1_s.inf -compat install",
    "wdreg -inf cdcacm_modem_nuvek_d1.inf -compat -dont_create_virtual install",
    "wdreg -inf cdc_acm_obex_nuvek_d1.inf -compat -dont_create_virtual install",
    // d2
    "wdreg -inf cdc_enum_nuvek_d2.inf -compat install",
    "wdreg -inf cdc_enum_nuvek_d2_s.inf -compat install",
    "wdreg -inf cdcacm_modem_nuvek_d2.inf -compat -dont_create_virtual install",
    "wdreg -inf cdc_acm_obex_nuvek_d2.inf -compat -dont_create_virtual install",
};
} // namespace nuvek

struct family_tables {
    const command_slot (*family_base_table)[base_slot_count];
    const command_slot (*family_config_table)[config_slot_count];
};

// In the order of the product table: family f is products 4f to 4f+3.
const family_tables families[family_count] = {
    {&orvo::family_base_table, &orvo::family_config_table},
    {&kelmi::family_base_table, &kelmi::family_config_table},
    {&pasur::family_base_table, &pasur::family_config_table},
    {&dravo::family_base_table, &dravo::family_config_table},
    {&nuvek::family_base_table, &nuvek::family_config_table},
};

} // namespace

const char *base_command(unsigned family, std::uint8_t selsusp_mode, std::uint8_t xcontrol_mode) {
    // Selective suspend counts 2 and external control 1, so the four mode
    // combinations address four different slots.
    const unsigned slot = unsigned{selsusp_mode} + unsigned{xcontrol_mode};
    if (family >= family_count || slot >= base_slot_count) {
        return nullptr;
    }
    return (*families[family].family_base_table)[slot];
}

const char *config_command(unsigned family, unsigned variant, unsigned slot) {
    if (family >= family_count || variant >= config_group_count || slot >= config_slots_per_group) {
        return nullptr;
    }
    return (*families[family].family_config_table)[variant * config_slots_per_group + slot];
}

const char *config_enum_command(unsigned family, unsigned variant, std::uint8_t selsusp_mode) {
    return config_command(family, variant,
                          selsusp_mode != 0 ? config_slot_enum_selsusp : config_slot_enum);
}
