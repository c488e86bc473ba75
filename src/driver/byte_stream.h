// Little-endian byte streams for the serialised formats (the portable machine
// blob and the snapshot envelope around it). A format writes its field list
// once, as a template over the stream: `ByteWriter` appends each field,
// `ByteReader` reads it back, naming the field it could not read. Every call
// returns whether the stream may go on, so a field list is one chain of `&&`.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

namespace tt {

class ByteWriter {
 public:
  static constexpr bool reading = false;

  bool bytes(std::string_view, const uint8_t* p, size_t n) {
    out.insert(out.end(), p, p + n);
    return true;
  }
  template <size_t N>
  bool array(std::string_view key, const std::array<uint8_t, N>& v) {
    return bytes(key, v.data(), N);
  }
  bool magic(std::string_view key, const uint8_t (&v)[8]) { return bytes(key, v, 8); }
  /// An unsigned integer of sizeof(T) bytes, low byte first.
  template <class T>
  bool uint(std::string_view, const T& v) {
    for (size_t i = 0; i < sizeof(T); ++i) out.push_back(static_cast<uint8_t>(static_cast<uint64_t>(v) >> (8 * i)));
    return true;
  }
  /// A byte that must read back as 0 or 1 (written as it is).
  bool boolean(std::string_view key, const uint8_t& v) { return uint(key, v); }
  /// A check on values just read; a writer has nothing to check.
  template <class... Pieces>
  bool check(bool, const Pieces&...) {
    return true;
  }

  std::vector<uint8_t> out;
};

class ByteReader {
 public:
  static constexpr bool reading = true;

  /// `what` opens every message ("portable state", "portable snapshot").
  ByteReader(const uint8_t* data, size_t size, std::string_view what) : data_(data), size_(size), what_(what) {}

  /// The next `width` bytes, or a truncation error naming `key`.
  bool take(std::string_view key, size_t width, const uint8_t*& at) {
    const size_t left = size_ - pos_;
    if (left < width) {
      return fail(" is truncated at ", key, ": need ", uint64_t{width}, " bytes, have ", uint64_t{left});
    }
    at = data_ + pos_;
    pos_ += width;
    return true;
  }
  /// A block whose length was read from the stream: lengths past the
  /// addressable range are refused before the truncation test.
  bool take_block(std::string_view key, uint64_t width, const uint8_t*& at) {
    if (width > std::numeric_limits<size_t>::max() - pos_) return fail(" ", key, " length overflow");
    return take(key, static_cast<size_t>(width), at);
  }
  bool bytes(std::string_view key, uint8_t* p, size_t n) {
    const uint8_t* at;
    if (!take(key, n, at)) return false;
    std::memcpy(p, at, n);
    return true;
  }
  template <size_t N>
  bool array(std::string_view key, std::array<uint8_t, N>& v) {
    return bytes(key, v.data(), N);
  }
  bool magic(std::string_view key, const uint8_t (&expected)[8]) {
    const uint8_t* at;
    if (!take(key, 8, at)) return false;
    if (std::memcmp(at, expected, 8) != 0) return fail(" has invalid ", key);
    return true;
  }
  template <class T>
  bool uint(std::string_view key, T& v) {
    const uint8_t* at;
    if (!take(key, sizeof(T), at)) return false;
    uint64_t x = 0;
    for (size_t i = 0; i < sizeof(T); ++i) x |= static_cast<uint64_t>(at[i]) << (8 * i);
    v = static_cast<T>(x);
    return true;
  }
  bool boolean(std::string_view key, uint8_t& v) {
    if (!uint(key, v)) return false;
    if (v > 1) return fail(" ", key, " has invalid boolean ", uint64_t{v});
    return true;
  }
  /// Unless `ok`, refuses the stream with `what` followed by `pieces` (texts
  /// and numbers, written in decimal).
  template <class... Pieces>
  bool check(bool ok, const Pieces&... pieces) {
    return ok || fail(pieces...);
  }

  size_t left() const { return size_ - pos_; }
  /// The first failing check's text (empty while none failed).
  const std::string& error() const { return error_; }

 private:
  template <class... Pieces>
  bool fail(const Pieces&... pieces) {
    error_.assign(what_);
    (append(pieces), ...);
    return false;
  }
  void append(std::string_view text) { error_.append(text); }
  void append(uint64_t number) { error_.append(std::to_string(number)); }

  const uint8_t* data_;
  size_t size_;
  size_t pos_ = 0;
  std::string_view what_;
  std::string error_;
};

}  // namespace tt
