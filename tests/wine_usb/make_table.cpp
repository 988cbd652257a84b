// Turns a machine description into the table the USB stand-in driver answers
// from. The description is read and checked by the emulated machine's own loader,
// so a faulty one is refused with the very line the tool would print. What the
// driver cannot honour under Wine is refused with one line too; for a rehearsal
// (--rehearsal), what Wine shows otherwise is only said, each in one line, and
// the version is left to the program's name.
//
// usage: make_table [--rehearsal] DESCRIPTION TABLE
#include "platform/emu/emu.h"
#include "platform/emu/state.h"
#include "wine_usb/standin.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <map>
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

// The Win32 errors a planted failure may name, and the status that makes Wine
// report each of them.
std::uint32_t status_for(std::uint32_t error) {
    static const std::map<std::uint32_t, std::uint32_t> statuses = {
        {1, 0xC0000010u},  {2, 0xC0000034u},  {5, 0xC0000022u},   {8, 0xC0000017u},
        {31, 0xC0000001u}, {87, 0xC000000Du}, {122, 0xC0000023u}, {1167, 0xC000009Du},
    };
    const auto it = statuses.find(error);
    if (it == statuses.end()) {
        refuse("error " + std::to_string(error) +
               " has no status the driver can complete with (1, 2, 5, 8, 31, 87, 122, 1167)");
    }
    return it->second;
}

class table_writer {
  public:
    // rehearsal_of: the description's name, for a rehearsal; nullptr for a comparison.
    table_writer(const emu::machine &m, const char *rehearsal_of)
        : base_(m), rehearsal_of_(rehearsal_of) {}

    std::vector<std::uint8_t> build() {
        check_machine();
        std::vector<emu::machine> states = topology_states();
        add_devices(states);
        for (const emu::machine &s : states) {
            add_state(s);
        }
        for (const emu::fault &f : base_.faults) {
            add_fault(f);
        }
        return assemble(states.size());
    }

  private:
    // What Wine shows otherwise: refused for a comparison, said for a rehearsal.
    void unshown(const std::string &what) {
        if (rehearsal_of_ == nullptr) {
            refuse(what);
        }
        std::fprintf(stderr, "make_table: %s: under Wine: %s\n", rehearsal_of_,
                     what.substr(0, what.find("; ")).c_str());
    }

    void check_machine() {
        if (base_.major != 5 && rehearsal_of_ == nullptr) {
            refuse("os_version: the prefix shows Windows XP (5.x) to the tool");
        }
        if (base_.largest_block != emu::machine{}.largest_block) {
            unshown("largest_block: allocations cannot be limited under Wine");
        }
        bool tree_as_wine = false;
        for (const emu::fault &f : base_.faults) {
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
            }
        }
        if (!tree_as_wine) {
            unshown("faults: Wine's device tree answers CM_Locate_DevNodeA with 0x13; state it "
                    "with {\"function\": \"CM_Locate_DevNodeA\", \"nth\": 0, \"error\": 19}");
        }
        // Listed by interface, a controller is one of the stand-in's root devices,
        // in order; the emulation makes the path the tool opens from its device_id,
        // or takes it as stated.
        int slots = 0;
        for (const emu::controller_desc &c : base_.controllers) {
            char id[32];
            std::snprintf(id, sizeof id, "ROOT\\QUORVEX_HC\\%04d", slots);
            std::string path = "\\\\?\\" + lower(id) + "#{3abf6f2d-71c4-462a-8a92-1e6861e6af27}";
            std::replace(path.begin() + 4, path.end(), '\\', '#');
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

    // State 0, then one state per step. Changes made by one trigger value form one
    // step; the steps follow the trigger's order, as the emulation applies them.
    std::vector<emu::machine> topology_states() {
        std::vector<const emu::change_desc *> order;
        for (const emu::change_desc &c : base_.changes) {
            order.push_back(&c);
        }
        for (const emu::change_desc *c : order) {
            if (c->at_open_device != order.front()->at_open_device) {
                refuse("changes: all changes must count the opens of one device, or all use "
                       "at_ms, so that their order is the same on both sides");
            }
        }
        std::stable_sort(order.begin(), order.end(), [](const auto *a, const auto *b) {
            return a->at_open_device.empty() ? a->at_ms < b->at_ms
                                             : a->at_open_nth < b->at_open_nth;
        });
        std::vector<emu::machine> states{base_};
        for (std::size_t i = 0; i < order.size(); ++i) {
            const emu::change_desc &c = *order[i];
            const std::uint32_t value =
                c.at_open_device.empty() ? static_cast<std::uint32_t>(c.at_ms) : c.at_open_nth;
            if (c.at_open_device.empty() && c.at_ms > 0xFFFFFFFFu) {
                refuse("changes: at_ms beyond 32 bits");
            }
            if (i == 0 || value != steps_.back().value) {
                states.push_back(states.back());
                steps_.push_back(
                    {c.at_open_device.empty() ? QVX_AT_MS : QVX_AT_OPEN, QVX_NONE, value});
                step_devices_.push_back(c.at_open_device);
            }
            emu::machine &m = states.back();
            if (emu::hub_desc *h = emu::hub_for_path(m, c.controller, c.port_path)) {
                emu::replace_port(*h, c.port_path.back(), c.port);
            }
        }
        return states;
    }

    void name_hubs(const emu::hub_desc &h) {
        const std::string key = lower(h.name);
        if (h.name.find_first_of("\\/") != std::string::npos ||
            std::any_of(h.name.begin(), h.name.end(),
                        [](char c) { return static_cast<unsigned char>(c) >= 0x80 || c < 0x20; })) {
            refuse("hub \"" + h.name +
                   "\": a driver's link name takes printable ASCII without "
                   "slashes");
        }
        if (hub_index_.count(key) == 0) {
            hub_index_[key] = static_cast<std::uint32_t>(devices_.size());
            qvx_device d{QVX_HUB, -1, -1, QVX_NONE, QVX_NONE, text(h.name)};
            devices_.push_back(d);
        }
        for (const emu::port_desc &p : h.ports) {
            for (const emu::hub_desc &inner : p.hub) {
                name_hubs(inner);
            }
        }
    }

    void add_devices(const std::vector<emu::machine> &states) {
        int slot = 0;
        for (const emu::controller_desc &c : base_.controllers) {
            qvx_device d{QVX_CONTROLLER,
                         c.number ? *c.number : -1,
                         c.interface ? slot++ : -1,
                         text(c.driver_key),
                         QVX_NONE,
                         QVX_NONE};
            devices_.push_back(d);
        }
        for (const emu::machine &s : states) {
            for (const emu::controller_desc &c : s.controllers) {
                name_hubs(c.root_hub);
            }
        }
        for (std::size_t i = 0; i < base_.controllers.size(); ++i) {
            devices_[i].root_hub = hub_index_.at(lower(base_.controllers[i].root_hub.name));
        }
        if (devices_.size() > QVX_MAX_DEVICES) {
            refuse("more than " + std::to_string(QVX_MAX_DEVICES) + " controllers and hubs");
        }
        for (std::size_t i = 0; i < steps_.size(); ++i) {
            if (steps_[i].kind == QVX_AT_OPEN) {
                steps_[i].device = device_for_path(step_devices_[i], "changes: at_open.device");
            }
        }
    }

    // A device path as the tool opens it: \\.\HCD<n> or \\.\<hub name>.
    std::uint32_t device_for_path(const std::string &path, const std::string &place) {
        const std::string key = lower(path);
        if (key.rfind("\\\\.\\", 0) == 0) {
            const std::string name = key.substr(4);
            for (std::size_t i = 0; i < base_.controllers.size(); ++i) {
                const auto &number = base_.controllers[i].number;
                if (number && name == "hcd" + std::to_string(*number)) {
                    return static_cast<std::uint32_t>(i);
                }
            }
            const auto it = hub_index_.find(name);
            if (it != hub_index_.end()) {
                return it->second;
            }
        }
        refuse(place + ": \"" + path +
               "\" is no numbered controller or hub of the machine (interface paths differ "
               "under Wine)");
    }

    void add_state(const emu::machine &s) {
        std::vector<qvx_hub_state> hubs(devices_.size(), qvx_hub_state{0, 0, 0, 0});
        for (const emu::controller_desc &c : s.controllers) {
            add_hub(c.root_hub, hubs);
        }
        hub_states_.insert(hub_states_.end(), hubs.begin(), hubs.end());
    }

    void add_hub(const emu::hub_desc &h, std::vector<qvx_hub_state> &hubs) {
        qvx_hub_state &state = hubs[hub_index_.at(lower(h.name))];
        if (state.present != 0) {
            return; // the first hub of a name answers to it
        }
        state = {1, h.port_count, static_cast<std::uint32_t>(ports_.size()),
                 static_cast<std::uint32_t>(h.ports.size())};
        for (const emu::port_desc &p : h.ports) {
            qvx_port r{};
            r.port = p.port;
            r.status = p.status;
            r.vid = p.vid;
            r.pid = p.pid;
            r.speed = p.speed;
            r.legacy_only = p.legacy_only ? 1 : 0;
            r.device_is_hub = p.device_is_hub ? 1 : 0;
            r.driver_key = p.driver_key ? text(*p.driver_key) : QVX_NONE;
            r.hub_name = p.hub.empty() ? QVX_NONE : text(p.hub.front().name);
            ports_.push_back(r);
        }
        for (const emu::port_desc &p : h.ports) {
            for (const emu::hub_desc &inner : p.hub) {
                add_hub(inner, hubs);
            }
        }
    }

    void add_fault(const emu::fault &f) {
        if (f.function != "DeviceIoControl") {
            return; // the device-tree answer Wine gives anyway
        }
        qvx_fault r{};
        r.function = QVX_DEVICE_IO_CONTROL;
        r.ioctl = f.ioctl;
        r.port = f.port;
        r.nth = f.nth;
        r.device = f.device.empty() ? QVX_NONE : device_for_path(f.device, "faults: device");
        r.action = f.action == emu::fault::fail            ? QVX_FAIL
                   : f.action == emu::fault::actual_length ? QVX_ACTUAL_LENGTH
                                                           : QVX_RAW_REPLY;
        if (r.action == QVX_FAIL) {
            r.status = status_for(f.error);
        }
        r.length = f.length;
        if (r.action == QVX_RAW_REPLY) {
            r.reply = static_cast<std::uint32_t>(pool_.size());
            r.reply_length = static_cast<std::uint32_t>(f.bytes.size());
            pool_.insert(pool_.end(), f.bytes.begin(), f.bytes.end());
            align_pool();
        }
        faults_.push_back(r);
    }

    // A name in the pool as the USB stack answers it: UTF-16LE with a terminator.
    std::uint32_t text(const std::string &utf8) {
        const auto offset = static_cast<std::uint32_t>(pool_.size());
        for (char16_t unit : emu::utf8_to_utf16(utf8)) {
            pool_.push_back(static_cast<std::uint8_t>(unit));
            pool_.push_back(static_cast<std::uint8_t>(unit >> 8));
        }
        pool_.push_back(0);
        pool_.push_back(0);
        return offset;
    }

    void align_pool() {
        while (pool_.size() % 2 != 0) {
            pool_.push_back(0);
        }
    }

    template <typename T> static void put(std::vector<std::uint8_t> &out, const std::vector<T> &v) {
        const auto *bytes = reinterpret_cast<const std::uint8_t *>(v.data());
        out.insert(out.end(), bytes, bytes + v.size() * sizeof(T));
    }

    std::vector<std::uint8_t> assemble(std::size_t state_count) {
        qvx_header h{};
        h.magic = QVX_MAGIC;
        h.device_count = static_cast<std::uint32_t>(devices_.size());
        h.state_count = static_cast<std::uint32_t>(state_count);
        h.port_count = static_cast<std::uint32_t>(ports_.size());
        h.fault_count = static_cast<std::uint32_t>(faults_.size());
        h.pool_size = static_cast<std::uint32_t>(pool_.size());
        std::vector<std::uint8_t> out(sizeof h);
        put(out, devices_);
        put(out, steps_);
        put(out, hub_states_);
        put(out, ports_);
        put(out, faults_);
        put(out, pool_);
        if (out.size() > QVX_MAX_TABLE) {
            refuse("the table would exceed " + std::to_string(QVX_MAX_TABLE) + " bytes");
        }
        h.size = static_cast<std::uint32_t>(out.size());
        std::copy_n(reinterpret_cast<const std::uint8_t *>(&h), sizeof h, out.begin());
        return out;
    }

    const emu::machine &base_;
    const char *rehearsal_of_;
    std::vector<qvx_device> devices_;
    std::map<std::string, std::uint32_t> hub_index_;
    std::vector<qvx_step> steps_;
    std::vector<std::string> step_devices_;
    std::vector<qvx_hub_state> hub_states_;
    std::vector<qvx_port> ports_;
    std::vector<qvx_fault> faults_;
    std::vector<std::uint8_t> pool_;
};

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
        const std::vector<std::uint8_t> table =
            table_writer(m, rehearsal ? argv[1] : nullptr).build();
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
