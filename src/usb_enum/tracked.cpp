// Tracked memory and failure reports of the scan module.
//
// Every block the scan takes is one GlobalAlloc block: an alloc_header naming the
// allocating site, then the caller's bytes. The headers' links put every live
// block on alloc_list.
#include "usb_enum/usb_enum.h"

constinit list_link alloc_list = {&alloc_list, &alloc_list};

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
    list_add_tail(&alloc_list, &header->link);
    header->file = file;
    header->line = line;
    return header + 1;
}

void tracked_free(void *block) {
    if (block == nullptr) {
        return;
    }
    alloc_header *header = static_cast<alloc_header *>(block) - 1;
    list_del(&header->link);
    GlobalFree(header);
}

void report_failure(const char *file, int line) {
    // "File: " + at most 200 characters of path + ", Line " + at most 11 digits and
    // sign stays well inside the buffer, whatever path is given.
    char text[256];
    wsprintfA(text, "File: %.200s, Line %d", file, line);
    MessageBoxA(nullptr, text, "Oops!", MB_OK);
}
