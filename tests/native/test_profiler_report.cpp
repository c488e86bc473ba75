// The profiler's JSON report: exact layout, ranking, ranges and derived values.
#include <gtest/gtest.h>

#include "core/profiler.h"

namespace tt {
namespace {

TEST(ProfilerReport, EmptyRecordLayout) {
  ProfileRecord r;
  EXPECT_EQ(
      profiler_report(r, 64),
      "{\n"
      "  \"enabled\": true,\n"
      "  \"measurement_window\": \"post_warmup_repeats_only\",\n"
      "  \"totals\": {\"env_steps\":0,\"batch_steps\":0,\"frame_steps\":0,\"cpu_steps\":0,\"ppu_tick_calls\":0,"
      "\"ppu_tick_cycles\":0,\"ppu_completed_frames\":0,\"render_calls\":0,\"resize_calls\":0,\"stack_shifts\":0},\n"
      "  \"derived\": {\"cpu_steps_per_frame\":0.000000,\"cpu_steps_per_env_step\":0.000000,"
      "\"ppu_cycles_per_tick_call\":0.000000,\"render_ns_per_env_step\":0.000000,\"resize_ns_per_env_step\":0.000000},"
      "\n"
      "  \"cpu\": {\n"
      "    \"top_opcodes\": [],\n"
      "    \"top_pcs\": [],\n"
      "    \"top_pc_ranges_16\": [],\n"
      "    \"top_pc_pages\": []\n"
      "  },\n"
      "  \"timings_ns\": {\"frame_stepping\":0,\"rendering\":0,\"resize\":0,\"stack_shift\":0}\n"
      "}");
}

TEST(ProfilerReport, RankingTiesRangesAndDerived) {
  ProfileRecord a, b;
  a.opcode_histogram[0xA9] = 5;
  a.opcode_histogram[0x4C] = 5;
  a.opcode_histogram[0x02] = 1;
  a.pc_histogram[0x8005] = 3;
  b.pc_histogram[0x800A] = 4;
  b.pc_histogram[0x8100] = 6;
  a.cpu_steps = 10;
  a.frame_steps = 3;
  b.env_steps = 8;
  b.rendering = 1000;
  a.ppu_tick_calls = 4;
  a.ppu_tick_cycles = 10;
  ProfileRecord total;
  total.add(a);
  total.add(b);
  const std::string json = profiler_report(total, 2);
  EXPECT_NE(json.find("\"top_opcodes\": [{\"opcode\":\"0x4C\",\"count\":5},{\"opcode\":\"0xA9\",\"count\":5}],"),
            std::string::npos)
      << json;
  EXPECT_NE(json.find("\"top_pcs\": [{\"pc\":\"0x8100\",\"count\":6},{\"pc\":\"0x800A\",\"count\":4}],"),
            std::string::npos);
  EXPECT_NE(json.find("\"top_pc_ranges_16\": [{\"range\":\"0x8000-0x800F\",\"count\":7},"
                      "{\"range\":\"0x8100-0x810F\",\"count\":6}],"),
            std::string::npos);
  EXPECT_NE(json.find("\"top_pc_pages\": [{\"range\":\"0x8000-0x80FF\",\"count\":7},"
                      "{\"range\":\"0x8100-0x81FF\",\"count\":6}]\n"),
            std::string::npos);
  EXPECT_NE(json.find("\"cpu_steps_per_frame\":3.333333,\"cpu_steps_per_env_step\":1.250000,"
                      "\"ppu_cycles_per_tick_call\":2.500000,\"render_ns_per_env_step\":125.000000,"),
            std::string::npos);
  const std::string none = profiler_report(total, 0);
  EXPECT_NE(none.find("\"top_opcodes\": [],\n    \"top_pcs\": [],"), std::string::npos);
  const std::string all = profiler_report(total, 1000);
  EXPECT_NE(all.find("{\"opcode\":\"0x02\",\"count\":1}]"), std::string::npos);
  EXPECT_EQ(all.back(), '}');
}

}  // namespace
}  // namespace tt
