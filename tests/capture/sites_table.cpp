// The failure sites' table (src/capture/sites.cpp) as docs/reliability.md shows
// it, one row a line: a test holds the two alike.
#include "capture/sites.h"

#include <cstdio>

int main() {
    for (const failure_site &s : failure_sites()) {
        const char *none = s.no_call == nullptr ? "" : *s.calls ? ", or none: " : "none: ";
        std::printf("| %d | %s | %s%s%s | %s | %s |\n", s.site, s.meaning, s.calls, none,
                    s.no_call == nullptr ? "" : s.no_call, *s.answers ? s.answers : "none",
                    s.skips);
    }
}
