#include "vec_env/observation.h"

#include <algorithm>
#include <cstring>

#include "core/palette.h"
#include "core/tile_view.h"
#include "vec_env/pool_kernels.h"
#include "vec_env/profile_scope.h"

namespace tt {

namespace {

constexpr size_t FUSED_SIZE = 84;
constexpr uint64_t FUSED_CROP_TOP = BAND_ROWS;  // frame rows fed by the band above the playfield
// Frame rows above the part render_gray_playfield_cached draws (screen rows 8..39).
constexpr unsigned UNSCROLLED_BAND_ROWS = BAND_ROWS;

}  // namespace

void write_console_observation(ObsType type, const Console& m, uint8_t* slot) {
  static_assert(sizeof(m.ram) == RAM_OBS_WIDTH);
  if (type == ObsType::Ram) {
    std::memcpy(slot, m.ram.data(), RAM_OBS_WIDTH);
  } else {
    write_tile_view(m, slot);
  }
}

ObservationPipeline::ObservationPipeline(const EnvConfig& config, const ObsGeometry& geometry, AreaResizeTable table)
    : config_(config), geo_(geometry), table_(std::move(table)), resizer_(table_, config.resize_algorithm) {
  source_rect_ =
      Rect{geo_.src_x0, geo_.src_y0, static_cast<unsigned>(geo_.src_width), static_cast<unsigned>(geo_.src_height)};
  full_frame_source_ = geo_.src_x0 == 8 && geo_.src_y0 == 8 && geo_.src_width == VISIBLE_FRAME_WIDTH &&
                       geo_.src_height == VISIBLE_FRAME_HEIGHT;
  fused_ = config_.grayscale && config_.crop_mode == CropMode::Mask && config_.crop_top == FUSED_CROP_TOP &&
           config_.crop_bottom == 0 && config_.crop_left == 0 && config_.crop_right == 0 &&
           config_.resize_algorithm == ResizeAlgorithm::Area && geo_.width == FUSED_SIZE && geo_.height == FUSED_SIZE &&
           resizer_.uses_fast_area();
  if (fused_) {
    // Output rows made only of masked frame rows are the fill value; the
    // others must not reach into the masked band.
    size_t first = 0;
    while (first < geo_.height && area_span(first, geo_.src_height, geo_.height).lo < FUSED_CROP_TOP) ++first;
    const bool clean_split = first == 0 || area_span(first - 1, geo_.src_height, geo_.height).hi <= FUSED_CROP_TOP;
    fused_ = clean_split;
    fused_first_row_ = first;
  }
  const bool paints_mask = config_.crop_mode == CropMode::Mask && (config_.crop_top > 0 || config_.crop_bottom > 0 ||
                                                                   config_.crop_left > 0 || config_.crop_right > 0);
  streamed_ = !fused_ && config_.grayscale && full_frame_source_ && !paints_mask && resizer_.uses_fast_area() &&
              geo_.src_height == VISIBLE_FRAME_HEIGHT;
  pool_row_begin_ = 0;
  pool_row_end_ = geo_.src_height;
  if (config_.crop_mode == CropMode::Mask) {
    pool_row_begin_ = config_.crop_top;
    pool_row_end_ = geo_.src_height - config_.crop_bottom;
  }
}

void ObservationPipeline::apply_crop_mask(uint8_t* plane) const {
  constexpr size_t w = VISIBLE_FRAME_WIDTH, h = VISIBLE_FRAME_HEIGHT;
  const uint8_t f = config_.crop_fill;
  const size_t top = config_.crop_top, bottom = config_.crop_bottom;
  const size_t left = config_.crop_left, right = config_.crop_right;
  if (top > 0) std::memset(plane, f, top * w);
  if (bottom > 0) std::memset(plane + (h - bottom) * w, f, bottom * w);
  if (left > 0 || right > 0) {
    for (size_t y = 0; y < h; ++y) {
      uint8_t* row = plane + y * w;
      if (left > 0) std::memset(row, f, left);
      if (right > 0) std::memset(row + w - right, f, right);
    }
  }
}

void ObservationPipeline::render_source(const Machine& m, uint8_t* out, bool cached) const {
  if (config_.grayscale && full_frame_source_ && cached) {
    // The whole visible frame: the unscrolled band directly, the playfield
    // through the background cache (the same pixels render_gray draws).
    // A band that the mask paints over anyway is not drawn.
    if (config_.crop_mode != CropMode::Mask || config_.crop_top < UNSCROLLED_BAND_ROWS) {
      render_gray(m, out, Rect{8, 8, VISIBLE_FRAME_WIDTH, UNSCROLLED_BAND_ROWS});
    }
    render_gray_playfield_cached(m, out);
  } else if (config_.grayscale) {
    render_gray(m, out, source_rect_);
  } else {
    render_rgb(m, out, source_rect_);
  }
  if (config_.crop_mode == CropMode::Mask) {
    const size_t plane = geo_.src_width * geo_.src_height;
    for (size_t p = 0; p < geo_.channels; ++p) apply_crop_mask(out + p * plane);
  }
}

void ObservationPipeline::resize_planes(const uint8_t* src, uint8_t* dst, size_t planes) const {
  const size_t src_plane = geo_.src_width * geo_.src_height;
  const size_t dst_plane = geo_.width * geo_.height;
  for (size_t p = 0; p < planes; ++p) resizer_.resize(src + p * src_plane, dst + p * dst_plane);
}

void ObservationPipeline::fused_gray_84(const Machine& m, uint8_t* frame, uint8_t* slot) const {
  // Frame rows above the playfield are never read: the first output rows are
  // the fill value and the others cover playfield rows only.
  const uint8_t* rows[VISIBLE_FRAME_HEIGHT] = {};
  auto average = [&](const uint8_t* const* playfield) {
    std::copy(playfield, playfield + PLAYFIELD_ROWS, rows + UNSCROLLED_BAND_ROWS);
    resizer_.resize_area_fast_rows(rows, slot, fused_first_row_, FUSED_SIZE);
  };
  visit_gray_playfield_rows(m, frame + UNSCROLLED_BAND_ROWS * VISIBLE_FRAME_WIDTH, average);
  std::memset(slot, config_.crop_fill, fused_first_row_ * FUSED_SIZE);
}

template <bool Profiled>
void ObservationPipeline::streamed_gray_84(const Machine& m, uint8_t* frame, uint8_t* slot, ProfileRecord* record,
                                           BandCache* band) const {
  // The unscrolled band is drawn into the frame buffer as usual; the playfield
  // rows come from the background cache, with only the rows sprites touch
  // copied into the frame buffer. Profiled, it counts as the render and the
  // resize it stands for, the resize timed inside the drawing.
  uint64_t started = 0, resize_ns = 0;
  if constexpr (Profiled) started = monotonic_ns();
  const uint8_t* rows[VISIBLE_FRAME_HEIGHT];
  if (band != nullptr) {
    render_gray_band(m, *band, frame);
  } else {
    render_gray(m, frame, Rect{8, 8, VISIBLE_FRAME_WIDTH, UNSCROLLED_BAND_ROWS});
  }
  for (size_t y = 0; y < UNSCROLLED_BAND_ROWS; ++y) rows[y] = frame + y * VISIBLE_FRAME_WIDTH;
  auto average = [&](const uint8_t* const* playfield) {
    std::copy(playfield, playfield + PLAYFIELD_ROWS, rows + UNSCROLLED_BAND_ROWS);
    uint64_t t0 = 0;
    if constexpr (Profiled) t0 = monotonic_ns();
    resizer_.resize_area_fast_rows(rows, slot, 0, FUSED_SIZE);
    if constexpr (Profiled) {
      const uint64_t t1 = monotonic_ns();
      resize_ns = t1 >= t0 ? t1 - t0 : 0;
    }
  };
  visit_gray_playfield_rows(m, frame + UNSCROLLED_BAND_ROWS * VISIBLE_FRAME_WIDTH, average);
  if constexpr (Profiled) {
    const uint64_t finished = monotonic_ns();
    const uint64_t total = finished >= started ? finished - started : 0;
    record->render_calls += 1;
    record->rendering = saturating_add(record->rendering, total >= resize_ns ? total - resize_ns : 0);
    record->resize_calls += 1;
    record->resize = saturating_add(record->resize, resize_ns);
  }
}

template <bool Profiled>
void ObservationPipeline::render_observation(const Machine& m, uint8_t* scratch, uint8_t* slot, ProfileRecord* record,
                                             BandCache* band) const {
  if (fused_) {
    profiled_call<Profiled>(record, &ProfileRecord::render_calls, &ProfileRecord::rendering,
                            [&] { fused_gray_84(m, scratch, slot); });
    return;
  }
  if (streamed_) {
    streamed_gray_84<Profiled>(m, scratch, slot, record, band);
    return;
  }
  if (geo_.width == geo_.src_width && geo_.height == geo_.src_height) {
    profiled_call<Profiled>(record, &ProfileRecord::render_calls, &ProfileRecord::rendering,
                            [&] { render_source(m, slot); });
    return;
  }
  profiled_call<Profiled>(record, &ProfileRecord::render_calls, &ProfileRecord::rendering,
                          [&] { render_source(m, scratch); });
  profiled_call<Profiled>(record, &ProfileRecord::resize_calls, &ProfileRecord::resize,
                          [&] { resize_planes(scratch, slot, geo_.channels); });
}

template void ObservationPipeline::render_observation<false>(const Machine&, uint8_t*, uint8_t*, ProfileRecord*,
                                                             BandCache*) const;
template void ObservationPipeline::render_observation<true>(const Machine&, uint8_t*, uint8_t*, ProfileRecord*,
                                                            BandCache*) const;

void ObservationPipeline::render_observation_general(const Machine& m, uint8_t* scratch, uint8_t* slot,
                                                     bool cached) const {
  if (geo_.width == geo_.src_width && geo_.height == geo_.src_height) {
    render_source(m, slot, cached);
    return;
  }
  render_source(m, scratch, cached);
  resize_planes(scratch, slot, geo_.channels);
}

void ObservationPipeline::pool_render(const Machine& m, uint8_t* plane, PoolCache& cache) const {
  const uint32_t* lut = cache.lut.lookup(m);
  if (full_frame_source_) {
    // The unscrolled band directly (unless masked), the playfield through the
    // lane's background cache of colour indices.
    if (pool_row_begin_ < UNSCROLLED_BAND_ROWS) render_colour_index_band(m, cache.band, lut, plane);
    render_colour_index_playfield_cached(m, cache.background, lut, plane);
    return;
  }
  const Rect rect{source_rect_.x0, static_cast<unsigned>(source_rect_.y0 + pool_row_begin_), source_rect_.width,
                  static_cast<unsigned>(pool_row_end_ - pool_row_begin_)};
  render_colour_indices(m, plane + pool_row_begin_ * geo_.src_width, rect, lut);
}

namespace {

// out[i] = table[a[i] * 64 + b[i]] over [begin, end).
inline void pool_pairs(const ColourPairTable& table, const uint8_t* a, const uint8_t* b, uint8_t* out, size_t begin,
                       size_t end) {
  const uint8_t* t = table.data();
  for (size_t i = begin; i < end; ++i) out[i] = t[(unsigned(a[i]) << 6) | b[i]];
}

}  // namespace

template <bool Profiled>
void ObservationPipeline::finish_maxpool(const uint8_t* a, const uint8_t* b, uint64_t frames_run, uint8_t* work,
                                         uint8_t* slot, ProfileRecord* record) const {
  profiled_call<Profiled>(record, &ProfileRecord::resize_calls, &ProfileRecord::resize, [&] {
    // One frame: its colours, i.e. the maximum of the frame with itself.
    if (frames_run < 2) b = a;
    const size_t plane = geo_.src_width * geo_.src_height;
    const size_t begin = pool_row_begin_ * geo_.src_width, end = pool_row_end_ * geo_.src_width;
    const bool same_size = geo_.width == geo_.src_width && geo_.height == geo_.src_height;
    const bool mask = config_.crop_mode == CropMode::Mask;
    uint8_t* out = same_size ? slot : work;
    if (config_.grayscale) {
      pool_kernels::pool_gray(a, b, out, begin, end);
      if (mask) apply_crop_mask(out);
      if (!same_size) resizer_.resize(out, slot);
      return;
    }
    const ColourPairTable* channels[3] = {&PAIR_MAX_R, &PAIR_MAX_G, &PAIR_MAX_B};
    for (size_t p = 0; p < 3; ++p) {
      pool_pairs(*channels[p], a, b, out + p * plane, begin, end);
      if (mask) apply_crop_mask(out + p * plane);
    }
    if (!same_size) resize_planes(out, slot, 3);
  });
}

template void ObservationPipeline::finish_maxpool<false>(const uint8_t*, const uint8_t*, uint64_t, uint8_t*, uint8_t*,
                                                         ProfileRecord*) const;
template void ObservationPipeline::finish_maxpool<true>(const uint8_t*, const uint8_t*, uint64_t, uint8_t*, uint8_t*,
                                                        ProfileRecord*) const;

void ObservationPipeline::pool_render_reference(const Machine& m, uint8_t* pool) const {
  render_rgb(m, pool, source_rect_);
  if (config_.crop_mode == CropMode::Mask) {
    const size_t plane = geo_.src_width * geo_.src_height;
    for (size_t p = 0; p < 3; ++p) apply_crop_mask(pool + p * plane);
  }
}

void ObservationPipeline::finish_maxpool_reference(uint8_t* a, uint8_t* b, uint64_t frames_run, uint8_t* slot) const {
  const size_t plane = geo_.src_width * geo_.src_height;
  if (frames_run >= 2) {
    for (size_t i = 0; i < 3 * plane; ++i) a[i] = std::max(a[i], b[i]);
  }
  const bool same_size = geo_.width == geo_.src_width && geo_.height == geo_.src_height;
  if (!config_.grayscale) {
    if (same_size) {
      std::memcpy(slot, a, 3 * plane);
    } else {
      resize_planes(a, slot, 3);
    }
    return;
  }
  // Gray of the pooled RGB, per source pixel, before any averaging. Pool
  // buffer B is free once pooled and takes the gray plane.
  uint8_t* gray = same_size ? slot : b;
  const uint8_t* r = a;
  const uint8_t* g = a + plane;
  const uint8_t* bl = a + 2 * plane;
  for (size_t i = 0; i < plane; ++i) gray[i] = gray_of(r[i], g[i], bl[i]);
  if (!same_size) resizer_.resize(gray, slot);
}

void ObservationPipeline::display_render(const Machine& m, uint8_t* frame) { render_rgb(m, frame, VISIBLE_RECT); }

}  // namespace tt
