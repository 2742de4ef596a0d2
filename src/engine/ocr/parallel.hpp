// A bounded set of worker threads over a list of tasks, interruptible by the caller.
#pragma once

#include <cstddef>
#include <functional>

namespace tovrane::ocr {

/// Runs task(index, worker) for every index in [0, count) on `workers` new
/// threads (worker in [0, workers)), each taking the next index when free. The
/// calling thread waits and calls `interrupted` (when given) about every 100 ms;
/// when it returns true no new task starts, running ones finish and Interrupted
/// is thrown. The first exception of a task likewise stops the others and is
/// rethrown here once every thread has ended.
void run_parallel(std::size_t count, std::size_t workers, const std::function<void(std::size_t, std::size_t)>& task,
                  const std::function<bool()>& interrupted = {});

}  // namespace tovrane::ocr
