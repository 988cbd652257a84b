// Turns a machine description into the machine model's table, which the USB
// stand-in driver answers from. The description is read and checked by the
// emulated machine's own loader, so a faulty one is refused with the very line
// the tool would print. What the driver cannot honour under Wine is refused with
// one line too; for a rehearsal (--rehearsal), what Wine shows otherwise is only
// said, each in one line, and the version is left to the program's name.
//
// usage: make_table [--rehearsal] DESCRIPTION TABLE
#include "platform/description/table.h"
#include "platform/emu/emu.h"
#include "platform/emu/state.h"
#include "wine_usb/standin.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

struct refusal {
    std::string what;
};

[[noreturn]] void refuse(const std::string &what) {
    throw refusal{what};
}

std::string lower(std::string text) {
    for (char &c : text) {
        c = c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
    }
    return text;
}

// What Wine shows otherwise: refused for a comparison, said for a rehearsal.
struct checker {
    const emu::machine &m;
    const char *rehearsal_of; // the description's name, for a rehearsal; nullptr for a comparison

    void unshown(const std::string &what) const {
        if (rehearsal_of == nullptr) {
            refuse(what);
        }
        std::fprintf(stderr, "make_table: %s: under Wine: %s\n", rehearsal_of,
                     what.substr(0, what.find("; ")).c_str());
    }

    void faults() const {
        bool tree_as_wine = false;
        for (const emu::fault &f : m.faults) {
            if (f.function == "CM_Locate_DevNodeA" && f.device.empty() && f.nth == 0 &&
                f.action == emu::fault::fail && f.error == 0x13) {
                tree_as_wine = true; // what Wine's device-tree stubs answer anyway
            } else if (f.function == "CreateFileA") {
                unshown("faults: Wine 8 completes an open before a driver sees it, so an open "
                        "cannot be made to fail; make the name the tool opens one that is not "
                        "there instead (a raw_reply to the name query)");
            } else if (f.function != "DeviceIoControl") {
                unshown("faults: a fault in " + f.function +
                        " never reaches a driver; only DeviceIoControl faults can be planted "
                        "under Wine");
            } else if (f.action == emu::fault::fail && qvx_status(f.error) == 0) {
                refuse(
                    "error " + std::to_string(f.error) +
                    " has no status the driver can complete with (1, 2, 5, 8, 31, 87, 122, 1167)");
            }
        }
        if (!tree_as_wine) {
            unshown("faults: Wine's device tree answers CM_Locate_DevNodeA with 0x13; state it "
                    "with {\"function\": \"CM_Locate_DevNodeA\", \"nth\": 0, \"error\": 19}");
        }
    }

    // Listed by interface, a controller is one of the stand-in's root devices, in
    // order; the emulation makes the path the tool opens from its device_id, or
    // takes it as stated.
    void controllers() const {
        int slots = 0;
        for (const emu::controller_desc &c : m.controllers) {
            char id[32];
            std::snprintf(id, sizeof id, "ROOT\\QUORVEX_HC\\%04d", slots);
            const std::string path = desc::interface_path_of(id);
            if (c.interface && slots++ == QVX_INTERFACE_SLOTS) {
                refuse("controllers: at most " + std::to_string(QVX_INTERFACE_SLOTS) +
                       " can be listed by interface");
            }
            if (c.interface && (c.interface_path ? lower(*c.interface_path) != path
                                                 : lower(c.device_id) != lower(id))) {
                unshown("controllers: listed by interface, a controller is one of the stand-in's "
                        "root devices, in order; state its device_id as " +
                        std::string(id) + " or its interface_path as " + path);
            }
        }
    }

    // A driver's link name takes printable ASCII without slashes.
    void hub_names(const emu::hub_desc &h) const {
        if (h.name.find_first_of("\\/") != std::string::npos ||
            std::any_of(h.name.begin(), h.name.end(),
                        [](char c) { return static_cast<unsigned char>(c) >= 0x80 || c < 0x20; })) {
            refuse("hub \"" + h.name +
                   "\": a driver's link name takes printable ASCII without "
                   "slashes");
        }
        for (const emu::port_desc &p : h.ports) {
            for (const emu::hub_desc &inner : p.hub) {
                hub_names(inner);
            }
        }
    }

    // Wine's clock is real: a time cannot be ordered against opens and calls as
    // the emulation's virtual one orders it. Only opens and control codes reach
    // the driver.
    void changes() const {
        for (const emu::change_desc &c : m.changes) {
            if ((c.at_open_device.empty() && c.at_call_function.empty()) !=
                (m.changes.front().at_open_device.empty() &&
                 m.changes.front().at_call_function.empty())) {
                refuse("changes: all changes must use at_ms, or none, so that their order is the "
                       "same on both sides");
            }
            if (!c.at_call_function.empty() && c.at_call_function != "DeviceIoControl" &&
                c.at_call_function != "CreateFileA") {
                refuse("changes: at_call: calls of " + c.at_call_function +
                       " never reach a driver");
            }
            for (const emu::hub_desc &h : c.port ? c.port->hub : std::vector<emu::hub_desc>{}) {
                hub_names(h);
            }
        }
    }

    void check() const {
        if (m.major != 5 && rehearsal_of == nullptr) {
            refuse("os_version: the prefix shows Windows XP (5.x) to the tool");
        }
        if (m.largest_block != emu::machine{}.largest_block) {
            unshown("largest_block: allocations cannot be limited under Wine");
        }
        faults();
        controllers();
        for (const emu::controller_desc &c : m.controllers) {
            hub_names(c.root_hub);
        }
        changes();
    }
};

std::vector<std::uint8_t> table_for(const emu::machine &m) {
    std::vector<std::uint8_t> table = desc::machine_table(m);
    qvm_view view;
    if (qvm_load(&view, table.data(), static_cast<std::uint32_t>(table.size())) != 0) {
        refuse("the machine model cannot take the table");
    }
    if (view.head->devices > QVX_MAX_DEVICES) {
        refuse("more than " + std::to_string(QVX_MAX_DEVICES) + " controllers and hubs");
    }
    if (table.size() > QVX_MAX_TABLE) {
        refuse("the table would exceed " + std::to_string(QVX_MAX_TABLE) + " bytes");
    }
    return table;
}

} // namespace

int main(int argc, char **argv) {
    const bool rehearsal = argc == 4 && std::string(argv[1]) == "--rehearsal";
    if (argc != 3 && !rehearsal) {
        std::fprintf(stderr, "usage: make_table [--rehearsal] DESCRIPTION TABLE\n");
        return 2;
    }
    argv += rehearsal ? 1 : 0;
    // The tool's own check and its own line for a faulty description.
    const std::string fault = emu::load_machine_file(argv[1]);
    if (!fault.empty()) {
        std::fprintf(stderr, "quorvex: machine description %s\n", fault.c_str());
        return 2;
    }
    std::ifstream in(argv[1], std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    emu::machine m;
    emu::parse_machine(text.str(), m);
    try {
        checker{m, rehearsal ? argv[1] : nullptr}.check();
        const std::vector<std::uint8_t> table = table_for(m);
        std::ofstream out(argv[2], std::ios::binary);
        out.write(reinterpret_cast<const char *>(table.data()),
                  static_cast<std::streamsize>(table.size()));
        if (!out.flush()) {
            std::fprintf(stderr, "make_table: cannot write %s\n", argv[2]);
            return 2;
        }
    } catch (const refusal &r) {
        std::fprintf(stderr, "make_table: %s: not for the Wine stand-in: %s\n", argv[1],
                     r.what.c_str());
        return 2;
    }
    return 0;
}
