// Creators of the module's classes and function, called once by the module
// initialisation in registration order.
#pragma once

#include "py_api/python.h"

namespace tt::py {

/// Name prefix of every class: their __module__ is the package path.
inline constexpr const char* MODULE_PATH = "tanuvex_turbo._tanuvex_turbo";

/// The ZuboLiveSnapshot class (new reference), or nullptr with an exception.
PyObject* create_live_snapshot_type();

/// The _RetroVecEnv class (new reference), or nullptr with an exception.
PyObject* create_retro_vec_env_type();

/// The extra_info_descriptors built-in function bound to `module`.
PyObject* create_extra_info_descriptors_function(PyObject* module);

}  // namespace tt::py
