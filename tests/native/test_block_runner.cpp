// Translated blocks against the interpreter: the whole console after every
// frame, over every start state and power-on with seeded random play, with a
// lane switching engines between frames; code in work RAM, writes into PRG,
// bus writes in the middle of a block; and the opcode facts the translation
// relies on.
#include <gtest/gtest.h>

#include <random>

#include "core/block_runner.h"
#include "core/frame_runner.h"
#include "driver/accelerators.h"
#include "driver/frame_step.h"
#include "driver/state_image.h"
#include "test_support.h"

namespace tt {
namespace {

// Buttons held for a random number of frames; Start rarely.
struct RandomPlay {
  std::mt19937_64 rng;
  uint8_t buttons = 0;
  int left = 0;
  explicit RandomPlay(uint64_t seed) : rng(seed) {}
  uint8_t next() {
    if (left-- <= 0) {
      buttons = static_cast<uint8_t>(rng() & 0xF7);
      if (rng() % 32 == 0) buttons |= 0x08;
      left = static_cast<int>(rng() % 40);
    }
    return buttons;
  }
};

// Lanes from one start: interpreted, translated, as host code (where the
// host has it), and one that picks one of those engines at random before
// every frame. All must stay identical.
void expect_engines_agree(const Machine& start, int frames, uint64_t seed, const std::string& name) {
  ASSERT_TRUE(start.translated);
  ASSERT_EQ(start.native != nullptr, native_code_supported());
  Machine interp = start, blocks = start, native = start, switching = start;
  interp.translated = nullptr;
  interp.native = blocks.native = nullptr;
  RandomPlay play(seed);
  std::mt19937_64 pick(seed ^ 0x5EED);
  for (int f = 0; f < frames; ++f) {
    const uint8_t buttons = play.next();
    const uint64_t engine = pick() % 3;
    switching.translated = engine ? start.translated : nullptr;
    switching.native = engine == 2 ? start.native : nullptr;
    run_machine_frame(interp, buttons);
    run_machine_frame(blocks, buttons);
    run_machine_frame(switching, buttons);
    ASSERT_EQ(testing::console_state_diff(blocks, interp), "") << name << " frame " << f;
    ASSERT_EQ(testing::console_state_diff(switching, interp), "") << name << " switching, frame " << f;
    if (start.native) {
      run_machine_frame(native, buttons);
      ASSERT_EQ(testing::console_state_diff(native, interp), "") << name << " native, frame " << f;
    }
  }
}

TEST(BlockRunner, EveryStartAndPowerOnMatchTheInterpreter) {
  const auto cart = testing::supported_cartridge();
  if (!cart) GTEST_SKIP() << "supported cartridge not available (set TANUVEX_TURBO_ROM)";
  const std::string dir = testing::states_dir();
  if (dir.empty()) GTEST_SKIP() << "start states not available (set TANUVEX_TURBO_STATES)";
  Machine proto(cart);
  proto.accelerator_enabled = detect_accelerators(cart->prg_rom.data(), cart->prg_rom.size(), proto.prg_mask);
  proto.translated = translate_lane_code(*cart);
  proto.native = native_lane_code(proto.translated);
  const auto files = testing::list_state_files(dir);
  ASSERT_FALSE(files.empty());
  uint64_t seed = 1;
  for (const auto& file : files) {
    Machine m = proto;
    const auto image = testing::gunzip(testing::read_bytes(file));
    ASSERT_FALSE(load_state_image(m, image.data(), image.size())) << file;
    expect_engines_agree(m, 4000, seed++, file);
  }
  Machine m = proto;
  reset_machine(m);
  expect_engines_agree(m, 4000, seed, "power-on");
}

// The translation of the whole PRG, walked block by block as the runner
// walks it: every guard is the worst case of its block's instructions before
// the last one at least and within the limit, and every accelerator entry is
// a stop.
TEST(BlockRunner, TranslationInvariantsOverTheWholePrg) {
  const auto cart = testing::supported_cartridge();
  if (!cart) GTEST_SKIP() << "supported cartridge not available (set TANUVEX_TURBO_ROM)";
  const auto t = translate_lane_code(*cart);
  for (size_t slot = 0; slot < ACCELERATOR_SLOTS; ++slot) {
    if (slot != 2) {
      EXPECT_EQ(t->ops[ACCELERATOR_ENTRY_PC[slot]].handler, OP_STOP) << "slot " << slot;
    }
  }
  size_t blocks = 0, cuts = 0;
  for (unsigned pc = 0x8000; pc <= 0xFFFF; ++pc) {
    const TranslatedOp& op = t->ops[pc];
    if (op.handler == OP_INTERPRET || op.handler == OP_OUTSIDE) continue;
    unsigned worst = 0;
    for (unsigned at = pc;;) {
      const OpcodeInfo info = OPCODE_INFO[t->opcode_at(static_cast<uint16_t>(at))];
      const unsigned next = at + info.length;
      ASSERT_LE(next, 0x10000u) << "pc " << pc;  // such instructions are left to the interpreter
      if (info.changes_flow) break;
      ASSERT_LT(next, 0x10000u) << "pc " << pc;
      if (is_marker(t->ops[next].handler)) break;
      worst += info.max_cycles;
      at = next;
    }
    // A guard may exceed its block's worst case (bytes decoded at an
    // offset into an instruction before a cut), never fall short of it.
    ASSERT_GE(op.guard, worst) << "pc " << pc;
    ASSERT_LE(op.guard, MAX_BLOCK_GUARD) << "pc " << pc;
    ++blocks;
    cuts += op.handler == OP_STOP;  // entries, then the cuts that keep blocks short
  }
  cuts -= ACCELERATOR_SLOTS - 1;
  EXPECT_GT(blocks, 20000u);
  EXPECT_GT(cuts, 0u) << "no block reached the guard limit";
}

// Hooks that count the accelerators that applied, per slot.
struct CountingHooks {
  static constexpr bool enabled = true;
  AcceleratorHooks inner;
  std::array<uint64_t, ACCELERATOR_SLOTS> applied{};
  bool offers(uint16_t pc) const { return inner.offers(pc); }
  HookResult dispatch(Console& m, FrameClock& clock) {
    const int slot = AcceleratorHooks::slot_at(m.cpu.pc);
    const HookResult result = inner.dispatch(m, clock);
    if (result != HookResult::NotApplied) ++applied[static_cast<size_t>(slot)];
    return result;
  }
};

// Blocks offer the machine to the accelerators exactly where the interpreter does.
TEST(BlockRunner, AcceleratorsAreEnteredFromBlocksAsFromTheInterpreter) {
  const auto cart = testing::supported_cartridge();
  if (!cart) GTEST_SKIP() << "supported cartridge not available (set TANUVEX_TURBO_ROM)";
  Machine m(cart);
  m.accelerator_enabled = detect_accelerators(cart->prg_rom.data(), cart->prg_rom.size(), m.prg_mask);
  m.translated = translate_lane_code(*cart);
  reset_machine(m);
  Machine interp = m;
  CountingHooks by_blocks{{m.accelerator_enabled.data()}}, by_interpreter{{interp.accelerator_enabled.data()}};
  NoProfile profile;
  RandomPlay play(11);
  for (int f = 0; f < 1500; ++f) {
    const uint8_t buttons = play.next();
    run_frame_with(m, buttons, by_blocks, profile, m.translated.get());
    run_frame_with(interp, buttons, by_interpreter, profile, nullptr);
  }
  EXPECT_EQ(by_blocks.applied, by_interpreter.applied);
  size_t slots_used = 0;
  for (uint64_t count : by_blocks.applied) slots_used += count > 0;
  EXPECT_GE(slots_used, 6u);
  EXPECT_EQ(testing::console_state_diff(m, interp), "");
}

// A tiny program that runs code in work RAM which rewrites itself, writes
// into PRG, raises NMIs and OAM DMA debt with writes in the middle of a
// block, and runs an instruction whose successor lies past 0xFFFF.
std::shared_ptr<const Cartridge> awkward_cartridge() {
  std::vector<uint8_t> code(0x200, 0xEA);
  const std::vector<uint8_t> init = {
      0xA2, 0xFF, 0x9A,        // 8000 LDX #$FF; TXS
      0xA2, 0x0F,              // 8003 LDX #$0F
      0xBD, 0x00, 0x81,        // 8005 LDA $8100,X   copy the RAM routine to 0x0300
      0x9D, 0x00, 0x03,        // 8008 STA $0300,X
      0xCA, 0x10, 0xF7,        // 800B DEX; BPL $8005
      0xA9, 0x80,              // 800E LDA #$80
      0x8D, 0x00, 0x20,        // 8010 STA $2000     NMI on
      0xA9, 0x4C, 0x85, 0x00,  // 8013 0x0000: JMP $8020
      0xA9, 0x20, 0x85, 0x01,  // 8017
      0xA9, 0x80, 0x85, 0x02,  // 801B
      0xEA,                    // 801F
      0xE6, 0x10,              // 8020 INC $10
      0x20, 0x00, 0x03,        // 8022 JSR $0300     code in RAM
      0x8D, 0x00, 0x90,        // 8025 STA $9000     a write into PRG
      0xA5, 0x10, 0x09, 0x80,  // 8028 LDA $10; ORA #$80
      0x8D, 0x00, 0x20,        // 802C STA $2000     NMI on again: raises it in vblank
      0xA6, 0x10,              // 802F LDX $10
      0x9D, 0x03, 0x20,        // 8031 STA $2003,X   some PPU register
      0x29, 0x07,              // 8034 AND #$07
      0xD0, 0x03,              // 8036 BNE $803B
      0x4C, 0xFE, 0xFF,        // 8038 JMP $FFFE     LDA #$42 there, then 0x0000
      0xA9, 0x02,              // 803B LDA #$02
      0x8D, 0x14, 0x40,        // 803D STA $4014     DMA debt
      0xE8,                    // 8040 INX
      0x4C, 0x20, 0x80,        // 8041 JMP $8020
  };
  std::copy(init.begin(), init.end(), code.begin());
  const std::vector<uint8_t> nmi = {
      0x48, 0xA9, 0x00, 0x8D, 0x00, 0x20,  // 8060 PHA; LDA #0; STA $2000 (NMI off, vblank left set)
      0xE6, 0x11, 0x68, 0x40,              // 8066 INC $11; PLA; RTI
  };
  std::copy(nmi.begin(), nmi.end(), code.begin() + 0x60);
  const std::vector<uint8_t> ram_routine = {
      0xEE, 0x04, 0x03,  // 0300 INC $0304   rewrite the next instruction's operand
      0xA9, 0x00,        // 0303 LDA #$00
      0x85, 0x12,        // 0305 STA $12
      0x60,              // 0307 RTS
  };
  std::copy(ram_routine.begin(), ram_routine.end(), code.begin() + 0x100);
  // The IRQ vector's bytes double as `LDA #$42` at 0xFFFE.
  return testing::tiny_cartridge(code, 0x8000, 0x8060, 0x42A9);
}

TEST(BlockRunner, RamCodeAndBusWritesMidBlockMatchTheInterpreter) {
  const auto cart = awkward_cartridge();
  Machine start(cart);
  power_on_console(start);
  start.translated = translate_prg(cart->prg_rom.data(), cart->prg_rom.size(), {});
  start.native = build_native_code(start.translated, {});
  const uint8_t prg_byte = cart->prg_rom[0x1000];
  expect_engines_agree(start, 300, 7, "crafted");
  // P restored without bit 5: the first instruction that writes N or Z sets it.
  Machine clear_bit5 = start;
  clear_bit5.cpu.p = 0x04;
  expect_engines_agree(clear_bit5, 3, 8, "crafted, bit 5 clear");

  Machine blocks = start;
  blocks.native = nullptr;
  for (int f = 0; f < 300; ++f) run_machine_frame(blocks, 0);
  EXPECT_GT(blocks.ram[0x11], 0) << "NMIs must have run";
  EXPECT_NE(blocks.ram[0x12], 0) << "the RAM routine must have rewritten itself";
  EXPECT_EQ(blocks.ppu.oam[0], blocks.ram[0x200]) << "the DMA must have run";
  EXPECT_EQ(cart->prg_rom[0x1000], prg_byte);
}

TEST(BlockRunner, CpuTestImageFramesMatchTheInterpreter) {
  const std::string dir = testing::test_roms_dir();
  if (dir.empty()) GTEST_SKIP() << "public CPU test image not found (set TANUVEX_TURBO_TEST_ROMS)";
  auto parsed = parse_ines(testing::read_bytes(dir + "/nestest.nes"));
  ASSERT_TRUE(std::holds_alternative<Cartridge>(parsed));
  const auto cart = std::make_shared<const Cartridge>(std::get<Cartridge>(std::move(parsed)));
  Machine start(cart);
  power_on_console(start);
  start.cpu.pc = 0xC000;  // automatic mode: every instruction group, then the undocumented ones
  start.translated = translate_prg(cart->prg_rom.data(), cart->prg_rom.size(), {});
  start.native = build_native_code(start.translated, {});
  expect_engines_agree(start, 40, 3, "cpu test image");
}

// The translation's length and worst-case cycles of every opcode, against
// the interpreter with every indexed access crossing a page.
TEST(BlockRunner, OpcodeFactsMatchTheInterpreter) {
  for (unsigned op = 0; op < 256; ++op) {
    // Operand 0x10FF: absolute addresses in RAM mirrors, zero-page pointers
    // at 0xFF (RAM is 0xFF: pointer 0xFFFF), X = Y = 0xFF.
    const auto cart = testing::tiny_cartridge({static_cast<uint8_t>(op), 0xFF, 0x10});
    Console m(cart);
    power_on_console(m);
    m.cpu.x = m.cpu.y = 0xFF;
    const unsigned cycles = cpu_step(m, fetch_opcode(m));
    const OpcodeInfo info = OPCODE_INFO[op];
    if (info.changes_flow) {
      EXPECT_LE(cycles, info.max_cycles) << "opcode " << op;
    } else {
      EXPECT_EQ(cycles, info.max_cycles) << "opcode " << op;
      EXPECT_EQ(m.cpu.pc, 0x8000 + info.length) << "opcode " << op;
    }
  }
}

}  // namespace
}  // namespace tt
