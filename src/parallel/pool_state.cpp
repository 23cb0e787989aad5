#include "parallel/pool_state.hpp"

#include "parallel/cpu_placement.hpp"

#include <sched.h>

#include <algorithm>
#include <thread>

namespace finitemu::parallel {

namespace {

// How long an idle worker polls (with a yield) before it sleeps: at least kSpinRounds rounds and
// kIdleSpin. A Python caller converts its next call's arguments for tens to hundreds of
// microseconds between maps, and a polling worker joins the next map well before a sleeping one
// would wake (docs/parallelism.md). Half a millisecond of polling, yielding to any thread that
// wants the CPU, is what OpenMP runtimes spend by default.
constexpr int kSpinRounds = 64;
constexpr std::chrono::microseconds kIdleSpin{500};

// Rounds of polling (with a yield) before a thread that shares a task sleeps on its latch: the
// helpers of a shared map end within a few microseconds of the caller's own part.
constexpr int kLatchSpinRounds = 64;

} // namespace

void Pool::State::notify(bool all) {
    if (sleepers.load(std::memory_order_seq_cst) == 0) {
        return;
    }
    { std::lock_guard lock(sleep_mutex); }
    if (all) {
        wake.notify_all();
    } else {
        wake.notify_one();
    }
}

void Pool::State::inject(std::span<Job* const> jobs) {
    {
        std::lock_guard lock(injected_mutex);
        for (Job* job : jobs) {
            injected.push_back(job);
        }
        pending.fetch_add(jobs.size(), std::memory_order_seq_cst);
    }
    notify(jobs.size() > 1);
}

std::size_t Pool::State::withdraw(std::span<Job* const> jobs) {
    std::lock_guard lock(injected_mutex);
    std::size_t withdrawn = 0;
    for (Job* job : jobs) {
        if (const auto at = std::find(injected.begin(), injected.end(), job);
            at != injected.end()) {
            injected.erase(at);
            ++withdrawn;
        }
    }
    pending.fetch_sub(withdrawn, std::memory_order_relaxed);
    return withdrawn;
}

void Pool::State::await(BlockingLatch& latch, std::size_t count, const PieceRef* while_waiting,
                        std::chrono::milliseconds period) {
    // acquire: pairs with the finisher's increment, so its job's writes are visible.
    const auto done = [&] { return latch.count.load(std::memory_order_acquire) >= count; };
    for (int round = 0; round < kLatchSpinRounds && !done(); ++round) {
        std::this_thread::yield();
    }
    std::unique_lock lock(latch.mutex);
    if (while_waiting == nullptr) {
        latch.finished.wait(lock, done);
        return;
    }
    try {
        while (!latch.finished.wait_for(lock, period, done)) {
            lock.unlock();
            (*while_waiting)(false);
            lock.lock();
        }
    } catch (...) { // also a thread's forced unwind, which must go on once the jobs are done
        if (!lock.owns_lock()) {
            lock.lock();
        }
        latch.finished.wait(lock, done);
        throw;
    }
}

void Pool::State::rouse() {
    rousings.fetch_add(1, std::memory_order_seq_cst);
    notify(false);
}

bool Pool::State::stop_requested() const noexcept {
    // seq_cst: `stopping` is a wake condition of the sleep protocol.
    return stopping.load(std::memory_order_seq_cst);
}

// The oldest job handed in, or nullptr.
Pool::State::Job* Pool::State::take_job() {
    // acquire: pairs with the increment of inject so that the queue is seen with the job in it.
    if (pending.load(std::memory_order_acquire) == 0) {
        return nullptr;
    }
    std::lock_guard lock(injected_mutex);
    if (injected.empty()) {
        return nullptr;
    }
    Job* job = injected.front();
    injected.erase(injected.begin());
    pending.fetch_sub(1, std::memory_order_relaxed);
    return job;
}

void Pool::State::execute(Job& job) {
    BlockingLatch& latch = *job.latch;
    if (latch.caller_cpu >= 0 && sched_getcpu() == latch.caller_cpu) {
        leave_cpu(latch.caller_cpu);
    }
    job.body(true);
    // Notify under the lock: once it is released the waiting caller may return and destroy the
    // latch and the job.
    std::lock_guard lock(latch.mutex);
    // release: the job's writes, for the waiter's acquire load.
    latch.count.fetch_add(1, std::memory_order_release);
    latch.finished.notify_one();
}

// Idles until a job is pending or the pool stops: polls, then sleeps; roused, polls again.
void Pool::State::idle() {
    for (;;) {
        const auto until = std::chrono::steady_clock::now() + kIdleSpin;
        for (int round = 0;; ++round) {
            // acquire, as in take_job: a job seen counted is seen in the queue that follows.
            if (pending.load(std::memory_order_acquire) > 0 || stop_requested()) {
                return;
            }
            if (round >= kSpinRounds && std::chrono::steady_clock::now() >= until) {
                break;
            }
            std::this_thread::yield();
        }
        const KeepOff away(last_caller_cpu.load(std::memory_order_relaxed));
        std::unique_lock lock(sleep_mutex);
        sleepers.fetch_add(1, std::memory_order_seq_cst);
        const std::uint64_t seen = rousings.load(std::memory_order_seq_cst);
        while (pending.load(std::memory_order_seq_cst) == 0 && !stop_requested() &&
               rousings.load(std::memory_order_seq_cst) == seen) {
            wake.wait(lock);
        }
        // relaxed: a producer that still sees this sleeper only takes the mutex and notifies.
        sleepers.fetch_sub(1, std::memory_order_relaxed);
        if (pending.load(std::memory_order_acquire) > 0 || stop_requested()) {
            return;
        }
    }
}

void Pool::State::run_worker() {
    while (!stop_requested()) {
        if (Job* job = take_job()) {
            execute(*job);
        } else {
            idle();
        }
    }
}

void Pool::State::stop_workers() {
    stopping.store(true, std::memory_order_seq_cst);
    std::unique_lock lock(sleep_mutex);
    wake.notify_all();
    exited.wait(lock, [this] { return live == 0; });
}

} // namespace finitemu::parallel
