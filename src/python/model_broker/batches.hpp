// Batch runners of the model broker: a thread pool for the blocking operations,
// concurrent coroutines for their async twins, and blocking wrappers around those.
#pragma once

#include <pybind11/pybind11.h>

namespace tovrane::broker {

namespace py = pybind11;

/// Adds the batch methods (`run_concurrent_tasks`, the thread-pool, async and sync
/// batches) to `cls`. They reach the broker only through its Python attributes, so any
/// class offering the operations, `max_concurrent_requests` and `_request_semaphore` works.
void bind_batches(py::handle cls);

}  // namespace tovrane::broker
