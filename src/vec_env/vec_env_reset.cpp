// Resets: start states, no-op frames, reseeding, reset observations and the
// two-phase mixed reset.
#include <cstring>
#include <string>

#include "driver/frame_step.h"
#include "driver/game_info.h"
#include "driver/state_image.h"
#include "vec_env/vec_env.h"

namespace tt {

namespace {

std::string state_index_message(size_t lane) {
  return "state_indices[" + std::to_string(lane) + "] must index state_catalog";
}

}  // namespace

void ZuboVecEnv::run_noop_frames(Machine& m, uint64_t& rng) const {
  if (config_.noop_reset_max <= 0) return;
  const uint64_t draw = xorshift64(rng);
  const uint64_t frames = draw % (static_cast<uint64_t>(config_.noop_reset_max) + 1);
  for (uint64_t j = 0; j < frames; ++j) {
    step_frame(m, 0);
    if (m.terminated) break;
  }
}

std::optional<std::string> ZuboVecEnv::reset_machine_state(Machine& m, int32_t state_index, uint64_t& rng) const {
  if (!catalog_.empty()) {
    const StateCatalogEntry& entry = catalog_[static_cast<size_t>(state_index)];
    if (auto error = load_state_image(m, entry.image.data(), entry.image.size())) return error;
  } else {
    reset_machine(m);
  }
  run_noop_frames(m, rng);
  return std::nullopt;
}

EnvStatus ZuboVecEnv::reset_lane(size_t lane, int32_t state_index, std::optional<uint64_t> seed) {
  if (seed.has_value()) rng_state_[lane] = *seed == 0 ? 1 : *seed;
  if (auto error = reset_machine_state(machines_[lane], state_index, rng_state_[lane])) return value_error(*error);
  active_state_index_[lane] = catalog_.empty() ? -1 : state_index;
  last_action_[lane] = 0;
  pending_reset_[lane] = 0;
  begin_episode(lane);
  return std::nullopt;
}

void ZuboVecEnv::recompute_any_pending_reset() {
  bool any = false;
  for (uint8_t p : pending_reset_) any = any || p != 0;
  any_pending_reset_ = any;
}

void ZuboVecEnv::write_reset_observation(size_t lane, uint8_t* lane_obs) {
  const Machine& m = machines_[lane];
  uint8_t* scratch = scratch_[lane].data();
  if (config_.render_observations && config_.obs_type != ObsType::Picture) {
    write_console_observation(config_.obs_type, m, lane_obs);
  } else if (config_.render_observations && config_.frame_maxpool) {
    // Max-pooled steps draw through their own caches: the rare reset draws
    // without the gray background cache, which would only take memory.
    pipeline_.render_observation_general(m, scratch, lane_obs, false);
  } else if (config_.render_observations) {
    pipeline_.render_observation<false>(m, scratch, lane_obs, nullptr, &band_caches_[lane]);
  } else {
    std::memset(lane_obs, 0, geo_.slot_size);
  }
  for (size_t s = 1; s < geo_.frame_stack; ++s) std::memcpy(lane_obs + s * geo_.slot_size, lane_obs, geo_.slot_size);
  if (rgb_frames_enabled_) ObservationPipeline::display_render(m, scratch + geo_.intermediate_size);
}

EnvStatus ZuboVecEnv::write_reset_observations(uint8_t* obs, const uint8_t* mask, size_t selected) {
  UnitErrors errors;
  const size_t needed = scratch_size();
  auto body = [&](size_t begin, size_t end) {
    for (size_t i = begin; i < end; ++i) {
      if (mask != nullptr && mask[i] == 0) continue;
      if (scratch_[i].size() < needed) {
        errors.report("lane scratch buffer is smaller than the observation pipeline needs");
        continue;
      }
      write_reset_observation(i, obs + i * geo_.lane_obs_size);
    }
  };
  for_lanes(machines_.size(), selected, body);
  return errors.take();
}

EnvStatus ZuboVecEnv::check_lane_request(size_t lane, int32_t state_index) const {
  const bool valid =
      catalog_.empty() ? state_index == -1 : state_index >= 0 && static_cast<size_t>(state_index) < catalog_.size();
  if (!valid) return value_error(state_index_message(lane));
  return std::nullopt;
}

EnvStatus ZuboVecEnv::check_reset_request(const uint8_t* mask, const int32_t* state_indices) const {
  bool any = false;
  for (size_t i = 0; i < machines_.size(); ++i) any = any || mask[i] != 0;
  if (!any) return value_error("reset_mask must select at least one lane");
  for (size_t i = 0; i < machines_.size(); ++i) {
    if (mask[i] == 0) continue;
    if (auto error = check_lane_request(i, state_indices[i])) return error;
  }
  return std::nullopt;
}

EnvStatus ZuboVecEnv::check_mixed_reset_request(const uint8_t* mask, const int32_t* state_indices,
                                                const std::vector<std::optional<uint64_t>>& seeds,
                                                const std::vector<const LaneSnapshot*>& snapshots) const {
  const size_t n = machines_.size();
  if (seeds.size() != n) {
    return value_error("seeds length must be " + std::to_string(n) + ", got " + std::to_string(seeds.size()));
  }
  if (snapshots.size() != n) {
    return value_error("snapshots length must be " + std::to_string(n) + ", got " + std::to_string(snapshots.size()));
  }
  bool any = false;
  for (size_t i = 0; i < n; ++i) any = any || mask[i] != 0;
  if (!any) return value_error("reset_mask must select at least one lane");
  for (size_t i = 0; i < n; ++i) {
    const LaneSnapshot* snapshot = snapshots[i];
    if (snapshot == nullptr) {
      if (mask[i] != 0) {
        if (auto error = check_lane_request(i, state_indices[i])) return error;
      }
      continue;
    }
    if (mask[i] == 0) return value_error("snapshots may only be supplied for selected reset lanes");
    if (state_indices[i] != -1) return value_error("snapshot reset lanes must use the -1 state-index sentinel");
    if (seeds[i].has_value()) return value_error("snapshot reset lanes cannot also specify a seed");
    if (snapshot->env_token != token_) return value_error("snapshot belongs to a different environment instance");
    if (snapshot->observation.size() != geo_.lane_obs_size) {
      return runtime_error("internal error: snapshot observation size does not match the environment");
    }
  }
  return std::nullopt;
}

EnvStatus ZuboVecEnv::reset_selected(uint8_t* obs, const uint8_t* mask, const int32_t* state_indices,
                                     const std::vector<std::optional<uint64_t>>* seeds) {
  EnvStatus result;
  auto op = [&] {
    const int32_t default_index = catalog_.empty() ? -1 : 0;
    size_t selected = 0;
    for (size_t i = 0; i < machines_.size(); ++i) {
      if (mask != nullptr && mask[i] == 0) continue;
      ++selected;
      const int32_t index = state_indices != nullptr ? state_indices[i] : default_index;
      const std::optional<uint64_t> seed = seeds != nullptr ? (*seeds)[i] : std::nullopt;
      if (auto error = reset_lane(i, index, seed)) {
        result = error;
        recompute_any_pending_reset();
        return;
      }
    }
    result = write_reset_observations(obs, mask, selected);
    recompute_any_pending_reset();
  };
  run_operation(op);
  return result;
}

EnvStatus ZuboVecEnv::reset_all(uint8_t* obs) { return reset_selected(obs, nullptr, nullptr, nullptr); }

EnvStatus ZuboVecEnv::reset_masked(uint8_t* obs, const uint8_t* mask, const int32_t* state_indices,
                                   const std::vector<std::optional<uint64_t>>& seeds, bool go_on) {
  const size_t n = machines_.size();
  if (seeds.size() != n) {
    return value_error("seeds length must be " + std::to_string(n) + ", got " + std::to_string(seeds.size()));
  }
  if (auto error = check_reset_request(mask, state_indices)) return error;
  if (!go_on) return reset_selected(obs, mask, state_indices, &seeds);
  // Lanes whose game goes on begin their episode where they stand.
  std::vector<uint8_t> restart(mask, mask + n);
  bool any = false;
  for (size_t i = 0; i < n; ++i) {
    if (restart[i] != 0 && episodes_[i].life_ended) {
      restart[i] = 0;
      pending_reset_[i] = 0;
      begin_episode(i);
    }
    any = any || restart[i] != 0;
  }
  if (!any) {
    recompute_any_pending_reset();
    return std::nullopt;
  }
  return reset_selected(obs, restart.data(), state_indices, &seeds);
}

EnvStatus ZuboVecEnv::reset_mixed(uint8_t* obs, const uint8_t* mask, const int32_t* state_indices,
                                  const std::vector<std::optional<uint64_t>>& seeds,
                                  const std::vector<std::optional<LaneSnapshot>>& snapshots) {
  const size_t n = machines_.size();
  std::vector<const LaneSnapshot*> views(snapshots.size(), nullptr);
  for (size_t i = 0; i < snapshots.size(); ++i) {
    if (snapshots[i].has_value()) views[i] = &*snapshots[i];
  }
  if (auto error = check_mixed_reset_request(mask, state_indices, seeds, views)) return error;

  EnvStatus result;
  auto op = [&] {
    // Phase 1: prepare every selected lane without touching the environment.
    std::vector<StagedLane> staged;
    for (size_t i = 0; i < n; ++i) {
      if (mask[i] == 0) continue;
      if (const LaneSnapshot* snapshot = views[i]) {
        staged.push_back(StagedLane{i, snapshot->machine, snapshot->active_state_index, snapshot->last_action,
                                    snapshot->rng_state, &snapshot->observation});
        continue;
      }
      StagedLane lane{i, machines_[i], catalog_.empty() ? -1 : state_indices[i], 0, rng_state_[i], nullptr};
      if (seeds[i].has_value()) lane.rng_state = *seeds[i] == 0 ? 1 : *seeds[i];
      if (auto error = reset_machine_state(lane.machine, state_indices[i], lane.rng_state)) {
        result = value_error(*error);
        return;
      }
      staged.push_back(std::move(lane));
    }
    // Phase 2: commit in lane order.
    for (StagedLane& lane : staged) {
      const size_t i = lane.lane;
      machines_[i] = lane.machine;
      active_state_index_[i] = lane.active_state_index;
      last_action_[i] = lane.last_action;
      rng_state_[i] = lane.rng_state;
      pending_reset_[i] = 0;
      begin_episode(i);
      uint8_t* lane_obs = obs + i * geo_.lane_obs_size;
      if (lane.observation != nullptr) {
        std::memcpy(lane_obs, lane.observation->data(), geo_.lane_obs_size);
        if (rgb_frames_enabled_) {
          ObservationPipeline::display_render(machines_[i], scratch_[i].data() + geo_.intermediate_size);
        }
      } else {
        write_reset_observation(i, lane_obs);
      }
    }
    recompute_any_pending_reset();
  };
  run_operation(op);
  return result;
}

}  // namespace tt
