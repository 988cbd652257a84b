// The report a person reads after a capture: its header (the file, when, which
// Windows, how quorvex reads ARG), the findings, most serious first, then the
// sections that show the facts the findings rest on.
#include "capture/report/report.h"

#include "capture/report/checks/checks.h"
#include "capture/report/sections/sections.h"
#include "capture/report/value_texts.h"

namespace {

void header_lines(std::string &out, const report_view &v) {
    const capture_input &r = v.in;
    line(out, "quorvex-capture: this PC's USB topology, as the tool's scan reads it, is in %s",
         r.file);
    line(out, "Captured %04u-%02u-%02u %02u:%02u, this PC's local time", r.captured.year,
         r.captured.month, r.captured.day, r.captured.hour, r.captured.minute);
    line(out, "%s", windows_name(v.m.major, v.m.minor, v.m.build).c_str());
    if (v.m.major == 6 && v.m.minor == 2) {
        line(out, "  (Windows 8.1 and later report 6.2 only to a program without a compatibility");
        line(out, "  manifest; quorvex's and this program's manifests name them, so both read");
        line(out, "  their own numbers: this is Windows 8)");
    }
    if (r.argument != nullptr) {
        out += argument_text(r.argument, v.m.major, v.m.minor);
    }
    if (!r.verdict.read) {
        line(out, "Device Manager's verdict: not read (%s answered 0x%X)",
             qvm_call_name(QVM_LOCATE_DEVNODE), static_cast<unsigned>(r.verdict.failure));
    }
    if (!r.replay_gaps.empty()) {
        line(out, "The description replays this PC otherwise: no fault it can hold answers %lu",
             static_cast<unsigned long>(r.replay_gaps.size()));
        line(out, "of the scan's calls as here (exit status 3). The first:");
        for (std::size_t i = 0; i < r.replay_gaps.size() && i < 5; ++i) {
            line(out, "  %s", r.replay_gaps[i].c_str());
        }
    }
}

constexpr std::size_t findings_width = 100;

// One line of a finding, after `first` and then `indent`, wrapped at spaces to
// the report's width where it is longer.
void wrapped(std::string &out, const std::string &text, const std::string &first,
             const std::string &indent) {
    std::string row = first;
    bool words = false; // the row holds a word already
    std::size_t at = 0;
    while (at < text.size()) {
        std::size_t end = text.find(' ', at);
        end = end == std::string::npos ? text.size() : end;
        const std::string word = text.substr(at, end - at);
        if (words && row.size() + 1 + word.size() > findings_width) {
            out += row + "\n";
            row = indent;
            words = false;
        }
        row += (words ? " " : "") + word;
        words = true;
        at = end + 1;
    }
    out += row + "\n";
}

// A finding's lines after `first` (its number, or a dash), its further lines
// under its first.
void finding_lines(std::string &out, const std::string &text, const std::string &first) {
    const std::string indent(first.size(), ' ');
    for (std::size_t at = 0; at < text.size();) {
        const std::size_t end = text.find('\n', at);
        const std::size_t stop = end == std::string::npos ? text.size() : end;
        const std::string row = text.substr(at, stop - at);
        const std::size_t lead = row.find_first_not_of(' ');
        const std::string own(lead == std::string::npos ? 0 : lead, ' ');
        wrapped(out, row.substr(own.size()), (at == 0 ? first : indent) + own,
                indent + own + (own.empty() ? "" : "  "));
        at = stop + 1;
    }
}

// The findings numbered, most serious first, or what quorvex does where none
// stands in its way; then what is worth knowing, unnumbered.
void findings_lines(std::string &out, const report_view &v) {
    const findings found = find_findings(v);
    line(out, "Findings:");
    std::size_t number = 0;
    for (const finding &f : found) {
        if (f.level != severity::information) {
            finding_lines(out, f.text, "  " + std::to_string(++number) + ". ");
        }
    }
    if (number == 0) {
        finding_lines(out, nothing_in_the_way(v), "  ");
    }
    if (number == found.size()) {
        return;
    }
    line(out, "Worth knowing (by design, or what follows; nothing to mend):");
    for (const finding &f : found) {
        if (f.level == severity::information) {
            finding_lines(out, f.text, "  - ");
        }
    }
}

} // namespace

std::string report_text(const capture_input &in) {
    const report_view v(in);
    std::string out;
    header_lines(out, v);
    findings_lines(out, v);
    topology_section(out, v);
    devices_section(out, v);
    if (in.argument != nullptr && !in.action_scanned) {
        action_section(out, v);
    } else {
        boxes_section(out, v);
        if (in.action_scanned) {
            polling_section(out, v);
        }
    }
    return out + files_section(in.files);
}
