// Frames per second of one lane on one core, with the routine accelerators
// on and off, from start states and from power-on, on any engine.
//
//   bench_frames [--frames N] [--reps R] [--rom PATH] [--only on|off]
//                [--engine interp|blocks|native|both|all] [--json FILE] [--no-count] [STATE_FILE_OR_DIR ...]
//
// "off" runs the same lane frame step with every slot disabled; the plain
// runner without any hooks is timed too, as a second baseline. The engine is
// the interpreter ("interp"), the translated blocks ("blocks"), their host
// code ("native"), interpreter and blocks ("both") or all three ("all"); the
// default is the lanes' own (native where the host has it, else blocks). The cartridge comes from --rom or
// TANUVEX_TURBO_ROM; start states from the arguments or the TANUVEX_TURBO_STATES folder (three of them by default).
// State files may be gzip-compressed.
// g++ 12 warns (-Wrestrict) about a string copy inlined from the command-line library's header, a false
// alarm in code that is not ours: silenced for that header alone.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wrestrict"
#endif
#include <CLI/CLI.hpp>
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <variant>
#include <vector>

#include "core/cartridge.h"
#include "driver/accelerators.h"
#include "driver/frame_step.h"
#include "driver/state_image.h"
#include "gunzip.h"

namespace {

using namespace tt;
namespace fs = std::filesystem;

struct Options {
  int frames = 10000;
  int reps = 5;
  std::string rom;
  std::string only;  // "on", "off" or empty for both (and the plain runner)
  std::string engine = native_code_supported() ? "native" : "blocks";
  std::string json;
  bool no_count = false;
  std::vector<std::string> states;
};

// The file's bytes, decompressed when they are gzip data; empty on failure.
std::vector<uint8_t> read_state(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), {});
  if (bytes.size() < 2 || bytes[0] != 0x1F || bytes[1] != 0x8B) return bytes;
  std::vector<uint8_t> out;
  if (gunzip_bytes(bytes, out) != GunzipStatus::Ok) return {};
  return out;
}

// Running right holding B, jumping for 18 of every 48 frames.
uint8_t script_buttons(uint64_t frame) { return static_cast<uint8_t>(0x82 | (frame % 48 < 18 ? 0x01 : 0x00)); }

// A start point: a state image, or power-on (empty image) with the title
// screen left by pressing Start.
struct Scenario {
  std::string name;
  std::vector<uint8_t> image;
};

void start(Machine& m, const Scenario& s) {
  if (!s.image.empty()) {
    if (auto err = load_state_image(m, s.image.data(), s.image.size())) {
      std::fprintf(stderr, "%s: %s\n", s.name.c_str(), err->c_str());
      std::exit(1);
    }
    return;
  }
  reset_machine(m);
  for (int f = 0; f < 120; ++f) step_frame(m, 0);
  for (int f = 0; f < 5; ++f) step_frame(m, 0x08);
  for (int f = 0; f < 60; ++f) step_frame(m, 0);
}

enum class Mode { On, Off, Plain };
const char* mode_name(Mode mode) { return mode == Mode::On ? "on" : mode == Mode::Off ? "off" : "plain"; }

// One lane frame: the lane frame step (with the machine's enabled slots), or
// for the plain baseline the runner without hooks plus the same done rule.
template <class Profile>
void frame(Machine& m, Mode mode, uint8_t buttons, Profile& profile) {
  if (mode != Mode::Plain) {
    if constexpr (Profile::enabled) {
      step_frame_profiled(m, buttons, profile.record);
    } else {
      step_frame(m, buttons);
    }
    return;
  }
  NoHooks hooks;
  run_frame_with(m, buttons, hooks, profile, Profile::enabled ? nullptr : m.translated.get(),
                 Profile::enabled ? nullptr : m.native.get());
  refresh_game_info(m);
  if (static_cast<uint8_t>(m.info.lives) == 0xFF) m.terminated = 1;
}

// Runs the script for `frames` frames (a terminated lane starts again) and
// returns the seconds taken.
template <class Profile>
double run(Machine& m, const Scenario& s, Mode mode, int frames, Profile& profile) {
  const auto t0 = std::chrono::steady_clock::now();
  for (int f = 0; f < frames; ++f) {
    frame(m, mode, script_buttons(static_cast<uint64_t>(f)), profile);
    if (m.terminated) start(m, s);
  }
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

struct Stats {
  double min, median, max;
};

Stats stats(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return {v.front(), v[v.size() / 2], v.back()};
}

std::string machine_description() {
  std::ifstream in("/proc/cpuinfo");
  std::string line;
  while (std::getline(in, line))
    if (line.rfind("model name", 0) == 0) return line.substr(line.find(':') + 2);
  return "unknown CPU";
}

// JSON string literal of `s` (quotes, backslashes and control characters escaped).
std::string json_string(const std::string& s) {
  std::string out = "\"";
  for (const char ch : s) {
    if (ch == '"' || ch == '\\') {
      out += '\\';
      out += ch;
    } else if (static_cast<unsigned char>(ch) < 0x20) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\u%04x", ch);
      out += buf;
    } else {
      out += ch;
    }
  }
  return out + "\"";
}

// A start's name: its file name without ".state" (and without ".gz").
std::string start_name(const std::string& path) {
  std::string name = fs::path(path).filename().string();
  for (const std::string suffix : {".gz", ".state"})
    if (name.size() > suffix.size() && name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0)
      name.resize(name.size() - suffix.size());
  return name;
}

std::vector<std::string> state_files(const Options& o) {
  std::vector<std::string> given = o.states;
  bool defaulted = false;
  if (given.empty()) {
    if (const char* dir = std::getenv("TANUVEX_TURBO_STATES")) given.push_back(dir);
    defaulted = true;
  }
  std::vector<std::string> files;
  for (const auto& g : given) {
    if (!fs::is_directory(g)) {
      files.push_back(g);
      continue;
    }
    std::vector<std::string> in_dir;
    for (const auto& e : fs::directory_iterator(g))
      if (e.path().extension() == ".state") in_dir.push_back(e.path().string());
    std::sort(in_dir.begin(), in_dir.end());
    if (defaulted && in_dir.size() > 3) in_dir = {in_dir.front(), in_dir[in_dir.size() / 2], in_dir.back()};
    files.insert(files.end(), in_dir.begin(), in_dir.end());
  }
  return files;
}

}  // namespace

int main(int argc, char** argv) {
  Options opt;
  if (const char* rom = std::getenv("TANUVEX_TURBO_ROM")) opt.rom = rom;
  CLI::App app{"Frames per second of one lane on one core"};
  app.add_option("--frames", opt.frames, "frames per repetition")->check(CLI::PositiveNumber);
  app.add_option("--reps", opt.reps, "repetitions")->check(CLI::PositiveNumber);
  app.add_option("--rom", opt.rom, "cartridge image (default: TANUVEX_TURBO_ROM)");
  app.add_option("--only", opt.only, "time only this accelerator setting")->check(CLI::IsMember({"on", "off"}));
  app.add_option("--engine", opt.engine,
                 "interpreter, translated blocks, their host code, both (interp and blocks), all")
      ->check(CLI::IsMember({"interp", "blocks", "native", "both", "all"}));
  app.add_option("--json", opt.json, "also write the figures as JSON to FILE");
  app.add_flag("--no-count", opt.no_count, "skip the pass that counts interpreted instructions");
  app.add_option("STATE_FILE_OR_DIR", opt.states, "start states (default: three from TANUVEX_TURBO_STATES)");
  CLI11_PARSE(app, argc, argv);
  if (opt.rom.empty()) {
    std::fprintf(stderr, "set TANUVEX_TURBO_ROM or pass --rom\n");
    return 2;
  }
  auto loaded = load_cartridge(opt.rom);
  if (auto* err = std::get_if<CartridgeError>(&loaded)) {
    std::fprintf(stderr, "%s\n", err->message.c_str());
    return 1;
  }
  auto cart = std::make_shared<const Cartridge>(std::move(std::get<Cartridge>(loaded)));
  const auto enabled =
      detect_accelerators(cart->prg_rom.data(), cart->prg_rom.size(), static_cast<uint16_t>(cart->prg_rom.size() - 1));

  std::vector<Scenario> scenarios;
  for (const auto& f : state_files(opt)) {
    Scenario s{start_name(f), read_state(f)};
    if (s.image.empty()) {
      std::fprintf(stderr, "cannot read %s\n", f.c_str());
      return 1;
    }
    scenarios.push_back(std::move(s));
  }
  scenarios.push_back({"power-on", {}});

  std::vector<std::string> engines;
  if (opt.engine == "native" || opt.engine == "all") engines.push_back("native");
  if (opt.engine == "blocks" || opt.engine == "both" || opt.engine == "all") engines.push_back("blocks");
  if (opt.engine == "interp" || opt.engine == "both" || opt.engine == "all") engines.push_back("interp");
  const auto translation = translate_lane_code(*cart);
  const auto native = native_lane_code(translation);
  if (!native && std::find(engines.begin(), engines.end(), "native") != engines.end()) {
    std::fprintf(stderr, "this build has no host code for the blocks (TT_NATIVE_CODE)\n");
    return 2;
  }

  std::string command;
  for (int i = 0; i < argc; ++i) command += (i ? " " : "") + std::string(argv[i]);
  const std::string machine = machine_description() + ", one thread";
  std::printf("command: %s\nmachine: %s\n", command.c_str(), machine.c_str());
  std::printf("workload: %d frames per repetition, %d repetitions, running right with B, jumping 18 of 48 frames\n",
              opt.frames, opt.reps);
  std::printf(
      "unit: frames/s (min / median / max over repetitions); ratio = median of the start's first row /\n"
      "      median of the row; ns/instr = median time / instructions the CPU ran outside the\n"
      "      accelerators (counted in a separate, interpreted pass)\n"
      "engines: native = host code of the blocks (the lanes' default where built); blocks = translated\n"
      "         blocks; interp = the interpreter\n"
      "modes: on = lane frame step, all slots enabled; off = same step, every slot disabled;\n"
      "       plain = runner without hooks\n\n");
  std::printf("%-20s %-7s %-6s %10s %10s %10s %8s %12s %9s\n", "start", "engine", "accel", "min", "median", "max",
              "ratio", "instr/frame", "ns/instr");

  std::vector<Mode> modes;
  if (opt.only.empty() || opt.only == "on") modes.push_back(Mode::On);
  if (opt.only.empty() || opt.only == "off") modes.push_back(Mode::Off);
  if (opt.only.empty()) modes.push_back(Mode::Plain);
  std::string json_results;
  for (const Scenario& s : scenarios) {
    double first_median = 0;
    bool first_row = true;
    for (const Mode mode : modes) {
      double instructions = 0;
      if (!opt.no_count) {
        // The profiled step counts the instructions the CPU runs outside
        // the accelerators; it always interprets, and both engines run the
        // same instructions.
        Machine m(cart);
        m.accelerator_enabled = enabled;
        if (mode != Mode::On) m.accelerator_enabled.fill(0);
        ProfileRecord record;
        LaneProfile counter{record};
        start(m, s);
        run(m, s, mode, opt.frames, counter);
        instructions = static_cast<double>(record.cpu_steps);
      }
      for (const std::string& engine : engines) {
        Machine m(cart);
        m.accelerator_enabled = enabled;
        if (mode != Mode::On) m.accelerator_enabled.fill(0);
        if (engine != "interp") m.translated = translation;
        if (engine == "native") m.native = native;
        std::vector<double> fps;
        std::vector<double> seconds;
        NoProfile none;
        for (int rep = 0; rep < opt.reps; ++rep) {
          start(m, s);
          const double t = run(m, s, mode, opt.frames, none);
          fps.push_back(opt.frames / t);
          seconds.push_back(t);
        }
        const Stats st = stats(fps);
        if (first_row) first_median = st.median;
        char ratio[24] = "";
        if (!first_row) std::snprintf(ratio, sizeof ratio, "%.2fx", first_median / st.median);
        char per_instr[24] = "-";
        if (instructions > 0)
          std::snprintf(per_instr, sizeof per_instr, "%.2f", stats(seconds).median * 1e9 / instructions);
        std::printf("%-20s %-7s %-6s %10.0f %10.0f %10.0f %8s %12.0f %9s\n", first_row ? s.name.c_str() : "",
                    engine.c_str(), mode_name(mode), st.min, st.median, st.max, ratio, instructions / opt.frames,
                    per_instr);
        first_row = false;
        char figures[160];
        std::snprintf(figures, sizeof figures, "{\"min\": %.1f, \"median\": %.1f, \"max\": %.1f}", st.min, st.median,
                      st.max);
        if (!json_results.empty()) json_results += ",\n    ";
        json_results += "{\"start\": " + json_string(s.name) + ", \"engine\": " + json_string(engine) +
                        ", \"accelerators\": " + json_string(mode_name(mode)) + ", \"frames_per_second\": " + figures +
                        "}";
      }
    }
    std::fflush(stdout);
  }
  if (!opt.json.empty()) {
    std::ofstream out(opt.json);
    out << "{\"command\": " << json_string(command) << ",\n \"machine\": " << json_string(machine)
        << ",\n \"results\": [\n    " << json_results << "\n ]}\n";
    if (!out) {
      std::fprintf(stderr, "cannot write %s\n", opt.json.c_str());
      return 1;
    }
  }
  return 0;
}
