// Work of its own that the thread making a call does at the start of its shared map, while the
// workers begin on the items (parallel_map.hpp): the Python side makes the float objects of the
// result there (boundary/results.hpp), which on two cores takes their making off the part of a
// call that does not divide. Set for the length of a call; run at most once, by the first shared
// map the thread runs with helpers.
//
//     CallerChore chore(&make_floats, &state);
//     CallerChoreScope scope(chore);
//     auto result = witt_mao_magnification(...); // its map runs make_floats(&state) first
#pragma once

#include "parallel/thread_current.hpp"

namespace finitemu::parallel {

class CallerChore {
public:
    using Run = void (*)(void* context);

    CallerChore(Run run, void* context) noexcept : run_(run), context_(context) {}
    CallerChore(const CallerChore&) = delete;
    CallerChore& operator=(const CallerChore&) = delete;

    // Runs the chore unless it has run already. It may throw (as an interruption's poll does).
    void run_once() {
        if (!done_) {
            done_ = true;
            run_(context_);
        }
    }

private:
    Run run_;
    void* context_;
    bool done_ = false;
};

// The chore of the call the current thread is making, or null.
[[nodiscard]] inline CallerChore* current_chore() noexcept {
    return ThreadCurrent<CallerChore>::get();
}

// Makes a chore the current thread's for the scope's lifetime.
using CallerChoreScope = ThreadCurrent<CallerChore>::Scope;

} // namespace finitemu::parallel
