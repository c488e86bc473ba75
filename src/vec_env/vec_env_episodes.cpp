// The episode rules beside the game's own: a lost life, the end of a level,
// the step limit, the progress signals, and the resets the engine makes by
// itself when an episode has ended (autoreset).
#include <cstring>
#include <string>

#include "driver/game_info.h"
#include "vec_env/async_lanes.h"
#include "vec_env/vec_env.h"

namespace tt {

void ZuboVecEnv::begin_episode(size_t lane) {
  const Machine& m = machines_[lane];
  LaneEpisode& e = episodes_[lane];
  e.lives = m.info.lives;
  e.length = 0;
  e.life_ended = false;
  e.level_end = level_end_signal(m.ram.data());
  e.dying = dying_signal(m.ram.data());
}

void ZuboVecEnv::apply_episode_rules(size_t lane, uint8_t& terminated, uint8_t& truncated) {
  const EpisodeRules& rules = config_.episode;
  const Machine& m = machines_[lane];
  LaneEpisode& e = episodes_[lane];
  bool ended = m.terminated != 0;
  if (rules.end_on_life_loss || rules.episodic_life) {
    const bool lost = m.info.lives < e.lives;
    // Game over (lives reads -1) is a real end: the console ended the lane too.
    if (rules.episodic_life) e.life_ended = lost && !ended;
    ended = ended || lost;
  }
  e.level_end = level_end_signal(m.ram.data());
  e.dying = dying_signal(m.ram.data());
  if (rules.end_on_level_end) ended = ended || e.level_end;
  e.lives = m.info.lives;
  e.length += 1;
  const bool limit = rules.max_episode_steps != 0 && e.length >= rules.max_episode_steps;
  if (limit) e.life_ended = false;  // a step limit restarts the game
  terminated = ended ? 1 : 0;
  truncated = limit ? 1 : 0;
}

int32_t ZuboVecEnv::autoreset_state_index(size_t lane) {
  if (catalog_.empty()) return -1;
  if (random_start_[lane] == 0) return start_index_[lane];
  return static_cast<int32_t>(xorshift64(rng_state_[lane]) % catalog_.size());
}

std::optional<std::string> ZuboVecEnv::restart_lane(size_t lane, int32_t state_index) {
  if (auto error = reset_machine_state(machines_[lane], state_index, rng_state_[lane])) return error;
  active_state_index_[lane] = catalog_.empty() ? -1 : state_index;
  last_action_[lane] = 0;
  return std::nullopt;
}

void ZuboVecEnv::start_episode_in_step(size_t lane, bool keep, const StepBuffers& b, UnitErrors& errors) {
  if (!keep) {
    if (auto error = restart_lane(lane, autoreset_state_index(lane))) {
      errors.report("lane reset failed: " + *error);
    } else if (scratch_[lane].size() < scratch_size()) {
      errors.report("lane scratch buffer is smaller than the observation pipeline needs");
    } else {
      write_reset_observation(lane, b.obs + lane * geo_.lane_obs_size);
    }
  }
  if (pending_reset_[lane] != 0) pending_reset_[lane] = 0;  // only the caller's thread writes a lane in flight's
  begin_episode(lane);
}

void ZuboVecEnv::write_lane_values(size_t lane, const ValueBuffers& out) const {
  const Machine& m = machines_[lane];
  if (out.info.x_pos != nullptr) write_game_info(out.info, lane, m.info);
  if (out.extra != nullptr && extra_info_width_ > 0) {
    write_extra_info(m.ram.data(), extra_info_ids_.data(), extra_info_ids_.size(), out.extra + lane * extra_info_width_,
                     extra_info_width_);
  }
  if (out.level_end != nullptr) out.level_end[lane] = episodes_[lane].level_end ? 1 : 0;
  if (out.dying != nullptr) out.dying[lane] = episodes_[lane].dying ? 1 : 0;
}

void ZuboVecEnv::write_finals(size_t lane, const StepBuffers& b) const {
  if (b.final.obs != nullptr) {
    const size_t bytes = geo_.lane_obs_size;
    std::memcpy(b.final.obs + lane * bytes, b.obs + lane * bytes, bytes);
  }
  write_lane_values(lane, b.final.values);
}

void ZuboVecEnv::values_into(const ValueBuffers& out) const {
  for (size_t i = 0; i < machines_.size(); ++i) write_lane_values(i, out);
}

EnvStatus ZuboVecEnv::mark_ended(const uint8_t* mask) {
  const size_t n = machines_.size();
  for (size_t i = 0; i < n; ++i) {
    if (mask[i] != 0 && async_ && async_->in_flight[i] != 0) {
      return runtime_error("lane " + std::to_string(i) + " is in flight; receive it before marking it");
    }
  }
  for (size_t i = 0; i < n; ++i) {
    if (mask[i] != 0) pending_reset_[i] = 1;
  }
  recompute_any_pending_reset();
  return std::nullopt;
}

void ZuboVecEnv::plan_step(const uint8_t* step_mask) {
  const bool autoreset = config_.episode.autoreset != Autoreset::Off;
  for (size_t i = 0; i < machines_.size(); ++i) {
    if (autoreset && pending_reset_[i] != 0) {
      plan_[i] = episodes_[i].life_ended ? LanePlan::Keep : LanePlan::Restart;
    } else {
      plan_[i] = step_mask == nullptr || step_mask[i] != 0 ? LanePlan::Step : LanePlan::Idle;
    }
  }
}

EnvStatus ZuboVecEnv::set_start_states(const int32_t* indices, const uint8_t* random) {
  const size_t n = machines_.size();
  for (size_t i = 0; i < n; ++i) {
    if (random[i] == 0) {
      if (auto error = check_lane_request(i, indices[i])) return error;
    } else if (catalog_.empty()) {
      return value_error("a random start state needs a state catalog");
    }
  }
  for (size_t i = 0; i < n; ++i) {
    start_index_[i] = catalog_.empty() ? -1 : (random[i] != 0 ? 0 : indices[i]);
    random_start_[i] = random[i] != 0 ? 1 : 0;
  }
  return std::nullopt;
}

}  // namespace tt
