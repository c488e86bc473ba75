#!/usr/bin/env python3
"""Small 6502 disassembler for an iNES image (mapper 0).

Usage: disasm6502.py IMAGE START [COUNT] [--bytes N]
  START is a CPU address (hex, e.g. 0x8057); COUNT instructions are listed
  (default 40). With --bytes N the N raw bytes from START are printed as a C
  initialiser instead, which is how routine signatures are taken.
"""

from __future__ import annotations

import sys

MODES = {
    "imp": 0,
    "acc": 0,
    "imm": 1,
    "zp": 1,
    "zpx": 1,
    "zpy": 1,
    "izx": 1,
    "izy": 1,
    "rel": 1,
    "abs": 2,
    "abx": 2,
    "aby": 2,
    "ind": 2,
}

OPS = {}


def op(code, name, mode):
    OPS[code] = (name, mode)


for base, name in [(0x00, "ORA"), (0x20, "AND"), (0x40, "EOR"), (0x60, "ADC"), (0xC0, "CMP"), (0xE0, "SBC")]:
    op(base + 0x09, name, "imm")
    op(base + 0x05, name, "zp")
    op(base + 0x15, name, "zpx")
    op(base + 0x0D, name, "abs")
    op(base + 0x1D, name, "abx")
    op(base + 0x19, name, "aby")
    op(base + 0x01, name, "izx")
    op(base + 0x11, name, "izy")
for _base, name in [(0xA0, "LDA")]:
    op(0xA9, name, "imm")
    op(0xA5, name, "zp")
    op(0xB5, name, "zpx")
    op(0xAD, name, "abs")
    op(0xBD, name, "abx")
    op(0xB9, name, "aby")
    op(0xA1, name, "izx")
    op(0xB1, name, "izy")
op(0x85, "STA", "zp")
op(0x95, "STA", "zpx")
op(0x8D, "STA", "abs")
op(0x9D, "STA", "abx")
op(0x99, "STA", "aby")
op(0x81, "STA", "izx")
op(0x91, "STA", "izy")
op(0xA2, "LDX", "imm")
op(0xA6, "LDX", "zp")
op(0xB6, "LDX", "zpy")
op(0xAE, "LDX", "abs")
op(0xBE, "LDX", "aby")
op(0xA0, "LDY", "imm")
op(0xA4, "LDY", "zp")
op(0xB4, "LDY", "zpx")
op(0xAC, "LDY", "abs")
op(0xBC, "LDY", "abx")
op(0x86, "STX", "zp")
op(0x96, "STX", "zpy")
op(0x8E, "STX", "abs")
op(0x84, "STY", "zp")
op(0x94, "STY", "zpx")
op(0x8C, "STY", "abs")
op(0xE0, "CPX", "imm")
op(0xE4, "CPX", "zp")
op(0xEC, "CPX", "abs")
op(0xC0, "CPY", "imm")
op(0xC4, "CPY", "zp")
op(0xCC, "CPY", "abs")
op(0x24, "BIT", "zp")
op(0x2C, "BIT", "abs")
for base, name in [(0x00, "ASL"), (0x20, "ROL"), (0x40, "LSR"), (0x60, "ROR")]:
    op(base + 0x0A, name, "acc")
    op(base + 0x06, name, "zp")
    op(base + 0x16, name, "zpx")
    op(base + 0x0E, name, "abs")
    op(base + 0x1E, name, "abx")
for base, name in [(0xC0, "DEC"), (0xE0, "INC")]:
    op(base + 0x06, name, "zp")
    op(base + 0x16, name, "zpx")
    op(base + 0x0E, name, "abs")
    op(base + 0x1E, name, "abx")
for code, name in [
    (0xE8, "INX"),
    (0xC8, "INY"),
    (0xCA, "DEX"),
    (0x88, "DEY"),
    (0xAA, "TAX"),
    (0xA8, "TAY"),
    (0xBA, "TSX"),
    (0x8A, "TXA"),
    (0x98, "TYA"),
    (0x9A, "TXS"),
    (0x48, "PHA"),
    (0x08, "PHP"),
    (0x68, "PLA"),
    (0x28, "PLP"),
    (0x18, "CLC"),
    (0x38, "SEC"),
    (0x58, "CLI"),
    (0x78, "SEI"),
    (0xB8, "CLV"),
    (0xD8, "CLD"),
    (0xF8, "SED"),
    (0x60, "RTS"),
    (0x40, "RTI"),
    (0x00, "BRK"),
    (0xEA, "NOP"),
]:
    op(code, name, "imp")
for code, name in [
    (0x10, "BPL"),
    (0x30, "BMI"),
    (0x50, "BVC"),
    (0x70, "BVS"),
    (0x90, "BCC"),
    (0xB0, "BCS"),
    (0xD0, "BNE"),
    (0xF0, "BEQ"),
]:
    op(code, name, "rel")
op(0x4C, "JMP", "abs")
op(0x6C, "JMP", "ind")
op(0x20, "JSR", "abs")


def main():
    args = [a for a in sys.argv[1:]]
    raw = None
    if "--bytes" in args:
        i = args.index("--bytes")
        raw = int(args[i + 1], 0)
        del args[i : i + 2]
    image = open(args[0], "rb").read()
    prg_banks = image[4]
    prg = image[16 : 16 + prg_banks * 16384]
    mask = len(prg) - 1
    pc = int(args[1], 0)
    if raw is not None:
        data = [prg[(pc + i) & mask] for i in range(raw)]
        rows = [", ".join(f"0x{b:02X}" for b in data[i : i + 12]) for i in range(0, len(data), 12)]
        print(",\n".join(rows))
        return
    count = int(args[2], 0) if len(args) > 2 else 40
    for _ in range(count):
        b = prg[pc & mask]
        name, mode = OPS.get(b, ("???", "imp"))
        n = MODES[mode]
        ops = [prg[(pc + 1 + i) & mask] for i in range(n)]
        v = ops[0] | (ops[1] << 8) if n == 2 else (ops[0] if n == 1 else 0)
        text = {
            "imp": "",
            "acc": "A",
            "imm": f"#${v:02X}",
            "zp": f"${v:02X}",
            "zpx": f"${v:02X},X",
            "zpy": f"${v:02X},Y",
            "izx": f"(${v:02X},X)",
            "izy": f"(${v:02X}),Y",
            "abs": f"${v:04X}",
            "abx": f"${v:04X},X",
            "aby": f"${v:04X},Y",
            "ind": f"(${v:04X})",
            "rel": "$%04X" % ((pc + 2 + (v - 256 if v >= 128 else v)) & 0xFFFF),
        }[mode]
        hexes = " ".join(f"{x:02X}" for x in [b] + ops)
        print(f"{pc:04X}  {hexes:<9} {name} {text}")
        pc = (pc + 1 + n) & 0xFFFF


if __name__ == "__main__":
    main()
