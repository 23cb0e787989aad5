// Conversion of one bound argument to the value a computing routine takes: a double, or a list of
// doubles from any sequence. A failure is the interpreter's own exception (or the fixed TypeError
// texts below), to be noted with the parameter's name by argument_extraction_error.
#pragma once

#include "boundary/errors.hpp"

#include <expected>
#include <vector>

namespace finitemu::boundary {

// An exact float gives its value directly; anything else goes through PyFloat_AsDouble, so float
// subclasses, int, bool and objects with __float__ or __index__ are accepted by the interpreter's
// own rules (OverflowError for an int beyond the double range). NaN and infinities pass unchanged.
// Complex numbers are refused with the interpreter's TypeError for complex, NumPy's too ("must be
// real number, not numpy.complex128"), rather than losing their imaginary part.
[[nodiscard]] std::expected<double, ErrorValue> extract_float(BorrowedRef object);

// A str is refused ("Can't extract `str` to `Vec`"), and so is anything that PySequence_Check
// rejects (dict, set, generator, iterator, number, None). The items are taken by iteration and
// each converted by extract_float, so the length is what the iteration yields.
[[nodiscard]] std::expected<std::vector<double>, ErrorValue> extract_sequence(BorrowedRef object);

} // namespace finitemu::boundary
