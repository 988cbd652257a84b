// The JSON text of a test's machine, compiled once for all test programs: only
// the tests that patch a description by hand include the JSON library.
#include "machine_builder.h"
#include "platform/description/keys.h"

#include <nlohmann/json.hpp>

namespace testkit {
namespace {

using desc::keys::at;
using desc::keys::item;

void fill(hub &h, const std::string &place);

// A port's texts as the loader makes them of keys left out, and those of the
// ports below it; `place` is the port's place in the description.
void fill(port &p, const std::string &place) {
    if (!p.driver_key) {
        p.driver_key = desc::keys::default_port_driver_key(place);
    }
    if (p.device_id.empty()) {
        p.device_id = desc::keys::default_port_device_id(p.vid, p.pid, p.port);
    }
    if (p.description.empty()) {
        p.description = desc::keys::default_port_description;
    }
    for (hub &inner : p.hub) {
        fill(inner, at(place, "hub"));
    }
}

void fill(hub &h, const std::string &place) {
    for (std::size_t i = 0; i < h.ports.size(); ++i) {
        fill(h.ports[i], item(at(place, "ports"), i));
    }
}

} // namespace

std::string description(machine m) {
    for (std::size_t i = 0; i < m.controllers.size(); ++i) {
        controller &c = m.controllers[i];
        if (c.device_id.empty()) {
            c.device_id = desc::keys::default_controller_device_id;
        }
        if (c.description.empty()) {
            c.description = desc::keys::default_controller_description;
        }
        fill(c.root_hub, at(item("controllers", i), "root_hub"));
    }
    for (std::size_t i = 0; i < m.changes.size(); ++i) {
        if (m.changes[i].port) {
            fill(*m.changes[i].port, at(item("changes", i), "port"));
        }
    }
    return desc::write_description(m);
}

std::string patched(const machine &m,
                    std::initializer_list<std::pair<const char *, const char *>> changes) {
    nlohmann::json j = nlohmann::json::parse(description(m));
    for (const auto &[pointer, value] : changes) {
        j[nlohmann::json::json_pointer(pointer)] = nlohmann::json::parse(value);
    }
    return j.dump();
}

} // namespace testkit
