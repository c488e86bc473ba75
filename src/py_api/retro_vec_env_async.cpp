// _RetroVecEnv's asynchronous steps: step_send starts lanes on the worker pool
// and returns at once, step_recv_into waits for the first lanes to finish,
// step_ready and step_in_flight poll, step_cancel drops what is in flight.
// While lanes are in flight the object keeps the observation array (and the
// observation ring) it was sent with, held for writing, and every call that
// reads or changes lanes is refused (LANES_IN_FLIGHT_MESSAGE).
#include <cstring>
#include <memory>
#include <string>

#include "py_api/arg_parse.h"
#include "py_api/array_call.h"
#include "py_api/array_checks.h"
#include "py_api/errors.h"
#include "py_api/gil.h"
#include "py_api/retro_vec_env.h"
#include "vec_env/async_lanes.h"

namespace tt::py {

namespace {

const char* const SEND_NAMES[] = {"env_ids",    "actions",       "obs",   "obs_ring",
                                  "reset_mask", "state_indices", "seeds", "go_on"};

#define TT_INFO_SPEC(NAME, VALUE_TYPE, ARRAY_TYPE, ...) {#NAME, element_type<ARRAY_TYPE>(), 1, Access::Write},

template <class T>
constexpr ElementType element_type() {
  if constexpr (std::is_same_v<T, int16_t>) return ElementType::I16;
  if constexpr (std::is_same_v<T, uint16_t>) return ElementType::U16;
  if constexpr (std::is_same_v<T, uint32_t>) return ElementType::U32;
  return ElementType::U8;
}

constexpr ArraySpec RECV_SPECS[] = {{"env_ids", ElementType::I32, 1, Access::Write},
                                    {"rewards", ElementType::F32, 1, Access::Write},
                                    {"terminated", ElementType::Bool, 1, Access::Write},
                                    {"truncated", ElementType::Bool, 1, Access::Write},
                                    TT_GAME_VALUES(TT_INFO_SPEC)};
#undef TT_INFO_SPEC
constexpr size_t RECV_ARRAYS = sizeof(RECV_SPECS) / sizeof(RECV_SPECS[0]);

struct RecvNames {
  const char* names[RECV_ARRAYS + 4];
  RecvNames() {
    for (size_t i = 0; i < RECV_ARRAYS; ++i) names[i] = RECV_SPECS[i].name;
    names[RECV_ARRAYS] = "extra_info";
    names[RECV_ARRAYS + 1] = "ram";
    names[RECV_ARRAYS + 2] = "level_end";
    names[RECV_ARRAYS + 3] = "dying";
  }
};

bool present(PyObject* obj) { return obj != nullptr && obj != Py_None; }

// Gives back the arrays kept while lanes were in flight (interpreter lock held).
void release_async_arrays(RetroVecEnvObject* object) {
  object->async_holds.reset();
  Py_CLEAR(object->async_obs);
  Py_CLEAR(object->async_ring);
  object->holds.lanes_in_flight = false;
}

MaybeError check_same_array(PyObject* given, PyObject* kept, const char* name) {
  const bool same = kept == nullptr ? !present(given) : given == kept;
  if (same) return std::nullopt;
  return value_error(std::string(name) + " must be the array the lanes in flight were sent with");
}

}  // namespace

void env_finish_lanes_in_flight(RetroVecEnvObject* object) {
  if (object->env) object->env->async_cancel();
  release_async_arrays(object);
}

PyObject* env_step_send(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const Signature sig{"step_send", SEND_NAMES, 8, 3};
  PyObject* given[8] = {};
  if (!bind_arguments(sig, args, kwargs, given)) return nullptr;
  RetroVecEnvObject* object = as_env_object(self);
  Hold hold(object->holds, HoldKind::Async);
  if (!hold.ok()) return nullptr;
  ZuboVecEnv& env = *object->env;
  const bool flying = env.async_in_flight() > 0;

  ArrayHolds holds;
  ArrayArg ids, actions, mask, indices;
  if (!convert_array(given[0], "env_ids", ElementType::I32, 1, Access::Read, holds, ids) ||
      !convert_array(given[1], "actions", ElementType::U8, 1, Access::Read, holds, actions)) {
    return nullptr;
  }
  // The observation arrays stay held after this call while lanes are in
  // flight; the first send of a flight holds them, later ones must name them.
  auto kept = std::make_unique<ArrayHolds>();
  ArrayArg obs, ring;
  const bool has_ring = present(given[3]);
  if (!flying && (!convert_array(given[2], "obs", ElementType::U8, 4, Access::Write, *kept, obs) ||
                  (has_ring && !convert_array(given[3], "obs_ring", ElementType::U8, 4, Access::Write, *kept, ring)))) {
    return nullptr;
  }
  const bool has_mask = present(given[4]);
  if ((has_mask && !convert_array(given[4], "reset_mask", ElementType::Bool, 1, Access::Read, holds, mask)) ||
      (present(given[5]) &&
       !convert_array(given[5], "state_indices", ElementType::I32, 1, Access::Read, holds, indices))) {
    return nullptr;
  }
  std::vector<std::optional<uint64_t>> seeds;
  const bool has_seeds = present(given[6]);
  if (has_seeds && !convert_seed_list(given[6], "seeds", seeds)) return nullptr;
  bool go_on = false;
  if (present(given[7]) && !convert_bool(given[7], "go_on", go_on)) return nullptr;

  const size_t count = ids.length();
  const auto s = env.obs_shape();
  auto observation_arrays = [&]() -> MaybeError {
    if (flying) {
      if (auto e = check_same_array(given[2], object->async_obs, "obs")) return e;
      return check_same_array(given[3], object->async_ring, "obs_ring");
    }
    if (auto e = check_obs_shape(obs, env)) return e;
    if (has_ring && (ring.shape[0] < static_cast<int64_t>(s[0]) || static_cast<uint64_t>(ring.shape[1]) != s[1] ||
                     static_cast<uint64_t>(ring.shape[2]) != s[2] || static_cast<uint64_t>(ring.shape[3]) != s[3])) {
      return value_error("obs_ring shape must be (at least " + std::to_string(s[0]) + ", " + std::to_string(s[1]) +
                         ", " + std::to_string(s[2]) + ", " + std::to_string(s[3]) + "), got " +
                         format_shape_list({ring.shape[0], ring.shape[1], ring.shape[2], ring.shape[3]}));
    }
    return std::nullopt;
  };
  auto resets = [&]() -> MaybeError {
    if (has_mask && !present(given[5])) return value_error("reset_mask needs state_indices");
    return std::nullopt;
  };
  if (auto e = first_error(
          observation_arrays, [&] { return check_length(actions, count); },
          [&] { return has_mask ? check_length(mask, count) : std::nullopt; },
          [&] { return present(given[5]) ? check_length(indices, count) : std::nullopt; },
          [&] { return has_seeds ? check_item_count("seeds", seeds.size(), count) : std::nullopt; }, resets,
          [&] { return check_contiguous(ids); }, [&] { return check_contiguous(actions); },
          [&] { return has_mask ? check_contiguous(mask) : std::nullopt; },
          [&] { return present(given[5]) ? check_contiguous(indices) : std::nullopt; },
          [&] { return flying ? std::nullopt : check_contiguous(obs); },
          [&] { return flying || !has_ring ? std::nullopt : check_contiguous(ring); })) {
    return raise(*e);
  }
  // The request is checked and carried out on copies (see copy_elements).
  const std::vector<int32_t> id_copy = copy_elements<int32_t>(ids);
  const std::vector<uint8_t> action_copy = copy_elements<uint8_t>(actions);
  const std::vector<uint8_t> mask_copy = has_mask ? copy_elements<uint8_t>(mask) : std::vector<uint8_t>();
  const std::vector<int32_t> index_copy = present(given[5]) ? copy_elements<int32_t>(indices) : std::vector<int32_t>();
  AsyncRequest request;
  request.env_ids = id_copy.data();
  request.count = count;
  request.actions = action_copy.data();
  request.reset_mask = has_mask ? mask_copy.data() : nullptr;
  request.state_indices = has_mask ? index_copy.data() : nullptr;
  request.seeds = has_seeds ? &seeds : nullptr;
  request.go_on = go_on;
  // Under SameStep the bound final arrays receive the last values of the episodes the lanes' steps end.
  if (object->has_bound && env.config().episode.autoreset == Autoreset::SameStep) request.final = &object->bound.final;
  if (auto status = env.check_async_send(request)) return raise(*status);

  if (!flying) {
    object->async_holds = std::move(kept);
    Py_INCREF(given[2]);
    object->async_obs = given[2];
    if (has_ring) {
      Py_INCREF(given[3]);
      object->async_ring = given[3];
    }
    object->holds.lanes_in_flight = true;
  }
  uint8_t* obs_data = flying ? nullptr : obs.as<uint8_t>();
  uint8_t* ring_data = flying || !has_ring ? nullptr : ring.as<uint8_t>();
  const size_t ring_rows = flying || !has_ring ? 0 : static_cast<size_t>(ring.shape[0]);
  without_gil([&] {
    env.async_send(request, obs_data, ring_data, ring_rows);
    return 0;
  });
  Py_RETURN_NONE;
}

PyObject* env_step_recv_into(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const RecvNames names;
  static const Signature sig{"step_recv_into", names.names, RECV_ARRAYS + 4, RECV_ARRAYS};
  PyObject* given[RECV_ARRAYS + 4] = {};
  if (!bind_arguments(sig, args, kwargs, given)) return nullptr;
  RetroVecEnvObject* object = as_env_object(self);
  Hold hold(object->holds, HoldKind::Async);
  if (!hold.ok()) return nullptr;
  ArrayCall<RECV_ARRAYS> call;
  if (!convert_arrays(RECV_SPECS, given, call)) return nullptr;
  ArrayArg extra;
  const bool has_extra = present(given[RECV_ARRAYS]);
  if (has_extra &&
      !convert_array(given[RECV_ARRAYS], "extra_info", ElementType::I64, 2, Access::Write, call.holds, extra)) {
    return nullptr;
  }
  ArrayArg ram;
  const bool has_ram = present(given[RECV_ARRAYS + 1]);
  if (has_ram && !convert_array(given[RECV_ARRAYS + 1], "ram", ElementType::U8, 2, Access::Write, call.holds, ram)) {
    return nullptr;
  }
  ArrayArg signals[2];
  bool has_signal[2] = {false, false};
  for (size_t k = 0; k < 2; ++k) {
    has_signal[k] = present(given[RECV_ARRAYS + 2 + k]);
    if (has_signal[k] && !convert_array(given[RECV_ARRAYS + 2 + k], names.names[RECV_ARRAYS + 2 + k], ElementType::Bool,
                                        1, Access::Write, call.holds, signals[k])) {
      return nullptr;
    }
  }
  ZuboVecEnv& env = *object->env;
  const ArrayArg* a = call.arrays;
  const size_t count = a[0].length();
  const size_t flying = env.async_in_flight();
  auto lanes = [&]() -> MaybeError {
    if (flying == 0) return runtime_error("no lanes are in flight; send some with step_send() first");
    if (count == 0) return value_error("env_ids must have room for at least one lane");
    if (count > flying) {
      return runtime_error("cannot receive " + std::to_string(count) + " lanes: only " + std::to_string(flying) +
                           " are in flight");
    }
    return std::nullopt;
  };
  auto lengths = [&]() -> MaybeError {
    for (size_t i = 1; i < RECV_ARRAYS; ++i) {
      if (auto e = check_length(a[i], count)) return e;
    }
    return std::nullopt;
  };
  auto contiguity = [&]() -> MaybeError {
    for (size_t i = 0; i < RECV_ARRAYS; ++i) {
      if (auto e = check_contiguous(a[i])) return e;
    }
    return std::nullopt;
  };
  if (auto e = first_error(
          lanes, lengths,
          [&] { return has_extra ? check_shape(extra, "extra_info", {count, env.extra_info_width()}) : std::nullopt; },
          [&] { return has_ram ? check_shape(ram, "ram", {count, 2048}) : std::nullopt; },
          [&] { return has_signal[0] ? check_length(signals[0], count) : std::nullopt; },
          [&] { return has_signal[1] ? check_length(signals[1], count) : std::nullopt; }, contiguity,
          [&] { return has_signal[0] ? check_contiguous(signals[0]) : std::nullopt; },
          [&] { return has_signal[1] ? check_contiguous(signals[1]) : std::nullopt; },
          [&] { return has_extra ? check_contiguous(extra) : std::nullopt; },
          [&] { return has_ram ? check_contiguous(ram) : std::nullopt; })) {
    return raise(*e);
  }
  AsyncOutputs out;
  out.env_ids = a[0].as<int32_t>();
  out.count = count;
  out.rewards = a[1].as<float>();
  out.terminated = a[2].as<uint8_t>();
  out.truncated = a[3].as<uint8_t>();
  size_t i = 4;
#define TT_INFO_OUT(NAME, VALUE_TYPE, ARRAY_TYPE, ...) out.info.NAME = a[i++].as<ARRAY_TYPE>();
  TT_GAME_VALUES(TT_INFO_OUT)
#undef TT_INFO_OUT
  out.extra_info = has_extra ? extra.as<int64_t>() : nullptr;
  out.ram = has_ram ? ram.as<uint8_t>() : nullptr;
  out.level_end = has_signal[0] ? signals[0].as<uint8_t>() : nullptr;
  out.dying = has_signal[1] ? signals[1].as<uint8_t>() : nullptr;
  size_t ring_row = 0;
  const EnvStatus status = without_gil([&] { return env.async_recv(out, ring_row); });
  if (env.async_in_flight() == 0) release_async_arrays(object);
  if (status) return raise(*status);
  return PyLong_FromSize_t(ring_row);
}

PyObject* env_step_in_flight(PyObject* self, PyObject*) {
  RetroVecEnvObject* object = as_env_object(self);
  Hold hold(object->holds, HoldKind::Async);
  if (!hold.ok()) return nullptr;
  return PyLong_FromSize_t(object->env->async_in_flight());
}

PyObject* env_step_ready(PyObject* self, PyObject*) {
  RetroVecEnvObject* object = as_env_object(self);
  Hold hold(object->holds, HoldKind::Async);
  if (!hold.ok()) return nullptr;
  return PyLong_FromSize_t(object->env->async_ready());
}

PyObject* env_step_cancel(PyObject* self, PyObject*) {
  RetroVecEnvObject* object = as_env_object(self);
  Hold hold(object->holds, HoldKind::Async);
  if (!hold.ok()) return nullptr;
  ZuboVecEnv& env = *object->env;
  const EnvStatus status = without_gil([&] { return env.async_cancel(); });
  release_async_arrays(object);
  return finish(status);
}

}  // namespace tt::py
