// The JSON text of a test's machine, compiled once for all test programs: only
// the tests that patch a description by hand include the JSON library.
#include "machine_builder.h"

#include <nlohmann/json.hpp>

namespace testkit {

std::string hex(unsigned value, int digits) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%0*X", digits, value);
    return text;
}

// Keys with a value only: an unset field, an empty text or list, or a false flag
// writes nothing.
template <typename T> void put(nlohmann::json &j, const char *key, const std::optional<T> &value) {
    if (value) {
        j[key] = *value;
    }
}
template <typename T> void put(nlohmann::json &j, const char *key, const T &value) {
    if (!value.empty()) {
        j[key] = value;
    }
}
void put(nlohmann::json &j, const char *key, bool value) {
    if (value) {
        j[key] = true;
    }
}

void to_json(nlohmann::json &j, const port &p);

void to_json(nlohmann::json &j, const hub &h) {
    j = {{"name", h.name}, {"port_count", h.port_count}, {"ports", h.ports}};
}

void to_json(nlohmann::json &j, const port &p) {
    j = {{"vid", hex(p.vid, 4)}, {"pid", hex(p.pid, 4)}};
    if (p.number != 0) {
        j["port"] = p.number;
    }
    put(j, "status", p.status);
    put(j, "speed", p.speed);
    put(j, "legacy_query", p.legacy_query);
    put(j, "device_is_hub", p.device_is_hub);
    put(j, "driver_key", p.driver_key);
    put(j, "device_id", p.device_id);
    put(j, "description", p.description);
    put(j, "hub", p.hub);
}

void to_json(nlohmann::json &j, const controller &c) {
    j = {{"interface", c.interface}, {"driver_key", c.driver_key}, {"root_hub", c.root_hub}};
    put(j, "number", c.number);
    put(j, "device_id", c.device_id);
    put(j, "description", c.description);
}

void to_json(nlohmann::json &j, const change &c) {
    j = {{"controller", c.controller}, {"port_path", c.port_path}};
    if (c.at_open) {
        j["at_open"] = {{"device", c.at_open->device}, {"nth", c.at_open->nth}};
    } else {
        j["at_ms"] = c.at_ms;
    }
    j["port"] = c.port ? nlohmann::json(*c.port) : nlohmann::json(nullptr);
}

void to_json(nlohmann::json &j, const node &n) {
    j = {{"device_id", n.device_id}};
    put(j, "driver_key", n.driver_key);
    put(j, "description", n.description);
    put(j, "children", n.children);
}

void to_json(nlohmann::json &j, const fault &f) {
    j = {{"function", f.function}};
    if (f.ioctl) {
        j["ioctl"] = hex(*f.ioctl, 6);
    }
    put(j, "device", f.device);
    put(j, "controller", f.controller);
    put(j, "hub", f.hub);
    put(j, "program", f.program);
    put(j, "port", f.port);
    put(j, "size", f.size);
    put(j, "nth", f.nth);
    put(j, "error", f.error);
    put(j, "actual_length", f.actual_length);
    put(j, "raw_reply", f.raw_reply);
}

void to_json(nlohmann::json &j, const machine &m) {
    j = nlohmann::json::object();
    if (m.os_version) {
        j["os_version"] = {{"major", m.os_version->major}, {"minor", m.os_version->minor}};
    }
    put(j, "clock", m.clock);
    put(j, "processes", m.processes);
    put(j, "largest_block", m.largest_block);
    put(j, "controllers", m.controllers);
    put(j, "changes", m.changes);
    put(j, "nodes", m.nodes);
    put(j, "faults", m.faults);
}

std::string description(const machine &m) {
    return nlohmann::json(m).dump();
}

std::string patched(const machine &m,
                    std::initializer_list<std::pair<const char *, const char *>> changes) {
    nlohmann::json j = m;
    for (const auto &[pointer, value] : changes) {
        j[nlohmann::json::json_pointer(pointer)] = nlohmann::json::parse(value);
    }
    return j.dump();
}

} // namespace testkit
