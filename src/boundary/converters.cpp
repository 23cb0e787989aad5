#include "boundary/converters.hpp"

#include "boundary/process_object.hpp"

#include <algorithm>
#include <cstddef>

namespace finitemu::boundary {

namespace {

// The most doubles reserved on the word of a size hint that the iteration has not confirmed
// (8 MiB). A __len__ may lie; beyond this the vector grows as items really arrive.
constexpr std::size_t kMaxUnconfirmedReserve = std::size_t{1} << 20;

ProcessObject sequence_abc_cell;

// collections.abc.Sequence, imported once, when the first refusal message needs its name.
PyObject* sequence_abc() {
    return sequence_abc_cell.get([] {
        OwnedRef module = OwnedRef::steal(PyImport_ImportModule("collections.abc"));
        OwnedRef type =
            module ? OwnedRef::steal(PyObject_GetAttrString(module.get(), "Sequence")) : OwnedRef();
        if (type && !PyType_Check(type.get())) {
            std::move(not_an_instance_error(type.borrow(), "type")).restore();
            return OwnedRef();
        }
        return type;
    });
}

ErrorValue not_a_sequence(BorrowedRef object) {
    PyObject* sequence = sequence_abc();
    if (sequence == nullptr) {
        return ErrorValue::fetch();
    }
    OwnedRef name = OwnedRef::steal(PyType_GetQualName(reinterpret_cast<PyTypeObject*>(sequence)));
    Py_ssize_t size = 0;
    const char* utf8 = name ? PyUnicode_AsUTF8AndSize(name.get(), &size) : nullptr;
    if (utf8 == nullptr) {
        return ErrorValue::fetch();
    }
    return not_an_instance_error(object, std::string_view(utf8, static_cast<std::size_t>(size)));
}

// How many doubles to reserve: the exact length of a list or tuple; for anything else the
// __len__ hint, capped, or nothing when __len__ fails (its error is dropped: only a hint).
std::size_t reservation(BorrowedRef object) {
    const Py_ssize_t hint = PyObject_Size(object.get());
    if (hint < 0) {
        PyErr_Clear();
        return 0;
    }
    const auto size = static_cast<std::size_t>(hint);
    if (PyList_CheckExact(object.get()) || PyTuple_CheckExact(object.get())) {
        return size;
    }
    return std::min(size, kMaxUnconfirmedReserve);
}

} // namespace

std::expected<double, ErrorValue> extract_float(BorrowedRef object) {
    if (PyFloat_CheckExact(object.get())) {
        return PyFloat_AS_DOUBLE(object.get());
    }
    const double value = PyFloat_AsDouble(object.get());
    if (value == -1.0 && PyErr_Occurred() != nullptr) {
        return std::unexpected(ErrorValue::fetch());
    }
    return value;
}

std::expected<std::vector<double>, ErrorValue> extract_sequence(BorrowedRef object) {
    if (PyUnicode_Check(object.get())) {
        return std::unexpected(ErrorValue::lazy(PyExc_TypeError, "Can't extract `str` to `Vec`"));
    }
    if (!PySequence_Check(object.get())) {
        return std::unexpected(not_a_sequence(object));
    }

    std::vector<double> values;
    values.reserve(reservation(object));
    OwnedRef iterator = OwnedRef::steal(PyObject_GetIter(object.get()));
    if (!iterator) {
        return std::unexpected(ErrorValue::fetch());
    }
    while (OwnedRef item = OwnedRef::steal(PyIter_Next(iterator.get()))) {
        auto value = extract_float(item.borrow());
        if (!value) {
            return std::unexpected(std::move(value.error()));
        }
        values.push_back(*value);
    }
    if (PyErr_Occurred() != nullptr) {
        return std::unexpected(ErrorValue::fetch());
    }
    return values;
}

} // namespace finitemu::boundary
