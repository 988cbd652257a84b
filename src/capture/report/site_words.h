// The words for the scan's failure sites (usb_enum/sites.h): what a box of each
// means, what the scan then skips, and why it shows where no call failed. The
// report reads them; docs/reliability.md shows them (a test holds the two alike).
#pragma once

#include "usb_enum/sites.h"

#include <span>
#include <string>

struct site_words {
    scan_site site;
    const char *meaning; // what failed
    const char *skips;   // what the scan then skips, after "box N follows; " where one does
    const char *no_call; // where it shows without a failed call: why; null where it cannot
};

// The words for a site of the scan's table.
const site_words &words_of(const failure_site &s);

// What the scan skips after a box of `s`, in words.
std::string skips_text(const failure_site &s);

// A site's calls in words: each function's name (a control code with its number),
// ", " between them; "" for none.
std::string calls_text(std::span<const site_call> calls);
