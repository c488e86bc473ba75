#include "core/profiler.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace tt {

void ProfileRecord::clear() { *this = ProfileRecord(); }

void ProfileRecord::add(const ProfileRecord& o) {
  for (size_t i = 0; i < pc_histogram.size(); ++i) pc_histogram[i] += o.pc_histogram[i];
  for (size_t i = 0; i < opcode_histogram.size(); ++i) opcode_histogram[i] += o.opcode_histogram[i];
  env_steps += o.env_steps;
  batch_steps += o.batch_steps;
  frame_steps += o.frame_steps;
  cpu_steps += o.cpu_steps;
  ppu_tick_calls += o.ppu_tick_calls;
  ppu_tick_cycles += o.ppu_tick_cycles;
  ppu_completed_frames += o.ppu_completed_frames;
  render_calls += o.render_calls;
  resize_calls += o.resize_calls;
  stack_shifts += o.stack_shifts;
  frame_stepping += o.frame_stepping;
  rendering += o.rendering;
  resize += o.resize;
  stack_shift += o.stack_shift;
}

}  // namespace tt

namespace tt {

namespace {

struct RankedItem {
  std::string label;
  uint64_t count;
};

std::string hex_upper(unsigned v, int digits) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%0*X", digits, v);
  return buf;
}

// Keeps the top_n entries by count descending, then label ascending.
std::vector<RankedItem> rank(std::vector<RankedItem> items, uint64_t top_n) {
  std::sort(items.begin(), items.end(), [](const RankedItem& a, const RankedItem& b) {
    if (a.count != b.count) return a.count > b.count;
    return a.label < b.label;
  });
  if (items.size() > top_n) items.resize(static_cast<size_t>(top_n));
  return items;
}

std::string list_json(const std::vector<RankedItem>& items, const char* key) {
  std::string out = "[";
  for (size_t i = 0; i < items.size(); ++i) {
    if (i) out += ",";
    out += "{\"";
    out += key;
    out += "\":\"" + items[i].label + "\",\"count\":" + std::to_string(items[i].count) + "}";
  }
  return out + "]";
}

std::vector<RankedItem> pc_blocks(const ProfileRecord& t, unsigned block, uint64_t top_n) {
  std::vector<RankedItem> items;
  for (unsigned start = 0; start < 65536; start += block) {
    uint64_t sum = 0;
    for (unsigned a = start; a < start + block; ++a) sum += t.pc_histogram[a];
    if (sum) items.push_back({"0x" + hex_upper(start, 4) + "-0x" + hex_upper(start + block - 1, 4), sum});
  }
  return rank(std::move(items), top_n);
}

std::string ratio(uint64_t num, uint64_t den) {
  double v = den ? static_cast<double>(num) / static_cast<double>(den) : 0.0;
  if (!std::isfinite(v)) v = 0.0;
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.6f", v);
  return buf;
}

}  // namespace

std::string profiler_report(const ProfileRecord& t, uint64_t top_n) {
  std::vector<RankedItem> opcodes, pcs;
  for (unsigned o = 0; o < 256; ++o)
    if (t.opcode_histogram[o]) opcodes.push_back({"0x" + hex_upper(o, 2), t.opcode_histogram[o]});
  for (unsigned a = 0; a < 65536; ++a)
    if (t.pc_histogram[a]) pcs.push_back({"0x" + hex_upper(a, 4), t.pc_histogram[a]});

  const auto n = [](uint64_t v) { return std::to_string(v); };
  std::string s;
  s += "{\n";
  s += "  \"enabled\": true,\n";
  s += "  \"measurement_window\": \"post_warmup_repeats_only\",\n";
  s += "  \"totals\": {\"env_steps\":" + n(t.env_steps) + ",\"batch_steps\":" + n(t.batch_steps) +
       ",\"frame_steps\":" + n(t.frame_steps) + ",\"cpu_steps\":" + n(t.cpu_steps) +
       ",\"ppu_tick_calls\":" + n(t.ppu_tick_calls) + ",\"ppu_tick_cycles\":" + n(t.ppu_tick_cycles) +
       ",\"ppu_completed_frames\":" + n(t.ppu_completed_frames) + ",\"render_calls\":" + n(t.render_calls) +
       ",\"resize_calls\":" + n(t.resize_calls) + ",\"stack_shifts\":" + n(t.stack_shifts) + "},\n";
  s += "  \"derived\": {\"cpu_steps_per_frame\":" + ratio(t.cpu_steps, t.frame_steps) +
       ",\"cpu_steps_per_env_step\":" + ratio(t.cpu_steps, t.env_steps) +
       ",\"ppu_cycles_per_tick_call\":" + ratio(t.ppu_tick_cycles, t.ppu_tick_calls) +
       ",\"render_ns_per_env_step\":" + ratio(t.rendering, t.env_steps) +
       ",\"resize_ns_per_env_step\":" + ratio(t.resize, t.env_steps) + "},\n";
  s += "  \"cpu\": {\n";
  s += "    \"top_opcodes\": " + list_json(rank(std::move(opcodes), top_n), "opcode") + ",\n";
  s += "    \"top_pcs\": " + list_json(rank(std::move(pcs), top_n), "pc") + ",\n";
  s += "    \"top_pc_ranges_16\": " + list_json(pc_blocks(t, 16, top_n), "range") + ",\n";
  s += "    \"top_pc_pages\": " + list_json(pc_blocks(t, 256, top_n), "range") + "\n";
  s += "  },\n";
  s += "  \"timings_ns\": {\"frame_stepping\":" + n(t.frame_stepping) + ",\"rendering\":" + n(t.rendering) +
       ",\"resize\":" + n(t.resize) + ",\"stack_shift\":" + n(t.stack_shift) + "}\n";
  s += "}";
  return s;
}

}  // namespace tt
