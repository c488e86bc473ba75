// Lane snapshots: capture refusals, the portable envelope (layout, every
// refusal in order, re-encoding) and restoring through a mixed reset.
#include <gtest/gtest.h>

#include <cstring>

#include "core/sha256.h"
#include "driver/portable_machine.h"
#include "test_vec_env_support.h"
#include "vec_env/snapshots.h"

namespace tt {
namespace {

using testing::make_env;
using testing::SCRIPT_COUNTER;
using testing::scripted_cartridge;
using testing::scripted_state_image;
using testing::StepOutputs;

EnvConfig config(uint64_t lanes) {
  EnvConfig c;
  c.num_envs = lanes;
  c.resize_width = 16;
  c.resize_height = 12;
  return c;
}

std::vector<StateCatalogEntry> catalog() {
  return {{"a", scripted_state_image(10, 200)}, {"b", scripted_state_image(50, 200)}};
}

std::string error_of(const EnvResult<LaneSnapshot>& r) {
  const auto* e = std::get_if<EnvError>(&r);
  return e ? e->message : "";
}

TEST(VecEnvSnapshots, CaptureRefusalsAndContent) {
  auto env = make_env(scripted_cartridge(200), config(4), {{"dies", scripted_state_image(0, 6)}});
  ASSERT_TRUE(env);
  StepOutputs out(*env);
  ASSERT_FALSE(env->reset_all(out.obs.data()));
  std::vector<uint8_t> mask = {0, 1, 0, 1};
  auto wrong = capture_lanes(*env, out.obs.data(), out.obs.size(), mask.data(), 3);
  ASSERT_TRUE(std::holds_alternative<EnvError>(wrong));
  EXPECT_EQ(std::get<EnvError>(wrong).message, "snapshot capture buffers have incorrect shapes");
  EXPECT_EQ(std::get<EnvError>(wrong).kind, EnvErrorKind::RuntimeError);
  std::vector<uint8_t> none(4, 0);
  auto empty = capture_lanes(*env, out.obs.data(), out.obs.size(), none.data(), 4);
  EXPECT_EQ(std::get<EnvError>(empty).message, "capture_mask must select at least one lane");

  out.obs[env->lane_obs_size() + 5] = 0xAB;  // taken as the caller holds it
  auto got = capture_lanes(*env, out.obs.data(), out.obs.size(), mask.data(), 4);
  ASSERT_TRUE(std::holds_alternative<std::vector<std::optional<LaneSnapshot>>>(got));
  const auto& snaps = std::get<std::vector<std::optional<LaneSnapshot>>>(got);
  ASSERT_EQ(snaps.size(), 4u);
  EXPECT_FALSE(snaps[0]);
  ASSERT_TRUE(snaps[1]);
  EXPECT_EQ(snaps[1]->observation[5], 0xAB);
  EXPECT_EQ(snaps[1]->rng_state, env->rng_state(1));
  EXPECT_EQ(snaps[1]->env_token, env->env_token());
  EXPECT_EQ(snapshot_nbytes(*snaps[1]), sizeof(LaneSnapshot) + env->lane_obs_size());

  // A lane that dies makes the environment pending; it cannot be captured.
  for (int i = 0; i < 4 && !env->any_pending_reset(); ++i) ASSERT_FALSE(env->step(out.buffers()));
  ASSERT_TRUE(env->any_pending_reset());
  auto pending = capture_lanes(*env, out.obs.data(), out.obs.size(), mask.data(), 4);
  EXPECT_EQ(std::get<EnvError>(pending).message, "cannot capture a lane that is pending reset");
}

TEST(VecEnvSnapshots, EnvelopeLayoutAndRefusals) {
  auto env = make_env(scripted_cartridge(200), config(2), catalog());
  ASSERT_TRUE(env);
  StepOutputs out(*env);
  ASSERT_FALSE(env->reset_all(out.obs.data()));
  std::vector<uint8_t> mask = {1, 1};
  auto snaps = std::get<std::vector<std::optional<LaneSnapshot>>>(
      capture_lanes(*env, out.obs.data(), out.obs.size(), mask.data(), 2));
  const std::vector<uint8_t> bytes = encode_snapshot(*snaps[0]);
  const size_t obs_len = env->lane_obs_size();
  ASSERT_EQ(bytes.size(), SNAPSHOT_HEADER_BYTES + obs_len + PORTABLE_MACHINE_BYTES);
  EXPECT_EQ(std::memcmp(bytes.data(), "VRXVEC1\0", 8), 0);
  EXPECT_EQ(bytes[25] | (bytes[26] << 8), 4453);
  EXPECT_EQ(sha256_hex(bytes.data(), bytes.size()), "c7671a0ba26d4bc53e3980b654b4042303fc2fb3b308f063bd4434f968773ff3")
      << "the envelope's bytes as the format was first written";

  auto decoded = decode_snapshot(*env, 1, bytes.data(), bytes.size());
  ASSERT_TRUE(std::holds_alternative<LaneSnapshot>(decoded)) << error_of(decoded);
  EXPECT_EQ(encode_snapshot(std::get<LaneSnapshot>(decoded)), bytes) << "re-encoding gives identical bytes";
  EXPECT_EQ(std::get<LaneSnapshot>(decoded).env_token, env->env_token());

  auto cut = [&](size_t n) { return std::vector<uint8_t>(bytes.begin(), bytes.begin() + n); };
  auto dec = [&](const std::vector<uint8_t>& b) { return error_of(decode_snapshot(*env, 0, b.data(), b.size())); };
  EXPECT_EQ(dec(cut(5)), "portable snapshot is truncated at magic: need 8 bytes, have 5");
  EXPECT_EQ(dec(cut(20)), "portable snapshot is truncated at rng_state: need 8 bytes, have 7");
  EXPECT_EQ(dec(cut(29 + obs_len)), "portable snapshot is truncated at machine: need 4453 bytes, have 0");
  EXPECT_EQ(dec(cut(29 + obs_len - 1)), "portable snapshot is truncated at observation: need " +
                                            std::to_string(obs_len) + " bytes, have " + std::to_string(obs_len - 1));
  auto changed = [&](size_t at, uint8_t v) {
    auto b = bytes;
    b[at] = v;
    return b;
  };
  EXPECT_EQ(dec(changed(3, 'Z')), "portable snapshot has invalid magic");
  auto zero_rng = bytes;
  std::memset(zero_rng.data() + 13, 0, 8);
  zero_rng[21] = 0xFF;  // a wrong observation length is not looked at first
  EXPECT_EQ(dec(zero_rng), "portable snapshot rng_state must be non-zero");
  EXPECT_EQ(dec(changed(21, static_cast<uint8_t>(bytes[21] + 1))),
            "portable snapshot observation length " + std::to_string(obs_len + 1) +
                " does not match environment length " + std::to_string(obs_len));
  auto tail = bytes;
  tail.push_back(7);
  EXPECT_EQ(dec(tail), "portable snapshot has 1 trailing bytes");
  EXPECT_EQ(dec(changed(29 + obs_len, 'X')), "portable state has invalid machine magic");
  EXPECT_EQ(dec(changed(8, 2)), "portable snapshot lane 0 has incompatible active_state_index 2");
  auto minus_one = bytes;
  std::memset(minus_one.data() + 8, 0xFF, 4);
  EXPECT_EQ(dec(minus_one), "portable snapshot lane 0 has incompatible active_state_index -1");

  // Without a catalog only -1 fits.
  auto bare = make_env(scripted_cartridge(200), config(2));
  ASSERT_TRUE(bare);
  EXPECT_EQ(error_of(decode_snapshot(*bare, 1, bytes.data(), bytes.size())),
            "portable snapshot lane 1 has incompatible active_state_index 0");
  EXPECT_EQ(error_of(decode_snapshot(*bare, 1, minus_one.data(), minus_one.size())), "");
}

TEST(VecEnvSnapshots, RestoreIntoAnotherLaneAndAnotherEnvironment) {
  auto env = make_env(scripted_cartridge(200), config(3), catalog());
  auto twin = make_env(scripted_cartridge(200), config(3), catalog());
  ASSERT_TRUE(env && twin);
  StepOutputs a(*env), b(*twin);
  ASSERT_FALSE(env->reset_all(a.obs.data()));
  ASSERT_FALSE(twin->reset_all(b.obs.data()));
  for (int i = 0; i < 7; ++i) {
    a.actions = {static_cast<uint8_t>(i), 0x80, 0x01};
    ASSERT_FALSE(env->step(a.buffers()));
  }
  std::vector<uint8_t> mask = {0, 1, 0};
  auto snaps = std::get<std::vector<std::optional<LaneSnapshot>>>(
      capture_lanes(*env, a.obs.data(), a.obs.size(), mask.data(), 3));
  const auto bytes = encode_snapshot(*snaps[1]);

  // Into lane 2 of the twin, through the portable form.
  auto decoded = decode_snapshot(*twin, 2, bytes.data(), bytes.size());
  ASSERT_TRUE(std::holds_alternative<LaneSnapshot>(decoded)) << error_of(decoded);
  std::vector<std::optional<LaneSnapshot>> restore(3);
  restore[2] = std::get<LaneSnapshot>(decoded);
  std::vector<uint8_t> reset_mask = {0, 0, 1};
  std::vector<int32_t> indices = {0, 0, -1};
  std::vector<std::optional<uint64_t>> seeds(3);
  ASSERT_FALSE(twin->reset_mixed(b.obs.data(), reset_mask.data(), indices.data(), seeds, restore));
  const size_t lane = env->lane_obs_size();
  EXPECT_EQ(std::memcmp(b.obs.data() + 2 * lane, a.obs.data() + lane, lane), 0) << "the captured row is written";
  EXPECT_EQ(twin->machine(2).ram, env->machine(1).ram);
  EXPECT_EQ(twin->rng_state(2), env->rng_state(1));

  // Both continue identically with the same actions.
  for (int i = 0; i < 20; ++i) {
    a.actions = {0, static_cast<uint8_t>(i * 7), 0};
    b.actions = {0, 0, static_cast<uint8_t>(i * 7)};
    ASSERT_FALSE(env->step(a.buffers()));
    ASSERT_FALSE(twin->step(b.buffers()));
    ASSERT_EQ(std::memcmp(b.obs.data() + 2 * lane, a.obs.data() + lane, lane), 0) << "step " << i;
    ASSERT_EQ(a.rewards[1], b.rewards[2]);
    ASSERT_EQ(twin->machine(2).ram, env->machine(1).ram);
  }
}

}  // namespace
}  // namespace tt
