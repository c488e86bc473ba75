// Bus, controller, DMA, PPU registers and clock, CPU corner cases and the
// frame runner, each pinned down on tiny synthetic images.
#include <gtest/gtest.h>

#include "core/bus.h"
#include "core/cpu.h"
#include "core/frame_runner.h"
#include "core/ppu.h"
#include "test_support.h"

namespace tt {
namespace {

Console make_console(const std::vector<uint8_t>& code = {0x4C, 0x00, 0x80}, bool vertical = false) {
  Console m(testing::tiny_cartridge(code, 0x8000, 0x8000, 0x8000, vertical));
  power_on_console(m);
  return m;
}

// Runs one instruction at cpu.pc and returns its cycles.
unsigned step(Console& m) { return cpu_step(m, fetch_opcode(m)); }

TEST(BusMap, RamMirrorsUnmappedAndRom) {
  Console m = make_console({0x11, 0x22});
  bus_write(m, 0x0800, 0x5A);
  EXPECT_EQ(m.ram[0], 0x5A);
  m.ram[0x7FF] = 0x33;
  EXPECT_EQ(bus_read(m, 0x1FFF), 0x33);
  for (uint32_t a : {0x4015u, 0x4017u, 0x5000u, 0x6000u, 0x4014u}) {
    bus_write(m, a, 0x99);
    EXPECT_EQ(bus_read(m, a), 0) << std::hex << a;
  }
  bus_write(m, 0x8000, 0x77);
  EXPECT_EQ(bus_read(m, 0x8000), 0x11);
  EXPECT_EQ(bus_read(m, 0xC001), 0x22);                // 16 KiB PRG is seen twice
  EXPECT_EQ(bus_read(m, 0x10000 + 0x0005), m.ram[5]);  // only the low 16 bits count
}

TEST(BusController, StrobeShiftAndLatch) {
  Console m = make_console();
  m.controller_state = 0x09;  // A and Start
  bus_write(m, 0x4016, 1);
  EXPECT_EQ(bus_read(m, 0x4016), 0x41);
  EXPECT_EQ(bus_read(m, 0x4016), 0x41);  // strobe high: no shifting
  bus_write(m, 0x4016, 0);
  const uint8_t want[9] = {0x41, 0x40, 0x40, 0x41, 0x40, 0x40, 0x40, 0x40, 0x41};
  for (uint8_t w : want) EXPECT_EQ(bus_read(m, 0x4016), w);
  // Writing 0 again does not latch; the register keeps shifting ones in.
  m.controller_state = 0x00;
  bus_write(m, 0x4016, 0);
  EXPECT_EQ(bus_read(m, 0x4016), 0x41);
}

TEST(BusDma, CopiesPageFromOamAddressAndChargesCycles) {
  Console m = make_console();
  for (int i = 0; i < 256; ++i) m.ram[0x200 + i] = static_cast<uint8_t>(i);
  m.ppu.oam_addr = 4;
  bus_write(m, 0x4014, 0x02);
  EXPECT_EQ(m.ppu.oam[4], m.ram[0x200]);
  EXPECT_EQ(m.ppu.oam[0], m.ram[0x2FC]);
  EXPECT_EQ(m.ppu.oam_addr, 4);
  EXPECT_EQ(m.extra_cycles, 513);

  // A mirror page of RAM copies the same bytes; a PPU page reads registers,
  // with their side effects (0x2002 clears vblank each time it is read).
  Console mirror = make_console();
  mirror.ram = m.ram;
  mirror.ppu.oam_addr = 4;
  bus_write(mirror, 0x4014, 0x1A);
  EXPECT_EQ(mirror.ppu.oam, m.ppu.oam);
  Console regs = make_console();
  regs.ppu.status = 0x80;
  bus_write(regs, 0x4014, 0x20);
  EXPECT_EQ(regs.ppu.oam[2], 0x80) << "the first read of 0x2002 sees vblank";
  EXPECT_EQ(regs.ppu.oam[10], 0x00) << "later reads of its mirrors see it cleared";
  // STA $4014 costs 4 + 513 and the debt is collected.
  Console s = make_console({0xA9, 0x02, 0x8D, 0x14, 0x40, 0xAD, 0x00, 0x00});
  step(s);
  EXPECT_EQ(step(s), 517u);
  EXPECT_EQ(s.extra_cycles, 0);
  s.extra_cycles = 65534;
  EXPECT_EQ(step(s), 65535u);  // LDA $0000 (4 cycles): the sum saturates
  EXPECT_EQ(s.extra_cycles, 0);
  s.extra_cycles = 65534;
  s.cpu.pc = 0x8002;
  EXPECT_EQ(step(s), 4u + ((65534 + 513) & 0xFFFF)) << "the DMA debt itself wraps at 16 bits";
}

TEST(PpuRegisters, ControlScrollAndAddress) {
  Console m = make_console();
  m.ppu.status = 0x80;
  bus_write(m, 0x2000, 0x80);
  EXPECT_EQ(m.ppu.nmi_pending, 1);
  m.ppu.nmi_pending = 0;
  bus_write(m, 0x2000, 0x80);
  EXPECT_EQ(m.ppu.nmi_pending, 0);

  m.ppu.ctrl = 0x01;
  bus_read(m, 0x2002);  // first_write = 1
  bus_write(m, 0x2005, 0x7D);
  bus_write(m, 0x2005, 0x5E);
  EXPECT_EQ(m.ppu.fine_x, 5);
  EXPECT_EQ(m.ppu.scroll_x_px, 0x17D);
  EXPECT_EQ(m.ppu.scroll_y_px, 0x5E);
  EXPECT_EQ(m.ppu.temp_addr & 0x1F, 15);
  EXPECT_EQ((m.ppu.temp_addr >> 5) & 0x1F, 11);
  EXPECT_EQ((m.ppu.temp_addr >> 12) & 7, 6);
  EXPECT_EQ(m.ppu.scroll_addr, m.ppu.temp_addr);

  const uint16_t scroll_addr = m.ppu.scroll_addr;
  bus_write(m, 0x2006, 0xFF);
  bus_write(m, 0x2006, 0x10);
  EXPECT_EQ(m.ppu.addr, 0x3F10);
  EXPECT_EQ(m.ppu.scroll_addr, scroll_addr) << "0x2006 writes leave the scroll address alone";
}

TEST(PpuRegisters, PaletteWritesMarkDirtyBackgroundPalettes) {
  Console m = make_console();
  auto write_palette = [&](uint16_t a, uint8_t v) {
    bus_write(m, 0x2006, static_cast<uint8_t>(a >> 8));
    bus_write(m, 0x2006, static_cast<uint8_t>(a));
    bus_write(m, 0x2007, v);
    const uint8_t dirty = m.renderer.bg_palette_dirty.load();
    m.renderer.bg_palette_dirty.store(0);
    return dirty;
  };
  EXPECT_EQ(write_palette(0x3F10, 0x21), 0x0F);
  EXPECT_EQ(m.ppu.palette[0], 0x21);
  EXPECT_EQ(write_palette(0x3F05, 0x16), 0x02);
  EXPECT_EQ(write_palette(0x3F04, 0x16), 0x00);
  EXPECT_EQ(write_palette(0x3F11, 0x16), 0x00);
  EXPECT_EQ(m.ppu.palette[0x11], 0x16);
}

TEST(PpuRegisters, DataReadsBufferNametablesButNotPalette) {
  for (bool vertical : {true, false}) {
    Console m = make_console({0x4C, 0x00, 0x80}, vertical);
    m.ppu.vram[0x400] = 0xAB;
    m.ppu.vram[0] = 0xCD;
    m.ppu.data_buffer = 0x11;
    m.ppu.addr = 0x2400;
    EXPECT_EQ(bus_read(m, 0x2007), 0x11);
    EXPECT_EQ(m.ppu.data_buffer, vertical ? 0xAB : 0xCD);
    EXPECT_EQ(m.ppu.addr, 0x2401);
  }
  Console m = make_console();
  m.ppu.palette[0] = 0x2C;
  m.ppu.data_buffer = 0x42;
  m.ppu.addr = 0x3F00;
  m.ppu.ctrl = 0x04;
  EXPECT_EQ(bus_read(m, 0x2007), 0x2C);
  EXPECT_EQ(m.ppu.data_buffer, 0x42);
  EXPECT_EQ(m.ppu.addr, 0x3F20);
  // Write-only registers read as 0; status clears vblank on read.
  m.ppu.status = 0xC0;
  EXPECT_EQ(bus_read(m, 0x2000), 0);
  EXPECT_EQ(bus_read(m, 0x2002), 0xC0);
  EXPECT_EQ(bus_read(m, 0x2002), 0x40);
  // CHR is never writable.
  m.ppu.addr = 0x0010;
  bus_write(m, 0x2007, 0xFF);
  EXPECT_EQ(m.chr[0x10], 0);
}

TEST(PpuClock, EventsAcrossWholeFrames) {
  Console m = make_console();
  EXPECT_FALSE(ppu_tick(m, 0));
  EXPECT_EQ(m.ppu.frame_dot, 0u);
  m.ppu.ctrl = 0x80;
  m.ppu.mask = 0;
  EXPECT_TRUE(ppu_tick(m, FRAME_DOTS));
  EXPECT_EQ(m.ppu.frame_dot, 0u);
  EXPECT_EQ(m.ppu.frame, 1u);
  EXPECT_EQ(m.ppu.nmi_pending, 1);
  EXPECT_EQ(m.ppu.next_event_dot, VBLANK_START_DOT);

  ppu_tick(m, 341);
  EXPECT_EQ(m.ppu.status & 0x80, 0x80);
  ppu_tick(m, 7161 - 341);
  EXPECT_EQ(m.ppu.status & 0xC0, 0);
  EXPECT_EQ(m.ppu.next_event_dot, SPRITE0_HIT_DOT);
  ppu_tick(m, SPRITE0_HIT_DOT - 7161);
  EXPECT_EQ(m.ppu.status & 0x40, 0x40) << "sprite-0 hit is raised even with rendering off";
  // Crossing the frame end continues into the next frame.
  EXPECT_TRUE(ppu_tick(m, FRAME_DOTS - SPRITE0_HIT_DOT + 400));
  EXPECT_EQ(m.ppu.frame_dot, 400u);
  EXPECT_EQ(m.ppu.frame, 2u);
}

TEST(CpuCorners, AddressingWraps) {
  // JMP ($12FF) takes its high byte from 0x1200.
  Console m = make_console({0x6C, 0xFF, 0x12});
  m.ram[0x2FF & 0x7FF] = 0x34;  // 0x12FF mirrors 0x02FF
  m.ram[0x200] = 0x90;
  m.ram[0x300] = 0x55;
  EXPECT_EQ(step(m), 5u);
  EXPECT_EQ(m.cpu.pc, 0x9034);

  // LDA ($FF),Y takes the pointer's high byte from 0x0000.
  m = make_console({0xB1, 0xFF});
  m.ram[0xFF] = 0x10;
  m.ram[0x00] = 0x03;
  m.ram[0x310] = 0x66;
  EXPECT_EQ(step(m), 5u);
  EXPECT_EQ(m.cpu.a, 0x66);

  // LDA $FFFF,X with X = 1 reads 0x0000 and crosses a page.
  m = make_console({0xBD, 0xFF, 0xFF});
  m.cpu.x = 1;
  m.ram[0] = 0x42;
  EXPECT_EQ(step(m), 5u);
  EXPECT_EQ(m.cpu.a, 0x42);

  // LDA $80,X with X = 0x90 reads 0x0010.
  m = make_console({0xB5, 0x80});
  m.cpu.x = 0x90;
  m.ram[0x10] = 0x24;
  EXPECT_EQ(step(m), 4u);
  EXPECT_EQ(m.cpu.a, 0x24);
}

TEST(CpuCorners, BranchCostsAndUndocumentedOpcodes) {
  std::vector<uint8_t> code(0x100, 0xEA);
  code[0xFD] = 0xD0;  // BNE +5 at 0x80FD: next 0x80FF, target 0x8104
  code[0xFE] = 0x05;
  Console m = make_console(code);
  m.cpu.pc = 0x80FD;
  m.cpu.p = 0x24;
  EXPECT_EQ(step(m), 4u);
  EXPECT_EQ(m.cpu.pc, 0x8104);
  m.cpu.pc = 0x80FD;
  m.cpu.p = 0x26;  // Z set: not taken
  EXPECT_EQ(step(m), 2u);
  EXPECT_EQ(m.cpu.pc, 0x80FF);
  code[0x10] = 0xD0;
  code[0x11] = 0x02;
  m = make_console(code);
  m.cpu.pc = 0x8010;
  EXPECT_EQ(step(m), 3u);

  for (uint8_t op : {0x02, 0xEA, 0x1A, 0xFF}) {
    m = make_console({op, 0xA9, 0x01});
    const ConsoleState before = m;
    EXPECT_EQ(step(m), 2u);
    EXPECT_EQ(m.cpu.pc, 0x8001);
    EXPECT_EQ(m.cpu.a, before.cpu.a);
    EXPECT_EQ(m.cpu.p, before.cpu.p);
  }
}

TEST(CpuCorners, StackFlagsAndDecimalIgnored) {
  Console m = make_console({0x00});
  m.cpu.p = 0x20;
  EXPECT_EQ(step(m), 7u);  // BRK at 0x8000 pushes 0x80, 0x02, P | 0x30
  EXPECT_EQ(m.ram[0x1FD], 0x80);
  EXPECT_EQ(m.ram[0x1FC], 0x02);
  EXPECT_EQ(m.ram[0x1FB], 0x30);
  EXPECT_EQ(m.cpu.p & 0x04, 0x04);
  EXPECT_EQ(m.cpu.sp, 0xFA);

  m = make_console({0x28});  // PLP of 0xFF
  m.ram[0x1FE] = 0xFF;
  step(m);
  EXPECT_EQ(m.cpu.p, 0xEF);
  m = make_console({0x08});  // PHP with P = 0x24
  step(m);
  EXPECT_EQ(m.ram[0x1FD], 0x34);

  m = make_console({0x69, 0x01});  // ADC is binary even with D set
  m.cpu.a = 0x09;
  m.cpu.p = 0x28;
  step(m);
  EXPECT_EQ(m.cpu.a, 0x0A);

  m = make_console();
  m.cpu.pc = 0x8123;
  m.cpu.p = 0x34;
  nmi_entry(m);
  EXPECT_EQ(m.ram[0x1FB], 0x24) << "NMI pushes P with bit 4 clear and bit 5 set";
  EXPECT_EQ(m.cpu.pc, 0x8000);
}

TEST(FrameRunner, FrameEndNmiAndBudget) {
  // Enable NMI, then spin; the NMI handler at 0x8010 counts into RAM[0].
  std::vector<uint8_t> code(0x20, 0xEA);
  const uint8_t main_loop[] = {0xA9, 0x80, 0x8D, 0x00, 0x20, 0x4C, 0x05, 0x80};
  std::copy(std::begin(main_loop), std::end(main_loop), code.begin());
  const uint8_t nmi[] = {0xE6, 0x00, 0x40};  // INC $00; RTI
  std::copy(std::begin(nmi), std::end(nmi), code.begin() + 0x10);
  Console m(testing::tiny_cartridge(code, 0x8000, 0x8010));
  power_on_console(m);
  m.ram[0] = 0;
  run_frame(m, 0x81);
  EXPECT_EQ(m.ppu.frame, 1u);
  EXPECT_LT(m.ppu.frame_dot, 9u) << "only the last instruction's overshoot is carried into the next frame";
  EXPECT_EQ(m.ram[0], 1) << "the vblank NMI is delivered within the same call";
  EXPECT_EQ(m.controller_state, 0x81);
  for (int i = 0; i < 5; ++i) run_frame(m, 0);
  EXPECT_EQ(m.ppu.frame, 6u);
  EXPECT_EQ(m.ram[0], 6);

  // A clock whose next event lies behind the current dot never ends the frame:
  // the cycle budget does, and the next call carries on.
  m.ppu.frame_dot = 5000;
  m.ppu.next_event_dot = 341;
  const uint64_t frame_before = m.ppu.frame;
  run_frame(m, 0);
  EXPECT_EQ(m.ppu.frame, frame_before);
  EXPECT_GE(m.ppu.frame_dot, 5000u + 3 * 40000u);
}

}  // namespace
}  // namespace tt
