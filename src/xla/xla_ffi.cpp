// XLA FFI handlers (CPU) over a _RetroVecEnv's engine: a compiled JAX program
// steps the lanes (ZuboVecEnv::step), sends lanes (async_send) and receives
// them (async_recv) with no Python in between.
//
// A handle is a uint8 array: bytes 0-7 the binding's number (little-endian
// int64), then the action table (byte a is the controller byte of action a).
// A binding, made by _xla_bind, holds the engine object and the observation
// array its lanes are stepped in (the frame stack, shared with the Python
// environment); _xla_unbind drops it. Each handler call takes the
// interpreter lock to find the binding and take the engine's own hold, the
// one every method of the object takes, so a call is refused (an FFI error,
// never a crash) while another call uses the engine or after the binding is
// gone, then releases the lock while the lanes run.
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <type_traits>
#include <unordered_map>
#include <vector>

#include "driver/game_values.h"
#include "py_api/array_checks.h"
#include "py_api/exception_guard.h"
#include "py_api/holds.h"
#include "py_api/py_ref.h"
#include "py_api/retro_vec_env.h"
#include "vec_env/async_lanes.h"
#include "vec_env/vec_env.h"
#include "xla/ffi/api/ffi.h"
#include "xla/xla_module.h"

namespace ffi = xla::ffi;

namespace tt::xla {

namespace {

using py::ArrayArg;
using py::ArrayHolds;
using py::Hold;
using py::HoldKind;
using py::RetroVecEnvObject;

inline constexpr size_t HANDLE_HEADER = 8;
inline constexpr size_t GAME_VALUE_COUNT = [] {
  size_t n = 0;
#define TT_COUNT(...) ++n;
  TT_GAME_VALUES(TT_COUNT)
#undef TT_COUNT
  return n;
}();

struct Binding {
  PyObject* engine = nullptr;  // strong reference
  PyObject* obs = nullptr;     // strong reference: the lanes' observation stack
  // Lanes sent through a handle are copied here as they finish (row c % N
  // for the c-th lane to finish), while the engine steps them in `obs`.
  std::vector<uint8_t> ring;
  bool sent_lanes = false;  // the lanes in flight were sent through a handle
  std::vector<uint8_t> actions;
  std::vector<int64_t> extra;
};

// Touched only with the interpreter lock held.
std::unordered_map<int64_t, std::unique_ptr<Binding>> g_bindings;
int64_t g_next_binding = 1;

ffi::Error failed(std::string message) { return ffi::Error(ffi::ErrorCode::kFailedPrecondition, std::move(message)); }

// The pending Python exception's text, cleared (interpreter lock held).
std::string take_python_error() {
  PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  py::PyRef t(type), v(value), tb(traceback);
  if (!v) return "unknown error";
  py::PyRef text(PyObject_Str(v.get()));
  py::PyRef bytes(text ? PyUnicode_AsUTF8String(text.get()) : nullptr);
  if (!bytes) {
    PyErr_Clear();
    return "unknown error";
  }
  return PyBytes_AsString(bytes.get());
}

ffi::Error from_status(const EnvStatus& status) {
  if (!status) return ffi::Error::Success();
  const bool argument = status->kind != EnvErrorKind::RuntimeError;
  return ffi::Error(argument ? ffi::ErrorCode::kInvalidArgument : ffi::ErrorCode::kFailedPrecondition, status->message);
}

template <class T>
constexpr ffi::DataType data_type() {
  if constexpr (std::is_same_v<T, uint8_t>) return ffi::DataType::U8;
  if constexpr (std::is_same_v<T, int16_t>) return ffi::DataType::S16;
  if constexpr (std::is_same_v<T, uint16_t>) return ffi::DataType::U16;
  if constexpr (std::is_same_v<T, uint32_t>) return ffi::DataType::U32;
  if constexpr (std::is_same_v<T, int32_t>) return ffi::DataType::S32;
  if constexpr (std::is_same_v<T, float>) return ffi::DataType::F32;
}

// Result `index` as a buffer of `type` and `count` elements, or an error.
ffi::ErrorOr<void*> result(const ffi::RemainingRets& rets, size_t index, ffi::DataType type, size_t count,
                           const char* what) {
  auto buffer = rets.get<ffi::AnyBuffer>(index);
  if (!buffer) return ffi::Unexpected(buffer.error());
  const ffi::AnyBuffer& b = **buffer;
  if (b.element_type() != type || b.element_count() != count) {
    return ffi::Unexpected(ffi::Error::InvalidArgument(std::string("result ") + what +
                                                       " has the wrong element type or size for this environment"));
  }
  return b.untyped_data();
}

// The handle's binding number and action table.
struct HandleView {
  int64_t binding = 0;
  const uint8_t* table = nullptr;
  size_t actions = 0;
};

ffi::ErrorOr<HandleView> read_handle(const ffi::AnyBuffer& handle) {
  if (handle.element_type() != ffi::DataType::U8 || handle.element_count() <= HANDLE_HEADER) {
    return ffi::Unexpected(ffi::Error::InvalidArgument("the handle is not one made by TurboVectorEnv.xla()"));
  }
  HandleView view;
  const auto* bytes = static_cast<const uint8_t*>(handle.untyped_data());
  std::memcpy(&view.binding, bytes, sizeof(view.binding));
  view.table = bytes + HANDLE_HEADER;
  view.actions = handle.element_count() - HANDLE_HEADER;
  return view;
}

// Action indices (int32) to controller bytes through the handle's table.
ffi::Error map_actions(const HandleView& view, const ffi::AnyBuffer& actions, size_t count, uint8_t* out) {
  if (actions.element_type() != ffi::DataType::S32 || actions.element_count() != count) {
    return ffi::Error::InvalidArgument("actions must be int32 with " + std::to_string(count) + " elements, got " +
                                       std::to_string(actions.element_count()));
  }
  const auto* a = static_cast<const int32_t*>(actions.untyped_data());
  for (size_t i = 0; i < count; ++i) {
    if (a[i] < 0 || static_cast<size_t>(a[i]) >= view.actions) {
      return ffi::Error::InvalidArgument("action " + std::to_string(a[i]) + " is outside the action set (0 to " +
                                         std::to_string(view.actions - 1) + ")");
    }
    out[i] = view.table[a[i]];
  }
  return ffi::Error::Success();
}

// The copy handle -> new handle that orders the calls.
ffi::Error pass_handle(const ffi::AnyBuffer& handle, const ffi::RemainingRets& rets) {
  auto out = result(rets, 0, ffi::DataType::U8, handle.element_count(), "handle");
  if (!out) return out.error();
  std::memcpy(*out, handle.untyped_data(), handle.element_count());
  return ffi::Error::Success();
}

// One handler call's access to its engine: the interpreter lock while it
// looks up the binding and takes the engine's hold, released by run().
class Session {
 public:
  Session(int64_t binding, HoldKind kind) : gil_(PyGILState_Ensure()) {
    auto found = g_bindings.find(binding);
    if (found == g_bindings.end()) {
      error_ = failed("this handle's environment is closed (or the handle is not one made by TurboVectorEnv.xla())");
      return;
    }
    binding_ = found->second.get();
    object_ = py::retro_vec_env_object(binding_->engine);
    hold_.emplace(object_->holds, kind);
    if (!hold_->ok()) {
      error_ = failed("the environment is in use by another call: " + take_python_error());
      hold_.reset();
      return;
    }
    if (!object_->env) error_ = failed("the environment's engine is gone");
  }
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;
  ~Session() {
    arrays_.reset();
    hold_.reset();
    PyGILState_Release(gil_);
  }

  const ffi::Error& error() const { return error_; }
  Binding& binding() { return *binding_; }
  RetroVecEnvObject& object() { return *object_; }
  ZuboVecEnv& env() { return *object_->env; }

  // The binding's observation stack, held for writing until the session
  // ends (or, with `keep`, handed to the object for the lanes in flight).
  ffi::ErrorOr<uint8_t*> observation_stack(bool keep) {
    auto holds = std::make_unique<ArrayHolds>();
    ArrayArg obs;
    if (!py::convert_array(binding_->obs, "obs", py::ElementType::U8, 4, py::Access::Write, *holds, obs)) {
      return ffi::Unexpected(failed("the observation stack is in use by another call: " + take_python_error()));
    }
    if (keep) {
      object_->async_holds = std::move(holds);
      Py_INCREF(binding_->obs);
      object_->async_obs = binding_->obs;
      object_->holds.lanes_in_flight = true;
    } else {
      arrays_ = std::move(holds);
    }
    return obs.as<uint8_t>();
  }

  // Runs `fn` with the interpreter lock released.
  template <class F>
  auto run(F&& fn) {
    struct Reacquire {
      PyThreadState* state;
      ~Reacquire() { PyEval_RestoreThread(state); }
    } reacquire{PyEval_SaveThread()};
    return fn();
  }

 private:
  PyGILState_STATE gil_;
  ffi::Error error_;
  Binding* binding_ = nullptr;
  RetroVecEnvObject* object_ = nullptr;
  std::optional<Hold> hold_;
  std::unique_ptr<ArrayHolds> arrays_;
};

// Gives back what the lanes sent through a handle held (interpreter lock held).
void end_flight(RetroVecEnvObject& object, Binding& binding) {
  object.async_holds.reset();
  Py_CLEAR(object.async_obs);
  Py_CLEAR(object.async_ring);
  object.holds.lanes_in_flight = false;
  binding.sent_lanes = false;
}

// Results 1.. of a step or receive of `count` lanes: obs, rewards,
// terminated, truncated, the game values; then (receive) env ids; then the
// extra info rows when the environment has them.
struct LaneResults {
  uint8_t* obs = nullptr;
  float* rewards = nullptr;
  uint8_t* terminated = nullptr;
  uint8_t* truncated = nullptr;
  InfoBuffers info;
  int32_t* env_ids = nullptr;
  int32_t* extra = nullptr;
  uint8_t* level_end = nullptr;
  uint8_t* dying = nullptr;
};

ffi::ErrorOr<LaneResults> lane_results(const ffi::RemainingRets& rets, const ZuboVecEnv& env, size_t count,
                                       bool with_ids) {
  LaneResults r;
  size_t index = 1;
  auto next = [&](ffi::DataType type, size_t elements, const char* what) -> ffi::ErrorOr<void*> {
    return result(rets, index++, type, elements, what);
  };
  const size_t extra_width = env.extra_info_width();
  const bool progress = env.config().episode.progress_info;
  const size_t expected = 5 + GAME_VALUE_COUNT + (with_ids ? 1 : 0) + (extra_width > 0 ? 1 : 0) + (progress ? 2 : 0);
  if (rets.size() != expected) {
    return ffi::Unexpected(ffi::Error::InvalidArgument("expected " + std::to_string(expected) + " results, got " +
                                                       std::to_string(rets.size())));
  }
  auto obs = next(ffi::DataType::U8, count * env.lane_obs_size(), "obs");
  if (!obs) return ffi::Unexpected(obs.error());
  r.obs = static_cast<uint8_t*>(*obs);
  auto rewards = next(ffi::DataType::F32, count, "reward");
  if (!rewards) return ffi::Unexpected(rewards.error());
  r.rewards = static_cast<float*>(*rewards);
  auto terminated = next(ffi::DataType::PRED, count, "terminated");
  if (!terminated) return ffi::Unexpected(terminated.error());
  r.terminated = static_cast<uint8_t*>(*terminated);
  auto truncated = next(ffi::DataType::PRED, count, "truncated");
  if (!truncated) return ffi::Unexpected(truncated.error());
  r.truncated = static_cast<uint8_t*>(*truncated);
#define TT_INFO_RESULT(NAME, VALUE_TYPE, ARRAY_TYPE, ...)     \
  {                                                           \
    auto value = next(data_type<ARRAY_TYPE>(), count, #NAME); \
    if (!value) return ffi::Unexpected(value.error());        \
    r.info.NAME = static_cast<ARRAY_TYPE*>(*value);           \
  }
  TT_GAME_VALUES(TT_INFO_RESULT)
#undef TT_INFO_RESULT
  if (with_ids) {
    auto ids = next(ffi::DataType::S32, count, "env_id");
    if (!ids) return ffi::Unexpected(ids.error());
    r.env_ids = static_cast<int32_t*>(*ids);
  }
  if (extra_width > 0) {
    auto extra = next(ffi::DataType::S32, count * extra_width, "extra info");
    if (!extra) return ffi::Unexpected(extra.error());
    r.extra = static_cast<int32_t*>(*extra);
  }
  if (progress) {
    auto level_end = next(ffi::DataType::PRED, count, "level_end");
    if (!level_end) return ffi::Unexpected(level_end.error());
    r.level_end = static_cast<uint8_t*>(*level_end);
    auto dying = next(ffi::DataType::PRED, count, "dying");
    if (!dying) return ffi::Unexpected(dying.error());
    r.dying = static_cast<uint8_t*>(*dying);
  }
  return r;
}

void narrow_extra(const std::vector<int64_t>& wide, int32_t* out, size_t elements) {
  for (size_t i = 0; i < elements; ++i) out[i] = static_cast<int32_t>(wide[i]);
}

ffi::Error step_impl(ffi::AnyBuffer handle, ffi::AnyBuffer actions, ffi::RemainingRets rets) {
  auto view = read_handle(handle);
  if (!view) return view.error();
  Session session(view->binding, HoldKind::Exclusive);
  if (session.error().failure()) return session.error();
  ZuboVecEnv& env = session.env();
  Binding& binding = session.binding();
  const size_t n = env.num_envs();
  auto results = lane_results(rets, env, n, false);
  if (!results) return results.error();
  binding.actions.resize(n);
  if (auto e = map_actions(*view, actions, n, binding.actions.data()); e.failure()) return e;
  if (auto e = pass_handle(handle, rets); e.failure()) return e;
  auto obs = session.observation_stack(false);
  if (!obs) return obs.error();
  StepBuffers b;
  b.actions = binding.actions.data();
  b.obs = *obs;
  b.obs_copy = results->obs;
  b.rewards = results->rewards;
  b.terminated = results->terminated;
  b.truncated = results->truncated;
  b.info = results->info;
  b.level_end = results->level_end;
  b.dying = results->dying;
  const size_t extra_elements = n * env.extra_info_width();
  binding.extra.resize(extra_elements);
  b.extra = extra_elements ? binding.extra.data() : nullptr;
  const EnvStatus status = session.run([&]() -> EnvStatus {
    if (auto s = env.step(b)) return s;
    narrow_extra(binding.extra, results->extra, extra_elements);
    return std::nullopt;
  });
  return from_status(status);
}

ffi::Error send_impl(ffi::AnyBuffer handle, ffi::AnyBuffer actions, ffi::AnyBuffer env_ids, ffi::RemainingRets rets) {
  auto view = read_handle(handle);
  if (!view) return view.error();
  Session session(view->binding, HoldKind::Async);
  if (session.error().failure()) return session.error();
  ZuboVecEnv& env = session.env();
  Binding& binding = session.binding();
  const size_t count = env_ids.element_count();
  if (env_ids.element_type() != ffi::DataType::S32) return ffi::Error::InvalidArgument("env_id must be int32");
  binding.actions.resize(count);
  if (auto e = map_actions(*view, actions, count, binding.actions.data()); e.failure()) return e;
  if (auto e = pass_handle(handle, rets); e.failure()) return e;
  const bool flying = env.async_in_flight() > 0;
  if (flying && !binding.sent_lanes) {
    return failed("lanes sent through the environment's Python methods are in flight; receive them there first");
  }
  const std::vector<int32_t> ids(static_cast<const int32_t*>(env_ids.untyped_data()),
                                 static_cast<const int32_t*>(env_ids.untyped_data()) + count);
  AsyncRequest request;
  request.env_ids = ids.data();
  request.count = count;
  request.actions = binding.actions.data();
  if (auto status = env.check_async_send(request)) return from_status(status);
  uint8_t* obs = nullptr;
  uint8_t* ring = nullptr;
  if (!flying) {
    auto stack = session.observation_stack(true);
    if (!stack) return stack.error();
    obs = *stack;
    binding.ring.resize(env.num_envs() * env.lane_obs_size());
    ring = binding.ring.data();
    binding.sent_lanes = true;
  }
  const size_t ring_rows = flying ? 0 : env.num_envs();
  session.run([&] {
    env.async_send(request, obs, ring, ring_rows);
    return 0;
  });
  return ffi::Error::Success();
}

ffi::Error recv_impl(ffi::AnyBuffer handle, ffi::RemainingRets rets) {
  auto view = read_handle(handle);
  if (!view) return view.error();
  Session session(view->binding, HoldKind::Async);
  if (session.error().failure()) return session.error();
  ZuboVecEnv& env = session.env();
  Binding& binding = session.binding();
  const size_t flying = env.async_in_flight();
  if (flying == 0 || !binding.sent_lanes) {
    if (flying == 0) binding.sent_lanes = false;
    return failed("no lanes sent through this handle are in flight; send some first");
  }
  auto count_result = rets.get<ffi::AnyBuffer>(2);  // rewards: one per lane received
  if (!count_result) return count_result.error();
  const size_t count = (**count_result).element_count();
  if (count == 0 || count > flying) {
    return failed("cannot receive " + std::to_string(count) + " lanes: " + std::to_string(flying) + " are in flight");
  }
  auto results = lane_results(rets, env, count, true);
  if (!results) return results.error();
  if (auto e = pass_handle(handle, rets); e.failure()) return e;
  AsyncOutputs out;
  out.env_ids = results->env_ids;
  out.count = count;
  out.rewards = results->rewards;
  out.terminated = results->terminated;
  out.truncated = results->truncated;
  out.info = results->info;
  const size_t extra_elements = count * env.extra_info_width();
  binding.extra.resize(extra_elements);
  out.extra_info = extra_elements ? binding.extra.data() : nullptr;
  out.level_end = results->level_end;
  out.dying = results->dying;
  const size_t lane_bytes = env.lane_obs_size();
  const size_t n = env.num_envs();
  size_t ring_row = 0;
  const EnvStatus status = session.run([&] {
    const EnvStatus s = env.async_recv(out, ring_row);
    if (!s) {
      for (size_t k = 0; k < count; ++k) {
        std::memcpy(results->obs + k * lane_bytes, binding.ring.data() + ((ring_row + k) % n) * lane_bytes, lane_bytes);
      }
      narrow_extra(binding.extra, results->extra, extra_elements);
    }
    return s;
  });
  if (env.async_in_flight() == 0) end_flight(session.object(), binding);
  return from_status(status);
}

}  // namespace

}  // namespace tt::xla

XLA_FFI_DEFINE_HANDLER_SYMBOL(tt_xla_step, tt::xla::step_impl,
                              ffi::Ffi::Bind().Arg<ffi::AnyBuffer>().Arg<ffi::AnyBuffer>().RemainingRets());
XLA_FFI_DEFINE_HANDLER_SYMBOL(
    tt_xla_send, tt::xla::send_impl,
    ffi::Ffi::Bind().Arg<ffi::AnyBuffer>().Arg<ffi::AnyBuffer>().Arg<ffi::AnyBuffer>().RemainingRets());
XLA_FFI_DEFINE_HANDLER_SYMBOL(tt_xla_recv, tt::xla::recv_impl, ffi::Ffi::Bind().Arg<ffi::AnyBuffer>().RemainingRets());

namespace tt::xla {

namespace {

// _xla_bind(engine, obs) -> int: binds the engine and the observation stack
// its lanes are stepped in; the number goes into the handle.
PyObject* bind(PyObject*, PyObject* args) {
  PyObject *engine = nullptr, *obs = nullptr;
  if (!PyArg_ParseTuple(args, "OO:_xla_bind", &engine, &obs)) return nullptr;
  RetroVecEnvObject* object = py::retro_vec_env_object(engine);
  if (object == nullptr) {
    PyErr_SetString(PyExc_TypeError, "_xla_bind needs a _RetroVecEnv");
    return nullptr;
  }
  Hold hold(object->holds, HoldKind::Config);
  if (!hold.ok()) return nullptr;
  {
    ArrayHolds holds;
    ArrayArg arg;
    if (!py::convert_array(obs, "obs", py::ElementType::U8, 4, py::Access::Write, holds, arg)) return nullptr;
    const auto s = object->env->obs_shape();
    if (auto e = py::check_shape(arg, "obs", {s[0], s[1], s[2], s[3]})) return py::raise(*e);
    if (auto e = py::check_contiguous(arg)) return py::raise(*e);
  }
  auto binding = std::make_unique<Binding>();
  Py_INCREF(engine);
  binding->engine = engine;
  Py_INCREF(obs);
  binding->obs = obs;
  const int64_t number = g_next_binding++;
  g_bindings.emplace(number, std::move(binding));
  return PyLong_FromLongLong(number);
}

// _xla_unbind(number): lanes still in flight through the handle are
// finished and dropped, then the binding goes; its handles are refused.
PyObject* unbind(PyObject*, PyObject* args) {
  long long number = 0;
  if (!PyArg_ParseTuple(args, "L:_xla_unbind", &number)) return nullptr;
  auto found = g_bindings.find(number);
  if (found == g_bindings.end()) Py_RETURN_NONE;
  Binding& binding = *found->second;
  RetroVecEnvObject* object = py::retro_vec_env_object(binding.engine);
  if (binding.sent_lanes && object->env) {
    if (object->env->async_in_flight() > 0) object->env->async_cancel();
    end_flight(*object, binding);
  }
  std::unique_ptr<Binding> owned = std::move(found->second);
  g_bindings.erase(found);
  Py_DECREF(owned->obs);
  Py_DECREF(owned->engine);
  Py_RETURN_NONE;
}

PyObject* capsule(XLA_FFI_Error* (*handler)(XLA_FFI_CallFrame*)) {
  return PyCapsule_New(reinterpret_cast<void*>(handler), nullptr, nullptr);
}

// _xla_targets() -> {name: capsule}: the handlers to register with jax.ffi.
PyObject* targets(PyObject*, PyObject*) {
  py::PyRef dict(PyDict_New());
  if (!dict) return nullptr;
  const std::pair<const char*, XLA_FFI_Error* (*)(XLA_FFI_CallFrame*)> handlers[] = {
      {"tanuvex_turbo_step", tt_xla_step}, {"tanuvex_turbo_send", tt_xla_send}, {"tanuvex_turbo_recv", tt_xla_recv}};
  for (const auto& [name, handler] : handlers) {
    py::PyRef value(capsule(handler));
    if (!value || PyDict_SetItemString(dict.get(), name, value.get()) < 0) return nullptr;
  }
  return dict.release();
}

PyMethodDef g_functions[] = {
    {"_xla_bind", py::guarded<bind>, METH_VARARGS, "_xla_bind(engine, obs)\n--\n\n"},
    {"_xla_unbind", py::guarded<unbind>, METH_VARARGS, "_xla_unbind(number)\n--\n\n"},
    {"_xla_targets", py::guarded<targets>, METH_NOARGS, "_xla_targets()\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

bool add_module_functions(PyObject* module) { return PyModule_AddFunctions(module, g_functions) == 0; }

}  // namespace tt::xla
