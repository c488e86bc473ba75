// _RetroVecEnv snapshot methods: capturing lanes into live snapshots,
// decoding portable payloads into live snapshots bound to this environment,
// and the mixed reset that restores lanes from them. Capture and decode keep
// the interpreter lock; the mixed reset releases it after every check passed
// and works on private copies of the snapshots.
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "py_api/arg_parse.h"
#include "py_api/array_call.h"
#include "py_api/array_checks.h"
#include "py_api/errors.h"
#include "py_api/gil.h"
#include "py_api/live_snapshot_type.h"
#include "py_api/py_ref.h"
#include "py_api/retro_vec_env.h"
#include "vec_env/snapshots.h"

namespace tt::py {

namespace {

constexpr ArraySpec CAPTURE_SPECS[] = {
    {"obs", ElementType::U8, 4, Access::Read},
    {"capture_mask", ElementType::Bool, 1, Access::Read},
};
const char* const CAPTURE_NAMES[] = {"obs", "capture_mask"};

const char* const DECODE_NAMES[] = {"payloads"};

constexpr ArraySpec RESET_MIXED_SPECS[] = {
    {"obs", ElementType::U8, 4, Access::Write},
    {"reset_mask", ElementType::Bool, 1, Access::Read},
    {"state_indices", ElementType::I32, 1, Access::Read},
};
const char* const RESET_MIXED_NAMES[] = {"obs", "reset_mask", "state_indices", "seeds", "snapshots"};

// Capture reports its own shape text rather than the expected/actual form.
MaybeError check_capture_obs_shape(const ArrayArg& obs, const ZuboVecEnv& env) {
  const auto s = env.obs_shape();
  for (int d = 0; d < 4; ++d) {
    if (static_cast<uint64_t>(obs.shape[d]) != s[d]) return value_error("obs has an incorrect shape");
  }
  return std::nullopt;
}

size_t element_count(const ArrayArg& arg) {
  size_t count = 1;
  for (int d = 0; d < arg.ndim; ++d) count *= static_cast<size_t>(arg.shape[d]);
  return count;
}

// A new list with one live snapshot handle per lane that has one, None
// elsewhere. Either every handle is made or none survives.
PyObject* snapshot_list(std::vector<std::optional<LaneSnapshot>>& lanes) {
  PyRef list(PyList_New(static_cast<Py_ssize_t>(lanes.size())));
  if (!list) return nullptr;
  for (size_t i = 0; i < lanes.size(); ++i) {
    PyObject* item = nullptr;
    if (lanes[i].has_value()) {
      item = new_live_snapshot(std::make_unique<LaneSnapshot>(std::move(*lanes[i])));
      if (item == nullptr) return nullptr;
    } else {
      Py_INCREF(Py_None);
      item = Py_None;
    }
    if (PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item) < 0) return nullptr;
  }
  return list.release();
}

// The snapshot a handle owns (the handle type was checked at conversion).
const LaneSnapshot* owned_snapshot(const PyRef& handle) {
  if (!handle) return nullptr;
  return reinterpret_cast<const LiveSnapshotObject*>(handle.get())->snapshot.get();
}

}  // namespace

PyObject* env_capture_snapshots(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const Signature sig{"capture_snapshots", CAPTURE_NAMES, 2, 2};
  PyObject* given[2];
  if (!bind_arguments(sig, args, kwargs, given)) return nullptr;
  RetroVecEnvObject* object = as_env_object(self);
  Hold hold(object->holds, HoldKind::Shared);
  if (!hold.ok()) return nullptr;
  ArrayCall<2> call;
  if (!convert_arrays(CAPTURE_SPECS, given, call)) return nullptr;

  const ZuboVecEnv& env = *object->env;
  const ArrayArg& obs = call.arrays[0];
  const ArrayArg& mask = call.arrays[1];
  if (auto e = first_error([&] { return check_capture_obs_shape(obs, env); },
                           [&] { return check_length(mask, env.num_envs()); }, [&] { return check_contiguous(obs); },
                           [&] { return check_contiguous(mask); })) {
    return raise(*e);
  }
  // The mask is read once, from a copy (see copy_elements).
  const std::vector<uint8_t> mask_copy = copy_elements<uint8_t>(mask);
  auto captured = capture_lanes(env, obs.as<const uint8_t>(), element_count(obs), mask_copy.data(), mask_copy.size());
  if (auto* error = std::get_if<EnvError>(&captured)) return raise(*error);
  return snapshot_list(std::get<0>(captured));
}

PyObject* env_decode_snapshots(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const Signature sig{"decode_snapshots", DECODE_NAMES, 1, 1};
  PyObject* given[1];
  if (!bind_arguments(sig, args, kwargs, given)) return nullptr;
  RetroVecEnvObject* object = as_env_object(self);
  Hold hold(object->holds, HoldKind::Shared);
  if (!hold.ok()) return nullptr;
  std::vector<std::optional<std::vector<uint8_t>>> payloads;
  if (!convert_optional_bytes_items(given[0], "payloads", payloads)) return nullptr;

  const ZuboVecEnv& env = *object->env;
  const size_t n = env.num_envs();
  if (payloads.size() != n) {
    return raise(value_error("portable snapshot payloads must contain " + std::to_string(n) + " lanes, got " +
                             std::to_string(payloads.size())));
  }
  std::vector<std::optional<LaneSnapshot>> decoded(n);
  for (size_t i = 0; i < n; ++i) {
    if (!payloads[i].has_value()) continue;
    const std::vector<uint8_t>& bytes = *payloads[i];
    auto result = decode_snapshot(env, i, bytes.data(), bytes.size());
    if (auto* error = std::get_if<EnvError>(&result)) return raise(*error);
    decoded[i].emplace(std::get<LaneSnapshot>(std::move(result)));
  }
  return snapshot_list(decoded);
}

PyObject* env_reset_mixed_into(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const Signature sig{"reset_mixed_into", RESET_MIXED_NAMES, 5, 5};
  PyObject* given[5];
  if (!bind_arguments(sig, args, kwargs, given)) return nullptr;
  RetroVecEnvObject* object = as_env_object(self);
  Hold hold(object->holds, HoldKind::Exclusive);
  if (!hold.ok()) return nullptr;
  ArrayCall<3> call;
  if (!convert_arrays(RESET_MIXED_SPECS, given, call)) return nullptr;
  std::vector<std::optional<uint64_t>> seeds;
  if (!convert_seed_list(given[3], "seeds", seeds)) return nullptr;
  std::vector<PyRef> handles;
  if (!convert_optional_instance_list(given[4], "snapshots", live_snapshot_type(), "ZuboLiveSnapshot", handles)) {
    return nullptr;
  }

  ZuboVecEnv& env = *object->env;
  const size_t n = env.num_envs();
  const ArrayArg& obs = call.arrays[0];
  const ArrayArg& mask = call.arrays[1];
  const ArrayArg& indices = call.arrays[2];
  std::vector<const LaneSnapshot*> views(handles.size(), nullptr);
  for (size_t i = 0; i < handles.size(); ++i) views[i] = owned_snapshot(handles[i]);
  if (auto e = first_error([&] { return check_obs_shape(obs, env); }, [&] { return check_length(mask, n); },
                           [&] { return check_length(indices, n); },
                           [&] { return check_item_count("seeds", seeds.size(), n); },
                           [&] { return check_item_count("snapshots", views.size(), n); },
                           [&] { return check_contiguous(mask); }, [&] { return check_contiguous(indices); })) {
    return raise(*e);
  }
  // The request is checked and carried out on copies (see copy_elements).
  const std::vector<uint8_t> mask_copy = copy_elements<uint8_t>(mask);
  const std::vector<int32_t> indices_copy = copy_elements<int32_t>(indices);
  auto request = [&]() -> MaybeError {
    if (auto status = env.check_mixed_reset_request(mask_copy.data(), indices_copy.data(), seeds, views)) {
      return to_error(*status);
    }
    return std::nullopt;
  };
  if (auto e = first_error(request, [&] { return check_contiguous(obs); })) return raise(*e);
  // Private copies, so that no Python object is read once the lock is gone.
  std::vector<std::optional<LaneSnapshot>> copies(n);
  for (size_t i = 0; i < n; ++i) {
    if (views[i] != nullptr) copies[i].emplace(*views[i]);
  }
  return finish(without_gil(
      [&] { return env.reset_mixed(obs.as<uint8_t>(), mask_copy.data(), indices_copy.data(), seeds, copies); }));
}

}  // namespace tt::py
