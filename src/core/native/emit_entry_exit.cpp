// The code's boundary with run_native: the trampoline that loads the guest
// registers from the frame, the exits that store them back, and the calls
// into the bus, with the registers they must save.
#include "core/alu.h"
#include "core/bus.h"
#include "core/cpu.h"
#include "core/native/emitter.h"

namespace tt::native_detail {

using namespace Xbyak;
using namespace Xbyak::util;

namespace {

uint32_t native_bus_read(Console* m, uint32_t address) { return bus_read(*m, address); }
// Nonzero when the write ran up bus debt or raised an NMI: the runner's checks then.
uint32_t native_bus_write(Console* m, uint32_t address, uint32_t value) {
  bus_write(*m, address, static_cast<uint8_t>(value));
  return m->extra_cycles | m->ppu.nmi_pending;
}

}  // namespace

void Emitter::emit_trampoline() {
  push(rbx);
  push(rbp);
  push(r12);
  push(r13);
  push(r14);
  push(r15);
  sub(rsp, 8);
  mov(r13, rdi);
  mov(r14, qword[r13 + offsetof(NativeFrame, dots)]);
  mov(r15, qword[r13 + offsetof(NativeFrame, ram)]);
  mov(ebx, dword[r13 + offsetof(NativeFrame, a)]);
  mov(ebp, dword[r13 + offsetof(NativeFrame, x)]);
  mov(r12d, dword[r13 + offsetof(NativeFrame, y)]);
  restore_volatile();
  jmp(rsi);
}

void Emitter::emit_exits_and_helpers() {
  L(exit_stop_eax_);
  mov(dword[r13 + offsetof(NativeFrame, pc)], eax);
  L(exit_stop_);
  xor_(eax, eax);
  L(exit_);
  mov(qword[r13 + offsetof(NativeFrame, dots)], r14);
  mov(dword[r13 + offsetof(NativeFrame, a)], ebx);
  mov(dword[r13 + offsetof(NativeFrame, x)], ebp);
  mov(dword[r13 + offsetof(NativeFrame, y)], r12d);
  save_volatile();
  add(rsp, 8);
  pop(r15);
  pop(r14);
  pop(r13);
  pop(r12);
  pop(rbp);
  pop(rbx);
  ret();
  // The bus, called from the code (rsp 16-byte aligned before the call):
  // eax = read(esi); eax = write(esi, edx).
  for (const bool write : {false, true}) {
    L(write ? write_helper_ : read_helper_);
    save_volatile();
    mov(rdi, qword[r13 + offsetof(NativeFrame, console)]);
    sub(rsp, 8);
    mov(rax, write ? reinterpret_cast<size_t>(&native_bus_write) : reinterpret_cast<size_t>(&native_bus_read));
    call(rax);
    add(rsp, 8);
    restore_volatile();
    ret();
  }
}

void Emitter::save_volatile() {
  mov(dword[r13 + offsetof(NativeFrame, sp)], r8d);
  mov(dword[r13 + offsetof(NativeFrame, p)], r9d);
  mov(dword[r13 + offsetof(NativeFrame, nz)], r10d);
  mov(dword[r13 + offsetof(NativeFrame, c)], r11d);
}

void Emitter::restore_volatile() {
  mov(r8d, dword[r13 + offsetof(NativeFrame, sp)]);
  mov(r9d, dword[r13 + offsetof(NativeFrame, p)]);
  mov(r10d, dword[r13 + offsetof(NativeFrame, nz)]);
  mov(r11d, dword[r13 + offsetof(NativeFrame, c)]);
}

void Emitter::call_write_and_exit(uint32_t next_pc, unsigned cycles) {
  call(write_helper_);
  Label to_runner;
  test(eax, eax);
  jnz(to_runner, T_NEAR);
  flush(cycles);
  go_to_block(next_pc);
  L(to_runner);
  flush(0);
  mov(dword[r13 + offsetof(NativeFrame, pc)], next_pc);
  mov(dword[r13 + offsetof(NativeFrame, cycles)], cycles);
  mov(eax, static_cast<uint32_t>(NativeExit::BusWrite));
  jmp(exit_, T_NEAR);
}

}  // namespace tt::native_detail
