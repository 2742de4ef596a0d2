// The engine's worker pool as Python code needs it: the GIL handed over around jobs and
// waits, and Ctrl-C noticed while the caller waits.
#pragma once

#include <pybind11/pybind11.h>

#include <exception>
#include <functional>

#include "engine/concurrency/worker_pool.hpp"

namespace tovrane::py_util {

/// Hooks for a pool whose jobs call Python: each worker keeps one thread state for its
/// life and holds the GIL only around its jobs; the owner waits with the GIL released.
concurrency::Hooks python_job_hooks();

/// Python's signal handlers run while a pool's owner waits. Signals reach only the main
/// thread, so elsewhere there is nothing to ask. The error a handler raised (Ctrl-C's
/// KeyboardInterrupt) is kept for the owner to raise once the run has ended.
class SignalWatch {
public:
    SignalWatch();

    /// The interruption check for Hooks::interrupted; empty off the main thread.
    std::function<bool()> check();

    /// What an interrupted run raises once it has ended: the kept error, or a
    /// KeyboardInterrupt when the check could not tell why it stopped the run. Needs the GIL.
    [[nodiscard]] std::exception_ptr interruption() const;

private:
    bool main_thread_;
    std::exception_ptr error_;
};

}  // namespace tovrane::py_util
