// The supported game on the machine: booting, playing, the lane frame step,
// game info decoding, extra info and state images.
#include <gtest/gtest.h>

#include <cstring>

#include "driver/accelerators.h"
#include "driver/frame_step.h"
#include "driver/game_info.h"
#include "driver/state_image.h"
#include "test_support.h"

namespace tt {
namespace {

// Counts NMIs by watching for the NMI vector being taken.
struct NmiCounter {
  static constexpr bool enabled = true;
  uint16_t nmi_vector;
  uint64_t nmis = 0;
  HookResult dispatch(Console& m, FrameClock&) {
    if (m.cpu.pc == nmi_vector) ++nmis;
    return HookResult::NotApplied;
  }
};

TEST(GameBoot, TitleNmiPerFrameStartAndPlay) {
  auto cart = testing::supported_cartridge();
  if (!cart) GTEST_SKIP() << "TANUVEX_TURBO_ROM is not set";
  Machine m(cart);
  reset_machine(m);
  EXPECT_EQ(m.ppu.frame, 1u);

  NmiCounter counter{read_vector(m, NMI_VECTOR)};
  NoProfile profile;
  for (int f = 0; f < 10; ++f) run_frame_with(m, 0, counter, profile);  // start-up code
  EXPECT_GT(counter.nmis, 0u) << "the program enables NMI during start-up";
  for (int f = 0; f < 110; ++f) {
    const uint64_t before = counter.nmis;
    run_frame_with(m, 0, counter, profile);
    ASSERT_EQ(counter.nmis, before + 1) << "one NMI per frame, frame " << m.ppu.frame;
  }
  refresh_game_info(m);
  EXPECT_EQ(m.ppu.frame, 121u);
  const GameInfo title = m.info;
  for (int f = 0; f < 60; ++f) run_machine_frame(m, 0);
  refresh_game_info(m);
  EXPECT_EQ(m.info.time, title.time) << "no input: the title does not start a game";

  for (int f = 0; f < 5; ++f) run_machine_frame(m, 0x08);  // Start
  for (int f = 0; f < 200; ++f) run_machine_frame(m, 0);
  refresh_game_info(m);
  const GameInfo started = m.info;
  for (int f = 0; f < 300; ++f) run_machine_frame(m, 0x80);  // Right
  refresh_game_info(m);
  EXPECT_LT(m.info.time, started.time) << "the level timer counts down";
  EXPECT_GT(m.info.x_pos, started.x_pos + 100) << "holding Right moves forward";
}

TEST(GameInfoDecode, FieldsFromRam) {
  std::vector<uint8_t> ram(2048, 0);
  ram[0x075A] = 0xFF;
  ram[0x006D] = 0x0C;
  ram[0x0086] = 0x58;
  const uint8_t digits[6] = {0x00, 0x01, 0x02, 0x03, 0x04, 0x05};
  std::memcpy(&ram[0x07DD], digits, 6);
  ram[0x07F8] = 0x04;
  ram[0x07F9] = 0x0C;  // a nibble above 9 counts with its value
  ram[0x07FA] = 0x01;
  ram[0x075F] = 0x80;
  GameInfo g = decode_game_info(ram.data());
  EXPECT_EQ(g.lives, -1);
  EXPECT_EQ(g.x_pos, 3160);
  EXPECT_EQ(g.score, 12345);
  EXPECT_EQ(g.time, 400 + 120 + 1);
  EXPECT_EQ(g.level_hi, -128);
  ram[0x07E1] = 0x1A;
  EXPECT_EQ(decode_game_info(ram.data()).score, 12345 - 40 + 100);

  std::vector<uint8_t> ff(2048, 0xFF);
  g = decode_game_info(ff.data());
  EXPECT_EQ(g.coins, 255);
  EXPECT_EQ(g.score, 1666665);
  EXPECT_EQ(g.time, 1665);
}

TEST(GameInfoExtra, CatalogueAndRows) {
  EXPECT_STREQ(EXTRA_INFO_CATALOGUE[22].name, "enemy_facing");
  EXPECT_EQ(EXTRA_INFO_CATALOGUE[22].count, 6);
  EXPECT_STREQ(extra_info_dtype_name(EXTRA_INFO_CATALOGUE[22].dtype), "int8");
  EXPECT_STREQ(EXTRA_INFO_CATALOGUE[22].enum_name, "Direction");
  EXPECT_EQ(EXTRA_INFO_CATALOGUE[0].enum_name, nullptr);
  for (size_t i = 0; i < EXTRA_INFO_COUNT; ++i) EXPECT_EQ(EXTRA_INFO_CATALOGUE[i].id, i);

  std::vector<uint8_t> ram(2048, 0x77);
  ram[0x000F + 2] = 0;  // enemy slot 2 inactive
  ram[0x0760] = 3;
  const uint8_t ids[] = {16, 0};
  std::vector<int64_t> row(7, -99);
  write_extra_info(ram.data(), ids, 2, row.data(), row.size());
  EXPECT_EQ(row, (std::vector<int64_t>{1, 1, 0, 1, 1, 1, 3}));
  std::vector<int64_t> short_row(6, -99);
  write_extra_info(ram.data(), ids, 2, short_row.data(), short_row.size());
  EXPECT_EQ(short_row, std::vector<int64_t>(6, -99)) << "a width mismatch writes nothing";

  const uint8_t enemy_ids[] = {17, 18, 19, 20, 21, 22};
  std::vector<int64_t> enemy(36, -99);
  ram[0x0046 + 0] = 2;
  ram[0x0058 + 0] = 0xF0;
  write_extra_info(ram.data(), enemy_ids, 6, enemy.data(), enemy.size());
  for (int k = 0; k < 6; ++k) {
    const bool active = k != 2;
    EXPECT_EQ(enemy[0 + k], active ? 0x77 : -1);
    EXPECT_EQ(enemy[6 + k], active ? 0x77 * 256 + 0x77 : -1);
    EXPECT_EQ(enemy[12 + k], active ? 0x77 * 256 + 0x77 : -1);
    EXPECT_EQ(enemy[18 + k], active ? (k == 0 ? -16 : 0x77) : 0);
    EXPECT_EQ(enemy[30 + k], active ? (k == 0 ? -1 : 0) : 0);
  }
  const uint8_t unknown[] = {3, 27};
  std::vector<int64_t> r2(2, -5);
  write_extra_info(ram.data(), unknown, 2, r2.data(), r2.size());
  EXPECT_EQ(r2, std::vector<int64_t>(2, -5));
}

TEST(FrameStep, RewardAndTermination) {
  auto cart = testing::tiny_cartridge({0x4C, 0x00, 0x80});
  Machine m(cart);
  reset_machine(m);
  m.terminate_on_flag = 0;
  m.ram[0x075A] = 2;  // lives
  m.ram[GAME_MODE_ADDR] = GAME_MODE_PLAYING;
  m.ram[0x071C] = 0x10;
  refresh_game_info(m);
  m.ram[0x071C] = 0x13;  // the game would move the scroll during the frame
  // The loop never writes RAM, so the reward is the change set up above.
  EXPECT_FLOAT_EQ(step_frame(m, 0), 3.0f);
  m.ram[0x071C] = 0xFE;
  refresh_game_info(m);
  m.ram[0x071C] = 0x02;
  EXPECT_FLOAT_EQ(step_frame(m, 0), 0.0f) << "wrapping backwards is not forward motion";
  for (const uint8_t mode : {0, 3}) {  // the title screen (with its demo), game over
    m.ram[GAME_MODE_ADDR] = mode;
    m.ram[0x071C] = 0x10;
    refresh_game_info(m);
    m.ram[0x071C] = 0x13;
    EXPECT_FLOAT_EQ(step_frame(m, 0), 0.0f) << "no reward outside a game, mode " << int{mode};
  }
  m.ram[GAME_MODE_ADDR] = GAME_MODE_PLAYING;

  // x_pos is 65535 here (RAM the program never wrote): being past the flag
  // before a frame does not end the episode, only reaching it from below.
  m.ram[0x075A] = 0;
  auto move_x_pos = [&m](uint16_t before, uint16_t after) {
    m.ram[0x006D] = static_cast<uint8_t>(before >> 8);
    m.ram[0x0086] = static_cast<uint8_t>(before);
    refresh_game_info(m);
    m.ram[0x006D] = static_cast<uint8_t>(after >> 8);
    m.ram[0x0086] = static_cast<uint8_t>(after);
    step_frame(m, 0);
  };
  move_x_pos(3159, 3160);
  EXPECT_EQ(m.terminated, 0) << "x_pos 3160 ends the episode only with terminate_on_flag";
  m.terminate_on_flag = 1;
  move_x_pos(65535, 65535);
  EXPECT_EQ(m.terminated, 0) << "a lane that starts past the flag plays on";
  move_x_pos(3160, 3170);
  EXPECT_EQ(m.terminated, 0) << "a lane that starts at the flag plays on";
  m.ram[GAME_MODE_ADDR] = 0;
  move_x_pos(3159, 3160);
  EXPECT_EQ(m.terminated, 0) << "the title screen's demo reaches no flag";
  m.ram[GAME_MODE_ADDR] = GAME_MODE_PLAYING;
  move_x_pos(3159, 3160);
  EXPECT_EQ(m.terminated, 1) << "reaching the flag ends the episode";
  const ConsoleState frozen = m;
  EXPECT_FLOAT_EQ(step_frame(m, 0x80), 0.0f);
  EXPECT_EQ(std::memcmp(&frozen.ram, &m.ram, sizeof frozen.ram), 0);
  EXPECT_EQ(frozen.ppu.frame, m.ppu.frame) << "a terminated lane is not emulated";

  Machine d(cart);
  reset_machine(d);
  d.ram[0x075A] = 0xFF;
  step_frame(d, 0);
  EXPECT_EQ(d.terminated, 1) << "lives byte 0xFF ends the episode";
  d.ppu.has_scroll_override = 1;
  reset_machine(d);
  EXPECT_EQ(d.terminated, 0);
  EXPECT_EQ(d.ppu.has_scroll_override, 0);
  EXPECT_EQ(d.ram[0x0500], 0xFF) << "RAM the program never wrote keeps its power-on value";
}

// A state image assembled from chunks.
struct ImageBuilder {
  std::vector<uint8_t> bytes;
  ImageBuilder& chunk(const char* tag, std::vector<uint8_t> data, int32_t declared = -1) {
    char t[4] = {0, 0, 0, 0};
    std::memcpy(t, tag, std::min<size_t>(4, std::strlen(tag)));
    bytes.insert(bytes.end(), t, t + 4);
    const uint32_t len = declared >= 0 ? static_cast<uint32_t>(declared) : static_cast<uint32_t>(data.size());
    for (int i = 0; i < 4; ++i) bytes.push_back(static_cast<uint8_t>(len >> (8 * i)));
    bytes.insert(bytes.end(), data.begin(), data.end());
    return *this;
  }
};

std::vector<std::pair<const char*, std::vector<uint8_t>>> minimal_chunks() {
  std::vector<uint8_t> ram(2048, 0x11), ntar(2048, 0x22), pram(32, 0x0F), spra(256, 0xF8);
  return {{"PC", {0x00, 0x80}},
          {"A", {0x01}},
          {"X", {0x02}},
          {"Y", {0x03}},
          {"S", {0xF0}},
          {"P", {0xA5}},
          {"RAM", ram},
          {"NTAR", ntar},
          {"PRAM", pram},
          {"SPRA", spra},
          {"PPUR", {0x90, 0x1E, 0x80, 0x07}}};
}

TEST(StateImage, ChunkOrderOptionalChunksAndErrors) {
  auto cart = testing::tiny_cartridge({0x4C, 0x00, 0x80});
  auto chunks = minimal_chunks();
  ImageBuilder forward, reverse;
  forward.chunk("JUNK", {1, 2, 3});
  for (auto& [tag, data] : chunks) forward.chunk(tag, data);
  for (auto it = chunks.rbegin(); it != chunks.rend(); ++it) reverse.chunk(it->first, it->second);

  Machine a(cart), b(cart);
  a.ppu.scroll_x_low = 0x34;
  b.ppu.scroll_x_low = 0x34;
  ASSERT_FALSE(load_state_image(a, forward.bytes.data(), forward.bytes.size()));
  ASSERT_FALSE(load_state_image(b, reverse.bytes.data(), reverse.bytes.size()));
  EXPECT_EQ(testing::console_state_diff(a, b), "");
  EXPECT_EQ(a.ppu.addr, 0);
  EXPECT_EQ(a.ppu.temp_addr, 0);
  EXPECT_EQ(a.ppu.fine_x, 0);
  EXPECT_EQ(a.ppu.scroll_x_px, 0x34) << "scroll from the kept low byte and ctrl bit 0";
  EXPECT_EQ(a.ppu.frame, 1u);
  EXPECT_EQ(a.ppu.oam[0], 0xF8);
  EXPECT_EQ(a.info, decode_game_info(a.ram.data()));

  ImageBuilder with_optional = forward;
  with_optional.chunk("RADD", {0x34, 0x12}).chunk("TADD", {0x78, 0x06}).chunk("XOFF", {5}).chunk("XOFF", {6, 7});
  Machine c(cart);
  ASSERT_FALSE(load_state_image(c, with_optional.bytes.data(), with_optional.bytes.size()));
  EXPECT_EQ(c.ppu.addr, 0x1234);
  EXPECT_EQ(c.ppu.render_addr, 0x1234);
  EXPECT_EQ(c.ppu.scroll_addr, 0x0678);
  EXPECT_EQ(c.ppu.fine_x, 5);

  Machine d(cart);
  reset_machine(d);
  const ConsoleState before = d;
  EXPECT_EQ(load_state_image(d, forward.bytes.data(), 7).value_or(""), "state field PC with size 2 was not found");
  ImageBuilder short_ram;
  for (auto& [tag, data] : chunks) short_ram.chunk(tag, data, std::string(tag) == "RAM" ? 2047 : -1);
  EXPECT_EQ(load_state_image(d, short_ram.bytes.data(), short_ram.bytes.size()).value_or(""),
            "state field RAM with size 2048 was not found");
  ImageBuilder cut_ram;  // the length field is right, but the image ends inside the data
  for (auto& [tag, data] : chunks)
    if (std::string(tag) != "RAM") cut_ram.chunk(tag, data);
  cut_ram.chunk("RAM", std::vector<uint8_t>(100, 0x11), 2048);
  EXPECT_EQ(load_state_image(d, cut_ram.bytes.data(), cut_ram.bytes.size()).value_or(""),
            "state field RAM with size 2048 was not found");
  ImageBuilder no_ppur;
  for (auto& [tag, data] : chunks)
    if (std::string(tag) != "PPUR") no_ppur.chunk(tag, data);
  EXPECT_EQ(load_state_image(d, no_ppur.bytes.data(), no_ppur.bytes.size()).value_or(""),
            "state field PPUR with size 4 was not found");
  EXPECT_EQ(testing::console_state_diff(before, d), "") << "a refused image changes nothing";
}

TEST(StateImage, RealStartStatesLoadAndPlay) {
  auto cart = testing::supported_cartridge();
  if (!cart) GTEST_SKIP() << "TANUVEX_TURBO_ROM is not set";
  const std::string dir = testing::states_dir();
  if (dir.empty()) GTEST_SKIP() << "TANUVEX_TURBO_STATES is not set";
  const auto files = testing::list_state_files(dir);
  ASSERT_FALSE(files.empty()) << "no .state files in " << dir;
  for (const auto& f : files) {
    const auto image = testing::gunzip(testing::read_bytes(f));
    Machine m(cart);
    m.accelerator_enabled = detect_accelerators(cart->prg_rom.data(), cart->prg_rom.size(), 0x7FFF);
    ASSERT_FALSE(load_state_image(m, image.data(), image.size())) << f;
    EXPECT_GE(m.info.lives, 0) << f;
    const uint16_t x0 = m.info.x_pos;
    for (int i = 0; i < 240 && !m.terminated; ++i) step_frame(m, 0x80);
    EXPECT_GT(m.info.x_pos, x0) << f << ": holding Right moves forward";
  }
}

}  // namespace
}  // namespace tt
