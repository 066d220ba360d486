// Runs one job per item on a number of threads and hands the results over
// in the items' order, each as soon as it and every one before it is done.
#pragma once

#include <cstddef>
#include <functional>

#include "verify/file_verdict.h"

// Calls `verify(i)` for every i below `count` on `jobs` threads, the calling
// thread one of them (at most `count`; 1 runs everything on the calling
// thread), and `deliver(i, result)` for i = 0, 1, ... in order, one call at
// a time, each on whichever of those threads finished the last item it
// needed. When `deliver` returns false no further items are started; those
// running finish and are dropped.
void RunInOrder(size_t count, unsigned jobs, const std::function<FileVerdict(size_t)>& verify,
                const std::function<bool(size_t, FileVerdict&&)>& deliver);
