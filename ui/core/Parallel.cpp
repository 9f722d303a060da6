#include "ui/core/Parallel.h"

unsigned ListThreads() {
  // One core stays with the GUI thread, so that the window keeps answering
  // while a worker sorts or filters.
  static const unsigned n = std::clamp(std::thread::hardware_concurrency(), 2u, 9u) - 1;
  return n;
}

unsigned ParallelParts(size_t n, size_t minPerPart) {
  if (minPerPart == 0) minPerPart = 1;
  const size_t byWork = n / minPerPart;
  return unsigned(std::clamp<size_t>(byWork, 1, ListThreads()));
}

void ParallelFor(size_t n, size_t minPerPart, const std::function<void(size_t, size_t, unsigned)>& fn) {
  const unsigned parts = ParallelParts(n, minPerPart);
  if (parts <= 1) {
    fn(0, n, 0);
    return;
  }
  std::vector<std::thread> threads;
  threads.reserve(parts - 1);
  const size_t step = n / parts, extra = n % parts;
  size_t begin = 0;
  for (unsigned p = 0; p < parts; ++p) {
    const size_t end = begin + step + (p < extra ? 1 : 0);
    if (p + 1 == parts) {
      fn(begin, end, p);
    } else {
      threads.emplace_back([&fn, begin, end, p] { fn(begin, end, p); });
    }
    begin = end;
  }
  for (std::thread& t : threads) t.join();
}
