// _RetroVecEnv profiler methods: switching the profiler on and off, zeroing
// it, and reading it as JSON text. All of them keep the interpreter lock.
#include <string>

#include "core/profiler.h"
#include "py_api/arg_parse.h"
#include "py_api/errors.h"
#include "py_api/retro_vec_env.h"

namespace tt::py {

namespace {

constexpr uint64_t DEFAULT_TOP_N = 64;
const char* const SNAPSHOT_NAMES[] = {"top_n"};

// Runs `fn(env)` under an exclusive hold and returns None.
template <class F>
PyObject* with_exclusive(PyObject* self, F&& fn) {
  RetroVecEnvObject* object = as_env_object(self);
  Hold hold(object->holds, HoldKind::Exclusive);
  if (!hold.ok()) return nullptr;
  fn(*object->env);
  Py_RETURN_NONE;
}

}  // namespace

PyObject* env_enable_profiler(PyObject* self, PyObject*) {
  return with_exclusive(self, [](ZuboVecEnv& env) { env.enable_profiler(); });
}

PyObject* env_reset_profiler(PyObject* self, PyObject*) {
  return with_exclusive(self, [](ZuboVecEnv& env) { env.reset_profiler(); });
}

PyObject* env_disable_profiler(PyObject* self, PyObject*) {
  return with_exclusive(self, [](ZuboVecEnv& env) { env.disable_profiler(); });
}

PyObject* env_profiler_snapshot(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const Signature sig{"profiler_snapshot", SNAPSHOT_NAMES, 1, 0};
  PyObject* given[1];
  if (!bind_arguments(sig, args, kwargs, given)) return nullptr;
  RetroVecEnvObject* object = as_env_object(self);
  Hold hold(object->holds, HoldKind::Shared);
  if (!hold.ok()) return nullptr;
  uint64_t top_n = DEFAULT_TOP_N;
  if (given[0] != nullptr && !convert_u64(given[0], "top_n", top_n)) return nullptr;

  const ZuboVecEnv& env = *object->env;
  if (!env.profiler_enabled()) return raise(value_error("profiler is not enabled"));
  const std::string report = profiler_report(env.profiler_total(), top_n);
  return PyUnicode_FromStringAndSize(report.data(), static_cast<Py_ssize_t>(report.size()));
}

}  // namespace tt::py
