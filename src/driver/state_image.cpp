#include "driver/state_image.h"

#include <algorithm>
#include <cstring>

#include "core/renderer.h"
#include "driver/frame_step.h"
#include "driver/game_info.h"

namespace tt {

namespace {

struct ChunkSpec {
  char tag[4];
  uint32_t length;
  const char* name;
};

// Position of the chunk's data, or nullptr. The first position whose tag and
// length field match and whose data fits wins.
const uint8_t* find_chunk(const uint8_t* data, size_t size, const ChunkSpec& chunk) {
  for (size_t p = 0; p + 8 <= size; ++p) {
    if (std::memcmp(data + p, chunk.tag, 4) != 0) continue;
    const uint32_t len = static_cast<uint32_t>(data[p + 4]) | (static_cast<uint32_t>(data[p + 5]) << 8) |
                         (static_cast<uint32_t>(data[p + 6]) << 16) | (static_cast<uint32_t>(data[p + 7]) << 24);
    if (len != chunk.length) continue;
    if (size - (p + 8) < len) continue;
    return data + p + 8;
  }
  return nullptr;
}

std::string missing(const ChunkSpec& chunk) {
  return "state field " + std::string(chunk.name) + " with size " + std::to_string(chunk.length) + " was not found";
}

constexpr ChunkSpec PC{{'P', 'C', 0, 0}, 2, "PC"};
constexpr ChunkSpec A{{'A', 0, 0, 0}, 1, "A"};
constexpr ChunkSpec X{{'X', 0, 0, 0}, 1, "X"};
constexpr ChunkSpec Y{{'Y', 0, 0, 0}, 1, "Y"};
constexpr ChunkSpec S{{'S', 0, 0, 0}, 1, "S"};
constexpr ChunkSpec P{{'P', 0, 0, 0}, 1, "P"};
constexpr ChunkSpec RAM{{'R', 'A', 'M', 0}, 2048, "RAM"};
constexpr ChunkSpec NTAR{{'N', 'T', 'A', 'R'}, 2048, "NTAR"};
constexpr ChunkSpec PRAM{{'P', 'R', 'A', 'M'}, 32, "PRAM"};
constexpr ChunkSpec SPRA{{'S', 'P', 'R', 'A'}, 256, "SPRA"};
constexpr ChunkSpec PPUR{{'P', 'P', 'U', 'R'}, 4, "PPUR"};
constexpr ChunkSpec RADD{{'R', 'A', 'D', 'D'}, 2, "RADD"};
constexpr ChunkSpec TADD{{'T', 'A', 'D', 'D'}, 2, "TADD"};
constexpr ChunkSpec XOFF{{'X', 'O', 'F', 'F'}, 1, "XOFF"};

inline uint16_t le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

void clear_override(Machine& m) {
  m.ppu.has_scroll_override = 0;
  m.ppu.scroll_override_x_px = 0;
}

}  // namespace

std::optional<std::string> load_state_image(Machine& m, const uint8_t* data, size_t size) {
  if (size < 8) return missing(PC);
  const ChunkSpec* required[] = {&PC, &A, &X, &Y, &S, &P, &RAM, &NTAR, &PRAM, &SPRA, &PPUR};
  const uint8_t* found[11];
  for (size_t i = 0; i < 11; ++i) {
    found[i] = find_chunk(data, size, *required[i]);
    if (!found[i]) return missing(*required[i]);
  }
  m.cpu.pc = le16(found[0]);
  m.cpu.a = *found[1];
  m.cpu.x = *found[2];
  m.cpu.y = *found[3];
  m.cpu.sp = *found[4];
  m.cpu.p = *found[5];

  const uint8_t* radd = find_chunk(data, size, RADD);
  const uint8_t* tadd = find_chunk(data, size, TADD);
  const uint8_t* xoff = find_chunk(data, size, XOFF);

  PpuState& p = m.ppu;
  std::copy(found[7], found[7] + 2048, p.vram.begin());
  std::copy(found[8], found[8] + 32, p.palette.begin());
  refresh_renderer_cache(m);
  std::copy(found[9], found[9] + 256, p.oam.begin());
  p.ctrl = found[10][0];
  p.mask = found[10][1];
  p.status = found[10][2];
  p.oam_addr = found[10][3];
  p.addr = p.render_addr = radd ? le16(radd) : 0;
  p.temp_addr = p.scroll_addr = tadd ? le16(tadd) : 0;
  p.first_write = 1;
  p.fine_x = xoff ? *xoff : 0;
  p.frame_dot = 0;
  p.next_event_dot = VBLANK_START_DOT;
  p.nmi_pending = 0;
  p.scroll_x_px = static_cast<uint16_t>(p.scroll_x_low | ((p.ctrl & 1) << 8));

  std::copy(found[6], found[6] + 2048, m.ram.begin());
  m.extra_cycles = 0;
  m.controller_strobe = m.controller_state = m.controller_shift = 0;
  m.terminated = 0;

  refresh_game_info(m);
  clear_override(m);
  run_machine_frame(m, 0);
  refresh_game_info(m);
  clear_override(m);
  return std::nullopt;
}

}  // namespace tt
