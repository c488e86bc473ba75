// The cartridge's translated blocks (translated_code.h) as x86-64 machine
// code, with the same block boundaries, the same exits and the same result
// as the block runner (block_runner.h) and the interpreter (cpu.h).
//
// Every PRG address gets one fragment: the host code of the instruction that
// starts there. Inside a block a fragment falls through into the next one
// with no check; a fragment entered from elsewhere (a jump, a branch, a
// return) first tests the event window with the block's guard. Guest
// registers live in host registers for as long as the code runs; N and Z are
// kept as the value they come from, as in the interpreter. The code leaves
// for `run_native` at a write that reaches the bus, at the hooks' entry points,
// at a block whose guard does not fit the window, and at code outside PRG.
//
// The code is written once, at load, into memory that is then made
// executable and never written again; the lanes of an environment share it.
// Hosts other than x86-64, builds without the assembler, and a failure to
// map the code all give no `NativeCode` (`build_native_code` returns null):
// the lanes then run the translated blocks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "core/block_runner.h"
#include "core/cpu.h"
#include "core/translated_code.h"

namespace tt {

// What the code and `run_native` hand each other. Offsets are part of the
// code's contract (native_code.cpp checks them).
struct NativeFrame {
  uint64_t dots = 0;                     // pending dots
  uint64_t limit = 0;                    // the window's end (dots)
  uint8_t* ram = nullptr;                // work RAM
  const uint8_t* prg = nullptr;          // PRG as seen at 0x8000-0xFFFF
  Console* console = nullptr;            // for the bus
  const void* const* entries = nullptr;  // checked entry of each PRG address
  uint32_t pc = 0;                       // where the code stopped
  uint32_t cycles = 0;                   // cycles of the instruction that wrote to the bus
  uint32_t a = 0, x = 0, y = 0, sp = 0;
  uint32_t p = 0;   // P without C, V, N and Z (NATIVE_P_BITS)
  uint32_t nz = 0;  // as CpuCore::nz
  uint32_t c = 0;   // 0 or 1
  uint8_t v = 0;    // 0 or 1
};

// The bits of P that NativeFrame::p holds; C, V and NZ have slots of their own.
inline constexpr uint8_t NATIVE_P_BITS = static_cast<uint8_t>(~(alu::C | alu::V | alu::N | alu::Z));

enum class NativeExit : uint32_t {
  Stop = 0,      // at `pc`, a block start the runner must check
  BusWrite = 1,  // the instruction before `pc` wrote to the bus; `cycles` are its own
};

class NativeCode {
 public:
  NativeCode(std::shared_ptr<const TranslatedCode> translation, const std::vector<uint16_t>& stop_pcs);
  ~NativeCode();
  NativeCode(const NativeCode&) = delete;
  NativeCode& operator=(const NativeCode&) = delete;

  const TranslatedCode& translation() const { return *translation_; }
  /// Runs the code from `pc`'s instruction (PRG, not a marker other than a
  /// stop; the caller has tested its guard) until it exits.
  NativeExit run_from(NativeFrame& frame, uint16_t pc) const {
    return static_cast<NativeExit>(enter_(&frame, body_[pc - 0x8000u]));
  }
  /// The same from a block start: the code tests the guard (and stops) itself.
  NativeExit run_block(NativeFrame& frame, uint16_t pc) const {
    return static_cast<NativeExit>(enter_(&frame, checked_[pc - 0x8000u]));
  }
  const void* const* checked_entries() const { return checked_.data(); }
  /// Bytes of host code.
  size_t code_size() const { return code_size_; }

 private:
  std::shared_ptr<const TranslatedCode> translation_;
  std::vector<const void*> checked_;  // by PRG offset
  std::vector<const void*> body_;     // by PRG offset
  uint32_t (*enter_)(NativeFrame*, const void*) = nullptr;
  // The code's pages (only builds with host code map any).
  [[maybe_unused]] void* mapping_ = nullptr;
  [[maybe_unused]] size_t mapping_size_ = 0;
  size_t code_size_ = 0;
  friend std::shared_ptr<const NativeCode> build_native_code(std::shared_ptr<const TranslatedCode>,
                                                             const std::vector<uint16_t>&);
};

/// Whether this build can emit host code at all.
bool native_code_supported();

/// Host code for `translation`, whose stops the runner's `stop_at` may
/// answer true at are `stop_pcs` (the others are cuts the code passes
/// itself); null where native code is not supported or cannot be mapped.
std::shared_ptr<const NativeCode> build_native_code(std::shared_ptr<const TranslatedCode> translation,
                                                    const std::vector<uint16_t>& stop_pcs);

/// `run_instructions` as host code: same arguments (plus the code, whose
/// translation's stops include every pc at which `stop_at` can be true),
/// same result, same end state.
template <class StopAt>
bool run_native(CpuCore& core, const NativeCode& native, uint64_t& pending, uint64_t limit, StopAt stop_at) {
  const TranslatedCode& t = native.translation();
  Console& m = core.m;
  NativeFrame f;
  f.limit = limit;
  f.ram = core.ram;
  f.prg = t.code.data();
  f.console = &m;
  f.entries = native.checked_entries();
  uint64_t dots = pending;
  unsigned c = 0;
  bool window_closed;
  NativeExit exit;
  const auto interpret = [&](auto stop_interpreting)
                             TT_ALWAYS_INLINE_LAMBDA { return run_instructions(core, dots, limit, stop_interpreting); };
  // Registers into the frame, the code, and back. The code assumes bit 5 of
  // P set (every instruction that writes N or Z sets it, and nothing clears
  // it), so a P without it is left to the interpreter.
  const auto run = [&](bool checked) TT_ALWAYS_INLINE_LAMBDA {
    f.dots = dots;
    f.a = core.a;
    f.x = core.x;
    f.y = core.y;
    f.sp = core.sp;
    f.p = core.p & NATIVE_P_BITS;
    f.c = core.p & CpuCore::C;
    f.v = (core.p >> 6) & 1u;  // V
    f.nz = core.nz;
    const NativeExit e = checked ? native.run_block(f, core.pc) : native.run_from(f, core.pc);
    dots = f.dots;
    core.pc = static_cast<uint16_t>(f.pc);
    core.a = static_cast<uint8_t>(f.a);
    core.x = static_cast<uint8_t>(f.x);
    core.y = static_cast<uint8_t>(f.y);
    core.sp = static_cast<uint8_t>(f.sp);
    core.p = static_cast<uint8_t>(f.p | f.c | (f.v << 6));
    core.nz = static_cast<uint16_t>(f.nz);
    c = f.cycles;
    return e;
  };
  const auto guard_of = [&t](uint16_t pc) TT_ALWAYS_INLINE_LAMBDA { return 3u * t.ops[pc].guard; };

  // The first instruction runs without the entry-point test, as in the
  // interpreter; the caller has just offered the machine at this pc.
  {
    const uint8_t h = t.ops[core.pc].handler;
    if (m.extra_cycles || h == OP_INTERPRET || h == OP_OUTSIDE || !(core.p & CpuCore::U)) goto interpret_one;
    if (dots + guard_of(core.pc) >= limit) goto near_window;
    exit = run(false);
    goto exited;
  }

exited:
  if (exit == NativeExit::BusWrite) goto after_bus_write;
  goto stop;

stop:  // a block's start the code would not run: the interpreter's checks
  if (dots >= limit) goto window_reached;
  if (stop_at(core.pc)) goto stopped;
  {
    const uint8_t h = t.ops[core.pc].handler;
    if (h == OP_OUTSIDE) goto outside_prg;
    if (h == OP_INTERPRET || !(core.p & CpuCore::U)) goto interpret_one;
  }
  if (dots + guard_of(core.pc) >= limit) goto near_window;
  exit = run(false);
  goto exited;

enter_block:
  if (t.ops[core.pc].handler == OP_OUTSIDE || !(core.p & CpuCore::U)) goto stop;
  exit = run(true);
  goto exited;

  TT_TRANSLATED_RUN_EXITS(core.pc)
done:
  pending = dots;
  return window_closed;
}

}  // namespace tt
