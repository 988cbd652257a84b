// The replaced global operator new and delete, counting allocations. Kept in a
// file of their own so that no caller sees them inlined.
#include "heap_count.h"

#include <cstdlib>
#include <new>

namespace {
std::uint64_t allocations = 0;
}

std::uint64_t bench::heap_allocations() {
    return allocations;
}

void *operator new(std::size_t size) {
    ++allocations;
    if (void *p = std::malloc(size == 0 ? 1 : size)) {
        return p;
    }
    throw std::bad_alloc();
}
void *operator new[](std::size_t size) {
    return operator new(size);
}
void operator delete(void *p) noexcept {
    std::free(p);
}
void operator delete[](void *p) noexcept {
    std::free(p);
}
void operator delete(void *p, std::size_t) noexcept {
    std::free(p);
}
void operator delete[](void *p, std::size_t) noexcept {
    std::free(p);
}
