// Asynchronous steps: lanes sent to the worker pool with an action (or a
// reset) come back one by one as they finish, in the order they finished.
// The bookkeeping a synchronous step does for all lanes at once (sticky-action
// draws, pending-reset flags) is done per lane on the calling thread when the
// lane is sent and when it is received; the workers touch only the lanes they
// run and the per-lane result slots below.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <list>
#include <mutex>
#include <optional>
#include <vector>

#include "driver/game_values.h"
#include "vec_env/vec_env.h"
#include "vec_env/worker_pool.h"

namespace tt {

/// One lane's part of an asynchronous send.
struct AsyncJob {
  uint32_t lane = 0;
  uint8_t action = 0;  // effective action (sticky draw done at send)
  bool reset = false;  // reset to `state_index` instead of stepping
  // Neither step nor reset: a new episode where the lane's game stands (a
  // life lost under episodic_life), reported with reward 0 and both flags false.
  bool keep = false;
  int32_t state_index = -1;
};

/// What the caller sends: `count` lanes, with per-lane arrays of `count` items.
struct AsyncRequest {
  const int32_t* env_ids = nullptr;
  size_t count = 0;
  const uint8_t* actions = nullptr;
  /// Optional (count bytes 0/1): lanes to reset instead of stepping; their
  /// action is ignored and `state_indices` gives their start state.
  const uint8_t* reset_mask = nullptr;
  const int32_t* state_indices = nullptr;
  /// Optional (count items): reseed of a reset lane (ignored for a kept lane).
  const std::vector<std::optional<uint64_t>>* seeds = nullptr;
  /// A reset lane whose episode ended by a lost life alone (episodic_life)
  /// is kept as it stands: its next episode goes on in the same game.
  bool go_on = false;
  /// Under Autoreset::SameStep: where a lane whose episode its step ended
  /// leaves its last observation and values before it is reset (null: nowhere).
  const FinalBuffers* final = nullptr;
};

/// Where a receive writes the results of the lanes it returns (count items
/// each, in the order the lanes finished); `extra_info` is optional
/// (count x extra info width).
struct AsyncOutputs {
  int32_t* env_ids = nullptr;
  size_t count = 0;
  float* rewards = nullptr;
  uint8_t* terminated = nullptr;
  uint8_t* truncated = nullptr;
  InfoBuffers info;
  int64_t* extra_info = nullptr;
  uint8_t* ram = nullptr;        // optional: count x 2048 bytes of work RAM
  uint8_t* level_end = nullptr;  // optional progress signals (count bytes each)
  uint8_t* dying = nullptr;
};

/// One send: its jobs and the pool task running them (null: not posted, the
/// jobs run on the caller when it receives).
struct AsyncBatch {
  ZuboVecEnv* env = nullptr;
  std::vector<AsyncJob> jobs;
  WorkerPool::Task* task = nullptr;
  bool ran = false;       // batches without a task: already run
  bool profiled = false;  // steps counted by the profiler
  FinalBuffers final{};   // Autoreset::SameStep: the ended lanes' last values
};

/// State of the lanes in flight of one environment.
struct AsyncLanes {
  explicit AsyncLanes(size_t lanes);

  // Caller's arrays, valid while lanes are in flight.
  uint8_t* obs = nullptr;   // N lane observations, stepped in place
  uint8_t* ring = nullptr;  // ring_rows lane observations, one per finished lane
  size_t ring_rows = 0;

  // Calling thread only.
  std::vector<uint8_t> in_flight;  // per lane
  size_t in_flight_count = 0;
  uint64_t sent = 0;      // lanes sent so far
  uint64_t received = 0;  // lanes received (or cancelled) so far
  std::list<AsyncBatch> batches;

  // Per-lane results, written by the worker that ran the lane.
  std::vector<float> rewards;
  std::vector<uint8_t> terminated;
  std::vector<uint8_t> truncated;
#define TT_ASYNC_INFO(NAME, VALUE_TYPE, ARRAY_TYPE, ...) std::vector<ARRAY_TYPE> NAME;
  TT_GAME_VALUES(TT_ASYNC_INFO)
#undef TT_ASYNC_INFO
  UnitErrors errors;

  // Completion order, under `mutex`: the c-th lane to finish has ring row
  // c % ring_rows and order slot c % N (slot_lane says which lane it was);
  // `ready` counts the finished lanes whose results are all written, a
  // prefix of the finishing order. At most N lanes are in flight or
  // finished and not received, so no slot is reused before it was received.
  std::mutex mutex;
  std::condition_variable cv;
  uint64_t claimed = 0;
  uint64_t ready = 0;
  // The caller sleeps until `ready` reaches this (0: not waiting); workers
  // wake it once, when it does, not for every lane on the way.
  uint64_t wait_until = 0;
  std::vector<uint32_t> slot_lane;
  std::vector<uint8_t> slot_filled;
};

}  // namespace tt
