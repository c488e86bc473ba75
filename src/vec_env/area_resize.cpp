#include "vec_env/area_resize.h"

#include <algorithm>
#include <cmath>

#include "vec_env/area_resize_kernels.h"

namespace tt {

namespace {

constexpr size_t FAST_SRC_WIDTH = area_kernels::SRC_WIDTH;
constexpr size_t MAX_SRC_WIDTH = 240;  // source regions lie inside the visible frame
constexpr size_t FAST_DST = area_kernels::DST;
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

  avx2_ = fast_area_ && area_kernels::avx2_supported();

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
    case ResizeAlgorithm::Area: resize_area_rows(src, dst, 0, dst_h_); break;
    case ResizeAlgorithm::Nearest: resize_nearest(src, dst); break;
    case ResizeAlgorithm::Bilinear: resize_bilinear(src, dst); break;
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
  if (avx2_) {
    area_kernels::rows_avx2(rows_.data(), rows, dst, row_begin, row_end);
  } else {
    area_kernels::rows_portable(rows_.data(), rows, dst, row_begin, row_end);
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
