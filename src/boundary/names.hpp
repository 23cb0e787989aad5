// Attribute names the boundary looks up on every import or failed conversion, interned once per
// process. Each returns a borrowed str that lives as long as the process, or null with an
// exception pending.
#pragma once

#include "boundary/python.hpp"

namespace finitemu::boundary::names {

[[nodiscard]] PyObject* dunder_name(); // "__name__"
[[nodiscard]] PyObject* dunder_all();  // "__all__"
[[nodiscard]] PyObject* add_note();    // "add_note"

} // namespace finitemu::boundary::names
