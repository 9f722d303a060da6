// Fork-join helpers for the list's bulk work (sorting, filtering, finding,
// exporting, checking millions of rows): the caller waits until every part
// is done, so the parts may read whatever the caller does not change.
#pragma once
#include <algorithm>
#include <cstddef>
#include <functional>
#include <thread>
#include <utility>
#include <vector>

// Threads the list's bulk work may use: one less than the cores (at least
// 1, at most 8).
unsigned ListThreads();

// Splits [0, n) into at most ListThreads() contiguous parts of at least
// minPerPart items and runs fn(begin, end, part) on each, the last part on
// the calling thread. Parts are numbered in range order. The threads are
// kept for the next call.
void ParallelFor(size_t n, size_t minPerPart, const std::function<void(size_t, size_t, unsigned)>& fn);

// How many parts ParallelFor makes for n items.
unsigned ParallelParts(size_t n, size_t minPerPart);

namespace parallel_detail {

// Partitions [first, last) round a median-of-three pivot into < pivot,
// == pivot and > pivot; returns the bounds of the middle block.
template <class It, class Less>
std::pair<It, It> Partition3(It first, It last, Less less) {
  const auto n = last - first;
  It a = first, b = first + n / 2, c = last - 1;
  if (less(*b, *a)) std::swap(a, b);
  if (less(*c, *b)) {
    std::swap(b, c);
    if (less(*b, *a)) std::swap(a, b);
  }
  const auto pivot = *b;
  It lt = first, i = first, gt = last;
  while (i < gt) {
    if (less(*i, pivot)) {
      std::iter_swap(lt++, i++);
    } else if (less(pivot, *i)) {
      std::iter_swap(i, --gt);
    } else {
      ++i;
    }
  }
  return {lt, gt};
}

template <class It, class Less>
void SortLevel(It first, It last, Less less, int depth) {
  const auto n = last - first;
  if (depth <= 0 || n < 65536) {
    std::sort(first, last, less);
    return;
  }
  // A few levels of parallel three-way partitions, then introsort below:
  // O(n log n) whatever the input, no buffer beside the array.
  const auto [lo, hi] = Partition3(first, last, less);
  std::thread left([=] { SortLevel(first, lo, less, depth - 1); });
  SortLevel(hi, last, less, depth - 1);
  left.join();
}

}  // namespace parallel_detail

// Sorts [first, last) with less, in place, on up to ListThreads() threads.
// Equal items have no defined order.
template <class It, class Less>
void ParallelSort(It first, It last, Less less) {
  int depth = 0;
  for (unsigned t = ListThreads(); t > 1; t >>= 1) ++depth;
  parallel_detail::SortLevel(first, last, less, depth + 1);
}
