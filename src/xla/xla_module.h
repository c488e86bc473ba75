// The compiled-step interface: XLA FFI handlers (CPU) that step, send to and
// receive from a _RetroVecEnv's engine inside a compiled JAX program, and the
// module functions that bind an engine to a handle. Built into the extension
// only when the build found JAX's FFI headers (CMake option TT_XLA).
#pragma once

#include "py_api/python.h"

namespace tt::xla {

/// Adds _xla_bind, _xla_unbind and _xla_targets to the module; false with an
/// exception set when that fails.
bool add_module_functions(PyObject* module);

}  // namespace tt::xla
