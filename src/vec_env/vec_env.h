// The vectorised environment: num_envs lanes of the supported game, stepped,
// reset and observed together. Every method is meant to be called without the
// Python interpreter lock; all inputs are raw pointers to C-contiguous buffers
// of the sizes given below (N = num_envs), already validated by the caller.
// Inputs (actions, masks, state indices) must not change while a call runs:
// a value checked once is trusted afterwards, so the binding passes its own
// copies, never memory that another Python thread can write.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/cartridge.h"
#include "core/profiler.h"
#include "driver/machine.h"
#include "vec_env/area_resize.h"
#include "vec_env/env_config.h"
#include "vec_env/env_error.h"
#include "vec_env/lane_snapshot.h"
#include "vec_env/observation.h"
#include "vec_env/state_catalog.h"
#include "vec_env/worker_pool.h"

namespace tt {

struct AsyncLanes;
struct AsyncBatch;
struct AsyncRequest;
struct AsyncOutputs;

inline constexpr const char* PENDING_RESET_MESSAGE =
    "cannot step while a terminated lane is pending reset; call reset(options={'reset_mask': ...}) first";

/// The ten game info arrays, N elements each.
struct InfoBuffers {
#define TT_INFO_BUFFER(NAME, VALUE_TYPE, ARRAY_TYPE, ...) ARRAY_TYPE* NAME = nullptr;
  TT_GAME_VALUES(TT_INFO_BUFFER)
#undef TT_INFO_BUFFER
};

/// What a lane reports beside its observation and reward: the ten game values
/// and, where the pointers are set, its extra info row (extra_info_width()
/// values) and its progress signals (1 byte each, 0/1).
struct ValueBuffers {
  InfoBuffers info;
  int64_t* extra = nullptr;
  uint8_t* level_end = nullptr;
  uint8_t* dying = nullptr;
};

/// Where a step that resets ended lanes at once (Autoreset::SameStep) puts
/// the ended episodes' last observation and values; only the rows of lanes
/// whose episode ended are written.
struct FinalBuffers {
  uint8_t* obs = nullptr;  // N lane observations, or null
  ValueBuffers values;
};

/// Output arrays of a step; every array holds N elements (bools: 1 byte, 0/1),
/// `obs` holds N lane observations and is read (older slots) and written.
struct StepBuffers {
  const uint8_t* actions = nullptr;
  uint8_t* obs = nullptr;
  float* rewards = nullptr;
  uint8_t* terminated = nullptr;
  uint8_t* truncated = nullptr;
  InfoBuffers info;
  /// Optional (N bytes 0/1): the lanes to step; null steps every lane. A lane
  /// left out runs no frame and draws no random number; its machine, last
  /// action, pending-reset flag, observation rows and every output element
  /// stay as they were.
  const uint8_t* step_mask = nullptr;
  /// Optional (N lane observations): receives every lane's observation as it
  /// is after the step (a lane left out: its unchanged rows), copied by the
  /// worker that ran the lane while the rows are still in its cache.
  uint8_t* obs_copy = nullptr;
  /// Optional: extra info rows and progress signals of every lane.
  int64_t* extra = nullptr;
  uint8_t* level_end = nullptr;
  uint8_t* dying = nullptr;
  /// Optional (SameStep): the ended episodes' last values.
  FinalBuffers final{};
};

/// A lane's episode as the episode rules see it.
struct LaneEpisode {
  int16_t lives = 0;    // lives after the lane's last step or reset
  uint64_t length = 0;  // steps since the episode began
  // The episode ended by a lost life alone (episodic_life): the next one
  // goes on in the same game instead of reloading the start state.
  bool life_ended = false;
  bool level_end = false;
  bool dying = false;
};

/// Writes a lane's game info into element `lane` of the ten info arrays.
inline void write_game_info(const InfoBuffers& out, size_t lane, const GameInfo& info) {
#define TT_WRITE_INFO(NAME, VALUE_TYPE, ARRAY_TYPE, ...) out.NAME[lane] = static_cast<ARRAY_TYPE>(info.NAME);
  TT_GAME_VALUES(TT_WRITE_INFO)
#undef TT_WRITE_INFO
}

/// One step of the xorshift64 generator; the draw is the new state.
inline uint64_t xorshift64(uint64_t& state) {
  uint64_t x = state;
  x ^= x << 13;
  x ^= x >> 7;
  x ^= x << 17;
  state = x;
  return x;
}

/// Seed taken from the wall clock for a lane whose derived seed is 0:
/// Unix time in nanoseconds XOR 0x9E3779B97F4A7C15 (0 before the epoch).
uint64_t clock_seed();

class ZuboVecEnv {
 public:
  /// Builds the environment: resize table, lanes (accelerators detected from
  /// the cartridge), seeds (lane i gets seed + i; a 0 from the clock), every
  /// catalog entry test-loaded, then every lane brought to entry 0 (or
  /// power-on without a catalog) followed by its no-op frames.
  /// `pool` comes from resolve_worker_pool; its worker_threads and
  /// parallel_threshold replace the config's.
  static EnvResult<std::unique_ptr<ZuboVecEnv>> create(std::shared_ptr<const Cartridge> cart, EnvConfig config,
                                                       std::vector<StateCatalogEntry> catalog, uint64_t seed,
                                                       std::vector<uint8_t> extra_info_ids, PoolChoice pool);
  ~ZuboVecEnv();
  ZuboVecEnv(const ZuboVecEnv&) = delete;
  ZuboVecEnv& operator=(const ZuboVecEnv&) = delete;

  // ---- batched operations ----

  /// True while some terminated lane awaits reset (steps are refused).
  bool any_pending_reset() const { return any_pending_reset_; }
  /// Advances every lane (or the lanes of `buffers.step_mask`) by one
  /// decision: sticky actions, frame skip, reward, observation, info, the
  /// episode rules; then fills `buffers.obs_copy` when given. A lane whose
  /// episode ended is, by the configured autoreset, reset (or, after a life
  /// lost under episodic_life, kept as it stands) instead of stepped, with
  /// reward 0 and both flags false, whether the mask selects it or not
  /// (NextStep, SameStep after a cancel); with Autoreset::Off the step is
  /// refused (RuntimeError PENDING_RESET_MESSAGE) while a lane is pending
  /// reset. Under SameStep a lane whose episode ends is reset in the same
  /// step, its last values going to `buffers.final`.
  EnvStatus step(const StepBuffers& buffers);

  /// Every lane to catalog entry 0 (power-on without a catalog); writes every
  /// lane observation of `obs` (N lane observations).
  EnvStatus reset_all(uint8_t* obs);
  /// Checks a masked reset request: some lane selected, every selected
  /// state index valid for the catalog. Changes nothing.
  EnvStatus check_reset_request(const uint8_t* mask, const int32_t* state_indices) const;
  /// Resets the selected lanes (mask: N bytes 0/1) to their state index
  /// (-1 = power-on), reseeding those whose seed is given (`seeds` has N
  /// items); writes only the selected lanes' observations.
  /// Every reset lane begins a new episode. With `go_on`, a selected lane
  /// whose episode ended by a lost life alone (episodic_life) is not reset:
  /// its next episode goes on where its game stands.
  EnvStatus reset_masked(uint8_t* obs, const uint8_t* mask, const int32_t* state_indices,
                         const std::vector<std::optional<uint64_t>>& seeds, bool go_on = false);
  /// Checks a mixed reset request: the masked-reset rules for lanes without a
  /// snapshot and the snapshot rules (selected lane, index -1, no seed, this
  /// environment's token). `snapshots` has N items. Changes nothing.
  EnvStatus check_mixed_reset_request(const uint8_t* mask, const int32_t* state_indices,
                                      const std::vector<std::optional<uint64_t>>& seeds,
                                      const std::vector<const LaneSnapshot*>& snapshots) const;
  /// Like reset_masked, but selected lanes carrying a snapshot are restored
  /// from it. Every lane is prepared first; if any preparation fails nothing
  /// changes. `snapshots` has N items (copies the caller made).
  EnvStatus reset_mixed(uint8_t* obs, const uint8_t* mask, const int32_t* state_indices,
                        const std::vector<std::optional<uint64_t>>& seeds,
                        const std::vector<std::optional<LaneSnapshot>>& snapshots);

  /// Copies every lane's game info into the ten arrays (calling thread).
  void info_into(const InfoBuffers& out) const;
  /// Copies every lane's reported values (game info, extra info, progress
  /// signals; each where its pointer is set).
  void values_into(const ValueBuffers& out) const;
  /// Each lane's start state for the resets the engine makes by itself
  /// (autoresets): a catalog index, or a uniform draw from the lane's own
  /// random stream where `random` is set (N items each, checked).
  EnvStatus set_start_states(const int32_t* indices, const uint8_t* random);
  /// Marks lanes (N bytes 0/1) as ended: their next step resets them (a
  /// result the caller never received). Lanes in flight are refused.
  EnvStatus mark_ended(const uint8_t* mask);
  /// Changes the step limit of the episodes (0: none).
  void set_max_episode_steps(uint64_t steps) { config_.episode.max_episode_steps = steps; }
  const LaneEpisode& episode(size_t lane) const { return episodes_[lane]; }
  /// Row i (extra_info_width() values) gets lane i's extra info values.
  EnvStatus extra_info_into(int64_t* out) const;
  /// Row i (2048 bytes) gets lane i's work RAM (calling thread).
  void ram_into(uint8_t* out) const;
  /// Copies every lane's display frame, interleaved 224 x 240 x 3, into
  /// `frames` (N x 161280 bytes). The first call enables display frames.
  void rgb_frames_into(uint8_t* frames);
  /// Lane i's random state becomes base + i (1 where that is 0).
  void seed(uint64_t base);

  // ---- asynchronous steps (vec_env_async.cpp) ----

  /// Checks an asynchronous send: every id names a lane, none twice, none in
  /// flight, a lane pending reset only with a reset, valid state indices.
  /// Changes nothing.
  EnvStatus check_async_send(const AsyncRequest& request) const;
  /// Starts the lanes of a checked request and returns at once: sticky
  /// draws, reseeds and the bookkeeping of resets happen here, the emulation
  /// on the worker pool (or, without worker threads, in async_recv). Lanes
  /// are stepped in place in `obs` (N lane observations) and each finished
  /// lane's observation is also copied to row c % ring_rows of `ring` (when
  /// not null). Both arrays must stay valid until no lane is in flight, and
  /// be the same on every send while lanes are in flight.
  void async_send(const AsyncRequest& request, uint8_t* obs, uint8_t* ring, size_t ring_rows);
  /// Lanes sent and not yet received.
  size_t async_in_flight() const;
  /// Lanes finished and not yet received.
  size_t async_ready() const;
  /// The observation array of the lanes in flight (null when none is).
  const uint8_t* async_obs() const;
  /// Waits until `out.count` (<= async_in_flight()) lanes have finished and
  /// returns the first of them to finish, in that order; sets `ring_row` to
  /// the ring row of the first. Applies the pending-reset bookkeeping of the
  /// returned lanes.
  EnvStatus async_recv(const AsyncOutputs& out, size_t& ring_row);
  /// Waits for every lane in flight and drops their results (their lanes
  /// keep their new state, as after an unread step).
  EnvStatus async_cancel();

  // ---- profiler ----

  /// Fresh zeroed environment and lane records (replacing existing ones).
  void enable_profiler();
  /// Zeroes every record when enabled; nothing otherwise.
  void reset_profiler();
  /// Discards all records.
  void disable_profiler();
  bool profiler_enabled() const { return env_profile_.has_value(); }
  /// Environment record, or nullptr when disabled.
  const ProfileRecord* env_profile() const { return env_profile_ ? &*env_profile_ : nullptr; }
  /// One record per lane while enabled, empty when disabled.
  const std::vector<ProfileRecord>& lane_profiles() const { return lane_profiles_; }
  /// Sum of the environment record and all lane records.
  ProfileRecord profiler_total() const;

  // ---- configuration and shapes ----

  const EnvConfig& config() const { return config_; }
  const ObsGeometry& geometry() const { return geo_; }
  size_t num_envs() const { return machines_.size(); }
  /// (N, frame_stack * k, H, W).
  std::array<uint64_t, 4> obs_shape() const;
  /// Bytes of one lane observation.
  size_t lane_obs_size() const { return geo_.lane_obs_size; }
  size_t extra_info_width() const { return extra_info_width_; }
  const std::vector<uint8_t>& extra_info_ids() const { return extra_info_ids_; }
  const std::vector<StateCatalogEntry>& state_catalog() const { return catalog_; }
  std::vector<std::string> state_catalog_names() const;
  std::vector<int32_t> active_state_indices() const { return active_state_index_; }
  const AreaResizeTable& area_table() const { return pipeline_.area_table(); }
  const ObservationPipeline& pipeline() const { return pipeline_; }
  bool rgb_frames_enabled() const { return rgb_frames_enabled_; }
  const std::shared_ptr<const EnvToken>& env_token() const { return token_; }
  const PoolChoice& pool() const { return pool_; }

  // ---- lanes ----

  Machine& machine(size_t lane) { return machines_[lane]; }
  const Machine& machine(size_t lane) const { return machines_[lane]; }
  bool pending_reset(size_t lane) const { return pending_reset_[lane] != 0; }
  int32_t start_state(size_t lane) const { return start_index_[lane]; }
  bool random_start(size_t lane) const { return random_start_[lane] != 0; }
  uint8_t last_action(size_t lane) const { return last_action_[lane]; }
  uint64_t rng_state(size_t lane) const { return rng_state_[lane]; }
  int32_t active_state_index(size_t lane) const { return active_state_index_[lane]; }
  /// Scratch bytes of a lane (intermediate region, then display frames).
  const std::vector<uint8_t>& scratch(size_t lane) const { return scratch_[lane]; }

 private:
  friend struct ZuboVecEnvTestAccess;  // native tests only

  ZuboVecEnv(std::shared_ptr<const Cartridge> cart, const EnvConfig& config, const ObsGeometry& geometry,
             AreaResizeTable table, PoolChoice pool);

  // A lane prepared by the first phase of a mixed reset.
  struct StagedLane {
    size_t lane = 0;
    Machine machine;
    int32_t active_state_index = -1;
    uint8_t last_action = 0;
    uint64_t rng_state = 1;
    const std::vector<uint8_t>* observation = nullptr;  // snapshot lanes only
  };

  // Runs `op` on the operation thread (a private pool thread, or the caller).
  template <class F>
  void run_operation(F& op) const {
    if (pool_.private_pool && pool_.pool) {
      pool_.pool->run_on_pool(op);
    } else {
      op();
    }
  }
  // Runs body(begin, end) over lanes [0, n), spread over the pool when there
  // are at least two worker threads and `spread_count` reaches the threshold.
  template <class F>
  void for_lanes(size_t n, size_t spread_count, F& body) const {
    if (pool_.pool && config_.worker_threads >= 2 && spread_count >= config_.parallel_threshold) {
      pool_.pool->parallel_for(n, body);
    } else {
      body(size_t{0}, n);
    }
  }

  // Bytes every lane's scratch buffer holds at least.
  size_t scratch_size() const;

  template <bool Profiled>
  void step_lanes(const StepBuffers& b, UnitErrors& errors);
  template <bool Profiled>
  void step_lane(size_t lane, uint8_t action, const StepBuffers& b, ProfileRecord* record, UnitErrors& errors);
  void choose_effective_actions(const uint8_t* actions);
  // What one step does with each lane.
  enum class LanePlan : uint8_t { Idle = 0, Step = 1, Restart = 2, Keep = 3 };
  void plan_step(const uint8_t* step_mask);
  // Per lane, on the worker running it: the episode rules after a step
  // (writes the flags), a new episode (restart or keep) reported into the
  // step's outputs, the reported values.
  void apply_episode_rules(size_t lane, uint8_t& terminated, uint8_t& truncated);
  void begin_episode(size_t lane);
  void start_episode_in_step(size_t lane, bool keep, const StepBuffers& b, UnitErrors& errors);
  void write_lane_values(size_t lane, const ValueBuffers& out) const;
  void write_finals(size_t lane, const StepBuffers& b) const;
  // The start state of a reset the engine makes by itself (draws for random lanes).
  int32_t autoreset_state_index(size_t lane);
  std::optional<std::string> restart_lane(size_t lane, int32_t state_index);

  EnvStatus check_lane_request(size_t lane, int32_t state_index) const;
  EnvStatus reset_selected(uint8_t* obs, const uint8_t* mask, const int32_t* state_indices,
                           const std::vector<std::optional<uint64_t>>* seeds);

  EnvStatus reset_lane(size_t lane, int32_t state_index, std::optional<uint64_t> seed);
  // Start state and no-op frames applied to a machine, drawing from `rng`.
  std::optional<std::string> reset_machine_state(Machine& m, int32_t state_index, uint64_t& rng) const;
  void run_noop_frames(Machine& m, uint64_t& rng) const;
  EnvStatus write_reset_observations(uint8_t* obs, const uint8_t* mask, size_t selected);
  // Every slot of the lane's observation from its current screen, then D0.
  void write_reset_observation(size_t lane, uint8_t* lane_obs);
  void recompute_any_pending_reset();
  void ensure_display_frames();

  void run_async_job(const AsyncBatch& batch, size_t index);
  void finish_async_lane(uint32_t lane);
  void run_inline_batches(uint64_t until_ready);
  /// Sleeps until the first `until` lanes sent have finished; woken once, by
  /// the worker that finishes the last of them.
  void wait_until_ready(uint64_t until);
  void release_finished_batches(bool wait);

  EnvConfig config_;
  ObsGeometry geo_;
  ObservationPipeline pipeline_;
  std::shared_ptr<const Cartridge> cart_;
  std::vector<Machine> machines_;
  std::vector<StateCatalogEntry> catalog_;
  std::vector<int32_t> active_state_index_;
  std::vector<uint8_t> last_action_;
  std::vector<uint64_t> rng_state_;
  std::vector<uint8_t> pending_reset_;
  std::vector<LaneEpisode> episodes_;
  std::vector<int32_t> start_index_;
  std::vector<uint8_t> random_start_;
  std::vector<LanePlan> plan_;
  std::vector<std::vector<uint8_t>> scratch_;
  // Per lane: the unscrolled top rows' background as last drawn for an
  // observation (worker-owned like the lane's scratch buffer).
  std::vector<BandCache> band_caches_;
  // Per lane with max-pooling: its colour index lookup and background.
  std::vector<PoolCache> pool_caches_;
  std::vector<ProfileRecord> lane_profiles_;
  std::optional<ProfileRecord> env_profile_;
  std::vector<uint8_t> extra_info_ids_;
  size_t extra_info_width_ = 0;
  bool any_pending_reset_ = false;
  bool rgb_frames_enabled_ = false;
  std::vector<uint8_t> effective_actions_;
  PoolChoice pool_;
  std::shared_ptr<const EnvToken> token_;
  std::unique_ptr<AsyncLanes> async_;
};

}  // namespace tt
