// Batched page faults and the two-thread copy into fresh memory.
#include "core/page_memory.hpp"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <system_error>
#include <thread>

namespace orvane {
namespace {

constexpr std::size_t kStep = 4u << 20;

}  // namespace

void populate_pages(char* data, std::size_t size) {
  // Faulting pages in as a batch is several times cheaper than one fault per page on the first
  // write.
  constexpr int kPopulateWrite = 23;  // MADV_POPULATE_WRITE
  const auto page = static_cast<std::uintptr_t>(::sysconf(_SC_PAGESIZE));
  auto begin = (reinterpret_cast<std::uintptr_t>(data) + page - 1) & ~(page - 1);
  auto end = (reinterpret_cast<std::uintptr_t>(data) + size) & ~(page - 1);
  if (end > begin) ::madvise(reinterpret_cast<void*>(begin), end - begin, kPopulateWrite);
}

void copy_in_steps(char* dest, const char* src, std::size_t size, std::atomic<std::size_t>* done) {
  for (std::size_t at = 0; at < size;) {
    std::size_t n = std::min(kStep, size - at);
    populate_pages(dest + at, n);
    std::memcpy(dest + at, src + at, n);
    at += n;
    done->store(at, std::memory_order_release);
  }
}

std::size_t split_point(std::size_t size) {
  if (size < kTwoThreadCopyBytes) return size;
  const auto page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
  return size / 2 / page * page;
}

void copy_in_two(char* dest, const char* src, std::size_t size, std::atomic<std::size_t>* first,
                 std::atomic<std::size_t>* second) {
  const std::size_t split = split_point(size);
  std::thread helper;
  if (split < size) {
    try {
      helper = std::thread(copy_in_steps, dest + split, src + split, size - split, second);
    } catch (const std::system_error&) {
      // No thread to be had: this thread copies the second part after the first.
    }
  }
  copy_in_steps(dest, src, split, first);
  if (helper.joinable()) {
    helper.join();
  } else if (split < size) {
    copy_in_steps(dest + split, src + split, size - split, second);
  }
}

}  // namespace orvane
