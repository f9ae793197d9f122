#pragma once
// Working buffers of many megabytes mapped from the system and unmapped when freed. Once NumPy
// has freed a large array, the C library raises its mmap threshold, serves later blocks of a few
// megabytes from its heap and keeps them resident after they are freed; a fit's scratch then
// stays resident beside the next fit's. A mapping returns to the system when it is freed,
// whatever the heap's state. Small buffers take the ordinary allocator. Only placement changes,
// never a value.

#include <algorithm>
#include <cstddef>
#include <memory>
#include <new>
#include <vector>

#if defined(__linux__)
#include <sys/mman.h>
#endif

#include "memory.hpp"

namespace vorn {

// Below this a mapping's system calls and page faults cost more than the heap's reuse saves.
inline constexpr std::size_t mapped_from_bytes = std::size_t{1} << 20;

template <class T>
struct MappedAllocator {
    using value_type = T;

    MappedAllocator() noexcept = default;
    template <class U>
    MappedAllocator(const MappedAllocator<U>&) noexcept {}

    static bool mapped(std::size_t count) { return count >= mapped_from_bytes / sizeof(T); }

    T* allocate(std::size_t count) {
#if defined(__linux__)
        if (mapped(count)) {
            if (count > std::allocator_traits<std::allocator<T>>::max_size(std::allocator<T>())) {
                throw std::bad_array_new_length();
            }
            const std::size_t bytes = count * sizeof(T);
            void* at = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS,
                            -1, 0);
            if (at == MAP_FAILED) throw std::bad_alloc();
            advise_huge_pages(at, bytes);
            return static_cast<T*>(at);
        }
#endif
        return std::allocator<T>().allocate(count);
    }

    void deallocate(T* values, std::size_t count) noexcept {
#if defined(__linux__)
        if (mapped(count)) {
            // Fails only for a range that was never mapped, which the vector never passes.
            (void)munmap(values, count * sizeof(T));
            return;
        }
#endif
        std::allocator<T>().deallocate(values, count);
    }

    template <class U>
    bool operator==(const MappedAllocator<U>&) const noexcept {
        return true;
    }
};

template <class T>
using MappedVector = std::vector<T, MappedAllocator<T>>;

// Values compare equal whatever holds them (a form's breaks against a plain vector).
template <class T>
bool operator==(const MappedVector<T>& mapped, const std::vector<T>& plain) {
    return std::equal(mapped.begin(), mapped.end(), plain.begin(), plain.end());
}

}  // namespace vorn
