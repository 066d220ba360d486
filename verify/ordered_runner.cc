#include "verify/ordered_runner.h"

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

  std::mutex mutex;
  std::condition_variable ready;
  std::vector<std::optional<FileVerdict>> results(count);
  std::atomic<size_t> nextItem{0};
  std::atomic<bool> stopped{false};
  // A worker runs at most this far ahead of the item being delivered, so the
  // results held at once stay few whatever the number of files.
  const size_t window = size_t{jobs} * 4;
  // Written under the mutex, read without it where a stale value only
  // sends a worker to check again under the mutex.
  std::atomic<size_t> delivered{0};
  std::condition_variable roomAhead;

  // Each hand-over costs as little as it can: a worker takes the mutex
  // before an item only when it may have to wait, and wakes the delivering
  // thread only for the item that thread waits for, after letting the mutex
  // go. On a machine with as many processors as workers, every needless
  // wake-up takes a processor from a worker.
  auto work = [&] {
    for (;;) {
      const size_t item = nextItem.fetch_add(1);
      if (item >= count) return;
      if (item >= delivered.load() + window) {
        std::unique_lock<std::mutex> lock(mutex);
        roomAhead.wait(lock, [&] { return stopped.load() || item < delivered.load() + window; });
      }
      if (stopped.load()) return;
      FileVerdict result = verify(item);
      bool awaited;
      {
        std::lock_guard<std::mutex> lock(mutex);
        results[item] = std::move(result);
        awaited = item == delivered.load();
      }
      if (awaited) ready.notify_one();
    }
  };

  const unsigned threadCount = static_cast<unsigned>(std::min<size_t>(jobs, count));
  std::vector<std::thread> threads;
  threads.reserve(threadCount);
  for (unsigned i = 0; i < threadCount; ++i) threads.emplace_back(work);

  for (size_t i = 0; i < count; ++i) {
    FileVerdict result;
    {
      std::unique_lock<std::mutex> lock(mutex);
      ready.wait(lock, [&] { return results[i].has_value(); });
      result = std::move(*results[i]);
      results[i].reset();
    }
    const bool goOn = deliver(i, std::move(result));
    {
      std::lock_guard<std::mutex> lock(mutex);
      delivered = i + 1;
      if (!goOn) stopped = true;
    }
    roomAhead.notify_all();
    if (!goOn) break;
  }
  for (std::thread& thread : threads) thread.join();
}
