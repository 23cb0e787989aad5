// The one place that includes the CPython API: every boundary file includes this header first,
// so that PY_SSIZE_T_CLEAN is in force everywhere.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>
