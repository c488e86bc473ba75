// nesrun: a headless runner for any mapper-0 iNES image.
//
//   nesrun trace IMAGE --pc HEX --count N
//   nesrun run IMAGE --frames N [--inputs FILE] [--ram-out FILE] [--state FILE]
//                    [--png FILE] [--png-every K DIR] [--no-accel]
#include <CLI/CLI.hpp>
#include <cinttypes>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "core/cartridge.h"
#include "core/cpu.h"
#include "core/frame_runner.h"
#include "core/renderer.h"
#include "driver/accelerators.h"
#include "driver/frame_step.h"
#include "driver/game_info.h"
#include "driver/game_values.h"
#include "driver/state_image.h"
#include "gunzip.h"
#include "png_writer.h"

namespace {

using namespace tt;

struct Failure {
  std::string message;
};

std::vector<uint8_t> read_or_throw(const std::string& path, const char* what) {
  std::vector<uint8_t> bytes;
  std::string err;
  if (!read_file(path, bytes, err)) throw Failure{std::string("cannot read ") + what + " '" + path + "': " + err};
  return bytes;
}

bool is_gzip(const std::vector<uint8_t>& d) { return d.size() >= 2 && d[0] == 0x1F && d[1] == 0x8B; }

std::vector<uint8_t> gunzip_or_throw(const std::vector<uint8_t>& data, const std::string& path) {
  std::vector<uint8_t> out;
  switch (gunzip_bytes(data, out)) {
    case GunzipStatus::Ok: return out;
    case GunzipStatus::Truncated: throw Failure{"state file '" + path + "' is truncated gzip data"};
    case GunzipStatus::Corrupt: break;
  }
  throw Failure{"state file '" + path + "' is not valid gzip data"};
}

std::shared_ptr<const Cartridge> load_image(const std::string& path) {
  const auto bytes = read_or_throw(path, "image");
  auto result = parse_ines(bytes);
  if (auto* err = std::get_if<CartridgeError>(&result)) throw Failure{"invalid image '" + path + "': " + err->message};
  return std::make_shared<const Cartridge>(std::move(std::get<Cartridge>(result)));
}

std::unique_ptr<Machine> make_machine(const std::shared_ptr<const Cartridge>& cart, bool accelerate) {
  auto m = std::make_unique<Machine>(cart);
  if (accelerate) {
    m->accelerator_enabled = detect_accelerators(cart->prg_rom.data(), cart->prg_rom.size(),
                                                 static_cast<uint16_t>(cart->prg_rom.size() - 1));
  }
  return m;
}

int trace(const std::string& image, const std::string& pc_hex, uint64_t count) {
  unsigned long pc = 0;
  try {
    size_t used = 0;
    pc = std::stoul(pc_hex, &used, 16);
    if (used != pc_hex.size() || pc > 0xFFFF) throw std::invalid_argument("range");
  } catch (const std::exception&) {
    throw Failure{"--pc must be a hexadecimal address 0000-FFFF, got '" + pc_hex + "'"};
  }
  auto cart = load_image(image);
  auto m = make_machine(cart, false);
  power_on_console(*m);
  m->terminated = 0;
  refresh_game_info(*m);
  m->cpu.pc = static_cast<uint16_t>(pc);

  uint64_t cycles = 0;
  uint64_t pending = 0;
  for (uint64_t i = 0; i < count; ++i) {
    if (m->ppu.nmi_pending) {
      m->ppu.nmi_pending = 0;
      nmi_entry(*m);
    }
    const auto& r = m->cpu;
    std::printf("%04X A:%02X X:%02X Y:%02X P:%02X SP:%02X CYC:%" PRIu64 "\n", r.pc, r.a, r.x, r.y, r.p, r.sp, cycles);
    const uint16_t c = cpu_step(*m, fetch_opcode(*m));
    cycles += c;
    pending += 3u * c;
    if (pending >= m->ppu.next_event_dot - m->ppu.frame_dot) {
      ppu_tick(*m, pending);
      pending = 0;
    }
  }
  return 0;
}

void write_png_or_throw(const Machine& m, const std::string& path) {
  std::vector<uint8_t> planes(3 * VISIBLE_FRAME_WIDTH * VISIBLE_FRAME_HEIGHT);
  render_rgb(m, planes.data(), VISIBLE_RECT);
  std::string err;
  if (!write_png_rgb(path, planes.data(), VISIBLE_FRAME_WIDTH, VISIBLE_FRAME_HEIGHT, err)) {
    throw Failure{"cannot write PNG '" + path + "': " + err};
  }
}

struct RunOptions {
  std::string image;
  uint64_t frames = 0;
  std::string inputs, ram_out, state, png, png_dir;
  uint64_t png_every = 0;
  bool no_accel = false;
};

int run(const RunOptions& o) {
  auto cart = load_image(o.image);
  std::vector<uint8_t> inputs;
  if (!o.inputs.empty()) inputs = read_or_throw(o.inputs, "inputs");
  std::vector<uint8_t> state;
  if (!o.state.empty()) {
    state = read_or_throw(o.state, "state");
    if (is_gzip(state)) state = gunzip_or_throw(state, o.state);
  }
  std::unique_ptr<std::ofstream> ram_out;
  if (!o.ram_out.empty()) {
    ram_out = std::make_unique<std::ofstream>(o.ram_out, std::ios::binary | std::ios::trunc);
    if (!*ram_out) throw Failure{"cannot open --ram-out file '" + o.ram_out + "'"};
  }
  if (o.png_every) std::filesystem::create_directories(o.png_dir);

  auto m = make_machine(cart, !o.no_accel);
  if (!o.state.empty()) {
    if (auto err = load_state_image(*m, state.data(), state.size()))
      throw Failure{"invalid state '" + o.state + "': " + *err};
  } else {
    reset_machine(*m);
  }

  AcceleratorHooks hooks{m->accelerator_enabled.data()};
  NoProfile profile;
  for (uint64_t f = 0; f < o.frames; ++f) {
    const uint8_t buttons = f < inputs.size() ? inputs[f] : 0;
    run_frame_with(*m, buttons, hooks, profile);
    refresh_game_info(*m);
    if (ram_out) ram_out->write(reinterpret_cast<const char*>(m->ram.data()), m->ram.size());
    if (o.png_every && (f + 1) % o.png_every == 0) {
      char name[64];
      std::snprintf(name, sizeof name, "frame_%06" PRIu64 ".png", f + 1);
      write_png_or_throw(*m, (std::filesystem::path(o.png_dir) / name).string());
    }
  }
  if (ram_out && !ram_out->good()) throw Failure{"writing --ram-out file '" + o.ram_out + "' failed"};
  if (!o.png.empty()) write_png_or_throw(*m, o.png);

  const GameInfo& g = m->info;
  std::string json = "{\"frames\": " + std::to_string(o.frames) + ", \"ppu.frame\": " + std::to_string(m->ppu.frame);
#define TT_JSON_FIELD(NAME, ...) json += ", \"" #NAME "\": " + std::to_string(+g.NAME);
  TT_GAME_VALUES(TT_JSON_FIELD)
#undef TT_JSON_FIELD
  std::printf("%s}\n", json.c_str());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"Headless runner for mapper-0 iNES images"};
  app.require_subcommand(1);

  std::string trace_image, pc_hex;
  uint64_t count = 0;
  auto* trace_cmd = app.add_subcommand("trace", "Print the registers before each instruction, starting at --pc");
  trace_cmd->add_option("IMAGE", trace_image, "iNES image (mapper 0)")->required();
  trace_cmd->add_option("--pc", pc_hex, "start address, hexadecimal")->required();
  trace_cmd->add_option("--count", count, "instructions to trace")->required();

  RunOptions ro;
  auto* run_cmd = app.add_subcommand("run", "Reset (or load a state) and run frames; prints a JSON summary");
  run_cmd->add_option("IMAGE", ro.image, "iNES image (mapper 0)")->required();
  run_cmd->add_option("--frames", ro.frames, "frames to run")->required();
  run_cmd->add_option("--inputs", ro.inputs, "binary file, one controller byte per frame");
  run_cmd->add_option("--ram-out", ro.ram_out, "write the 2048 RAM bytes after every frame");
  run_cmd->add_option("--state", ro.state, "start from a state image (raw or gzip) instead of power-on");
  run_cmd->add_option("--png", ro.png, "write the last frame's visible 240x224 picture as PNG");
  std::vector<std::string> png_every;
  run_cmd->add_option("--png-every", png_every, "K DIR: write every K-th frame as PNG into DIR")->expected(2);
  run_cmd->add_flag("--no-accel", ro.no_accel, "interpret every routine (disable all accelerators)");

  try {
    app.parse(argc, argv);
    if (*trace_cmd) return trace(trace_image, pc_hex, count);
    if (!png_every.empty()) {
      try {
        size_t used = 0;
        ro.png_every = std::stoull(png_every[0], &used);
        if (used != png_every[0].size() || ro.png_every == 0) throw std::invalid_argument("k");
      } catch (const std::exception&) {
        throw Failure{"--png-every needs a positive frame count K, got '" + png_every[0] + "'"};
      }
      ro.png_dir = png_every[1];
    }
    return run(ro);
  } catch (const CLI::ParseError& e) {
    return app.exit(e);
  } catch (const Failure& f) {
    std::fprintf(stderr, "nesrun: error: %s\n", f.message.c_str());
    return 1;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "nesrun: error: %s\n", e.what());
    return 1;
  }
}
