// Error values: what a failing step of a call hands back instead of a result, and how it becomes
// the exception the Python caller sees.
//
// An ErrorValue is one of three things:
//   - lazy: an exception class and its one argument, a message text; no Python object exists
//     until it is raised (argument-count errors, the converters' own texts, RuntimeError from a
//     numerical routine);
//   - fetched: an exception object taken from the interpreter (a failed conversion, import, ...);
//   - an internal failure: raised as the process-wide class pyo3_runtime.PanicException, which
//     derives from BaseException so that `except Exception` does not swallow it;
//   - out of memory: raised as MemoryError, made without allocating (PyErr_NoMemory).
//
//     std::expected<double, ErrorValue> r = extract_float(object);
//     if (!r) {
//         std::move(r.error()).restore(); // now the pending exception
//         return nullptr;
//     }
#pragma once

#include "boundary/references.hpp"
#include "error.hpp"

#include <expected>
#include <string>
#include <string_view>

namespace finitemu::boundary {

class [[nodiscard]] ErrorValue {
public:
    // `type` is a static exception class such as PyExc_TypeError.
    static ErrorValue lazy(PyObject* type, std::string message);
    // Takes the pending exception. With none pending: SystemError "attempted to fetch exception
    // but none was set". A pyo3_runtime.PanicException raised by Python code is not an ordinary
    // error: it is reported on standard error with its traceback and becomes an internal failure
    // carrying its str().
    static ErrorValue fetch();
    // An internal failure with this message (boundary/messages.hpp).
    static ErrorValue internal(std::string message);
    // MemoryError, as the interpreter raises it when an allocation fails.
    static ErrorValue no_memory();
    // A computing layer's error: a numeric one as RuntimeError(message), an allocation failure as
    // MemoryError, any other kind as an internal failure worded by messages::internal_failure.
    static ErrorValue from(const Error& error);

    // The exception object of a fetched error; null for the other kinds.
    [[nodiscard]] PyObject* exception() const noexcept;
    [[nodiscard]] bool is_internal_failure() const noexcept;

    // Makes this error the pending Python exception.
    void restore() && noexcept;

private:
    enum class Kind { lazy, fetched, internal, no_memory };
    ErrorValue(Kind kind, PyObject* type, std::string message, OwnedRef exception)
        : kind_(kind), type_(type), message_(std::move(message)), exception_(std::move(exception)) {
    }

    Kind kind_;
    PyObject* type_;      // lazy: the exception class
    std::string message_; // lazy: the argument; internal: the failure's message
    OwnedRef exception_;  // fetched: the exception object
};

// TypeError "'{qualified type name}' object is not an instance of '{class_name}'"; for None,
// "'None' is not an instance of '{class_name}'".
ErrorValue not_an_instance_error(BorrowedRef object, std::string_view class_name);

// A failed conversion of `parameter`, materialised with the note "while processing '{parameter}'"
// (added by the exception's add_note; a failure of add_note is discarded unless it is no Exception,
// such as KeyboardInterrupt, which is then the error). The exception keeps its class and message.
// Internal failures pass through unchanged.
ErrorValue argument_extraction_error(std::string_view parameter, ErrorValue error);

// Raises the internal-failure exception with `message` as its one argument. Should the class
// itself not be creatable, the error of that attempt is raised instead.
void raise_internal_failure(std::string_view message) noexcept;

// The class pyo3_runtime.PanicException, made on first need (borrowed; lives as long as the
// process), or null with an exception pending.
[[nodiscard]] PyObject* internal_failure_class();

// Puts the module pyo3_runtime into this interpreter's sys.modules unless a module of that name is
// there, so that `import pyo3_runtime` works and instances of the class pickle by reference and
// unpickle in any process that has imported finitemu. The class is still made on first need: the
// module's __getattr__ makes it when PanicException is first looked up (by pickle, say).
[[nodiscard]] std::expected<void, ErrorValue> install_internal_failure_module();

// For an error of Python code that the module may pass over (a __len__ that is only a hint, a
// note that could not be added): clears the pending exception and returns true when it is an
// Exception; anything else (KeyboardInterrupt, SystemExit) stays pending and must reach the
// caller, and the result is false.
[[nodiscard]] bool clear_if_ordinary() noexcept;

// Takes the pending exception and describes it as "{qualified type name}: {str}" (for messages
// of internal failures that a Python error caused).
[[nodiscard]] std::string describe_pending_exception();

// The qualified name of an object's type, or "<failed to extract type name>".
[[nodiscard]] std::string qualified_type_name(BorrowedRef object);

// A Python str from UTF-8 text (invalid bytes replaced), or null with an exception pending.
[[nodiscard]] OwnedRef make_str(std::string_view text) noexcept;

} // namespace finitemu::boundary
