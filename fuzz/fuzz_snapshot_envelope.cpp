// Fuzz target: the portable snapshot envelope reader on arbitrary bytes. A
// payload it accepts must re-encode to the same bytes and restore into a lane.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "fuzz_support.h"
#include "vec_env/snapshots.h"
#include "vec_env/vec_env.h"

namespace {

std::unique_ptr<tt::ZuboVecEnv> make_env() {
  tt::EnvConfig config;
  config.num_envs = 1;
  config.frame_stack = 1;
  config.resize_width = 4;
  config.resize_height = 2;
  auto pool = std::get<tt::PoolChoice>(tt::resolve_worker_pool(int64_t{1}, 1));
  auto made = tt::ZuboVecEnv::create(tt::fuzz::looping_cartridge(), config, {}, 1, {}, pool);
  return std::move(std::get<std::unique_ptr<tt::ZuboVecEnv>>(made));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::unique_ptr<tt::ZuboVecEnv> env = make_env();
  auto decoded = tt::decode_snapshot(*env, 0, data, size);
  auto* snapshot = std::get_if<tt::LaneSnapshot>(&decoded);
  if (!snapshot) return 0;
  const std::vector<uint8_t> again = tt::encode_snapshot(*snapshot);
  if (again.size() != size) TT_FUZZ_TRAP();
  std::vector<uint8_t> obs(env->lane_obs_size());
  const uint8_t mask = 1;
  const int32_t index = -1;
  std::vector<std::optional<uint64_t>> seeds(1);
  std::vector<std::optional<tt::LaneSnapshot>> snapshots(1);
  snapshots[0] = *snapshot;
  if (env->reset_mixed(obs.data(), &mask, &index, seeds, snapshots)) TT_FUZZ_TRAP();
  return 0;
}
