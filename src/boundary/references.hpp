// References to Python objects with their ownership in the type.
//
// Rule of ownership: an OwnedRef holds one strong reference and drops it when it is destroyed;
// release() hands that reference on (to the interpreter as a return value, or to an API call that
// steals it). A BorrowedRef never touches the reference count and is valid only while something
// else keeps the object alive (the caller's argument array during a call, a list holding the item,
// a process-wide object). Both are used only by a thread that holds the interpreter lock.
//
//     OwnedRef list = OwnedRef::steal(PyList_New(0));
//     if (!list) {
//         return ErrorValue::fetch(); // the failing call left an exception pending
//     }
//     return list.release();
#pragma once

#include "boundary/python.hpp"

#include <utility>

namespace finitemu::boundary {

class BorrowedRef {
public:
    constexpr BorrowedRef() noexcept = default;
    constexpr explicit BorrowedRef(PyObject* object) noexcept : object_(object) {}

    [[nodiscard]] constexpr PyObject* get() const noexcept { return object_; }
    constexpr explicit operator bool() const noexcept { return object_ != nullptr; }

private:
    PyObject* object_ = nullptr;
};

class OwnedRef {
public:
    OwnedRef() noexcept = default;

    // Takes over a new reference, or null as returned by a failed API call.
    [[nodiscard]] static OwnedRef steal(PyObject* object) noexcept { return OwnedRef(object); }

    OwnedRef(OwnedRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    OwnedRef& operator=(OwnedRef&& other) noexcept {
        // Drop the old reference last: its destructor may run Python code that looks at *this.
        PyObject* old = std::exchange(object_, std::exchange(other.object_, nullptr));
        Py_XDECREF(old);
        return *this;
    }
    OwnedRef(const OwnedRef&) = delete;
    OwnedRef& operator=(const OwnedRef&) = delete;
    ~OwnedRef() { Py_XDECREF(object_); }

    [[nodiscard]] PyObject* get() const noexcept { return object_; }
    [[nodiscard]] BorrowedRef borrow() const noexcept { return BorrowedRef(object_); }
    // Gives up ownership: the caller now holds the reference.
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(object_, nullptr); }
    explicit operator bool() const noexcept { return object_ != nullptr; }

private:
    explicit OwnedRef(PyObject* object) noexcept : object_(object) {}

    PyObject* object_ = nullptr;
};

} // namespace finitemu::boundary
