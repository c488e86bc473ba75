// Frames per second of one lane on one core, with the routine accelerators
// on and off, from start states and from power-on.
//
//   bench_frames [--frames N] [--reps R] [--rom PATH] [--only on|off] [STATE_FILE_OR_DIR ...]
//
// "off" runs the same lane frame step with every slot disabled; the plain
// runner without any hooks is timed too, as a second baseline.
// The cartridge comes from --rom or TANUVEX_TURBO_ROM; start states from the
// arguments or the TANUVEX_TURBO_STATES folder (three of them by default).
// State files may be gzip-compressed (decompressed with `gzip -dc`).
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

namespace {

using namespace tt;
namespace fs = std::filesystem;

struct Options {
  int frames = 10000;
  int reps = 5;
  std::string rom;
  std::string only;  // "on", "off" or empty for both (and the plain runner)
  std::vector<std::string> states;
};

std::vector<uint8_t> read_state(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), {});
  if (bytes.size() < 2 || bytes[0] != 0x1F || bytes[1] != 0x8B) return bytes;
  const std::string cmd = "gzip -dc '" + path + "'";
  FILE* p = popen(cmd.c_str(), "r");
  if (!p) return {};
  std::vector<uint8_t> out;
  uint8_t buf[65536];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.insert(out.end(), buf, buf + n);
  if (pclose(p) != 0) return {};
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
  run_frame_with(m, buttons, hooks, profile);
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

Options parse(int argc, char** argv) {
  Options o;
  if (const char* rom = std::getenv("TANUVEX_TURBO_ROM")) o.rom = rom;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--frames" && i + 1 < argc) {
      o.frames = std::max(1, std::atoi(argv[++i]));
    } else if (a == "--reps" && i + 1 < argc) {
      o.reps = std::max(1, std::atoi(argv[++i]));
    } else if (a == "--rom" && i + 1 < argc) {
      o.rom = argv[++i];
    } else if (a == "--only" && i + 1 < argc) {
      o.only = argv[++i];
    } else if (a == "--help" || a == "-h") {
      std::printf("usage: %s [--frames N] [--reps R] [--rom PATH] [--only on|off] [STATE_FILE_OR_DIR ...]\n", argv[0]);
      std::exit(0);
    } else {
      o.states.push_back(a);
    }
  }
  return o;
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
  const Options opt = parse(argc, argv);
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
  const auto enabled = detect_accelerators(cart->prg_rom.data(), cart->prg_rom.size(),
                                           static_cast<uint16_t>(cart->prg_rom.size() - 1));

  std::vector<Scenario> scenarios;
  for (const auto& f : state_files(opt)) {
    Scenario s{fs::path(f).filename().string(), read_state(f)};
    if (s.image.empty()) {
      std::fprintf(stderr, "cannot read %s\n", f.c_str());
      return 1;
    }
    scenarios.push_back(std::move(s));
  }
  scenarios.push_back({"power-on", {}});

  std::printf("command:");
  for (int i = 0; i < argc; ++i) std::printf(" %s", argv[i]);
  std::printf("\nmachine: %s, one thread\n", machine_description().c_str());
  std::printf("workload: %d frames per repetition, %d repetitions, running right with B, jumping 18 of 48 frames\n",
              opt.frames, opt.reps);
  std::printf("unit: frames/s (min / median / max over repetitions); ratio = median with accelerators / median of\n"
              "      the row; ns/instr = median time / instructions the CPU interpreted (counted in a separate pass)\n"
              "modes: on = lane frame step, all slots enabled; off = same step, every slot disabled;\n"
              "       plain = runner without hooks\n\n");
  std::printf("%-20s %-6s %10s %10s %10s %12s %12s %9s\n", "start", "accel", "min", "median", "max", "ratio on/x",
              "instr/frame", "ns/instr");

  std::vector<Mode> modes;
  if (opt.only.empty() || opt.only == "on") modes.push_back(Mode::On);
  if (opt.only.empty() || opt.only == "off") modes.push_back(Mode::Off);
  if (opt.only.empty()) modes.push_back(Mode::Plain);
  for (const Scenario& s : scenarios) {
    double on_median = 0;
    for (const Mode mode : modes) {
      Machine m(cart);
      m.accelerator_enabled = enabled;
      if (mode != Mode::On) m.accelerator_enabled.fill(0);
      std::vector<double> fps;
      std::vector<double> seconds;
      NoProfile none;
      for (int rep = 0; rep < opt.reps; ++rep) {
        start(m, s);
        const double t = run(m, s, mode, opt.frames, none);
        fps.push_back(opt.frames / t);
        seconds.push_back(t);
      }
      // A separate counting pass: the profiled step counts the instructions
      // the CPU interprets (accelerated routines are not counted).
      ProfileRecord record;
      LaneProfile counter{record};
      start(m, s);
      run(m, s, mode, opt.frames, counter);
      const double instructions = static_cast<double>(record.cpu_steps);
      const Stats st = stats(fps);
      if (mode == Mode::On) on_median = st.median;
      char ratio[24] = "";
      if (mode != Mode::On && on_median > 0) std::snprintf(ratio, sizeof ratio, "%.2fx", on_median / st.median);
      std::printf("%-20s %-6s %10.0f %10.0f %10.0f %12s %12.0f %9.2f\n", mode == modes.front() ? s.name.c_str() : "",
                  mode_name(mode), st.min, st.median, st.max, ratio, instructions / opt.frames,
                  stats(seconds).median * 1e9 / instructions);
    }
    std::fflush(stdout);
  }
  return 0;
}
