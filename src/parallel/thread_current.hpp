// The object of one kind (an interruption, a caller's chore) that the call the current thread is
// making has set, found by the maps without passing it through every routine in between.
//
//     ThreadCurrent<Interruption>::Scope scope(interruption);
//     ThreadCurrent<Interruption>::get(); // &interruption on this thread, until scope ends
#pragma once

namespace finitemu::parallel {

template <class T> class ThreadCurrent {
public:
    // This thread's object, or null.
    [[nodiscard]] static T* get() noexcept { return current_; }

    // Makes `object` the current thread's for the scope's lifetime.
    class Scope {
    public:
        explicit Scope(T& object) noexcept : previous_(current_) { current_ = &object; }
        ~Scope() { current_ = previous_; }
        Scope(const Scope&) = delete;
        Scope& operator=(const Scope&) = delete;

    private:
        T* previous_;
    };

private:
    static constinit inline thread_local T* current_ = nullptr;
};

} // namespace finitemu::parallel
