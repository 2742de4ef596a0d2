// A bounded set of worker threads over a list of tasks, interruptible by the caller.
#include "engine/ocr/parallel.hpp"

#include "engine/ocr/errors.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

namespace tovrane::ocr {

void run_parallel(std::size_t count, std::size_t workers, const std::function<void(std::size_t, std::size_t)>& task,
                  const std::function<bool()>& interrupted) {
    if (count == 0) {
        return;
    }
    workers = std::clamp<std::size_t>(workers, 1, count);
    std::atomic<std::size_t> next{0};
    std::atomic<bool> stop{false};
    std::mutex mutex;
    std::condition_variable finished;
    std::size_t running = workers;
    std::exception_ptr failure;

    auto work = [&](std::size_t worker) {
        while (!stop.load()) {
            const std::size_t index = next.fetch_add(1);
            if (index >= count) {
                break;
            }
            try {
                task(index, worker);
            } catch (...) {
                const std::lock_guard lock(mutex);
                if (!failure) {
                    failure = std::current_exception();
                }
                stop = true;
            }
        }
        const std::lock_guard lock(mutex);
        --running;
        finished.notify_all();
    };

    std::vector<std::thread> threads;
    threads.reserve(workers);
    for (std::size_t w = 0; w < workers; ++w) {
        threads.emplace_back(work, w);
    }
    bool was_interrupted = false;
    for (;;) {
        {
            std::unique_lock lock(mutex);
            if (finished.wait_for(lock, std::chrono::milliseconds(100), [&] { return running == 0; })) {
                break;
            }
        }
        // Checked without our lock held: the check may wait for the GIL, which a
        // worker may hold while it finishes a task.
        if (!was_interrupted && interrupted) {
            bool asked = false;
            try {
                asked = interrupted();
            } catch (...) {
                asked = true;  // a check that cannot tell is taken as a request to stop
            }
            if (asked) {
                was_interrupted = true;
                stop = true;
            }
        }
    }
    for (auto& thread : threads) {
        thread.join();
    }
    if (was_interrupted) {
        throw Interrupted();
    }
    if (failure) {
        std::rethrow_exception(failure);
    }
}

}  // namespace tovrane::ocr
