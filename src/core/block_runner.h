// Runs the cartridge's code as translated blocks (translated_code.h), with
// the same contract and the same result as `run_instructions` (cpu.h).
//
// The interpreter checks the event window, the NMI and the runner's entry
// points after every instruction. Here those checks happen where they can
// change something:
// - the window once per block: a block is entered only when its worst-case
//   cycles before its last instruction still end inside the window, so no
//   instruction inside it can start at or past the next PPU event; near the
//   window's end the interpreter takes over with its per-instruction test;
// - entry points once, at the stops the translation put on them;
// - NMI and bus debt after every write that reaches the bus (PPU, APU,
//   controller and DMA registers, PRG): each such write leaves the block.
// Operands are decoded with the instruction, not fetched.
// Anything the translation does not cover (code in work RAM, an instruction
// running past 0xFFFF, bus debt owed from before the call) is handed to the
// interpreter for exactly as long as it lasts.
#pragma once

#include <cstdint>

#include "core/cpu.h"
#include "core/translated_code.h"

#if defined(_MSC_VER) && !defined(__clang__)
#define TT_ALWAYS_INLINE_LAMBDA [[msvc::forceinline]]
#else
#define TT_ALWAYS_INLINE_LAMBDA __attribute__((always_inline))
#endif

namespace tt {

// The instructions (cpu.h) over operand bytes decoded with the instruction
// (`begin` gives them to it) instead of fetched: the fetches fold into
// constants and one pc update.
class BlockCpu : public CpuInstructions<BlockCpu> {
 public:
  explicit BlockCpu(const CpuState& core) : CpuInstructions(core.m, core) {}

  /// Starts the instruction at pc: consumes the opcode byte.
  TT_ALWAYS_INLINE void begin(uint16_t operand_bytes) {
    operand = operand_bytes;
    fetched = 0;
    pc = static_cast<uint16_t>(pc + 1);
  }

 private:
  friend class CpuInstructions<BlockCpu>;
  TT_ALWAYS_INLINE uint8_t next_byte() {
    pc = static_cast<uint16_t>(pc + 1);
    return static_cast<uint8_t>(fetched++ ? operand >> 8 : operand);
  }

  uint16_t operand = 0;
  unsigned fetched = 0;
};

// The exits of a run over translated code, as labels, for `run_blocks` and
// `run_native` (native_code.h) alike, with the interpreter's checks: after
// a write that reached the bus (`c` its cycles: bus debt, window, then an
// NMI the write raised), one instruction or code outside PRG given to the
// interpreter (`interpret`), the interpreter to the window's end. `PC` is
// the program counter. They go on at the runner's `enter_block`, or set
// `window_closed` and fall into the runner's `done`.
// clang-format off
#define TT_TRANSLATED_RUN_EXITS(PC)                                                                              \
  after_bus_write:                                                                                               \
  TT_ADD_BUS_DEBT()                                                                                              \
  dots += 3u * c;                                                                                                \
  if (dots >= limit) goto window_reached;                                                                        \
  if (m.ppu.nmi_pending || stop_at(PC)) goto stopped;                                                            \
  goto enter_block;                                                                                              \
  interpret_one: /* one instruction, with all its checks after it */                                             \
  if (interpret([](uint16_t) { return true; })) goto window_reached;                                             \
  if (m.ppu.nmi_pending || stop_at(PC)) goto stopped;                                                            \
  goto enter_block;                                                                                              \
  outside_prg: /* code in work RAM: until it is back in PRG */                                                   \
  if (interpret([&stop_at](uint16_t pc) { return (pc & 0x8000) || stop_at(pc); })) goto window_reached;          \
  if (m.ppu.nmi_pending || stop_at(PC)) goto stopped;                                                            \
  goto enter_block;                                                                                              \
  near_window: /* the block could reach the next event: to the window's end */                                  \
  window_closed = interpret(stop_at);                                                                            \
  goto done;                                                                                                     \
  window_reached:                                                                                                \
  window_closed = true;                                                                                          \
  goto done;                                                                                                     \
  stopped:                                                                                                       \
  window_closed = false;
// clang-format on

/// `run_instructions` over translated blocks: same arguments (plus the
/// translation of the console's PRG, whose stops must include every pc at
/// which `stop_at` can be true), same result, same end state.
///
/// Threaded dispatch jumps from handler to handler through the CPU's label
/// table; without it (TT_THREADED_DISPATCH 0) every jump goes through one
/// switch on the handler to the same labels.
template <class StopAt>
bool run_blocks(CpuCore& core, const TranslatedCode& translation, uint64_t& pending, uint64_t limit, StopAt stop_at) {
#if TT_THREADED_DISPATCH
  static void* const handlers[256] = {TT_CPU_HANDLER_TABLE};
#define TT_BLOCK_DISPATCH() goto* handlers[ip->handler];
#else
#define TT_BLOCK_DISPATCH() goto dispatch_handler;
#endif
  Console& m = core.m;
  BlockCpu cpu(core);
  const TranslatedOp* const ops = translation.ops.data();
  uint64_t dots = pending;
  unsigned c = 0;
  bool window_closed;
  // Inside PRG the position is kept as the entry of the instruction (`ip`);
  // pc follows from it where an instruction or an exit needs it.
  const TranslatedOp* ip = nullptr;
  const auto op_at = [ops](uint16_t pc) TT_ALWAYS_INLINE_LAMBDA { return ops + pc; };
  const auto pc_of = [ops](const TranslatedOp* at) TT_ALWAYS_INLINE_LAMBDA { return static_cast<uint16_t>(at - ops); };
  // Inlined, so that `cpu` never has its address taken and its registers
  // stay in machine registers.
  const auto interpret = [&](auto stop_interpreting) TT_ALWAYS_INLINE_LAMBDA {
    core.copy_registers_from(cpu);
    uint64_t p = dots;
    const bool closed = run_instructions(core, p, limit, stop_interpreting);
    dots = p;
    cpu.copy_registers_from(core);
    return closed;
  };

  // The instruction stored at pc, whatever its entry holds (an entry point's
  // marker, for one). An undocumented opcode goes straight to the no-op, past
  // the marker test of its handler.
#if TT_THREADED_DISPATCH
#define TT_RUN_STORED_OPCODE()                                    \
  {                                                               \
    void* const target = handlers[translation.opcode_at(cpu.pc)]; \
    if (target == &&op_nop) goto nop_body;                        \
    goto* target;                                                 \
  }
#else
#define TT_RUN_STORED_OPCODE() goto dispatch_stored;
#endif

  // The first instruction runs without the entry-point test, as in the
  // interpreter; the caller has just offered the machine at this pc.
  ip = op_at(cpu.pc);
  if (m.extra_cycles || ip->handler == OP_INTERPRET || ip->handler == OP_OUTSIDE) goto interpret_one;
  if (dots + 3u * ip->guard >= limit) goto near_window;
  TT_RUN_STORED_OPCODE()

  // Where a block ends: the window test, then into the next block (a
  // marker's entry goes on to `stop` through the no-op handler).
#define TT_ENTER_BLOCK()                             \
  {                                                  \
    ip = op_at(cpu.pc);                              \
    if (dots + 3u * ip->guard >= limit) [[unlikely]] \
      goto stop;                                     \
    TT_BLOCK_DISPATCH()                              \
  }
  // Each handler consumes its opcode byte itself: the dispatch reads the
  // handler from the translation, not through a fetch.
#define TT_BLOCK_HANDLER(CODE, ...)               \
  op_##CODE : cpu.pc = pc_of(ip);                 \
  cpu.begin(ip->operand);                         \
  c = cpu.exec_##CODE();                          \
  if constexpr (OPCODE_INFO[CODE].writes_bus) {   \
    if (cpu.bus_written) [[unlikely]] {           \
      cpu.bus_written = false;                    \
      goto after_bus_write;                       \
    }                                             \
  }                                               \
  dots += 3u * c;                                 \
  if constexpr (OPCODE_INFO[CODE].changes_flow) { \
    TT_ENTER_BLOCK()                              \
  } else {                                        \
    ip += OPCODE_INFO[CODE].length;               \
    TT_BLOCK_DISPATCH()                           \
  }

  TT_CPU_OPCODES(TT_BLOCK_HANDLER)
op_nop:  // every undocumented opcode, and the markers
  if (ip->handler != NOP_HANDLER) goto stop;
nop_body:
  ip += 1;
  dots += 3u * 2;
  TT_BLOCK_DISPATCH()
#undef TT_BLOCK_HANDLER

#if !TT_THREADED_DISPATCH
  // The label table as a switch: documented opcodes to their handlers, every
  // other value (undocumented opcodes, markers) to the no-op handler, or for
  // a stored opcode past its marker test.
#define TT_BLOCK_CASE(CODE, ...) \
  case CODE: goto op_##CODE;
dispatch_handler:
  switch (ip->handler) {
    TT_CPU_OPCODES(TT_BLOCK_CASE)
    default: goto op_nop;
  }
dispatch_stored:
  switch (translation.opcode_at(cpu.pc)) {
    TT_CPU_OPCODES(TT_BLOCK_CASE)
    default: goto nop_body;
  }
#undef TT_BLOCK_CASE
#endif

enter_block:
  TT_ENTER_BLOCK()
#undef TT_ENTER_BLOCK

stop:  // a block's start near the window's end, or a marker: the interpreter's checks
  cpu.pc = pc_of(ip);
  if (dots >= limit) goto window_reached;
  if (stop_at(cpu.pc)) goto stopped;
  if (ip->handler == OP_OUTSIDE) goto outside_prg;
  if (ip->handler == OP_INTERPRET) goto interpret_one;
  if (dots + 3u * ip->guard >= limit) goto near_window;
  TT_RUN_STORED_OPCODE()
#undef TT_RUN_STORED_OPCODE

  TT_TRANSLATED_RUN_EXITS(cpu.pc)
done:
  core.copy_registers_from(cpu);
  pending = dots;
  return window_closed;
#undef TT_BLOCK_DISPATCH
}

}  // namespace tt
