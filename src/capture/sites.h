// The failure sites of quorvex's scan and what a box of each means, on the side
// that explains them: the capture's report reads this table, docs/reliability.md
// shows it (a test holds the two alike), and tests read it. quorvex keeps its own
// site numbers (src/usb_enum); nothing of quorvex reads this.
#pragma once

#include <cstdint>
#include <span>

// What a box is about: the controller being walked, a hub, or a port.
enum class about { controller, hub, port };

struct failure_site {
    int site;
    const char *meaning; // what failed
    about place;
    const char *skips; // what the scan then skips
    // The platform calls whose failure can cause the box, by function (and, for
    // DeviceIoControl, control code), ", " between them: "DeviceIoControl
    // 0x220424, GlobalAlloc". Empty where no failed call causes it.
    const char *calls;
    const char *no_call; // where it shows without a failed call: why
    // The calls whose answer, though the call succeeded, can cause the box, in
    // the form of `calls`: a name reply too short, cut short or stating more
    // than can be allocated, an ID not in PCI form. Empty where none can.
    const char *answers;
};

// Every site of the scan, in the order of the scan's own tables.
std::span<const failure_site> failure_sites();

// The site of this number, or null.
const failure_site *find_site(int site);

// Whether the scan goes on past a box of `s` without skipping anything.
bool skips_nothing(const failure_site &s);

// Whether a failure of `function` (DeviceIoControl: with control code `code`) is
// one that can cause a box of `s`.
bool can_fail_at(const failure_site &s, const char *function, std::uint32_t code);
// Whether an odd answer of a call that succeeded (DeviceIoControl: with control
// code `code`) can cause a box of `s`.
bool can_answer_at(const failure_site &s, const char *function, std::uint32_t code);
