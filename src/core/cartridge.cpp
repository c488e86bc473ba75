#include "core/cartridge.h"

#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#else
#include <fcntl.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>

#include "core/sha256.h"

namespace tt {

const char* const EXPECTED_ROM_SHA256 = "f61548fdf1670cffefcc4f0b7bdcdd9eaba0c226e3b74f8666071496988248de";

namespace {

CartridgeError error(CartridgeError::Kind kind, std::string message) {
  return CartridgeError{kind, std::move(message)};
}

// Opens without waiting for a writer, so that a FIFO nobody writes to reads
// as empty instead of blocking the caller for ever; reads then block as usual
// (a pipe that has a writer is read to its end).
// Windows has no FIFOs in the file system: a plain open, of the UTF-8 path
// (what Python's os.fsencode gives there) as UTF-16, since fopen would read
// it in the ANSI code page.
FILE* open_for_reading(const char* path) {
#ifdef _WIN32
  const int length = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path, -1, nullptr, 0);
  if (length <= 0) {
    errno = ENOENT;
    return nullptr;
  }
  std::wstring wide(static_cast<size_t>(length), L'\0');
  MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path, -1, wide.data(), length);
  return _wfopen(wide.c_str(), L"rb");
#else
  const int fd = ::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return nullptr;
  const int flags = ::fcntl(fd, F_GETFL);
  FILE* f = nullptr;
  if (flags >= 0 && ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) == 0) f = ::fdopen(fd, "rb");
  if (!f) {
    const int saved = errno;
    ::close(fd);
    errno = saved;
  }
  return f;
#endif
}

}  // namespace

bool read_file(const std::string& path, std::vector<uint8_t>& out, std::string& err, size_t max_bytes) {
  errno = 0;
  FILE* f = open_for_reading(path.c_str());
  if (!f) {
    err = std::strerror(errno ? errno : EIO);
    return false;
  }
  out.clear();
  uint8_t buf[65536];
  while (out.size() < max_bytes) {
    const size_t want = std::min(sizeof buf, max_bytes - out.size());
    const size_t n = std::fread(buf, 1, want, f);
    out.insert(out.end(), buf, buf + n);
    if (n < want) break;
  }
  const bool failed = std::ferror(f) != 0;
  const int saved = errno;
  std::fclose(f);
  if (failed) {
    err = std::strerror(saved ? saved : EIO);
    return false;
  }
  return true;
}

void build_tile_rows(Cartridge& cart) {
  cart.tile_rows.assign(cart.chr.size(), 0);
  for (size_t a = 0; a < cart.chr.size(); ++a) {
    if ((a % 16) >= 8) continue;
    const uint8_t lo = cart.chr[a];
    const uint8_t hi = cart.chr[a + 8];
    uint16_t w = 0;
    for (unsigned j = 0; j < 8; ++j) {
      const unsigned v = (((hi >> (7 - j)) & 1) << 1) | ((lo >> (7 - j)) & 1);
      w = static_cast<uint16_t>(w | (v << (2 * j)));
    }
    cart.tile_rows[a] = w;
  }
}

CartridgeResult parse_ines(const uint8_t* d, size_t size) {
  using K = CartridgeError::Kind;
  if (size < 16) return error(K::TooSmall, "ROM is too small to contain an iNES header");
  if (d[0] != 0x4E || d[1] != 0x45 || d[2] != 0x53 || d[3] != 0x1A)
    return error(K::MissingMagic, "missing iNES magic bytes");
  const unsigned mapper = (d[7] & 0xF0) | (d[6] >> 4);
  if (mapper != 0) {
    return error(K::UnsupportedMapper,
                 "only mapper 0 / NROM is supported in the first fast path, got mapper " + std::to_string(mapper));
  }
  const unsigned prg_count = d[4], chr_count = d[5];
  if (prg_count < 1 || prg_count > 2 || chr_count > 1) {
    return error(K::InvalidLayout, "invalid mapper 0 / NROM layout: PRG banks=" + std::to_string(prg_count) +
                                       ", CHR banks=" + std::to_string(chr_count));
  }
  const size_t trainer = (d[6] & 0x04) ? 512 : 0;
  const size_t required = 16 + trainer + prg_count * 16384 + chr_count * 8192;
  if (size < required) {
    return error(K::Truncated, "ROM is truncated: expected at least " + std::to_string(required) + " bytes, got " +
                                   std::to_string(size));
  }
  Cartridge cart;
  const size_t prg_start = 16 + trainer;
  cart.prg_rom.assign(d + prg_start, d + prg_start + prg_count * 16384);
  if (chr_count == 1) {
    const size_t chr_start = prg_start + prg_count * 16384;
    cart.chr.assign(d + chr_start, d + chr_start + 8192);
  } else {
    cart.chr.assign(8192, 0);
  }
  cart.nametable_vertical = (d[6] & 1) != 0;
  build_tile_rows(cart);
  return cart;
}

CartridgeResult load_cartridge(const std::string& path) {
  std::vector<uint8_t> bytes;
  std::string err;
  // One byte past the limit tells a file that is too large, however large it
  // is (or endless, like a device), without reading the rest of it.
  if (!read_file(path, bytes, err, MAX_ROM_FILE_BYTES + 1)) {
    return error(CartridgeError::Kind::ReadFailed, "failed to read ROM: " + err);
  }
  if (bytes.size() > MAX_ROM_FILE_BYTES) {
    return error(CartridgeError::Kind::TooLarge, "ROM is too large: a mapper 0 / NROM image has at most " +
                                                     std::to_string(MAX_ROM_FILE_BYTES) + " bytes");
  }
  const std::string digest = sha256_hex(bytes.data(), bytes.size());
  if (digest != EXPECTED_ROM_SHA256) {
    return error(CartridgeError::Kind::DigestMismatch,
                 "ROM SHA-256 mismatch: got " + digest + ", expected " + EXPECTED_ROM_SHA256);
  }
  return parse_ines(bytes);
}

}  // namespace tt
