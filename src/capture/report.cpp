// The report a person reads after a capture: the topology, the tool's own
// devices on it, the failure reports a pass shows, and what the argument's
// action would do there.
#include "capture/capture.h"

#include "policy/install.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>

namespace {

const char *const family_codes[] = {"orvo", "kelmi", "pasur", "dravo", "nuvek"};
static_assert(std::size(family_codes) == family_count);

// What each failure site of the scan means.
struct site_meaning {
    int site;
    const char *meaning;
};
constexpr site_meaning site_meanings[] = {
    {362, "the root hub name query failed"},
    {373, "no memory for the root hub name"},
    {389, "the root hub name could not be read"},
    {545, "the controller's driver key query failed"},
    {554, "the controller's driver key reply is too short"},
    {561, "no memory for the controller's driver key"},
    {578, "the controller's driver key could not be read"},
    {451, "a port's driver key query failed"},
    {460, "a port's driver key reply is too short"},
    {467, "no memory for a port's driver key"},
    {486, "a port's driver key could not be read"},
    {1058, "the external hub name query failed"},
    {1067, "the external hub name reply is too short"},
    {1074, "no memory for an external hub name"},
    {1092, "an external hub name could not be read"},
    {1920, "the controller has no driver key"},
    {1875, "the controller's device ID is not a full PCI ID"},
    {1889, "no device node gave the controller's device ID"},
    {1917, "the controller has no root hub name"},
    {1687, "no memory for a hub record"},
    {1696, "no memory for a hub's node information"},
    {1747, "a hub could not be opened"},
    {1766, "a hub's node information query failed"},
    {1317, "no memory for a port's connection record"},
    {1361, "both connection queries of a port failed"},
};

__attribute__((format(printf, 2, 3))) void line(std::string &out, const char *format, ...) {
    char text[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    out += text;
    out += '\n';
}

const char *speed_name(std::uint8_t speed) {
    static const char *const names[] = {"low speed", "full speed", "high speed"};
    return speed < std::size(names) ? names[speed] : "super speed";
}

// Whose device a port holds, in words; empty when it is none of the tool's.
std::string ours(const desc::port_desc &p) {
    if (p.vid != handled_vendor_id) {
        return "";
    }
    char text[96];
    if (p.pid == download_product_id) {
        return "ours: the download-mode device";
    }
    for (std::size_t i = 0; i < product_count; ++i) {
        if (product_table[i] == p.pid) {
            const std::size_t variant = i % variants_per_family;
            std::snprintf(text, sizeof text, "ours: family %zu (%s), variant %zu (%s)",
                          i / variants_per_family, family_codes[i / variants_per_family], variant,
                          variant == mtp_only_variant ? "MTP only"
                          : variant == 0              ? "d0"
                          : variant == 1              ? "d1"
                                                      : "d2");
            return text;
        }
    }
    return "vendor 7A31, but a product the tool does not know";
}

void hub_lines(std::string &out, const desc::hub_desc &h, int depth, std::vector<std::string> &own);

void port_line(std::string &out, const desc::port_desc &p, int depth,
               std::vector<std::string> &own) {
    const std::string indent(static_cast<std::size_t>(2 * depth), ' ');
    const std::string whose = ours(p);
    std::string text = indent + "port " + std::to_string(p.port) + ": ";
    char ids[64];
    std::snprintf(ids, sizeof ids, "%04X:%04X, %s", p.vid, p.pid, speed_name(p.speed));
    text += p.status == 0 ? "no device" : ids;
    if (p.status > 1) {
        text += ", connection status " + std::to_string(p.status);
    }
    if (p.legacy_only) {
        text += ", older query only";
    }
    if (!whose.empty() && p.status != 0) {
        text += ": " + whose;
        own.push_back(std::string(ids, 9) + " " + whose);
    }
    out += text + "\n";
    for (const desc::hub_desc &inner : p.hub) {
        hub_lines(out, inner, depth + 1, own);
    }
}

void hub_lines(std::string &out, const desc::hub_desc &h, int depth,
               std::vector<std::string> &own) {
    const std::string indent(static_cast<std::size_t>(2 * depth), ' ');
    out += indent + (depth == 1 ? "root hub " : "hub ") + h.name + ", " +
           std::to_string(h.port_count) + " ports\n";
    for (const desc::port_desc &p : h.ports) {
        port_line(out, p, depth + 1, own);
    }
}

void topology_lines(std::string &out, const desc::machine &m, std::vector<std::string> &own) {
    line(out, "USB topology:");
    if (m.controllers.empty()) {
        line(out, "  no host controller answered");
    }
    for (const desc::controller_desc &c : m.controllers) {
        std::string names;
        if (c.number) {
            names = "\\\\.\\HCD" + std::to_string(*c.number);
        }
        if (c.interface) {
            names += (names.empty() ? "" : " and ") + c.interface_path.value_or("an interface");
        }
        line(out, "controller %s", names.c_str());
        line(out, "  driver key %s", c.driver_key.empty() ? "(none read)" : c.driver_key.c_str());
        line(out, "  device ID %s", c.device_id.empty() ? "(none found)" : c.device_id.c_str());
        hub_lines(out, c.root_hub, 1, own);
    }
}

const char *meaning_of(int site) {
    for (const site_meaning &s : site_meanings) {
        if (s.site == site) {
            return s.meaning;
        }
    }
    return "a failure of the scan";
}

// The platform call a failure report followed: the last one that failed, or the
// last one made.
std::string call_before(const std::vector<rec::call> &calls, std::size_t box) {
    const rec::call *last = nullptr;
    for (std::size_t i = box; i-- > 0;) {
        const rec::call &c = calls[i];
        if (std::strcmp(c.function, "MessageBoxA") == 0) {
            break;
        }
        if (last == nullptr || !c.ok) {
            last = &c;
        }
        if (!c.ok) {
            break;
        }
    }
    if (last == nullptr) {
        return "";
    }
    char text[256];
    const bool cm = std::strncmp(last->function, "CM_", 3) == 0;
    if (last->ok) {
        std::snprintf(text, sizeof text, "; the call before it, %s, answered", last->function);
    } else {
        std::snprintf(text, sizeof text, cm ? "; %s failed with 0x%X" : "; %s failed with error %u",
                      last->function, static_cast<unsigned>(last->error));
    }
    std::string out = text;
    if (!last->device.empty()) {
        out += " (" + last->device + ")";
    }
    return out;
}

void failure_lines(std::string &out, const std::vector<rec::call> &calls) {
    std::string lines;
    for (std::size_t i = 0; i < calls.size(); ++i) {
        if (std::strcmp(calls[i].function, "MessageBoxA") != 0) {
            continue;
        }
        const char *at = std::strstr(calls[i].text.c_str(), ", Line ");
        const int site = at != nullptr ? std::atoi(at + 7) : 0;
        lines += "  " + calls[i].text + ": " + meaning_of(site) + call_before(calls, i) + "\n";
    }
    line(out, "Failure reports a pass shows:%s", lines.empty() ? " none" : "");
    out += lines;
}

void action_lines(std::string &out, const capture_report &r) {
    line(out, "What quorvex %s does here, with at most one polling pass:", r.argument);
    std::size_t steps = 0;
    for (const rec::call &c : *r.action) {
        std::string text = c.text;
        if (!text.empty() && text.back() == '\n') {
            text.pop_back();
        }
        if (std::strcmp(c.function, "Sleep") == 0) {
            line(out, "  pause %u ms", static_cast<unsigned>(c.code));
        } else if (std::strcmp(c.function, "CreateProcessA") == 0) {
            line(out, "  run %s", text.c_str());
        } else if (std::strcmp(c.function, "OutputDebugStringA") == 0) {
            line(out, "  trace %s", text.c_str());
        } else if (std::strcmp(c.function, "MessageBoxA") == 0) {
            line(out, "  box %s", text.c_str());
        } else {
            continue;
        }
        ++steps;
    }
    if (steps == 0) {
        line(out, "  nothing");
    }
    if (r.action_scanned) {
        line(out, r.download_done
                      ? "  the download-mode device was installed: polling ends"
                      : "  no download-mode device: polling goes on with the next pass");
    }
}

} // namespace

std::string report_text(const capture_report &r) {
    std::string out;
    const desc::machine &m = *r.machine;
    line(out, "quorvex-capture: this PC's USB topology, as the tool's scan reads it, is in %s",
         r.file);
    line(out, "Windows version %u.%u, build %u", static_cast<unsigned>(m.major),
         static_cast<unsigned>(m.minor), static_cast<unsigned>(m.build));
    std::vector<std::string> own;
    topology_lines(out, m, own);
    line(out, "Devices of ours:%s", own.empty() ? " none" : "");
    for (const std::string &o : own) {
        line(out, "  %s", o.c_str());
    }
    failure_lines(out, *r.scan);
    if (r.argument != nullptr) {
        action_lines(out, r);
    }
    return out;
}
