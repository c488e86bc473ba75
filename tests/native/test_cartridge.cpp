// Cartridge loading: the digest, the header checks in their order, the layout.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "core/cartridge.h"
#include "core/sha256.h"
#include "test_support.h"

namespace tt {
namespace {

std::string hex_of(const std::string& s) { return sha256_hex(reinterpret_cast<const uint8_t*>(s.data()), s.size()); }

TEST(CartridgeSha256, PublishedVectors) {
  EXPECT_EQ(hex_of(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(hex_of("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ(hex_of("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
            "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
  EXPECT_EQ(hex_of(std::string(1000000, 'a')), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
  // Padding boundaries: 55, 56 and 64 bytes take one or two final blocks.
  EXPECT_EQ(hex_of(std::string(55, 'x')).size(), 64u);
  EXPECT_NE(hex_of(std::string(55, 'x')), hex_of(std::string(56, 'x')));
  EXPECT_EQ(hex_of("abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqrlmnopqrsmno"
                   "pqrstnopqrstu"),
            "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1");
}

std::string message_of(const CartridgeResult& r) {
  const auto* e = std::get_if<CartridgeError>(&r);
  return e ? e->message : std::string("<loaded>");
}

TEST(CartridgeParse, HeaderChecksInOrder) {
  std::vector<uint8_t> img = testing::tiny_nrom({0xEA});
  EXPECT_EQ(message_of(parse_ines(img.data(), 15)), "ROM is too small to contain an iNES header");
  auto bad_magic = img;
  bad_magic[3] = 0x1B;
  EXPECT_EQ(message_of(parse_ines(bad_magic)), "missing iNES magic bytes");
  auto mapper1 = img;
  mapper1[6] = 0x10;
  EXPECT_EQ(message_of(parse_ines(mapper1)), "only mapper 0 / NROM is supported in the first fast path, got mapper 1");
  auto mapper16 = img;
  mapper16[7] = 0x10;
  EXPECT_EQ(message_of(parse_ines(mapper16)),
            "only mapper 0 / NROM is supported in the first fast path, got mapper 16");
  for (auto [prg, chr] : {std::pair{0, 0}, std::pair{3, 1}, std::pair{1, 2}}) {
    auto layout = img;
    layout[4] = static_cast<uint8_t>(prg);
    layout[5] = static_cast<uint8_t>(chr);
    EXPECT_EQ(message_of(parse_ines(layout)), "invalid mapper 0 / NROM layout: PRG banks=" + std::to_string(prg) +
                                                  ", CHR banks=" + std::to_string(chr));
  }
}

TEST(CartridgeParse, LayoutLengthsAndTruncation) {
  std::vector<uint8_t> img = testing::tiny_nrom({0xEA});
  img[5] = 1;  // one CHR bank: 16 + 16384 + 8192 = 24592 bytes required
  img.resize(24591);
  EXPECT_EQ(message_of(parse_ines(img)), "ROM is truncated: expected at least 24592 bytes, got 24591");
  img[6] |= 0x04;  // trainer
  EXPECT_EQ(message_of(parse_ines(img)), "ROM is truncated: expected at least 25104 bytes, got 24591");
  img[6] &= ~0x04;
  img.resize(24592 + 7, 0x5A);  // trailing bytes are ignored
  for (size_t i = 0; i < 8192; ++i) img[16 + 16384 + i] = static_cast<uint8_t>(i * 7);
  auto loaded = parse_ines(img);
  ASSERT_TRUE(std::holds_alternative<Cartridge>(loaded)) << message_of(loaded);
  const Cartridge& c = std::get<Cartridge>(loaded);
  EXPECT_EQ(c.prg_rom.size(), 16384u);
  ASSERT_EQ(c.chr.size(), 8192u);
  EXPECT_EQ(c.chr[100], static_cast<uint8_t>(700));

  // Trainer bytes are skipped; PRG starts after them. No CHR gives zeroed pattern memory.
  std::vector<uint8_t> with_trainer(16 + 512 + 32768, 0);
  std::copy(img.begin(), img.begin() + 16, with_trainer.begin());
  with_trainer[4] = 2;
  with_trainer[5] = 0;
  with_trainer[6] = 0x05;
  with_trainer[16 + 512] = 0xA9;
  with_trainer[16] = 0x77;
  auto t = parse_ines(with_trainer);
  ASSERT_TRUE(std::holds_alternative<Cartridge>(t)) << message_of(t);
  EXPECT_EQ(std::get<Cartridge>(t).prg_rom.size(), 32768u);
  EXPECT_EQ(std::get<Cartridge>(t).prg_rom[0], 0xA9);
  EXPECT_TRUE(std::get<Cartridge>(t).nametable_vertical);
  EXPECT_EQ(std::get<Cartridge>(t).chr, std::vector<uint8_t>(8192, 0));
}

TEST(CartridgeLoad, DigestIsCheckedBeforeTheHeader) {
  const auto dir = std::filesystem::temp_directory_path() / "tt_cartridge_test";
  std::filesystem::create_directories(dir);
  const auto path = (dir / "garbage.nes").string();
  std::ofstream(path, std::ios::binary) << "not an image at all";
  const std::string msg = message_of(load_cartridge(path));
  EXPECT_EQ(msg.rfind("ROM SHA-256 mismatch: got ", 0), 0u) << msg;
  EXPECT_NE(msg.find(", expected " + std::string(EXPECTED_ROM_SHA256)), std::string::npos);
  EXPECT_EQ(message_of(load_cartridge((dir / "missing.nes").string())),
            "failed to read ROM: No such file or directory");
  EXPECT_EQ(message_of(load_cartridge(dir.string())).rfind("failed to read ROM: ", 0), 0u);
  std::filesystem::remove_all(dir);
}

// Paths arrive as UTF-8 on every system (Python's os.fsencode), Windows too,
// where a byte path would otherwise be read in the ANSI code page.
TEST(CartridgeLoad, NonAsciiPathIsUtf8) {
  const auto dir = std::filesystem::temp_directory_path() / std::filesystem::path(u8"tt_cartridge_\u00e9\u4e2d");
  std::filesystem::create_directories(dir);
  const auto file = dir / std::filesystem::path(u8"r\u00f6m.nes");
  std::ofstream(file, std::ios::binary) << "not an image at all";
  const std::u8string utf8 = file.u8string();
  const std::string msg = message_of(load_cartridge(std::string(utf8.begin(), utf8.end())));
  EXPECT_EQ(msg.rfind("ROM SHA-256 mismatch: got ", 0), 0u) << msg;
  std::filesystem::remove_all(dir);
}
TEST(CartridgeLoad, SupportedImageAndSingleByteChanges) {
  const std::string rom = testing::supported_rom_path();
  if (rom.empty()) GTEST_SKIP() << "TANUVEX_TURBO_ROM is not set";
  auto ok = load_cartridge(rom);
  ASSERT_TRUE(std::holds_alternative<Cartridge>(ok)) << message_of(ok);
  EXPECT_EQ(std::get<Cartridge>(ok).prg_rom.size(), 32768u);

  auto bytes = testing::read_bytes(rom);
  EXPECT_EQ(sha256_hex(bytes.data(), bytes.size()), EXPECTED_ROM_SHA256);
  const auto dir = std::filesystem::temp_directory_path() / "tt_cartridge_flip";
  std::filesystem::create_directories(dir);
  for (size_t at : {size_t{0}, size_t{20}, bytes.size() - 1}) {
    auto changed = bytes;
    changed[at] ^= 0x01;
    const auto path = (dir / "changed.nes").string();
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(changed.data()), changed.size());
    EXPECT_EQ(message_of(load_cartridge(path)), "ROM SHA-256 mismatch: got " +
                                                    sha256_hex(changed.data(), changed.size()) + ", expected " +
                                                    EXPECTED_ROM_SHA256);
  }
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace tt
