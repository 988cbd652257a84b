// Runs a fixed number of polling passes over one of the benchmark machines, for
// counting instructions under callgrind:
//
//   scan_passes typical|largest PASSES
//
// One pass runs first to settle the emulation; the passes that count all run
// inside measured_passes(), which callgrind is told to collect.
#include "machines.h"

#include "shared/modes.h"
#include "platform/emu/emu.h"
#include "usb_enum/usb_enum.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

__attribute__((noinline)) int measured_passes(int passes) {
    int done = 0;
    for (int i = 0; i < passes; ++i) {
        done |= scan_usb();
    }
    return done;
}

int main(int argc, char **argv) {
    if (argc != 3 ||
        (std::strcmp(argv[1], "typical") != 0 && std::strcmp(argv[1], "largest") != 0)) {
        std::fprintf(stderr, "usage: %s typical|largest PASSES\n", argv[0]);
        return 2;
    }
    const int passes = std::atoi(argv[2]);
    const bench::machine m =
        std::strcmp(argv[1], "typical") == 0 ? bench::typical_machine() : bench::largest_machine();
    const std::string fault = emu::load_machine_text(testkit::description(m), argv[1]);
    if (!fault.empty()) {
        std::fprintf(stderr, "%s\n", fault.c_str());
        return 2;
    }
    scan_usb();
    const int done = measured_passes(passes);
    std::printf("%s machine: %d passes, %llu platform calls\n", argv[1], passes,
                static_cast<unsigned long long>(emu::call_counts().size()));
    return done == 0 && emu::live_global_blocks() == 0 && emu::open_handles() == 0 ? 0 : 1;
}
