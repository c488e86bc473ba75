// Runs one console for one video frame: whole CPU instructions interleaved
// with the event-driven PPU, NMI between instructions, and routine hooks
// offered the machine when the program counter reaches an entry point.
#pragma once

#include <cstdint>

#include "core/block_runner.h"
#include "core/console.h"
#include "core/cpu.h"
#include "core/native_code.h"
#include "core/ppu.h"
#include "core/profiler.h"

namespace tt {

// Runner-local time of one frame call.
struct FrameClock {
  uint64_t cycles = 0;        // CPU cycles spent in this call
  uint64_t pending_dots = 0;  // dots spent by the CPU, not yet handed to the PPU

  // Dots left before the next PPU event, or 0 when already past it.
  uint64_t remaining(const Console& m) const {
    const uint64_t window = m.ppu.next_event_dot - m.ppu.frame_dot;
    return window > pending_dots ? window - pending_dots : 0;
  }
};

// What a routine hook tells the runner after it applied.
enum class HookResult : uint8_t {
  NotApplied,   // interpret the instruction at cpu.pc
  Continue,     // back to the NMI check
  Synchronise,  // hand the pending dots to the PPU now
  TestWindow,   // do the runner's own synchronisation test
};

// A runner without routine hooks.
struct NoHooks {
  static constexpr bool enabled = false;
  HookResult dispatch(Console&, FrameClock&) { return HookResult::NotApplied; }
};

inline constexpr uint64_t LAST_BUDGET_CYCLE = FRAME_CYCLE_BUDGET - 1;

/// Runs the console until the frame ends or the cycle budget is spent.
/// The CPU registers live in a `CpuCore` during the loop; they are written
/// back to the console before a hook sees the machine and on return.
/// With `blocks` (the translation of this console's PRG, with a stop at
/// every hook entry point) the code runs as translated blocks, with `native`
/// (host code for such a translation) as host code, else it is interpreted;
/// all give the same console. The counting runner always interprets.
template <class Hooks, class Profile>
inline void run_frame_with(Console& m, uint8_t buttons, Hooks& hooks, Profile& profile,
                           const TranslatedCode* blocks = nullptr, const NativeCode* native = nullptr) {
  m.controller_state = buttons;
  FrameClock clock;
  CpuCore cpu(m);
  // Between synchronisations every cycle adds exactly 3 pending dots, so the
  // frame cycles are `base` + pending / 3 and both exit tests (event window
  // reached, budget spent) fold into one bound on the pending dots.
  uint64_t base = 0;
  auto dot_limit = [&m, &base] {
    const uint64_t window = m.ppu.next_event_dot - m.ppu.frame_dot;
    const uint64_t budget = 3 * (LAST_BUDGET_CYCLE - base) + 1;
    return window < budget ? window : budget;
  };
  uint64_t limit = dot_limit();
  for (;;) {
    if (m.ppu.nmi_pending) {
      m.ppu.nmi_pending = 0;
      cpu.nmi();
    }
    HookResult hook = HookResult::NotApplied;
    if constexpr (Hooks::enabled) {
      bool offer = true;
      if constexpr (requires { Hooks::wants(uint16_t{}); }) offer = Hooks::wants(cpu.pc);
      if (offer) {
        cpu.store();
        clock.cycles = base + clock.pending_dots / 3;
        hook = hooks.dispatch(m, clock);
        if (hook != HookResult::NotApplied) cpu.load();
      }
    }
    if (hook == HookResult::NotApplied) {
      if constexpr (Profile::enabled) {
        const uint16_t pc = cpu.pc;
        const uint8_t opcode = cpu.fetch();
        profile.instruction(pc, opcode);
        clock.pending_dots += 3u * cpu.step(opcode);
        if (clock.pending_dots < limit) continue;
      } else {
        // Straight-line run until the window closes, an NMI is raised or a
        // hook's entry point comes up; the last two go back to the checks above.
        // Asked after every instruction: it must be inlined into the loops,
        // which are too large for the compiler to do so on its own.
        auto stop_at = [&](uint16_t pc) TT_ALWAYS_INLINE_LAMBDA {
          if constexpr (!Hooks::enabled) {
            return false;
          } else if constexpr (requires { hooks.offers(pc); }) {
            return hooks.offers(pc);  // the others would answer NotApplied
          } else if constexpr (requires { Hooks::wants(pc); }) {
            return Hooks::wants(pc);
          } else {
            return true;
          }
        };
        // Blocks need the hooks' entry points to be stops of the translation;
        // hooks that want the machine everywhere always interpret.
        constexpr bool stops_at_entries =
            !Hooks::enabled || requires { hooks.offers(uint16_t{}); } || requires { Hooks::wants(uint16_t{}); };
        bool window_closed;
        if (stops_at_entries && native) {
          window_closed = run_native(cpu, *native, clock.pending_dots, limit, stop_at);
        } else if (stops_at_entries && blocks) {
          window_closed = run_blocks(cpu, *blocks, clock.pending_dots, limit, stop_at);
        } else {
          window_closed = run_instructions(cpu, clock.pending_dots, limit, stop_at);
        }
        if (!window_closed) continue;
      }
    } else if (hook == HookResult::Continue) {
      continue;
    } else if (hook == HookResult::TestWindow) {
      if (clock.pending_dots < limit) continue;
    }
    clock.cycles = base + clock.pending_dots / 3;
    const bool ended = ppu_tick(m, clock.pending_dots);
    if constexpr (Profile::enabled) profile.tick(clock.pending_dots, ended);
    clock.pending_dots = 0;
    base = clock.cycles;
    if (clock.cycles > LAST_BUDGET_CYCLE || ended) {
      cpu.store();
      return;
    }
    limit = dot_limit();
  }
}

/// `run_frame` without hooks or counters.
void run_frame(Console& m, uint8_t buttons);

/// Power-on state of the console (CPU, PPU, RAM, controller, PC from the
/// RESET vector); does not run the first frame.
void power_on_console(Console& m);

}  // namespace tt
