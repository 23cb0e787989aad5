#include "boundary/arguments.hpp"

#include "boundary/messages.hpp"

#include <algorithm>
#include <string>
#include <vector>

namespace finitemu::boundary {

namespace {

ErrorValue type_error(std::string message) {
    return ErrorValue::lazy(PyExc_TypeError, std::move(message));
}

ErrorValue unexpected_keyword(const FunctionDescription& description, PyObject* keyword) {
    // The keyword is shown by its str(), which may hold text that UTF-8 cannot carry (a lone
    // surrogate), so the interpreter formats this message.
    const std::string name(description.function_name);
    PyErr_Format(PyExc_TypeError, messages::kUnexpectedKeywordFormat, name.c_str(), keyword);
    return ErrorValue::fetch();
}

ErrorValue missing_arguments(const FunctionDescription& description,
                             std::span<const BorrowedRef> slots) {
    std::vector<std::string_view> missing;
    for (std::size_t i = 0; i < slots.size(); ++i) {
        if (!slots[i]) {
            missing.push_back(description.parameters[i]);
        }
    }
    return type_error(messages::missing_arguments(description.function_name, missing));
}

// The index of the parameter named `keyword`, or size() when there is none. Names are compared
// byte for byte as UTF-8; a name that cannot be encoded matches nothing.
std::size_t parameter_index(const FunctionDescription& description, PyObject* keyword) {
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_Check(keyword) ? PyUnicode_AsUTF8AndSize(keyword, &size) : nullptr;
    if (utf8 == nullptr) {
        PyErr_Clear();
        return description.parameters.size();
    }
    const std::string_view name(utf8, static_cast<std::size_t>(size));
    const auto found =
        std::find(description.parameters.begin(), description.parameters.end(), name);
    return static_cast<std::size_t>(found - description.parameters.begin());
}

} // namespace

std::expected<void, ErrorValue> extract_arguments_fastcall(const FunctionDescription& description,
                                                           PyObject* const* args, Py_ssize_t nargs,
                                                           PyObject* kwnames,
                                                           std::span<BorrowedRef> slots) {
    const std::size_t positional = static_cast<std::size_t>(nargs);
    const std::size_t bound = std::min(positional, slots.size());
    std::fill(slots.begin(), slots.end(), BorrowedRef());
    for (std::size_t i = 0; i < bound; ++i) {
        slots[i] = BorrowedRef(args[i]);
    }
    if (positional > slots.size()) {
        return std::unexpected(type_error(messages::too_many_positional(
            description.function_name, description.parameters.size(), positional)));
    }

    const Py_ssize_t keywords = kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < keywords; ++k) {
        PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
        const std::size_t index = parameter_index(description, keyword);
        if (index == slots.size()) {
            return std::unexpected(unexpected_keyword(description, keyword));
        }
        if (slots[index]) {
            return std::unexpected(type_error(messages::multiple_values(
                description.function_name, description.parameters[index])));
        }
        slots[index] = BorrowedRef(args[nargs + k]);
    }

    if (std::any_of(slots.begin(), slots.end(), [](BorrowedRef slot) { return !slot; })) {
        return std::unexpected(missing_arguments(description, slots));
    }
    return {};
}

} // namespace finitemu::boundary
