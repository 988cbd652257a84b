// The report's words for what the capture read.
#include "capture/report/value_texts.h"

#include "platform/description/keys.h"
#include "policy/install.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <iterator>

namespace {

const char *const family_codes[] = {"orvo", "kelmi", "pasur", "dravo", "nuvek"};
static_assert(std::size(family_codes) == family_count);

constexpr std::uint32_t dn_started = 0x8;
constexpr std::uint32_t dn_has_problem = 0x400;

// USB_CONNECTION_STATUS, by value, with what it means at the PC and what to do.
struct status_row {
    const char *name;
    status_advice advice;
};
constexpr status_row status_rows[] = {
    {"NoDeviceConnected", {"no device", ""}},
    {"DeviceConnected", {"connected", ""}},
    {"DeviceFailedEnumeration", {"Windows could not read the device", "another cable or port"}},
    {"DeviceGeneralFailure", {"the device failed on this port", "another cable or port"}},
    {"DeviceCausedOvercurrent",
     {"the device drew too much current, and the port was switched off",
      "unplug it; another cable, or a hub with its own power supply"}},
    {"DeviceNotEnoughPower",
     {"not enough power on this hub port",
      "use a port of the PC or a hub with its own power supply"}},
    {"DeviceNotEnoughBandwidth",
     {"not enough bandwidth left on this controller",
      "unplug other devices on it, or use another port of the PC"}},
    {"DeviceHubNestedTooDeeply",
     {"too many hubs between the device and the PC", "plug it in nearer the PC"}},
    {"DeviceInLegacyHub",
     {"a high-speed device on a USB 1.1 hub", "a port of the PC, or a USB 2.0 hub"}},
    {"DeviceEnumerating",
     {"Windows was still setting the device up", "wait a moment and capture again"}},
    {"DeviceReset", {"the device was being reset", "wait a moment and capture again"}},
};

// The common CM_PROB_ codes, in Device Manager's words.
struct problem_row {
    std::uint32_t code;
    const char *words;
};
constexpr problem_row problem_rows[] = {
    {1, "not configured"},
    {3, "out of memory"},
    {10, "the device cannot start"},
    {12, "not enough free resources"},
    {14, "Windows must be restarted"},
    {18, "its drivers must be reinstalled"},
    {19, "its registry entry is damaged"},
    {21, "Windows is removing it"},
    {22, "disabled"},
    {24, "not present, or not working"},
    {28, "no driver installed"},
    {29, "disabled by the firmware"},
    {31, "Windows cannot load its driver"},
    {32, "its driver service is disabled"},
    {37, "its driver failed to initialise"},
    {39, "its driver is missing or damaged"},
    {43, "Windows stopped it: it reported problems"},
    {45, "not connected now"},
    {47, "prepared for safe removal"},
    {48, "its driver is blocked"},
    {52, "its driver is not signed"},
};

// Windows errors a failed call of the scan gives, in words.
struct error_row {
    std::uint32_t code;
    const char *words;
};
constexpr error_row error_rows[] = {
    {1, "not a request the device takes"},
    {2, "not found"},
    {5, "access denied"},
    {8, "not enough memory"},
    {21, "the device is not ready"},
    {31, "the device is not working"},
    {87, "a parameter Windows does not take"},
    {122, "the buffer is too small"},
    {1167, "the device is not connected"},
};

const char *variant_name(std::size_t variant) {
    static const char *const names[] = {"d0", "d1", "d2", "MTP only"};
    return names[variant];
}

} // namespace

void line(std::string &out, const char *format, ...) {
    char text[1024];
    va_list args;
    va_start(args, format);
    // The analyzer loses va_start on some callers' paths; args is started above.
    // NOLINTNEXTLINE(clang-analyzer-valist.Uninitialized)
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    out += text;
    out += '\n';
}

std::string status_text(std::uint32_t status) {
    const std::string name =
        status < std::size(status_rows) ? status_rows[status].name : "an unknown connection status";
    return name + " (status " + std::to_string(status) + ")";
}

status_advice connection_advice(std::uint32_t status, bool descriptor_missing) {
    if (status == 1 && descriptor_missing) {
        return {"Windows could not read the device's descriptor", "another cable or port"};
    }
    if (status < std::size(status_rows)) {
        return status_rows[status].advice;
    }
    return {"Windows reports an unknown connection status", "another cable or port"};
}

std::string error_text(std::uint32_t error) {
    std::string text = "error " + std::to_string(error);
    for (const error_row &e : error_rows) {
        if (e.code == error) {
            text += std::string(" (") + e.words + ")";
        }
    }
    return text;
}

const char *speed_name(std::uint8_t speed) {
    static const char *const names[] = {"low speed", "full speed", "high speed"};
    return speed < std::size(names) ? names[speed] : "super speed";
}

std::string pause_text(std::uint32_t ms) {
    return ms % 1000 == 0 ? std::to_string(ms / 1000) + " s" : std::to_string(ms) + " ms";
}

std::string seconds_text(std::uint64_t ms) {
    char text[32];
    std::snprintf(text, sizeof text, "%llu.%02llu s", static_cast<unsigned long long>(ms / 1000),
                  static_cast<unsigned long long>(ms % 1000 / 10));
    return text;
}

std::string duration_text(std::uint64_t ms) {
    const std::uint64_t hours = (ms + 1800000) / 3600000;
    if (hours < 48) {
        return std::to_string(hours) + (hours == 1 ? " hour" : " hours");
    }
    return std::to_string((hours + 12) / 24) + " days";
}

std::string times_text(std::size_t n) {
    return n == 1 ? "once" : n == 2 ? "twice" : std::to_string(n) + " times";
}

bool is_ours(const desc::port_desc &p) {
    return p.vid == handled_vendor_id && p.status != 0;
}

bool known_product(const desc::port_desc &p) {
    return p.pid == download_product_id ||
           std::find(std::begin(product_table), std::end(product_table), p.pid) !=
               std::end(product_table);
}

bool installs_for(const desc::port_desc &p) {
    return is_ours(p) && known_product(p) && p.pid != download_product_id;
}

std::string product_text(const desc::port_desc &p) {
    if (p.pid == download_product_id) {
        return "the download-mode device";
    }
    for (std::size_t i = 0; i < product_count; ++i) {
        if (product_table[i] == p.pid) {
            const std::size_t family = i / variants_per_family;
            const std::size_t variant = i % variants_per_family;
            return std::string(family_codes[family]) + " " + variant_name(variant) + " (family " +
                   std::to_string(family) + ", variant " + std::to_string(variant) + ")";
        }
    }
    return "a product quorvex does not know: nothing is installed for it";
}

std::string download_ids() {
    char ids[16];
    std::snprintf(ids, sizeof ids, "%04X:%04X", handled_vendor_id, download_product_id);
    return ids;
}

std::string device_text(const desc::port_desc &p) {
    char ids[16];
    std::snprintf(ids, sizeof ids, "%04X:%04X", p.vid, p.pid);
    if (!is_ours(p) || !known_product(p)) {
        return ids;
    }
    const std::string product = product_text(p);
    return std::string(ids) + ", " + product.substr(0, product.find(" ("));
}

dm_state device_manager(const desc::node_state &s, bool usb_device, bool has_driver_key) {
    dm_state d;
    if (s.status_error) {
        d.read = false;
        d.status_error = *s.status_error;
        return d;
    }
    const desc::keys::shown_state shown =
        desc::keys::shown(s, {.usb_device = usb_device, .has_driver_key = has_driver_key});
    d.started = (shown.status & dn_started) != 0;
    d.problem = (shown.status & dn_has_problem) != 0 ? shown.problem : 0;
    return d;
}

const char *problem_words(std::uint32_t problem) {
    for (const problem_row &w : problem_rows) {
        if (w.code == problem) {
            return w.words;
        }
    }
    return "see Device Manager";
}

std::string verdict_text(const desc::node_state &s, bool usb_device, bool has_driver_key) {
    const dm_state d = device_manager(s, usb_device, has_driver_key);
    if (!d.read) {
        char text[64];
        std::snprintf(text, sizeof text, "not read (%s answered 0x%X)",
                      qvm_call_name(QVM_GET_STATUS), static_cast<unsigned>(d.status_error));
        return text;
    }
    std::string text = d.started ? "started" : "not started";
    if (d.problem == 0) {
        text += ", no problem";
    } else {
        text += ", problem " + std::to_string(d.problem) + ": " + problem_words(d.problem);
    }
    if (s.service) {
        text += ", service " + *s.service;
    }
    return text;
}

std::vector<std::string> driver_text(const desc::node_state &s, bool has_driver_key) {
    const desc::driver_values &d = s.driver;
    if (s.software_key_error) {
        char text[64];
        std::snprintf(text, sizeof text, "driver: not read (%s answered 0x%X)",
                      qvm_call_name(QVM_OPEN_DEVNODE_KEY),
                      static_cast<unsigned>(*s.software_key_error));
        return {text};
    }
    if (!has_driver_key) {
        return {"driver: none"};
    }
    const std::optional<desc::value_error> &e = s.driver_value_error;
    const std::string answered =
        e ? std::string(qvm_call_name(QVM_QUERY_VALUE)) + " answered " + std::to_string(e->error)
          : "";
    if (d == desc::driver_values{}) {
        return {e ? "driver: not read (" + answered + " for " + e->name + ")"
                  : "driver: its software key is there, with none of its values"};
    }
    std::string first = "driver: " + d.inf_path.value_or("no INF named");
    first += d.inf_section ? " [" + *d.inf_section + "]" : "";
    first += d.driver_version ? ", version " + *d.driver_version : "";
    first += d.driver_date ? (d.driver_version ? " of " : ", of ") + *d.driver_date : "";
    first += d.provider_name ? ", provider " + *d.provider_name : "";
    std::vector<std::string> lines{first};
    if (d.matching_device_id || d.driver_desc) {
        lines.push_back((d.matching_device_id ? "for " + *d.matching_device_id : std::string()) +
                        (d.matching_device_id && d.driver_desc ? ": " : "") +
                        d.driver_desc.value_or(""));
    }
    if (e) { // the values after it were not read either
        lines.push_back("values from " + e->name + " on not read (" + answered + ")");
    }
    return lines;
}

std::string windows_name(std::uint32_t major, std::uint32_t minor, std::uint32_t build) {
    struct named {
        std::uint32_t major, minor;
        const char *name;
    };
    static constexpr named names[] = {
        {5, 0, "Windows 2000"},
        {5, 1, "Windows XP"},
        {5, 2, "Windows XP x64 or Server 2003"},
        {6, 0, "Windows Vista"},
        {6, 1, "Windows 7"},
        {6, 2, "Windows 8"},
        {6, 3, "Windows 8.1"},
        {10, 0, "Windows 10 or 11"},
    };
    const char *name = "Windows";
    for (const named &n : names) {
        if (n.major == major && n.minor == minor) {
            name = n.name;
        }
    }
    char text[96];
    std::snprintf(text, sizeof text, "%s (%u.%u, build %u)", name, static_cast<unsigned>(major),
                  static_cast<unsigned>(minor), static_cast<unsigned>(build));
    return text;
}
