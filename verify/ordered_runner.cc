#include "verify/ordered_runner.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

void RunInOrder(size_t count, unsigned jobs, const std::function<FileVerdict(size_t)>& verify,
                const std::function<bool(size_t, FileVerdict&&)>& deliver) {
  if (jobs <= 1 || count <= 1) {
    for (size_t i = 0; i < count; ++i) {
      if (!deliver(i, verify(i))) return;
    }
    return;
  }

  // Under `mutex`: the results not yet delivered, how many were, whether a
  // thread is delivering now, and whether delivery refused.
  std::mutex mutex;
  std::vector<std::optional<FileVerdict>> results(count);
  size_t delivered = 0;
  bool delivering = false;
  bool stopped = false;
  std::condition_variable roomAhead;
  std::atomic<size_t> nextItem{0};
  // A worker runs at most this far ahead of the item being delivered, so the
  // results held at once stay few whatever the number of files.
  const size_t window = size_t{jobs} * 4;

  // No thread waits for a result: the one that finishes the item next in
  // line delivers it and every finished one after it, while the others go
  // on verifying. A thread that waited to deliver would be woken once a
  // file, and on a machine with as many processors as workers every wake-up
  // takes a processor from a worker.
  auto work = [&] {
    for (;;) {
      const size_t item = nextItem.fetch_add(1);
      if (item >= count) return;
      {
        std::unique_lock<std::mutex> lock(mutex);
        roomAhead.wait(lock, [&] { return stopped || item < delivered + window; });
        if (stopped) return;
      }
      FileVerdict result = verify(item);
      std::unique_lock<std::mutex> lock(mutex);
      results[item] = std::move(result);
      // The thread delivering now looks for this result before it stops.
      if (delivering) continue;
      delivering = true;
      while (!stopped && delivered < count && results[delivered].has_value()) {
        const size_t next = delivered;
        FileVerdict ready = std::move(*results[next]);
        results[next].reset();
        lock.unlock();
        const bool goOn = deliver(next, std::move(ready));
        lock.lock();
        delivered = next + 1;
        if (!goOn) stopped = true;
        roomAhead.notify_all();
      }
      delivering = false;
    }
  };

  std::vector<std::thread> helpers;
  const size_t helperCount = std::min<size_t>(jobs, count) - 1;
  helpers.reserve(helperCount);
  for (size_t i = 0; i < helperCount; ++i) helpers.emplace_back(work);
  work();
  for (std::thread& helper : helpers) helper.join();
}
