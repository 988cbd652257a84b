// Tracked memory and failure reports of the scan module.
//
// Every block the scan takes is one GlobalAlloc block: an alloc_header naming the
// allocating site, then the caller's bytes. The headers form one circular list
// whose sentinel is alloc_list itself. A header's links may point to the
// sentinel, but the sentinel is only a pair of links, not a whole header: its
// links are read and written through alloc_list, never through such a pointer.
#include "usb_enum/usb_enum.h"

namespace {

alloc_header *sentinel() {
    return reinterpret_cast<alloc_header *>(&alloc_list);
}

// The next and previous links of a list member, the sentinel included.
alloc_header *&next_of(alloc_header *h) {
    return h == sentinel() ? alloc_list.next : h->next;
}
alloc_header *&prev_of(alloc_header *h) {
    return h == sentinel() ? alloc_list.prev : h->prev;
}

} // namespace

alloc_links alloc_list = {reinterpret_cast<alloc_header *>(&alloc_list),
                          reinterpret_cast<alloc_header *>(&alloc_list)};

void *tracked_alloc(const char *file, int line, std::uint32_t size) {
    if (size == 0) {
        return nullptr;
    }
    // Where the size range is 32 bits wide, the header could carry a huge request
    // round to a small one; such a request yields nothing instead of a short block.
    const SIZE_T total = static_cast<SIZE_T>(size) + sizeof(alloc_header);
    if (total < sizeof(alloc_header)) {
        return nullptr;
    }
    auto *header = static_cast<alloc_header *>(GlobalAlloc(GMEM_ZEROINIT, total));
    if (header == nullptr) {
        return nullptr;
    }
    header->next = sentinel();
    header->prev = alloc_list.prev;
    next_of(alloc_list.prev) = header;
    alloc_list.prev = header;
    header->file = file;
    header->line = line;
    return header + 1;
}

void tracked_free(void *block) {
    if (block == nullptr) {
        return;
    }
    alloc_header *header = static_cast<alloc_header *>(block) - 1;
    next_of(header->prev) = header->next;
    prev_of(header->next) = header->prev;
    GlobalFree(header);
}

void report_failure(const char *file, int line) {
    // "File: " + at most 200 characters of path + ", Line " + at most 11 digits and
    // sign stays well inside the buffer, whatever path is given.
    char text[256];
    wsprintfA(text, "File: %.200s, Line %d", file, line);
    MessageBoxA(nullptr, text, "Oops!", MB_OK);
}
