#include "driver/portable_machine.h"

#include <cstring>

#include "core/ppu.h"
#include "core/renderer.h"
#include "driver/game_info.h"

namespace tt {

namespace {

constexpr uint8_t MACHINE_MAGIC[8] = {'N', 'R', 'O', 'M', 'G', 'M', '1', 0};
constexpr uint8_t CORE_MAGIC[8] = {'N', 'R', 'O', 'M', 'S', 'T', '1', 0};

class Writer {
 public:
  void bytes(const uint8_t* p, size_t n) { out.insert(out.end(), p, p + n); }
  void u8(uint8_t v) { out.push_back(v); }
  void u16(uint16_t v) {
    u8(static_cast<uint8_t>(v));
    u8(static_cast<uint8_t>(v >> 8));
  }
  void u32(uint32_t v) {
    for (int i = 0; i < 4; ++i) u8(static_cast<uint8_t>(v >> (8 * i)));
  }
  void u64(uint64_t v) {
    for (int i = 0; i < 8; ++i) u8(static_cast<uint8_t>(v >> (8 * i)));
  }
  std::vector<uint8_t> out;
};

// A cursor that names the field it could not read.
class Reader {
 public:
  Reader(const uint8_t* data, size_t size) : data_(data), size_(size) {}

  bool take(const char* key, size_t width, const uint8_t*& at) {
    const size_t left = size_ - pos_;
    if (left < width) {
      error = "portable state is truncated at " + std::string(key) + ": need " + std::to_string(width) +
              " bytes, have " + std::to_string(left);
      return false;
    }
    at = data_ + pos_;
    pos_ += width;
    return true;
  }
  bool u8(const char* key, uint8_t& v) {
    const uint8_t* at;
    if (!take(key, 1, at)) return false;
    v = at[0];
    return true;
  }
  bool boolean(const char* key, uint8_t& v) {
    if (!u8(key, v)) return false;
    if (v > 1) {
      error = "portable state " + std::string(key) + " has invalid boolean " + std::to_string(v);
      return false;
    }
    return true;
  }
  template <class T>
  bool uint(const char* key, T& v) {
    const uint8_t* at;
    if (!take(key, sizeof(T), at)) return false;
    uint64_t x = 0;
    for (size_t i = 0; i < sizeof(T); ++i) x |= static_cast<uint64_t>(at[i]) << (8 * i);
    v = static_cast<T>(x);
    return true;
  }
  template <size_t N>
  bool array(const char* key, std::array<uint8_t, N>& dst) {
    const uint8_t* at;
    if (!take(key, N, at)) return false;
    std::memcpy(dst.data(), at, N);
    return true;
  }
  bool magic(const char* key, const uint8_t (&expected)[8]) {
    const uint8_t* at;
    if (!take(key, 8, at)) return false;
    if (std::memcmp(at, expected, 8) != 0) {
      error = "portable state has invalid " + std::string(key);
      return false;
    }
    return true;
  }
  size_t left() const { return size_ - pos_; }

  std::string error;

 private:
  const uint8_t* data_;
  size_t size_;
  size_t pos_ = 0;
};

}  // namespace

std::vector<uint8_t> encode_portable_machine(const Machine& m) {
  Writer w;
  w.out.reserve(PORTABLE_MACHINE_BYTES);
  w.bytes(MACHINE_MAGIC, 8);
  w.u8(m.terminated ? 1 : 0);
  w.bytes(CORE_MAGIC, 8);
  w.u8(m.cpu.a);
  w.u8(m.cpu.x);
  w.u8(m.cpu.y);
  w.u8(m.cpu.sp);
  w.u16(m.cpu.pc);
  w.u8(m.cpu.p);
  w.bytes(m.ram.data(), m.ram.size());
  w.u8(m.controller_state);
  w.u8(m.controller_shift);
  w.u8(m.controller_strobe);
  w.u16(m.extra_cycles);
  const PpuState& p = m.ppu;
  w.u8(p.ctrl);
  w.u8(p.mask);
  w.u8(p.status);
  w.u8(p.oam_addr);
  w.bytes(p.oam.data(), p.oam.size());
  w.bytes(p.vram.data(), p.vram.size());
  w.bytes(p.palette.data(), p.palette.size());
  w.u8(p.data_buffer);
  w.u16(p.addr);
  w.u16(p.temp_addr);
  w.u16(p.scroll_addr);
  w.u16(p.render_addr);
  w.u8(p.first_write);
  w.u8(p.fine_x);
  w.u16(p.scroll_x_px);
  w.u16(p.scroll_y_px);
  w.u8(p.scroll_x_low);
  w.u8(p.has_scroll_override ? 1 : 0);
  w.u16(p.has_scroll_override ? p.scroll_override_x_px : 0);
  w.u32(static_cast<uint32_t>(p.frame_dot));
  w.u32(static_cast<uint32_t>(p.next_event_dot));
  w.u64(p.frame);
  w.u8(p.nmi_pending);
  return std::move(w.out);
}

std::variant<Machine, std::string> decode_portable_machine(const uint8_t* data, size_t size, const Machine& target) {
  Machine m(target);
  Reader r(data, size);
  uint8_t done = 0, tag = 0;
  uint16_t override_value = 0;
  uint32_t frame_dot = 0, next_event_dot = 0;
  PpuState& p = m.ppu;
  const bool ok = r.magic("machine magic", MACHINE_MAGIC) && r.boolean("machine.done", done) &&
                  r.magic("core magic", CORE_MAGIC) && r.u8("cpu.a", m.cpu.a) && r.u8("cpu.x", m.cpu.x) &&
                  r.u8("cpu.y", m.cpu.y) && r.u8("cpu.sp", m.cpu.sp) && r.uint("cpu.pc", m.cpu.pc) &&
                  r.u8("cpu.p", m.cpu.p) && r.array("ram", m.ram) && r.u8("controller_state", m.controller_state) &&
                  r.u8("controller_shift", m.controller_shift) &&
                  r.boolean("controller_strobe", m.controller_strobe) && r.uint("extra_cycles", m.extra_cycles) &&
                  r.u8("ppu.ctrl", p.ctrl) && r.u8("ppu.mask", p.mask) && r.u8("ppu.status", p.status) &&
                  r.u8("ppu.oam_addr", p.oam_addr) && r.array("ppu.oam", p.oam) && r.array("ppu.vram", p.vram) &&
                  r.array("ppu.palette", p.palette) && r.u8("ppu.data_buffer", p.data_buffer) &&
                  r.uint("ppu.addr", p.addr) && r.uint("ppu.temp_addr", p.temp_addr) &&
                  r.uint("ppu.scroll_addr", p.scroll_addr) && r.uint("ppu.render_addr", p.render_addr) &&
                  r.boolean("ppu.first_write", p.first_write) && r.u8("ppu.fine_x", p.fine_x) &&
                  r.uint("ppu.scroll_x_px", p.scroll_x_px) && r.uint("ppu.scroll_y_px", p.scroll_y_px) &&
                  r.u8("ppu.scroll_x_low", p.scroll_x_low) && r.u8("ppu.scroll_override_x_px.tag", tag);
  if (!ok) return r.error;
  if (tag > 1) return "portable state ppu.scroll_override_x_px has invalid tag " + std::to_string(tag);
  if (!r.uint("ppu.scroll_override_x_px.value", override_value)) return r.error;
  if (tag == 0 && override_value != 0) return std::string("portable state ppu.scroll_override_x_px has a non-zero absent value");
  if (!(r.uint("ppu.frame_dot", frame_dot) && r.uint("ppu.next_event_dot", next_event_dot) &&
        r.uint("ppu.frame", p.frame) && r.boolean("ppu.nmi_pending", p.nmi_pending))) {
    return r.error;
  }
  if (r.left() != 0) return "portable state has " + std::to_string(r.left()) + " trailing bytes";
  if (frame_dot >= FRAME_DOTS) return "portable state ppu.frame_dot " + std::to_string(frame_dot) + " is outside the frame";
  if (next_event_dot > FRAME_DOTS) {
    return "portable state ppu.next_event_dot " + std::to_string(next_event_dot) + " is outside the frame";
  }
  // The clock only moves from event to event. A next event other than the
  // first event dot after frame_dot would leave a console that never reaches
  // its frame end (or skips vblank), so such a blob is refused.
  const uint64_t expected = next_event_after(m, frame_dot);
  if (next_event_dot != expected) {
    return "portable state ppu.next_event_dot " + std::to_string(next_event_dot) +
           " is not the next event after ppu.frame_dot " + std::to_string(frame_dot) + " (expected " +
           std::to_string(expected) + ")";
  }
  p.frame_dot = frame_dot;
  p.next_event_dot = next_event_dot;
  refresh_renderer_cache(m);
  clear_background_cache(m);
  m.terminated = done;
  refresh_game_info(m);
  p.has_scroll_override = 0;
  p.scroll_override_x_px = 0;
  return m;
}

}  // namespace tt
