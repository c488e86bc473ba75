"""The nesrun developer tool: tracing, running frames, and its errors."""

from __future__ import annotations

import gzip
import json
import pathlib
import subprocess

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent
NESRUN = ROOT / "scripts" / "nesrun"


def nesrun(*args, check=True):
    result = subprocess.run([str(NESRUN), *map(str, args)], capture_output=True, text=True, timeout=600)
    if check:
        assert result.returncode == 0, result.stderr
    return result


def summary(result):
    return json.loads(result.stdout.strip().splitlines()[-1])


@pytest.fixture(scope="module")
def tiny_image(tmp_path_factory):
    """A 16 KiB NROM image: LDX #$05; loop: DEX; BNE loop; JMP $8000."""
    prg = bytearray(16384)
    prg[0:8] = bytes([0xA2, 0x05, 0xCA, 0xD0, 0xFD, 0x4C, 0x00, 0x80])
    prg[0x3FFC:0x3FFE] = bytes([0x00, 0x80])
    path = tmp_path_factory.mktemp("img") / "tiny.nes"
    path.write_bytes(bytes([0x4E, 0x45, 0x53, 0x1A, 1, 0, 0, 0]) + bytes(8) + bytes(prg))
    return path


def test_trace_prints_registers_and_cycles_before_each_instruction(tiny_image):
    lines = nesrun("trace", tiny_image, "--pc", "8000", "--count", "5").stdout.splitlines()
    assert lines == [
        "8000 A:00 X:00 Y:00 P:24 SP:FD CYC:0",
        "8002 A:00 X:05 Y:00 P:24 SP:FD CYC:2",
        "8003 A:00 X:04 Y:00 P:24 SP:FD CYC:4",
        "8002 A:00 X:04 Y:00 P:24 SP:FD CYC:7",
        "8003 A:00 X:03 Y:00 P:24 SP:FD CYC:9",
    ]


def test_trace_matches_public_cpu_log_prefix():
    import os

    roms = pathlib.Path(os.environ.get("TANUVEX_TURBO_TEST_ROMS", ROOT.parent / "shared" / "test-roms"))
    if not (roms / "nestest.nes").is_file():
        pytest.skip("public CPU test image not found (set TANUVEX_TURBO_TEST_ROMS)")
    lines = nesrun("trace", roms / "nestest.nes", "--pc", "C000", "--count", "3000").stdout.splitlines()
    log = (roms / "nestest.log").read_text().splitlines()[:3000]
    for ours, theirs in zip(lines, log):
        assert ours.split(" CYC:")[0] == theirs[:4] + " " + theirs[48:73]


def test_run_reports_frames_and_writes_ram(tiny_image, tmp_path):
    ram = tmp_path / "ram.bin"
    out = summary(nesrun("run", tiny_image, "--frames", "3", "--ram-out", ram))
    assert out["frames"] == 3
    assert out["ppu.frame"] == 4  # the reset frame plus three
    assert set(out) >= {
        "x_pos",
        "coins",
        "level_hi",
        "level_lo",
        "lives",
        "score",
        "scrolling",
        "time",
        "xscroll_hi",
        "xscroll_lo",
    }
    assert ram.stat().st_size == 3 * 2048


@pytest.mark.parametrize(
    "args, message",
    [
        (["run", "/nonexistent.nes", "--frames", "1"], "cannot read image"),
        (["run", "{tiny}", "--frames", "1", "--inputs", "/nonexistent.bin"], "cannot read inputs"),
        (["run", "{tiny}", "--frames", "1", "--state", "{junk}"], "invalid state"),
        (["run", "{junk}", "--frames", "1"], "missing iNES magic bytes"),
        (["trace", "{tiny}", "--pc", "XYZ", "--count", "1"], "--pc must be a hexadecimal address"),
        (["run", "{tiny}", "--frames", "1", "--png-every", "0", "{tmp}"], "--png-every needs a positive frame count"),
        (["run", "{tiny}"], "--frames is required"),
        (["bogus"], "A subcommand is required"),
    ],
)
def test_errors_are_clear_and_exit_non_zero(tiny_image, tmp_path, args, message):
    junk = tmp_path / "junk.bin"
    junk.write_bytes(b"not an image or a state")
    args = [a.format(tiny=tiny_image, junk=junk, tmp=tmp_path) for a in args]
    result = nesrun(*args, check=False)
    assert result.returncode != 0
    assert message in result.stderr + result.stdout


def test_supported_game_plays_from_power_on_and_from_a_state(rom_path, state_images, tmp_path):
    inputs = tmp_path / "inputs.bin"
    inputs.write_bytes(bytes([0] * 60 + [0x08] * 5 + [0] * 100 + [0x80] * 300))
    played = summary(nesrun("run", rom_path, "--frames", 465, "--inputs", inputs))
    idle = summary(nesrun("run", rom_path, "--frames", 465))
    assert played["x_pos"] > idle["x_pos"] + 100
    assert played["time"] < idle["time"]

    name, image = state_images[0]
    raw, packed = tmp_path / "s.raw", tmp_path / "s.state"
    raw.write_bytes(image)
    packed.write_bytes(gzip.compress(image))
    right = tmp_path / "right.bin"
    right.write_bytes(bytes([0x80] * 120))
    a = summary(nesrun("run", rom_path, "--frames", 120, "--state", raw, "--inputs", right))
    b = summary(nesrun("run", rom_path, "--frames", 120, "--state", packed, "--inputs", right))
    c = summary(nesrun("run", rom_path, "--frames", 120, "--state", packed, "--inputs", right, "--no-accel"))
    assert a == b == c, "raw and gzip states, with and without accelerators, play identically"

    png = tmp_path / "last.png"
    nesrun("run", rom_path, "--frames", 10, "--state", packed, "--png", png, "--png-every", 5, tmp_path / "frames")
    assert png.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    assert sorted(p.name for p in (tmp_path / "frames").iterdir()) == ["frame_000005.png", "frame_000010.png"]
