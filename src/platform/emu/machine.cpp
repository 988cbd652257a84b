// Reading a machine description (JSON) into the emulated machine's model.
// Strict: an unknown key, a wrong type or a value out of range is a fault that
// names its place, and nothing of a faulty description is used.
//
// The keys, their kinds of value and their rules are description/keys.h's, which
// the writer shares. Every object is walked through its kind's function there
// twice: once for the names of its keys (any other key is unknown) and the
// limits of its nesting, then to read its keys in that order.
#include "platform/description/keys.h"
#include "platform/emu/state.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <numeric>
#include <set>
#include <stdexcept>
#include <tuple>

namespace emu {
namespace {

using json = nlohmann::json;
namespace keys = desc::keys;
using keys::at, keys::item;

struct fault_at : std::runtime_error {
    using std::runtime_error::runtime_error;
};

[[noreturn]] void fail(const std::string &place, const std::string &what) {
    throw fault_at(place + ": " + what);
}

// Hands every item of an array to `read` with its place.
template <typename Read> void each_item(const json &j, const std::string &place, const Read &read) {
    if (!j.is_array()) {
        fail(place, "expected an array");
    }
    for (std::size_t i = 0; i < j.size(); ++i) {
        read(j[i], item(place, i));
    }
}

std::uint64_t whole(const json &j, const std::string &place, std::uint64_t lo, std::uint64_t hi) {
    if (!j.is_number_integer() || (!j.is_number_unsigned() && j.get<std::int64_t>() < 0) ||
        j.get<std::uint64_t>() < lo || j.get<std::uint64_t>() > hi) {
        fail(place,
             "expected a whole number from " + std::to_string(lo) + " to " + std::to_string(hi));
    }
    return j.get<std::uint64_t>();
}

std::string text(const json &j, const std::string &place, bool allow_empty = true) {
    if (!j.is_string()) {
        fail(place, "expected a string");
    }
    std::string s = j.get<std::string>();
    if (!allow_empty && s.empty()) {
        fail(place, "must not be empty");
    }
    if (s.find('\0') != std::string::npos) {
        fail(place, "must not contain a NUL character");
    }
    return s;
}

// A 16-bit ID: "0x7A31" or a number.
std::uint16_t id16(const json &j, const std::string &place) {
    if (j.is_number_integer()) {
        return static_cast<std::uint16_t>(whole(j, place, 0, 0xFFFF));
    }
    if (j.is_string()) {
        const std::string s = j.get<std::string>();
        if (s.size() > 2 && s.size() <= 6 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
            char *end = nullptr;
            const unsigned long v = std::strtoul(s.c_str() + 2, &end, 16);
            if (end != nullptr && *end == '\0' && s[2] != '-' && s[2] != '+' && s[2] != ' ') {
                return static_cast<std::uint16_t>(v);
            }
        }
    }
    fail(place, "expected a 16-bit ID such as \"0x7A31\"");
}

// A 32-bit number, or a string of hexadecimal digits after "0x".
std::uint32_t number32(const json &j, const std::string &place) {
    if (j.is_string()) {
        const std::string s = j.get<std::string>();
        if (s.size() > 2 && s.size() <= 10 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X') &&
            s.find_first_not_of("0123456789abcdefABCDEF", 2) == std::string::npos) {
            return static_cast<std::uint32_t>(std::strtoul(s.c_str() + 2, nullptr, 16));
        }
        fail(place, "expected a number or a hexadecimal string such as \"0x220420\"");
    }
    return static_cast<std::uint32_t>(whole(j, place, 0, 0xFFFFFFFFu));
}

// Bytes written as hexadecimal digit pairs; white space between pairs is ignored.
std::vector<std::uint8_t> hex_bytes(const json &j, const std::string &place) {
    const std::string s = text(j, place);
    std::vector<std::uint8_t> bytes;
    const auto digit = [](char c) {
        const int lowered = c | 0x20;
        return c >= '0' && c <= '9'               ? c - '0'
               : lowered >= 'a' && lowered <= 'f' ? lowered - 'a' + 10
                                                  : -1;
    };
    for (std::size_t i = 0; i < s.size();) {
        if (s[i] == ' ' || s[i] == '\t' || s[i] == '\n') {
            ++i;
            continue;
        }
        const int hi = digit(s[i]);
        const int lo = i + 1 < s.size() ? digit(s[i + 1]) : -1;
        if (hi < 0 || lo < 0) {
            fail(place, "expected pairs of hexadecimal digits, fault at character " +
                            std::to_string(i + 1));
        }
        bytes.push_back(static_cast<std::uint8_t>(hi * 16 + lo));
        i += 2;
    }
    if (bytes.size() > 65536) {
        fail(place, "a reply of more than 65536 bytes");
    }
    return bytes;
}

// A fault text fit for one line: control characters from the description
// (in a key or a name) are shown as \xNN.
std::string printable(const std::string &text) {
    std::string out;
    for (char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", byte);
            out += escaped;
        } else {
            out += c;
        }
    }
    return out;
}

// What a rule of keys.h is given: the object being read, and the place of the
// key read (or of the object).
struct rules {
    const json &j;
    const std::string &object, &here;

    bool has(std::string_view key) const {
        return j.contains(std::string(key));
    }
    [[noreturn]] void refuse(const std::string &words) const {
        fail(here, words);
    }
    [[noreturn]] void refuse_at(std::string_view key, const std::string &words) const {
        fail(at(object, key), words);
    }
};

// The `io` of keys.h that reads one object, and every kind of value it names.
// With `names` set it only lists the keys and checks the nesting.
class reader {
  public:
    reader(const json &j, const std::string &place, std::vector<std::string_view> *names)
        : j_(j), place_(place), names_(names) {}

    template <typename Visit>
    static void read_object(const json &j, const std::string &place, const Visit &visit) {
        std::vector<std::string_view> names;
        reader outline(j, place, &names);
        visit(outline);
        if (!j.is_object()) {
            fail(place, "expected an object");
        }
        for (const auto &entry : j.items()) {
            if (std::find(names.begin(), names.end(), entry.key()) == names.end()) {
                fail(at(place, entry.key()), "unknown key");
            }
        }
        reader in(j, place, nullptr);
        visit(in);
    }

    const std::string &place() const {
        return place_;
    }
    void nesting(bool ok, const char *words) const {
        if (names_ != nullptr && !ok) {
            fail(place_, words);
        }
    }
    template <typename Rule> void check(const Rule &rule) const {
        if (names_ == nullptr) {
            const rules r{j_, place_, place_};
            rule(r);
        }
    }
    template <typename T, typename Kind, typename Presence, typename Rule = keys::no_rule>
    void key(std::string_view name, T &member, const Kind &kind, const Presence &presence,
             const Rule &rule = {}) {
        if (names_ != nullptr) {
            names_->push_back(name);
            return;
        }
        const auto found = j_.find(std::string(name));
        if (found == j_.end()) {
            left_out(member, presence);
            return;
        }
        const std::string place = at(place_, name);
        read(*found, place, kind, member);
        const rules r{j_, place_, place};
        rule(r);
    }

  private:
    template <typename T> void left_out(T &, const keys::when &) const {}
    template <typename T> void left_out(T &, const keys::read_only &) const {}
    template <typename T> void left_out(T &, const keys::need &need) const {
        fail(place_, need.words);
    }
    template <typename T> void left_out(T &member, const keys::none_t &) const {
        member = T{};
    }
    template <typename T, typename V> void left_out(T &member, const V &fallback) const {
        member = fallback;
    }

    template <typename T, typename V> static void assign(T &member, V value) {
        member = static_cast<T>(value);
    }
    // The member an object is read into: a hub of a port, a node of its own.
    template <typename T> static T &fresh(T &member) {
        return member;
    }
    template <typename T> static T &fresh(std::vector<T> &member) {
        return member.emplace_back();
    }
    template <typename T> static T &fresh(std::optional<T> &member) {
        return member.emplace();
    }

    template <typename T>
    static void read(const json &j, const std::string &place, keys::whole k, T &m) {
        assign(m, whole(j, place, k.lo, k.hi));
    }
    template <typename T>
    static void read(const json &j, const std::string &place, keys::number32, T &m) {
        assign(m, number32(j, place));
    }
    static void read(const json &j, const std::string &place, keys::id16, std::uint16_t &m) {
        m = id16(j, place);
    }
    template <typename T>
    static void read(const json &j, const std::string &place, keys::text k, T &m) {
        const std::string s = text(j, place, k.empty);
        assign(m, k.lowered ? lower(s) : s);
    }
    static void read(const json &j, const std::string &place, keys::flag, bool &m) {
        if (!j.is_boolean()) {
            fail(place, "expected true or false");
        }
        m = j.get<bool>();
    }
    static void read(const json &j, const std::string &place, keys::speed, std::uint8_t &m) {
        for (std::size_t i = 0; i < std::size(keys::speed_names); ++i) {
            if (j.is_string() && j.get<std::string>() == keys::speed_names[i]) {
                m = static_cast<std::uint8_t>(i);
                return;
            }
        }
        fail(place, "expected \"low\", \"full\" or \"high\"");
    }
    static void read(const json &j, const std::string &place, keys::choice k, bool &m) {
        if (j != k.first && j != k.second) {
            fail(place, std::string("expected \"") + k.first + "\" or \"" + k.second + "\"");
        }
        m = j == k.yes;
    }
    static void read(const json &j, const std::string &place, keys::texts,
                     std::vector<std::string> &m) {
        each_item(j, place,
                  [&](const json &t, const std::string &tp) { m.push_back(text(t, tp, false)); });
    }
    static void read(const json &j, const std::string &place, keys::folder_groups,
                     std::vector<std::pair<std::string, std::vector<std::string>>> &m) {
        if (!j.is_object()) {
            fail(place, "expected an object: each folder with the groups that may write there");
        }
        for (const auto &entry : j.items()) {
            const std::string folder_place = at(place, entry.key());
            if (entry.key().empty()) {
                fail(folder_place, "a folder must not be empty");
            }
            auto &groups = m.emplace_back(entry.key(), std::vector<std::string>{}).second;
            read(entry.value(), folder_place, keys::texts{}, groups);
            for (const std::string &group : groups) {
                if (std::ranges::find(keys::writer_groups, group) ==
                    std::end(keys::writer_groups)) {
                    fail(folder_place, "\"" + group +
                                           "\" is not one of \"Everyone\", \"Authenticated "
                                           "Users\", \"Users\" and \"Interactive\"");
                }
            }
        }
    }
    static void read(const json &j, const std::string &place, keys::port_path,
                     std::vector<std::uint32_t> &m) {
        if (!j.is_array() || j.empty()) {
            fail(place, "expected a non-empty array of port numbers");
        }
        for (std::size_t k = 0; k < j.size(); ++k) {
            m.push_back(static_cast<std::uint32_t>(whole(j[k], item(place, k), 1, 255)));
        }
    }
    static void read(const json &j, const std::string &place, keys::stated_length, desc::fault &f) {
        f.action = desc::fault::actual_length;
        f.length = number32(j, place);
    }
    static void read(const json &j, const std::string &place, keys::reply, desc::fault &f) {
        f.action = desc::fault::raw_reply;
        f.bytes = hex_bytes(j, place);
    }
    static void read(const json &j, const std::string &place, keys::controller_path k,
                     std::string &m) {
        const auto number = static_cast<int>(whole(j, place, 0, 9));
        if (std::none_of(k.m.controllers.begin(), k.m.controllers.end(),
                         [&](const controller_desc &c) { return c.number == number; })) {
            fail(place, "no controller has the number " + std::to_string(number));
        }
        m = "\\\\.\\HCD" + std::to_string(number);
    }
    static void read(const json &j, const std::string &place, keys::hub_path k, std::string &m) {
        const std::string name = text(j, place, false);
        bool shown = false; // by a controller's hub now, or one a change brings
        desc::each_hub(k.m, [&](const hub_desc &h) { shown = shown || h.name == name; });
        if (!shown) {
            fail(place, "no hub of the machine has this name");
        }
        m = "\\\\.\\" + name;
    }
    template <typename Kind, typename T>
    static void read(const json &j, const std::string &place, const keys::nullable<Kind> &k,
                     std::optional<T> &m) {
        if (j.is_null()) {
            m.reset();
        } else {
            read(j, place, k.kind, m);
        }
    }
    template <typename Visit, typename T>
    static void read(const json &j, const std::string &place, const keys::object<Visit> &k, T &m) {
        auto &target = fresh(m);
        read_object(j, place, [&](reader &io) { k.visit(io, target); });
    }
    template <typename Visit, typename T>
    static void read(const json &j, const std::string &place, const keys::objects<Visit> &k,
                     std::vector<T> &m) {
        each_item(j, place, [&](const json &one, const std::string &one_place) {
            T &target = m.emplace_back();
            read_object(one, one_place, [&](reader &io) { k.visit(io, target); });
        });
    }
    // Checked against the largest hub; the hub it lands on is checked later.
    static void read(const json &j, const std::string &place, keys::change_port k,
                     std::optional<port_desc> &m) {
        const std::uint32_t number = k.path.back();
        json port = j;
        if (port.is_object() && !port.contains("port")) {
            port["port"] = number;
        }
        port_desc &p = m.emplace();
        read_object(port, place, [&](reader &io) { keys::port_keys(io, p, 0, nullptr); });
        if (p.port != number) {
            fail(at(place, "port"), "differs from the last number of port_path");
        }
    }

    const json &j_;
    const std::string &place_;
    std::vector<std::string_view> *names_;
};

// The port a change replaces: the hub that holds it, or null when the path
// leads nowhere.
hub_desc *hub_for_path(machine &m, std::size_t controller, const std::vector<std::uint32_t> &path) {
    if (controller >= m.controllers.size() || path.empty()) {
        return nullptr;
    }
    hub_desc *h = &m.controllers[controller].root_hub;
    for (std::size_t i = 0; i + 1 < path.size(); ++i) {
        hub_desc *next = nullptr;
        for (port_desc &p : h->ports) {
            if (p.port == path[i] && !p.hub.empty()) {
                next = &p.hub.front();
            }
        }
        if (next == nullptr) {
            return nullptr;
        }
        h = next;
    }
    return path.back() >= 1 && path.back() <= h->port_count ? h : nullptr;
}

// A hub lists a port once.
void replace_port(hub_desc &h, std::uint32_t number, const std::optional<port_desc> &port) {
    std::erase_if(h.ports, [&](const port_desc &p) { return p.port == number; });
    if (port) {
        h.ports.push_back(*port);
        h.ports.back().port = number;
    }
}

} // namespace

std::string parse_machine(const std::string &source, machine &out) {
    json j;
    try {
        j = json::parse(source);
    } catch (const json::exception &e) { // a syntax fault, or a number beyond every range
        std::string what = e.what();
        const auto close = what.find("] ");
        if (what.rfind("[json.exception", 0) == 0 && close != std::string::npos) {
            what = what.substr(close + 2);
        }
        return "(document): not valid JSON: " + printable(what);
    }
    try {
        machine m;
        reader::read_object(j, "", [&](reader &io) { keys::machine_keys(io, m); });
        out = std::move(m);
        return "";
    } catch (const fault_at &e) {
        return printable(e.what());
    } catch (const json::exception &e) {
        return std::string("(document): ") + printable(e.what());
    }
}

} // namespace emu

// Timed changes first, then those made by opens, then by calls, each in their
// own order.
std::pair<std::string, std::string> desc::keys::where_changes_fail(const machine &m) {
    machine replay = m;
    std::vector<std::size_t> order(replay.changes.size());
    std::iota(order.begin(), order.end(), std::size_t{0});
    const auto rank = [](const change_desc &c) {
        return std::make_tuple(!c.at_call_function.empty(), !c.at_open_device.empty(),
                               c.at_open_nth + c.at_call_nth, c.at_ms);
    };
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
        return rank(replay.changes[a]) < rank(replay.changes[b]);
    });
    for (std::size_t i : order) {
        const change_desc &ch = replay.changes[i];
        const std::string place = item("changes", i);
        hub_desc *h = emu::hub_for_path(replay, ch.controller, ch.port_path);
        if (h == nullptr || (ch.port && ch.port->port > h->port_count)) {
            return {at(place, "port_path"), h == nullptr ? "leads to no port of a hub"
                                                         : "port beyond the hub's port count"};
        }
        emu::replace_port(*h, ch.port_path.back(), ch.port);
        std::set<std::string> names;
        for (const controller_desc &c : replay.controllers) {
            if (const std::string *twice = add_hub_names(c.root_hub, names)) {
                return {at(place, "port"), "hub name \"" + *twice + "\" is used twice"};
            }
        }
    }
    return {};
}
