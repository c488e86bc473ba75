#include "core/translated_code.h"

#include "core/cpu.h"

namespace tt {


std::shared_ptr<const TranslatedCode> translate_prg(const uint8_t* prg, size_t prg_size,
                                                    const std::vector<uint16_t>& stop_pcs) {
  auto t = std::make_shared<TranslatedCode>();
  for (size_t i = 0; i < t->code.size(); ++i) t->code[i] = prg[i & (prg_size - 1)];
  for (size_t i = 0; i < t->ops.size(); ++i) {
    const uint16_t lo = i + 1 < t->code.size() ? t->code[i + 1] : 0;
    const uint16_t hi = i + 2 < t->code.size() ? t->code[i + 2] : 0;
    t->ops[i] = {t->code[i], 0, static_cast<uint16_t>(lo | (hi << 8))};
  }

  for (const uint16_t pc : stop_pcs)
    if (pc >= 0x8000) t->ops[pc - 0x8000u].handler = OP_STOP;

  // Guards from the top of PRG down: an instruction's block continues into
  // the next instruction unless it changes the flow or the next one is a stop.
  for (size_t i = t->ops.size(); i-- > 0;) {
    TranslatedOp& op = t->ops[i];
    const OpcodeInfo info = OPCODE_INFO[t->code[i]];
    const size_t next = i + info.length;
    // Operand bytes must lie in PRG; an instruction that runs on past the
    // block must also leave its successor there.
    if (next > t->ops.size() || (!info.changes_flow && next == t->ops.size())) {
      op.handler = OP_INTERPRET;
      op.guard = 0;
      continue;
    }
    if (info.changes_flow || t->ops[next].handler >= OP_STOP) {
      op.guard = 0;
      continue;
    }
    const unsigned guard = info.max_cycles + t->ops[next].guard;
    if (guard > MAX_BLOCK_GUARD) {
      // Cut the block before `next`. Blocks already built through `next` now
      // stop there: their guards only grow more cautious.
      if (t->ops[next].handler < OP_STOP) t->ops[next].handler = OP_STOP;
      op.guard = 0;
    } else {
      op.guard = static_cast<uint16_t>(guard);
    }
  }
  return t;
}

}  // namespace tt
