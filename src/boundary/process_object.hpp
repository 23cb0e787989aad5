// Python objects made once, on first need: once per process and never released (ProcessObject:
// the internal-failure exception class, interned attribute names), or once per interpreter and
// released with it (InterpreterObject: what a module of that interpreter gives, such as
// array.array; each subinterpreter imports its own modules and has its own types).
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

#include "boundary/messages.hpp"
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

// An object per interpreter, kept in the interpreter's own dict (PyInterpreterState_GetDict) under
// `key`, which the interpreter clears when it ends. The same rules as above: no lock, the first
// object stored wins.
class InterpreterObject {
public:
    // `key` is a string literal naming the object within the module, e.g. "finitemu.array".
    explicit constexpr InterpreterObject(const char* key) noexcept : key_(key) {}

    // The object of the calling interpreter (borrowed; it lives as long as the interpreter), or
    // null with an exception pending. `make` as for ProcessObject::get.
    template <class Make> [[nodiscard]] PyObject* get(Make&& make) {
        PyObject* key =
            key_cell_.get([this] { return OwnedRef::steal(PyUnicode_InternFromString(key_)); });
        if (key == nullptr) {
            return nullptr;
        }
        PyObject* dict = PyInterpreterState_GetDict(PyInterpreterState_Get());
        if (dict == nullptr) {
            PyErr_SetString(PyExc_SystemError, messages::kNoInterpreterDict);
            return nullptr;
        }
        if (PyObject* object = PyDict_GetItemWithError(dict, key)) {
            return object;
        }
        if (PyErr_Occurred() != nullptr) {
            return nullptr;
        }
        OwnedRef made = make();
        if (!made) {
            return nullptr;
        }
        // The object already there if another thread or a re-entry stored one meanwhile.
        return PyDict_SetDefault(dict, key, made.get());
    }

private:
    const char* key_;
    ProcessObject key_cell_;
};

} // namespace finitemu::boundary
