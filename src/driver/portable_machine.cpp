#include "driver/portable_machine.h"

#include "core/ppu.h"
#include "core/renderer.h"
#include "driver/byte_stream.h"
#include "driver/game_info.h"
#include "driver/playfield_cache.h"

namespace tt {

namespace {

constexpr uint8_t MACHINE_MAGIC[8] = {'N', 'R', 'O', 'M', 'G', 'M', '1', 0};
constexpr uint8_t CORE_MAGIC[8] = {'N', 'R', 'O', 'M', 'S', 'T', '1', 0};

// Values that the blob holds in another form than the machine does: written
// from the machine, and checked before they go back into it.
struct BlobExtras {
  uint8_t done = 0;
  uint8_t override_tag = 0;  // 1 when a scroll override is present
  uint16_t override_value = 0;
  uint32_t frame_dot = 0;
  uint32_t next_event_dot = 0;
};

// The blob's fields in order, for `ByteWriter` (M = const Machine) and
// `ByteReader` (M = Machine). Checks that need only the value just read come
// right after it, so the first failing check is the one reported.
template <class Stream, class M>
bool blob_fields(Stream& s, M& m, BlobExtras& x) {
  auto& p = m.ppu;
  return s.magic("machine magic", MACHINE_MAGIC) && s.boolean("machine.done", x.done) &&
         s.magic("core magic", CORE_MAGIC) && s.uint("cpu.a", m.cpu.a) && s.uint("cpu.x", m.cpu.x) &&
         s.uint("cpu.y", m.cpu.y) && s.uint("cpu.sp", m.cpu.sp) && s.uint("cpu.pc", m.cpu.pc) &&
         s.uint("cpu.p", m.cpu.p) && s.array("ram", m.ram) && s.uint("controller_state", m.controller_state) &&
         s.uint("controller_shift", m.controller_shift) && s.boolean("controller_strobe", m.controller_strobe) &&
         s.uint("extra_cycles", m.extra_cycles) && s.uint("ppu.ctrl", p.ctrl) && s.uint("ppu.mask", p.mask) &&
         s.uint("ppu.status", p.status) && s.uint("ppu.oam_addr", p.oam_addr) && s.array("ppu.oam", p.oam) &&
         s.array("ppu.vram", p.vram) && s.array("ppu.palette", p.palette) && s.uint("ppu.data_buffer", p.data_buffer) &&
         s.uint("ppu.addr", p.addr) && s.uint("ppu.temp_addr", p.temp_addr) &&
         s.uint("ppu.scroll_addr", p.scroll_addr) && s.uint("ppu.render_addr", p.render_addr) &&
         s.boolean("ppu.first_write", p.first_write) && s.uint("ppu.fine_x", p.fine_x) &&
         s.uint("ppu.scroll_x_px", p.scroll_x_px) && s.uint("ppu.scroll_y_px", p.scroll_y_px) &&
         s.uint("ppu.scroll_x_low", p.scroll_x_low) && s.uint("ppu.scroll_override_x_px.tag", x.override_tag) &&
         s.check(x.override_tag <= 1, " ppu.scroll_override_x_px has invalid tag ", uint64_t{x.override_tag}) &&
         s.uint("ppu.scroll_override_x_px.value", x.override_value) &&
         s.check(x.override_tag != 0 || x.override_value == 0,
                 " ppu.scroll_override_x_px has a non-zero absent value") &&
         s.uint("ppu.frame_dot", x.frame_dot) && s.uint("ppu.next_event_dot", x.next_event_dot) &&
         s.uint("ppu.frame", p.frame) && s.boolean("ppu.nmi_pending", p.nmi_pending);
}

}  // namespace

std::vector<uint8_t> encode_portable_machine(const Machine& m) {
  BlobExtras x;
  x.done = m.terminated ? 1 : 0;
  x.override_tag = m.ppu.has_scroll_override ? 1 : 0;
  x.override_value = m.ppu.has_scroll_override ? m.ppu.scroll_override_x_px : 0;
  x.frame_dot = static_cast<uint32_t>(m.ppu.frame_dot);
  x.next_event_dot = static_cast<uint32_t>(m.ppu.next_event_dot);
  ByteWriter w;
  w.out.reserve(PORTABLE_MACHINE_BYTES);
  blob_fields(w, m, x);
  return std::move(w.out);
}

std::variant<Machine, std::string> decode_portable_machine(const uint8_t* data, size_t size, const Machine& target) {
  Machine m(target);
  ByteReader r(data, size, "portable state");
  BlobExtras x;
  if (!blob_fields(r, m, x)) return r.error();
  if (r.left() != 0) return "portable state has " + std::to_string(r.left()) + " trailing bytes";
  if (x.frame_dot >= FRAME_DOTS) {
    return "portable state ppu.frame_dot " + std::to_string(x.frame_dot) + " is outside the frame";
  }
  if (x.next_event_dot > FRAME_DOTS) {
    return "portable state ppu.next_event_dot " + std::to_string(x.next_event_dot) + " is outside the frame";
  }
  // The clock only moves from event to event. A next event other than the
  // first event dot after frame_dot would leave a console that never reaches
  // its frame end (or skips vblank), so such a blob is refused.
  const uint64_t expected = next_event_after(m, x.frame_dot);
  if (x.next_event_dot != expected) {
    return "portable state ppu.next_event_dot " + std::to_string(x.next_event_dot) +
           " is not the next event after ppu.frame_dot " + std::to_string(x.frame_dot) + " (expected " +
           std::to_string(expected) + ")";
  }
  PpuState& p = m.ppu;
  p.frame_dot = x.frame_dot;
  p.next_event_dot = x.next_event_dot;
  refresh_renderer_cache(m);
  clear_background_cache(m);
  m.terminated = x.done;
  refresh_game_info(m);
  p.has_scroll_override = 0;
  p.scroll_override_x_px = 0;
  return m;
}

}  // namespace tt
