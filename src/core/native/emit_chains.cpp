// How the fragments are laid out: chains that fall through from one
// instruction of a block to the next and go on where a flow change leads,
// the jumps between fragments (placed by hand, resolved by link()), and the
// checked entry of each block start.
#include <cstring>

#include "core/alu.h"
#include "core/cpu.h"
#include "core/native/emitter.h"

namespace tt::native_detail {

using namespace Xbyak;
using namespace Xbyak::util;

void Emitter::emit_all() {
  emit_trampoline();
  emit_exits_and_helpers();
  // Jump and branch targets first, each the head of its chain, so that a
  // loop enters at a chain's head; then whatever is left.
  for (const unsigned head : chain_heads()) emit_chain(head);
  for (unsigned i = 0; i < 0x8000; ++i) emit_chain(i);
  for (const unsigned at : deferred_checks_) {
    place(T_CHECKED + at);
    emit_entry_check(at);
    enter_inside_chain(at);
  }
  for (const unsigned at : body_stubs_) {
    place(T_BODY + at);
    enter_inside_chain(at);
  }
  for (uint32_t pc = 0; pc < 0x10000; ++pc) {
    if (!stop_needed_[pc]) continue;
    place(T_STOP + pc);
    mov(dword[r13 + offsetof(NativeFrame, pc)], pc);
    jmp(exit_stop_, T_NEAR);
  }
}

bool Emitter::link(uint8_t* code) const {
  for (const auto& [at, target] : fixups_) {
    if (where_[target] < 0) return false;
    const int32_t rel = static_cast<int32_t>(where_[target] - static_cast<int64_t>(at + 4));
    std::memcpy(code + at, &rel, 4);
  }
  return true;
}

void Emitter::emit_chain(unsigned at) {
  if (emitted_[at]) return;
  bool head = true;
  for (;;) {
    if (head) {
      pending_ = 0;
      place(T_CHECKED + at);
      emit_entry_check(at);
    } else {
      deferred_checks_.push_back(at);
    }
    emit_fragment(at);
    if (fallthrough_ < 0x8000) {
      at = fallthrough_;
      head = false;
    } else if (next_head_ < 0x8000) {
      at = next_head_;
      head = true;
    } else {
      return;
    }
  }
}

std::vector<unsigned> Emitter::chain_heads() const {
  std::vector<bool> is_head(0x8000, false);
  for (unsigned i = 0; i < 0x8000; ++i) {
    const uint16_t pc = static_cast<uint16_t>(0x8000 + i);
    const uint8_t op = t_.opcode_at(pc);
    const uint16_t operand = t_.ops[pc].operand;
    uint32_t target = 0;
    if ((op & 0x1F) == 0x10) target = branch_target(static_cast<uint16_t>(pc + 2), static_cast<uint8_t>(operand));
    if (op == 0x4C || op == 0x20) target = operand;
    if (target & 0x8000) is_head[target - 0x8000] = true;
  }
  for (const uint16_t vector : {NMI_VECTOR, RESET_VECTOR, IRQ_VECTOR}) is_head[prg_vector(vector) & 0x7FFF] = true;
  std::vector<unsigned> heads;
  for (unsigned i = 0; i < 0x8000; ++i)
    if (is_head[i]) heads.push_back(i);
  return heads;
}

void Emitter::enter_inside_chain(unsigned at) {
  if (delay_[at]) {
    sub(r14, 3 * delay_[at]);
    jump_to(T_INNER + at);
  } else {
    jump_to(T_BODY + at);
  }
}

void Emitter::emit_check(unsigned offset) {
  const uint32_t guard = 3u * t_.ops[0x8000 + offset].guard;
  if (guard) {
    lea(rax, ptr[r14 + guard]);
    cmp(rax, qword[r13 + offsetof(NativeFrame, limit)]);
  } else {
    cmp(r14, qword[r13 + offsetof(NativeFrame, limit)]);
  }
  jump_if(CC_AE, stop_target(0x8000 + offset));
}

void Emitter::emit_entry_check(unsigned offset) {
  const uint32_t pc = 0x8000 + offset;
  const uint8_t handler = t_.ops[pc].handler;
  if ((handler == OP_STOP && hook_stop_[pc]) || handler == OP_INTERPRET) {
    jump_to(stop_target(pc));
  } else {
    emit_check(offset);
  }
}

void Emitter::go_to_block_eax() {
  test(eax, 0x8000);
  jz(exit_stop_eax_, T_NEAR);
  mov(rcx, qword[r13 + offsetof(NativeFrame, entries)]);
  jmp(ptr[rcx + rax * 8 - 0x8000 * 8]);
}

void Emitter::go_to_block_next(uint32_t pc) {
  if ((pc & 0x8000) && !emitted_[pc - 0x8000]) {
    next_head_ = pc - 0x8000;
  } else {
    go_to_block(pc);
  }
}

void Emitter::continue_to(uint32_t next) {
  const unsigned offset = next - 0x8000;
  if (is_marker(t_.ops[next].handler) || emitted_[offset]) {
    add_dots(0);
    jump_to(is_marker(t_.ops[next].handler) ? T_CHECKED + offset : T_BODY + offset);
    return;
  }
  fallthrough_ = offset;
}

}  // namespace tt::native_detail
