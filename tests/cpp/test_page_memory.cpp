// Unit tests of the copy into fresh memory: whole content, progress of each part, the split.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <vector>

#include "core/page_memory.hpp"

using namespace orvane;

TEST(PageMemory, CopiesWholeInOneOrTwoPartsAndCountsEach) {
  const auto page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
  const std::size_t sizes[] = {0, 1, (5u << 20) + 17, kTwoThreadCopyBytes + (3u << 20) + 11};
  for (std::size_t size : sizes) {
    std::vector<char> source(size + 1);  // never empty: memcmp needs a real pointer
    for (std::size_t i = 0; i < size; ++i) source[i] = static_cast<char>(i % 253);
    void* fresh =
        ::mmap(nullptr, size + 1, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(fresh, MAP_FAILED);
    char* dest = static_cast<char*>(fresh);
    std::atomic<std::size_t> first{0}, second{0};
    copy_in_two(dest, source.data(), size, &first, &second);
    const std::size_t split = split_point(size);
    EXPECT_EQ(split == size, size < kTwoThreadCopyBytes) << size;
    EXPECT_EQ(split % page, size < kTwoThreadCopyBytes ? size % page : 0u) << size;
    EXPECT_EQ(first.load(), split) << size;
    EXPECT_EQ(second.load(), size - split) << size;
    EXPECT_EQ(std::memcmp(dest, source.data(), size), 0) << size;
    ::munmap(fresh, size + 1);
  }
}
