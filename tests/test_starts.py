"""Start states taken from a replay: every level's start as a state file, and saved lanes along the replay."""

from __future__ import annotations

import dataclasses
import gzip
import os
import pathlib
import signal
import struct
import tracemalloc
from collections import Counter

import numpy as np
import pytest

pytest.importorskip("gymnasium")

from tanuvex_turbo import TurboVectorEnv, progress, replay  # noqa: E402
from tanuvex_turbo.cli import main  # noqa: E402
from tanuvex_turbo.cli.support import EXIT_NOT_REACHED  # noqa: E402
from tanuvex_turbo.demo_starts import MAGIC, DemoStart, DemoStarts  # noqa: E402

DATA = pathlib.Path(__file__).parent / "data"
GAME = replay.read_replay(DATA / "replay-power-on-game.txt")
# From power-on through the title screen, 1-1 and into 1-2.
FIRST_LEVELS = dataclasses.replace(GAME, actions=GAME.actions[:900])
FRAME_ENV = dict(action_set="full", frame_skip=1, frame_stack=1, terminate_on_flag=False, num_threads=1)


def ram(env):
    out = np.zeros(env.engine.ram_shape(), np.uint8)
    env.engine.ram_into(out)
    return out


def test_level_starts_are_the_replays_lanes_at_each_levels_first_playable_frame(rom_path, states_dir, tmp_path, capsys):
    starts = replay.level_starts(FIRST_LEVELS, rom_path)
    assert [start.level for start in starts] == ["1-1", "1-2"]
    one_one = replay.read_replay(DATA / "replay-1-1-level-end.txt")  # from the start state 1-1 to its goal
    assert replay.level_starts(one_one, rom_path, replay.start_catalog("1-1", states_dir)) == []
    replay.write_replay(tmp_path / "first.txt", FIRST_LEVELS)
    folder = tmp_path / "made" / "starts"  # its parent is made too
    command = ["replay", str(tmp_path / "first.txt"), "--rom", rom_path, "--save-starts"]
    for again in (False, True):
        if again:
            (folder / "1-1.state").unlink()
            os.mkfifo(folder / "1-1.state")  # replaced, never opened (it would block: the alarm fails the test)
            signal.signal(signal.SIGALRM, lambda *_: pytest.fail("writing the starts blocked"))
            signal.alarm(120)
        assert main([*command, str(folder)]) == EXIT_NOT_REACHED  # the target is the whole game; starts are written
        signal.alarm(0)
        assert "wrote 2 start states" in capsys.readouterr().out
        for start in starts:
            assert gzip.decompress((folder / f"{start.level}.state").read_bytes()) == start.image
    into_stored = ["replay", str(tmp_path / "first.txt"), "--states", str(states_dir), "--save-starts", str(states_dir)]
    assert main(into_stored) == 2  # never over the start states in use
    # A folder that cannot be one is refused before the replay plays.
    (tmp_path / "loop").symlink_to(tmp_path / "loop")
    os.mkfifo(tmp_path / "fifo")
    for name in ("first.txt", "fifo", "loop", "first.txt/starts"):
        assert main([*command, str(tmp_path / name)]) == 2
        printed = capsys.readouterr()
        assert printed.out == "" and name in printed.err

    # Lane 0 plays the replay frame by frame with the buttons of each start's
    # frame released, lane 1 plays it as it is; a lane of the saved starts must
    # equal lane 0 there, and both from then on.
    played = TurboVectorEnv(rom_path, 2, states={}, **FRAME_ENV)
    played.reset()
    saved = TurboVectorEnv(rom_path, 1, states=folder, **FRAME_ENV)
    frames = np.repeat(np.frombuffer(FIRST_LEVELS.actions, np.uint8), FIRST_LEVELS.frame_skip)
    frame = 0
    for start in starts:
        while frame < start.frame - 1:
            played.step(np.full(2, frames[frame]))
            frame += 1
        assert not progress.playable(ram(played)).any()  # the frame before was not yet playable
        obs, _, _, _, info = played.step(np.array([0, frames[frame]]))
        frame += 1
        assert progress.playable(ram(played)).all()
        assert progress.level_name(4 * info["level_hi"][1] + info["level_lo"][1]) == start.level
        start_obs, start_info = saved.reset(options={"state": start.level})
        np.testing.assert_array_equal(ram(saved)[0], ram(played)[0])
        np.testing.assert_array_equal(start_obs[0], obs[0])
        for _ in range(120):
            obs, rewards, _, _, info = played.step(np.full(2, frames[frame]))
            start_obs, start_rewards, _, _, start_info = saved.step(np.full(1, frames[frame]))
            frame += 1
            np.testing.assert_array_equal(ram(played), np.repeat(ram(saved), 2, axis=0))
            np.testing.assert_array_equal(obs, np.repeat(start_obs, 2, axis=0))
            assert list(rewards) == [start_rewards[0]] * 2

    # The saved 1-1 and the stored one are the same kind of moment.
    stored = TurboVectorEnv(rom_path, 1, states=states_dir, start_state="1-1", **FRAME_ENV)
    _, stored_info = stored.reset()
    _, start_info = saved.reset(options={"state": "1-1"})
    assert progress.playable(ram(stored))[0] and progress.playable(ram(saved))[0]
    for name in ("x_pos", "time", "lives", "level_hi", "level_lo", "score", "coins"):
        assert stored_info[name][0] == start_info[name][0], name


def test_demo_starts_restore_the_replays_lanes_and_pick_what_they_say(rom_path, states_dir, tmp_path):
    config = dict(frame_stack=2, resize_width=32, resize_height=32)
    demo = DemoStarts.record(FIRST_LEVELS, rom_path, every=50, **config)
    passed = {}
    replay.play_replay(FIRST_LEVELS, rom_path, on_level=lambda name, step: passed.setdefault(name, step))
    first = {start.level: start.step for start in replay.level_starts(FIRST_LEVELS, rom_path)}
    assert demo.levels == ["1-1", "1-2"]
    # From the level's first playable step, every 50 steps, up to the step before its end.
    assert [s.step for s in demo.of_level("1-1")] == list(range(first["1-1"], passed["1-1"], 50))
    assert [s.step for s in demo.of_level("1-2")] == list(range(first["1-2"], len(FIRST_LEVELS.actions) + 1, 50))

    ones = demo.of_level("1-1")
    assert demo.from_end("1-1") == ones[-1] and demo.from_end("1-1", 3) == ones[-4]
    assert demo.from_end("1-1", 10**6) == ones[0]
    drawn = Counter(start.step for start in demo.sample(3000, rng=0, level="1-1"))
    assert set(drawn) == {start.step for start in ones}
    assert max(drawn.values()) < 1.3 * 3000 / len(ones) < 1.7 * min(drawn.values())
    assert Counter(start.level for start in demo.sample(2000, rng=1)).keys() == {"1-1", "1-2"}

    # Kept and read back, then restored into an environment with start states
    # (the lanes were saved from power-on): each is the replay's lane at its step.
    demo.save(tmp_path / "demo.starts")
    again = DemoStarts.load(tmp_path / "demo.starts")
    assert [again.of_level(level) for level in again.levels] == [demo.of_level(level) for level in demo.levels]
    picks = [demo.from_end("1-1", 8), demo.from_end("1-1"), demo.of_level("1-2")[0]]
    played = TurboVectorEnv(rom_path, 1, states={}, action_set="full", terminate_on_flag=False, **config)
    played.reset()
    trainer = TurboVectorEnv(rom_path, 1, states=states_dir, action_set="full", terminate_on_flag=False, **config)
    trainer.reset()
    step = 0
    for pick in picks:
        while step < pick.step:
            obs, *_ = played.step(np.array([GAME.actions[step]]))
            step += 1
        start_obs, _ = again.restore(trainer, [pick])
        np.testing.assert_array_equal(start_obs, obs)
        np.testing.assert_array_equal(ram(trainer), ram(played))
        for _ in range(20):
            obs, rewards, *_ = played.step(np.array([GAME.actions[step]]))
            start_obs, start_rewards, *_ = trainer.step(np.array([GAME.actions[step]]))
            step += 1
            np.testing.assert_array_equal(start_obs, obs)
            assert start_rewards[0] == rewards[0]
    # The same start goes back into an environment without start states too.
    start_obs, _ = again.restore(trainer, [picks[0]])
    np.testing.assert_array_equal(again.restore(played, [picks[0]])[0], start_obs)
    np.testing.assert_array_equal(ram(trainer), ram(played))
    with pytest.raises(ValueError, match="saved under another observation configuration"):
        demo.restore(TurboVectorEnv(rom_path, 1, states=states_dir), [picks[0]])

    damaged = (tmp_path / "demo.starts").read_bytes()
    for bad in (damaged[:-1], damaged + b"\0", b"nothing"):
        (tmp_path / "bad.starts").write_bytes(bad)
        with pytest.raises(ValueError, match="bad.starts"):
            DemoStarts.load(tmp_path / "bad.starts")


def test_files_of_starts_are_read_bounded_and_starts_fit_any_catalog(rom_path, states_dir, tmp_path):
    one_one = replay.read_replay(DATA / "replay-1-1-level-end.txt")  # from the start state 1-1
    config = dict(frame_stack=1, resize_width=16, resize_height=16, action_set="full", terminate_on_flag=False)
    demo = DemoStarts.record(one_one, rom_path, states_dir, every=100, **config)
    start = demo.of_level("1-1")[1]
    # A lane saved from a start state goes into an environment without start states too.
    lanes = {}
    for states in (states_dir, ()):
        env = TurboVectorEnv(rom_path, 3, states=states, **config)
        env.reset()
        obs, _ = demo.restore(env, [start, None, None])
        lanes[states] = obs[0], ram(env)[0]
        damaged = DemoStart("1-1", 1, start.state[:100] + bytes([start.state[100] ^ 1]) + start.state[101:])
        with pytest.raises(ValueError, match="^saved state of lane 2 is damaged"):
            demo.restore(env, [None, None, damaged])
    for a, b in zip(lanes[states_dir], lanes[()]):
        np.testing.assert_array_equal(a, b)

    def written(header):
        (tmp_path / "bad.starts").write_bytes(MAGIC + struct.pack("<I", len(header)) + header + start.state)
        return tmp_path / "bad.starts"

    size = len(start.state)
    for header, message in [
        (b'{"every": 1e400, "starts": [["1-1", 0, %d]]}' % size, "header is damaged"),
        (b"[" * 100_000 + b"]" * 100_000, "header is damaged"),
        (b'{"every": 10, "starts": [["1-1", -1, %d]]}' % size, "header is damaged: .* not \\[level"),
        (b'{"every": 10, "starts": [["1-1", 0, %d]]}' % (size + 1), "cut short"),
        (b'{"every": 10, "starts": [["1-1", 0, %d]]}' % (size - 1), "bytes after its last start"),
    ]:
        path = written(header)
        with pytest.raises(ValueError, match=f"^{path}: .*{message}"):
            DemoStarts.load(path)
    assert DemoStarts.load(written(b'{"every": 10, "starts": [["1-1", 0, %d]]}' % size)).of_level("1-1")[0].step == 0
    tracemalloc.start()
    try:
        with pytest.raises(ValueError, match="^/dev/zero: not a file of starts$"):
            DemoStarts.load("/dev/zero")
        assert tracemalloc.get_traced_memory()[1] < 1 << 20  # refused after its first bytes
    finally:
        tracemalloc.stop()
