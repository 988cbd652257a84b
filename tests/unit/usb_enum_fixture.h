// Set-up shared by the scan module's unit tests: the emulated machine, and the
// check that every test leaves alloc_list, the platform's blocks and the open
// handles as it found them, and broke none of the platform's rules (a write past
// a block among them).
#pragma once

#include "emu_fixture.h"
#include "platform/win32.h"
#include "usb_enum/usb_enum.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace testkit {

// The root hub of controller 0, as most of these tests' machines name it.
const std::string root_name = root_hub_name(0);

// The live tracked blocks (the caller's addresses), following next from the
// list's head, or prev.
inline std::vector<void *> blocks(bool forward = true) {
    std::vector<void *> out;
    for (list_link *l = forward ? alloc_list.next : alloc_list.prev; l != &alloc_list;
         l = forward ? l->next : l->prev) {
        out.push_back(list_entry<alloc_header>(l, offsetof(alloc_header, link)) + 1);
    }
    return out;
}

class scan_test : public emu_test {
  protected:
    void SetUp() override {
        emu_test::SetUp();
        live_at_start = blocks();
        misuses_at_start = emu::misuses();
    }

    void TearDown() override {
        EXPECT_EQ(blocks(), live_at_start) << "alloc_list differs from the start";
        expect_nothing_held();
        EXPECT_EQ(emu::misuses(), misuses_at_start) << "platform calls misused";
        emu_test::TearDown();
    }

    std::vector<void *> live_at_start;
    std::size_t misuses_at_start = 0;
};

} // namespace testkit
