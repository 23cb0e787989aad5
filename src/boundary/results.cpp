#include "boundary/results.hpp"

#include <algorithm>
#include <utility>

namespace finitemu::boundary {

namespace {

// The interpreter could not make an object: its exception (MemoryError) is the call's error.
ErrorValue not_created() {
    return ErrorValue::fetch();
}

// A list of `size` items, item i made by make(i) and stored at index i.
template <class MakeItem> BuildResult build_list(std::size_t size, MakeItem make_item) {
    OwnedRef list = OwnedRef::steal(PyList_New(static_cast<Py_ssize_t>(size)));
    if (!list) {
        return std::unexpected(not_created());
    }
    for (std::size_t i = 0; i < size; ++i) {
        BuildResult item = make_item(i);
        if (!item) {
            return item; // the list drops the items stored so far; the rest are still null
        }
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item->release());
    }
    return list;
}

} // namespace

BuildResult build_result(double value) {
    OwnedRef number = OwnedRef::steal(PyFloat_FromDouble(value));
    if (!number) {
        return std::unexpected(not_created());
    }
    return number;
}

BuildResult build_result(std::span<const double> values) {
    // The hot path of every list function: one float object per value, stored straight into the
    // list's item array, with nothing else made per item.
    const auto size = static_cast<Py_ssize_t>(values.size());
    OwnedRef list = OwnedRef::steal(PyList_New(size));
    if (!list) {
        return std::unexpected(not_created());
    }
    for (Py_ssize_t i = 0; i < size; ++i) {
        PyObject* number = PyFloat_FromDouble(values[static_cast<std::size_t>(i)]);
        if (number == nullptr) {
            return std::unexpected(not_created()); // the list drops the floats stored so far
        }
        PyList_SET_ITEM(list.get(), i, number);
    }
    return list;
}

BuildResult build_result(std::span<const std::vector<double>> rows) {
    return build_list(
        rows.size(), [&](std::size_t i) { return build_result(std::span<const double>(rows[i])); });
}

bool PreparedFloats::make(std::size_t count) noexcept {
    if (list_ == nullptr && made_ == 0) {
        list_ = PyList_New(static_cast<Py_ssize_t>(size_));
        if (list_ == nullptr) {
            PyErr_Clear();
            made_ = size_; // nothing more to try
            return false;
        }
    }
    const std::size_t end = std::min(size_, made_ + count);
    for (; made_ < end; ++made_) {
        PyObject* number = PyFloat_FromDouble(0.0);
        if (number == nullptr) {
            PyErr_Clear();
            return false;
        }
        PyList_SET_ITEM(list_, static_cast<Py_ssize_t>(made_), number);
    }
    return made_ < size_;
}

BuildResult PreparedFloats::finish(std::span<const double> values) {
    if (list_ == nullptr || values.size() != size_) {
        drop();
        return build_result(values);
    }
    OwnedRef list = OwnedRef::steal(std::exchange(list_, nullptr));
    std::size_t i = 0;
    for (; i < made_; ++i) {
        // A float no other code has seen yet: its value may still be set.
        reinterpret_cast<PyFloatObject*>(PyList_GET_ITEM(list.get(), static_cast<Py_ssize_t>(i)))
            ->ob_fval = values[i];
    }
    for (; i < size_; ++i) {
        PyObject* number = PyFloat_FromDouble(values[i]);
        if (number == nullptr) {
            return std::unexpected(not_created()); // the list drops the floats stored so far
        }
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), number);
    }
    return list;
}

void PreparedFloats::drop() noexcept {
    Py_CLEAR(list_); // the list releases the floats made; the rest are null
    made_ = 0;
}

} // namespace finitemu::boundary
