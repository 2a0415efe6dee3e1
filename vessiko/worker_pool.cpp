// The core's worker threads: how many, and work shared out among them.
#include "worker_pool.h"

#include <algorithm>

unsigned WorkerCount() {
  unsigned n = std::thread::hardware_concurrency();
  return n == 0 ? 1 : std::min(n, 4u);
}

void RunOnWorkers(const std::function<void(unsigned worker, unsigned workers)>& work) {
  unsigned workers = WorkerCount();
  std::vector<std::thread> threads;
  for (unsigned k = 1; k < workers; ++k) threads.emplace_back(work, k, workers);
  work(0, workers);
  for (std::thread& t : threads) t.join();
}
