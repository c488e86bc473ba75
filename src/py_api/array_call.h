// Pieces shared by the _RetroVecEnv methods that take caller arrays: the
// table of array parameters, their conversion in argument order, the chain
// of checks that reports the first failure, and the common result.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "py_api/array_checks.h"
#include "py_api/errors.h"
#include "py_api/python.h"
#include "vec_env/vec_env.h"

namespace tt::py {

/// One array parameter: its name, element type, dimensions and access.
struct ArraySpec {
  const char* name;
  ElementType type;
  int ndim;
  Access access;
};

/// The converted arrays of one call and the memory it holds.
template <size_t N>
struct ArrayCall {
  ArrayHolds holds;
  ArrayArg arrays[N];
};

/// Converts the given objects in parameter order; false with an exception set
/// at the first that fails.
template <size_t N>
bool convert_arrays(const ArraySpec (&specs)[N], PyObject* const* given, ArrayCall<N>& call) {
  for (size_t i = 0; i < N; ++i) {
    if (!convert_array(given[i], specs[i].name, specs[i].type, specs[i].ndim, specs[i].access, call.holds,
                       call.arrays[i])) {
      return false;
    }
  }
  return true;
}

/// Runs the listed checks in order and returns the first error; later checks
/// do not run once one failed.
template <class... Checks>
MaybeError first_error(Checks&&... checks) {
  MaybeError result;
  ((result = result ? result : checks()), ...);
  return result;
}

/// `obs` must have the environment's observation extents (N, C, H, W).
inline MaybeError check_obs_shape(const ArrayArg& obs, const ZuboVecEnv& env) {
  const auto s = env.obs_shape();
  return check_shape(obs, "obs", {s[0], s[1], s[2], s[3]});
}

/// The item count of a per-lane sequence argument must be `n`:
/// "<name> length must be N, got M".
inline MaybeError check_item_count(const char* name, size_t count, size_t n) {
  if (count == n) return std::nullopt;
  return value_error(std::string(name) + " length must be " + std::to_string(n) + ", got " + std::to_string(count));
}

/// A private copy of a 1-D array's elements, taken with the interpreter lock
/// held once its length and layout passed their checks. Content checks and
/// the environment then read only the copy: the caller's memory may be
/// changed by another thread at any moment, also after the lock is released.
template <class T>
std::vector<T> copy_elements(const ArrayArg& arg) {
  const T* data = arg.as<const T>();
  return std::vector<T>(data, data + arg.length());
}

/// None, or the Python exception for an environment error.
inline PyObject* finish(const EnvStatus& status) {
  if (status) return raise(*status);
  Py_RETURN_NONE;
}

}  // namespace tt::py
