// Worker threads that live for one run, fed positions in order, stoppable by the caller.
//
// Contract. A pool starts its threads at construction (at least one, or the constructor
// throws what std::thread threw; fewer than asked only make the run slower). Positions are
// submitted by the owning thread, also while jobs already run; each is handed to the next
// free worker, in submission order, and run once as job(position, worker) with worker in
// [0, threads()). stop() (from the owner or a job) drops the positions not yet started and
// ignores later submissions; running jobs finish. finish() waits until nothing is queued
// or running, then joins the workers:
//   - while it waits it asks hooks.interrupted about every hooks.poll, until the first
//     time it answers true (or throws, which counts as true): the run then stops and
//     finish() throws Interrupted once every worker has ended;
//     while jobs still run after that, hooks.abandon is asked at once and then every poll
//     to make them end early (close what they wait on); jobs it cannot reach finish;
//   - otherwise the first exception a job threw (which also stopped the run) is rethrown;
// This is the only place that polls for interrupts. The owner's locks are never held while
// a job or a hook runs, so hooks may take a host lock such as Python's GIL: hooks.job runs
// around each job, hooks.worker around each worker's whole life, hooks.wait around every
// wait of the owning thread (finish() and the destructor, which stops and joins).
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <exception>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

namespace tovrane::concurrency {

/// Thrown by finish() and run_parallel() when the interruption check asked the run to stop.
class Interrupted : public std::exception {
public:
    const char* what() const noexcept override { return "interrupted"; }
};

/// What the host runtime needs around the pool's threads; every member may stay empty.
struct Hooks {
    using Wrapper = std::function<void(const std::function<void()>&)>;
    Wrapper worker;  ///< runs a worker thread's whole loop (e.g. with a thread state of its own)
    Wrapper job;     ///< runs one job on a worker (e.g. holding the GIL)
    Wrapper wait;    ///< runs a wait of the owning thread (e.g. with the GIL released)
    std::function<bool()> interrupted;  ///< true asks the run to stop
    std::function<void()> abandon;      ///< after an interrupt: asks running jobs to end early
    std::chrono::milliseconds poll{100};  ///< how often `interrupted` is asked
};

class WorkerPool {
public:
    using Job = std::function<void(std::size_t position, std::size_t worker)>;

    WorkerPool(std::size_t threads, Job job, Hooks hooks = {});
    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;
    /// Stops the run and joins the workers when finish() was skipped; never throws.
    ~WorkerPool();

    /// Queues `position`, unless the run was stopped.
    void submit(std::size_t position);
    /// Drops the positions not yet started; later submissions are ignored.
    void stop();
    /// Waits for the run to end and joins the workers (see the contract above).
    void finish();

    [[nodiscard]] std::size_t threads() const { return threads_.size(); }

private:
    void work(std::size_t worker);
    std::optional<std::size_t> next();
    void run_job(std::size_t position, std::size_t worker);
    void wait_until_idle();
    bool ask_interrupted();
    void ask_abandon(std::unique_lock<std::mutex>& lock);
    void close_and_join();
    void owner_waits(const std::function<void()>& wait);

    Job job_;
    Hooks hooks_;
    std::mutex mutex_;
    std::condition_variable wake_;  // workers: a position or the close
    std::condition_variable idle_;  // finish(): a job done or the queue dropped
    std::deque<std::size_t> queue_;
    std::size_t running_ = 0;
    bool closed_ = false;
    bool stopping_ = false;
    bool interrupted_ = false;
    std::exception_ptr failure_;
    std::vector<std::thread> threads_;
};

/// Runs task(index, worker) for every index in [0, count) on min(workers, count) threads
/// (at least one), each taking the next index when free; `interrupted` and `abandon` as
/// in Hooks.
void run_parallel(std::size_t count, std::size_t workers, const WorkerPool::Job& task,
                  const std::function<bool()>& interrupted = {}, const std::function<void()>& abandon = {});

}  // namespace tovrane::concurrency
