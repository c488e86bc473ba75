#include "core/translated_code.h"

#include "core/cpu.h"

namespace tt {

std::shared_ptr<const TranslatedCode> translate_prg(const uint8_t* prg, size_t prg_size,
                                                    const std::vector<uint16_t>& stop_pcs) {
  auto t = std::make_shared<TranslatedCode>();
  for (size_t i = 0; i < t->code.size(); ++i) t->code[i] = prg[i & (prg_size - 1)];
  for (size_t pc = 0; pc < 0x8000; ++pc) t->ops[pc] = {OP_OUTSIDE, 0, 0};
  TranslatedOp* const ops = t->ops.data() + 0x8000;  // by PRG offset
  constexpr std::array<bool, 256> documented = translation_detail::documented_opcodes();
  const size_t size = t->code.size();
  for (size_t i = 0; i < size; ++i) {
    const uint16_t lo = i + 1 < size ? t->code[i + 1] : 0;
    const uint16_t hi = i + 2 < size ? t->code[i + 2] : 0;
    const uint8_t opcode = t->code[i];
    ops[i] = {documented[opcode] ? opcode : NOP_HANDLER, 0, static_cast<uint16_t>(lo | (hi << 8))};
  }

  for (const uint16_t pc : stop_pcs)
    if (pc >= 0x8000) t->ops[pc].handler = OP_STOP;

  // Guards from the top of PRG down: an instruction's block continues into
  // the next instruction unless it changes the flow or the next one is a stop.
  for (size_t i = size; i-- > 0;) {
    TranslatedOp& op = ops[i];
    const OpcodeInfo info = OPCODE_INFO[t->code[i]];
    const size_t next = i + info.length;
    // Operand bytes must lie in PRG; an instruction that runs on past the
    // block must also leave its successor there.
    if (next > size || (!info.changes_flow && next == size)) {
      op.handler = OP_INTERPRET;
      op.guard = 0;
      continue;
    }
    if (info.changes_flow || is_marker(ops[next].handler)) {
      op.guard = 0;
      continue;
    }
    const unsigned guard = info.max_cycles + ops[next].guard;
    if (guard > MAX_BLOCK_GUARD) {
      // Cut the block before `next`. Blocks already built through `next` now
      // stop there: their guards only grow more cautious.
      if (!is_marker(ops[next].handler)) ops[next].handler = OP_STOP;
      op.guard = 0;
    } else {
      op.guard = static_cast<uint8_t>(guard);
    }
  }
  return t;
}

}  // namespace tt
