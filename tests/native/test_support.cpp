#include "test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>

#include "gunzip.h"

namespace tt::testing {

namespace fs = std::filesystem;

std::string test_roms_dir() {
  if (const char* env = std::getenv("TANUVEX_TURBO_TEST_ROMS")) return env;
  const fs::path guess = fs::path(TT_SOURCE_DIR) / ".." / "shared" / "test-roms";
  return fs::exists(guess / "nestest.nes") ? guess.string() : std::string();
}

std::string supported_rom_path() {
  const char* env = std::getenv("TANUVEX_TURBO_ROM");
  return env ? env : "";
}

std::string states_dir() {
  const char* env = std::getenv("TANUVEX_TURBO_STATES");
  return env ? env : "";
}

std::vector<uint8_t> read_bytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot open " + path);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

std::vector<uint8_t> gunzip(const std::vector<uint8_t>& data) {
  std::vector<uint8_t> out;
  if (gunzip_bytes(data, out) != GunzipStatus::Ok) throw std::runtime_error("gzip data is corrupt");
  return out;
}

std::vector<std::string> list_state_files(const std::string& dir) {
  std::vector<std::string> files;
  for (const auto& e : fs::directory_iterator(dir))
    if (e.path().extension() == ".state") files.push_back(e.path().string());
  std::sort(files.begin(), files.end());
  return files;
}

std::shared_ptr<const Cartridge> supported_cartridge() {
  const std::string path = supported_rom_path();
  if (path.empty()) return nullptr;
  auto result = load_cartridge(path);
  if (auto* err = std::get_if<CartridgeError>(&result)) {
    ADD_FAILURE() << "TANUVEX_TURBO_ROM is set but does not load: " << err->message;
    return nullptr;
  }
  return std::make_shared<const Cartridge>(std::move(std::get<Cartridge>(result)));
}

std::vector<uint8_t> tiny_nrom(const std::vector<uint8_t>& code, uint16_t reset, uint16_t nmi, uint16_t irq,
                               bool vertical) {
  std::vector<uint8_t> img(16 + 16384, 0);
  const uint8_t header[16] = {0x4E, 0x45, 0x53, 0x1A, 1, 0, static_cast<uint8_t>(vertical ? 1 : 0)};
  std::copy(header, header + 16, img.begin());
  std::copy(code.begin(), code.end(), img.begin() + 16);
  auto put16 = [&](size_t off, uint16_t v) {
    img[16 + off] = static_cast<uint8_t>(v);
    img[16 + off + 1] = static_cast<uint8_t>(v >> 8);
  };
  put16(0x3FFA, nmi);
  put16(0x3FFC, reset);
  put16(0x3FFE, irq);
  return img;
}

std::shared_ptr<const Cartridge> tiny_cartridge(const std::vector<uint8_t>& code, uint16_t reset, uint16_t nmi,
                                                uint16_t irq, bool vertical) {
  auto result = parse_ines(tiny_nrom(code, reset, nmi, irq, vertical));
  return std::make_shared<const Cartridge>(std::move(std::get<Cartridge>(result)));
}

}  // namespace tt::testing

namespace tt::testing {

std::string console_state_diff(const ConsoleState& a, const ConsoleState& b) {
  // clang-format off
#define TT_CMP(field) \
  if (!(a.field == b.field)) return #field;
  TT_CMP(cpu.pc) TT_CMP(cpu.a) TT_CMP(cpu.x) TT_CMP(cpu.y) TT_CMP(cpu.sp) TT_CMP(cpu.p)
  TT_CMP(controller_state) TT_CMP(controller_shift) TT_CMP(controller_strobe) TT_CMP(nametable_vertical)
  TT_CMP(extra_cycles) TT_CMP(ram)
  TT_CMP(ppu.ctrl) TT_CMP(ppu.mask) TT_CMP(ppu.status) TT_CMP(ppu.oam_addr) TT_CMP(ppu.data_buffer)
  TT_CMP(ppu.first_write) TT_CMP(ppu.fine_x) TT_CMP(ppu.scroll_x_low) TT_CMP(ppu.nmi_pending)
  TT_CMP(ppu.has_scroll_override) TT_CMP(ppu.scroll_override_x_px) TT_CMP(ppu.addr) TT_CMP(ppu.temp_addr)
  TT_CMP(ppu.scroll_addr) TT_CMP(ppu.render_addr) TT_CMP(ppu.scroll_x_px) TT_CMP(ppu.scroll_y_px)
  TT_CMP(ppu.frame_dot) TT_CMP(ppu.next_event_dot) TT_CMP(ppu.frame) TT_CMP(ppu.has_sprite0_hit_dot)
  TT_CMP(ppu.sprite0_hit_dot) TT_CMP(ppu.oam) TT_CMP(ppu.vram) TT_CMP(ppu.palette)
#undef TT_CMP
      // clang-format on
      return "";
}

}  // namespace tt::testing
