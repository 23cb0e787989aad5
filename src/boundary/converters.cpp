#include "boundary/converters.hpp"

#include "boundary/messages.hpp"
#include "boundary/process_object.hpp"
#include "parallel/spare_buffers.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string_view>

namespace finitemu::boundary {

namespace {

// The most doubles reserved on the word of a size hint that the iteration has not confirmed
// (8 MiB). A __len__ may lie; beyond this the vector grows as items really arrive.
constexpr std::size_t kMaxUnconfirmedReserve = std::size_t{1} << 20;

InterpreterObject sequence_abc_cell("finitemu.collections.abc.Sequence");

// collections.abc.Sequence, imported once per interpreter, when the first refusal message needs
// its name.
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

InterpreterObject array_type_cell("finitemu.array.array");

// The calling interpreter's array.array, imported on first need; null where it cannot be had (an
// Exception cleared; anything else, such as KeyboardInterrupt, left pending for the caller).
PyTypeObject* array_type() {
    PyObject* type = array_type_cell.get([] {
        OwnedRef module = OwnedRef::steal(PyImport_ImportModule("array"));
        OwnedRef found =
            module ? OwnedRef::steal(PyObject_GetAttrString(module.get(), "array")) : OwnedRef();
        if (found && !PyType_Check(found.get())) {
            PyErr_SetString(PyExc_TypeError, messages::kArrayIsNoType);
            return OwnedRef();
        }
        return found;
    });
    if (type == nullptr) {
        static_cast<void>(clear_if_ordinary());
    }
    return reinterpret_cast<PyTypeObject*>(type);
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
// __len__ hint, capped, or nothing when __len__ fails with an Exception (dropped: only a hint). A
// KeyboardInterrupt or SystemExit from __len__ is the error.
std::expected<std::size_t, ErrorValue> reservation(BorrowedRef object) {
    const Py_ssize_t hint = PyObject_Size(object.get());
    if (hint < 0) {
        if (!clear_if_ordinary()) {
            return std::unexpected(ErrorValue::fetch());
        }
        return 0;
    }
    const auto size = static_cast<std::size_t>(hint);
    if (PyList_CheckExact(object.get()) || PyTuple_CheckExact(object.get())) {
        return size;
    }
    return std::min(size, kMaxUnconfirmedReserve);
}

// The buffer of an object (with strides and format), released when this goes out of scope, on
// every path. A failure to get it is cleared: the caller then iterates instead.
class BufferView {
public:
    explicit BufferView(BorrowedRef object) noexcept {
        if (PyObject_GetBuffer(object.get(), &view_, PyBUF_RECORDS_RO) < 0) {
            view_.obj = nullptr;
            PyErr_Clear();
        }
    }
    BufferView(const BufferView&) = delete;
    BufferView& operator=(const BufferView&) = delete;
    ~BufferView() {
        if (view_.obj != nullptr) {
            PyBuffer_Release(&view_);
        }
    }

    // Whether the buffer is there, one-dimensional, C-contiguous, of native doubles.
    [[nodiscard]] bool holds_doubles() const noexcept;
    [[nodiscard]] std::size_t size() const noexcept {
        return static_cast<std::size_t>(view_.shape[0]);
    }
    [[nodiscard]] const void* data() const noexcept { return view_.buf; }
    // The buffer's format, or null when there is no buffer.
    [[nodiscard]] const char* format() const noexcept {
        return view_.obj != nullptr ? view_.format : nullptr;
    }

private:
    Py_buffer view_{};
};

// Whether a buffer format names one native double: "d", or "@d" spelled out. Not "=d" or "<d",
// although on this machine they hold the same bytes: a memoryview of such a buffer (a ctypes
// array, say) refuses to iterate, and the copy must give what iteration gives.
bool is_native_double_format(const char* format) {
    if (format == nullptr) {
        return false; // PyBUF_FORMAT was asked for; a missing format means unsigned bytes
    }
    const std::string_view text(format);
    return text == "d" || text == "@d";
}

// The types whose iteration yields exactly the doubles of their buffer, one per element, with no
// Python code run: memoryview, array.array and numpy.ndarray, the exact types only (a subclass may
// redefine __iter__ or __getitem__, as numpy's masked arrays do). numpy.ndarray is known by its
// type name and by being a static type, since the module does not import NumPy.
bool iterates_as_its_buffer(BorrowedRef object) {
    PyTypeObject* type = Py_TYPE(object.get());
    if (type == &PyMemoryView_Type) {
        return true;
    }
    const std::string_view name(type->tp_name);
    if (name == "numpy.ndarray") {
        return !PyType_HasFeature(type, Py_TPFLAGS_HEAPTYPE);
    }
    return name == "array.array" && type == array_type();
}

bool BufferView::holds_doubles() const noexcept {
    return view_.obj != nullptr && view_.ndim == 1 && view_.itemsize == sizeof(double) &&
           is_native_double_format(view_.format) && PyBuffer_IsContiguous(&view_, 'C') != 0;
}

// The doubles of a one-dimensional, C-contiguous buffer of native doubles in one copy, or nothing
// when the object is not such a buffer (a 0-d array, other formats, strided views, a buffer that
// cannot be had): then the iteration decides, errors included.
std::optional<std::vector<double>> copy_double_buffer(BorrowedRef object) {
    if (!iterates_as_its_buffer(object)) {
        return std::nullopt;
    }
    const BufferView view(object);
    if (!view.holds_doubles()) {
        return std::nullopt;
    }
    std::vector<double> values;
    if (reinterpret_cast<std::uintptr_t>(view.data()) % alignof(double) == 0) {
        const auto* first = static_cast<const double*>(view.data());
        values.assign(first, first + view.size());
    } else {
        values.resize(view.size()); // a byte-offset view, e.g. memoryview(data)[1:9].cast("d")
        // An empty vector's data() may be null, and memcpy must not get null even for 0 bytes.
        if (!values.empty()) {
            std::memcpy(values.data(), view.data(), view.size() * sizeof(double));
        }
    }
    return values;
}

// Whether a buffer format names a complex number: "Zd", "Zf", "Zg", after any byte order.
bool is_complex_format(const char* format) {
    if (format == nullptr) {
        return false;
    }
    const std::string_view text(format);
    const std::size_t start = !text.empty() && std::string_view("@=<>!").contains(text[0]) ? 1 : 0;
    return text.substr(start).starts_with('Z');
}

// Whether an object is a complex number: complex (and its subclasses, numpy.complex128 among
// them), NumPy's complex scalars of every precision (numpy.complexfloating, known by name as
// numpy.ndarray is), or a NumPy array of complex numbers. The interpreter's conversion refuses
// complex but turns NumPy's into floats by dropping the imaginary part (with a warning); every
// one is refused the way complex is.
bool is_complex(BorrowedRef object) {
    PyObject* item = object.get();
    if (PyFloat_Check(item) || PyLong_Check(item)) {
        return false;
    }
    if (PyComplex_Check(item)) {
        return true;
    }
    PyTypeObject* type = Py_TYPE(item);
    if (PyObject* mro = type->tp_mro; mro != nullptr && PyTuple_Check(mro)) {
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro); ++i) {
            auto* base = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i));
            if (!PyType_HasFeature(base, Py_TPFLAGS_HEAPTYPE) &&
                std::string_view(base->tp_name) == "numpy.complexfloating") {
                return true;
            }
        }
    }
    if (std::string_view(type->tp_name) == "numpy.ndarray" &&
        !PyType_HasFeature(type, Py_TPFLAGS_HEAPTYPE)) {
        return is_complex_format(BufferView(object).format());
    }
    return false;
}

} // namespace

std::expected<double, ErrorValue> extract_float(BorrowedRef object) {
    if (PyFloat_CheckExact(object.get())) {
        return PyFloat_AS_DOUBLE(object.get());
    }
    if (is_complex(object)) {
        PyErr_Format(PyExc_TypeError, messages::kNotRealFormat, Py_TYPE(object.get())->tp_name);
        return std::unexpected(ErrorValue::fetch());
    }
    const double value = PyFloat_AsDouble(object.get());
    if (value == -1.0 && PyErr_Occurred() != nullptr) {
        return std::unexpected(ErrorValue::fetch());
    }
    return value;
}

std::expected<std::vector<double>, ErrorValue> extract_sequence(BorrowedRef object) {
    if (PyUnicode_Check(object.get())) {
        return std::unexpected(ErrorValue::lazy(PyExc_TypeError, messages::kStrIsNoSequence));
    }
    if (!PySequence_Check(object.get())) {
        return std::unexpected(not_a_sequence(object));
    }

    if (auto values = copy_double_buffer(object)) {
        return std::move(*values);
    }
    if (PyErr_Occurred() != nullptr) {
        return std::unexpected(ErrorValue::fetch()); // an interrupt while array.array was imported
    }

    auto reserve = reservation(object);
    if (!reserve) {
        return std::unexpected(std::move(reserve.error()));
    }
    std::vector<double> values = parallel::reuse_buffer(*reserve);
    if (PyList_CheckExact(object.get())) {
        // The list iterator's own steps without its calls: item i while i is below the length
        // read at that step (converting an item may run Python code that changes the list), a
        // reference held while the item converts. Exact floats are read in place.
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(object.get()); ++i) {
            PyObject* item = PyList_GET_ITEM(object.get(), i);
            if (PyFloat_CheckExact(item)) {
                values.push_back(PyFloat_AS_DOUBLE(item));
                continue;
            }
            const OwnedRef held = OwnedRef::steal(Py_NewRef(item));
            auto value = extract_float(held.borrow());
            if (!value) {
                return std::unexpected(std::move(value.error()));
            }
            values.push_back(*value);
        }
        return values;
    }
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
