// Writing a machine description as the JSON text the emulated machine reads
// (docs/machine.md), without a JSON library, so that every build can write one.
//
// Every object is walked through its kind's function in keys.h, which the
// reader shares: a key is written where its value differs from what the reader
// makes of it left out, and a required key always. The text is UTF-8 as the
// model's texts are; the layout is fixed (two spaces per level, an object or
// list of plain values on one line), so the same model always gives the same
// bytes.
#include "platform/description/keys.h"
#include "platform/description/model.h"

#include <cstdio>
#include <type_traits>
#include <utility>

namespace desc {
namespace {

using keys::at;
using keys::item;

// A value to be laid out: a scalar's JSON text, an object's members (names
// beside items) or an array's items.
struct value {
    enum { scalar, object, array } kind = scalar;
    std::string text;
    std::vector<std::string_view> names;
    std::vector<value> items;
};

value scalar(std::string written) {
    value v;
    v.text = std::move(written);
    return v;
}

value number(std::uint64_t n) {
    return scalar(std::to_string(n));
}

value boolean(bool b) {
    return scalar(b ? "true" : "false");
}

std::string quoted(std::string_view s) {
    std::string out = "\"";
    for (const char c : s) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (byte < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04X", byte);
            out += escaped;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

value text(std::string_view s) {
    return scalar(quoted(s));
}

value hex(std::uint32_t n, int digits) {
    char written[16];
    std::snprintf(written, sizeof written, "\"0x%0*X\"", digits, n);
    return scalar(written);
}

// An array of each item as `each` writes it (given the item and its index).
template <typename T, typename Each> value array(const std::vector<T> &items, const Each &each) {
    value v;
    v.kind = value::array;
    for (std::size_t i = 0; i < items.size(); ++i) {
        v.items.push_back(each(items[i], i));
    }
    return v;
}

// Hexadecimal pairs, a space after every fourth byte.
value hex_bytes(const std::vector<std::uint8_t> &bytes) {
    std::string pairs;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        char pair[4];
        std::snprintf(pair, sizeof pair, "%02X", bytes[i]);
        if (i > 0 && i % 4 == 0) {
            pairs += ' ';
        }
        pairs += pair;
    }
    return text(pairs);
}

// One line for an object or array that holds only scalars and arrays of them.
bool one_line(const value &v) {
    for (const value &i : v.items) {
        if (i.kind == value::object ||
            (i.kind == value::array && (v.kind == value::array || !one_line(i)))) {
            return false;
        }
    }
    return true;
}

void lay_out(const value &v, int indent, std::string &out) {
    if (v.kind == value::scalar) {
        out += v.text;
        return;
    }
    const bool is_object = v.kind == value::object;
    const bool flat = one_line(v);
    // Appended piece by piece: GCC 12 at -O3 warns falsely (-Wrestrict) about
    // strings joined with operator+ here.
    out += is_object ? '{' : '[';
    for (std::size_t i = 0; i < v.items.size(); ++i) {
        out += i > 0 ? "," : "";
        if (!flat) {
            out += '\n';
            out.append(static_cast<std::size_t>(indent) + 2, ' ');
        } else if (is_object || i > 0) {
            out += ' ';
        }
        if (is_object) {
            out += quoted(v.names[i]);
            out += ": ";
        }
        lay_out(v.items[i], indent + 2, out);
    }
    if (!v.items.empty() && !flat) {
        out += '\n';
        out.append(static_cast<std::size_t>(indent), ' ');
    } else if (!v.items.empty() && is_object) {
        out += ' ';
    }
    out += is_object ? '}' : ']';
}

// The `io` of keys.h that writes one object, and every kind of value it names.
class writer {
  public:
    writer(value &o, const std::string &place) : o_(o), place_(place) {
        o.kind = value::object;
    }

    template <typename Visit, typename T>
    static value object_of(const Visit &visit, const T &member, const std::string &place) {
        value o;
        writer io(o, place);
        visit(io, member);
        return o;
    }

    const std::string &place() const {
        return place_;
    }
    void nesting(bool, const char *) const {}
    template <typename Rule> void check(const Rule &) const {}
    template <typename T, typename Kind, typename Presence, typename Rule = keys::no_rule>
    void key(std::string_view name, const T &member, const Kind &kind, const Presence &presence,
             const Rule & = {}) {
        if constexpr (!std::is_same_v<Presence, keys::read_only>) {
            if (written(member, presence)) {
                o_.names.push_back(name);
                o_.items.push_back(write(kind, member, at(place_, name)));
            }
        }
    }

  private:
    template <typename T> static bool written(const T &, keys::need) {
        return true;
    }
    template <typename T> static bool written(const T &, keys::when when) {
        return when.written;
    }
    template <typename T> static bool written(const T &member, keys::none_t) {
        return !(member == T{});
    }
    template <typename T, typename V> static bool written(const T &member, const V &fallback) {
        return !(member == fallback);
    }

    // What a member holds: an optional's value, a port's one hub.
    template <typename T> static const T &plain(const T &member) {
        return member;
    }
    template <typename T> static const T &plain(const std::optional<T> &member) {
        return *member;
    }
    template <typename T> static const T &plain(const std::vector<T> &member) {
        return member.front();
    }

    template <typename T> static value write(keys::whole, const T &m, const std::string &) {
        return number(static_cast<std::uint64_t>(plain(m)));
    }
    template <typename T> static value write(keys::number32 k, const T &m, const std::string &) {
        return k.digits != 0 ? hex(plain(m), k.digits) : number(plain(m));
    }
    static value write(keys::id16, std::uint16_t m, const std::string &) {
        return hex(m, 4);
    }
    template <typename T> static value write(keys::text, const T &m, const std::string &) {
        return text(plain(m));
    }
    static value write(keys::flag, bool m, const std::string &) {
        return boolean(m);
    }
    static value write(keys::speed, std::uint8_t m, const std::string &) {
        return text(keys::speed_names[m]);
    }
    static value write(keys::choice k, bool m, const std::string &) {
        return text(m == (std::string_view(k.yes) == k.first) ? k.first : k.second);
    }
    static value write(keys::texts, const std::vector<std::string> &m, const std::string &) {
        return array(m, [](const std::string &t, std::size_t) { return text(t); });
    }
    static value write(keys::folder_groups,
                       const std::vector<std::pair<std::string, std::vector<std::string>>> &m,
                       const std::string &place) {
        value v;
        v.kind = value::object;
        for (const auto &[folder, groups] : m) {
            v.names.push_back(folder);
            v.items.push_back(write(keys::texts{}, groups, place));
        }
        return v;
    }
    static value write(keys::port_path, const std::vector<std::uint32_t> &m, const std::string &) {
        return array(m, [](std::uint32_t n, std::size_t) { return number(n); });
    }
    static value write(keys::stated_length, const fault &f, const std::string &) {
        return number(f.length);
    }
    static value write(keys::reply, const fault &f, const std::string &) {
        return hex_bytes(f.bytes);
    }
    template <typename Kind, typename T>
    static value write(const keys::nullable<Kind> &k, const std::optional<T> &m,
                       const std::string &place) {
        return m ? write(k.kind, *m, place) : scalar("null");
    }
    template <typename Visit, typename T>
    static value write(const keys::object<Visit> &k, const T &m, const std::string &place) {
        return object_of(k.visit, plain(m), place);
    }
    template <typename Visit, typename T>
    static value write(const keys::objects<Visit> &k, const std::vector<T> &m,
                       const std::string &place) {
        return array(
            m, [&](const T &o, std::size_t i) { return object_of(k.visit, o, item(place, i)); });
    }
    static value write(keys::change_port, const port_desc &p, const std::string &place) {
        return object_of([](auto &io, auto &port) { keys::port_keys(io, port, 0, nullptr); }, p,
                         place);
    }

    value &o_;
    const std::string &place_;
};

} // namespace

std::string write_description(const machine &m) {
    std::string out;
    lay_out(writer::object_of([](auto &io, auto &all) { keys::machine_keys(io, all); }, m, ""), 0,
            out);
    return out + "\n";
}

} // namespace desc
