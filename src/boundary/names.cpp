#include "boundary/names.hpp"

#include "boundary/process_object.hpp"

namespace finitemu::boundary::names {

namespace {

PyObject* interned(ProcessObject& cell, const char* text) {
    return cell.get([text] { return OwnedRef::steal(PyUnicode_InternFromString(text)); });
}

ProcessObject dunder_name_cell;
ProcessObject dunder_all_cell;
ProcessObject add_note_cell;

} // namespace

PyObject* dunder_name() {
    return interned(dunder_name_cell, "__name__");
}
PyObject* dunder_all() {
    return interned(dunder_all_cell, "__all__");
}
PyObject* add_note() {
    return interned(add_note_cell, "add_note");
}

} // namespace finitemu::boundary::names
