// Frame renderer: a plain per-pixel model of the drawing rules checks the fast
// paths on random synthetic consoles; the edge cases pin single rules; real
// frames of the supported game check that the cached gray path and the gray
// conversion agree with the general renderers.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstring>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

#include "core/palette.h"
#include "core/ppu.h"
#include "core/renderer.h"
#include "driver/band_cache.h"
#include "driver/frame_step.h"
#include "driver/playfield_cache.h"
#include "driver/state_image.h"
#include "test_support.h"

namespace tt {
namespace {

constexpr unsigned W = NES_WIDTH;
constexpr unsigned H = NES_HEIGHT;
constexpr Rect FULL{0, 0, W, H};
constexpr size_t FRAME_BYTES = size_t(VISIBLE_FRAME_WIDTH) * VISIBLE_FRAME_HEIGHT;
constexpr size_t PLAYFIELD_OFFSET = 32 * VISIBLE_FRAME_WIDTH;

// ---------------------------------------------------------------------------
// Plain model: one palette RAM entry per screen pixel, straight from the rules.

uint16_t model_sx(const Machine& m) {
  return m.ppu.has_scroll_override ? m.ppu.scroll_override_x_px : m.ppu.scroll_x_px;
}

// Palette entry of the background pixel, 0 when its pattern value is 0.
uint8_t model_background(const Machine& m, unsigned x, unsigned y) {
  unsigned X = x, Y = y;
  if (y >= 32) {
    X = x + model_sx(m);
    Y = y + m.ppu.scroll_y_px;
  }
  const unsigned n = m.nametable_vertical ? (X >> 8) & 1 : (Y / 240) & 1;
  const unsigned base = n * 1024;
  const unsigned r = Y % 240, c = (X >> 3) & 31;
  const unsigned tile = m.ppu.vram[base + (r >> 3) * 32 + c];
  const unsigned p = (tile * 16) | (r & 7) | ((m.ppu.ctrl & 0x10) ? 0x1000 : 0);
  const unsigned lo = m.chr[p & Machine::chr_mask], hi = m.chr[(p | 8) & Machine::chr_mask];
  const unsigned bit = 7 - (X & 7);
  const unsigned v = ((hi >> bit) & 1) * 2 + ((lo >> bit) & 1);
  if (v == 0) return 0;
  const unsigned a = m.ppu.vram[base + 0x3C0 + ((r & 0xE0) >> 2) + (c >> 2)];
  const unsigned shift = ((c & 2) ? 2 : 0) + ((r & 0x10) ? 4 : 0);
  return static_cast<uint8_t>(4 * ((a >> shift) & 3) + v);
}

std::vector<uint8_t> model_entries(const Machine& m) {
  std::vector<uint8_t> e(W * H, 0);
  const bool bg = m.ppu.mask & 0x08;
  if (bg)
    for (unsigned y = 0; y < H; ++y)
      for (unsigned x = 0; x < W; ++x) e[y * W + x] = model_background(m, x, y);
  if (!(m.ppu.mask & 0x10)) return e;
  unsigned count[H] = {};
  uint64_t member[H] = {};
  for (unsigned i = 0; i < 64; ++i) {
    const unsigned y = m.ppu.oam[4 * i];
    for (unsigned line = y + 1; line <= y + 8 && line <= 239; ++line) {
      if (count[line] < 8) {
        ++count[line];
        member[line] |= uint64_t{1} << i;
      }
    }
  }
  const unsigned base = (m.ppu.ctrl & 0x08) ? 0x1000 : 0;
  for (int i = 63; i >= 0; --i) {
    const unsigned y = m.ppu.oam[4 * i], t = m.ppu.oam[4 * i + 1], f = m.ppu.oam[4 * i + 2], x = m.ppu.oam[4 * i + 3];
    for (unsigned k = 0; k < 8; ++k) {
      const unsigned line = y + 1 + k;
      if (line > 239 || !((member[line] >> i) & 1)) continue;
      const unsigned row = (f & 0x80) ? 7 - k : k;
      const unsigned lo = m.chr[(t * 16 + base + row) & Machine::chr_mask];
      const unsigned hi = m.chr[(t * 16 + base + row + 8) & Machine::chr_mask];
      for (unsigned j = 0; j < 8 && x + j < W; ++j) {
        const unsigned bit = (f & 0x40) ? j : 7 - j;
        const unsigned v = ((hi >> bit) & 1) * 2 + ((lo >> bit) & 1);
        if (v == 0) continue;
        uint8_t colour = static_cast<uint8_t>(16 + 4 * (f & 3) + v);
        if ((f & 0x20) && bg) {
          const uint8_t b = model_background(m, x + j, line);
          if (b != 0) colour = b;
        }
        e[line * W + x + j] = colour;
      }
    }
  }
  return e;
}

Rgb rgb_of_entry(const Machine& m, uint8_t entry) { return NES_PALETTE_RGB[m.ppu.palette[entry] & 0x3F]; }

// ---------------------------------------------------------------------------
// Synthetic consoles.

std::shared_ptr<const Cartridge> cartridge_with_chr(const std::vector<uint8_t>& chr, bool vertical) {
  Cartridge c = *testing::tiny_cartridge({0x4C, 0x00, 0x80}, 0x8000, 0x8000, 0x8000, vertical);
  c.chr = chr;
  c.chr.resize(8192, 0);
  build_tile_rows(c);
  return std::make_shared<const Cartridge>(std::move(c));
}

// Pattern tiles of the edge-case consoles (both pattern halves hold the same tiles):
// 0 empty, 1/2/3 solid value 1/2/3, 4 left half value 1, 5 top row value 3.
std::vector<uint8_t> edge_chr() {
  std::vector<uint8_t> chr(8192, 0);
  for (unsigned half : {0u, 0x1000u}) {
    for (unsigned r = 0; r < 8; ++r) {
      chr[half + 1 * 16 + r] = 0xFF;
      chr[half + 2 * 16 + 8 + r] = 0xFF;
      chr[half + 3 * 16 + r] = 0xFF;
      chr[half + 3 * 16 + 8 + r] = 0xFF;
      chr[half + 4 * 16 + r] = 0xF0;
    }
    chr[half + 5 * 16] = 0xFF;
    chr[half + 5 * 16 + 8] = 0xFF;
  }
  return chr;
}

// 32 palette values whose colours are all different.
constexpr std::array<uint8_t, 32> DISTINCT_PALETTE = {0x0F, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09, 0x0A,
                                                      0x0B, 0x0C, 0x10, 0x11, 0x12, 0x13, 0x14, 0x15, 0x16, 0x17, 0x18,
                                                      0x19, 0x1A, 0x1B, 0x1C, 0x21, 0x22, 0x23, 0x24, 0x25, 0x26};

void write_palette(Machine& m, const std::array<uint8_t, 32>& values) {
  for (unsigned i = 0; i < 32; ++i) ppu_write_palette(m, i, values[i]);
}

// Everything hidden: sprites off screen, empty nametables, both layers shown.
// Tiles of edge_chr() in both pattern tables, or with `distinct_tables` a
// second table whose rows differ from the first's.
Machine edge_console(bool vertical = false, bool distinct_tables = false) {
  static const auto two_tables = [] {
    std::vector<uint8_t> chr = edge_chr();
    for (unsigned i = 0x1000; i < 0x2000; ++i) chr[i] = static_cast<uint8_t>(chr[i] ^ 0x3C);
    return chr;
  }();
  static const auto cart_h = cartridge_with_chr(edge_chr(), false);
  static const auto cart_v = cartridge_with_chr(edge_chr(), true);
  static const auto cart_h2 = cartridge_with_chr(two_tables, false);
  static const auto cart_v2 = cartridge_with_chr(two_tables, true);
  Machine m(distinct_tables ? (vertical ? cart_v2 : cart_h2) : (vertical ? cart_v : cart_h));
  write_palette(m, DISTINCT_PALETTE);
  m.ppu.mask = 0x18;
  for (unsigned i = 0; i < 64; ++i) m.ppu.oam[4 * i] = 0xF8;
  return m;
}

void set_sprite(Machine& m, unsigned i, uint8_t y, uint8_t tile, uint8_t attr, uint8_t x) {
  m.ppu.oam[4 * i] = y;
  m.ppu.oam[4 * i + 1] = tile;
  m.ppu.oam[4 * i + 2] = attr;
  m.ppu.oam[4 * i + 3] = x;
}

// Fills a whole nametable with one tile and one attribute palette.
void fill_nametable(Machine& m, unsigned n, uint8_t tile, unsigned palette) {
  std::fill_n(m.ppu.vram.begin() + n * 1024, 0x3C0, tile);
  std::fill_n(m.ppu.vram.begin() + n * 1024 + 0x3C0, 64, static_cast<uint8_t>(palette * 0x55));
}

std::vector<uint8_t> rgb_full(const Machine& m) {
  std::vector<uint8_t> out(3 * W * H);
  render_rgb(m, out.data(), FULL);
  return out;
}

Rgb pixel(const std::vector<uint8_t>& planes, unsigned x, unsigned y) {
  const size_t i = size_t(y) * W + x;
  return {planes[i], planes[W * H + i], planes[2 * W * H + i]};
}

bool same(Rgb a, Rgb b) { return a.r == b.r && a.g == b.g && a.b == b.b; }

// Checks that the pixel shows palette RAM entry `entry`.
::testing::AssertionResult shows(const Machine& m, const std::vector<uint8_t>& planes, unsigned x, unsigned y,
                                 uint8_t entry) {
  const Rgb got = pixel(planes, x, y), want = rgb_of_entry(m, entry);
  if (same(got, want)) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "pixel (" << x << ", " << y << ") is (" << int(got.r) << ", " << int(got.g)
                                       << ", " << int(got.b) << "), palette entry " << int(entry) << " is ("
                                       << int(want.r) << ", " << int(want.g) << ", " << int(want.b) << ")";
}

// Gray render of `rect` must be the gray formula of the RGB render, pixel by pixel.
void expect_gray_is_formula_of_rgb(const Machine& m, const Rect& rect) {
  const size_t n = size_t(rect.width) * rect.height;
  std::vector<uint8_t> rgb(3 * n), gray(n);
  render_rgb(m, rgb.data(), rect);
  render_gray(m, gray.data(), rect);
  for (size_t i = 0; i < n; ++i) {
    const uint8_t want = gray_of(rgb[i], rgb[n + i], rgb[2 * n + i]);
    if (gray[i] != want) {
      ADD_FAILURE() << "gray " << int(gray[i]) << " != formula " << int(want) << " at column "
                    << rect.x0 + i % rect.width << ", row " << rect.y0 + i / rect.width;
      return;
    }
  }
}

// The visited playfield rows must equal rows 32..223 of `want` (render_gray of
// the visible frame), with `m`'s background cache either reused or redrawn.
void expect_visited_rows_match(const Machine& m, const std::vector<uint8_t>& want, const char* what) {
  std::vector<uint8_t> sprite_rows(BACKGROUND_CACHE_BYTES, 0x5A);
  unsigned visits = 0;
  auto check = [&](const uint8_t* const* rows) {
    ++visits;
    for (unsigned r = 0; r < PLAYFIELD_ROWS; ++r) {
      const bool in_cache = rows[r] == m.playfield.background.row(r);
      const bool in_sprite_rows = rows[r] == sprite_rows.data() + size_t(r) * VISIBLE_FRAME_WIDTH;
      ASSERT_TRUE(in_cache || in_sprite_rows) << what << ": row " << r << " points elsewhere";
      ASSERT_TRUE(std::equal(rows[r], rows[r] + VISIBLE_FRAME_WIDTH,
                             want.begin() + PLAYFIELD_OFFSET + size_t(r) * VISIBLE_FRAME_WIDTH))
          << what << ": visited row " << r << " differs from render_gray";
    }
  };
  visit_gray_playfield_rows(m, sprite_rows.data(), check);
  EXPECT_EQ(visits, 1u) << what;
  EXPECT_TRUE(m.playfield.background.valid) << what;
}

// Visits on a copy (empty cache: drawn), again (reused), then the cached path
// on that copy must find the stored background (same key and visible rows as
// `m`'s, which has just been drawn by the cached path).
void expect_visits_match_render_gray(const Machine& m, const std::vector<uint8_t>& want, const char* what) {
  Machine copy(m);
  ASSERT_FALSE(copy.playfield.background.valid);
  expect_visited_rows_match(copy, want, what);
  expect_visited_rows_match(copy, want, what);
  EXPECT_TRUE(copy.playfield.background.key == m.playfield.background.key) << what << ": stored key differs";
  for (unsigned r = 0; r < PLAYFIELD_ROWS; ++r) {
    ASSERT_TRUE(std::equal(copy.playfield.background.row(r), copy.playfield.background.row(r) + VISIBLE_FRAME_WIDTH,
                           m.playfield.background.row(r)))
        << what << ": stored row " << r << " differs";
  }
}

// Cached playfield rows 32..223 must equal render_gray of the visible frame;
// frame rows 0..31 must not be touched. The row visitor must agree.
void expect_cached_matches_render_gray(const Machine& m, const char* what) {
  std::vector<uint8_t> want(FRAME_BYTES), got(FRAME_BYTES, 0xA5);
  render_gray(m, want.data(), VISIBLE_RECT);
  render_gray_playfield_cached(m, got.data());
  for (size_t i = 0; i < PLAYFIELD_OFFSET; ++i) {
    if (got[i] != 0xA5) {
      ADD_FAILURE() << what << ": cached path wrote frame row " << i / VISIBLE_FRAME_WIDTH;
      return;
    }
  }
  for (size_t i = PLAYFIELD_OFFSET; i < FRAME_BYTES; ++i) {
    if (got[i] != want[i]) {
      ADD_FAILURE() << what << ": cached " << int(got[i]) << " != render_gray " << int(want[i]) << " at frame row "
                    << i / VISIBLE_FRAME_WIDTH << ", column " << i % VISIBLE_FRAME_WIDTH;
      return;
    }
  }
  expect_visits_match_render_gray(m, want, what);
}

// ---------------------------------------------------------------------------

TEST(RendererPalette, DistinctTestPaletteAndGrayTable) {
  for (unsigned i = 0; i < 32; ++i)
    for (unsigned j = 0; j < i; ++j)
      ASSERT_FALSE(same(NES_PALETTE_RGB[DISTINCT_PALETTE[i]], NES_PALETTE_RGB[DISTINCT_PALETTE[j]])) << i << " " << j;
  for (unsigned c = 0; c < 64; ++c) {
    const Rgb p = NES_PALETTE_RGB[c];
    EXPECT_EQ(NES_PALETTE_GRAY[c], (77u * p.r + 150u * p.g + 29u * p.b + 128u) >> 8) << c;
  }
}

TEST(RendererSynthetic, MatchesModelOnRandomConsoles) {
  std::mt19937_64 rng(20240607);
  auto byte = [&] { return static_cast<uint8_t>(rng()); };
  for (int round = 0; round < 120; ++round) {
    SCOPED_TRACE(round);
    std::vector<uint8_t> chr(8192);
    for (auto& b : chr) b = (rng() % 3 == 0) ? 0 : byte();
    Machine m(cartridge_with_chr(chr, round % 2 == 1));
    for (auto& b : m.ppu.vram) b = byte();
    for (auto& b : m.ppu.oam) b = byte();
    // Many sprites on a few lines, some partly off the right edge.
    for (unsigned i = 0; i < 64; ++i) {
      if (rng() % 2) m.ppu.oam[4 * i] = static_cast<uint8_t>(20 + rng() % 40 + (rng() % 2) * 150);
      if (rng() % 8 == 0) m.ppu.oam[4 * i + 3] = static_cast<uint8_t>(248 + rng() % 8);
    }
    std::array<uint8_t, 32> pal;
    for (auto& b : pal) b = byte();  // bytes above 63 included
    write_palette(m, pal);
    m.ppu.ctrl = byte();
    m.ppu.mask = (round % 7 == 0) ? byte() : static_cast<uint8_t>(byte() | 0x18);
    m.ppu.scroll_x_px = static_cast<uint16_t>(rng() % 512);
    m.ppu.scroll_y_px = byte();
    m.ppu.has_scroll_override = rng() % 4 == 0;
    m.ppu.scroll_override_x_px = static_cast<uint16_t>(rng());

    const std::vector<uint8_t> want = model_entries(m);
    const std::vector<uint8_t> got = rgb_full(m);
    for (unsigned y = 0; y < H; ++y)
      for (unsigned x = 0; x < W; ++x) ASSERT_TRUE(shows(m, got, x, y, want[y * W + x]));

    // A random rectangle gives the same pixels as the full picture.
    Rect r;
    r.x0 = rng() % W;
    r.y0 = rng() % H;
    r.width = 1 + rng() % (W - r.x0);
    r.height = 1 + rng() % (H - r.y0);
    const size_t n = size_t(r.width) * r.height;
    std::vector<uint8_t> part(3 * n), gray(n);
    render_rgb(m, part.data(), r);
    render_gray(m, gray.data(), r);
    for (unsigned y = 0; y < r.height; ++y) {
      for (unsigned x = 0; x < r.width; ++x) {
        const size_t i = size_t(y) * r.width + x;
        const Rgb full = pixel(got, r.x0 + x, r.y0 + y);
        ASSERT_TRUE(same({part[i], part[n + i], part[2 * n + i]}, full)) << x << ", " << y;
        ASSERT_EQ(gray[i], NES_PALETTE_GRAY[m.ppu.palette[want[(r.y0 + y) * W + r.x0 + x]] & 0x3F]);
      }
    }
    expect_gray_is_formula_of_rgb(m, FULL);
    expect_cached_matches_render_gray(m, "random console");
  }
}

TEST(RendererSynthetic, NarrowRectanglesStayInsideTheirBuffers) {
  std::mt19937_64 rng(3);
  std::vector<uint8_t> chr(8192);
  for (auto& b : chr) b = static_cast<uint8_t>(rng());
  Machine m(cartridge_with_chr(chr, true));
  for (auto& b : m.ppu.vram) b = static_cast<uint8_t>(rng());
  for (auto& b : m.ppu.oam) b = static_cast<uint8_t>(rng());
  write_palette(m, DISTINCT_PALETTE);
  m.ppu.mask = 0x18;
  constexpr uint8_t GUARD = 0xEE;
  for (uint16_t sx = 0; sx < 9; ++sx) {
    m.ppu.scroll_x_px = sx;
    const std::vector<uint8_t> full = rgb_full(m);
    for (unsigned x0 : {0u, 3u, 100u, 247u, 250u}) {
      for (unsigned width = 1; width <= 9 && x0 + width <= W; ++width) {
        const Rect r{x0, 30, width, 4};  // rows 30..33 cross the unscrolled band
        const size_t n = size_t(width) * r.height;
        std::vector<uint8_t> rgb(3 * n + 16, GUARD), gray(n + 16, GUARD);
        render_rgb(m, rgb.data(), r);
        render_gray(m, gray.data(), r);
        for (size_t i = 3 * n; i < rgb.size(); ++i) ASSERT_EQ(rgb[i], GUARD) << "rgb overrun " << x0 << " " << width;
        for (size_t i = n; i < gray.size(); ++i) ASSERT_EQ(gray[i], GUARD) << "gray overrun " << x0 << " " << width;
        for (unsigned y = 0; y < r.height; ++y)
          for (unsigned x = 0; x < width; ++x) {
            const size_t i = size_t(y) * width + x;
            const Rgb want = pixel(full, x0 + x, r.y0 + y);
            ASSERT_TRUE(same({rgb[i], rgb[n + i], rgb[2 * n + i]}, want)) << sx << " " << x0 << " " << width;
            ASSERT_EQ(gray[i], gray_of(want.r, want.g, want.b));
          }
      }
    }
  }
}

TEST(RendererSynthetic, BackgroundPixelFollowsTheRule) {
  std::mt19937_64 rng(7);
  std::vector<uint8_t> chr(8192);
  for (auto& b : chr) b = static_cast<uint8_t>(rng());
  for (bool vertical : {false, true}) {
    Machine m(cartridge_with_chr(chr, vertical));
    for (auto& b : m.ppu.vram) b = static_cast<uint8_t>(rng());
    m.ppu.ctrl = 0x10;
    m.ppu.scroll_x_px = 300;
    m.ppu.scroll_y_px = 200;
    for (int k = 0; k < 2000; ++k) {
      const unsigned x = rng() % W, y = rng() % H;
      const BackgroundPixel p = background_pixel(m, x, y);
      const uint8_t want = model_background(m, x, y);
      ASSERT_EQ(p.palette_entry, want) << x << ", " << y;
      ASSERT_EQ(p.opaque, want != 0);
    }
  }
}

TEST(RendererSynthetic, VisibleSpriteCountCountsYBelow239) {
  Machine m = edge_console();
  EXPECT_EQ(visible_sprite_count(m), 0u);
  set_sprite(m, 3, 0, 1, 0, 0);
  set_sprite(m, 10, 238, 1, 0, 0);
  set_sprite(m, 11, 239, 1, 0, 0);
  EXPECT_EQ(visible_sprite_count(m), 2u);
}

// ---------------------------------------------------------------------------
// Edge cases.

TEST(RendererEdgeCases, MaskZeroShowsUniversalBackgroundEverywhere) {
  Machine m = edge_console();
  fill_nametable(m, 0, 3, 2);
  fill_nametable(m, 1, 2, 1);
  set_sprite(m, 0, 100, 3, 0, 100);
  m.ppu.mask = 0;
  const std::vector<uint8_t> rgb = rgb_full(m);
  std::vector<uint8_t> gray(W * H);
  render_gray(m, gray.data(), FULL);
  for (unsigned y = 0; y < H; ++y)
    for (unsigned x = 0; x < W; ++x) {
      ASSERT_TRUE(shows(m, rgb, x, y, 0));
      ASSERT_EQ(gray[y * W + x], m.renderer.gray_palette[0]);
    }
  std::vector<uint8_t> frame(FRAME_BYTES, 0);
  render_gray_playfield_cached(m, frame.data());
  for (size_t i = PLAYFIELD_OFFSET; i < FRAME_BYTES; ++i) ASSERT_EQ(frame[i], m.renderer.gray_palette[0]) << i;
}

TEST(RendererEdgeCases, SpritesAloneWithBackgroundHidden) {
  Machine m = edge_console();
  fill_nametable(m, 0, 3, 2);
  set_sprite(m, 0, 100, 3, 0x21, 100);  // behind the (hidden) background: shows
  m.ppu.mask = 0x10;
  const std::vector<uint8_t> rgb = rgb_full(m);
  EXPECT_TRUE(shows(m, rgb, 100, 101, 16 + 4 + 3));
  EXPECT_TRUE(shows(m, rgb, 99, 101, 0));
  expect_cached_matches_render_gray(m, "background hidden");
}

TEST(RendererEdgeCases, TopRowsIgnoreScroll) {
  std::mt19937_64 rng(11);
  Machine m = edge_console();
  for (auto& b : m.ppu.vram) b = static_cast<uint8_t>(rng() % 6);
  std::vector<uint8_t> reference(3 * W * H);
  render_rgb(m, reference.data(), FULL);
  for (auto [sx, sy] : {std::pair<uint16_t, uint16_t>{13, 0}, {0, 77}, {300, 201}, {511, 255}}) {
    m.ppu.scroll_x_px = sx;
    m.ppu.scroll_y_px = sy;
    const std::vector<uint8_t> rgb = rgb_full(m);
    for (unsigned y = 0; y < 32; ++y)
      for (unsigned x = 0; x < W; ++x) ASSERT_TRUE(same(pixel(rgb, x, y), pixel(reference, x, y))) << sx << " " << sy;
    bool row32_moved = false;
    for (unsigned x = 0; x < W; ++x) row32_moved |= !same(pixel(rgb, x, 32), pixel(reference, x, 32));
    EXPECT_TRUE(row32_moved) << "row 32 is the first scrolled row (sx " << sx << ", sy " << sy << ")";
  }
}

TEST(RendererEdgeCases, SecondNametableAtScroll256WithVerticalMirroring) {
  Machine m = edge_console(/*vertical=*/true);
  fill_nametable(m, 0, 1, 0);  // value 1, palette 0: entry 1
  fill_nametable(m, 1, 2, 3);  // value 2, palette 3: entry 14
  m.ppu.scroll_x_px = 256;
  const std::vector<uint8_t> rgb = rgb_full(m);
  for (unsigned y = 0; y < H; ++y)
    for (unsigned x = 0; x < W; ++x) ASSERT_TRUE(shows(m, rgb, x, y, y < 32 ? 1 : 14));
  // The override takes the place of scroll_x_px.
  m.ppu.has_scroll_override = 1;
  m.ppu.scroll_override_x_px = 0;
  const std::vector<uint8_t> back = rgb_full(m);
  EXPECT_TRUE(shows(m, back, 0, 100, 1));
  m.ppu.scroll_override_x_px = 128;
  const std::vector<uint8_t> half = rgb_full(m);
  EXPECT_TRUE(shows(m, half, 127, 100, 1));
  EXPECT_TRUE(shows(m, half, 128, 100, 14));
  expect_cached_matches_render_gray(m, "override 128");
}

TEST(RendererEdgeCases, HorizontalMirroringPicksNametableByRow) {
  Machine m = edge_console(/*vertical=*/false);
  fill_nametable(m, 0, 1, 0);
  fill_nametable(m, 1, 2, 3);
  m.ppu.scroll_x_px = 256;  // no effect on the nametable with horizontal mirroring
  m.ppu.scroll_y_px = 100;
  const std::vector<uint8_t> rgb = rgb_full(m);
  EXPECT_TRUE(shows(m, rgb, 0, 31, 1));
  EXPECT_TRUE(shows(m, rgb, 0, 139, 1));   // Y = 239
  EXPECT_TRUE(shows(m, rgb, 0, 140, 14));  // Y = 240: second nametable, row 0
  expect_cached_matches_render_gray(m, "horizontal mirroring");
}

TEST(RendererEdgeCases, AttributePalettes) {
  Machine m = edge_console();
  fill_nametable(m, 0, 1, 0);
  // Attribute byte for tile rows 4..7, tile columns 8..11: quadrants 1, 2, 3, 0.
  m.ppu.vram[0x3C0 + 8 + 2] = 0b00'11'10'01;
  const std::vector<uint8_t> rgb = rgb_full(m);
  EXPECT_TRUE(shows(m, rgb, 64, 8, 1));        // outside: palette 0
  EXPECT_TRUE(shows(m, rgb, 64, 32, 1 + 4));   // top left: palette 1
  EXPECT_TRUE(shows(m, rgb, 80, 32, 1 + 8));   // top right: palette 2
  EXPECT_TRUE(shows(m, rgb, 64, 48, 1 + 12));  // bottom left: palette 3
  EXPECT_TRUE(shows(m, rgb, 80, 48, 1));       // bottom right: palette 0
  expect_cached_matches_render_gray(m, "attributes");
}

TEST(RendererEdgeCases, NineSpritesOnALineDropTheHighestIndex) {
  Machine m = edge_console();
  for (unsigned i = 0; i < 8; ++i) set_sprite(m, i, 100, 3, 0, static_cast<uint8_t>(10 * i));  // lines 101..108
  set_sprite(m, 8, 104, 3, 1, 100);                                                            // lines 105..112
  const std::vector<uint8_t> rgb = rgb_full(m);
  for (unsigned line = 101; line <= 112; ++line) {
    const bool crowded = line <= 108;
    EXPECT_TRUE(shows(m, rgb, 102, line, line < 105 ? 0 : crowded ? 0 : 16 + 4 + 3)) << line;
    if (crowded) {
      EXPECT_TRUE(shows(m, rgb, 72, line, 16 + 3)) << line;
    }
  }
  // With eight sprites the last one shows on every line.
  set_sprite(m, 7, 0xF8, 3, 0, 70);
  const std::vector<uint8_t> eight = rgb_full(m);
  for (unsigned line = 105; line <= 112; ++line) EXPECT_TRUE(shows(m, eight, 102, line, 16 + 4 + 3)) << line;
  expect_cached_matches_render_gray(m, "eight sprites");
}

TEST(RendererEdgeCases, LowerOamIndexIsOnTop) {
  Machine m = edge_console();
  set_sprite(m, 5, 100, 2, 2, 100);  // value 2, palette 6: entry 26
  set_sprite(m, 9, 100, 3, 1, 104);  // value 3, palette 5: entry 23
  set_sprite(m, 2, 100, 0, 3, 100);  // empty tile on top: transparent
  const std::vector<uint8_t> rgb = rgb_full(m);
  EXPECT_TRUE(shows(m, rgb, 104, 101, 26));
  EXPECT_TRUE(shows(m, rgb, 107, 108, 26));
  EXPECT_TRUE(shows(m, rgb, 108, 101, 23));
  EXPECT_TRUE(shows(m, rgb, 99, 101, 0));
  expect_cached_matches_render_gray(m, "overlap");
}

TEST(RendererEdgeCases, BehindBackgroundSprite) {
  Machine m = edge_console();
  // Tile 4: left half opaque (value 1), right half transparent, everywhere.
  fill_nametable(m, 0, 4, 2);           // opaque pixels are entry 9
  set_sprite(m, 7, 100, 3, 0x00, 100);  // front sprite, value 3, palette 4: entry 19
  set_sprite(m, 3, 100, 3, 0x21, 100);  // behind, value 3, palette 5: entry 23
  const std::vector<uint8_t> rgb = rgb_full(m);
  for (unsigned line = 101; line <= 108; ++line) {
    // Columns 100..103 lie over transparent background pixels: the behind sprite shows.
    for (unsigned x = 100; x < 104; ++x) EXPECT_TRUE(shows(m, rgb, x, line, 23)) << x << ", " << line;
    // Columns 104..107 lie over opaque ones: the background hides both sprites.
    for (unsigned x = 104; x < 108; ++x) EXPECT_TRUE(shows(m, rgb, x, line, 9)) << x << ", " << line;
  }
  expect_cached_matches_render_gray(m, "behind background");
  // Rows 0..31 use the unscrolled background rule for the priority test too.
  m.ppu.scroll_x_px = 4;
  set_sprite(m, 3, 10, 3, 0x21, 0);
  const std::vector<uint8_t> top = rgb_full(m);
  EXPECT_TRUE(shows(m, top, 0, 11, 9));
  EXPECT_TRUE(shows(m, top, 4, 11, 23));
  // With the background hidden the sprite always shows.
  m.ppu.mask = 0x10;
  const std::vector<uint8_t> hidden = rgb_full(m);
  EXPECT_TRUE(shows(m, hidden, 0, 11, 23));
}

TEST(RendererEdgeCases, SpriteFlipsAndEdges) {
  Machine m = edge_console();
  set_sprite(m, 0, 50, 4, 0x00, 20);    // left half
  set_sprite(m, 1, 70, 4, 0x40, 20);    // flipped: right half
  set_sprite(m, 2, 90, 5, 0x00, 20);    // top row
  set_sprite(m, 3, 110, 5, 0x80, 20);   // flipped: bottom row
  set_sprite(m, 4, 130, 3, 0x00, 252);  // only 4 columns, no wrap to the left edge
  set_sprite(m, 5, 234, 3, 0x00, 0);    // lines 235..239 only
  m.ppu.ctrl = 0x08;                    // sprites from the upper pattern half (same tiles)
  const std::vector<uint8_t> rgb = rgb_full(m);
  EXPECT_TRUE(shows(m, rgb, 20, 51, 17));
  EXPECT_TRUE(shows(m, rgb, 24, 51, 0));
  EXPECT_TRUE(shows(m, rgb, 20, 71, 0));
  EXPECT_TRUE(shows(m, rgb, 24, 71, 17));
  EXPECT_TRUE(shows(m, rgb, 20, 91, 19));
  EXPECT_TRUE(shows(m, rgb, 20, 92, 0));
  EXPECT_TRUE(shows(m, rgb, 20, 111, 0));
  EXPECT_TRUE(shows(m, rgb, 20, 118, 19));
  EXPECT_TRUE(shows(m, rgb, 255, 131, 19));
  EXPECT_TRUE(shows(m, rgb, 0, 131, 0));
  EXPECT_TRUE(shows(m, rgb, 0, 239, 19));
  EXPECT_TRUE(shows(m, rgb, 0, 234, 0));
  expect_cached_matches_render_gray(m, "flips");
}

TEST(RendererEdgeCases, PaletteByteIsTakenModulo64) {
  Machine m = edge_console();
  fill_nametable(m, 0, 1, 1);
  ppu_write_palette(m, 5, 0x45);
  const std::vector<uint8_t> rgb = rgb_full(m);
  EXPECT_TRUE(same(pixel(rgb, 10, 10), NES_PALETTE_RGB[0x05]));
  std::vector<uint8_t> gray(W * H);
  render_gray(m, gray.data(), FULL);
  EXPECT_EQ(gray[10 * W + 10], NES_PALETTE_GRAY[0x05]);
  std::vector<uint8_t> frame(FRAME_BYTES);
  render_gray_playfield_cached(m, frame.data());
  EXPECT_EQ(frame[PLAYFIELD_OFFSET], NES_PALETTE_GRAY[0x05]);
  // Colour indices, through the lookup and pixel by pixel (a run that does not start on a tile).
  ColourIndexLut lut;
  std::vector<uint8_t> indices(40 * 2);
  render_colour_indices(m, indices.data(), Rect{3, 10, 40, 2}, lut.lookup(m));
  EXPECT_EQ(indices, std::vector<uint8_t>(40 * 2, 0x05));
}

// ---------------------------------------------------------------------------
// The cached gray path.

std::array<uint32_t, 1024> expected_lut(const Machine& m) {
  std::array<uint32_t, 1024> lut{};
  const auto& g = m.renderer.gray_palette;
  for (unsigned q = 0; q < 4; ++q)
    for (unsigned b = 0; b < 256; ++b)
      for (unsigned j = 0; j < 4; ++j) {
        const unsigned v = (b >> (2 * j)) & 3;
        lut[q * 256 + b] |= uint32_t(v ? g[4 * q + v] : g[0]) << (8 * j);
      }
  return lut;
}

void corrupt_lut(Machine& m) {
  std::unique_lock lock(m.renderer.lut_lock);
  m.renderer.palette_lut.fill(0xDEADBEEF);
}

TEST(RendererCachedPath, PowerOnCacheIsUniversalGray) {
  Machine m = edge_console();
  Machine fresh(m.cartridge);
  EXPECT_EQ(fresh.renderer.bg_palette_dirty.load(), 0);
  for (uint8_t g : fresh.renderer.gray_palette) EXPECT_EQ(g, 114);
  for (uint32_t w : fresh.renderer.palette_lut) EXPECT_EQ(w, 0x72727272u);
  EXPECT_FALSE(fresh.playfield.background.valid);
}

TEST(RendererCachedPath, RefreshRebuildsEverything) {
  Machine m = edge_console();
  m.ppu.palette[3] = 0x2A;  // replaced without the write path
  corrupt_lut(m);
  m.renderer.bg_palette_dirty = 0x05;
  refresh_renderer_cache(m);
  EXPECT_EQ(m.renderer.gray_palette[3], NES_PALETTE_GRAY[0x2A]);
  EXPECT_EQ(m.renderer.palette_lut, expected_lut(m));
  EXPECT_EQ(m.renderer.bg_palette_dirty.load(), 0);
}

TEST(RendererCachedPath, PaletteEntry0WriteRebuildsAllQuarters) {
  Machine m = edge_console();
  fill_nametable(m, 0, 1, 0);
  refresh_renderer_cache(m);
  corrupt_lut(m);
  // Through the registers, at the mirror 0x3F10 of entry 0.
  ppu_write_register(m, 6, 0x3F);
  ppu_write_register(m, 6, 0x10);
  ppu_write_register(m, 7, 0x30);
  EXPECT_EQ(m.ppu.palette[0], 0x30);
  EXPECT_EQ(m.renderer.bg_palette_dirty.load(), 0x0F);
  std::vector<uint8_t> frame(FRAME_BYTES);
  render_gray_playfield_cached(m, frame.data());
  EXPECT_EQ(m.renderer.bg_palette_dirty.load(), 0);
  EXPECT_EQ(m.renderer.palette_lut, expected_lut(m));
  expect_cached_matches_render_gray(m, "after entry 0");
}

TEST(RendererCachedPath, PaletteWriteRebuildsOnlyItsQuarter) {
  Machine m = edge_console();
  fill_nametable(m, 0, 3, 1);
  refresh_renderer_cache(m);
  corrupt_lut(m);
  ppu_write_palette(m, 6, 0x27);   // palette 1
  ppu_write_palette(m, 8, 0x27);   // entry 8 is never drawn by the background: no bit
  ppu_write_palette(m, 17, 0x27);  // sprite palettes: no bit
  EXPECT_EQ(m.renderer.bg_palette_dirty.load(), 0x02);
  std::vector<uint8_t> frame(FRAME_BYTES);
  render_gray_playfield_cached(m, frame.data());
  const auto want = expected_lut(m);
  for (unsigned i = 0; i < 1024; ++i) {
    if (i / 256 == 1) {
      ASSERT_EQ(m.renderer.palette_lut[i], want[i]) << i;
    } else {
      ASSERT_EQ(m.renderer.palette_lut[i], 0xDEADBEEFu) << i;
    }
  }
  expect_cached_matches_render_gray(m, "quarter 1");
}

// Scrolling redraws keep the pixels still on screen: random scroll moves
// (both directions, across the 512-pixel wrap, beyond the screen width) mixed
// with nametable, attribute and background palette writes, under both
// mirrorings, must always give render_gray's pixels, through the cached path
// and the row visitor alike.
TEST(RendererCachedPath, ScrolledRedrawsMatchRenderGray) {
  for (const bool vertical : {false, true}) {
    std::mt19937_64 rng(vertical ? 21 : 12);
    Machine m = edge_console(vertical);
    for (auto& b : m.ppu.vram) b = static_cast<uint8_t>(rng() % 6);
    set_sprite(m, 0, 100, 3, 0x20, 60);
    m.ppu.scroll_x_px = 500;
    m.ppu.scroll_y_px = vertical ? 3 : 100;  // horizontal: the playfield shows both nametables
    for (int i = 0; i < 120; ++i) {
      const int move = static_cast<int>(rng() % 41) - 20;
      if (i % 17 == 0) {
        m.ppu.scroll_x_px = static_cast<uint16_t>(rng() % 512);  // far jump
      } else {
        m.ppu.scroll_x_px = static_cast<uint16_t>((m.ppu.scroll_x_px + 512 + move) % 512);
      }
      const unsigned writes = rng() % 4;
      for (unsigned w = 0; w < writes; ++w) {
        const size_t at = rng() % 2048;
        m.ppu.vram[at] = static_cast<uint8_t>(rng() % 6 + ((at & 0x3FF) >= 0x3C0 ? rng() % 256 : 0));
      }
      if (i % 29 == 5) m.ppu.has_scroll_override = !m.ppu.has_scroll_override, m.ppu.scroll_override_x_px = 77;
      if (i % 5 == 2) ppu_write_palette(m, static_cast<unsigned>(rng() % 16), static_cast<uint8_t>(rng() % 64));
      const std::string what = std::string(vertical ? "vertical" : "horizontal") + " step " + std::to_string(i);
      if (i % 2 == 0) {
        expect_cached_matches_render_gray(m, what.c_str());
      } else {
        std::vector<uint8_t> want(FRAME_BYTES);
        render_gray(m, want.data(), VISIBLE_RECT);
        expect_visited_rows_match(m, want, what.c_str());
      }
      if (::testing::Test::HasFailure()) return;
    }
  }
}

// The cached background follows the control register's pattern table bit and
// ignores its other bits, with and without a scroll move in between.
TEST(RendererCachedPath, PatternTableBitRedrawsTheBackgroundOtherBitsDoNot) {
  std::vector<uint8_t> chr = edge_chr();
  for (unsigned i = 0x1000; i < 0x2000; ++i) chr[i] = static_cast<uint8_t>(chr[i] ^ 0x3C);
  const auto cart = cartridge_with_chr(chr, true);
  Machine m(cart);
  write_palette(m, DISTINCT_PALETTE);
  m.ppu.mask = 0x08;
  for (size_t i = 0; i < m.ppu.vram.size(); ++i) m.ppu.vram[i] = static_cast<uint8_t>(i % 6);
  const uint8_t controls[] = {0x00, 0x10, 0x10, 0x81, 0x91, 0x01, 0x10, 0x00};
  for (size_t i = 0; i < sizeof controls; ++i) {
    m.ppu.ctrl = controls[i];
    m.ppu.scroll_x_px = static_cast<uint16_t>(i % 3 == 2 ? 40 + i : 40);
    expect_cached_matches_render_gray(m, ("control " + std::to_string(i)).c_str());
  }
}

// The band (frame rows 0..31) through its cache equals render_gray's rows.
void expect_band_matches_render_gray(const Machine& m, BandCache& cache, const std::string& what) {
  std::vector<uint8_t> want(32 * VISIBLE_FRAME_WIDTH), got(32 * VISIBLE_FRAME_WIDTH, 0xA5);
  render_gray(m, want.data(), Rect{8, 8, VISIBLE_FRAME_WIDTH, 32});
  render_gray_band(m, cache, got.data());
  ASSERT_EQ(got, want) << what;
}

// The band's cached rows are reused while nothing they depend on changes, and
// redrawn after any change to one of those inputs; the scrolled rows 32..39
// and the sprites are drawn every time.
TEST(RendererBand, ReusesItsRowsUntilAnInputChanges) {
  for (const bool vertical : {false, true}) {
    std::mt19937_64 rng(vertical ? 3 : 4);
    Machine m = edge_console(vertical, true);
    for (auto& b : m.ppu.vram) b = static_cast<uint8_t>(rng() % 6);
    for (size_t i = 0x3C0; i < 0x400; ++i) m.ppu.vram[i] = static_cast<uint8_t>(rng());
    m.ppu.scroll_x_px = 21;
    m.ppu.scroll_y_px = 5;
    set_sprite(m, 0, 12, 3, 0x00, 40);   // in the unscrolled rows
    set_sprite(m, 1, 30, 2, 0x20, 100);  // across the first scrolled rows, behind the background
    BandCache cache;
    expect_band_matches_render_gray(m, cache, "first draw");
    ASSERT_TRUE(cache.valid);

    // Reuse: a marked cached pixel comes back as it is.
    cache.image[5] ^= 0xFF;
    std::vector<uint8_t> band(32 * VISIBLE_FRAME_WIDTH), plain(32 * VISIBLE_FRAME_WIDTH);
    render_gray_band(m, cache, band.data());
    render_gray(m, plain.data(), Rect{8, 8, VISIBLE_FRAME_WIDTH, 32});
    EXPECT_EQ(band[5], static_cast<uint8_t>(plain[5] ^ 0xFF));
    cache.image[5] ^= 0xFF;

    const auto after = [&](const char* what, auto&& change) {
      change();
      expect_band_matches_render_gray(m, cache, std::string(vertical ? "vertical " : "horizontal ") + what);
    };
    after("scroll only (rows 32..39)", [&] {
      m.ppu.scroll_x_px = 300;
      m.ppu.scroll_y_px = 77;
    });
    after("band tile", [&] { m.ppu.vram[32 + rng() % 96] ^= 3; });
    after("last band tile", [&] { m.ppu.vram[127] ^= 5; });
    after("band attribute", [&] { m.ppu.vram[0x3C0 + rng() % 8] ^= 0xFF; });
    after("tile below the band", [&] { m.ppu.vram[128] ^= 1; });
    after("other nametable", [&] { m.ppu.vram[0x400 + 40] ^= 1; });
    after("pattern table", [&] { m.ppu.ctrl ^= 0x10; });
    after("sprites only", [&] { m.ppu.mask = 0x10; });
    after("background back", [&] { m.ppu.mask = 0x18; });
    after("palette", [&] { ppu_write_palette(m, 2, 0x38); });
    after("universal colour", [&] { ppu_write_palette(m, 0, 0x21); });
    after("sprite moved", [&] { set_sprite(m, 0, 20, 3, 0x40, 9); });
    after("nothing shown", [&] { m.ppu.mask = 0; });
    after("everything back", [&] { m.ppu.mask = 0x18; });
  }
}

TEST(RendererCachedPath, SecondCallReusesTheBackground) {
  std::mt19937_64 rng(5);
  Machine m = edge_console();
  for (auto& b : m.ppu.vram) b = static_cast<uint8_t>(rng() % 6);
  m.ppu.scroll_x_px = 37;
  set_sprite(m, 0, 60, 3, 0, 30);
  std::vector<uint8_t> first(FRAME_BYTES), second(FRAME_BYTES);
  render_gray_playfield_cached(m, first.data());
  ASSERT_TRUE(m.playfield.background.valid);
  EXPECT_EQ(m.playfield.background.key.sx, 37);
  // Mark the stored background: a reuse copies the mark, sprites are drawn again on top.
  m.playfield.background.row(0)[0] ^= 0xFF;
  render_gray_playfield_cached(m, second.data());
  EXPECT_EQ(second[PLAYFIELD_OFFSET], static_cast<uint8_t>(first[PLAYFIELD_OFFSET] ^ 0xFF));
  second[PLAYFIELD_OFFSET] ^= 0xFF;
  EXPECT_EQ(first, second);
  m.playfield.background.row(0)[0] ^= 0xFF;

  // Every key field forces a redraw.
  const auto redraw_after = [&](const char* what, auto&& change) {
    change();
    expect_cached_matches_render_gray(m, what);
  };
  redraw_after("vram", [&] { m.ppu.vram[0x2A5] ^= 1; });
  redraw_after("attribute", [&] { m.ppu.vram[0x3D5] ^= 0xFF; });
  redraw_after("scroll x", [&] { m.ppu.scroll_x_px = 300; });
  redraw_after("override", [&] {
    m.ppu.has_scroll_override = 1;
    m.ppu.scroll_override_x_px = 5;
  });
  redraw_after("scroll y", [&] { m.ppu.scroll_y_px = 9; });
  redraw_after("ctrl", [&] { m.ppu.ctrl = 0x10; });
  redraw_after("mask", [&] { m.ppu.mask = 0x10; });
  redraw_after("mask back", [&] { m.ppu.mask = 0x18; });
  redraw_after("palette", [&] { ppu_write_palette(m, 2, 0x38); });
  redraw_after("universal", [&] { ppu_write_palette(m, 0, 0x21); });
  redraw_after("sprites only", [&] { set_sprite(m, 1, 80, 2, 0x20, 40); });
  redraw_after("cleared", [&] {
    clear_background_cache(m);
    EXPECT_FALSE(m.playfield.background.valid);
  });
}

TEST(RendererCachedPath, ConcurrentDrawsOfOneConsoleAgree) {
  std::mt19937_64 rng(9);
  Machine m = edge_console();
  for (auto& b : m.ppu.vram) b = static_cast<uint8_t>(rng() % 6);
  set_sprite(m, 0, 60, 3, 0x20, 30);
  ppu_write_palette(m, 0, 0x21);  // every quarter stale
  std::vector<uint8_t> want(FRAME_BYTES);
  render_gray(m, want.data(), VISIBLE_RECT);
  const Machine& shared = m;
  std::vector<std::thread> threads;
  std::atomic<int> mismatches{0};
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      std::vector<uint8_t> frame(FRAME_BYTES), gray(FRAME_BYTES);
      for (int i = 0; i < 50; ++i) {
        if ((i + t) % 7 == 0) clear_background_cache(shared);
        render_gray_playfield_cached(shared, frame.data());
        render_gray(shared, gray.data(), VISIBLE_RECT);
        if (!std::equal(frame.begin() + PLAYFIELD_OFFSET, frame.end(), want.begin() + PLAYFIELD_OFFSET) || gray != want)
          ++mismatches;
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(mismatches.load(), 0);
}

TEST(RendererCachedPath, CopyStartsWithEmptyBackgroundCache) {
  Machine m = edge_console();
  fill_nametable(m, 0, 3, 2);
  ppu_write_palette(m, 11, 0x16);
  std::vector<uint8_t> frame(FRAME_BYTES);
  render_gray_playfield_cached(m, frame.data());
  ASSERT_TRUE(m.playfield.background.valid);
  ppu_write_palette(m, 1, 0x2C);  // left dirty for the copy

  Machine copy(m);
  EXPECT_FALSE(copy.playfield.background.valid);
  EXPECT_EQ(copy.renderer.gray_palette, m.renderer.gray_palette);
  EXPECT_EQ(copy.renderer.palette_lut, m.renderer.palette_lut);
  EXPECT_EQ(copy.renderer.bg_palette_dirty.load(), m.renderer.bg_palette_dirty.load());
  expect_cached_matches_render_gray(copy, "copy");

  Machine assigned = edge_console();
  render_gray_playfield_cached(assigned, frame.data());
  ASSERT_TRUE(assigned.playfield.background.valid);
  assigned = m;
  EXPECT_FALSE(assigned.playfield.background.valid);
  EXPECT_EQ(assigned.renderer.gray_palette, m.renderer.gray_palette);
  expect_cached_matches_render_gray(assigned, "assigned");
  EXPECT_TRUE(m.playfield.background.valid);
}

// ---------------------------------------------------------------------------
// Real frames of the supported game.

struct PlayStats {
  unsigned frames = 0;
  unsigned scroll_changes = 0;
  unsigned palette_changes = 0;
  unsigned repeated_draws = 0;
  unsigned sprite_frames = 0;
};

// Scripted play: mostly running right with jumps of random length, sometimes
// standing or walking left.
uint8_t scripted_buttons(std::mt19937_64& rng, unsigned frame) {
  const unsigned phase = (frame / 40) % 8;
  uint8_t b = phase == 5 ? 0x40 : phase == 6 ? 0x00 : 0x82;
  if (rng() % 3 == 0 || (frame / 12) % 3 == 0) b |= 0x01;
  if (rng() % 16 == 0) b = static_cast<uint8_t>(rng() & 0xF7);  // never Start
  return b;
}

// Runs `frames` frames and checks the renderers on each.
void play_and_check(Machine& m, unsigned seed, unsigned frames, PlayStats& stats) {
  std::mt19937_64 rng(seed);
  std::vector<uint8_t> gray(FRAME_BYTES), cached(FRAME_BYTES, 0xA5), again(FRAME_BYTES);
  BandCache band_cache;
  uint16_t last_sx = m.ppu.scroll_x_px;
  for (unsigned f = 0; f < frames; ++f) {
    step_frame(m, scripted_buttons(rng, f));
    if (m.terminated) break;
    ++stats.frames;
    stats.scroll_changes += m.ppu.scroll_x_px != last_sx;
    last_sx = m.ppu.scroll_x_px;
    stats.palette_changes += m.renderer.bg_palette_dirty.load() != 0;
    stats.sprite_frames += visible_sprite_count(m) > 0;

    render_gray(m, gray.data(), VISIBLE_RECT);
    {
      std::vector<uint8_t> band(32 * VISIBLE_FRAME_WIDTH);
      render_gray_band(m, band_cache, band.data());
      ASSERT_TRUE(std::equal(band.begin(), band.end(), gray.begin())) << "frame " << f << ": band differs";
    }
    // Odd frames: the row visitor draws the background first and the cached
    // path reuses it; even frames the other way round.
    if (f % 2 == 1) expect_visited_rows_match(m, gray, "visitor first");
    render_gray_playfield_cached(m, cached.data());
    if (f % 2 == 0) expect_visited_rows_match(m, gray, "visitor after the cached path");
    ASSERT_TRUE(std::equal(cached.begin() + PLAYFIELD_OFFSET, cached.end(), gray.begin() + PLAYFIELD_OFFSET))
        << "frame " << f << ": cached playfield differs from render_gray";
    ASSERT_TRUE(std::all_of(cached.begin(), cached.begin() + PLAYFIELD_OFFSET, [](uint8_t b) { return b == 0xA5; }));
    if (f % 4 == 0) {
      // Twice without changes: the second draw comes from the cache and gives the same bytes.
      render_gray_playfield_cached(m, again.data());
      ASSERT_TRUE(std::equal(again.begin() + PLAYFIELD_OFFSET, again.end(), gray.begin() + PLAYFIELD_OFFSET));
      ++stats.repeated_draws;
    }
    if (f % 10 == 0) {
      expect_gray_is_formula_of_rgb(m, FULL);
      expect_gray_is_formula_of_rgb(m, VISIBLE_RECT);
    }
    if (f % 97 == 50) {
      // A copy draws the same picture from an empty background cache.
      Machine copy(m);
      EXPECT_FALSE(copy.playfield.background.valid);
      std::vector<uint8_t> copied(FRAME_BYTES);
      render_gray_playfield_cached(copy, copied.data());
      ASSERT_TRUE(std::equal(copied.begin() + PLAYFIELD_OFFSET, copied.end(), gray.begin() + PLAYFIELD_OFFSET));
    }
    if (::testing::Test::HasFailure()) return;
  }
}

TEST(RendererRealFrames, CachedPathAndGrayMatchTheGeneralRenderers) {
  const auto cart = testing::supported_cartridge();
  if (!cart) GTEST_SKIP() << "supported cartridge not available (set TANUVEX_TURBO_ROM)";
  PlayStats stats;
  const std::string dir = testing::states_dir();
  if (dir.empty()) {
    // No start states: power on and press Start.
    Machine m(cart);
    reset_machine(m);
    for (unsigned f = 0; f < 180; ++f) step_frame(m, (f >= 60 && f < 66) ? 0x08 : 0x00);
    play_and_check(m, 1, 600, stats);
  } else {
    const auto files = testing::list_state_files(dir);
    ASSERT_FALSE(files.empty()) << "no .state files in " << dir;
    unsigned seed = 0;
    for (const std::string& file : files) {
      SCOPED_TRACE(file);
      const std::vector<uint8_t> image = testing::gunzip(testing::read_bytes(file));
      Machine m(cart);
      const auto error = load_state_image(m, image.data(), image.size());
      ASSERT_FALSE(error.has_value()) << *error;
      play_and_check(m, ++seed, 300, stats);
      if (HasFailure()) return;
    }
  }
  // The play really scrolled, changed palettes and showed sprites.
  EXPECT_GT(stats.scroll_changes, stats.frames / 10);
  EXPECT_GT(stats.palette_changes, 0u);
  EXPECT_GT(stats.repeated_draws, 0u);
  EXPECT_GT(stats.sprite_frames, stats.frames / 2);
}

}  // namespace
}  // namespace tt
