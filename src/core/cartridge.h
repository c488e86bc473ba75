// Cartridge images: iNES parsing (mapper 0 only) and the digest-checked loader.
#pragma once

#include <cstdint>
#include <string>
#include <variant>
#include <vector>

namespace tt {

// The verified cartridge. Never changes after loading; consoles share it.
struct Cartridge {
  std::vector<uint8_t> prg_rom;  // 16384 or 32768 bytes
  std::vector<uint8_t> chr;      // 8192 bytes (zeros when the image has none)
  bool nametable_vertical = false;
  // Pattern rows as 2-bit pixel words, one per chr byte (see renderer).
  std::vector<uint16_t> tile_rows;
};

struct CartridgeError {
  enum class Kind { ReadFailed, DigestMismatch, TooSmall, MissingMagic, UnsupportedMapper, InvalidLayout, Truncated };
  Kind kind;
  std::string message;
};

using CartridgeResult = std::variant<Cartridge, CartridgeError>;

// Digest of the supported cartridge, 64 lowercase hex digits.
extern const char* const EXPECTED_ROM_SHA256;

// Parses an iNES image (no digest requirement).
CartridgeResult parse_ines(const uint8_t* data, size_t size);
inline CartridgeResult parse_ines(const std::vector<uint8_t>& bytes) { return parse_ines(bytes.data(), bytes.size()); }

// Reads the whole file, verifies its digest against EXPECTED_ROM_SHA256, then parses it.
CartridgeResult load_cartridge(const std::string& path);

// Reads a whole file; on failure returns false and sets `error` to the OS error text.
bool read_file(const std::string& path, std::vector<uint8_t>& out, std::string& error);

// Fills cart.tile_rows from cart.chr.
void build_tile_rows(Cartridge& cart);

}  // namespace tt
