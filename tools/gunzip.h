// Decompression of gzip data (start states are kept gzip-compressed).
#pragma once

#include <zlib.h>

#include <cstdint>
#include <vector>

namespace tt {

enum class GunzipStatus { Ok, Corrupt, Truncated };

/// Decompresses one gzip stream from `data` into `out`.
inline GunzipStatus gunzip_bytes(const std::vector<uint8_t>& data, std::vector<uint8_t>& out) {
  out.clear();
  z_stream zs{};
  if (inflateInit2(&zs, 16 + MAX_WBITS) != Z_OK) return GunzipStatus::Corrupt;
  zs.next_in = const_cast<Bytef*>(data.data());
  zs.avail_in = static_cast<uInt>(data.size());
  uint8_t buf[65536];
  GunzipStatus status = GunzipStatus::Ok;
  for (;;) {
    zs.next_out = buf;
    zs.avail_out = sizeof buf;
    const int rc = inflate(&zs, Z_NO_FLUSH);
    if (rc != Z_OK && rc != Z_STREAM_END) {
      status = GunzipStatus::Corrupt;
      break;
    }
    out.insert(out.end(), buf, buf + (sizeof buf - zs.avail_out));
    if (rc == Z_STREAM_END) break;
    if (zs.avail_in == 0 && zs.avail_out != 0) {
      status = GunzipStatus::Truncated;
      break;
    }
  }
  inflateEnd(&zs);
  return status;
}

}  // namespace tt
