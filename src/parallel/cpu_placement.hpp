// A default placement: a worker keeps off the CPU of a caller that computes its own part of a
// shared task, since a virtual machine's scheduler wakes a thread onto its waker's CPU even with
// another idle, and the two then take turns there for milliseconds (docs/parallelism.md).
//
//     {
//         const KeepOff away(caller_cpu); // sleep here: a wake cannot land on caller_cpu
//         ...
//     }                                   // the thread's own affinity again
//     leave_cpu(caller_cpu);              // a thread that finds itself there all the same
#pragma once

#include <sched.h>

namespace finitemu::parallel {

// Keeps the calling thread off `cpu` while it lives, when its affinity allows another CPU, and
// then restores the affinity it had. A worker sleeps in one kept off the latest caller's CPU, so
// that the caller's wake puts it on another CPU.
class KeepOff {
public:
    explicit KeepOff(int cpu) noexcept;
    ~KeepOff();
    KeepOff(const KeepOff&) = delete;
    KeepOff& operator=(const KeepOff&) = delete;

private:
    cpu_set_t allowed_{};
    bool moved_ = false;
};

// Moves the calling thread off `cpu` by leaving it out of the thread's affinity for a moment: for
// a worker that polled on the CPU of the caller it now helps, or was woken there by a caller on
// another CPU than the latest. Nothing happens when `cpu` is the only one allowed.
void leave_cpu(int cpu) noexcept;

} // namespace finitemu::parallel
