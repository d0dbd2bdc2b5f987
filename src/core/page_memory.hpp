// Fresh memory for large cache buffers: faulted in by batches, and copied into by two threads.
//
// On the machines this runs on, the first touch of fresh memory costs far more than copying
// into it, and more still with transparent huge pages, whose 2 MiB blocks are the ones a virtual
// machine hands back to its host first (measured: 4 KiB pages faulted a few megabytes at a time
// fill about twice as fast, and with far less spread). So large buffers stay on ordinary pages,
// their faults are taken in batches, and a large copy is split so that both cores take faults.
#pragma once

#include <atomic>
#include <cstddef>

namespace orvane {

// Copies at least this large are split across two threads; below, a helper thread costs more
// than the faults it shares.
inline constexpr std::size_t kTwoThreadCopyBytes = 64u << 20;

// Faults in the whole pages inside [data, data + size) in one call, ready to be written
// (Linux 5.14+; elsewhere, and where refused, the pages fault in on first write as usual).
void populate_pages(char* data, std::size_t size);

// Copies `size` bytes into fresh memory a step at a time, faulting each step in first, and
// stores the bytes done after each step into `done` (release order).
void copy_in_steps(char* dest, const char* src, std::size_t size, std::atomic<std::size_t>* done);

// Copies into fresh memory as copy_in_steps does, but the part from `split_point(size)` on is
// copied by a helper thread at the same time; `first` and `second` count the bytes done of each
// part. Falls back to one thread for small copies or when no thread can be started.
void copy_in_two(char* dest, const char* src, std::size_t size, std::atomic<std::size_t>* first,
                 std::atomic<std::size_t>* second);

// Where copy_in_two splits a copy of `size` bytes: a page boundary near the middle, or `size`
// itself when one thread does it all.
std::size_t split_point(std::size_t size);

}  // namespace orvane
