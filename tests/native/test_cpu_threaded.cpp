// The threaded instruction loop against the one-instruction step: the public
// CPU test's hardware log instruction by instruction, and whole frames of the
// test image and of real play, with and without routine hooks.
#include <gtest/gtest.h>

#include <fstream>
#include <random>

#include "core/cpu.h"
#include "core/frame_runner.h"
#include "driver/accelerators.h"
#include "driver/state_image.h"
#include "test_support.h"

namespace tt {
namespace {

std::shared_ptr<const Cartridge> nestest_cartridge() {
  const std::string dir = testing::test_roms_dir();
  if (dir.empty()) return nullptr;
  auto parsed = parse_ines(testing::read_bytes(dir + "/nestest.nes"));
  if (!std::holds_alternative<Cartridge>(parsed)) return nullptr;
  return std::make_shared<const Cartridge>(std::get<Cartridge>(std::move(parsed)));
}

// One instruction through the threaded loop: a window of one dot closes after
// any instruction. Returns its cycles.
unsigned threaded_single_step(Console& m) {
  CpuCore core(m);
  uint64_t pending = 0;
  const bool closed = run_instructions(core, pending, 1, [](uint16_t) { return false; });
  core.store();
  EXPECT_TRUE(closed);
  return static_cast<unsigned>(pending / 3);
}

TEST(ThreadedCpu, SingleStepsFollowTheHardwareLog) {
  const auto cart = nestest_cartridge();
  if (!cart) GTEST_SKIP() << "public CPU test image not found (set TANUVEX_TURBO_TEST_ROMS)";
  std::ifstream in(testing::test_roms_dir() + "/nestest.log");
  std::vector<std::string> log;
  for (std::string line; std::getline(in, line);) {
    if (line.size() > 20) log.push_back(line);
  }
  ASSERT_GT(log.size(), 5000u);

  // The threaded loop and the switch step must leave identical consoles.
  Console threaded(cart), stepped(cart);
  power_on_console(threaded);
  threaded.cpu.pc = 0xC000;
  stepped = threaded;
  size_t checked = 0;
  for (size_t i = 0; i < log.size() && log[i][15] != '*'; ++i) {
    ASSERT_EQ(threaded.cpu.pc, std::stoul(log[i].substr(0, 4), nullptr, 16)) << "line " << i + 1;
    const unsigned cycles = threaded_single_step(threaded);
    const unsigned want = cpu_step(stepped, fetch_opcode(stepped));
    ASSERT_EQ(cycles, want) << "line " << i + 1;
    ASSERT_EQ(testing::console_state_diff(threaded, stepped), "") << "line " << i + 1;
    ++checked;
  }
  EXPECT_EQ(checked, 5003u);
}

// Bus writes inside a run: OAM DMA debt is charged to the writing instruction
// and an NMI raised by a PPU control write stops the run right after it.
TEST(ThreadedCpu, BusWritesChargeDebtAndStopForNmi) {
  // 0x8000: LDA #$02 / STA $4014 / INX / INX / LDA #$80 / STA $2000 / INX / JMP $8009
  const auto cart = testing::tiny_cartridge(
      {0xA9, 0x02, 0x8D, 0x14, 0x40, 0xE8, 0xE8, 0xA9, 0x80, 0x8D, 0x00, 0x20, 0xE8, 0x4C, 0x09, 0x80});
  Console m(cart);
  power_on_console(m);
  CpuCore core(m);
  const auto never = [](uint16_t) { return false; };

  // DMA: LDA (2) + STA (4 + 513) + INX (2) = 521 cycles reach a window of
  // exactly that many dots; one dot less than the debt would not close it.
  uint64_t pending = 0;
  EXPECT_TRUE(run_instructions(core, pending, 3 * (2 + 4 + 513 + 2), never));
  EXPECT_EQ(pending, 3u * (2 + 4 + 513 + 2));
  EXPECT_EQ(core.pc, 0x8006);
  EXPECT_EQ(m.extra_cycles, 0u);

  // Enabling NMI during vblank raises it: the run stops after the STA.
  m.ppu.status |= 0x80;
  pending = 0;
  EXPECT_FALSE(run_instructions(core, pending, 1u << 20, never));
  EXPECT_EQ(m.ppu.nmi_pending, 1);
  EXPECT_EQ(core.pc, 0x800C);
  EXPECT_EQ(pending, 3u * (2 + 2 + 4));

  // Without vblank the same write raises nothing and the loop runs on to the window.
  m.ppu.nmi_pending = 0;
  m.ppu.status = 0;
  m.ppu.ctrl = 0;
  core.pc = 0x8007;
  pending = 0;
  EXPECT_TRUE(run_instructions(core, pending, 300, never));
  EXPECT_EQ(m.ppu.nmi_pending, 0);
  EXPECT_GE(pending, 300u);
}

// Hooks that are never offered anything but see every instruction boundary
// the runner stops at: forces the runner's own checks between instructions.
struct StopEverywhere {
  static constexpr bool enabled = true;
  HookResult dispatch(Console&, FrameClock&) { return HookResult::NotApplied; }
};

template <class Hooks>
void expect_threaded_frames_match(Machine start, Hooks make_hooks(Machine&), int frames, uint64_t seed,
                                  const std::string& name) {
  Machine threaded = start, stepped = start;
  auto threaded_hooks = make_hooks(threaded);
  auto stepped_hooks = make_hooks(stepped);
  ProfileRecord record;
  std::mt19937_64 rng(seed);
  for (int f = 0; f < frames; ++f) {
    const auto buttons = static_cast<uint8_t>(rng() & 0xF7);  // never Start
    NoProfile plain;
    LaneProfile counted{record};  // the counting runner keeps the one-instruction step
    run_frame_with(threaded, buttons, threaded_hooks, plain);
    run_frame_with(stepped, buttons, stepped_hooks, counted);
    ASSERT_EQ(testing::console_state_diff(threaded, stepped), "") << name << " frame " << f;
  }
  EXPECT_GT(record.cpu_steps, static_cast<uint64_t>(frames) * 100) << name << ": the frames must run code";
}

NoHooks no_hooks(Machine&) { return NoHooks{}; }
StopEverywhere stop_everywhere(Machine&) { return StopEverywhere{}; }
AcceleratorHooks accelerators(Machine& m) { return AcceleratorHooks{m.accelerator_enabled.data()}; }

TEST(ThreadedCpu, FramesOfTheCpuTestImageMatchSteppedFrames) {
  const auto cart = nestest_cartridge();
  if (!cart) GTEST_SKIP() << "public CPU test image not found (set TANUVEX_TURBO_TEST_ROMS)";
  Machine m(cart);
  power_on_console(m);
  m.cpu.pc = 0xC000;  // automatic mode: every instruction group, then the undocumented ones
  expect_threaded_frames_match(m, no_hooks, 40, 1, "plain");
  expect_threaded_frames_match(m, stop_everywhere, 40, 2, "stopping");
}

TEST(ThreadedCpu, FramesOfRealPlayMatchSteppedFrames) {
  const auto cart = testing::supported_cartridge();
  if (!cart) GTEST_SKIP() << "supported cartridge not available (set TANUVEX_TURBO_ROM)";
  const std::string dir = testing::states_dir();
  if (dir.empty()) GTEST_SKIP() << "start states not available (set TANUVEX_TURBO_STATES)";
  const auto files = testing::list_state_files(dir);
  ASSERT_FALSE(files.empty());
  for (size_t k = 0; k < files.size(); k += 3) {
    Machine m(cart);
    m.accelerator_enabled = detect_accelerators(cart->prg_rom.data(), cart->prg_rom.size(), m.prg_mask);
    const auto image = testing::gunzip(testing::read_bytes(files[k]));
    ASSERT_FALSE(load_state_image(m, image.data(), image.size())) << files[k];
    expect_threaded_frames_match(m, no_hooks, 120, k, files[k] + " plain");
    expect_threaded_frames_match(m, accelerators, 120, k + 1, files[k] + " accelerated");
    // With every slot disabled the runner still stops at every entry point.
    Machine disabled = m;
    disabled.accelerator_enabled.fill(0);
    expect_threaded_frames_match(disabled, accelerators, 60, k + 2, files[k] + " slots disabled");
  }
}

}  // namespace
}  // namespace tt
