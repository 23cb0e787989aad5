// Work-stealing pool of worker threads, and the process-wide instance behind parallel_map.
//
// Workers are detached, unnamed POSIX threads with 2 MiB stacks. Each has a deque of pending jobs
// guarded by a mutex: the owner pushes and pops at the back (newest first, so its own work stays
// depth-first and cache-warm), idle workers steal from the front (oldest, hence largest, pieces).
// Jobs are pushed only where a piece is divided, a number proportional to W per map plus one per
// steal, so a lock per push/pop costs nothing measurable next to the items (bench/bench_parallel).
// An idle worker polls for half a millisecond, then sleeps with the CPU of the latest caller left
// out of its affinity, so that a caller's wake never lands it on the caller's own CPU.
//
// join(left, right) is the workers' primitive: called on a worker, it offers `right` to the others,
// runs `left`, then runs `right` itself unless another worker took it, in which case it runs other
// pending jobs until `right` is done (so nested joins never leave every worker waiting). Called on
// any other thread, it hands the whole join to the pool as one job and blocks on a mutex and
// condition variable until a worker has finished it; several threads may do so at once. A thread
// that is no worker shares a task instead (share): it works on it itself while workers help.
//
// Example:
//     auto pool = Pool::create(4);                 // or global_pool()
//     int a = 0, b = 0;
//     auto left = [&](bool) { a = 1; };
//     auto right = [&](bool) { b = 2; };
//     (*pool)->join(left, right);                  // both done on return
#pragma once

#include "error.hpp"

#include <chrono>
#include <cstddef>
#include <expected>
#include <memory>
#include <type_traits>
#include <utility>

namespace finitemu::parallel {

// A non-owning reference to a callable `void(bool migrated)`; the callable must outlive it.
class PieceRef {
public:
    template <class F>
    requires(!std::is_same_v<std::remove_cvref_t<F>, PieceRef>) PieceRef(F& f)
    noexcept // NOLINT(google-explicit-constructor): a reference, like std::span
        : object_(static_cast<void*>(&f)),
          call_([](void* object, bool migrated) { (*static_cast<F*>(object))(migrated); }) {}

    void operator()(bool migrated) const { call_(object_, migrated); }

private:
    void* object_;
    void (*call_)(void*, bool);
};

class Pool {
public:
    // Starts `workers` (at least 1) threads. On failure the threads already started are stopped
    // and the error is ErrorKind::pool_start with the errno value of the cause.
    [[nodiscard]] static Result<std::unique_ptr<Pool>> create(std::size_t workers);

    // Stops the workers and waits until they have left; no join may be running.
    ~Pool();
    Pool(const Pool&) = delete;
    Pool& operator=(const Pool&) = delete;

    [[nodiscard]] std::size_t worker_count() const noexcept;

    // True on a worker thread of this pool.
    [[nodiscard]] bool is_current_worker() const noexcept;

    // Runs left(migrated) and right(migrated), possibly at once, and returns when both are done.
    // `migrated` tells a half whether it runs on another thread than the one that called join.
    // Neither callable may throw. A worker of another pool calling it blocks like any outside
    // thread (it runs none of its own pool's jobs meanwhile).
    void join(PieceRef left, PieceRef right) noexcept;

    // Runs work(false) on the calling thread, which is no worker of this pool, and offers
    // work(true) to up to `helpers` workers at once; returns when every copy begun has returned.
    // `work` takes its share of a common task until none is left, whoever runs it: a copy no
    // worker has begun when the caller's returns is withdrawn, and the caller then waits for the
    // others, calling while_waiting(false) every `period`. Should while_waiting or the caller's
    // copy throw, the copies begun are waited for before the exception leaves (they refer to the
    // caller's frame).
    //
    // The caller computes from the first microsecond, so a map gains from the pool as soon as it
    // is longer than a worker takes to wake (about 20 us on a virtual machine's idle core), and
    // never waits for one to start.
    void share(PieceRef work, std::size_t helpers, PieceRef while_waiting,
               std::chrono::milliseconds period);

    // Wakes a sleeping worker to poll for work for a while, as after a job of its own: a caller
    // about to share a task calls it before its own preparations, so that the worker's wake
    // (tens of microseconds on a virtual machine) overlaps them. A hint, which may be lost.
    void rouse();

    struct State;

private:
    explicit Pool(std::shared_ptr<State> state) noexcept;
    std::shared_ptr<State> state_;
};

// The pool of the current worker thread, or nullptr on a thread that is no pool's worker.
[[nodiscard]] Pool* current_pool() noexcept;

// The process-wide pool, created with worker_count_from_environment() workers at the first call
// and never shut down. Creation is attempted once: its failure is reported to that call as
// ErrorKind::pool_start and to every later call as ErrorKind::pool_unavailable.
[[nodiscard]] Result<Pool*> global_pool();

// The process-wide pool if it has been made, else nullptr (never makes it).
[[nodiscard]] Pool* existing_global_pool() noexcept;

// The pool of a nested map (the current worker's), else the process-wide pool.
[[nodiscard]] Result<Pool*> pool_for_map();

} // namespace finitemu::parallel
