// How a long call is stopped from outside (Ctrl-C). The thread that made the call, while it waits
// for its map or computes it, asks check(context) at most every kPollPeriod whether to stop; once
// it says so, every item of the call's maps not yet begun is skipped, on every thread, and the map
// ends in ErrorKind::interrupted once the items already begun have finished.
//
// The Python side makes one for each call that computes without the interpreter lock, and makes
// it the calling thread's current interruption for the length of the call:
//
//     Interruption interruption(&check_signals, &state);
//     InterruptionScope scope(interruption);
//     auto result = witt_mao_magnification(...); // its maps poll and stop
#pragma once

#include "parallel/thread_current.hpp"

#include <atomic>
#include <chrono>
#include <thread>

namespace finitemu::parallel {

class Interruption {
public:
    // True when the call is to stop. It may throw: the interpreter ends a daemon thread that
    // asks for its lock during finalisation by unwinding it.
    using Check = bool (*)(void* context);

    static constexpr std::chrono::milliseconds kPollPeriod{50};

    Interruption(Check check, void* context) noexcept
        : check_(check), context_(context), owner_(std::this_thread::get_id()),
          last_(std::chrono::steady_clock::now()) {}
    Interruption(const Interruption&) = delete;
    Interruption& operator=(const Interruption&) = delete;

    // Read between items on every thread. relaxed: the flag carries no data; an item begun just
    // before it is seen finishes, and the map waits for it.
    [[nodiscard]] bool stop_requested() const noexcept {
        return stop_.load(std::memory_order_relaxed);
    }
    void request_stop() noexcept { stop_.store(true, std::memory_order_relaxed); }

    // On the thread that made the call: asks check when kPollPeriod has passed since it last did,
    // and requests the stop when it says so (or throws). Elsewhere (a worker computing an item),
    // nothing. True once the call is to stop.
    bool poll() {
        if (stop_requested()) {
            return true;
        }
        if (std::this_thread::get_id() != owner_) {
            return false;
        }
        const auto now = std::chrono::steady_clock::now();
        if (now - last_ < kPollPeriod) {
            return false;
        }
        last_ = now;
        bool stop = false;
        try {
            stop = check_(context_);
        } catch (...) { // the thread is ending: stop the items not begun, so its wait is short
            request_stop();
            throw;
        }
        if (stop) {
            request_stop();
        }
        return stop;
    }

private:
    Check check_;
    void* context_;
    std::thread::id owner_;
    std::chrono::steady_clock::time_point last_;
    std::atomic<bool> stop_{false};
};

// The interruption of the call the current thread is making, or null.
[[nodiscard]] inline Interruption* current_interruption() noexcept {
    return ThreadCurrent<Interruption>::get();
}

// Makes an interruption the current thread's for the scope's lifetime.
using InterruptionScope = ThreadCurrent<Interruption>::Scope;

} // namespace finitemu::parallel
