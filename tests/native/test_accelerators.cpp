// Routine accelerators on the supported cartridge: every call checked against
// interpreting the routine, whole frames with and without accelerators, guard
// boundaries, crafted and randomised entry states, and signature detection.
#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "core/cpu.h"
#include "driver/accelerators.h"
#include "driver/frame_step.h"
#include "driver/game_info.h"
#include "driver/state_image.h"
#include "test_support.h"

namespace tt {
namespace {

constexpr int SLOTS = ACCELERATOR_SLOTS;
constexpr uint8_t START_BUTTON = 0x08;
// Frames played from each start state by the play tests.
constexpr int FRAMES_PER_STATE = 2500;

uint64_t xorshift(uint64_t& s) {
  s ^= s << 13;
  s ^= s >> 7;
  s ^= s << 17;
  return s;
}

// ---------------------------------------------------------------------------
// Test data

struct StartState {
  std::string name;
  std::vector<uint8_t> image;
};

// The supported cartridge, or nullptr with the reason to skip. A variable that
// is set but wrong fails the test.
std::shared_ptr<const Cartridge> cartridge_or_skip(std::string& skip) {
  if (testing::supported_rom_path().empty()) {
    skip = "TANUVEX_TURBO_ROM is not set";
    return nullptr;
  }
  auto cart = testing::supported_cartridge();
  EXPECT_TRUE(cart) << "TANUVEX_TURBO_ROM does not name the supported cartridge";
  return cart;
}

std::vector<StartState> start_states_or_skip(std::string& skip) {
  std::vector<StartState> states;
  const std::string dir = testing::states_dir();
  if (dir.empty()) {
    skip = "TANUVEX_TURBO_STATES is not set";
    return states;
  }
  for (const auto& f : testing::list_state_files(dir)) states.push_back({f, testing::gunzip(testing::read_bytes(f))});
  EXPECT_FALSE(states.empty()) << "no .state files in " << dir;
  return states;
}

#define REQUIRE_CARTRIDGE(cart)                            \
  std::string skip_reason_;                                \
  auto cart = cartridge_or_skip(skip_reason_);             \
  if (!skip_reason_.empty()) GTEST_SKIP() << skip_reason_; \
  ASSERT_TRUE(cart)

#define REQUIRE_STATES(states)                             \
  auto states = start_states_or_skip(skip_reason_);        \
  if (!skip_reason_.empty()) GTEST_SKIP() << skip_reason_; \
  ASSERT_FALSE(states.empty())

std::array<uint8_t, SLOTS> detect(const Cartridge& cart) {
  return detect_accelerators(cart.prg_rom.data(), cart.prg_rom.size(), static_cast<uint16_t>(cart.prg_rom.size() - 1));
}

// Seeded controller input: running and walking right with jumps of varied
// length, walking left, crouching, idle spells, random button mashing and the
// odd Start press (pause and unpause).
class InputScript {
 public:
  explicit InputScript(uint64_t seed) : rng_(seed | 1) {}

  uint8_t next() {
    if (left_ == 0) choose();
    --left_;
    ++t_;
    if (mash_) return static_cast<uint8_t>(xorshift(rng_) & 0xF3);  // no Start, no Select
    uint8_t b = base_;
    if (jump_period_ && t_ % static_cast<uint64_t>(jump_period_) < static_cast<uint64_t>(jump_hold_)) b |= 0x01;
    return b;
  }

 private:
  void choose() {
    const uint64_t r = xorshift(rng_);
    const unsigned kind = r % 16;
    left_ = 20 + static_cast<int>((r >> 8) % 160);
    mash_ = false;
    jump_period_ = 0;
    switch (kind) {
      case 0:
      case 1:
      case 2:
      case 3:
      case 4:
      case 5:
        base_ = 0x82;  // run right
        jump_period_ = 12 + static_cast<int>((r >> 20) % 50);
        jump_hold_ = 2 + static_cast<int>((r >> 28) % 30);
        break;
      case 6:
      case 7:
        base_ = 0x80;  // walk right
        jump_period_ = 30 + static_cast<int>((r >> 20) % 40);
        jump_hold_ = 10;
        break;
      case 8: base_ = 0x42; break;  // run left
      case 9: base_ = 0x20; break;  // crouch
      case 10: base_ = 0x00; break;
      case 11:
      case 12: mash_ = true; break;
      case 13: base_ = 0x81; break;  // walk right holding A
      default:
        base_ = START_BUTTON;  // a single Start press
        left_ = 1;
        break;
    }
  }

  uint64_t rng_;
  int left_ = 0;
  uint64_t t_ = 0;
  uint8_t base_ = 0;
  bool mash_ = false;
  int jump_period_ = 0;
  int jump_hold_ = 0;
};

// ---------------------------------------------------------------------------
// One accelerator call against the interpreter

// Executes one instruction and charges the clock as the runner does.
uint8_t interpret_one(Console& s, FrameClock& c) {
  const uint8_t op = fetch_opcode(s);
  const uint16_t cycles = cpu_step(s, op);
  c.cycles += cycles;
  c.pending_dots += 3u * cycles;
  return op;
}

// The runner goes on to the next instruction without touching the PPU.
bool runner_continues(const Console& s, const FrameClock& c) {
  return c.cycles <= LAST_BUDGET_CYCLE && c.pending_dots < s.ppu.next_event_dot - s.ppu.frame_dot;
}

// The slot an entry state is handled by: slot 1 with the hit flag up is slot 2's routine.
int routine_slot(const Console& m) {
  const int slot = AcceleratorHooks::slot_at(m.cpu.pc);
  return slot == 1 && (m.ppu.status & 0x40) ? 2 : slot;
}

// Interprets the routine at s.cpu.pc to its exit. The waiting loops (slots 0
// and 1) have none: they run until `loop_cycles`, and the runner must stop
// after exactly their last instruction. Returns "" or what went wrong with
// the way the runner would have run it.
std::string interpret_routine(Console& s, FrameClock& c, int slot, uint64_t loop_cycles) {
  constexpr int LIMIT = 1000000;
  if (slot == 0 || slot == 1) {
    for (int n = 1; n <= LIMIT; ++n) {
      interpret_one(s, c);
      const bool stops = !runner_continues(s, c);
      if (c.cycles >= loop_cycles) {
        if (!stops) return "the runner would have gone on after the accelerator's last instruction";
        return "";
      }
      if (stops) return "the runner would have stopped after instruction " + std::to_string(n);
    }
    return "the loop never reaches the accelerator's cycle count";
  }
  const uint8_t entry_sp = s.cpu.sp;
  for (int n = 0; n < LIMIT; ++n) {
    const uint8_t op = interpret_one(s, c);
    bool done;
    switch (slot) {
      case 2: done = s.cpu.pc == 0x815C; break;
      case 3: done = s.cpu.pc == 0x8119; break;
      case 5: done = s.cpu.pc == 0x81E8; break;
      default: done = op == 0x60 && s.cpu.sp == static_cast<uint8_t>(entry_sp + 2); break;
    }
    if (done) return "";
    if (!runner_continues(s, c))
      return "the runner would have met a PPU event or the budget after instruction " + std::to_string(n + 1);
  }
  return "the routine never reached its exit";
}

struct CallOutcome {
  int slot = -1;  // as routine_slot
  HookResult result = HookResult::NotApplied;
  std::string error;  // "" when the call agrees with the interpreter
  bool applied() const { return result != HookResult::NotApplied; }
};

// Offers `m` to the accelerator at its pc and checks the result: a refusal
// must change nothing; an applied call must equal interpreting the routine
// from the same state and clock (registers, flags, RAM, stack page, PPU,
// controller, DMA debt, exit pc, cycles and pending dots).
CallOutcome check_call(AcceleratorHooks hooks, Console& m, FrameClock& clock, Console& scratch) {
  CallOutcome out;
  out.slot = routine_slot(m);
  const ConsoleState before = m;
  const FrameClock clock_before = clock;
  out.result = hooks.dispatch(m, clock);
  if (!out.applied()) {
    const std::string diff = testing::console_state_diff(before, m);
    if (!diff.empty()) out.error = "a refused call changed " + diff;
    if (clock.cycles != clock_before.cycles || clock.pending_dots != clock_before.pending_dots)
      out.error += " a refused call charged the clock";
    return out;
  }
  static_cast<ConsoleState&>(scratch) = before;
  FrameClock ic = clock_before;
  out.error = interpret_routine(scratch, ic, out.slot, clock.cycles);
  if (!out.error.empty()) return out;
  const std::string diff = testing::console_state_diff(scratch, m);
  if (!diff.empty()) out.error = "differs from the interpreter in " + diff;
  if (ic.cycles != clock.cycles || ic.pending_dots != clock.pending_dots)
    out.error += " clock: interpreter " + std::to_string(ic.cycles - clock_before.cycles) + " cycles, accelerator " +
                 std::to_string(clock.cycles - clock_before.cycles);
  return out;
}

struct EntryCapture {
  ConsoleState state;
  FrameClock clock;
};

struct SlotTally {
  std::array<uint64_t, SLOTS> applied{};
  std::array<uint64_t, SLOTS> refused{};
  std::vector<std::string> failures;
  uint64_t failure_count = 0;
  // The first entry states met per slot, for the crafted tests.
  std::array<std::vector<EntryCapture>, SLOTS> captured;
  size_t capture_limit = 0;

  void record(const CallOutcome& o, const ConsoleState& entry, const FrameClock& clock, const std::string& where) {
    (o.applied() ? applied : refused)[o.slot] += 1;
    if (!o.error.empty()) {
      ++failure_count;
      if (failures.size() < 10) failures.push_back("slot " + std::to_string(o.slot) + " at " + where + ": " + o.error);
    }
    if (captured[o.slot].size() < capture_limit) captured[o.slot].push_back({entry, clock});
  }

  std::string table() const {
    std::string t = "slot  applied  refused\n";
    char line[64];
    for (int s = 0; s < SLOTS; ++s) {
      std::snprintf(line, sizeof line, "%4d %8llu %8llu\n", s, static_cast<unsigned long long>(applied[s]),
                    static_cast<unsigned long long>(refused[s]));
      t += line;
    }
    return t;
  }
};

// Runner hooks that check every accelerator call against the interpreter.
struct CheckedAccelerators {
  static constexpr bool enabled = true;
  static bool wants(uint16_t pc) { return AcceleratorHooks::wants(pc); }

  AcceleratorHooks inner;
  Console* scratch;
  SlotTally* tally;
  std::string where;

  HookResult dispatch(Console& m, FrameClock& clock) {
    const int slot = AcceleratorHooks::slot_at(m.cpu.pc);
    if (slot < 0 || !inner.slot_enabled[slot]) return inner.dispatch(m, clock);
    const ConsoleState entry = m;
    const FrameClock entry_clock = clock;
    const CallOutcome o = check_call(inner, m, clock, *scratch);
    tally->record(o, entry, entry_clock, where);
    return o.result;
  }
};

// One lane frame with the given hooks: the frame, then the done rule.
template <class Hooks>
bool play_frame(Machine& m, uint8_t buttons, Hooks& hooks) {
  NoProfile profile;
  run_frame_with(m, buttons, hooks, profile);
  refresh_game_info(m);
  return static_cast<uint8_t>(m.info.lives) == 0xFF;
}

// Plays `frames` frames from a start state (or from power-on with a Start
// press when `image` is empty), checking every accelerator call.
void play_checked(const std::shared_ptr<const Cartridge>& cart, const std::vector<uint8_t>& image, int frames,
                  uint64_t seed, SlotTally& tally, const std::string& name) {
  Machine m(cart);
  m.accelerator_enabled = detect(*cart);
  Machine scratch(cart);
  auto restart = [&] {
    if (image.empty()) {
      reset_machine(m);
    } else {
      ASSERT_FALSE(load_state_image(m, image.data(), image.size())) << name;
    }
  };
  restart();
  CheckedAccelerators hooks{AcceleratorHooks{m.accelerator_enabled.data()}, &scratch, &tally, name};
  InputScript script(seed);
  for (int f = 0; f < frames; ++f) {
    uint8_t buttons = script.next();
    if (image.empty() && f < 240) buttons = (f >= 200 && f < 205) ? START_BUTTON : 0;  // title, then Start
    hooks.where = name + " frame " + std::to_string(f);
    if (play_frame(m, buttons, hooks)) restart();
  }
}

// Puts the frame end `dots` ahead (with nothing pending). The frame end is
// the event whose timing shows most: the runner returns right after it.
void set_remaining(Console& m, FrameClock& clock, uint64_t dots) {
  clock.pending_dots = 0;
  m.ppu.next_event_dot = FRAME_DOTS;
  m.ppu.frame_dot = FRAME_DOTS - dots;
}

// ---------------------------------------------------------------------------
// Play: every call, and every frame

TEST(AcceleratorPlay, EveryCallMatchesTheInterpreter) {
  REQUIRE_CARTRIDGE(cart);
  REQUIRE_STATES(states);
  SlotTally tally;
  for (size_t i = 0; i < states.size(); ++i)
    play_checked(cart, states[i].image, FRAMES_PER_STATE, 0x9E3779B97F4A7C15ull * (i + 1), tally, states[i].name);
  play_checked(cart, {}, FRAMES_PER_STATE, 77, tally, "power-on");
  std::printf("%s", tally.table().c_str());
  EXPECT_EQ(tally.failure_count, 0u) << [&] {
    std::string all;
    for (const auto& f : tally.failures) all += f + "\n";
    return all;
  }();
  for (int s = 0; s < SLOTS; ++s) EXPECT_GT(tally.applied[s], 0u) << "slot " << s << " never applied in play";
  // Refusals that play reaches: the timer countdown, the table update, the
  // controller read and the score comparison run close to a PPU event at
  // times. The other slots run far from any event (the waiting loops never
  // refuse at all); AcceleratorGuards forces their refusals.
  for (int s : {3, 5, 6, 7}) EXPECT_GT(tally.refused[s], 0u) << "slot " << s << " never refused in play";
}

TEST(AcceleratorPlay, FramesMatchWithAcceleratorsOff) {
  REQUIRE_CARTRIDGE(cart);
  REQUIRE_STATES(states);
  std::vector<StartState> runs = states;
  runs.push_back({"power-on", {}});
  for (size_t i = 0; i < runs.size(); ++i) {
    const StartState& run = runs[i];
    Machine fast(cart);
    Machine plain(cart);
    fast.accelerator_enabled = detect(*cart);
    plain.accelerator_enabled.fill(0);
    auto restart = [&](Machine& m) {
      if (run.image.empty()) {
        reset_machine(m);
      } else {
        ASSERT_FALSE(load_state_image(m, run.image.data(), run.image.size())) << run.name;
      }
    };
    restart(fast);
    restart(plain);
    InputScript script(0xD1B54A32D192ED03ull * (i + 3));
    uint64_t restarts = 0;
    for (int f = 0; f < FRAMES_PER_STATE; ++f) {
      uint8_t buttons = script.next();
      if (run.image.empty() && f < 240) buttons = (f >= 200 && f < 205) ? START_BUTTON : 0;
      const float r_fast = step_frame(fast, buttons);
      const float r_plain = step_frame(plain, buttons);
      const std::string diff = testing::console_state_diff(fast, plain);
      ASSERT_EQ(diff, "") << run.name << " frame " << f;
      ASSERT_TRUE(fast.info == plain.info) << run.name << " frame " << f;
      ASSERT_EQ(fast.terminated, plain.terminated) << run.name << " frame " << f;
      ASSERT_EQ(r_fast, r_plain) << run.name << " frame " << f;
      if (fast.terminated) {
        ++restarts;
        restart(fast);
        restart(plain);
      }
    }
    RecordProperty(run.name + " restarts", static_cast<int>(restarts));
  }
}

// ---------------------------------------------------------------------------
// Crafted entry states

// The first entry states of every slot met while playing a few hundred frames.
SlotTally capture_entries(const std::shared_ptr<const Cartridge>& cart, const std::vector<StartState>& states) {
  SlotTally tally;
  tally.capture_limit = 4;
  for (size_t i = 0; i < states.size() && i < 3; ++i)
    play_checked(cart, states[i].image, 300, 1000 + i, tally, states[i].name);
  EXPECT_EQ(tally.failure_count, 0u) << (tally.failures.empty() ? "" : tally.failures.front());
  return tally;
}

// A machine with every slot enabled holding `state`.
Machine machine_at(const std::shared_ptr<const Cartridge>& cart, const ConsoleState& state) {
  Machine m(cart);
  m.accelerator_enabled = detect(*cart);
  static_cast<ConsoleState&>(m) = state;
  return m;
}

// Cycles the routine takes from this state when interpreted inside a wide window.
uint64_t interpreted_cycles(const std::shared_ptr<const Cartridge>& cart, const ConsoleState& state, int slot) {
  Machine s = machine_at(cart, state);
  FrameClock c;
  set_remaining(s, c, 80000);
  EXPECT_EQ(interpret_routine(s, c, slot, 0), "");
  return c.cycles;
}

// One frame from `m` with its accelerators and with none must end alike.
std::string frame_with_and_without(const Machine& m) {
  Machine fast = m;
  Machine plain = m;
  plain.accelerator_enabled.fill(0);
  run_machine_frame(fast, 0);
  run_machine_frame(plain, 0);
  return testing::console_state_diff(fast, plain);
}

// Smallest distance to the next event (in dots) at which the slot applies.
uint64_t guard_dots(int slot, const Console& m, uint64_t cycles) {
  switch (slot) {
    case 3:
    case 7:
    case 11:
    case 12: return 3 * cycles + 1;  // strictly inside the window
    case 5: return 120u * (m.cpu.x <= 0x80 ? m.cpu.x + 1u : 1u);
    case 9: return 3u * m.extra_cycles + 480;
    case 10: return 3u * m.extra_cycles + 1981;
    default: return 3 * cycles;  // slots 2, 4, 6, 8: up to the event itself
  }
}

TEST(AcceleratorGuards, OneDotShortRefusesExactlyAtTheGuardApplies) {
  REQUIRE_CARTRIDGE(cart);
  REQUIRE_STATES(states);
  const SlotTally tally = capture_entries(cart, states);
  for (int slot = 2; slot < SLOTS; ++slot) {
    ASSERT_FALSE(tally.captured[slot].empty()) << "slot " << slot << " not met in play";
    for (const EntryCapture& e : tally.captured[slot]) {
      Machine m = machine_at(cart, e.state);
      Machine scratch(cart);
      const uint64_t cycles = interpreted_cycles(cart, e.state, slot);
      const uint64_t guard = guard_dots(slot, m, cycles);
      SCOPED_TRACE("slot " + std::to_string(slot) + ", " + std::to_string(cycles) + " cycles, guard " +
                   std::to_string(guard) + " dots");

      FrameClock clock;
      set_remaining(m, clock, guard - 1);
      const Machine short_of_guard = m;
      CallOutcome o = check_call(AcceleratorHooks{m.accelerator_enabled.data()}, m, clock, scratch);
      EXPECT_FALSE(o.applied()) << "one dot short of the guard";
      EXPECT_EQ(o.error, "");
      EXPECT_EQ(frame_with_and_without(short_of_guard), "") << "the interpreter runs the routine across the event";

      m = machine_at(cart, e.state);
      clock = FrameClock{};
      set_remaining(m, clock, guard);
      const Machine at_guard = m;
      o = check_call(AcceleratorHooks{m.accelerator_enabled.data()}, m, clock, scratch);
      EXPECT_TRUE(o.applied()) << "exactly at the guard";
      EXPECT_EQ(o.error, "");
      EXPECT_EQ(frame_with_and_without(at_guard), "");
    }
  }
}

TEST(AcceleratorGuards, CycleBudget) {
  REQUIRE_CARTRIDGE(cart);
  REQUIRE_STATES(states);
  const SlotTally tally = capture_entries(cart, states);
  // Cycles each slot's budget test reserves: the routine's own count, or the
  // bound of the position routine.
  for (int slot = 2; slot < SLOTS; ++slot) {
    if (slot == 5 || slot == 9) continue;  // bounded by their longest turn / path instead
    ASSERT_FALSE(tally.captured[slot].empty()) << "slot " << slot;
    const EntryCapture& e = tally.captured[slot].front();
    const uint64_t cycles = interpreted_cycles(cart, e.state, slot);
    const uint64_t reserve = slot == 10 ? 660u + e.state.extra_cycles : cycles;
    SCOPED_TRACE("slot " + std::to_string(slot));
    for (const bool over : {true, false}) {
      Machine m = machine_at(cart, e.state);
      Machine scratch(cart);
      FrameClock clock;
      set_remaining(m, clock, 80000);
      clock.cycles = LAST_BUDGET_CYCLE - reserve + (over ? 1 : 0);
      const CallOutcome o = check_call(AcceleratorHooks{m.accelerator_enabled.data()}, m, clock, scratch);
      EXPECT_EQ(o.applied(), !over) << (over ? "one cycle over the budget" : "exactly at the budget");
      EXPECT_EQ(o.error, "");
    }
  }
}

TEST(AcceleratorGuards, WaitingLoopsRunWholeTurnsToTheEvent) {
  REQUIRE_CARTRIDGE(cart);
  REQUIRE_STATES(states);
  const SlotTally tally = capture_entries(cart, states);
  ASSERT_FALSE(tally.captured[0].empty());
  ASSERT_FALSE(tally.captured[1].empty());

  // Idle JMP: 900 dots to the event are 100 turns of 3 cycles, and the tick
  // that follows lands exactly on the event.
  {
    Machine m = machine_at(cart, tally.captured[0].front().state);
    FrameClock clock;
    m.ppu.next_event_dot = VBLANK_END_DOT;
    m.ppu.frame_dot = VBLANK_END_DOT - 900;
    m.ppu.status = 0xC0;
    AcceleratorHooks hooks{m.accelerator_enabled.data()};
    EXPECT_EQ(hooks.dispatch(m, clock), HookResult::Synchronise);
    EXPECT_EQ(clock.cycles, 300u);
    EXPECT_EQ(clock.pending_dots, 900u);
    EXPECT_EQ(m.cpu.pc, 0x8057);
    ppu_tick(m, clock.pending_dots);
    EXPECT_EQ(m.ppu.frame_dot, VBLANK_END_DOT);
    EXPECT_EQ(m.ppu.status, 0x00) << "the vblank-end event was processed";
  }
  // Every distance, near the budget too, against the interpreter's own stop.
  for (int slot : {0, 1}) {
    for (const EntryCapture& e : tally.captured[slot]) {
      for (uint64_t dots : {1u, 8u, 9u, 10u, 26u, 27u, 28u, 901u, 5000u}) {
        for (uint64_t start : {uint64_t{0}, LAST_BUDGET_CYCLE - 20, LAST_BUDGET_CYCLE - 2}) {
          Machine m = machine_at(cart, e.state);
          Machine scratch(cart);
          FrameClock clock;
          set_remaining(m, clock, dots);
          clock.cycles = start;
          const CallOutcome o = check_call(AcceleratorHooks{m.accelerator_enabled.data()}, m, clock, scratch);
          EXPECT_EQ(o.error, "") << "slot " << slot << " dots " << dots << " start " << start;
          EXPECT_TRUE(o.applied()) << "slot " << slot << " dots " << dots;
        }
      }
    }
  }
  // Loops that end at the frame end, or at vblank with an NMI, end after the
  // very instruction the CPU would have ended them with.
  for (int slot : {0, 1}) {
    for (const EntryCapture& e : tally.captured[slot]) {
      for (uint64_t dots : {1u, 12u, 13u, 18u, 19u, 27u, 28u, 40u, 100u, 340u}) {
        for (const bool vblank : {false, true}) {
          Machine m = machine_at(cart, e.state);
          m.ppu.next_event_dot = vblank ? VBLANK_START_DOT : FRAME_DOTS;
          m.ppu.frame_dot = m.ppu.next_event_dot - dots;
          if (vblank) m.ppu.ctrl |= 0x80;
          EXPECT_EQ(frame_with_and_without(m), "") << "slot " << slot << " dots " << dots << " vblank " << vblank;
        }
      }
    }
  }
  // Slot 1 with the hit up needs slot 2.
  ASSERT_FALSE(tally.captured[2].empty());
  Machine m = machine_at(cart, tally.captured[2].front().state);
  m.accelerator_enabled[2] = 0;
  FrameClock clock;
  set_remaining(m, clock, 50000);
  AcceleratorHooks hooks{m.accelerator_enabled.data()};
  EXPECT_EQ(hooks.dispatch(m, clock), HookResult::NotApplied);
}

TEST(AcceleratorCrafted, DmaDebtIsChargedOrLeftToTheCpu) {
  REQUIRE_CARTRIDGE(cart);
  REQUIRE_STATES(states);
  const SlotTally tally = capture_entries(cart, states);
  for (int slot = 0; slot < SLOTS; ++slot) {
    ASSERT_FALSE(tally.captured[slot].empty()) << "slot " << slot;
    ConsoleState state = tally.captured[slot].front().state;
    state.extra_cycles = OAM_DMA_CYCLES;
    Machine m = machine_at(cart, state);
    Machine scratch(cart);
    FrameClock clock;
    set_remaining(m, clock, 60000);
    const Machine entry = m;
    const CallOutcome o = check_call(AcceleratorHooks{m.accelerator_enabled.data()}, m, clock, scratch);
    EXPECT_EQ(o.error, "") << "slot " << slot;
    // Slots 6-12 fold the debt into their count; the others leave the first
    // instruction, which pays it, to the CPU.
    EXPECT_EQ(o.applied(), slot >= 6) << "slot " << slot;
    if (o.applied()) {
      EXPECT_EQ(m.extra_cycles, 0u) << "slot " << slot;
    }
    EXPECT_EQ(frame_with_and_without(entry), "") << "slot " << slot;
  }
}

TEST(AcceleratorCrafted, ControllerStrobeAndSpriteZeroEntry) {
  REQUIRE_CARTRIDGE(cart);
  REQUIRE_STATES(states);
  const SlotTally tally = capture_entries(cart, states);
  ASSERT_FALSE(tally.captured[6].empty());
  ASSERT_FALSE(tally.captured[4].empty());

  // Strobe held high with A pressed: all eight reads see A.
  ConsoleState state = tally.captured[6].front().state;
  state.cpu.x = 0;
  state.controller_strobe = 1;
  state.controller_state = 0x01;
  state.controller_shift = 0x5A;
  Machine m = machine_at(cart, state);
  Machine scratch(cart);
  FrameClock clock;
  set_remaining(m, clock, 60000);
  CallOutcome o = check_call(AcceleratorHooks{m.accelerator_enabled.data()}, m, clock, scratch);
  ASSERT_TRUE(o.applied());
  EXPECT_EQ(o.error, "");
  EXPECT_EQ(m.ram[0x100 + state.cpu.sp], 0xFF) << "bits left in the stack page";
  EXPECT_EQ(m.ram[0x00], 0x41) << "last byte read";
  EXPECT_EQ(m.controller_shift, 0x5A) << "reads with the strobe up do not shift";

  // The sprite clearing loop starts at sprite 1.
  state = tally.captured[4].front().state;
  state.ram[0x200] = 0x5A;
  m = machine_at(cart, state);
  clock = FrameClock{};
  set_remaining(m, clock, 60000);
  o = check_call(AcceleratorHooks{m.accelerator_enabled.data()}, m, clock, scratch);
  ASSERT_TRUE(o.applied());
  EXPECT_EQ(o.error, "");
  EXPECT_EQ(m.ram[0x200], 0x5A);
  EXPECT_EQ(m.ram[0x2FC], 0xF8);
}

TEST(AcceleratorCrafted, RandomisedEntryStatesMatchTheInterpreter) {
  REQUIRE_CARTRIDGE(cart);
  REQUIRE_STATES(states);
  const SlotTally tally = capture_entries(cart, states);
  uint64_t rng = 0x2545F4914F6CDD1Dull;
  for (int slot = 0; slot < SLOTS; ++slot) {
    ASSERT_FALSE(tally.captured[slot].empty()) << "slot " << slot;
    const EntryCapture& e = tally.captured[slot].front();
    int applied = 0, refused = 0;
    for (int trial = 0; trial < 400; ++trial) {
      ConsoleState state = e.state;
      for (auto& b : state.ram) b = static_cast<uint8_t>(xorshift(rng));
      const uint64_t r = xorshift(rng);
      state.cpu.a = static_cast<uint8_t>(r);
      state.cpu.x = static_cast<uint8_t>(r >> 8);
      state.cpu.y = static_cast<uint8_t>(r >> 16);
      state.cpu.p = static_cast<uint8_t>((r >> 24) | 0x20);
      state.cpu.sp = static_cast<uint8_t>(r >> 32);
      if (slot == 6) state.cpu.x %= 3;  // the two ports, and one the routine is not used with
      if (slot == 3 || slot == 5 || slot == 7) state.cpu.x &= 0x8F;
      if (slot == 7) state.cpu.y = static_cast<uint8_t>((r >> 16) % 8 == 0 ? r >> 16 : (r >> 16) % 7);
      state.controller_strobe = (r >> 40) & 1;
      state.controller_shift = static_cast<uint8_t>(r >> 41);
      state.controller_state = static_cast<uint8_t>(r >> 49);
      if (slot <= 2) state.ppu.status = static_cast<uint8_t>((r >> 56) & 0x80) | (slot == 2 ? 0x40 : 0x00);
      state.ppu.first_write = (r >> 57) & 1;
      state.extra_cycles = (r >> 58) % 4 == 0 ? static_cast<uint16_t>((r >> 40) % 600) : 0;
      Machine m = machine_at(cart, state);
      Machine scratch(cart);
      FrameClock clock;
      const uint64_t r2 = xorshift(rng);
      set_remaining(m, clock, r2 % 3 == 0 ? 1 + (r2 >> 8) % 4000 : 80000);
      clock.cycles = (r2 >> 40) % 5 == 0 ? LAST_BUDGET_CYCLE - (r2 >> 20) % 2000 : (r2 >> 20) % 20000;
      const CallOutcome o = check_call(AcceleratorHooks{m.accelerator_enabled.data()}, m, clock, scratch);
      ASSERT_EQ(o.error, "") << "slot " << slot << " trial " << trial;
      (o.applied() ? applied : refused) += 1;
    }
    EXPECT_GT(applied, 0) << "slot " << slot;
    RecordProperty("slot " + std::to_string(slot) + " applied", applied);
  }
}

// ---------------------------------------------------------------------------
// Signature detection

// Slots whose expected bytes cover CPU address `a`.
std::array<bool, SLOTS> slots_covering(uint16_t a) {
  std::array<bool, SLOTS> covers{};
  for (int s = 0; s < SLOTS; ++s)
    for (const SignatureSegment& seg : ACCELERATOR_SIGNATURES[s])
      if (seg.size && a >= seg.address && a < seg.address + seg.size) covers[s] = true;
  return covers;
}

TEST(AcceleratorDetection, SupportedCartridgeEnablesEverySlot) {
  REQUIRE_CARTRIDGE(cart);
  const auto enabled = detect(*cart);
  for (int s = 0; s < SLOTS; ++s) EXPECT_EQ(enabled[s], 1) << "slot " << s;
}

TEST(AcceleratorDetection, ChangedByteDisablesItsSlots) {
  REQUIRE_CARTRIDGE(cart);
  for (int s = 0; s < SLOTS; ++s) {
    for (const SignatureSegment& seg : ACCELERATOR_SIGNATURES[s]) {
      if (!seg.size) continue;
      for (const uint16_t a : {seg.address, static_cast<uint16_t>(seg.address + seg.size - 1)}) {
        std::vector<uint8_t> prg = cart->prg_rom;
        prg[a & 0x7FFF] ^= 0x01;
        const auto enabled = detect_accelerators(prg.data(), prg.size(), 0x7FFF);
        auto expected_off = slots_covering(a);
        if (expected_off[1]) expected_off[2] = true;  // slot 2 only with slot 1
        for (int t = 0; t < SLOTS; ++t)
          EXPECT_EQ(enabled[t], expected_off[t] ? 0 : 1) << "byte at " << std::hex << a << std::dec << ", slot " << t;
      }
    }
  }
  // The shared pieces: the pointer routine belongs to slots 8 and 9, the
  // compare-and-scale routine to slots 10 and 11.
  EXPECT_TRUE(slots_covering(0x9BE5)[8] && slots_covering(0x9BE5)[9]);
  EXPECT_TRUE(slots_covering(0xF270)[10] && slots_covering(0xF270)[11]);
}

TEST(AcceleratorDetection, SlotTwoNeedsSlotOne) {
  REQUIRE_CARTRIDGE(cart);
  std::vector<uint8_t> prg = cart->prg_rom;
  prg[0x8150 & 0x7FFF] = 0xEA;
  auto enabled = detect_accelerators(prg.data(), prg.size(), 0x7FFF);
  EXPECT_EQ(enabled[1], 0);
  EXPECT_EQ(enabled[2], 0) << "its own bytes match, but slot 1 is off";
  prg = cart->prg_rom;
  prg[0x8158 & 0x7FFF] = 0x13;
  enabled = detect_accelerators(prg.data(), prg.size(), 0x7FFF);
  EXPECT_EQ(enabled[1], 1);
  EXPECT_EQ(enabled[2], 0);
}

TEST(AcceleratorDetection, SixteenKibImagesAndBytesBeyondThePrg) {
  REQUIRE_CARTRIDGE(cart);
  ASSERT_EQ(cart->prg_rom.size(), 32768u);
  const std::vector<uint8_t> low(cart->prg_rom.begin(), cart->prg_rom.begin() + 16384);
  const std::vector<uint8_t> high(cart->prg_rom.begin() + 16384, cart->prg_rom.end());
  // Slots 0-8 live at 0x8000-0xBFFF, slots 10-12 at 0xC000-0xFFFF; slot 9
  // needs both halves.
  auto in_low_half = [](int s) { return s <= 8; };
  auto in_high_half = [](int s) { return s >= 10; };

  // A 16 KiB image seen through the 16 KiB mirror.
  auto enabled = detect_accelerators(low.data(), low.size(), 0x3FFF);
  for (int s = 0; s < SLOTS; ++s) EXPECT_EQ(enabled[s], in_low_half(s) ? 1 : 0) << "low half, slot " << s;
  enabled = detect_accelerators(high.data(), high.size(), 0x3FFF);
  for (int s = 0; s < SLOTS; ++s) EXPECT_EQ(enabled[s], in_high_half(s) ? 1 : 0) << "high half, slot " << s;

  // A 32 KiB mask over 16 KiB of bytes: addresses past the end never match.
  enabled = detect_accelerators(low.data(), low.size(), 0x7FFF);
  for (int s = 0; s < SLOTS; ++s) EXPECT_EQ(enabled[s], in_low_half(s) ? 1 : 0) << "short image, slot " << s;
  enabled = detect_accelerators(cart->prg_rom.data(), 0, 0x7FFF);
  for (int s = 0; s < SLOTS; ++s) EXPECT_EQ(enabled[s], 0) << "empty image, slot " << s;
}

}  // namespace
}  // namespace tt
