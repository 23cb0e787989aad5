// A Python object made once per process, on first need, and never released: the internal-failure
// exception class, collections.abc.Sequence, interned attribute names.
//
// A thread that finds the object missing gives up the interpreter lock before it waits for the
// one-time lock, and takes the interpreter lock back inside it; so no thread ever holds the
// interpreter lock while it waits, and a thread that holds the one-time lock can always get the
// interpreter lock. The maker may run Python code (an import) that comes back here on the same
// thread; the lock is recursive for that case, and the first object stored wins.
//
//     ProcessObject add_note_name;
//     PyObject* name = add_note_name.get([] {
//         return OwnedRef::steal(PyUnicode_InternFromString("add_note"));
//     });
//     if (name == nullptr) { ... an exception is pending ... }
#pragma once

#include "boundary/references.hpp"

#include <atomic>
#include <mutex>

namespace finitemu::boundary {

class ProcessObject {
public:
    // The object (borrowed; it lives as long as the process), or null with the maker's exception
    // pending. `make` returns an OwnedRef, null on failure with an exception pending. Call with
    // the interpreter lock held.
    template <class Make> [[nodiscard]] PyObject* get(Make&& make) {
        // Acquire pairs with the release store below: a reader that sees the pointer sees the
        // object that was fully made before it was stored.
        if (PyObject* object = object_.load(std::memory_order_acquire)) {
            return object;
        }
        PyThreadState* thread_state = PyEval_SaveThread();
        std::lock_guard lock(mutex_);
        PyEval_RestoreThread(thread_state);
        if (PyObject* object = object_.load(std::memory_order_acquire)) {
            return object; // made by another thread while this one waited
        }
        OwnedRef made = make();
        if (!made) {
            return nullptr;
        }
        if (PyObject* object = object_.load(std::memory_order_acquire)) {
            return object; // made by a re-entry from inside make(); ours is dropped
        }
        PyObject* object = made.release();
        object_.store(object, std::memory_order_release);
        return object;
    }

    // The object if it has been made, else null; never makes it and never blocks.
    [[nodiscard]] PyObject* get_if_made() const noexcept {
        return object_.load(std::memory_order_acquire);
    }

private:
    std::atomic<PyObject*> object_{nullptr};
    std::recursive_mutex mutex_;
};

} // namespace finitemu::boundary
