// Per-lane profiler counters. Each record is touched by one worker only.
#pragma once

#include <array>
#include <cstdint>
#include <ctime>
#include <limits>
#include <string>
#include <vector>

namespace tt {

struct ProfileRecord {
  std::vector<uint64_t> pc_histogram = std::vector<uint64_t>(65536, 0);
  std::array<uint64_t, 256> opcode_histogram{};
  uint64_t env_steps = 0;
  uint64_t batch_steps = 0;
  uint64_t frame_steps = 0;
  uint64_t cpu_steps = 0;
  uint64_t ppu_tick_calls = 0;
  uint64_t ppu_tick_cycles = 0;
  uint64_t ppu_completed_frames = 0;
  uint64_t render_calls = 0;
  uint64_t resize_calls = 0;
  uint64_t stack_shifts = 0;
  uint64_t frame_stepping = 0;
  uint64_t rendering = 0;
  uint64_t resize = 0;
  uint64_t stack_shift = 0;

  void clear();
  void add(const ProfileRecord& other);
};

// Monotonic clock in nanoseconds, saturating at the largest 64-bit value.
inline uint64_t monotonic_ns() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  constexpr uint64_t most = std::numeric_limits<uint64_t>::max();
  const uint64_t sec = static_cast<uint64_t>(ts.tv_sec);
  const uint64_t nsec = static_cast<uint64_t>(ts.tv_nsec);
  return sec > (most - nsec) / 1000000000u ? most : sec * 1000000000u + nsec;
}

inline uint64_t saturating_add(uint64_t a, uint64_t b) {
  const uint64_t s = a + b;
  return s < a ? std::numeric_limits<uint64_t>::max() : s;
}

// Counter hooks of the frame loop. `NoProfile` compiles to nothing.
struct NoProfile {
  static constexpr bool enabled = false;
  void instruction(uint16_t, uint8_t) {}
  void tick(uint64_t, bool) {}
};

struct LaneProfile {
  static constexpr bool enabled = true;
  ProfileRecord& record;
  void instruction(uint16_t pc, uint8_t opcode) {
    record.cpu_steps += 1;
    record.opcode_histogram[opcode] += 1;
    record.pc_histogram[pc] += 1;
  }
  void tick(uint64_t dots, bool ended) {
    record.ppu_tick_calls += 1;
    record.ppu_tick_cycles += dots;
    if (ended) record.ppu_completed_frames += 1;
  }
};

// JSON report over the summed records (environment record first, then lanes).
std::string profiler_report(const ProfileRecord& total, uint64_t top_n);

}  // namespace tt
