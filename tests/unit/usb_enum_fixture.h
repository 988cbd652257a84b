// Set-up shared by the scan module's unit tests: the emulated machine, and the
// check that every test leaves alloc_list, the platform's blocks and the open
// handles as it found them.
#pragma once

#include "emu_fixture.h"
#include "platform/win32.h"
#include "usb_enum/usb_enum.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace testkit {

inline alloc_header *alloc_sentinel() {
    return reinterpret_cast<alloc_header *>(&alloc_list);
}

// The live tracked blocks (the caller's addresses), following next from the sentinel.
inline std::vector<void *> blocks_forward() {
    std::vector<void *> out;
    for (alloc_header *h = alloc_list.next; h != alloc_sentinel(); h = h->next) {
        out.push_back(h + 1);
    }
    return out;
}

// The same, following prev.
inline std::vector<void *> blocks_backward() {
    std::vector<void *> out;
    for (alloc_header *h = alloc_list.prev; h != alloc_sentinel(); h = h->prev) {
        out.push_back(h + 1);
    }
    return out;
}

// The text of one failure report as the emulated message box shows it.
inline std::string report_line(int site) {
    return "[Oops!] File: src/usb_enum/usb_enum.cpp, Line " + std::to_string(site) + "\n";
}

class scan_test : public emu_test {
  protected:
    void SetUp() override {
        emu_test::SetUp();
        live_at_start = blocks_forward();
    }

    void TearDown() override {
        EXPECT_EQ(blocks_forward(), live_at_start) << "alloc_list differs from the start";
        expect_nothing_held();
        emu_test::TearDown();
    }

    HANDLE open_device(const std::string &path) {
        return CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                           nullptr);
    }

    std::vector<void *> live_at_start;
};

} // namespace testkit
