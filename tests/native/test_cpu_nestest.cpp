// The public CPU test image, run from 0xC000, against the register log of
// real hardware: every documented instruction must match registers and cost.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>

#include "core/cpu.h"
#include "core/frame_runner.h"
#include "test_support.h"

namespace tt {
namespace {

struct LogLine {
  uint16_t pc;
  unsigned a, x, y, p, sp;
  long dot;  // PPU dot within the frame (scanline * 341 + column)
  bool undocumented;
};

LogLine parse_log_line(const std::string& s) {
  LogLine l{};
  l.pc = static_cast<uint16_t>(std::stoul(s.substr(0, 4), nullptr, 16));
  l.undocumented = s.size() > 16 && s[15] == '*';
  const auto field = [&](const char* key) {
    const size_t at = s.find(key);
    return s.substr(at + std::char_traits<char>::length(key));
  };
  l.a = std::stoul(field("A:").substr(0, 2), nullptr, 16);
  l.x = std::stoul(field("X:").substr(0, 2), nullptr, 16);
  l.y = std::stoul(field("Y:").substr(0, 2), nullptr, 16);
  l.p = std::stoul(field("P:").substr(0, 2), nullptr, 16);
  l.sp = std::stoul(field("SP:").substr(0, 2), nullptr, 16);
  const long cyc = std::stol(field("CYC:"));
  long sl = std::stol(field("SL:"));
  if (sl < 0) sl = 261;
  l.dot = sl * 341 + cyc;
  return l;
}

TEST(NestestTest, DocumentedInstructionsMatchHardwareLog) {
  const std::string dir = testing::test_roms_dir();
  if (dir.empty()) GTEST_SKIP() << "public CPU test image not found (set TANUVEX_TURBO_TEST_ROMS)";
  auto parsed = parse_ines(testing::read_bytes(dir + "/nestest.nes"));
  ASSERT_TRUE(std::holds_alternative<Cartridge>(parsed));
  auto cart = std::make_shared<const Cartridge>(std::get<Cartridge>(std::move(parsed)));

  std::vector<LogLine> log;
  std::ifstream in(dir + "/nestest.log");
  for (std::string line; std::getline(in, line);) {
    if (line.size() > 20) log.push_back(parse_log_line(line));
  }
  ASSERT_GT(log.size(), 5000u);

  Console m(cart);
  power_on_console(m);
  m.cpu.pc = 0xC000;

  constexpr long frame = 262 * 341;
  size_t checked = 0;
  for (size_t i = 0; i + 1 < log.size() && !log[i].undocumented; ++i) {
    const LogLine& want = log[i];
    ASSERT_EQ(m.cpu.pc, want.pc) << "line " << i + 1;
    ASSERT_EQ(m.cpu.a, want.a) << "A at line " << i + 1;
    ASSERT_EQ(m.cpu.x, want.x) << "X at line " << i + 1;
    ASSERT_EQ(m.cpu.y, want.y) << "Y at line " << i + 1;
    ASSERT_EQ(m.cpu.p, want.p) << "P at line " << i + 1;
    ASSERT_EQ(m.cpu.sp, want.sp) << "SP at line " << i + 1;
    const uint8_t op = fetch_opcode(m);
    const unsigned cycles = cpu_step(m, op);
    const long dots = ((log[i + 1].dot - want.dot) % frame + frame) % frame;
    ASSERT_EQ(cycles * 3, dots) << "cycles of opcode " << std::hex << unsigned(op) << " at line " << std::dec << i + 1;
    ++checked;
  }
  EXPECT_EQ(checked, 5003u);
}

}  // namespace
}  // namespace tt
