// The capture against odd answers: the input is a machine description (up to its
// first NUL byte), and the bytes after it plant faults in it: replies and stated
// lengths of the control codes the scan sends, errors, device IDs and properties
// raw or failing, failing opens, enumerations, conversions and allocations. The
// machine is captured with ARG 129, the capture replayed and captured again, in
// process. The replay's pass must do what the first did (every pause, command,
// box and trace line, in order; with processes recorded no command fails, so a
// pass writes nothing to standard output), and its capture must be the same
// description and the same report (its date line aside). Blocks above 1 MiB are
// refused, as in the replies target.
#include "capture/capture.h"
#include "platform/description/keys.h"
#include "platform/emu/emu.h"
#include "platform/emu/state.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr std::uint32_t errors[] = {1, 2, 5, 8, 31, 87, 122, 259, 1167, 0x0D, 0x13, 0x1A, 0x25};

// One fault in a call the machine answers (a capture sees no process).
desc::fault odd_answer(FuzzedDataProvider &in) {
    const std::uint32_t call = in.ConsumeIntegralInRange<std::uint32_t>(0, QVM_CALLS - 1);
    const std::uint32_t keys = qvm_fault_keys(call);
    desc::fault f{.function = qvm_call_name(call),
                  .nth = in.ConsumeIntegralInRange<std::uint32_t>(0, 6)};
    if (keys & QVM_BY_CODE) { // a code the stack answers, or any (0)
        const auto code = in.ConsumeIntegralInRange<std::size_t>(0, QVM_CODES);
        f.ioctl = code == 0 ? 0 : qvm_codes[code - 1];
        f.port = in.ConsumeIntegralInRange<std::uint32_t>(0, 4);
    }
    const int action = in.ConsumeIntegralInRange(0, 3);
    if (action == 1 && (keys & QVM_GIVES_REPLY)) {
        f.action = desc::fault::raw_reply;
        f.bytes = in.ConsumeBytes<std::uint8_t>(in.ConsumeIntegralInRange<std::size_t>(0, 48));
    } else if (action == 2 && (keys & QVM_STATES_LENGTH)) {
        f.action = desc::fault::actual_length;
        f.length = in.ConsumeIntegral<std::uint32_t>();
    } else {
        // Not 0: the machine takes a failure with no error for a success.
        f.error = action == 3 ? std::max(1u, in.ConsumeIntegral<std::uint32_t>())
                              : in.PickValueInArray(errors);
    }
    return f;
}

// What a person at the PC sees of the pass: pauses, commands, boxes and trace lines.
std::string seen(const capture_made &c) {
    std::string out;
    for (const auto *journal : {&c.scan, &c.action}) {
        for (const rec::entry &e : *journal) {
            if (e.kind != rec::event::asked && e.kind != rec::event::version) {
                out += std::to_string(static_cast<int>(e.kind)) + " " + std::to_string(e.ms) + " " +
                       e.text + "\n";
            }
        }
    }
    return out;
}

std::string undated(const std::string &report) {
    const std::size_t at = report.find("\nCaptured ");
    return at == std::string::npos
               ? report
               : report.substr(0, at) + report.substr(report.find('\n', at + 1));
}

void same(const std::string &first, const std::string &again, const char *what) {
    if (first != again) {
        std::fprintf(stderr, "%s differs\n--- first\n%s\n--- again\n%s\n", what, first.c_str(),
                     again.c_str());
        std::abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    const auto *end = static_cast<const std::uint8_t *>(std::memchr(data, 0, size));
    end = end != nullptr ? end : data + size;
    if (!emu::load_machine_text(std::string(data, end), "fuzz").empty()) {
        return 0;
    }
    desc::machine m = emu::st().m;
    const bool by_count = std::any_of(m.changes.begin(), m.changes.end(),
                                      [](const auto &c) { return c.at_open_device.empty(); });
    const bool processes = std::any_of(m.faults.begin(), m.faults.end(), [](const auto &f) {
        return desc::keys::machine_call(f.function) == QVM_NONE;
    });
    if (by_count || processes || m.system_folder || m.windows_folder) {
        return 0; // what a capture cannot see
    }
    const std::size_t rest = static_cast<std::size_t>(data + size - end);
    FuzzedDataProvider input(end + (rest > 0), rest - (rest > 0));
    for (int planted = 0; planted < 3 && input.remaining_bytes() > 1; ++planted) {
        m.faults.push_back(odd_answer(input));
    }
    m.largest_block = std::min<std::uint64_t>(m.largest_block, 1 << 20);
    if (!emu::load_machine_text(desc::write_description(m), "planted").empty()) {
        std::abort();
    }
    const capture_made first = capture_machine("capture.json", "129");
    rec::clear();
    if (!first.gaps.empty()) {
        return 0; // its report and exit status say that the replay differs
    }
    if (const std::string fault = emu::load_machine_text(first.description, "capture.json");
        !fault.empty()) {
        same(first.description, fault, "the capture's loading");
    }
    const capture_made again = capture_machine("capture.json", "129");
    rec::clear();
    same(seen(first), seen(again), "the pass");
    same(first.description, again.description, "the capture");
    same(undated(first.report), undated(again.report), "the report");
    return 0;
}
