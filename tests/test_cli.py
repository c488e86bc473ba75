"""The tanuvex-turbo command: check, bench and record; exit codes and messages
for a missing or wrong cartridge image."""

from __future__ import annotations

import gzip
import hashlib
import json
import pathlib
import shutil
import subprocess
import sys

import pytest
from env_support import game_over_image

from tanuvex_turbo import _RetroVecEnv, cli
from tanuvex_turbo.cli import bench
from tanuvex_turbo.cli.record import make_policy, parse_script
from tanuvex_turbo.game.cartridge import EXPECTED_SHA256, inspect_cartridge
from tanuvex_turbo.replay import read_replay


def run(capsys, *argv):
    """Runs the command in-process; returns (exit status, stdout, stderr)."""
    status = cli.main([str(a) for a in argv])
    out, err = capsys.readouterr()
    return status, out, err


@pytest.fixture
def no_env(monkeypatch):
    monkeypatch.delenv("TANUVEX_TURBO_ROM", raising=False)
    monkeypatch.delenv("TANUVEX_TURBO_STATES", raising=False)


@pytest.fixture
def doomed_states(states_dir, tmp_path):
    """A folder holding one start state, "doomed", whose episode ends on its first frame."""
    image = game_over_image(gzip.decompress((states_dir / "1-1.state").read_bytes()))
    folder = tmp_path / "states"
    folder.mkdir()
    (folder / "doomed.state").write_bytes(gzip.compress(image))
    return folder


@pytest.fixture
def junk_rom(tmp_path):
    """An iNES-looking file that is not the supported image."""
    path = tmp_path / "junk.nes"
    path.write_bytes(b"NES\x1a\x02\x01\x01\x00" + bytes(8) + bytes(32768 + 8192))
    return path


@pytest.fixture
def rom_bytes(rom_path):
    with open(rom_path, "rb") as handle:
        return handle.read()


class TestCheck:
    def test_supported_image(self, capsys, rom_path):
        status, out, _ = run(capsys, "check", rom_path)
        assert status == 0
        assert f"sha256:   {EXPECTED_SHA256}" in out
        assert "engine:   loads it\nresult:   OK, this is the supported cartridge image\n" in out
        assert "mapper 0" in out

    def test_rom_from_environment(self, capsys, rom_path, monkeypatch):
        monkeypatch.setenv("TANUVEX_TURBO_ROM", rom_path)
        assert run(capsys, "check")[0] == 0

    def test_missing_file(self, capsys, tmp_path):
        status, out, err = run(capsys, "check", tmp_path / "absent.nes")
        assert status == 2 and out == ""
        assert err == f"tanuvex-turbo: error: cartridge image not found: {tmp_path / 'absent.nes'}\n"

    def test_no_image_given(self, capsys, no_env):
        status, _, err = run(capsys, "check")
        assert status == 2 and "no cartridge image given" in err and "TANUVEX_TURBO_ROM" in err

    def test_another_file(self, capsys, junk_rom):
        status, out, _ = run(capsys, "check", junk_rom)
        assert status == 1
        assert "NOT the supported cartridge image" in out
        digest = hashlib.sha256(junk_rom.read_bytes()).hexdigest()
        assert f"sha256:   {digest}\nexpected: {EXPECTED_SHA256}\n" in out
        assert f"engine:   refuses it: ROM SHA-256 mismatch: got {digest}, expected {EXPECTED_SHA256}\n" in out
        assert "fix:" not in out
        status, out, _ = run(capsys, "check", junk_rom, "--no-engine")
        assert status == 1 and "engine:" not in out

    def test_not_even_a_header(self, capsys, tmp_path):
        short = tmp_path / "short.nes"
        short.write_bytes(b"0123456789")
        status, out, _ = run(capsys, "check", short)
        assert status == 1 and "shorter than 16 bytes" in out

    def test_changed_program_byte_cannot_be_repaired(self, capsys, rom_bytes, tmp_path):
        changed = bytearray(rom_bytes)
        changed[16 + 1000] ^= 0xFF
        path = tmp_path / "changed.nes"
        path.write_bytes(changed)
        status, out, _ = run(capsys, "check", path, "--fix", tmp_path / "out.nes")
        assert status == 1
        assert "program or\n          pattern data differ" in out
        assert not (tmp_path / "out.nes").exists()

    def test_wrong_header_and_trailing_bytes_are_repaired(self, capsys, rom_bytes, tmp_path):
        damaged = tmp_path / "damaged.nes"
        damaged.write_bytes(rom_bytes[:7] + b"JUNKJUNK!" + rom_bytes[16:] + b"\0\0\0")
        status, out, _ = run(capsys, "check", damaged)
        assert status == 1
        assert "header bytes 7, 8, 9, 10, 11, 12, 13, 14, 15 differ" in out
        assert "3 bytes after the pattern data must be removed" in out
        assert "engine would also refuse its header: mapper" in out
        assert f"check {damaged} --fix FIXED.nes" in out

        fixed = tmp_path / "fixed.nes"
        status, out, _ = run(capsys, "check", damaged, "--fix", fixed)
        assert status == 0 and f"wrote the corrected image to {fixed}" in out
        assert fixed.read_bytes() == rom_bytes
        assert run(capsys, "check", fixed)[0] == 0

    def test_headerless_dump_gets_the_standard_header(self, capsys, rom_bytes, tmp_path):
        dump = tmp_path / "dump.bin"
        dump.write_bytes(rom_bytes[16:])
        status, out, _ = run(capsys, "check", dump, "--fix", tmp_path / "fixed.nes")
        assert status == 0 and "- the file has no iNES header: the standard 16-byte header must be added\n" in out
        assert "trainer" not in out and (tmp_path / "fixed.nes").read_bytes() == rom_bytes

    def test_mirroring_bit(self, capsys, rom_bytes, tmp_path):
        flipped = bytearray(rom_bytes)
        flipped[6] ^= 1
        path = tmp_path / "flipped.nes"
        path.write_bytes(flipped)
        report = inspect_cartridge(path)
        assert not report.supported and report.repair == rom_bytes
        assert report.repair_notes == ["header byte 6 differs"]
        status, _, err = run(capsys, "check", path, "--fix", path)
        assert status == 2 and "must name a new file" in err

    def test_expected_digest_is_the_engines(self, junk_rom):
        with pytest.raises(RuntimeError) as refused:
            _RetroVecEnv(str(junk_rom), 1)
        digest = hashlib.sha256(junk_rom.read_bytes()).hexdigest()
        assert str(refused.value) == f"ROM SHA-256 mismatch: got {digest}, expected {EXPECTED_SHA256}"


class TestCartridgeErrorsOfOtherCommands:
    @pytest.mark.parametrize(
        "command", [["bench", "--lanes", "1", "--threads", "1", "--repeat", "1"], ["record", "x.gif"]]
    )
    def test_missing_and_wrong_cartridge(self, capsys, command, tmp_path, junk_rom, no_env):
        status, _, err = run(capsys, *command)
        assert status == 2 and "no cartridge image given: pass --rom PATH or set TANUVEX_TURBO_ROM" in err
        status, _, err = run(capsys, *command, "--rom", tmp_path / "absent.nes")
        assert status == 2 and "cartridge image not found" in err
        status, _, err = run(capsys, *command, "--rom", junk_rom)
        assert status == 1
        assert f"{junk_rom} is not the supported cartridge image" in err and f"tanuvex-turbo check {junk_rom}" in err

    def test_usage_errors(self, capsys):
        with pytest.raises(SystemExit) as exited:
            cli.main([])
        assert exited.value.code == 2
        with pytest.raises(SystemExit) as exited:
            cli.main(["frobnicate"])
        assert exited.value.code == 2
        capsys.readouterr()


class TestBench:
    def test_report_and_json(self, capsys, rom_path, states_dir, tmp_path):
        out_json = tmp_path / "bench.json"
        status, out, _ = run(
            capsys,
            "bench",
            "--rom",
            rom_path,
            "--states",
            states_dir,
            "--state",
            "1-1",
            "--lanes",
            "1",
            "2",
            "--threads",
            "1",
            "--repeat",
            "2",
            "--steps",
            "3",
            "--json",
            out_json,
        )
        assert status == 0
        lines = out.splitlines()
        assert lines[0].startswith("command: tanuvex-turbo bench --rom")
        assert lines[1].startswith("machine: ") and "CPUs available" in lines[1]
        assert "frame_skip 4, gray 84x84, frame_stack 4" in lines[2] and "start state 1-1" in lines[2]
        assert lines[3].startswith("units: steps/s = lane-steps per second")
        rows = [line.split() for line in lines[5:]]
        # Both pipelines by default: the plain one, then the max-pooled one.
        assert [row[:4] for row in rows] == [
            ["engine", "1", "1", "3"],
            ["engine", "2", "1", "3"],
            ["maxpool", "1", "1", "3"],
            ["maxpool", "2", "1", "3"],
        ]
        report = json.loads(out_json.read_text())
        results = report["results"]
        assert [(r["lanes"], r["frame_maxpool"]) for r in results] == [(1, False), (2, False), (1, True), (2, True)]
        for result, row in zip(results, rows):
            assert len(result["seconds"]) == 2
            sps = result["steps_per_second"]
            assert 0 < sps["min"] <= sps["median"] <= sps["max"]
            assert result["frames_per_second"]["median"] == pytest.approx(4 * sps["median"])
            assert result["cpu_share"] > 0
            cpu_seconds = sum(result["seconds"]) * result["cpu_share"]
            assert result["steps_per_cpu_second"] == pytest.approx(result["lanes"] * 3 * 2 / cpu_seconds)
            assert float(row[-1]) == pytest.approx(result["steps_per_cpu_second"], abs=0.5)

    def test_gym_mode_reports_the_wrapper_cost(self, capsys, rom_path, states_dir):
        pytest.importorskip("gymnasium")
        # One lane runs on one thread whatever is asked: its configuration is run once.
        status, out, _ = run(
            capsys,
            "bench",
            "--rom",
            rom_path,
            "--states",
            states_dir,
            "--lanes",
            "1",
            "--threads",
            "1",
            "2",
            "--repeat",
            "1",
            "--steps",
            "2",
            "--gym",
            "--pipelines",
            "plain",
        )
        assert status == 0
        rows = out.splitlines()[5:]
        assert len(rows) == 2 and rows[0].startswith("engine") and rows[1].startswith("gym") and "wrapper: " in rows[1]
        engine = bench.BenchResult(8, 1, 100, 4, [1.0])
        assert bench._row(bench.BenchResult(8, 1, 100, 4, [1.1], mode="gym"), engine).endswith(
            "wrapper: +1000.0 us/step (+10.0%)"
        )
        assert bench._row(bench.BenchResult(8, 1, 100, 4, [0.9], mode="gym"), engine).endswith("wrapper: within noise")

    def test_power_on_lanes_without_states(self, capsys, rom_path, monkeypatch):
        monkeypatch.delenv("TANUVEX_TURBO_STATES", raising=False)
        status, out, _ = run(
            capsys, "bench", "--rom", rom_path, "--lanes", "2", "--threads", "1", "--repeat", "1", "--steps", "40"
        )
        assert status == 0 and "start state power-on" in out
        assert out.splitlines()[5].split()[:4] == ["engine", "2", "1", "40"]

    def test_ended_lanes_are_reset_in_the_timed_loop(self, capsys, rom_path, doomed_states):
        # Every lane ends on every step: a step would be refused if an ended lane were not reset.
        status, out, _ = run(
            capsys,
            "bench",
            "--rom",
            rom_path,
            "--states",
            doomed_states,
            "--lanes",
            "2",
            "--threads",
            "1",
            "--repeat",
            "1",
            "--steps",
            "5",
        )
        assert status == 0 and out.splitlines()[5].split()[:4] == ["engine", "2", "1", "5"]

    def test_bad_numbers(self, capsys, rom_path):
        status, _, err = run(capsys, "bench", "--rom", rom_path, "--lanes", "0")
        assert status == 2 and "positive" in err

    def test_module_entry_point(self):
        result = subprocess.run(
            [sys.executable, "-m", "tanuvex_turbo.bench", "--help"], capture_output=True, text=True, timeout=120
        )
        assert result.returncode == 0 and "--lanes" in result.stdout and "--gym" in result.stdout


class TestRecord:
    @pytest.fixture(autouse=True)
    def _needs_writer(self):
        pytest.importorskip("imageio")
        pytest.importorskip("PIL")

    def frames_of(self, path):
        from PIL import Image

        with Image.open(path) as image:
            return image.n_frames, image.size, image.info.get("loop")

    def test_gif_of_a_held_action(self, capsys, rom_path, states_dir, tmp_path):
        out_path = tmp_path / "play.gif"
        status, out, _ = run(
            capsys,
            "record",
            out_path,
            "--rom",
            rom_path,
            "--states",
            states_dir,
            "--state",
            "1-1",
            "--policy",
            "hold:right+B",
            "--steps",
            "12",
            "--no-progress",
        )
        assert status == 0
        assert (
            out.strip()
            == f"wrote {out_path}: 13 frames at 15.0 fps from 12 steps of start state 1-1; 0 episode(s) ended"
        )
        count, size, loop = self.frames_of(out_path)
        assert size == (240, 224) and loop == 0 and count > 1

    def test_script_scale_and_every(self, capsys, rom_path, states_dir, tmp_path):
        script = tmp_path / "moves.txt"
        script.write_text("right+B*6  # run\nright+A+B*2\nnoop\n")
        out_path = tmp_path / "scripted.gif"
        status, out, _ = run(
            capsys,
            "record",
            out_path,
            "--rom",
            rom_path,
            "--states",
            states_dir,
            "--policy",
            f"script:{script}",
            "--steps",
            "100",
            "--every",
            "3",
            "--scale",
            "2",
        )
        assert status == 0
        assert "4 frames at 5.0 fps from 9 steps" in out  # the reset frame, then steps 3, 6, 9
        assert self.frames_of(out_path)[1] == (480, 448)

    def test_stop_on_done(self, capsys, rom_path, doomed_states, tmp_path):
        status, out, _ = run(
            capsys,
            "record",
            tmp_path / "x.gif",
            "--rom",
            rom_path,
            "--states",
            doomed_states,
            "--steps",
            "50",
            "--stop-on-done",
        )
        assert status == 0 and "from 1 steps of start state doomed; 1 episode(s) ended" in out
        status, out, _ = run(
            capsys, "record", tmp_path / "y.gif", "--rom", rom_path, "--states", doomed_states, "--steps", "5"
        )
        assert status == 0 and "from 5 steps" in out and "5 episode(s) ended" in out

    def test_replay_file_plays_from_its_own_start_to_its_end(self, capsys, rom_path, states_dir, tmp_path):
        game = pathlib.Path(__file__).parent / "data" / "replay-power-on-game.txt"
        steps = len(read_replay(game).actions)
        where = ["--rom", rom_path, "--states", states_dir]
        status, out, _ = run(capsys, "record", tmp_path / "game.gif", *where, "--replay", game, "--every", "5000")
        # Started anywhere but power-on, or ended at x_pos 3160, the inputs would lose the game early.
        assert status == 0 and f"from {steps} steps of start state power-on; 0 episode(s) ended" in out
        level = pathlib.Path(__file__).parent / "data" / "replay-1-4-level-end.txt"
        status, out, _ = run(capsys, "record", tmp_path / "l.gif", *where, "--replay", level, "--steps", "7")
        assert status == 0 and "from 7 steps of start state 1-4" in out
        status, _, err = run(capsys, "record", tmp_path / "x.gif", *where, "--replay", level, "--frame-skip", "2")
        assert status == 2 and "drop --frame-skip" in err

    @pytest.mark.parametrize(
        "extra, text",
        [
            (["--replay", "/no/such/replay"], "cannot read /no/such/replay"),
            (["--state", "9-9"], "unknown start state '9-9'; known: "),
            (["--policy", "dance"], "unknown policy 'dance'"),
            (["--policy", "hold:sideways"], "unknown button"),
            (["--policy", "script:/no/such/file"], "cannot read the script"),
            (["--steps", "0"], "must be positive"),
        ],
    )
    def test_refusals(self, capsys, rom_path, states_dir, tmp_path, extra, text):
        status, _, err = run(capsys, "record", tmp_path / "x.gif", "--rom", rom_path, "--states", states_dir, *extra)
        assert status == 2 and text in err

    def test_output_suffix(self, capsys, rom_path, tmp_path):
        status, _, err = run(capsys, "record", tmp_path / "x.png", "--rom", rom_path, "--steps", "1")
        assert status == 2 and "must end in .gif or .mp4" in err


class TestPolicies:
    def test_script(self):
        assert parse_script("right+B*3 # comment\n0x01\n\nnoop*2") == [0x82, 0x82, 0x82, 1, 0, 0]

    @pytest.mark.parametrize(
        "text, message",
        [("", "no actions"), ("right*0", "positive"), ("jump", "line 1: 'jump'"), ("noop\nright*x", "line 2")],
    )
    def test_bad_scripts(self, text, message):
        with pytest.raises(ValueError, match=message):
            parse_script(text)

    def test_random_policy_is_seeded_and_uses_the_action_set(self):
        first = [make_policy("random", "right_only", seed=3)(i) for i in range(50)]
        again = [make_policy("random", "right_only", seed=3)(i) for i in range(50)]
        other = [make_policy("random", "right_only", seed=4)(i) for i in range(50)]
        assert first == again and first != other
        assert set(first) <= {0, 0x80, 0x81, 0x82, 0x83}

    def test_script_policy_ends(self, tmp_path):
        script = tmp_path / "s.txt"
        script.write_text("right*2")
        policy = make_policy(f"script:{script}")
        assert [policy(i) for i in range(3)] == [0x80, 0x80, None]


class TestExploreOptions:
    @pytest.mark.parametrize(
        "option, value, message",
        [
            ("--lanes", "-3", "expected a whole number from 1 to 4096, got '-3'"),
            ("--lanes", "4097", "from 1 to 4096"),
            ("--actors", "-1", "from 0 to 256"),
            ("--pick-steps", "1,99999999999", "expected 1 <= MIN <= MAX <= 10000, got '1,99999999999'"),
            ("--pick-steps", "0,5", "expected 1 <= MIN"),
            ("--cell-x", "0", "expected a whole number from 1 to 65536, got '0'"),
            ("--cell-y", "65537", "from 1 to 65536"),
            ("--repeat-prob", "2", "expected a number from 0 to 1, got '2'"),
            ("--repeat-prob", "nan", "got 'nan'"),
            ("--repeat-prob", "-0.1", "got '-0.1'"),
            ("--frame-skip", "3601", "from 1 to 3600"),
            ("--max-steps", "0", "at least 1"),
            ("--max-minutes", "0", "expected a number above 0, got '0'"),
            ("--max-minutes", "inf", "got 'inf'"),
            ("--seed", "-1", "at least 0"),
            ("--save-every", "x", "expected a whole number, got 'x'"),
        ],
    )
    def test_out_of_range_values_are_usage_errors(self, capsys, option, value, message):
        with pytest.raises(SystemExit) as exited:
            cli.main(["explore", "--rom", "/no/such/cartridge.nes", option, value])
        err = capsys.readouterr().err
        assert exited.value.code == 2 and f"argument {option}: " in err and message in err

    def test_the_bounds_themselves_are_accepted(self):
        args = cli.build_parser().parse_args(
            ["explore", "--lanes", "4096", "--actors", "256", "--pick-steps", "1,10000", "--cell-x", "65536"]
            + ["--cell-y", "1", "--repeat-prob", "1", "--frame-skip", "3600", "--save-every", "0", "--seed", "0"]
        )
        assert (args.lanes, args.actors, args.pick_steps, args.cell_x, args.cell_y) == (4096, 256, (1, 10000), 65536, 1)
        assert (args.repeat_prob, args.frame_skip, args.save_every, args.seed) == (1.0, 3600, 0, 0)
        assert (
            cli.build_parser().parse_args(["explore", "--repeat-prob", "0", "--max-minutes", "0.01"]).repeat_prob == 0
        )

    def test_plot_without_matplotlib_is_refused_before_the_search(self, capsys, monkeypatch, tmp_path):
        monkeypatch.setitem(sys.modules, "matplotlib", None)  # import matplotlib raises ImportError
        out = tmp_path / "found.txt"
        status, _, err = run(
            capsys, "explore", "--rom", tmp_path / "absent.nes", "--plot", tmp_path / "p.png", "-o", out
        )
        assert status == 2 and "--plot needs matplotlib" in err and not out.exists()


class TestHelp:
    def test_every_exit_status_and_each_commands_default_start_are_documented(self, capsys):
        from tanuvex_turbo.cli.explore import EXIT_NOT_REACHED

        text = " ".join(cli.build_parser().format_help().split())
        for status, meaning in [(0, "success"), (1, "cartridge"), (2, "usage"), (EXIT_NOT_REACHED, "not reached")]:
            assert f"{status} " in text and meaning in text
        assert "130 interrupted" in text
        helps = {}
        for command in ("bench", "record", "explore"):
            with pytest.raises(SystemExit):
                cli.main([command, "--help"])
            helps[command] = " ".join(capsys.readouterr().out.split())
        assert "--state STATE name of the start state (default: power-on" in helps["explore"]
        for command in ("bench", "record"):
            assert "(default: the first of --states by name; power-on when no start states are given)" in helps[command]
        status, _, err = run(capsys, "replay", "--state", "1-1", "file.replay")
        assert status == 2 and "a replay starts from the start state its file names; drop --state" in err


def test_console_script_is_installed(tmp_path):
    command = shutil.which("tanuvex-turbo")
    if command is None:
        pytest.skip("the tanuvex-turbo console script is not installed (package not installed with pip)")
    result = subprocess.run(
        [command, "check", str(tmp_path / "absent.nes")], capture_output=True, text=True, timeout=120
    )
    assert result.returncode == 2 and "cartridge image not found" in result.stderr
