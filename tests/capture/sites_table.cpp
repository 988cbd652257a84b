// The failure sites' table (src/usb_enum/sites.h, with the capture's words) as
// docs/reliability.md shows it, one row a line: a test holds the two alike.
#include "capture/report/site_words.h"

#include <cstdio>

int main() {
    for (const failure_site &s : failure_sites) {
        const site_words &w = words_of(s);
        const std::string calls = calls_text(s.failed), odd = calls_text(s.odd);
        const char *none = w.no_call == nullptr ? "" : !calls.empty() ? ", or none: " : "none: ";
        std::printf("| %d | %s | %s%s%s | %s | %s |\n", static_cast<int>(s.site), w.meaning,
                    calls.c_str(), none, w.no_call == nullptr ? "" : w.no_call,
                    odd.empty() ? "none" : odd.c_str(), skips_text(s).c_str());
    }
}
