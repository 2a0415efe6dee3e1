// The core's threads: how many work side by side, work shared out among them, and the
// ordered hand-off through which the ZIP and 7z packers compress ahead of their writer.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

// How many threads extract a ZIP, list a tree to pack, or compress the files of a pack.
unsigned WorkerCount();
// Runs work on WorkerCount() threads, this one among them, and waits for all.
void RunOnWorkers(const std::function<void(unsigned worker, unsigned workers)>& work);

// Jobs 0..n-1 prepared on worker threads in index order, ahead of one writer that takes
// them in the same order. A job starts only while the cost of the jobs started and not yet
// done stays within the budget (with nothing in flight, any job starts), so memory stays
// bounded however far the workers could run ahead. Each thread has a Scratch of its own: an
// encoder, buffers.
template <typename Job, typename Scratch>
struct OrderedWork {
  using Prepare = std::function<void(size_t index, Scratch* scratch, Job* job)>;
  using Cost = std::function<int64_t(size_t index)>;

  OrderedWork() = default;
  OrderedWork(const OrderedWork&) = delete;
  OrderedWork& operator=(const OrderedWork&) = delete;

  void Start(size_t count, unsigned threadCount, int64_t limit, Prepare prepareJob,
             Cost costOf) {
    prepare = std::move(prepareJob);
    cost = std::move(costOf);
    budget = limit;
    jobs.resize(count);
    ready.assign(count, 0);
    for (unsigned k = 0; k < threadCount; ++k) threads.emplace_back([this] { Work(); });
  }

  // Waits until job i is prepared; it is the caller's until Done(i).
  Job& Await(size_t i) {
    std::unique_lock<std::mutex> guard(lock);
    awaited = i;
    changed.wait(guard, [&] { return ready[i] != 0; });
    awaited = SIZE_MAX;
    return jobs[i];
  }

  // Frees job i and its share of the budget.
  void Done(size_t i) {
    bool wake = false;
    {
      std::lock_guard<std::mutex> guard(lock);
      inFlight -= cost(i);
      jobs[i] = Job();
      wake = idleWorkers > 0;
    }
    if (wake) changed.notify_all();
  }

  ~OrderedWork() {
    {
      std::lock_guard<std::mutex> guard(lock);
      stop = true;
    }
    changed.notify_all();
    for (std::thread& t : threads) t.join();
  }

  // The next job to prepare, once the budget has room for it; false when there is none.
  bool TakeNext(size_t* i) {
    std::unique_lock<std::mutex> guard(lock);
    ++idleWorkers;
    changed.wait(guard, [&] {
      return stop || next >= jobs.size() || inFlight == 0 ||
             inFlight + cost(next) <= budget;
    });
    --idleWorkers;
    if (stop || next >= jobs.size()) return false;
    *i = next++;
    inFlight += cost(*i);
    return true;
  }

  void Work() {
    Scratch scratch;
    size_t i = 0;
    while (TakeNext(&i)) {
      Job job;
      prepare(i, &scratch, &job);
      bool wake = false;
      {
        std::lock_guard<std::mutex> guard(lock);
        jobs[i] = std::move(job);
        ready[i] = 1;
        wake = awaited == i;
      }
      if (wake) changed.notify_all();
    }
  }

  Prepare prepare;
  Cost cost;
  int64_t budget = 0;
  std::vector<Job> jobs;
  std::vector<int> ready;
  std::mutex lock;
  std::condition_variable changed;
  size_t next = 0;
  int64_t inFlight = 0;
  bool stop = false;
  // Who waits, so that a finished job wakes only a writer waiting for it and a freed budget
  // only idle workers: thousands of small files would otherwise wake everyone.
  size_t awaited = SIZE_MAX;
  int idleWorkers = 0;
  std::vector<std::thread> threads;
};
