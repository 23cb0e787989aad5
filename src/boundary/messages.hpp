// Every text the module shows its callers, in one place: the messages of the exceptions it raises
// and the lines it writes to standard error. Callers match these texts (tests, user code that
// parses them), so each is fixed; the line above each says who sees it. A numerical routine's
// message ("ellipk: Arguments cannot be NAN.") stays at the line that fails (src/numeric) and
// reaches the caller unchanged, as RuntimeError.
#pragma once

#include "error.hpp"

#include <cstddef>
#include <span>
#include <string>
#include <string_view>

namespace finitemu::boundary::messages {

// --- Argument binding: TypeError, to a caller whose arguments do not fit the signature. ---

// "witt_mao_magnification() takes 3 positional arguments but 4 were given"
std::string too_many_positional(std::string_view function, std::size_t parameters,
                                std::size_t given);
// "witt_mao_magnification() got an unexpected keyword argument '{keyword}'", formatted by the
// interpreter (the keyword may hold text UTF-8 cannot carry): this is its printf format.
inline constexpr const char* kUnexpectedKeywordFormat =
    "%s() got an unexpected keyword argument '%S'";
// "witt_mao_magnification() got multiple values for argument 're'"
std::string multiple_values(std::string_view function, std::string_view parameter);
// "witt_mao_magnification() missing 2 required positional arguments: 're' and 'rstar'"
std::string missing_arguments(std::string_view function, std::span<const std::string_view> names);

// --- Argument conversion: to a caller whose argument is not a number or a sequence. ---

// TypeError for a str passed as a sequence of floats.
inline constexpr const char* kStrIsNoSequence = "Can't extract `str` to `Vec`";
// TypeError "'{qualified type name}' object is not an instance of '{class}'"; for None,
// "'None' is not an instance of '{class}'" (a dict for `l`: class 'Sequence').
std::string not_an_instance(bool is_none, std::string_view type_name, std::string_view class_name);
// The note added to every conversion error: "while processing 'l'".
std::string while_processing(std::string_view parameter);
// A type whose name cannot be read, in the texts above.
inline constexpr const char* kUnknownTypeName = "<failed to extract type name>";
// TypeError for a complex number where a real one is expected, in the interpreter's own words
// (its refusal of complex): the printf format of "must be real number, not numpy.complex128".
inline constexpr const char* kNotRealFormat = "must be real number, not %.50s";
// TypeError when the array module's `array` is not a type (a replaced module).
inline constexpr const char* kArrayIsNoType = "array.array is not a type";

// --- The internal-failure exception: its class, seen by a caller whose call was abandoned. ---

// Its qualified name (module pyo3_runtime), raised from BaseException, and its __doc__.
inline constexpr const char* kInternalFailureName = "pyo3_runtime.PanicException";
inline constexpr const char* kInternalFailureDoc =
    "\n"
    "The exception raised when the extension's compiled code, called from Python, fails in a way "
    "it cannot recover from.\n"
    "\n"
    "Like SystemExit, this exception is derived from BaseException so that\n"
    "it will typically propagate all the way through the stack and cause the\n"
    "Python interpreter to exit.\n";
// SystemError when the interpreter cannot make that class.
inline constexpr const char* kInternalFailureClassFailed =
    "Failed to initialize new exception type.";
// The module that holds it (put into sys.modules by the import of finitemu, so that instances
// pickle by reference), its name there, and the docstring of that module.
inline constexpr const char* kInternalFailureModule = "pyo3_runtime";
inline constexpr const char* kInternalFailureAttribute = "PanicException";
inline constexpr const char* kInternalFailureModuleDoc =
    "The module of PanicException, the internal-failure exception of finitemu.";
// AttributeError for any other name looked up in that module: its printf format.
inline constexpr const char* kNoModuleAttributeFormat = "module '%s' has no attribute '%U'";

// --- The internal-failure exception: its message, for each cause. ---

// A failure of the computing layers (error.hpp), other than a numeric one:
//   flux map lengths:  "assertion `left == right` failed\n  left: 3\n right: 2"
//   pool start:        "The global thread pool has not been initialized.: ThreadPoolBuildError
//                       { kind: IOError(Os { code: 11, kind: WouldBlock, message: \"Resource
//                       temporarily unavailable\" }) }" (on one line)
//   pool unavailable:  "... ThreadPoolBuildError { kind: GlobalPoolAlreadyInitialized }"
//   incomplete map:    "expected 10 total writes, but got 7"
//   interrupted:       "the call was interrupted" (the exception a signal handler raised is
//                      raised instead; this text is for a stop with none)
//   item exception:    kUnknownCppException
// (An allocation failure is no internal failure: the caller gets MemoryError.)
std::string internal_failure(const Error& error);
// A C++ exception of no standard type escaping a call.
inline constexpr const char* kUnknownCppException = "unknown C++ exception";
// Importing the module: appending to __all__ failed; followed by "{type}: {message}".
inline constexpr const char* kAppendToAllFailed = "could not append __name__ to __all__: ";
// The internal-failure exception raised by Python code inside a call (a __float__), with no
// usable str(): the message of the failure that goes on.
inline constexpr const char* kUnwrappedPanic = "Unwrapped panic from Python code";
// ... and the two lines written to standard error before its traceback.
inline constexpr const char* kResumingPanic =
    "--- PyO3 is resuming a panic after fetching a PanicException from Python. ---\n";
inline constexpr const char* kPythonStackBelow = "Python stack trace below:\n";

// --- Other interpreter errors. ---

// SystemError when the interpreter has no dict for the module's per-interpreter objects.
inline constexpr const char* kNoInterpreterDict =
    "the interpreter has no dict for its modules' data";

// SystemError when an error is fetched but none is pending (a broken extension contract).
inline constexpr const char* kNoExceptionSet = "attempted to fetch exception but none was set";
// The description of a missing pending exception inside an internal failure's message.
inline constexpr const char* kNoExceptionDescribed = "no exception was set";

} // namespace finitemu::boundary::messages
