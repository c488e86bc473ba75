// The portable machine blob: layout, round trips on real play, and every refusal.
#include <gtest/gtest.h>

#include <cstring>

#include "core/palette.h"
#include "core/sha256.h"
#include "driver/accelerators.h"
#include "driver/frame_step.h"
#include "driver/portable_machine.h"
#include "driver/state_image.h"
#include "test_support.h"

namespace tt {
namespace {

std::string decode_error(const std::vector<uint8_t>& blob, const Machine& target) {
  auto r = decode_portable_machine(blob.data(), blob.size(), target);
  if (auto* e = std::get_if<std::string>(&r)) return *e;
  return "";
}

Machine synthetic_machine() {
  Machine m(testing::tiny_cartridge({0x4C, 0x00, 0x80}));
  reset_machine(m);
  for (size_t i = 0; i < m.ram.size(); ++i) m.ram[i] = static_cast<uint8_t>(i * 13);
  m.cpu = CpuRegisters{0x8123, 1, 2, 3, 0xF0, 0xE5};
  m.controller_state = 0x81;
  m.controller_shift = 0x40;
  m.controller_strobe = 1;
  m.extra_cycles = 513;
  m.ppu.palette[3] = 0x2A;
  m.ppu.scroll_x_px = 0x1F0;
  m.ppu.frame_dot = 7200;
  m.ppu.next_event_dot = SPRITE0_HIT_DOT;
  m.ppu.frame = 0x0102030405060708ull;
  m.ppu.has_scroll_override = 1;
  m.ppu.scroll_override_x_px = 77;
  m.terminated = 1;
  return m;
}

TEST(PortableMachine, LayoutAndRoundTrip) {
  const Machine src = synthetic_machine();
  const auto blob = encode_portable_machine(src);
  ASSERT_EQ(blob.size(), PORTABLE_MACHINE_BYTES);
  EXPECT_EQ(std::memcmp(blob.data(), "NROMGM1\0", 8), 0);
  EXPECT_EQ(blob[8], 1);
  EXPECT_EQ(std::memcmp(blob.data() + 9, "NROMST1\0", 8), 0);
  EXPECT_EQ(blob[9 + 12], 0x23);  // cpu.pc little-endian
  EXPECT_EQ(blob[9 + 13], 0x81);
  EXPECT_EQ(blob[9 + 15 + 5], src.ram[5]);
  EXPECT_EQ(blob[9 + 4424], 1);  // override tag
  EXPECT_EQ(blob[9 + 4425], 77);
  EXPECT_EQ(blob[9 + 4435], 0x08);  // ppu.frame, low byte first

  Machine target(src.cartridge);
  reset_machine(target);
  target.terminate_on_flag = 1;
  target.accelerator_enabled.fill(1);
  auto r = decode_portable_machine(blob.data(), blob.size(), target);
  ASSERT_TRUE(std::holds_alternative<Machine>(r)) << std::get<std::string>(r);
  const Machine& got = std::get<Machine>(r);
  Machine want = src;
  want.ppu.has_scroll_override = 0;
  want.ppu.scroll_override_x_px = 0;
  EXPECT_EQ(testing::console_state_diff(got, want), "");
  EXPECT_EQ(got.terminated, 1);
  EXPECT_EQ(got.info, decode_game_info(src.ram.data()));
  EXPECT_EQ(got.terminate_on_flag, 1) << "fixed per-environment fields come from the target";
  EXPECT_EQ(got.renderer.gray_palette[3], NES_PALETTE_GRAY[0x2A]) << "renderer cache rebuilt from the restored palette";
  EXPECT_EQ(encode_portable_machine(got).size(), PORTABLE_MACHINE_BYTES);
}

// The digest of synthetic_machine()'s blob as the format was first written:
// any change to the bytes the writer produces fails here.
constexpr const char* SAVED_BLOB_SHA256 = "43d2ad504c22c7242da944df46110e5394cc1840293e762bec1c4bf851b6352d";

TEST(PortableMachine, SavedBlobDecodesAndReencodesIdentically) {
  const auto blob = encode_portable_machine(synthetic_machine());
  ASSERT_EQ(sha256_hex(blob.data(), blob.size()), SAVED_BLOB_SHA256);
  Machine target(testing::tiny_cartridge({0x4C, 0x00, 0x80}));
  reset_machine(target);
  auto r = decode_portable_machine(blob.data(), blob.size(), target);
  ASSERT_TRUE(std::holds_alternative<Machine>(r)) << std::get<std::string>(r);
  auto want = blob;
  want[9 + 4424] = 0;  // a decoded machine has no scroll override
  want[9 + 4425] = 0;
  EXPECT_EQ(encode_portable_machine(std::get<Machine>(r)), want);
}

TEST(PortableMachine, RefusalsInOrder) {
  const Machine src = synthetic_machine();
  const auto blob = encode_portable_machine(src);
  Machine target(src.cartridge);
  reset_machine(target);
  const ConsoleState before = target;

  auto cut = [&](size_t n) { return std::vector<uint8_t>(blob.begin(), blob.begin() + n); };
  EXPECT_EQ(decode_error(cut(21), target), "portable state is truncated at cpu.pc: need 2 bytes, have 0");
  EXPECT_EQ(decode_error(cut(22), target), "portable state is truncated at cpu.pc: need 2 bytes, have 1");
  EXPECT_EQ(decode_error(cut(3), target), "portable state is truncated at machine magic: need 8 bytes, have 3");

  auto changed = [&](size_t at, uint8_t v) {
    auto b = blob;
    b[at] = v;
    return b;
  };
  EXPECT_EQ(decode_error(changed(0, 'X'), target), "portable state has invalid machine magic");
  EXPECT_EQ(decode_error(changed(9, 'X'), target), "portable state has invalid core magic");
  EXPECT_EQ(decode_error(changed(8, 2), target), "portable state machine.done has invalid boolean 2");
  EXPECT_EQ(decode_error(changed(9 + 2065, 7), target), "portable state controller_strobe has invalid boolean 7");
  EXPECT_EQ(decode_error(changed(9 + 4424, 2), target), "portable state ppu.scroll_override_x_px has invalid tag 2");
  auto absent_nonzero = changed(9 + 4424, 0);
  EXPECT_EQ(decode_error(absent_nonzero, target),
            "portable state ppu.scroll_override_x_px has a non-zero absent value");
  auto tail = blob;
  tail.push_back(0);
  EXPECT_EQ(decode_error(tail, target), "portable state has 1 trailing bytes");

  auto with_dots = [&](uint32_t frame_dot, uint32_t next) {
    auto b = blob;
    for (int i = 0; i < 4; ++i) {
      b[9 + 4427 + i] = static_cast<uint8_t>(frame_dot >> (8 * i));
      b[9 + 4431 + i] = static_cast<uint8_t>(next >> (8 * i));
    }
    return b;
  };
  EXPECT_EQ(decode_error(with_dots(89341, 89342), target), "");
  EXPECT_EQ(decode_error(with_dots(89342, 89342), target), "portable state ppu.frame_dot 89342 is outside the frame");
  EXPECT_EQ(decode_error(with_dots(100, 89343), target),
            "portable state ppu.next_event_dot 89343 is outside the frame");
  EXPECT_EQ(decode_error(with_dots(5000, 341), target),
            "portable state ppu.next_event_dot 341 is not the next event after ppu.frame_dot 5000 (expected 7161)");
  EXPECT_EQ(decode_error(with_dots(0, 341), target), "");
  EXPECT_EQ(decode_error(with_dots(341, 7161), target), "");
  EXPECT_EQ(testing::console_state_diff(before, target), "") << "the target is never changed";
}

TEST(PortableMachine, RealPlayRoundTripKeepsRunningIdentically) {
  auto cart = testing::supported_cartridge();
  if (!cart) GTEST_SKIP() << "TANUVEX_TURBO_ROM is not set";
  const std::string dir = testing::states_dir();
  if (dir.empty()) GTEST_SKIP() << "TANUVEX_TURBO_STATES is not set";
  const auto image = testing::gunzip(testing::read_bytes(testing::list_state_files(dir).front()));
  Machine a(cart);
  a.accelerator_enabled = detect_accelerators(cart->prg_rom.data(), cart->prg_rom.size(), 0x7FFF);
  ASSERT_FALSE(load_state_image(a, image.data(), image.size()));
  uint32_t rng = 12345;
  auto next_buttons = [&] {
    rng = rng * 1103515245u + 12345u;
    return static_cast<uint8_t>((rng >> 16) & 0xC3);
  };
  for (int i = 0; i < 200; ++i) step_frame(a, next_buttons());

  Machine other(cart);
  other.accelerator_enabled = a.accelerator_enabled;
  reset_machine(other);
  const auto blob = encode_portable_machine(a);
  auto r = decode_portable_machine(blob.data(), blob.size(), other);
  ASSERT_TRUE(std::holds_alternative<Machine>(r)) << std::get<std::string>(r);
  Machine b = std::get<Machine>(std::move(r));
  EXPECT_EQ(encode_portable_machine(b), blob) << "re-encoding gives identical bytes";
  for (int i = 0; i < 300; ++i) {
    const uint8_t buttons = next_buttons();
    const float ra = step_frame(a, buttons);
    const float rb = step_frame(b, buttons);
    ASSERT_EQ(ra, rb) << "frame " << i;
    ASSERT_EQ(testing::console_state_diff(a, b), "") << "frame " << i;
    ASSERT_EQ(a.info, b.info);
  }
}

}  // namespace
}  // namespace tt
