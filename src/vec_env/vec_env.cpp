#include "vec_env/vec_env.h"

#include <chrono>
#include <cstring>
#include <unordered_set>

#include "driver/accelerators.h"
#include "driver/frame_step.h"
#include "driver/game_info.h"
#include "driver/state_image.h"
#include "vec_env/async_lanes.h"

namespace tt {

uint64_t clock_seed() {
  const auto since_epoch = std::chrono::system_clock::now().time_since_epoch();
  const int64_t ns = std::chrono::duration_cast<std::chrono::nanoseconds>(since_epoch).count();
  if (ns < 0) return 0;
  return static_cast<uint64_t>(ns) ^ 0x9E3779B97F4A7C15ull;
}

ZuboVecEnv::ZuboVecEnv(std::shared_ptr<const Cartridge> cart, const EnvConfig& config, const ObsGeometry& geometry,
                       AreaResizeTable table, PoolChoice pool)
    : config_(config),
      geo_(geometry),
      pipeline_(config, geometry, std::move(table)),
      cart_(std::move(cart)),
      pool_(std::move(pool)),
      token_(std::make_shared<const EnvToken>()) {}

ZuboVecEnv::~ZuboVecEnv() {
  // Lanes still in flight run to their end before anything they use is freed.
  if (async_) async_cancel();
}

EnvResult<std::unique_ptr<ZuboVecEnv>> ZuboVecEnv::create(std::shared_ptr<const Cartridge> cart, EnvConfig config,
                                                          std::vector<StateCatalogEntry> catalog, uint64_t seed,
                                                          std::vector<uint8_t> extra_info_ids, PoolChoice pool) {
  if (!cart) return runtime_error("internal error: no cartridge given");
  // Max-pooling is a matter of the picture: the other types read the console after the step.
  if (config.obs_type != ObsType::Picture) config.frame_maxpool = false;
  config.worker_threads = pool.worker_threads;
  config.parallel_threshold = pool.parallel_threshold;
  if (auto error = validate_env_config(config)) return *error;
  // The catalog is normally built by build_state_catalog; keep its rules.
  {
    std::unordered_set<std::string> names;
    for (const auto& entry : catalog) {
      if (entry.image.empty()) return value_error("state_catalog_data entries must not be empty");
      if (!names.insert(entry.name).second) return value_error("state_catalog_names must not contain duplicates");
    }
  }

  // 1-2. Resize table and intermediate size.
  const ObsGeometry geometry = derive_geometry(config);
  AreaResizeTable table =
      build_area_resize_table(geometry.src_width, geometry.src_height, geometry.width, geometry.height);
  std::unique_ptr<ZuboVecEnv> env(new ZuboVecEnv(cart, config, geometry, std::move(table), std::move(pool)));
  const size_t n = config.num_envs;

  // 3. Lanes, all sharing the one cartridge.
  Machine prototype(cart);
  prototype.terminate_on_flag = config.terminate_on_flag ? 1 : 0;
  prototype.accelerator_enabled = detect_accelerators(cart->prg_rom.data(), cart->prg_rom.size(), prototype.prg_mask);
  prototype.translated = translate_lane_code(*cart);
  prototype.native = native_lane_code(prototype.translated);  // the fastest exact engine where the host has it
  env->machines_.reserve(n);
  for (size_t i = 0; i < n; ++i) env->machines_.push_back(prototype);

  // 4. Scratch buffers.
  env->scratch_.assign(n, std::vector<uint8_t>(geometry.intermediate_size, 0));
  env->band_caches_.resize(n);
  if (config.frame_maxpool) env->pool_caches_.resize(n);

  // 5. Extra info width.
  for (uint8_t id : extra_info_ids) {
    if (id >= EXTRA_INFO_COUNT || EXTRA_INFO_CATALOGUE[id].id != id) {
      return runtime_error("extra info ids must be validated before ZuboVecEnv construction");
    }
  }
  const long width = tt::extra_info_width(extra_info_ids.data(), extra_info_ids.size());
  if (width < 0) return runtime_error("extra info ids must be validated before ZuboVecEnv construction");
  env->extra_info_width_ = static_cast<size_t>(width);
  env->extra_info_ids_ = std::move(extra_info_ids);

  // 6. Per-lane bookkeeping and seeds.
  env->active_state_index_.assign(n, -1);
  env->last_action_.assign(n, 0);
  env->pending_reset_.assign(n, 0);
  env->episodes_.assign(n, LaneEpisode{});
  env->start_index_.assign(n, 0);
  env->random_start_.assign(n, 0);
  env->plan_.assign(n, LanePlan::Idle);
  env->effective_actions_.assign(n, 0);
  env->rng_state_.resize(n);
  for (size_t i = 0; i < n; ++i) {
    uint64_t s = seed + static_cast<uint64_t>(i);
    if (s == 0) s = clock_seed();
    env->rng_state_[i] = s == 0 ? 1 : s;
  }

  // 7. Start states: every catalog entry must load; then entry 0 (or the
  // power-on state) and the no-op frames on every lane.
  env->catalog_ = std::move(catalog);
  for (const auto& entry : env->catalog_) {
    Machine probe(prototype);
    if (auto error = load_state_image(probe, entry.image.data(), entry.image.size())) return value_error(*error);
  }
  for (size_t i = 0; i < n; ++i) {
    if (auto error = env->reset_machine_state(env->machines_[i], 0, env->rng_state_[i])) return value_error(*error);
    env->active_state_index_[i] = env->start_index_[i] = env->catalog_.empty() ? -1 : 0;
    env->begin_episode(i);
  }
  return env;
}

size_t ZuboVecEnv::scratch_size() const {
  return geo_.intermediate_size + (rgb_frames_enabled_ ? 2 * DISPLAY_FRAME_BYTES : 0);
}

std::array<uint64_t, 4> ZuboVecEnv::obs_shape() const {
  return {static_cast<uint64_t>(machines_.size()), static_cast<uint64_t>(geo_.frame_stack * geo_.channels),
          static_cast<uint64_t>(geo_.height), static_cast<uint64_t>(geo_.width)};
}

std::vector<std::string> ZuboVecEnv::state_catalog_names() const {
  std::vector<std::string> names;
  names.reserve(catalog_.size());
  for (const auto& entry : catalog_) names.push_back(entry.name);
  return names;
}

void ZuboVecEnv::info_into(const InfoBuffers& out) const {
  for (size_t i = 0; i < machines_.size(); ++i) write_game_info(out, i, machines_[i].info);
}

EnvStatus ZuboVecEnv::extra_info_into(int64_t* out) const {
  const size_t width = extra_info_width_;
  if (width == 0) return std::nullopt;
  UnitErrors errors;
  auto body = [&](size_t begin, size_t end) {
    for (size_t i = begin; i < end; ++i) {
      if (tt::extra_info_width(extra_info_ids_.data(), extra_info_ids_.size()) != static_cast<long>(width)) {
        errors.report("extra info width does not match the selected ids");
        continue;
      }
      write_extra_info(machines_[i].ram.data(), extra_info_ids_.data(), extra_info_ids_.size(), out + i * width, width);
    }
  };
  auto op = [&] { for_lanes(machines_.size(), machines_.size(), body); };
  run_operation(op);
  return errors.take();
}

void ZuboVecEnv::ram_into(uint8_t* out) const {
  for (size_t i = 0; i < machines_.size(); ++i) {
    std::memcpy(out + i * machines_[i].ram.size(), machines_[i].ram.data(), machines_[i].ram.size());
  }
}

void ZuboVecEnv::ensure_display_frames() {
  if (rgb_frames_enabled_) return;
  rgb_frames_enabled_ = true;
  const size_t size = scratch_size();
  for (size_t i = 0; i < machines_.size(); ++i) {
    scratch_[i].resize(size, 0);
    ObservationPipeline::display_render(machines_[i], scratch_[i].data() + geo_.intermediate_size);
  }
}

void ZuboVecEnv::rgb_frames_into(uint8_t* frames) {
  ensure_display_frames();
  constexpr size_t w = VISIBLE_FRAME_WIDTH, h = VISIBLE_FRAME_HEIGHT, plane = w * h;
  for (size_t i = 0; i < machines_.size(); ++i) {
    const uint8_t* d0 = scratch_[i].data() + geo_.intermediate_size;
    uint8_t* out = frames + i * DISPLAY_FRAME_BYTES;
    for (size_t p = 0; p < plane; ++p) {
      out[3 * p + 0] = d0[p];
      out[3 * p + 1] = d0[plane + p];
      out[3 * p + 2] = d0[2 * plane + p];
    }
  }
}

void ZuboVecEnv::seed(uint64_t base) {
  for (size_t i = 0; i < rng_state_.size(); ++i) {
    const uint64_t s = base + static_cast<uint64_t>(i);
    rng_state_[i] = s == 0 ? 1 : s;
  }
}

void ZuboVecEnv::enable_profiler() {
  env_profile_.emplace();
  lane_profiles_.assign(machines_.size(), ProfileRecord{});
}

void ZuboVecEnv::reset_profiler() {
  if (!env_profile_) return;
  env_profile_->clear();
  for (auto& record : lane_profiles_) record.clear();
}

void ZuboVecEnv::disable_profiler() {
  env_profile_.reset();
  lane_profiles_.clear();
  lane_profiles_.shrink_to_fit();
}

ProfileRecord ZuboVecEnv::profiler_total() const {
  ProfileRecord total;
  if (env_profile_) total.add(*env_profile_);
  for (const auto& record : lane_profiles_) total.add(record);
  return total;
}

}  // namespace tt
