#include "vec_env/area_resize.h"

#include <algorithm>
#include <cmath>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace tt {

namespace {

// Exact floor(s / d) by multiply and shift for the cell sums of the 240 -> 84
// tables: d = 4, 6, 9 and s <= d * 255.
constexpr uint32_t DIV_SHIFT = 16;
constexpr uint32_t div_magic(uint32_t d) { return ((1u << DIV_SHIFT) + d - 1) / d; }
constexpr bool magic_is_exact(uint32_t d) {
  for (uint32_t s = 0; s <= d * 255; ++s) {
    if (((s * div_magic(d)) >> DIV_SHIFT) != s / d) return false;
  }
  return true;
}
static_assert(magic_is_exact(4) && magic_is_exact(6) && magic_is_exact(9));
static_assert(div_magic(4) <= 0xFFFF && 9 * 255 <= 0xFFFF);  // 16-bit factors, high half of the product
static_assert(DIV_SHIFT == 16);

constexpr size_t FAST_SRC_WIDTH = 240;
constexpr size_t MAX_SRC_WIDTH = 240;  // source regions lie inside the visible frame
constexpr size_t FAST_DST = 84;
constexpr size_t MAX_FAST_SRC_HEIGHT = 224;

}  // namespace

AreaSpan area_span(uint64_t i, uint64_t src, uint64_t dst) {
  const uint64_t lo = i * src / dst;
  const uint64_t hi = std::min(src, std::max((i + 1) * src / dst, lo + 1));
  return AreaSpan{static_cast<uint32_t>(lo), static_cast<uint32_t>(hi)};
}

AreaResizeTable build_area_resize_table(uint64_t src_width, uint64_t src_height, uint64_t dst_width,
                                        uint64_t dst_height) {
  AreaResizeTable t;
  t.src_width = src_width;
  t.src_height = src_height;
  t.dst_width = dst_width;
  t.dst_height = dst_height;
  t.cells.reserve(dst_width * dst_height);
  for (uint64_t y = 0; y < dst_height; ++y) {
    const AreaSpan ys = area_span(y, src_height, dst_height);
    for (uint64_t x = 0; x < dst_width; ++x) {
      const AreaSpan xs = area_span(x, src_width, dst_width);
      AreaCell cell;
      cell.x0 = xs.lo;
      cell.x1 = xs.hi;
      cell.y0 = ys.lo;
      cell.y1 = ys.hi;
      cell.count = static_cast<uint32_t>((cell.x1 - cell.x0) * (cell.y1 - cell.y0));
      t.cells.push_back(cell);
    }
  }
  return t;
}

PlaneResizer::PlaneResizer(const AreaResizeTable& table, ResizeAlgorithm algorithm)
    : algorithm_(algorithm),
      src_w_(table.src_width),
      src_h_(table.src_height),
      dst_w_(table.dst_width),
      dst_h_(table.dst_height) {
  cols_.resize(dst_w_);
  rows_.resize(dst_h_);
  for (size_t x = 0; x < dst_w_; ++x) cols_[x] = area_span(x, src_w_, dst_w_);
  for (size_t y = 0; y < dst_h_; ++y) rows_[y] = area_span(y, src_h_, dst_h_);

  if (algorithm_ == ResizeAlgorithm::Area && src_w_ == FAST_SRC_WIDTH && dst_w_ == FAST_DST && dst_h_ == FAST_DST &&
      (src_h_ == 224 || src_h_ == 192)) {
    fast_area_ = true;
    for (const AreaSpan& r : rows_) fast_area_ = fast_area_ && (r.hi - r.lo == 2 || r.hi - r.lo == 3);
    // In every group of 7 output columns the first covers 2 source columns
    // and the others 3.
    for (size_t x = 0; x < dst_w_; ++x) {
      const size_t group_start = (x / 7) * 20;
      const size_t lo = (x % 7) == 0 ? group_start : group_start + 2 + 3 * ((x % 7) - 1);
      const size_t width = (x % 7) == 0 ? 2 : 3;
      fast_area_ = fast_area_ && cols_[x].lo == lo && cols_[x].hi == lo + width;
    }
  }

  if (algorithm_ == ResizeAlgorithm::Nearest) {
    near_x_.resize(dst_w_);
    near_y_.resize(dst_h_);
    for (size_t x = 0; x < dst_w_; ++x) {
      near_x_[x] = static_cast<uint32_t>(std::min<uint64_t>(static_cast<uint64_t>(x) * src_w_ / dst_w_, src_w_ - 1));
    }
    for (size_t y = 0; y < dst_h_; ++y) {
      near_y_[y] = static_cast<uint32_t>(std::min<uint64_t>(static_cast<uint64_t>(y) * src_h_ / dst_h_, src_h_ - 1));
    }
  }

  if (algorithm_ == ResizeAlgorithm::Bilinear) {
    auto axis = [](size_t dst, size_t src, std::vector<uint32_t>& lo, std::vector<uint32_t>& hi,
                   std::vector<float>& frac) {
      lo.resize(dst);
      hi.resize(dst);
      frac.resize(dst);
      for (size_t i = 0; i < dst; ++i) {
        if (dst == 1) {
          lo[i] = hi[i] = 0;
          frac[i] = 0.0f;
          continue;
        }
        const float s = static_cast<float>(i) * static_cast<float>(src - 1) / static_cast<float>(dst - 1);
        const uint32_t i0 = static_cast<uint32_t>(std::floor(s));
        lo[i] = i0;
        hi[i] = std::min<uint32_t>(i0 + 1, static_cast<uint32_t>(src - 1));
        frac[i] = s - static_cast<float>(i0);
      }
    };
    axis(dst_w_, src_w_, bx0_, bx1_, bfx_);
    axis(dst_h_, src_h_, by0_, by1_, bfy_);
  }
}

void PlaneResizer::resize(const uint8_t* src, uint8_t* dst) const {
  switch (algorithm_) {
    case ResizeAlgorithm::Area:
      resize_area_rows(src, dst, 0, dst_h_);
      break;
    case ResizeAlgorithm::Nearest:
      resize_nearest(src, dst);
      break;
    case ResizeAlgorithm::Bilinear:
      resize_bilinear(src, dst);
      break;
  }
}

void PlaneResizer::resize_area_rows(const uint8_t* src, uint8_t* dst, size_t row_begin, size_t row_end) const {
  if (fast_area_) {
    resize_area_fast(src, dst, row_begin, row_end);
  } else {
    resize_area_general(src, dst, row_begin, row_end);
  }
}

void PlaneResizer::resize_area_general(const uint8_t* src, uint8_t* dst, size_t row_begin, size_t row_end) const {
  uint32_t acc[MAX_SRC_WIDTH];
  for (size_t y = row_begin; y < row_end; ++y) {
    const AreaSpan rs = rows_[y];
    const uint8_t* row = src + static_cast<size_t>(rs.lo) * src_w_;
    for (size_t x = 0; x < src_w_; ++x) acc[x] = row[x];
    for (uint32_t r = rs.lo + 1; r < rs.hi; ++r) {
      row += src_w_;
      for (size_t x = 0; x < src_w_; ++x) acc[x] += row[x];
    }
    const uint32_t height = rs.hi - rs.lo;
    uint8_t* out = dst + y * dst_w_;
    for (size_t x = 0; x < dst_w_; ++x) {
      const AreaSpan cs = cols_[x];
      uint64_t sum = 0;
      for (uint32_t c = cs.lo; c < cs.hi; ++c) sum += acc[c];
      const uint64_t count = static_cast<uint64_t>(cs.hi - cs.lo) * height;
      out[x] = static_cast<uint8_t>(sum / count);
    }
  }
}

void PlaneResizer::resize_area_fast(const uint8_t* src, uint8_t* dst, size_t row_begin, size_t row_end) const {
  const uint8_t* rows[MAX_FAST_SRC_HEIGHT];
  for (size_t y = 0; y < src_h_; ++y) rows[y] = src + y * FAST_SRC_WIDTH;
  resize_area_fast_rows(rows, dst, row_begin, row_end);
}

void PlaneResizer::resize_area_fast_rows(const uint8_t* const* rows, uint8_t* dst, size_t row_begin,
                                         size_t row_end) const {
  // Per output row: the vertical sums of its 2 or 3 source rows, then the
  // quotient of every 3-column window (both passes vectorise), from which the
  // 3-column cells are picked; the one 2-column cell of each group of 7 is
  // computed on its own. Division is multiply-and-shift (high half of a 16-bit
  // product), exact for the sums that occur.
  alignas(64) uint16_t acc[FAST_SRC_WIDTH + 8];
  alignas(64) uint16_t wide[FAST_SRC_WIDTH];
  for (size_t x = FAST_SRC_WIDTH; x < FAST_SRC_WIDTH + 8; ++x) acc[x] = 0;
  constexpr auto M4 = static_cast<uint16_t>(div_magic(4));
  constexpr auto M6 = static_cast<uint16_t>(div_magic(6));
  constexpr auto M9 = static_cast<uint16_t>(div_magic(9));
  for (size_t y = row_begin; y < row_end; ++y) {
    const AreaSpan rs = rows_[y];
    const uint8_t* r0 = rows[rs.lo];
    const uint8_t* r1 = rows[rs.lo + 1];
    const bool tall = rs.hi - rs.lo == 3;
    if (tall) {
      const uint8_t* r2 = rows[rs.lo + 2];
      for (size_t x = 0; x < FAST_SRC_WIDTH; ++x) acc[x] = static_cast<uint16_t>(r0[x] + r1[x] + r2[x]);
    } else {
      for (size_t x = 0; x < FAST_SRC_WIDTH; ++x) acc[x] = static_cast<uint16_t>(r0[x] + r1[x]);
    }
    const uint16_t m_narrow = tall ? M6 : M4;  // 2-column cells
    const uint16_t m_wide = tall ? M9 : M6;    // 3-column cells
#if defined(__SSE2__)
    const __m128i factor = _mm_set1_epi16(static_cast<short>(m_wide));
    for (size_t x = 0; x < FAST_SRC_WIDTH; x += 8) {
      const __m128i a0 = _mm_load_si128(reinterpret_cast<const __m128i*>(acc + x));
      const __m128i a1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(acc + x + 1));
      const __m128i a2 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(acc + x + 2));
      const __m128i sum = _mm_add_epi16(_mm_add_epi16(a0, a1), a2);
      _mm_store_si128(reinterpret_cast<__m128i*>(wide + x), _mm_mulhi_epu16(sum, factor));
    }
#else
    for (size_t x = 0; x < FAST_SRC_WIDTH; ++x) {
      const uint16_t sum = static_cast<uint16_t>(acc[x] + acc[x + 1] + acc[x + 2]);
      wide[x] = static_cast<uint16_t>((static_cast<uint32_t>(sum) * m_wide) >> DIV_SHIFT);
    }
#endif
    uint8_t* out = dst + y * FAST_DST;
    for (size_t g = 0; g < 12; ++g) {
      const size_t a = g * 20;
      uint8_t* o = out + g * 7;
      o[0] = static_cast<uint8_t>((static_cast<uint32_t>(acc[a] + acc[a + 1]) * m_narrow) >> DIV_SHIFT);
      o[1] = static_cast<uint8_t>(wide[a + 2]);
      o[2] = static_cast<uint8_t>(wide[a + 5]);
      o[3] = static_cast<uint8_t>(wide[a + 8]);
      o[4] = static_cast<uint8_t>(wide[a + 11]);
      o[5] = static_cast<uint8_t>(wide[a + 14]);
      o[6] = static_cast<uint8_t>(wide[a + 17]);
    }
  }
}

void PlaneResizer::resize_nearest(const uint8_t* src, uint8_t* dst) const {
  for (size_t y = 0; y < dst_h_; ++y) {
    const uint8_t* row = src + static_cast<size_t>(near_y_[y]) * src_w_;
    uint8_t* out = dst + y * dst_w_;
    for (size_t x = 0; x < dst_w_; ++x) out[x] = row[near_x_[x]];
  }
}

void PlaneResizer::resize_bilinear(const uint8_t* src, uint8_t* dst) const {
  for (size_t y = 0; y < dst_h_; ++y) {
    const uint8_t* row0 = src + static_cast<size_t>(by0_[y]) * src_w_;
    const uint8_t* row1 = src + static_cast<size_t>(by1_[y]) * src_w_;
    const float fy = bfy_[y];
    uint8_t* out = dst + y * dst_w_;
    for (size_t x = 0; x < dst_w_; ++x) {
      const float fx = bfx_[x];
      const float s00 = row0[bx0_[x]], s01 = row0[bx1_[x]];
      const float s10 = row1[bx0_[x]], s11 = row1[bx1_[x]];
      const float top = s01 * fx + s00 * (1.0f - fx);
      const float bottom = s11 * fx + s10 * (1.0f - fx);
      const float v = bottom * fy + top * (1.0f - fy);
      const float r = std::round(std::min(std::max(v, 0.0f), 255.0f));
      out[x] = static_cast<uint8_t>(std::min(std::max(r, 0.0f), 255.0f));
    }
  }
}

}  // namespace tt
