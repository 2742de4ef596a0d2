// The interruptible worker pool shared by page reading and the broker's thread-pool batches.
#include "engine/concurrency/worker_pool.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <numeric>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace tovrane::concurrency {
namespace {

// Interruption is polled often, so tests wait for events rather than for time.
Hooks fast_polling() {
    Hooks hooks;
    hooks.poll = std::chrono::milliseconds(1);
    return hooks;
}

/// A door jobs wait at until a test opens it.
class Gate {
public:
    void open() {
        const std::lock_guard lock(mutex_);
        open_ = true;
        changed_.notify_all();
    }
    void pass() {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [this] { return open_; });
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    bool open_ = false;
};

/// Positions in the order jobs ran them, kept under a lock.
class Record {
public:
    void add(std::size_t position) {
        const std::lock_guard lock(mutex_);
        positions_.push_back(position);
    }
    std::vector<std::size_t> positions() {
        const std::lock_guard lock(mutex_);
        return positions_;
    }

private:
    std::mutex mutex_;
    std::vector<std::size_t> positions_;
};

std::vector<std::size_t> first(std::size_t count) {
    std::vector<std::size_t> out(count);
    std::iota(out.begin(), out.end(), 0);
    return out;
}

TEST(WorkerPool, OneWorkerRunsPositionsInSubmissionOrder) {
    Record ran;
    WorkerPool pool(1, [&](std::size_t position, std::size_t) { ran.add(position); });
    const std::vector<std::size_t> order = {4, 0, 7, 7, 2};
    for (std::size_t position : order) pool.submit(position);
    pool.finish();
    EXPECT_EQ(ran.positions(), order);
}

TEST(WorkerPool, EveryPositionOnceWithinTheWorkerCount) {
    Record ran;
    std::mutex mutex;
    std::set<std::size_t> workers;
    std::atomic<int> busy{0};
    std::atomic<int> most_busy{0};
    WorkerPool pool(3, [&](std::size_t position, std::size_t worker) {
        const int now = ++busy;
        int seen = most_busy.load();
        while (now > seen && !most_busy.compare_exchange_weak(seen, now)) {
        }
        ran.add(position);
        {
            const std::lock_guard lock(mutex);
            workers.insert(worker);
        }
        --busy;
    });
    EXPECT_EQ(pool.threads(), 3u);
    for (std::size_t position = 0; position < 200; ++position) pool.submit(position);
    pool.finish();
    std::vector<std::size_t> positions = ran.positions();
    std::sort(positions.begin(), positions.end());
    EXPECT_EQ(positions, first(200));
    EXPECT_LE(most_busy.load(), 3);
    EXPECT_LE(*workers.rbegin(), 2u);
}

TEST(WorkerPool, JobsRunWhileTheOwnerStillSubmits) {
    Gate first_done;
    Record ran;
    WorkerPool pool(2, [&](std::size_t position, std::size_t) {
        ran.add(position);
        if (position == 0) first_done.open();
    });
    pool.submit(0);
    first_done.pass();  // would wait forever if jobs only started in finish()
    pool.submit(1);
    pool.finish();
    EXPECT_EQ(ran.positions().size(), 2u);
}

TEST(WorkerPool, FirstFailureIsRethrownAndStopsTheRest) {
    Record ran;
    WorkerPool pool(1, [&](std::size_t position, std::size_t) {
        ran.add(position);
        if (position >= 2) throw std::invalid_argument("position " + std::to_string(position));
    });
    for (std::size_t position = 0; position < 10; ++position) pool.submit(position);
    try {
        pool.finish();
        FAIL() << "no exception";
    } catch (const std::invalid_argument& error) {
        EXPECT_STREQ(error.what(), "position 2");
    }
    EXPECT_EQ(ran.positions(), first(3));
}

TEST(WorkerPool, StopFromAJobDropsPendingAndLaterSubmissions) {
    Record ran;
    std::unique_ptr<WorkerPool> pool;
    Gate stopped;
    pool = std::make_unique<WorkerPool>(1, [&](std::size_t position, std::size_t) {
        ran.add(position);
        if (position == 1) {
            pool->stop();
            stopped.open();
        }
    });
    for (std::size_t position = 0; position < 5; ++position) pool->submit(position);
    stopped.pass();
    pool->submit(9);
    pool->finish();
    EXPECT_EQ(ran.positions(), first(2));
}

TEST(WorkerPool, InterruptionLetsRunningJobsFinishAndIsAskedNoMore) {
    Gate release;
    std::atomic<int> started{0};
    std::atomic<int> finished{0};
    int answered_true = 0;
    int asked_after = 0;
    std::unique_ptr<WorkerPool> pool;
    Hooks hooks = fast_polling();
    hooks.interrupted = [&] {
        if (answered_true > 0) ++asked_after;
        if (started.load() < 2) return false;
        ++answered_true;
        // The pool drops what is queued once this returns; dropping it first keeps a
        // released job from taking a third position in between.
        pool->stop();
        release.open();
        return true;
    };
    pool = std::make_unique<WorkerPool>(
        2,
        [&](std::size_t, std::size_t) {
            ++started;
            release.pass();
            ++finished;
        },
        hooks);
    for (std::size_t position = 0; position < 100; ++position) pool->submit(position);
    EXPECT_THROW(pool->finish(), Interrupted);
    EXPECT_EQ(started.load(), 2);
    EXPECT_EQ(finished.load(), 2);
    EXPECT_EQ(answered_true, 1);
    EXPECT_EQ(asked_after, 0);  // asked until the first "stop", never again
}

TEST(WorkerPool, AfterAnInterruptAbandonIsAskedUntilTheRunningJobsEnd) {
    // Two jobs wait at doors only `abandon` opens, one per request: the pool must keep
    // asking while a job still runs, also after a request that failed.
    Gate doors[2];
    std::atomic<int> started{0};
    std::atomic<int> abandoned{0};
    std::atomic<bool> interrupted{false};
    Hooks hooks = fast_polling();
    hooks.interrupted = [&] { return interrupted.load() || started.load() == 2; };
    hooks.abandon = [&] {
        const int n = abandoned++;
        if (n < 2) doors[n].open();
        if (n == 0) throw std::runtime_error("an abandon that fails is asked again");
    };
    WorkerPool pool(
        2,
        [&](std::size_t position, std::size_t) {
            ++started;
            doors[position].pass();
        },
        hooks);
    pool.submit(0);
    pool.submit(1);
    pool.submit(2);  // never started: dropped by the interrupt
    EXPECT_THROW(pool.finish(), Interrupted);
    EXPECT_EQ(started.load(), 2);
    EXPECT_GE(abandoned.load(), 2);
}

TEST(WorkerPool, AbandonIsNotAskedWithoutAnInterruptOrWhenNothingRuns) {
    std::atomic<int> abandoned{0};
    Hooks hooks = fast_polling();
    hooks.interrupted = [] { return true; };
    hooks.abandon = [&] { ++abandoned; };
    {
        WorkerPool idle(2, [](std::size_t, std::size_t) {}, hooks);
        idle.finish();  // nothing queued: nothing to interrupt
    }
    hooks.interrupted = [] { return false; };
    WorkerPool pool(2, [](std::size_t, std::size_t) { std::this_thread::sleep_for(std::chrono::milliseconds(5)); }, hooks);
    for (std::size_t position = 0; position < 4; ++position) pool.submit(position);
    pool.finish();
    EXPECT_EQ(abandoned.load(), 0);
}

TEST(WorkerPool, ACheckThatFailsCountsAsInterruptionAndWinsOverJobFailures) {
    Gate release;
    std::atomic<bool> running{false};
    Hooks hooks = fast_polling();
    hooks.interrupted = [&]() -> bool {
        if (!running.load()) return false;
        release.open();
        throw std::runtime_error("cannot tell");
    };
    WorkerPool pool(
        1,
        [&](std::size_t, std::size_t) {
            running = true;
            release.pass();
            throw std::logic_error("job failed too");
        },
        hooks);
    pool.submit(0);
    pool.submit(1);
    EXPECT_THROW(pool.finish(), Interrupted);
}

TEST(WorkerPool, HooksWrapWorkersJobsAndTheOwnersWaits) {
    std::atomic<int> worker_lives{0};
    std::atomic<int> jobs_wrapped{0};
    std::atomic<int> inside_job_hook{0};
    int waits = 0;
    Hooks hooks;
    hooks.worker = [&](const std::function<void()>& loop) {
        ++worker_lives;
        loop();
    };
    hooks.job = [&](const std::function<void()>& job) {
        ++inside_job_hook;
        job();
        --inside_job_hook;
        ++jobs_wrapped;
    };
    hooks.wait = [&](const std::function<void()>& wait) {
        ++waits;
        wait();
    };
    std::atomic<bool> job_saw_hook{true};
    {
        WorkerPool pool(
            2, [&](std::size_t, std::size_t) { job_saw_hook = job_saw_hook && inside_job_hook.load() > 0; }, hooks);
        for (std::size_t position = 0; position < 20; ++position) pool.submit(position);
        pool.finish();
        EXPECT_EQ(waits, 1);
    }
    EXPECT_EQ(waits, 1);  // nothing left for the destructor to wait for
    EXPECT_EQ(worker_lives.load(), 2);
    EXPECT_EQ(jobs_wrapped.load(), 20);
    EXPECT_TRUE(job_saw_hook.load());
}

TEST(WorkerPool, DestructionWithoutFinishStopsAndJoins) {
    Gate release;
    Gate started;
    Record ran;
    int waits = 0;
    Hooks hooks;
    hooks.wait = [&](const std::function<void()>& wait) {
        ++waits;
        release.open();
        wait();
    };
    {
        WorkerPool pool(
            1,
            [&](std::size_t position, std::size_t) {
                ran.add(position);
                started.open();
                release.pass();
            },
            hooks);
        for (std::size_t position = 0; position < 10; ++position) pool.submit(position);
        started.pass();
    }
    EXPECT_EQ(waits, 1);
    EXPECT_EQ(ran.positions(), first(1));
}

TEST(RunParallel, NothingToDoStartsNoThread) {
    bool called = false;
    run_parallel(0, 4, [&](std::size_t, std::size_t) { called = true; });
    EXPECT_FALSE(called);
}

TEST(RunParallel, NeverMoreWorkersThanTasks) {
    std::mutex mutex;
    std::set<std::size_t> workers;
    run_parallel(2, 16, [&](std::size_t, std::size_t worker) {
        const std::lock_guard lock(mutex);
        workers.insert(worker);
    });
    EXPECT_LE(*workers.rbegin(), 1u);
}

}  // namespace
}  // namespace tovrane::concurrency
