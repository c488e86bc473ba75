// Cartridge images: iNES parsing (mapper 0 only) and the digest-checked loader.
#pragma once

#include <cstddef>
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
  enum class Kind {
    ReadFailed,
    TooLarge,
    DigestMismatch,
    TooSmall,
    MissingMagic,
    UnsupportedMapper,
    InvalidLayout,
    Truncated
  };
  Kind kind;
  std::string message;
};

using CartridgeResult = std::variant<Cartridge, CartridgeError>;

// Digest of the supported cartridge, 64 lowercase hex digits.
extern const char* const EXPECTED_ROM_SHA256;

// Parses an iNES image (no digest requirement).
CartridgeResult parse_ines(const uint8_t* data, size_t size);
inline CartridgeResult parse_ines(const std::vector<uint8_t>& bytes) { return parse_ines(bytes.data(), bytes.size()); }

// Largest file accepted as a cartridge image: the biggest mapper 0 layout
// (header, trainer, two PRG banks, one CHR bank; 41488 bytes) with room for
// trailing bytes some images carry.
inline constexpr size_t MAX_ROM_FILE_BYTES = 65536;

// Reads the file (refusing one larger than MAX_ROM_FILE_BYTES before reading
// it all), verifies its digest against EXPECTED_ROM_SHA256, then parses it.
CartridgeResult load_cartridge(const std::string& path);

// Reads a file, or its first `max_bytes` bytes; on failure returns false and
// sets `error` to the OS error text.
bool read_file(const std::string& path, std::vector<uint8_t>& out, std::string& error, size_t max_bytes = SIZE_MAX);

// Fills cart.tile_rows from cart.chr.
void build_tile_rows(Cartridge& cart);

}  // namespace tt
