#include "policy/install.h"

#include "exec/commands.h"
#include "shared/modes.h"
#include "platform/win32.h"

#include <cstdio>

const std::uint32_t product_table[product_count] = {
    0xE120, 0xE121, 0xE12C, 0xE10C, // orvo
    0xE220, 0xE221, 0xE22C, 0xE20C, // kelmi
    0xE320, 0xE321, 0xE32C, 0xE30C, // pasur
    0xE420, 0xE421, 0xE42C, 0xE40C, // dravo
    0xE520, 0xE521, 0xE52C, 0xE50C, // nuvek
};

char trace_buffer[trace_buffer_size];

static_assert(product_count == std::size_t{family_count} * variants_per_family);
static_assert(trace_buffer_size >= command_slot_size + 1, "slot text, line feed and NUL");

void trace_line(const char *text) {
    crt_snprintf(trace_buffer, sizeof trace_buffer, "%s\n", text);
    OutputDebugStringA(trace_buffer);
}

namespace {

// The pause family 0 needs after its base package and after each later package.
constexpr DWORD orvo_settle_ms = 3000;

// A lookup that found no slot leaves nothing to trace or run.
void trace_command(const char *command) {
    if (command != nullptr) {
        trace_line(command);
    }
}

void run_slot(const char *command) {
    if (command != nullptr) {
        run_command(command);
    }
}

// Index of `product` in product_table, or product_count when it is not there.
std::size_t find_product(std::uint16_t product) {
    std::size_t i = 0;
    while (i < product_count && product_table[i] != std::uint32_t{product}) {
        ++i;
    }
    return i;
}

// Family 0 installs the enumerator before tracing the base package, and lets
// each of the last three packages settle for 3 seconds.
void install_orvo(unsigned variant, std::uint8_t selsusp_mode, std::uint8_t xcontrol_mode) {
    const unsigned family = 0;
    run_slot(config_enum_command(family, variant, selsusp_mode));
    const char *base = base_command(family, selsusp_mode, xcontrol_mode);
    trace_command(base);
    run_slot(base);
    Sleep(orvo_settle_ms);
    for (unsigned slot = config_slot_modem; slot <= config_slot_obex; ++slot) {
        const char *command = config_command(family, variant, slot);
        trace_command(command);
        run_slot(command);
        Sleep(orvo_settle_ms);
    }
    if (xcontrol_mode != 0) {
        run_command(ext_ctrl_install_command);
    }
}

// Families 1 to 4 trace the base package first and do not wait; family 1 also
// announces the external-control package.
void install_other(unsigned family, unsigned variant, std::uint8_t selsusp_mode,
                   std::uint8_t xcontrol_mode) {
    const char *base = base_command(family, selsusp_mode, xcontrol_mode);
    trace_command(base);
    run_slot(config_enum_command(family, variant, selsusp_mode));
    run_slot(base);
    for (unsigned slot = config_slot_modem; slot <= config_slot_obex; ++slot) {
        const char *command = config_command(family, variant, slot);
        trace_command(command);
        run_slot(command);
    }
    if (xcontrol_mode != 0) {
        if (family == 1) {
            OutputDebugStringA(ext_ctrl_install_trace);
        }
        run_command(ext_ctrl_install_command);
    }
}

} // namespace

bool handle_download_device(const port_connection *connection) {
    if (connection == nullptr || connection_vendor(connection) != handled_vendor_id ||
        connection_product(connection) != download_product_id) {
        return false;
    }
    run_command(vcp_install_command);
    bVcp_done = 1;
    return true;
}

void install_for_port(const port_connection *connection, std::uint8_t selsusp_mode,
                      std::uint8_t xcontrol_mode) {
    if (connection == nullptr || connection_vendor(connection) != handled_vendor_id) {
        return;
    }
    const std::size_t index = find_product(connection_product(connection));
    if (index >= product_count) {
        return;
    }
    // Only now is the index known to name a product: family and variant stay
    // inside their tables from here on.
    const unsigned family = static_cast<unsigned>(index / variants_per_family);
    const unsigned variant = static_cast<unsigned>(index % variants_per_family);
    if (variant == mtp_only_variant) {
        run_command(mtp_install_command);
        return;
    }
    if (bUpdate_mode != 0) {
        remove_cdc_drivers();
    }
    if (family == 0) {
        install_orvo(variant, selsusp_mode, xcontrol_mode);
    } else {
        install_other(family, variant, selsusp_mode, xcontrol_mode);
    }
    if (variant == 2) {
        run_command(mtp_install_command);
    }
}
