"""The profiler through the public surface: switching it on and off, the JSON
report of a real run line by line, ranking and limits, and the holds."""

from __future__ import annotations

import json
import re
import struct

import numpy as np
import pytest
from env_support import step_arrays
from hold_probe import errors_while

from tanuvex_turbo import _RetroVecEnv

N = 4
RIGHT = 0x80
ALL = 2**64 - 1
NOT_ENABLED = "profiler is not enabled"

EMPTY_REPORT = (
    "{\n"
    '  "enabled": true,\n'
    '  "measurement_window": "post_warmup_repeats_only",\n'
    '  "totals": {"env_steps":0,"batch_steps":0,"frame_steps":0,"cpu_steps":0,"ppu_tick_calls":0,'
    '"ppu_tick_cycles":0,"ppu_completed_frames":0,"render_calls":0,"resize_calls":0,"stack_shifts":0},\n'
    '  "derived": {"cpu_steps_per_frame":0.000000,"cpu_steps_per_env_step":0.000000,'
    '"ppu_cycles_per_tick_call":0.000000,"render_ns_per_env_step":0.000000,"resize_ns_per_env_step":0.000000},\n'
    '  "cpu": {\n'
    '    "top_opcodes": [],\n'
    '    "top_pcs": [],\n'
    '    "top_pc_ranges_16": [],\n'
    '    "top_pc_pages": []\n'
    "  },\n"
    '  "timings_ns": {"frame_stepping":0,"rendering":0,"resize":0,"stack_shift":0}\n'
    "}"
)

TOTAL_KEYS = [
    "env_steps",
    "batch_steps",
    "frame_steps",
    "cpu_steps",
    "ppu_tick_calls",
    "ppu_tick_cycles",
    "ppu_completed_frames",
    "render_calls",
    "resize_calls",
    "stack_shifts",
]
DERIVED_KEYS = [
    "cpu_steps_per_frame",
    "cpu_steps_per_env_step",
    "ppu_cycles_per_tick_call",
    "render_ns_per_env_step",
    "resize_ns_per_env_step",
]
LISTS = [
    ("top_opcodes", "opcode", r"0x[0-9A-F]{2}"),
    ("top_pcs", "pc", r"0x[0-9A-F]{4}"),
    ("top_pc_ranges_16", "range", r"0x[0-9A-F]{3}0-0x[0-9A-F]{3}F"),
    ("top_pc_pages", "range", r"0x[0-9A-F]{2}00-0x[0-9A-F]{2}FF"),
]
TIMING_KEYS = ["frame_stepping", "rendering", "resize", "stack_shift"]


def numbers_object(keys, value):
    """Regex of a one-line JSON object with exactly these keys in this order."""
    return r"\{" + ",".join(f'"{k}":{value}' for k in keys) + r"\}"


def list_pattern(key, label):
    item = r'\{"' + key + '":"' + label + r'","count":\d+\}'
    return r"\[(?:" + item + r"(?:," + item + r")*)?\]"


LINE_PATTERNS = [
    r"\{",
    r'  "enabled": true,',
    r'  "measurement_window": "post_warmup_repeats_only",',
    r'  "totals": ' + numbers_object(TOTAL_KEYS, r"\d+") + ",",
    r'  "derived": ' + numbers_object(DERIVED_KEYS, r"\d+\.\d{6}") + ",",
    r'  "cpu": \{',
    *[
        f'    "{name}": ' + list_pattern(key, label) + ("," if name != "top_pc_pages" else "")
        for name, key, label in LISTS
    ],
    r"  \},",
    r'  "timings_ns": ' + numbers_object(TIMING_KEYS, r"\d+"),
    r"\}",
]


def parse(report):
    """The report as nested lists of (key, value) pairs, keeping key order."""
    return json.loads(report, object_pairs_hook=list)


def sections(report):
    """The report as dictionaries, lists as [(label, count)]."""
    data = json.loads(report)
    lists = {name: [(item[key], item["count"]) for item in data["cpu"][name]] for name, key, _ in LISTS}
    return data["totals"], data["derived"], lists, data["timings_ns"]


def run(env, steps, action=RIGHT):
    arrays = step_arrays(env, action)
    env.reset_into(arrays["obs"])
    env.enable_profiler()
    for _ in range(steps):
        env.step_into(**arrays)
        assert not arrays["terminated"].any()
    return arrays


@pytest.fixture
def first_state(catalog):
    """Catalog keyword arguments holding only the first start state."""
    return {k: v[:1] for k, v in catalog.items()}


class TestReport:
    STEPS = 25

    @pytest.fixture(scope="class")
    @classmethod
    def real_run(cls, rom_path, catalog):
        env = _RetroVecEnv(rom_path, N, **{k: v[:1] for k, v in catalog.items()})
        run(env, cls.STEPS)
        return env

    def test_layout_line_by_line(self, real_run):
        report = real_run.profiler_snapshot()
        assert isinstance(report, str) and not report.endswith("\n")
        lines = report.split("\n")
        assert len(lines) == 13
        for number, (line, pattern) in enumerate(zip(lines, LINE_PATTERNS), start=1):
            assert re.fullmatch(pattern, line), (number, line)
        pairs = parse(report)
        assert [k for k, _ in pairs] == ["enabled", "measurement_window", "totals", "derived", "cpu", "timings_ns"]
        cpu = dict(pairs)["cpu"]
        assert [k for k, _ in cpu] == [name for name, _, _ in LISTS]

    def test_totals_of_a_real_run(self, real_run):
        totals, derived, lists, timings = sections(real_run.profiler_snapshot(ALL))
        frame_skip = real_run.frame_skip
        assert totals["env_steps"] == N * self.STEPS
        assert totals["batch_steps"] == self.STEPS
        assert totals["frame_steps"] == N * self.STEPS * frame_skip
        assert totals["ppu_completed_frames"] == totals["frame_steps"]
        assert totals["ppu_tick_calls"] >= totals["frame_steps"]
        assert totals["ppu_tick_cycles"] > 0 and totals["cpu_steps"] > 0
        # One observation per lane step: a render, a resize, a stack shift.
        assert totals["render_calls"] == totals["resize_calls"] == totals["stack_shifts"] == N * self.STEPS
        assert all(timings[k] > 0 for k in TIMING_KEYS)
        # Every histogram view accounts for every interpreted instruction.
        for name, _, _ in LISTS:
            assert sum(count for _, count in lists[name]) == totals["cpu_steps"], name
        assert len(lists["top_opcodes"]) <= 256

        def ratio(num, den):
            return f"{num / den:.6f}"

        report = real_run.profiler_snapshot(0)
        expected = {
            "cpu_steps_per_frame": ratio(totals["cpu_steps"], totals["frame_steps"]),
            "cpu_steps_per_env_step": ratio(totals["cpu_steps"], totals["env_steps"]),
            "ppu_cycles_per_tick_call": ratio(totals["ppu_tick_cycles"], totals["ppu_tick_calls"]),
            "render_ns_per_env_step": ratio(timings["rendering"], totals["env_steps"]),
            "resize_ns_per_env_step": ratio(timings["resize"], totals["env_steps"]),
        }
        assert report.split("\n")[4] == '  "derived": {' + ",".join(f'"{k}":{v}' for k, v in expected.items()) + "},"
        assert derived == {k: float(v) for k, v in expected.items()}

    def test_ranking_and_blocks(self, real_run):
        _, _, lists, _ = sections(real_run.profiler_snapshot(ALL))
        for name, _, _ in LISTS:
            entries = lists[name]
            assert entries and all(count > 0 for _, count in entries)
            keys = [(-count, label) for label, count in entries]
            assert keys == sorted(keys), name  # count descending, then label ascending
            assert len({label for label, _ in entries}) == len(entries)
        pcs = {int(label, 16): count for label, count in lists["top_pcs"]}
        for name, size in (("top_pc_ranges_16", 16), ("top_pc_pages", 256)):
            for label, count in lists[name]:
                first, last = (int(part, 16) for part in label.split("-"))
                assert first % size == 0 and last == first + size - 1
                assert count == sum(c for pc, c in pcs.items() if first <= pc <= last), label
            assert len(lists[name]) == len({pc // size for pc in pcs})

    def test_top_n_limits_the_lists(self, real_run):
        _, _, full, _ = sections(real_run.profiler_snapshot(ALL))
        _, _, default, _ = sections(real_run.profiler_snapshot())
        assert default == sections(real_run.profiler_snapshot(top_n=64))[2]
        assert len(full["top_pcs"]) > 64
        for top_n in (0, 1, 3, 64):
            totals, _, lists, _ = sections(real_run.profiler_snapshot(top_n))
            assert totals["env_steps"] == N * self.STEPS
            for name in full:
                assert lists[name] == full[name][:top_n], (top_n, name)
        assert default["top_pcs"] == full["top_pcs"][:64]

    def test_top_n_argument(self, real_run):
        report = real_run.profiler_snapshot(3)

        class Index:
            def __index__(self):
                return 3

        assert real_run.profiler_snapshot(Index()) == report
        assert real_run.profiler_snapshot(np.uint64(3)) == report
        for bad in (-1, 2**64):
            with pytest.raises(OverflowError):
                real_run.profiler_snapshot(bad)
        for bad in ("3", 3.0, None):
            with pytest.raises(TypeError, match="^argument 'top_n': "):
                real_run.profiler_snapshot(bad)
        with pytest.raises(TypeError):
            real_run.profiler_snapshot(3, 4)
        with pytest.raises(TypeError):
            real_run.profiler_snapshot(limit=3)

    def test_reading_does_not_clear(self, real_run):
        assert real_run.profiler_snapshot() == real_run.profiler_snapshot()


class TestWhatIsCounted:
    @pytest.mark.parametrize(
        "config, renders, resizes, shifts",
        [
            # The fused masked gray 84 x 84 path draws and resizes in one call.
            ({"crop_mode": "mask", "crop_top": 32}, 1, 0, 1),
            ({"frame_stack": 1, "resize_algorithm": "nearest"}, 1, 1, 0),
            # Max-pooling draws only the last two frames and combines them once.
            ({"frame_maxpool": True, "grayscale": False, "frame_skip": 3}, 2, 1, 1),
        ],
        ids=["fused", "single-slot", "maxpool"],
    )
    def test_pipeline_counts_per_lane_step(self, make_env, first_state, config, renders, resizes, shifts):
        env = make_env(N, **first_state, **config)
        run(env, 6)
        totals, _, _, timings = sections(env.profiler_snapshot())
        lane_steps = N * 6
        assert (totals["render_calls"], totals["resize_calls"], totals["stack_shifts"]) == (
            renders * lane_steps,
            resizes * lane_steps,
            shifts * lane_steps,
        )
        assert totals["frame_steps"] == lane_steps * env.frame_skip
        assert (timings["resize"] > 0) == (resizes > 0)
        assert (timings["stack_shift"] > 0) == (shifts > 0)

    def test_ended_lanes_stop_counting_frames(self, make_env, game_over_catalog):
        # A game-over start state ends every lane on its first frame.
        env = make_env(N, **game_over_catalog)
        arrays = run(env, 0)
        env.step_into(**arrays)
        assert arrays["terminated"].all()
        totals, _, _, _ = sections(env.profiler_snapshot())
        assert (totals["env_steps"], totals["frame_steps"]) == (N, N)

    def test_a_restored_done_lane_runs_no_frames(self, make_env, first_state):
        env = make_env(N, **first_state)
        arrays = step_arrays(env, RIGHT)
        env.reset_into(arrays["obs"])
        payload = env.capture_snapshots(arrays["obs"], np.array([True, False, False, False]))[0].to_bytes()
        # Byte 8 of the machine blob is its episode-done flag.
        done_at = 29 + struct.unpack_from("<I", payload, 21)[0] + 8
        done = payload[:done_at] + b"\1" + payload[done_at + 1 :]
        snapshots = env.decode_snapshots([done, None, None, None])
        env.reset_mixed_into(
            arrays["obs"],
            np.array([True, False, False, False]),
            np.array([-1, 0, 0, 0], np.int32),
            [None] * N,
            snapshots,
        )
        env.enable_profiler()
        env.step_into(**arrays)
        assert arrays["terminated"].tolist() == [True, False, False, False]
        totals, _, _, _ = sections(env.profiler_snapshot())
        assert totals["env_steps"] == N
        assert totals["frame_steps"] == (N - 1) * env.frame_skip

    def test_counts_do_not_depend_on_threads(self, make_env, first_state):
        reports = []
        for threads in (1, 2):
            env = make_env(8, num_threads=threads, **first_state)
            run(env, 5)
            totals, _, lists, _ = sections(env.profiler_snapshot(ALL))
            reports.append((totals, lists))
        assert reports[0] == reports[1]


class TestStates:
    def test_off_until_enabled_and_after_disable(self, make_env):
        env = make_env(2)
        for _ in range(2):
            with pytest.raises(ValueError) as info:
                env.profiler_snapshot()
            assert str(info.value) == NOT_ENABLED
            env.enable_profiler()
            assert env.profiler_snapshot() == EMPTY_REPORT
            env.disable_profiler()
        # Switching off twice, or zeroing while off, is allowed and keeps it off.
        assert env.disable_profiler() is None
        assert env.reset_profiler() is None
        with pytest.raises(ValueError, match=f"^{NOT_ENABLED}$"):
            env.profiler_snapshot(0)

    def test_enable_and_reset_start_from_zero(self, make_env, first_state):
        env = make_env(N, **first_state)
        arrays = run(env, 3)
        assert env.profiler_snapshot() != EMPTY_REPORT
        assert env.enable_profiler() is None
        assert env.profiler_snapshot() == EMPTY_REPORT
        env.step_into(**arrays)
        assert env.reset_profiler() is None
        assert env.profiler_snapshot() == EMPTY_REPORT
        # Still on after a reset: the next steps are counted.
        env.step_into(**arrays)
        env.step_into(**arrays)
        totals, _, _, _ = sections(env.profiler_snapshot())
        assert (totals["env_steps"], totals["batch_steps"]) == (2 * N, 2)

    def test_steps_while_off_are_not_counted(self, make_env, first_state):
        env = make_env(N, **first_state)
        arrays = run(env, 2)
        env.disable_profiler()
        for _ in range(3):
            env.step_into(**arrays)
        env.enable_profiler()
        env.step_into(**arrays)
        totals, _, _, _ = sections(env.profiler_snapshot())
        assert (totals["env_steps"], totals["batch_steps"], totals["frame_steps"]) == (N, 1, N * env.frame_skip)

    def test_profiler_does_not_change_the_game(self, make_env, first_state):
        outputs = []
        for profiled in (False, True):
            env = make_env(N, **first_state, sticky_action_prob=0.3, seed=4)
            arrays = step_arrays(env, RIGHT)
            env.reset_into(arrays["obs"])
            if profiled:
                env.enable_profiler()
            for _ in range(30):
                env.step_into(**arrays)
            outputs.append({name: array.copy() for name, array in arrays.items()})
        for name in outputs[0]:
            assert np.array_equal(outputs[0][name], outputs[1][name]), name

    def test_method_order_and_signatures(self):
        expected = {
            "seed": "($self, seed)",
            "enable_profiler": "($self)",
            "reset_profiler": "($self)",
            "disable_profiler": "($self)",
            "profiler_snapshot": "($self, top_n=64)",
            "_debug_ram": "($self, env_idx)",
        }
        names = [name for name in vars(_RetroVecEnv) if name in expected]
        assert names == list(expected)
        for name, signature in expected.items():
            assert getattr(_RetroVecEnv, name).__text_signature__ == signature


class TestHolds:
    def test_during_a_step(self, make_env, catalog):
        env = make_env(32, frame_skip=200, num_threads=2, **{k: v[:2] for k, v in catalog.items()})
        arrays = step_arrays(env, RIGHT)
        env.reset_into(arrays["obs"])
        env.enable_profiler()

        def stepping(done):
            while not done.is_set():
                env.step_into(**arrays)
                if arrays["terminated"].any():
                    env.reset_into(arrays["obs"])

        errors, _, failure = errors_while(
            stepping,
            [
                env.profiler_snapshot,
                env.enable_profiler,
                env.reset_profiler,
                env.disable_profiler,
            ],
        )
        assert not failure, failure
        assert errors == {
            0: {"Already mutably borrowed"},
            1: {"Already borrowed"},
            2: {"Already borrowed"},
            3: {"Already borrowed"},
        }

    def test_snapshot_shares_the_environment(self, make_env):
        env = make_env(64, extra_info_ids=list(range(27)))
        env.enable_profiler()
        out = np.zeros(env.extra_info_shape(), np.int64)

        def reading(done):
            while not done.is_set():
                env.extra_info_into(out)

        errors, successes, failure = errors_while(
            reading, [env.profiler_snapshot, env.enable_profiler], limit=10.0, until=[1]
        )
        assert not failure, failure
        assert errors == {0: set(), 1: {"Already borrowed"}}
        assert successes[0] > 0
