// Every platform call of a run failed in turn, in every way it can fail.
//
// `quorvex 128` runs on sweep_machine.json, which reaches every kind of call the
// scan makes; its download-mode device, last of the last walk, ends a clean run
// after one pass. One clean run counts the calls; then each call of each kind
// that sweep.txt can fail is failed in each of its ways, one run each. Whatever
// fails, the run ends by itself with status 1, holds nothing, shows only boxes
// that the scan's table of failure sites (src/usb_enum/sites.h) gives for a
// failure (or an odd answer) of that call, and runs a subsequence of the clean
// pass's commands, then at most one whole clean pass. The outcome of every run
// (boxes, commands, port loops, what it printed) must be the one sweep.expected
// gives; each run writes its own to sweep.actual in the build.
#include "emu_fixture.h"

#include "platform/description/keys.h"
#include "usb_enum/sites.h"
#include "front/entry.h"
#include "shared/modes.h"
#include "usb_enum/usb_enum.h"

#include <algorithm>
#include <cstdio>
#include <sstream>

namespace {

using namespace testkit;

const std::filesystem::path here = QUORVEX_SWEEP_DIR;

// One way a call can fail: the fault, short of its call and count.
struct way {
    std::string text;
    desc::fault f;
};

// A call as the emulated machine counts it ("DeviceIoControl:0x220408") and
// its ways; none for a call that cannot be made to fail.
struct row {
    std::string call;
    std::vector<way> ways;
};

way read_way(const std::string &text) {
    way w{text, {}};
    const std::size_t space = text.find(' ');
    const std::string kind = text.substr(0, space);
    const std::string value = space == std::string::npos ? "" : text.substr(space + 1);
    if (kind == "error" || kind == "length") {
        w.f.action = kind == "error" ? desc::fault::fail : desc::fault::actual_length;
        w.f.error = w.f.length = static_cast<std::uint32_t>(std::stoul(value, nullptr, 0));
    } else if (kind == "text") {
        w.f.action = desc::fault::raw_reply;
        w.f.bytes.assign(value.begin(), value.end());
        w.f.bytes.push_back(0);
    } else {
        EXPECT_EQ(kind, "reply") << text;
        w.f.action = desc::fault::raw_reply;
        for (std::size_t k = value.find_first_not_of(' '); k != std::string::npos;
             k = value.find_first_not_of(' ', k + 2)) {
            w.f.bytes.push_back(
                static_cast<std::uint8_t>(std::stoul(value.substr(k, 2), nullptr, 16)));
        }
    }
    return w;
}

// The texts and numbers one after another.
template <typename... T> std::string cat(const T &...parts) {
    std::ostringstream out;
    (out << ... << parts);
    return out.str();
}

std::string trimmed(const std::string &text) {
    const std::size_t first = text.find_first_not_of(' ');
    return first == text.npos ? "" : text.substr(first, text.find_last_not_of(' ') + 1 - first);
}

// sweep.txt: CALL | WAY | WAY ..., one call a line.
std::vector<row> read_rows() {
    std::vector<row> rows;
    for (const std::string &line : read_lines(here / "sweep.txt")) {
        if (line.empty() || line[0] == '#') {
            continue;
        }
        std::istringstream fields(line);
        row r;
        for (std::string field; std::getline(fields, field, '|');) {
            field = trimmed(field);
            if (r.call.empty()) {
                r.call = field;
            } else if (!field.empty()) {
                r.ways.push_back(read_way(field));
            }
        }
        rows.push_back(r);
    }
    return rows;
}

// What one run left: its status, boxes, commands and port loops, the lines it
// printed after the echo, and what it broke or held.
struct outcome {
    int status = 0;
    std::vector<int> boxes;
    std::size_t other_lines = 0; // on standard error, not boxes
    lines journal;
    long loops = 0;
    std::string said;
    std::size_t refused = 0;
    bool ended = false;
    std::uint64_t clock_ms = 0; // the machine's clock at the end
    // What the run left held: handles, platform blocks, tracked blocks.
    std::ptrdiff_t handles = 0, blocks = 0, tracked = 0;
};

std::ptrdiff_t tracked_blocks() {
    std::ptrdiff_t n = 0;
    for (const list_link *l = alloc_list.next; l != &alloc_list; l = l->next) {
        ++n;
    }
    return n;
}

// The commands a run ran, as ranges of the clean pass's ("1-12 14-33"): one
// pass that ended with the download-mode device's install (the clean pass's
// last), or a pass that did not reach it and a whole clean pass after it; empty
// when they are neither.
std::string commands_run(const lines &journal, const lines &clean, bool second_pass) {
    const std::size_t whole = second_pass ? clean.size() : 0;
    if (journal.size() < whole ||
        !std::equal(clean.begin(), clean.begin() + whole, journal.end() - whole)) {
        return "";
    }
    const lines first(journal.begin(), journal.end() - whole);
    if (first.empty() ? !second_pass : (first.back() == clean.back()) == second_pass) {
        return "";
    }
    std::string text, range_end;
    std::size_t next = 0; // the last match, from 1
    for (std::size_t i = 0; i < first.size(); ++i) {
        const auto at = std::find(clean.begin() + next, clean.end(), first[i]);
        if (at == clean.end()) {
            return "";
        }
        const std::size_t n = at - clean.begin() + 1;
        if (i > 0 && n == next + 1) {
            range_end = cat("-", n);
        } else {
            text += cat(range_end, i > 0 ? " " : "", n);
            range_end.clear();
        }
        next = n;
    }
    return cat(first.empty() ? "none" : text + range_end, second_pass ? ", then a whole pass" : "");
}

// The ways of one call that gave each outcome, in the order first seen.
using outcomes = std::vector<std::pair<std::string, std::vector<std::string>>>;

void add(outcomes &seen, const std::string &outcome, const std::string &way) {
    auto it =
        std::find_if(seen.begin(), seen.end(), [&](const auto &o) { return o.first == outcome; });
    if (it == seen.end()) {
        seen.push_back({outcome, {}});
        it = seen.end() - 1;
    }
    it->second.push_back(way);
}

// Lines for the calls `first` to `last` of one kind, which had the same outcomes.
std::string lines_for(const std::string &call, std::uint64_t first, std::uint64_t last,
                      const outcomes &seen) {
    const std::string nths = first == last ? cat(first) : cat(first, "-", last);
    std::string text;
    for (const auto &[outcome, ways] : seen) {
        std::string list;
        for (const std::string &w : ways) {
            list += list.empty() ? w : cat(", ", w);
        }
        text += call + " " + nths + " | " + list + " | " + outcome + "\n";
    }
    return text;
}

class sweep : public emu_test {
  protected:
    void SetUp() override {
        emu_test::SetUp();
        machine_text = read_file(here / "sweep_machine.json");
    }

    outcome run(const desc::fault *f) {
        EXPECT_EQ(emu::load_machine_text(machine_text, "sweep_machine.json"), "");
        if (f != nullptr) {
            emu::add_fault(*f);
        }
        std::filesystem::remove(dir / "journal");
        std::filesystem::remove(dir / "trace");
        bVcp_done = 0;
        bUpdate_mode = 0;
        const std::size_t misuses = emu::misuses();
        outcome o;
        o.handles = -static_cast<std::ptrdiff_t>(emu::open_handles());
        o.blocks = -static_cast<std::ptrdiff_t>(emu::live_global_blocks());
        o.tracked = -tracked_blocks();
        char program[] = "quorvex", argument[] = "128";
        char *argv[] = {program, argument, nullptr};
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        o.status = quorvex_main(2, argv);
        const lines errors = lines_of(std::istringstream(testing::internal::GetCapturedStderr()));
        o.said = testing::internal::GetCapturedStdout();
        for (const std::string &line : errors) {
            int site = 0;
            if (std::sscanf(line.c_str(), "[Oops!] File: src/usb_enum/usb_enum.cpp, Line %d",
                            &site) == 1) {
                o.boxes.push_back(site);
            } else {
                ++o.other_lines;
            }
        }
        o.journal = journal();
        for (const std::string &line : read_lines(dir / "trace")) {
            o.loops += line == "bSelsusp_mode = 0" ? 1 : 0;
        }
        o.refused = emu::misuses() - misuses;
        o.handles += static_cast<std::ptrdiff_t>(emu::open_handles());
        o.blocks += static_cast<std::ptrdiff_t>(emu::live_global_blocks());
        o.tracked += tracked_blocks();
        o.ended = bVcp_done != 0;
        o.clock_ms = emu::clock_ms();
        return o;
    }

    // What must hold whatever failed; the outcome's line for sweep.expected.
    std::string check(const outcome &o, const desc::fault *f, const outcome &clean) {
        EXPECT_EQ(o.status, 1);
        EXPECT_TRUE(o.ended) << "the download-mode device was never handled";
        EXPECT_EQ(o.handles, 0) << "handles left open";
        EXPECT_EQ(o.blocks, 0) << "platform blocks left";
        EXPECT_EQ(o.tracked, 0) << "tracked blocks left";
        EXPECT_EQ(o.other_lines, o.refused) << "lines on standard error";
        const std::string echo = "KX: input =128\n";
        EXPECT_EQ(o.said.substr(0, echo.size()), echo);
        std::string boxes;
        for (int site : o.boxes) {
            const failure_site *s = find_failure_site(site);
            const bool known = s != nullptr && f != nullptr &&
                               can_cause(*s, desc::keys::machine_call(f->function), f->ioctl,
                                         f->action != desc::fault::fail);
            EXPECT_TRUE(known) << "box " << site << " is no site of this call's failure";
            boxes += boxes.empty() ? cat(site) : cat(" ", site);
        }
        // A pass takes its 250 ms pause and at most the clean pass's settling
        // pauses: a run that took longer than the clean one ran a second pass.
        const std::string commands =
            commands_run(o.journal, clean.journal, o.clock_ms > clean.clock_ms);
        EXPECT_NE(commands, "") << "not the clean pass's commands";
        std::string text =
            cat(boxes.empty() ? "-" : boxes, " | ", commands, " | ", o.loops, " loops");
        for (const std::string &line :
             lines_of(std::istringstream(o.said.substr(std::min(echo.size(), o.said.size()))))) {
            text += " | says " + line;
        }
        return o.refused == 0 ? text : cat(text, " | refused ", o.refused);
    }

    // Each of the `count` calls of row `r` failed in each of its ways: the lines
    // of sweep.expected for them.
    std::string fail_each(const row &r, std::uint64_t count, const outcome &clean) {
        const std::size_t colon = r.call.find(':');
        std::string text;
        outcomes before;
        std::uint64_t first = 1;
        for (std::uint64_t nth = 1; nth <= count; ++nth) {
            outcomes seen;
            for (const way &w : r.ways) {
                desc::fault f = w.f;
                f.function = r.call.substr(0, colon);
                if (colon != r.call.npos) {
                    f.ioctl = static_cast<std::uint32_t>(
                        std::stoul(r.call.substr(colon + 1), nullptr, 16));
                }
                f.nth = static_cast<std::uint32_t>(nth);
                SCOPED_TRACE(cat(r.call, " call ", nth, ", ", w.text));
                add(seen, check(run(&f), &f, clean), w.text);
                ++runs;
            }
            ++failed;
            if (nth > 1 && seen != before) {
                text += lines_for(r.call, first, nth - 1, before);
                first = nth;
            }
            before = seen;
        }
        return count == 0 ? text : text + lines_for(r.call, first, count, before);
    }

    std::string machine_text;
    std::size_t failed = 0; // calls failed
    std::size_t runs = 0;
};

TEST_F(sweep, every_call_failed_in_turn_in_every_way) {
    const std::vector<row> rows = read_rows();
    const outcome clean = run(nullptr);
    const auto counts = emu::call_counts();
    std::string expected =
        "# Written by sweep_test.cpp. Calls by kind in the clean run, its commands,\n"
        "# then each call failed: CALL N | WAYS | BOXES | COMMANDS RUN | PORT LOOPS,\n"
        "# and what the run printed after its echo and calls refused, if any\n";
    for (const auto &counted : counts) {
        const std::string &call = counted.first;
        expected += cat("calls ", call, " ", counted.second, "\n");
        const bool listed =
            std::any_of(rows.begin(), rows.end(), [&](const row &r) { return r.call == call; });
        EXPECT_TRUE(listed) << call << " has no row in sweep.txt";
    }
    ASSERT_FALSE(clean.journal.empty());
    for (std::size_t i = 0; i < clean.journal.size(); ++i) {
        expected += cat("command ", i + 1, " | ", clean.journal[i], "\n");
    }
    expected += "clean | | " + check(clean, nullptr, clean) + "\n";
    for (const row &r : rows) {
        const auto counted = counts.find(r.call);
        const std::uint64_t count = counted == counts.end() ? 0 : counted->second;
        EXPECT_TRUE(count > 0 || r.ways.empty()) << r.call << " is not called in the clean run";
        expected += r.ways.empty() ? "" : fail_each(r, count, clean);
    }
    expected += cat("failed ", failed, " calls in ", runs, " runs\n");
    std::ofstream(QUORVEX_SWEEP_ACTUAL, std::ios::binary) << expected;
    EXPECT_TRUE(read_file(here / "sweep.expected") == expected)
        << "outcomes differ: diff " << (here / "sweep.expected").string() << " "
        << QUORVEX_SWEEP_ACTUAL << " (copy the second over the first where it is right)";
}

} // namespace
