#include <gtest/gtest.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <numeric>
#include <utility>
#include <vector>

#include <sys/mman.h>
#include <unistd.h>

#include "mapped_allocator.hpp"

namespace {

using vorn::MappedVector;

constexpr std::size_t large = vorn::mapped_from_bytes / sizeof(double);

bool page_aligned(const void* at) {
    const auto page = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
    return reinterpret_cast<std::uintptr_t>(at) % page == 0;
}

// Whether any page of [at, at + bytes) is mapped into the process: mincore fails with ENOMEM
// for a range that is not.
bool mapped(const void* at, std::size_t bytes) {
    const auto page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    std::vector<unsigned char> resident((bytes + page - 1) / page);
    errno = 0;
    const int status = mincore(const_cast<void*>(at), bytes, resident.data());
    return !(status == -1 && errno == ENOMEM);
}

std::vector<double> ramp(std::size_t count) {
    std::vector<double> values(count);
    std::iota(values.begin(), values.end(), 0.5);
    return values;
}

TEST(MappedAllocator, LargeBufferIsItsOwnMappingAndIsUnmappedWhenFreed) {
    const void* at = nullptr;
    std::size_t bytes = 0;
    {
        MappedVector<double> values(large, 1.0);
        at = values.data();
        bytes = values.capacity() * sizeof(double);
        EXPECT_TRUE(page_aligned(at));
        EXPECT_TRUE(mapped(at, bytes));
        EXPECT_EQ(values.front(), 1.0);
        EXPECT_EQ(values.back(), 1.0);
    }
    EXPECT_FALSE(mapped(at, bytes));
}

TEST(MappedAllocator, ValueInitialisedLikeAnyVector) {
    const MappedVector<double> values(2 * large);
    for (std::size_t i = 0; i < values.size(); i += 4099) ASSERT_EQ(values[i], 0.0);
    EXPECT_EQ(values.back(), 0.0);
}

// Growth crosses the threshold (heap to mapping) and then moves between mappings; every value
// must survive each move, and each mapping left behind must be unmapped.
TEST(MappedAllocator, GrowingKeepsEveryValueAndReleasesOldMappings) {
    const std::vector<double> expected = ramp(3 * large + 7);
    MappedVector<double> values;
    std::vector<std::pair<const void*, std::size_t>> left_behind;
    for (const double v : expected) {
        const bool full = values.size() == values.capacity();
        if (full && MappedVector<double>::allocator_type::mapped(values.capacity())) {
            left_behind.emplace_back(values.data(), values.capacity() * sizeof(double));
        }
        values.push_back(v);
    }
    ASSERT_FALSE(left_behind.empty());
    ASSERT_EQ(values.size(), expected.size());
    EXPECT_TRUE(std::equal(values.begin(), values.end(), expected.begin()));
    for (const auto& [at, bytes] : left_behind) EXPECT_FALSE(mapped(at, bytes));
}

TEST(MappedAllocator, MoveHandsTheMappingOverWithoutCopying) {
    MappedVector<double> source(large);
    std::iota(source.begin(), source.end(), -3.0);
    const double* at = source.data();
    MappedVector<double> target(std::move(source));
    EXPECT_EQ(target.data(), at);
    EXPECT_TRUE(source.empty());  // NOLINT(bugprone-use-after-move): moved-from vectors are empty
    MappedVector<double> assigned;
    assigned = std::move(target);
    EXPECT_EQ(assigned.data(), at);
    EXPECT_EQ(assigned[large - 1], -3.0 + static_cast<double>(large - 1));
}

TEST(MappedAllocator, ShrinkingBelowTheThresholdFreesTheRightWay) {
    MappedVector<double> values(2 * large, 2.0);
    const void* at = values.data();
    const std::size_t bytes = values.capacity() * sizeof(double);
    values.resize(10);
    values.shrink_to_fit();  // a heap block of 10 now; the mapping must go with the old buffer
    ASSERT_EQ(values.size(), 10u);
    EXPECT_EQ(values[9], 2.0);
    EXPECT_FALSE(mapped(at, bytes));
}

TEST(MappedAllocator, AbsurdSizeThrowsBadAlloc) {
    MappedVector<double> values;
    EXPECT_THROW(values.reserve(values.max_size()), std::bad_alloc);
}

}  // namespace
