// A failure that strikes every pass, reached from outside: the built tool polls
// a machine whose description plants the fault on every matching call, and the
// test reads the reports on standard error, the commands run and what the tool
// held before each pass and at exit. Each call of a run failed once, in every
// way it can fail, is the sweep's (sweep_test.cpp).
#include "e2e/machine_run.h"

namespace {

using namespace testkit;

class fault_sites : public machine_test {};

// Controller 0: an external hub on port 1 (a kelmi device on its port 1), a
// nuvek device on port 2, a pasur device on port 4. Controller 1: a dravo device
// on port 2; from 800 ms on, the download-mode device on its port 1. The external
// hub never opens: it is reported every pass, and the tool still ends when the
// download device is handled, holding nothing between passes.
TEST_F(fault_sites, fault_in_every_pass_is_reported_every_pass) {
    const controller c0 = numbered_controller(
        0, root_hub(0, 4,
                    {hub_port(1, external_hub(0, 1, 2, {device(1, 0x7A31, 0xE220)})),
                     device(2, 0x7A31, 0xE520), device(4, 0x7A31, 0xE321)}));
    const controller c1 = numbered_controller(1, root_hub(1, 2, {device(2, 0x7A31, 0xE420)}));
    const auto r = run_machine(machine_of(
        {c0, c1}, {download_arrives(800, {1}, 1)},
        {{.function = "CreateFileA", .device = device_path(external_hub_name(0, 1)), .nth = 0}}));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, reports({1747, 1747, 1747, 1747}));
    const lines N = sequence("nuvek", 0), P = sequence("pasur", 1), D = sequence("dravo", 0);
    EXPECT_EQ(journal(), N + P + D + N + P + D + N + P + D + N + P + lines{vcp_install});
    EXPECT_EQ(passes(), 4);
    expect_nothing_held_between_passes();
}

} // namespace
