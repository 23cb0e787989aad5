#include "boundary/errors.hpp"

#include "boundary/messages.hpp"
#include "boundary/names.hpp"
#include "boundary/process_object.hpp"

namespace finitemu::boundary {

namespace {

ProcessObject internal_failure_class_cell;

// The pending exception as one object (with its traceback attached), or null when none is set.
// Python 3.12 keeps the exception as one normalised object; 3.11 still keeps a triple.
OwnedRef take_pending_exception() noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    return OwnedRef::steal(PyErr_GetRaisedException());
#else
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    if (type == nullptr) {
        return {};
    }
    PyErr_NormalizeException(&type, &value, &traceback);
    if (value != nullptr && traceback != nullptr) {
        PyException_SetTraceback(value, traceback);
    }
    Py_XDECREF(type);
    Py_XDECREF(traceback);
    return OwnedRef::steal(value);
#endif
}

void restore_pending_exception(OwnedRef exception) noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(exception.release());
#else
    PyObject* value = exception.release();
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(value));
    Py_INCREF(type);
    PyErr_Restore(type, value, PyException_GetTraceback(value));
#endif
}

// str(object) as UTF-8, or nothing (the failure cleared).
bool str_of(BorrowedRef object, std::string& out) {
    OwnedRef text = OwnedRef::steal(PyObject_Str(object.get()));
    Py_ssize_t size = 0;
    const char* utf8 = text ? PyUnicode_AsUTF8AndSize(text.get(), &size) : nullptr;
    if (utf8 == nullptr) {
        PyErr_Clear();
        return false;
    }
    out.assign(utf8, static_cast<std::size_t>(size));
    return true;
}

// Python code raised the internal-failure exception inside a call (from a __float__, say): the
// failure goes on as an internal failure of this call, after the original has been shown.
ErrorValue resume_internal_failure(OwnedRef exception) {
    PySys_WriteStderr("%s", messages::kResumingPanic);
    PySys_WriteStderr("%s", messages::kPythonStackBelow);
    std::string message;
    if (!str_of(exception.borrow(), message)) {
        message = messages::kUnwrappedPanic;
    }
    restore_pending_exception(std::move(exception));
    PyErr_PrintEx(0);
    return ErrorValue::internal(std::move(message));
}

} // namespace

OwnedRef make_str(std::string_view text) noexcept {
    return OwnedRef::steal(
        PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
}

ErrorValue ErrorValue::lazy(PyObject* type, std::string message) {
    return ErrorValue(Kind::lazy, type, std::move(message), OwnedRef());
}

ErrorValue ErrorValue::fetch() {
    OwnedRef exception = take_pending_exception();
    if (!exception) {
        return lazy(PyExc_SystemError, messages::kNoExceptionSet);
    }
    // Only an exception of exactly this class: a subclass defined in Python is an ordinary error.
    // If the class has not been made, no Python code can have raised it.
    PyObject* internal_class = internal_failure_class_cell.get_if_made();
    if (internal_class != nullptr &&
        Py_TYPE(exception.get()) == reinterpret_cast<PyTypeObject*>(internal_class)) {
        return resume_internal_failure(std::move(exception));
    }
    return ErrorValue(Kind::fetched, nullptr, std::string(), std::move(exception));
}

ErrorValue ErrorValue::internal(std::string message) {
    return ErrorValue(Kind::internal, nullptr, std::move(message), OwnedRef());
}

ErrorValue ErrorValue::no_memory() {
    return ErrorValue(Kind::no_memory, nullptr, std::string(), OwnedRef());
}

ErrorValue ErrorValue::from(const Error& error) {
    if (error.kind == ErrorKind::numeric) {
        return lazy(PyExc_RuntimeError, error.message);
    }
    if (error.kind == ErrorKind::out_of_memory) {
        return no_memory(); // no internal fault: the caller may free memory and try again
    }
    return internal(messages::internal_failure(error));
}

PyObject* ErrorValue::exception() const noexcept {
    return exception_.get();
}

bool ErrorValue::is_internal_failure() const noexcept {
    return kind_ == Kind::internal;
}

void ErrorValue::restore() && noexcept {
    switch (kind_) {
    case Kind::lazy:
        // A failure to make the message leaves its own exception (MemoryError) pending.
        if (OwnedRef message = make_str(message_)) {
            PyErr_SetObject(type_, message.get());
        }
        break;
    case Kind::fetched:
        restore_pending_exception(std::move(exception_));
        break;
    case Kind::internal:
        raise_internal_failure(message_);
        break;
    case Kind::no_memory:
        PyErr_NoMemory();
        break;
    }
}

std::string qualified_type_name(BorrowedRef object) {
    OwnedRef name = OwnedRef::steal(PyType_GetQualName(Py_TYPE(object.get())));
    Py_ssize_t size = 0;
    const char* utf8 = name ? PyUnicode_AsUTF8AndSize(name.get(), &size) : nullptr;
    if (utf8 == nullptr) {
        PyErr_Clear();
        return messages::kUnknownTypeName;
    }
    return std::string(utf8, static_cast<std::size_t>(size));
}

bool clear_if_ordinary() noexcept {
    if (!PyErr_ExceptionMatches(PyExc_Exception)) {
        return false;
    }
    PyErr_Clear();
    return true;
}

std::string describe_pending_exception() {
    OwnedRef exception = take_pending_exception();
    if (!exception) {
        return messages::kNoExceptionDescribed;
    }
    std::string text = qualified_type_name(exception.borrow());
    std::string message;
    if (str_of(exception.borrow(), message) && !message.empty()) {
        text += ": ";
        text += message;
    }
    return text;
}

ErrorValue not_an_instance_error(BorrowedRef object, std::string_view class_name) {
    const bool is_none = object.get() == Py_None;
    return ErrorValue::lazy(
        PyExc_TypeError,
        messages::not_an_instance(is_none, is_none ? "" : qualified_type_name(object), class_name));
}

ErrorValue argument_extraction_error(std::string_view parameter, ErrorValue error) {
    if (error.is_internal_failure()) {
        return error;
    }
    if (error.exception() == nullptr) {
        // Materialise the lazy error: raising it makes the exception object.
        std::move(error).restore();
        error = ErrorValue::fetch();
    }
    if (PyObject* exception = error.exception()) {
        PyObject* add_note = names::add_note();
        OwnedRef text =
            add_note != nullptr ? make_str(messages::while_processing(parameter)) : OwnedRef();
        OwnedRef added =
            text ? OwnedRef::steal(PyObject_CallMethodOneArg(exception, add_note, text.get()))
                 : OwnedRef();
        // The note is a courtesy and its failure is dropped, unless it is an interrupt, which
        // replaces the conversion error (that one becomes its context).
        if (!added && !clear_if_ordinary()) {
            ErrorValue interrupt = ErrorValue::fetch();
            if (PyObject* raised = interrupt.exception()) {
                PyException_SetContext(raised, Py_NewRef(exception));
            }
            return interrupt;
        }
    }
    return error;
}

PyObject* internal_failure_class() {
    return internal_failure_class_cell.get([] {
        OwnedRef made = OwnedRef::steal(PyErr_NewExceptionWithDoc(messages::kInternalFailureName,
                                                                  messages::kInternalFailureDoc,
                                                                  PyExc_BaseException, nullptr));
        if (!made && !PyErr_Occurred()) {
            PyErr_SetString(PyExc_SystemError, messages::kInternalFailureClassFailed);
        }
        return made;
    });
}

namespace {

// The module's __getattr__: PanicException is the class, made now if it has not been.
PyObject* internal_failure_module_getattr(PyObject* /*module*/, PyObject* name) {
    if (PyUnicode_Check(name) &&
        PyUnicode_CompareWithASCIIString(name, messages::kInternalFailureAttribute) == 0) {
        return Py_XNewRef(internal_failure_class());
    }
    PyErr_Format(PyExc_AttributeError, messages::kNoModuleAttributeFormat,
                 messages::kInternalFailureModule, name);
    return nullptr;
}

PyMethodDef internal_failure_module_functions[] = {
    {"__getattr__", internal_failure_module_getattr, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

} // namespace

std::expected<void, ErrorValue> install_internal_failure_module() {
    OwnedRef name = OwnedRef::steal(PyUnicode_FromString(messages::kInternalFailureModule));
    if (!name) {
        return std::unexpected(ErrorValue::fetch());
    }
    if (OwnedRef present = OwnedRef::steal(PyImport_GetModule(name.get()))) {
        return {}; // ours, from an earlier import of finitemu, or one we leave alone
    }
    if (PyErr_Occurred() != nullptr) {
        return std::unexpected(ErrorValue::fetch());
    }
    OwnedRef module = OwnedRef::steal(PyModule_NewObject(name.get()));
    if (!module || PyModule_SetDocString(module.get(), messages::kInternalFailureModuleDoc) < 0 ||
        PyModule_AddFunctions(module.get(), internal_failure_module_functions) < 0 ||
        PyObject_SetItem(PyImport_GetModuleDict(), name.get(), module.get()) < 0) {
        return std::unexpected(ErrorValue::fetch());
    }
    return {};
}

void raise_internal_failure(std::string_view message) noexcept {
    PyObject* type = internal_failure_class();
    if (type == nullptr) {
        return; // the failure to make the class is what the caller gets
    }
    if (OwnedRef argument = make_str(message)) {
        PyErr_SetObject(type, argument.get());
    }
}

} // namespace finitemu::boundary
