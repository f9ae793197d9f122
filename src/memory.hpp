#pragma once
// Large buffers on transparent huge pages where the system grants them on request (Linux with
// transparent_hugepage set to "madvise"), as NumPy does for its large arrays: a fresh buffer of
// many megabytes then costs a few page faults per 2 MiB instead of one per 4 KiB, which is most
// of the time of a single large fit. Only placement changes, never a value.

#include <cstddef>
#include <cstdint>
#include <vector>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace vorn {

inline void advise_huge_pages([[maybe_unused]] const void* data,
                              [[maybe_unused]] std::size_t bytes) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    constexpr std::uintptr_t huge_page = std::uintptr_t{1} << 21;
    // Below a few huge pages the advice saves little and splits the heap's mappings.
    constexpr std::size_t worth_advising = std::size_t{4} << 20;
    if (bytes < worth_advising) return;
    const auto begin = reinterpret_cast<std::uintptr_t>(data);
    const std::uintptr_t first = (begin + huge_page - 1) & ~(huge_page - 1);
    const std::uintptr_t last = (begin + bytes) & ~(huge_page - 1);
    // Advice only: a refusal leaves ordinary pages, so the result is ignored.
    if (last > first) (void)madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
#endif
}

// Room for `count` elements, advised before anything touches it (the first touch decides the
// page size).
template <class T, class A>
void reserve_large(std::vector<T, A>& values, std::size_t count) {
    values.reserve(count);
    advise_huge_pages(values.data(), values.capacity() * sizeof(T));
}

}  // namespace vorn
