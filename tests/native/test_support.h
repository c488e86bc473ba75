// Shared helpers of the native tests: test data locations and tiny NROM images.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "core/cartridge.h"
#include "driver/machine.h"

namespace tt::testing {

// Folder of the public CPU test image and its log, or "" when not available.
std::string test_roms_dir();
// Supported cartridge path from TANUVEX_TURBO_ROM, or "" when unset.
std::string supported_rom_path();
// State image folder from TANUVEX_TURBO_STATES, or "" when unset.
std::string states_dir();

std::vector<uint8_t> read_bytes(const std::string& path);
// Decompresses gzip data (as the start states are kept).
std::vector<uint8_t> gunzip(const std::vector<uint8_t>& data);
std::vector<std::string> list_state_files(const std::string& dir);

// Loads the supported cartridge (digest checked); fails the test when the
// variable is set but wrong. Returns nullptr when the variable is unset.
std::shared_ptr<const Cartridge> supported_cartridge();

// A 16 KiB NROM image with `code` at 0x8000 (CPU 0xC000 mirror too), the
// given vectors, and zeroed CHR.
std::vector<uint8_t> tiny_nrom(const std::vector<uint8_t>& code, uint16_t reset = 0x8000, uint16_t nmi = 0x8000,
                               uint16_t irq = 0x8000, bool vertical = false);
std::shared_ptr<const Cartridge> tiny_cartridge(const std::vector<uint8_t>& code, uint16_t reset = 0x8000,
                                                uint16_t nmi = 0x8000, uint16_t irq = 0x8000, bool vertical = false);

}  // namespace tt::testing

namespace tt::testing {
// Compares every field of the running console state; returns "" when equal,
// else the name of the first differing field.
std::string console_state_diff(const ConsoleState& a, const ConsoleState& b);
}  // namespace tt::testing
