// The state a pool shares with its workers (pool.hpp): the queue of jobs handed in by threads
// that share a task, the latch each such thread waits on, and the protocol by which an idle worker
// polls, sleeps and is woken without a wake-up ever being lost. Only pool.cpp and pool_state.cpp
// include it.
#pragma once

#include "parallel/pool.hpp"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <span>
#include <vector>

namespace finitemu::parallel {

namespace detail {

// Latch of a thread that shares a task and waits for the jobs it handed to the pool: counts those
// finished. Incremented under the mutex, which the waiter takes once the count is reached (so the
// last finisher has left it before the latch goes away); read without it while polling.
struct BlockingLatch {
    std::mutex mutex;
    std::condition_variable finished;
    std::atomic<std::size_t> count{0};
    int caller_cpu = -1; // the CPU of the caller, which computes while it waits; -1 if unknown
};

// One helper's copy of a shared task, handed over by address.
struct Job {
    PieceRef body;
    BlockingLatch* latch;
};

} // namespace detail

struct Pool::State {
    using Job = detail::Job;
    using BlockingLatch = detail::BlockingLatch;

    std::size_t workers = 0; // fixed before any thread starts

    std::mutex injected_mutex;
    std::vector<Job*> injected; // jobs handed in and not yet taken, oldest first

    // Jobs waiting in `injected`. A hint that lets idle workers skip the mutex; the sleep protocol
    // below makes it exact where it matters. Increments are seq_cst (the protocol's store);
    // decrements are relaxed: they happen under injected_mutex, which orders the job itself, and
    // a stale larger count only costs one more look.
    std::atomic<std::size_t> pending{0};

    // Sleep protocol. A sleeper takes sleep_mutex, increments `sleepers`, re-checks its wake
    // condition (pending > 0, or `stopping`) and waits on `wake`. A producer publishes (pending
    // increment or the stopping flag, seq_cst), then loads `sleepers` (seq_cst); if it is not 0
    // it takes and releases sleep_mutex and notifies. The two seq_cst pairs (store, then load of
    // the other variable) cannot both miss each other, and taking the mutex means a sleeper seen
    // by the producer is already waiting; so no wake-up is lost.
    std::mutex sleep_mutex;
    std::condition_variable wake;
    std::atomic<std::size_t> sleepers{0};
    // Bumped by rouse(): a sleeper that sees it change goes back to polling without a job.
    std::atomic<std::uint64_t> rousings{0};

    // The CPU of the latest caller that shared a task (-1 before the first): a worker that goes to
    // sleep keeps off it (KeepOff), since the next caller is likely to compute there.
    std::atomic<int> last_caller_cpu{-1};

    std::atomic<bool> stopping{false}; // set once, by ~Pool or a failed creation
    std::size_t live = 0;              // running worker threads, under sleep_mutex
    std::condition_variable exited;    // signalled as live drops

    // Wakes one sleeper, or all, if there is any (the producer's half of the sleep protocol).
    void notify(bool all);

    // Queues `jobs` for the workers.
    void inject(std::span<Job* const> jobs);

    // Takes back the jobs of `jobs` that no worker has taken; returns how many.
    std::size_t withdraw(std::span<Job* const> jobs);

    // Waits until `latch` has counted `count` jobs, calling while_waiting(false) every `period`
    // once polling has not seen them end. Should while_waiting throw, the jobs are waited for
    // before the exception leaves (they refer to the caller's frame).
    static void await(BlockingLatch& latch, std::size_t count, const PieceRef* while_waiting,
                      std::chrono::milliseconds period);

    // Wakes one sleeping worker to poll (a hint: a rousing that meets no sleeper, or one about to
    // sleep, is lost, and the job that follows wakes a worker as usual).
    void rouse();

    // A worker's life: runs the jobs it takes, idles between them, until `stopping` is set.
    void run_worker();

    // Sets `stopping`, wakes every worker and waits until none runs.
    void stop_workers();

private:
    [[nodiscard]] bool stop_requested() const noexcept;
    [[nodiscard]] Job* take_job();
    void execute(Job& job);
    void idle();
};

} // namespace finitemu::parallel
