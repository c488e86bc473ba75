// Helpers of the vectorised-environment tests: a tiny scripted cartridge whose
// frame counter, last controller byte and "death frame" live in work RAM,
// hand-made state images for it, and output buffers for whole steps.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "driver/game_info.h"
#include "test_support.h"
#include "vec_env/vec_env.h"

namespace tt {

// Reaches into an environment's private catalog (to make an entry unloadable
// after construction, which the public surface cannot do).
struct ZuboVecEnvTestAccess {
  static std::vector<StateCatalogEntry>& catalog(ZuboVecEnv& env) { return env.catalog_; }
};

namespace testing {

// RAM addresses used by the scripted cartridge.
inline constexpr uint16_t SCRIPT_COUNTER = 0x10;      // frames seen (one NMI per frame)
inline constexpr uint16_t SCRIPT_BUTTONS = 0x11;      // controller byte read in the last NMI
inline constexpr uint16_t SCRIPT_DEATH_FRAME = 0x12;  // counter value that sets lives to 0xFF
inline constexpr uint16_t LIVES_ADDR = 0x075A;
inline constexpr uint16_t XSCROLL_LO_ADDR = 0x071C;

// A cartridge whose NMI handler counts frames, adds 1 to the horizontal scroll
// byte (one reward per frame), reads the controller into SCRIPT_BUTTONS and
// sets the lives byte to 0xFF when the counter reaches `death_frame`.
inline std::shared_ptr<const Cartridge> scripted_cartridge(uint8_t death_frame) {
  const std::vector<uint8_t> code = {
      // reset, 0x8000
      0xA9, 0x00,         // LDA #0
      0x8D, 0x5A, 0x07,   // STA lives
      0x8D, 0x1C, 0x07,   // STA xscroll_lo
      0x85, 0x10,         // STA counter
      0x85, 0x11,         // STA buttons
      0x85, 0x6D,         // STA x_pos high byte
      0xA9, death_frame,  // LDA #death_frame
      0x85, 0x12,         // STA death frame
      0xA9, 0x80,         // LDA #$80
      0x8D, 0x00, 0x20,   // STA PPUCTRL (NMI on)
      0x4C, 0x17, 0x80,   // 0x8017: JMP 0x8017
      // NMI, 0x801A
      0xE6, 0x10,                    // INC counter
      0xEE, 0x1C, 0x07,              // INC xscroll_lo
      0xA9, 0x01, 0x8D, 0x16, 0x40,  // strobe on
      0xA9, 0x00, 0x8D, 0x16, 0x40,  // strobe off
      0xA2, 0x08,                    // LDX #8
      0xAD, 0x16, 0x40,              // 0x802B: LDA $4016
      0x4A,                          // LSR A
      0x66, 0x11,                    // ROR buttons
      0xCA,                          // DEX
      0xD0, 0xF7,                    // BNE 0x802B
      0xA5, 0x10,                    // LDA counter
      0xC5, 0x12,                    // CMP death frame
      0xD0, 0x05,                    // BNE rti
      0xA9, 0xFF,                    // LDA #$FF
      0x8D, 0x5A, 0x07,              // STA lives
      0x40,                          // RTI
  };
  return tiny_cartridge(code, 0x8000, 0x801A, 0x8000);
}

// A state image for the scripted cartridge: parked in its idle loop with NMI
// on, the frame counter at `counter` and the death frame `death_frame`; with
// `playing` the game mode says a game is being played, so frames earn reward.
inline std::vector<uint8_t> scripted_state_image(uint8_t counter, uint8_t death_frame, uint8_t universal_colour = 0x0F,
                                                 bool playing = false) {
  std::vector<uint8_t> image;
  auto chunk = [&](const char* tag, const std::vector<uint8_t>& data) {
    char t[4] = {0, 0, 0, 0};
    for (int i = 0; i < 4 && tag[i] != '\0'; ++i) t[i] = tag[i];
    image.insert(image.end(), t, t + 4);
    const uint32_t n = static_cast<uint32_t>(data.size());
    for (int i = 0; i < 4; ++i) image.push_back(static_cast<uint8_t>(n >> (8 * i)));
    image.insert(image.end(), data.begin(), data.end());
  };
  std::vector<uint8_t> ram(2048, 0);
  ram[SCRIPT_COUNTER] = counter;
  ram[SCRIPT_DEATH_FRAME] = death_frame;
  if (playing) ram[GAME_MODE_ADDR] = GAME_MODE_PLAYING;  // else the title screen: frames earn nothing
  std::vector<uint8_t> palette(32, universal_colour);
  chunk("PC", {0x17, 0x80});
  chunk("A", {0});
  chunk("X", {0});
  chunk("Y", {0});
  chunk("S", {0xFD});
  chunk("P", {0x24});
  chunk("RAM", ram);
  chunk("NTAR", std::vector<uint8_t>(2048, 0));
  chunk("PRAM", palette);
  chunk("SPRA", std::vector<uint8_t>(256, 0xF8));
  chunk("PPUR", {0x80, 0x08, 0x00, 0x00});
  return image;
}

// Every output array of a step, sized for `n` lanes.
struct StepOutputs {
  explicit StepOutputs(const ZuboVecEnv& env)
      : n(env.num_envs()),
        actions(n, 0),
        obs(n * env.lane_obs_size(), 0),
        rewards(n),
        terminated(n),
        truncated(n),
        x_pos(n),
        coins(n),
        level_hi(n),
        level_lo(n),
        lives(n),
        score(n),
        scrolling(n),
        time(n),
        xscroll_hi(n),
        xscroll_lo(n) {}

  StepBuffers buffers() {
    return StepBuffers{actions.data(),
                       obs.data(),
                       rewards.data(),
                       terminated.data(),
                       truncated.data(),
                       {x_pos.data(), coins.data(), level_hi.data(), level_lo.data(), lives.data(), score.data(),
                        scrolling.data(), time.data(), xscroll_hi.data(), xscroll_lo.data()}};
  }

  size_t n;
  std::vector<uint8_t> actions;
  std::vector<uint8_t> obs;
  std::vector<float> rewards;
  std::vector<uint8_t> terminated, truncated;
  std::vector<uint16_t> x_pos;
  std::vector<uint8_t> coins;
  std::vector<int16_t> level_hi, level_lo, lives;
  std::vector<uint32_t> score;
  std::vector<int16_t> scrolling;
  std::vector<uint16_t> time;
  std::vector<uint8_t> xscroll_hi, xscroll_lo;
};

// Builds an environment or fails the test with the error.
inline std::unique_ptr<ZuboVecEnv> make_env(std::shared_ptr<const Cartridge> cart, EnvConfig config,
                                            std::vector<StateCatalogEntry> catalog = {}, uint64_t seed = 1,
                                            std::optional<int64_t> num_threads = 1,
                                            std::vector<uint8_t> extra_info_ids = {}) {
  auto pool = resolve_worker_pool(num_threads, config.num_envs);
  if (auto* error = std::get_if<EnvError>(&pool)) {
    ADD_FAILURE() << "pool: " << error->message;
    return nullptr;
  }
  auto made = ZuboVecEnv::create(std::move(cart), config, std::move(catalog), seed, std::move(extra_info_ids),
                                 std::get<PoolChoice>(pool));
  if (auto* error = std::get_if<EnvError>(&made)) {
    ADD_FAILURE() << "create: " << error->message;
    return nullptr;
  }
  return std::move(std::get<std::unique_ptr<ZuboVecEnv>>(made));
}

// The start states of the supported game, decompressed, as a catalog.
inline std::vector<StateCatalogEntry> supported_start_states() {
  std::vector<StateCatalogEntry> catalog;
  const std::string dir = states_dir();
  if (dir.empty()) return catalog;
  if (!std::filesystem::is_directory(dir)) {
    ADD_FAILURE() << "TANUVEX_TURBO_STATES is not a folder: " << dir;
    return catalog;
  }
  for (const std::string& path : list_state_files(dir)) {
    const size_t slash = path.find_last_of('/');
    catalog.push_back(StateCatalogEntry{path.substr(slash + 1), gunzip(read_bytes(path))});
  }
  if (catalog.empty()) ADD_FAILURE() << "no .state files in " << dir;
  return catalog;
}

}  // namespace testing
}  // namespace tt
