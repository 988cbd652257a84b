// Tracked allocation and failure reports, seen from outside: the list of live
// blocks, what the platform was asked for, and the message box text on stderr.
#include "usb_enum_fixture.h"

#include <algorithm>
#include <cstring>

namespace {

using testkit::blocks;

class tracked : public testkit::scan_test {};

alloc_header *header_of(void *block) {
    return static_cast<alloc_header *>(block) - 1;
}

TEST_F(tracked, list_keeps_order_when_the_middle_of_three_is_freed) {
    void *first = tracked_alloc(usb_enum_file, 1314, 365);
    void *second = tracked_alloc(usb_enum_file, 1347, 365);
    void *third = tracked_alloc(usb_enum_file, 1693, 76);
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    ASSERT_NE(third, nullptr);
    EXPECT_EQ(emu::live_global_blocks(), base_blocks + 3);
    EXPECT_EQ(header_of(second)->line, 1347);
    EXPECT_EQ(header_of(third)->file, usb_enum_file); // the path is referenced, not copied

    tracked_free(second);
    auto forward = blocks();
    auto backward = blocks(false);
    ASSERT_GE(forward.size(), 2u);
    EXPECT_EQ(std::vector<void *>(forward.end() - 2, forward.end()),
              (std::vector<void *>{first, third}));
    EXPECT_EQ(std::vector<void *>(backward.begin(), backward.begin() + 2),
              (std::vector<void *>{third, first}));
    EXPECT_EQ(emu::live_global_blocks(), base_blocks + 2);

    tracked_free(first);
    tracked_free(third);
}

TEST_F(tracked, freeing_the_only_block_leaves_the_list_head_on_itself) {
    ASSERT_TRUE(live_at_start.empty());
    void *only = tracked_alloc(usb_enum_file, 305, 1);
    ASSERT_NE(only, nullptr);
    tracked_free(only);
    EXPECT_EQ(alloc_list.next, &alloc_list);
    EXPECT_EQ(alloc_list.prev, &alloc_list);
}

TEST_F(tracked, nothing_for_size_zero_null_or_a_huge_size) {
    const auto asked = emu::call_count("GlobalAlloc");
    EXPECT_EQ(tracked_alloc(usb_enum_file, 370, 0), nullptr);
    EXPECT_EQ(emu::call_count("GlobalAlloc"), asked); // the platform is not asked

    // Adding the header to this size leaves a 32-bit size range; never a short block.
    EXPECT_EQ(tracked_alloc(usb_enum_file, 370, 0xFFFFFFFFu), nullptr);
    EXPECT_EQ(tracked_alloc(usb_enum_file, 370, 0xFFFFFFF0u), nullptr);

    const auto freed = emu::call_count("GlobalFree");
    tracked_free(nullptr);
    EXPECT_EQ(emu::call_count("GlobalFree"), freed);
}

TEST_F(tracked, new_blocks_read_as_zero_even_where_memory_was_used_before) {
    for (std::uint32_t size : {1u, 6u, 365u, 4096u}) {
        SCOPED_TRACE(size);
        auto *dirty = static_cast<unsigned char *>(tracked_alloc(usb_enum_file, 1314, size));
        ASSERT_NE(dirty, nullptr);
        std::memset(dirty, 0xA5, size);
        tracked_free(dirty);
        auto *fresh = static_cast<unsigned char *>(tracked_alloc(usb_enum_file, 1314, size));
        ASSERT_NE(fresh, nullptr);
        EXPECT_TRUE(std::all_of(fresh, fresh + size, [](unsigned char b) { return b == 0; }));
        tracked_free(fresh);
    }
}

TEST_F(tracked, report_shows_the_module_path_and_site_in_an_ok_box) {
    EXPECT_EQ(testkit::stderr_of([] { report_failure(usb_enum_file, 362); }), testkit::report(362));
    EXPECT_EQ(emu::call_count("MessageBoxA"), 1u);
}

TEST_F(tracked, report_cuts_a_long_path_instead_of_overflowing) {
    const std::string path(1000, 'p');
    EXPECT_EQ(testkit::stderr_of([&] { report_failure(path.c_str(), -7); }),
              "[Oops!] File: " + std::string(200, 'p') + ", Line -7\n");
}

} // namespace
