// Buffers of doubles kept by the thread that made a call, for its next call. A call from Python
// converts its separations into one buffer and its map writes the results into another; glibc
// serves blocks of 128 KiB and more straight from the kernel (mmap) and unmaps them when freed, so
// every call paid a page fault per 4 KiB of both on first touch (about 0.25 us each on this
// virtual machine: 3 ns a separation, on the thread every other waits for), and their unmapping.
//
// A thread keeps at most kKept buffers of kSmallest to kLargest doubles (128 KiB to 8 MiB), so it
// holds at most 16 MiB between calls; the buffers go when the thread ends.
//
//     std::vector<double> l = reuse_buffer(n); // empty, capacity >= n
//     ...                                      // fill it, compute
//     keep_buffer(std::move(l));               // for the next call on this thread
#pragma once

#include <cstddef>
#include <vector>

namespace finitemu::parallel {

inline constexpr std::size_t kSmallest = std::size_t{1} << 14; // 128 KiB: below, malloc reuses
inline constexpr std::size_t kLargest = std::size_t{1} << 20;  // 8 MiB
inline constexpr std::size_t kKept = 2;                        // a call's input and output

// An empty vector whose capacity is at least n: the smallest of this thread's spare buffers that
// holds n doubles, or a new one.
[[nodiscard]] std::vector<double> reuse_buffer(std::size_t n);

// Keeps `buffer` for this thread's next call when its capacity lies in [kSmallest, kLargest],
// in place of a smaller spare when kKept are kept already; else leaves it to its owner.
void keep_buffer(std::vector<double>&& buffer) noexcept;

} // namespace finitemu::parallel
