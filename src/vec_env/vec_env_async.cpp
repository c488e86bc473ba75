// Asynchronous steps: sending lanes to the worker pool, receiving them in the
// order they finish, and cancelling what is still in flight.
#include <cstring>
#include <string>

#include "driver/game_info.h"
#include "vec_env/async_lanes.h"

namespace tt {

AsyncLanes::AsyncLanes(size_t lanes)
    : in_flight(lanes, 0),
      rewards(lanes, 0.0f),
      terminated(lanes, 0),
      truncated(lanes, 0),
      slot_lane(lanes, 0),
      slot_filled(lanes, 0){
#define TT_ASYNC_INFO_SIZE(NAME, ...) NAME.assign(lanes, 0);
          TT_GAME_VALUES(TT_ASYNC_INFO_SIZE)
#undef TT_ASYNC_INFO_SIZE
      }

      EnvStatus ZuboVecEnv::check_async_send(const AsyncRequest& request) const {
  const size_t n = machines_.size();
  if (request.count == 0) return value_error("env_ids must name at least one lane");
  for (size_t i = 0; i < request.count; ++i) {
    const int32_t id = request.env_ids[i];
    if (id < 0 || static_cast<size_t>(id) >= n) {
      return value_error("env_ids[" + std::to_string(i) + "] must be a lane index in 0.." + std::to_string(n - 1) +
                         ", got " + std::to_string(id));
    }
  }
  std::vector<uint8_t> seen(n, 0);
  for (size_t i = 0; i < request.count; ++i) {
    const size_t lane = static_cast<size_t>(request.env_ids[i]);
    if (seen[lane] != 0) return value_error("env_ids names lane " + std::to_string(lane) + " twice");
    seen[lane] = 1;
  }
  for (size_t i = 0; i < request.count; ++i) {
    const size_t lane = static_cast<size_t>(request.env_ids[i]);
    if (async_ && async_->in_flight[lane] != 0) {
      return runtime_error("lane " + std::to_string(lane) + " is in flight; receive it before sending it again");
    }
    const bool reset = request.reset_mask != nullptr && request.reset_mask[i] != 0;
    if (reset) {
      if (auto error = check_lane_request(i, request.state_indices[i])) return error;
    } else if (pending_reset_[lane] != 0 && config_.episode.autoreset == Autoreset::Off) {
      return runtime_error("lane " + std::to_string(lane) + " ended and is pending reset; send it a reset");
    }
  }
  return std::nullopt;
}

void ZuboVecEnv::async_send(const AsyncRequest& request, uint8_t* obs, uint8_t* ring, size_t ring_rows) {
  const size_t n = machines_.size();
  if (!async_) async_ = std::make_unique<AsyncLanes>(n);
  AsyncLanes& a = *async_;
  if (a.in_flight_count == 0) {
    a.obs = obs;
    a.ring = ring;
    a.ring_rows = ring != nullptr ? ring_rows : 0;
  }
  release_finished_batches(false);
  AsyncBatch& batch = a.batches.emplace_back();
  batch.env = this;
  batch.jobs.resize(request.count);
  batch.profiled = env_profile_.has_value() && lane_profiles_.size() == n;
  if (request.final != nullptr) batch.final = *request.final;

  // The per-lane bookkeeping of a step or a reset, on this thread: the
  // workers only emulate and render.
  const double p = config_.sticky_action_prob;
  constexpr double UNIT = 1.0 / 9007199254740992.0;  // 2^-53
  size_t steps = 0;
  for (size_t i = 0; i < request.count; ++i) {
    AsyncJob& job = batch.jobs[i];
    const size_t lane = static_cast<size_t>(request.env_ids[i]);
    job.lane = static_cast<uint32_t>(lane);
    const bool reset = request.reset_mask != nullptr && request.reset_mask[i] != 0;
    // An explicit reset, or the autoreset of a lane whose episode ended.
    const bool starts = reset || pending_reset_[lane] != 0;
    job.keep = starts && episodes_[lane].life_ended && (reset ? request.go_on : true);
    job.reset = starts && !job.keep;
    if (job.reset) {
      int32_t index = -1;
      if (reset) {
        const std::optional<uint64_t> seed = request.seeds != nullptr ? (*request.seeds)[i] : std::nullopt;
        if (seed.has_value()) rng_state_[lane] = *seed == 0 ? 1 : *seed;
        index = request.state_indices[i];
      } else {
        index = autoreset_state_index(lane);
      }
      job.state_index = catalog_.empty() ? -1 : index;
      active_state_index_[lane] = job.state_index;
      last_action_[lane] = 0;
    }
    if (starts) {
      pending_reset_[lane] = 0;
    } else {
      uint8_t action = request.actions[i];
      if (p > 0.0) {
        const uint64_t draw = xorshift64(rng_state_[lane]);
        if (p > static_cast<double>(draw >> 11) * UNIT) action = last_action_[lane];
      }
      job.action = action;
      last_action_[lane] = action;
      ++steps;
    }
    a.in_flight[lane] = 1;
  }
  recompute_any_pending_reset();
  if (batch.profiled && steps > 0) {
    env_profile_->env_steps += steps;
    env_profile_->batch_steps += 1;
  }
  a.in_flight_count += request.count;
  a.sent += request.count;
  if (pool_.pool && config_.worker_threads >= 2) {
    batch.task = pool_.pool->post(
        batch.jobs.size(),
        [](void* context, size_t begin, size_t end) {
          const auto* posted = static_cast<const AsyncBatch*>(context);
          for (size_t i = begin; i < end; ++i) posted->env->run_async_job(*posted, i);
        },
        &batch);
  }
}

void ZuboVecEnv::run_async_job(const AsyncBatch& batch, size_t index) {
  AsyncLanes& a = *async_;
  const AsyncJob& job = batch.jobs[index];
  const size_t lane = job.lane;
  StepBuffers b;
  b.obs = a.obs;
  b.rewards = a.rewards.data();
  b.terminated = a.terminated.data();
  b.truncated = a.truncated.data();
#define TT_ASYNC_INFO_VIEW(NAME, ...) b.info.NAME = a.NAME.data();
  TT_GAME_VALUES(TT_ASYNC_INFO_VIEW)
#undef TT_ASYNC_INFO_VIEW
  if (job.keep) {
    begin_episode(lane);
    a.rewards[lane] = 0.0f;
    a.terminated[lane] = 0;
    a.truncated[lane] = 0;
    write_game_info(b.info, lane, machines_[lane].info);
  } else if (job.reset) {
    Machine& m = machines_[lane];
    if (auto error = reset_machine_state(m, job.state_index, rng_state_[lane])) {
      a.errors.report("lane reset failed: " + *error);
    } else if (scratch_[lane].size() < scratch_size()) {
      a.errors.report("lane scratch buffer is smaller than the observation pipeline needs");
    } else {
      write_reset_observation(lane, a.obs + lane * geo_.lane_obs_size);
    }
    begin_episode(lane);
    a.rewards[lane] = 0.0f;
    a.terminated[lane] = 0;
    a.truncated[lane] = 0;
    write_game_info(b.info, lane, m.info);
  } else {
    if (batch.profiled) {
      step_lane<true>(lane, job.action, b, &lane_profiles_[lane], a.errors);
    } else {
      step_lane<false>(lane, job.action, b, nullptr, a.errors);
    }
    apply_episode_rules(lane, a.terminated[lane], a.truncated[lane]);
    if (config_.episode.autoreset == Autoreset::SameStep && (a.terminated[lane] != 0 || a.truncated[lane] != 0)) {
      // The ended episode's last values, then the new episode in its place.
      StepBuffers ended = b;
      ended.final = batch.final;
      write_finals(lane, ended);
      start_episode_in_step(lane, episodes_[lane].life_ended, ended, a.errors);
      write_game_info(b.info, lane, machines_[lane].info);
    }
  }
  finish_async_lane(job.lane);
}

void ZuboVecEnv::finish_async_lane(uint32_t lane) {
  AsyncLanes& a = *async_;
  const size_t n = machines_.size();
  uint64_t c = 0;
  {
    std::lock_guard lock(a.mutex);
    c = a.claimed++;
  }
  if (a.ring != nullptr) {
    const size_t bytes = geo_.lane_obs_size;
    std::memcpy(a.ring + (c % a.ring_rows) * bytes, a.obs + size_t{lane} * bytes, bytes);
  }
  std::lock_guard lock(a.mutex);
  a.slot_lane[c % n] = lane;
  a.slot_filled[c % n] = 1;
  while (a.ready < a.claimed && a.slot_filled[a.ready % n] != 0) {
    a.slot_filled[a.ready % n] = 0;
    ++a.ready;
  }
  if (a.wait_until != 0 && a.ready >= a.wait_until) {
    a.wait_until = 0;
    a.cv.notify_all();
  }
}

void ZuboVecEnv::run_inline_batches(uint64_t until_ready) {
  AsyncLanes& a = *async_;
  for (AsyncBatch& batch : a.batches) {
    {
      std::lock_guard lock(a.mutex);
      if (a.ready >= until_ready) return;
    }
    if (batch.task != nullptr || batch.ran) continue;
    for (size_t i = 0; i < batch.jobs.size(); ++i) run_async_job(batch, i);
    batch.ran = true;
  }
}

void ZuboVecEnv::release_finished_batches(bool wait) {
  AsyncLanes& a = *async_;
  for (auto it = a.batches.begin(); it != a.batches.end();) {
    if (it->task != nullptr) {
      if (!wait && !WorkerPool::finished(it->task)) {
        ++it;
        continue;
      }
      pool_.pool->finish(it->task);
    } else if (!it->ran) {
      ++it;
      continue;
    }
    it = a.batches.erase(it);
  }
}

void ZuboVecEnv::wait_until_ready(uint64_t until) {
  AsyncLanes& a = *async_;
  std::unique_lock lock(a.mutex);
  if (a.ready >= until) return;
  a.wait_until = until;
  a.cv.wait(lock, [&] { return a.ready >= until; });
  a.wait_until = 0;
}

size_t ZuboVecEnv::async_in_flight() const { return async_ ? async_->in_flight_count : 0; }

size_t ZuboVecEnv::async_ready() const {
  if (!async_) return 0;
  std::lock_guard lock(async_->mutex);
  return static_cast<size_t>(async_->ready - async_->received);
}

const uint8_t* ZuboVecEnv::async_obs() const { return async_ && async_->in_flight_count > 0 ? async_->obs : nullptr; }

EnvStatus ZuboVecEnv::async_recv(const AsyncOutputs& out, size_t& ring_row) {
  if (!async_ || out.count == 0 || out.count > async_->in_flight_count) {
    return runtime_error("internal error: receive of " + std::to_string(out.count) + " lanes with " +
                         std::to_string(async_in_flight()) + " in flight");
  }
  AsyncLanes& a = *async_;
  const size_t n = machines_.size();
  const uint64_t until = a.received + out.count;
  run_inline_batches(until);
  wait_until_ready(until);
  ring_row = a.ring_rows != 0 ? static_cast<size_t>(a.received % a.ring_rows) : 0;
  const size_t width = extra_info_width_;
  for (size_t k = 0; k < out.count; ++k) {
    const size_t lane = a.slot_lane[(a.received + k) % n];
    out.env_ids[k] = static_cast<int32_t>(lane);
    out.rewards[k] = a.rewards[lane];
    out.terminated[k] = a.terminated[lane];
    out.truncated[k] = a.truncated[lane];
#define TT_ASYNC_INFO_OUT(NAME, ...) out.info.NAME[k] = a.NAME[lane];
    TT_GAME_VALUES(TT_ASYNC_INFO_OUT)
#undef TT_ASYNC_INFO_OUT
    if (out.extra_info != nullptr && width > 0) {
      write_extra_info(machines_[lane].ram.data(), extra_info_ids_.data(), extra_info_ids_.size(),
                       out.extra_info + k * width, width);
    }
    if (out.ram != nullptr) {
      const auto& ram = machines_[lane].ram;
      std::memcpy(out.ram + k * ram.size(), ram.data(), ram.size());
    }
    if (out.level_end != nullptr) out.level_end[k] = episodes_[lane].level_end ? 1 : 0;
    if (out.dying != nullptr) out.dying[k] = episodes_[lane].dying ? 1 : 0;
    a.in_flight[lane] = 0;
    if ((a.terminated[lane] != 0 || a.truncated[lane] != 0) && config_.episode.autoreset != Autoreset::SameStep) {
      pending_reset_[lane] = 1;
      any_pending_reset_ = true;
    }
  }
  a.received = until;
  a.in_flight_count -= out.count;
  release_finished_batches(a.in_flight_count == 0);
  return a.errors.take();
}

EnvStatus ZuboVecEnv::async_cancel() {
  if (!async_) return std::nullopt;
  AsyncLanes& a = *async_;
  const size_t n = machines_.size();
  run_inline_batches(a.sent);
  wait_until_ready(a.sent);
  for (uint64_t c = a.received; c < a.sent; ++c) {
    const size_t lane = a.slot_lane[c % n];
    a.in_flight[lane] = 0;
    if (a.terminated[lane] != 0 || a.truncated[lane] != 0) {
      pending_reset_[lane] = 1;
      any_pending_reset_ = true;
    }
  }
  a.received = a.sent;
  a.in_flight_count = 0;
  release_finished_batches(true);
  return a.errors.take();
}

}  // namespace tt
