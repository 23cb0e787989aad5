// A Python object made once per process, on first need, and never released: the internal-failure
// exception class, collections.abc.Sequence, interned attribute names.
//
// No lock of its own: the interpreter lock orders the check and the store. The maker runs with no
// other lock held, so it may run Python code (an import, an import hook calling this module from
// several threads) without any order of locks to invert, and a child made by fork() while another
// thread is inside a maker inherits nothing locked. Two threads, or a maker and a re-entry from
// inside it, may both make the object; the first one stored wins and the others are dropped.
//
//     ProcessObject add_note_name;
//     PyObject* name = add_note_name.get([] {
//         return OwnedRef::steal(PyUnicode_InternFromString("add_note"));
//     });
//     if (name == nullptr) { ... an exception is pending ... }
#pragma once

#include "boundary/references.hpp"

#include <atomic>

namespace finitemu::boundary {

class ProcessObject {
public:
    // The object (borrowed; it lives as long as the process), or null with the maker's exception
    // pending. `make` returns an OwnedRef, null on failure with an exception pending. Call with
    // the interpreter lock held.
    template <class Make> [[nodiscard]] PyObject* get(Make&& make) {
        // Acquire pairs with the release of the exchange below: a reader that sees the pointer
        // sees the object that was fully made before it was stored.
        if (PyObject* object = object_.load(std::memory_order_acquire)) {
            return object;
        }
        OwnedRef made = make();
        if (!made) {
            return nullptr;
        }
        PyObject* stored = nullptr;
        if (object_.compare_exchange_strong(stored, made.get(), std::memory_order_acq_rel,
                                            std::memory_order_acquire)) {
            return made.release();
        }
        return stored; // made meanwhile by another thread or a re-entry; ours is dropped
    }

    // The object if it has been made, else null; never makes it.
    [[nodiscard]] PyObject* get_if_made() const noexcept {
        return object_.load(std::memory_order_acquire);
    }

private:
    std::atomic<PyObject*> object_{nullptr};
};

} // namespace finitemu::boundary
