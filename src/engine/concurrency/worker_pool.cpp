// Worker threads that live for one run, fed positions in order, stoppable by the caller.
#include "engine/concurrency/worker_pool.hpp"

#include <algorithm>
#include <system_error>
#include <utility>

namespace tovrane::concurrency {

WorkerPool::WorkerPool(std::size_t threads, Job job, Hooks hooks) : job_(std::move(job)), hooks_(std::move(hooks)) {
    threads_.reserve(threads);
    try {
        for (std::size_t i = 0; i < threads; ++i) threads_.emplace_back([this, i] { work(i); });
    } catch (const std::system_error&) {
        // Fewer threads only make the run slower; none at all cannot run it.
        if (threads_.empty()) throw;
    }
}

WorkerPool::~WorkerPool() {
    if (threads_.empty()) return;
    stop();
    owner_waits([this] { close_and_join(); });
}

void WorkerPool::submit(std::size_t position) {
    {
        const std::lock_guard lock(mutex_);
        if (stopping_) return;
        queue_.push_back(position);
    }
    wake_.notify_one();
}

void WorkerPool::stop() {
    const std::lock_guard lock(mutex_);
    stopping_ = true;
    queue_.clear();
    idle_.notify_all();
}

void WorkerPool::finish() {
    owner_waits([this] {
        wait_until_idle();
        close_and_join();
    });
    if (interrupted_) throw Interrupted();
    if (failure_) std::rethrow_exception(failure_);
}

void WorkerPool::owner_waits(const std::function<void()>& wait) {
    if (hooks_.wait) {
        hooks_.wait(wait);
    } else {
        wait();
    }
}

void WorkerPool::wait_until_idle() {
    std::unique_lock lock(mutex_);
    const auto idle = [this] { return queue_.empty() && running_ == 0; };
    while (!idle_.wait_for(lock, hooks_.poll, idle)) {
        if (interrupted_) {
            // A job may have started another wait since the last request: asked again.
            ask_abandon(lock);
            continue;
        }
        if (!hooks_.interrupted) continue;
        // Asked without our lock: the check may wait for a host lock a job holds.
        lock.unlock();
        const bool stop_now = ask_interrupted();
        lock.lock();
        if (stop_now) {
            interrupted_ = true;
            stopping_ = true;
            queue_.clear();
            if (running_ > 0) ask_abandon(lock);
        }
    }
}

void WorkerPool::ask_abandon(std::unique_lock<std::mutex>& lock) {
    if (!hooks_.abandon) return;
    lock.unlock();
    try {
        hooks_.abandon();
    } catch (...) {
        // Jobs it could not reach end on their own; the interrupt is what the owner sees.
    }
    lock.lock();
}

bool WorkerPool::ask_interrupted() {
    try {
        return hooks_.interrupted();
    } catch (...) {
        return true;  // a check that cannot tell is taken as a request to stop
    }
}

void WorkerPool::close_and_join() {
    {
        const std::lock_guard lock(mutex_);
        closed_ = true;
    }
    wake_.notify_all();
    for (auto& thread : threads_) {
        if (thread.joinable()) thread.join();
    }
    threads_.clear();
}

void WorkerPool::work(std::size_t worker) {
    const auto loop = [this, worker] {
        while (const auto position = next()) {
            run_job(*position, worker);
            const std::lock_guard lock(mutex_);
            --running_;
            idle_.notify_all();
        }
    };
    if (hooks_.worker) {
        hooks_.worker(loop);
    } else {
        loop();
    }
}

std::optional<std::size_t> WorkerPool::next() {
    std::unique_lock lock(mutex_);
    wake_.wait(lock, [this] { return closed_ || !queue_.empty(); });
    if (queue_.empty()) return std::nullopt;
    const std::size_t position = queue_.front();
    queue_.pop_front();
    ++running_;
    return position;
}

void WorkerPool::run_job(std::size_t position, std::size_t worker) {
    try {
        if (hooks_.job) {
            hooks_.job([&] { job_(position, worker); });
        } else {
            job_(position, worker);
        }
    } catch (...) {
        std::exception_ptr error = std::current_exception();
        {
            const std::lock_guard lock(mutex_);
            if (!failure_) failure_ = std::move(error);
        }
        stop();
    }
}

void run_parallel(std::size_t count, std::size_t workers, const WorkerPool::Job& task,
                  const std::function<bool()>& interrupted, const std::function<void()>& abandon) {
    if (count == 0) return;
    Hooks hooks;
    hooks.interrupted = interrupted;
    hooks.abandon = abandon;
    WorkerPool pool(std::clamp<std::size_t>(workers, 1, count), task, std::move(hooks));
    for (std::size_t index = 0; index < count; ++index) pool.submit(index);
    pool.finish();
}

}  // namespace tovrane::concurrency
