// Access to NumPy's C array API. Every binding file includes NumPy through
// this header so that all of them share one API table.
#pragma once

#include "py_api/python.h"

#define PY_ARRAY_UNIQUE_SYMBOL tt_numpy_array_api
#ifndef TT_NUMPY_API_OWNER
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>

namespace tt::py {

/// Loads NumPy's C API table on first use. Returns false with a Python
/// exception set when NumPy cannot be imported or is too old.
bool ensure_numpy();

}  // namespace tt::py
