// Pool of worker threads that help a thread with a task it shares, and the process-wide instance
// behind parallel_map.
//
// Workers are detached, unnamed POSIX threads with 2 MiB stacks. A thread that shares a task
// (share) hands the pool one job per helper it asks for, computes the task itself, then withdraws
// the jobs no worker has begun and waits on a latch for the others. The jobs wait in one queue
// under one mutex, taken a few times per map, which costs nothing next to the items. An idle
// worker polls for a while, then sleeps off the latest caller's CPU (cpu_placement.hpp), so that a
// caller's wake never lands it on the caller's own CPU. The queue and the idle protocol are
// pool_state.hpp's.
//
// Example:
//     auto pool = Pool::create(4);                   // or global_pool()
//     std::vector<double> out(1000);
//     std::atomic<std::size_t> next{0};
//     auto work = [&](bool) {                        // false on the caller, true on a helper
//         for (std::size_t i; (i = next.fetch_add(1)) < out.size();) {
//             out[i] = std::sqrt(static_cast<double>(i));
//         }
//     };
//     auto nothing = [](bool) {};
//     (*pool)->share(work, 3, nothing, std::chrono::milliseconds(50)); // out complete on return
#pragma once

#include "error.hpp"

#include <chrono>
#include <cstddef>
#include <expected>
#include <memory>
#include <type_traits>
#include <utility>

namespace finitemu::parallel {

// A non-owning reference to a callable `void(bool)`; the callable must outlive it.
class PieceRef {
public:
    template <class F>
    requires(!std::is_same_v<std::remove_cvref_t<F>, PieceRef>) PieceRef(F& f)
    noexcept // NOLINT(google-explicit-constructor): a reference, like std::span
        : object_(static_cast<void*>(&f)),
          call_([](void* object, bool helper) { (*static_cast<F*>(object))(helper); }) {}

    void operator()(bool helper) const { call_(object_, helper); }

private:
    void* object_;
    void (*call_)(void*, bool);
};

class Pool {
public:
    // Starts `workers` (at least 1) threads. On failure the threads already started are stopped
    // and the error is ErrorKind::pool_start with the errno value of the cause.
    [[nodiscard]] static Result<std::unique_ptr<Pool>> create(std::size_t workers);

    // Stops the workers and waits until they have left; no share may be running.
    ~Pool();
    Pool(const Pool&) = delete;
    Pool& operator=(const Pool&) = delete;

    [[nodiscard]] std::size_t worker_count() const noexcept;

    // Runs work(false) on the calling thread and offers work(true) to up to `helpers` workers at
    // once; returns when every copy begun has returned. `work` takes its share of a common task
    // until none is left, whoever runs it: a copy no worker has begun when the caller's returns
    // is withdrawn, and the caller then waits for the others, calling while_waiting(false) every
    // `period`. Should while_waiting or the caller's copy throw, the copies begun are waited for
    // before the exception leaves (they refer to the caller's frame).
    //
    // The caller computes from the start, so a task gains from the pool as soon as it is longer
    // than a worker takes to wake, and never waits for one to start. A worker may share a task
    // too (a map inside an item): it waits only for copies that other workers have begun, and
    // those never wait for it.
    void share(PieceRef work, std::size_t helpers, PieceRef while_waiting,
               std::chrono::milliseconds period);

    // Wakes a sleeping worker to poll for work for a while: a caller about to share a task calls
    // it before its own preparations, so that the worker's wake overlaps them. A hint, which may
    // be lost.
    void rouse();

    struct State;

private:
    explicit Pool(std::shared_ptr<State> state) noexcept;
    std::shared_ptr<State> state_;
};

// The process-wide pool, created with worker_count_from_environment() workers at the first call
// and never shut down. Creation is attempted once: its failure is reported to that call as
// ErrorKind::pool_start and to every later call as ErrorKind::pool_unavailable.
[[nodiscard]] Result<Pool*> global_pool();

// The process-wide pool if it has been made, else nullptr (never makes it).
[[nodiscard]] Pool* existing_global_pool() noexcept;

} // namespace finitemu::parallel
