// The recorded pass put through the machine model on its description, call by
// call: where an answer differs as far as the scan reads it, a planted fault
// answers as recorded, if the model says one does; any other is told as a gap.
#include "capture/describe/replay.h"

#include "platform/description/keys.h"
#include "platform/description/table.h"
#include "platform/win32.h"

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <tuple>
#include <utility>

namespace {

using desc::ansi_to_utf8;
using rec::entry;

// The machine a description stands for, with its model's state from the start;
// `held` false where the model cannot hold it.
struct model {
    std::vector<std::uint8_t> table;
    qvm_view view{};
    std::vector<std::uint32_t> state;
    bool held = false;

    explicit model(const desc::machine &m) : table(desc::machine_table(m)) {
        held = qvm_load(&view, table.data(), static_cast<std::uint32_t>(table.size())) == 0;
        state.resize(held ? qvm_state_size(&view) / sizeof(std::uint32_t) : 0);
        if (held) {
            qvm_start(&view, reinterpret_cast<qvm_state *>(state.data()));
        }
    }
    qvm_answer ask(const qvm_request &r) {
        qvm_answer a;
        qvm_ask(&view, reinterpret_cast<qvm_state *>(state.data()), &r, &a);
        return a;
    }
};

// The calls one narrowing (a fault with only its function, device, code, port and
// size) counts, and the faults its differing calls need, by their place among them.
struct fault_group {
    desc::fault narrowing;
    std::uint32_t calls = 0;
    std::vector<std::pair<std::uint32_t, desc::fault>> differing;
};

struct replay {
    const desc::machine &m;
    const pass_reading &scan;
    model machine;
    std::map<std::uint32_t, std::uint32_t> nodes; // a DEVINST of the PC's, the model's
    std::uint32_t interface = 0;                  // the one the detail calls are about
    std::vector<fault_group> groups;              // as their first calls came
    std::vector<std::tuple<desc::fault, std::uint32_t, std::uint32_t, bool>> verified;
    std::vector<std::string> gaps;
};

// A recorded call as the model is asked it, with room for the answer, and what
// a fault for it is narrowed by (its function; its device, code, port or size).
struct asked {
    qvm_request request{};
    std::string text;
    std::vector<std::uint8_t> in, out;
    desc::fault narrowing;
};

bool is_text_call(std::uint32_t c) {
    return c == QVM_GET_PROPERTY || c == QVM_GET_DEVICE_ID;
}

// Where the scan asked about a DEVINST, the one the model gave the replay for
// it; where it sent a control code, the input (the port number is all it sends).
void request_of(asked &a, const entry &c, const replay &p) {
    const std::uint32_t which = c.call;
    const auto node = p.nodes.find(c.node);
    a.text = which == QVM_LOCATE_DEVNODE ? c.text : p.scan.ansi.replay_path(c.device);
    const bool fills = which == QVM_DEVICE_IO_CONTROL || which == QVM_INTERFACE_DETAIL;
    a.out.resize(fills || is_text_call(which) ? c.out_size : 0);
    a.in.resize(std::max<std::size_t>(c.in_size, 4));
    std::memcpy(a.in.data(), &c.port, 4);
    a.request = {.call = which,
                 .text = a.text.empty() ? nullptr : a.text.c_str(),
                 .device = qvm_find_device(&p.machine.view, a.text.c_str()),
                 .code = which == QVM_INTERFACE_DETAIL ? p.interface : c.code,
                 .in = c.in_size != 0 ? a.in.data() : nullptr,
                 .in_size = c.in_size,
                 .out = a.out.empty() ? nullptr : a.out.data(),
                 .out_size = c.out_size,
                 .node = node != p.nodes.end() ? node->second : 0,
                 .size = c.size,
                 .now_ms = 0};
    // Narrowed by what the model narrows the call's faults by, but a node's or an
    // interface's text: the DEVINSTs of the PC are not the model's.
    const std::uint32_t keys = qvm_fault_keys(which);
    a.narrowing.function = qvm_call_name(which);
    a.narrowing.device = (keys & QVM_BY_PATH) != 0 ? ansi_to_utf8(a.text) : "";
    a.narrowing.ioctl = (keys & QVM_BY_CODE) != 0 ? c.code : 0;
    a.narrowing.port = (keys & QVM_BY_PORT) != 0 ? c.port : 0;
    // A size a description can state (a 32-bit process asks no more).
    a.narrowing.size = (keys & QVM_BY_SIZE) != 0 && c.size <= 0xFFFFFFFFu ? c.size : 0;
}

// A text the configuration manager left in the caller's buffer, as the scan reads
// it: up to its terminator (kept), or the whole buffer where it has none.
std::string buffer_text(const std::string &text, std::uint32_t size) {
    return text.size() < size ? text + '\0' : text;
}

// Whether the model answered as recorded, as far as the scan reads the answer.
bool answered_alike(const entry &c, const asked &q, const qvm_answer &a) {
    const auto *out = reinterpret_cast<const char *>(q.out.data());
    const std::uint32_t which = q.request.call;
    if (a.error != c.error || c.ok != (a.error == 0)) {
        return false;
    }
    if (which == QVM_DEVICE_IO_CONTROL && c.ok) {
        const std::vector<std::uint8_t> reply(q.out.data(),
                                              q.out.data() + std::min(a.length, c.out_size));
        return reply_view(c, c.reply) == reply_view(c, reply);
    }
    if (which == QVM_INTERFACE_DETAIL && c.ok) {
        const std::size_t at = offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath);
        return q.out.size() > at &&
               std::string(out + at, strnlen(out + at, q.out.size() - at)) == c.text;
    }
    if (which == QVM_INTERFACE_DETAIL) { // the size a sizing call named is read
        return c.error != ERROR_INSUFFICIENT_BUFFER || a.length == c.required;
    }
    return !is_text_call(which) || !c.ok ||
           buffer_text(std::string(out, strnlen(out, q.out.size())), c.out_size) ==
               buffer_text(c.text, c.out_size);
}

// The fault of the call's kind that answers as recorded, if one can: a failure,
// the size a sizing call named, or the reply or text byte for byte.
std::optional<desc::fault> fault_for(const entry &c, const asked &q) {
    desc::fault f = q.narrowing;
    const std::uint32_t which = q.request.call;
    if (!c.ok && which == QVM_INTERFACE_DETAIL && c.error == ERROR_INSUFFICIENT_BUFFER) {
        f.action = desc::fault::actual_length;
        f.length = c.required;
    } else if (!c.ok) {
        f.error = c.error;
    } else if ((qvm_fault_keys(which) & QVM_GIVES_REPLY) != 0) {
        const std::string text = buffer_text(c.text, c.out_size);
        f.action = desc::fault::raw_reply;
        f.bytes = which == QVM_DEVICE_IO_CONTROL
                      ? c.reply
                      : std::vector<std::uint8_t>(text.begin(), text.end());
    } else {
        return std::nullopt;
    }
    return f;
}

// One fault for every call of a group where all of them differ alike, but for
// the configuration manager's calls other than the locate: Device Manager's walk
// after the pass makes more of them, unrecorded, and such a fault would reach
// those too. Otherwise one fault for each differing call, at its place.
void add_faults(const fault_group &g, std::vector<desc::fault> &out) {
    const desc::fault &first = g.differing.front().second;
    const std::uint32_t call = desc::keys::machine_call(first.function);
    bool alike =
        g.differing.size() == g.calls && (call < QVM_LOCATE_DEVNODE || call == QVM_LOCATE_DEVNODE);
    for (const auto &[nth, f] : g.differing) {
        alike = alike && f == first; // the same narrowing: the same answer
    }
    for (const auto &[nth, f] : g.differing) {
        out.push_back(f);
        out.back().nth = alike ? 0 : nth;
        if (alike) {
            return;
        }
    }
}

// The call no fault answers as recorded: which, where, and both answers.
std::string gap_text(const entry &c, std::size_t index, const qvm_answer &a) {
    const char *form = is_config_manager(c) ? "0x%X" : "error %u";
    char here[32] = "success", there[32] = "success", code[40] = "";
    std::snprintf(here, sizeof here, c.error != 0 ? form : "success", c.error);
    std::snprintf(there, sizeof there, a.error != 0 ? form : "success", a.error);
    if (c.call == QVM_DEVICE_IO_CONTROL) {
        std::snprintf(code, sizeof code, " 0x%X, port %u,", c.code, c.port);
    }
    return "call " + std::to_string(index) + ", " + qvm_call_name(c.call) + code +
           (c.device.empty() ? "" : " " + c.device) + ": " + here + " here, " + there +
           " in the replay" + (c.error == a.error ? ", its reply otherwise" : "");
}

// Whether the machine, with the fault planted for every call of its kind,
// answers the call as recorded: the model, not the describer, says what a fault
// does. Asked once for each fault and request.
bool fault_answers(replay &p, const desc::fault &f, const entry &c, asked &q) {
    const qvm_request &r = q.request;
    for (const auto &[known, node, code, alike] : p.verified) {
        if (node == r.node && code == r.code && known == f) {
            return alike;
        }
    }
    desc::machine planted = p.m;
    planted.faults = {f};
    planted.faults.back().nth = 0;
    std::fill(q.out.begin(), q.out.end(), std::uint8_t{0});
    return std::get<3>(
        p.verified.emplace_back(f, r.node, r.code, answered_alike(c, q, model(planted).ask(r))));
}

void replay_call(replay &p, const entry &c, std::size_t index) {
    asked q;
    request_of(q, c, p);
    const qvm_answer a = p.machine.ask(q.request);
    p.interface = q.request.call == QVM_ENUM_INTERFACES ? c.code : p.interface;
    if (c.ok && a.error == 0 && a.node != 0) {
        p.nodes[c.result_node] = a.node;
    }
    auto group = std::find_if(p.groups.begin(), p.groups.end(),
                              [&](const fault_group &g) { return g.narrowing == q.narrowing; });
    if (group == p.groups.end()) {
        group = p.groups.insert(group, {q.narrowing, 0, {}});
    }
    ++group->calls;
    if (answered_alike(c, q, a)) {
        return;
    }
    if (const auto f = fault_for(c, q); f && fault_answers(p, *f, c, q)) {
        group->differing.emplace_back(group->calls, *f);
    } else {
        p.gaps.push_back(gap_text(c, index, a));
    }
}

} // namespace

replayed replay_pass(const desc::machine &m, const pass_reading &scan, const rec::entry &locate) {
    replay p{m, scan, model(m), {}, 0, {}, {}, {}};
    replayed out;
    out.held = p.machine.held;
    for (std::size_t i = 0; i < scan.asked.size() && out.held; ++i) {
        replay_call(p, *scan.asked[i], scan.place(scan.asked[i]));
    }
    if (out.held) {
        replay_call(p, locate, scan.entries + 1);
    }
    for (const fault_group &g : p.groups) {
        if (!g.differing.empty()) {
            add_faults(g, out.faults);
        }
    }
    out.gaps = std::move(p.gaps);
    return out;
}
