// The batched step: sticky actions, per-lane frame skip with rendering,
// observation, outputs, the optional lane mask and observation copy, and the
// pending-reset bookkeeping.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <optional>
#include <utility>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "core/renderer.h"
#include "driver/frame_step.h"
#include "vec_env/profile_scope.h"
#include "vec_env/vec_env.h"

namespace tt {

namespace {

// Copies one lane observation into the caller's copy. The copy is written
// once and not read again by the worker, so on x86 it bypasses the caches
// (streaming stores need no read of the target lines first); the fence makes
// the stores visible before the worker reports the lane done.
void copy_lane_observation(uint8_t* dst, const uint8_t* src, size_t bytes) {
#if defined(__SSE2__)
  if ((reinterpret_cast<uintptr_t>(dst) & 15) == 0) {
    size_t i = 0;
    for (; i + 64 <= bytes; i += 64) {
      const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + i));
      const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + i + 16));
      const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + i + 32));
      const __m128i d = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + i + 48));
      _mm_stream_si128(reinterpret_cast<__m128i*>(dst + i), a);
      _mm_stream_si128(reinterpret_cast<__m128i*>(dst + i + 16), b);
      _mm_stream_si128(reinterpret_cast<__m128i*>(dst + i + 32), c);
      _mm_stream_si128(reinterpret_cast<__m128i*>(dst + i + 48), d);
    }
    std::memcpy(dst + i, src + i, bytes - i);
    _mm_sfence();
    return;
  }
#endif
  std::memcpy(dst, src, bytes);
}

}  // namespace

void ZuboVecEnv::choose_effective_actions(const uint8_t* actions) {
  const size_t n = machines_.size();
  const double p = config_.sticky_action_prob;
  constexpr double UNIT = 1.0 / 9007199254740992.0;  // 2^-53
  for (size_t i = 0; i < n; ++i) {
    if (plan_[i] != LanePlan::Step) continue;
    uint8_t action = actions[i];
    if (p > 0.0) {
      const uint64_t draw = xorshift64(rng_state_[i]);
      const double u = static_cast<double>(draw >> 11) * UNIT;
      if (p > u) action = last_action_[i];
    }
    effective_actions_[i] = action;
    last_action_[i] = action;
  }
}

template <bool Profiled>
void ZuboVecEnv::step_lane(size_t lane, uint8_t action, const StepBuffers& b, ProfileRecord* record,
                           UnitErrors& errors) {
  Machine& m = machines_[lane];
  std::vector<uint8_t>& scratch_buffer = scratch_[lane];
  if (scratch_buffer.size() < scratch_size()) {
    errors.report("lane scratch buffer is smaller than the observation pipeline needs");
    return;
  }
  uint8_t* scratch = scratch_buffer.data();
  const bool observe = config_.render_observations;
  const bool maxpool = pools_frames(config_) && observe;
  const bool display = rgb_frames_enabled_;
  // Max-pooling keeps one colour index plane per frame; the pooled picture
  // is built in the rest of the intermediate region.
  const size_t pool_plane = pipeline_.pool_plane_size();
  uint8_t* const pool[2] = {scratch, scratch + pool_plane};
  uint8_t* const pool_work = scratch + 2 * pool_plane;
  uint8_t* const frames[2] = {scratch + geo_.intermediate_size, scratch + geo_.intermediate_size + DISPLAY_FRAME_BYTES};
  unsigned sprite_counts[2] = {0, 0};

  // Frame j of the step lands in pool plane / display frame j % 2. Only the
  // last two frames run are used, so a frame is drawn when it is one of the
  // last two the step can run, or the lane has just ended. Of an earlier
  // frame only the picture processor's state is kept, for the lane that ends
  // on the next frame and so needs it after all.
  auto draw = [&](const Machine& frame, size_t half) {
    if (maxpool) {
      profiled_call<Profiled>(record, &ProfileRecord::render_calls, &ProfileRecord::rendering,
                              [&] { pipeline_.pool_render(frame, pool[half], pool_caches_[lane]); });
    }
    if (display) {
      sprite_counts[half] = visible_sprite_count(frame);
      profiled_call<Profiled>(record, &ProfileRecord::render_calls, &ProfileRecord::rendering,
                              [&] { ObservationPipeline::display_render(frame, frames[half]); });
    }
  };
  const uint64_t frame_skip = config_.frame_skip;
  std::optional<PpuState> undrawn;  // the last frame not drawn, when it may still be needed

  float reward = 0.0f;
  uint64_t frames_run = 0;
  for (uint64_t j = 0; j < frame_skip; ++j) {
    if constexpr (Profiled) {
      reward += step_frame_profiled(m, action, *record);
    } else {
      reward += step_frame(m, action);
    }
    ++frames_run;
    if (maxpool || display) {
      if (j + 2 >= frame_skip || m.terminated) {
        draw(m, static_cast<size_t>(j & 1));
      } else {
        undrawn = m.ppu;
      }
    }
    if (m.terminated) break;
  }
  if ((maxpool || display) && frames_run >= 2 && frames_run < frame_skip && undrawn) {
    // The lane ended early: the frame before its last was not drawn. The
    // console's picture processor state is put back to that frame's just for
    // drawing it (the lane's machine is this worker's alone).
    std::swap(m.ppu, *undrawn);
    draw(m, static_cast<size_t>((frames_run - 2) & 1));
    std::swap(m.ppu, *undrawn);
  }

  uint8_t* lane_obs = b.obs + lane * geo_.lane_obs_size;
  const size_t slot = geo_.slot_size;
  if (geo_.frame_stack > 1) {
    profiled_call<Profiled>(record, &ProfileRecord::stack_shifts, &ProfileRecord::stack_shift,
                            [&] { std::memmove(lane_obs, lane_obs + slot, (geo_.frame_stack - 1) * slot); });
  }
  uint8_t* newest = lane_obs + (geo_.frame_stack - 1) * slot;
  if (!observe) {
    std::memset(newest, 0, slot);
  } else if (config_.obs_type != ObsType::Picture) {
    profiled_call<Profiled>(record, &ProfileRecord::render_calls, &ProfileRecord::rendering,
                            [&] { write_console_observation(config_.obs_type, m, newest); });
  } else if (maxpool) {
    pipeline_.finish_maxpool<Profiled>(pool[0], pool[1], frames_run, pool_work, newest, record);
  } else {
    pipeline_.render_observation<Profiled>(m, scratch, newest, record, &band_caches_[lane]);
  }

  if (display && frames_run >= 2) {
    const unsigned older = sprite_counts[0], newer = sprite_counts[1];
    if (newer >= older && (frames_run % 2 == 0 || newer > older)) {
      std::memcpy(frames[0], frames[1], DISPLAY_FRAME_BYTES);
    }
  }

  b.rewards[lane] = reward;
  b.terminated[lane] = m.terminated ? 1 : 0;
  b.truncated[lane] = 0;
  write_game_info(b.info, lane, m.info);
}

template <bool Profiled>
void ZuboVecEnv::step_lanes(const StepBuffers& b, UnitErrors& errors) {
  const size_t lane_bytes = geo_.lane_obs_size;
  const bool same_step = config_.episode.autoreset == Autoreset::SameStep;
  const ValueBuffers values{b.info, b.extra, b.level_end, b.dying};
  auto body = [&](size_t begin, size_t end) {
    for (size_t i = begin; i < end; ++i) {
      switch (plan_[i]) {
        case LanePlan::Step: {
          ProfileRecord* record = nullptr;
          if constexpr (Profiled) record = &lane_profiles_[i];
          step_lane<Profiled>(i, effective_actions_[i], b, record, errors);
          apply_episode_rules(i, b.terminated[i], b.truncated[i]);
          const bool ended = b.terminated[i] != 0 || b.truncated[i] != 0;
          pending_reset_[i] = ended ? 1 : 0;
          if (same_step && ended) {
            write_finals(i, b);
            start_episode_in_step(i, episodes_[i].life_ended, b, errors);
          }
          break;
        }
        case LanePlan::Restart:
        case LanePlan::Keep:
          start_episode_in_step(i, plan_[i] == LanePlan::Keep, b, errors);
          b.rewards[i] = 0.0f;
          b.terminated[i] = 0;
          b.truncated[i] = 0;
          break;
        case LanePlan::Idle:  // nothing of the lane changes, its outputs included
          break;
      }
      if (plan_[i] != LanePlan::Idle) write_lane_values(i, values);
      if (b.obs_copy) copy_lane_observation(b.obs_copy + i * lane_bytes, b.obs + i * lane_bytes, lane_bytes);
    }
  };
  for_lanes(machines_.size(), machines_.size(), body);
}

EnvStatus ZuboVecEnv::step(const StepBuffers& buffers) {
  if (any_pending_reset_ && config_.episode.autoreset == Autoreset::Off) return runtime_error(PENDING_RESET_MESSAGE);
  UnitErrors errors;
  auto op = [&] {
    const uint8_t* mask = buffers.step_mask;
    plan_step(mask);
    choose_effective_actions(buffers.actions);
    if (env_profile_) {
      if (lane_profiles_.size() != machines_.size()) lane_profiles_.assign(machines_.size(), ProfileRecord{});
      step_lanes<true>(buffers, errors);
      size_t stepped_lanes = 0;
      for (LanePlan p : plan_) stepped_lanes += p == LanePlan::Step ? 1 : 0;
      env_profile_->env_steps += stepped_lanes;
      env_profile_->batch_steps += 1;
    } else {
      step_lanes<false>(buffers, errors);
    }
    recompute_any_pending_reset();
  };
  run_operation(op);
  return errors.take();
}

// The asynchronous steps (vec_env_async.cpp) run the same lane step.
template void ZuboVecEnv::step_lane<false>(size_t, uint8_t, const StepBuffers&, ProfileRecord*, UnitErrors&);
template void ZuboVecEnv::step_lane<true>(size_t, uint8_t, const StepBuffers&, ProfileRecord*, UnitErrors&);

}  // namespace tt
