// What the routines behind the Python functions hand back: a value, or an error that the
// boundary raises. A NumericError carries the fixed message of a numerical routine (raised as
// RuntimeError); an InternalFailure abandons the call (raised as the internal-failure exception).
#pragma once

#include "parallel/internal_failure.hpp"

#include <expected>
#include <variant>

namespace finitemu {

struct NumericError {
    const char* message; // a string literal owned by the routine that failed
};

using RoutineError = std::variant<NumericError, InternalFailure>;

template <class T> using RoutineResult = std::expected<T, RoutineError>;

} // namespace finitemu
