// Binding of fast-call arguments to parameters. Every parameter of the module's functions is
// required and may be given by position or by keyword; there are no defaults, no positional-only
// or keyword-only parameters, no *args or **kwargs.
//
//     constexpr std::string_view kParameters[] = {"l", "re", "rstar"};
//     constexpr FunctionDescription kDescription{"witt_mao_magnification", kParameters};
//     std::array<BorrowedRef, 3> slots;
//     if (auto bound = extract_arguments_fastcall(kDescription, args, nargs, kwnames, slots);
//         !bound) { ... TypeError ... }
#pragma once

#include "boundary/errors.hpp"

#include <expected>
#include <span>
#include <string_view>

namespace finitemu::boundary {

struct FunctionDescription {
    std::string_view function_name;               // the Python name, a string literal
    std::span<const std::string_view> parameters; // parameter names in declaration order
};

// Fills slot i with the argument for parameter i (borrowed from `args`). Every problem is a
// TypeError, checked in this order: surplus positional arguments; keywords in the order given,
// each either unknown or already bound; then the parameters still missing.
[[nodiscard]] std::expected<void, ErrorValue>
extract_arguments_fastcall(const FunctionDescription& description, PyObject* const* args,
                           Py_ssize_t nargs, PyObject* kwnames, std::span<BorrowedRef> slots);

} // namespace finitemu::boundary
