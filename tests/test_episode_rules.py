"""The engine owns the episode: one engine call per step and per receive, whatever the rules; Ctrl-C anywhere
in a receive loses no lane; a lost life on the step that reaches the time limit restarts the game."""

from __future__ import annotations

import gzip
import sys
from pathlib import Path

import numpy as np
import pytest
from env_support import with_ram

pytest.importorskip("gymnasium")

from tanuvex_turbo import TurboVectorEnv  # noqa: E402

TIMER_DIGITS = (0x07F8, 0x07F9, 0x07FA)
RULES = dict(episodic_life=True, end_on_level_end=True, progress_info=True, max_episode_steps=3, extra_info=["y_pos"])
PACKAGE = str(Path(TurboVectorEnv.__module__.replace(".", "/")).parent)  # tanuvex_turbo/env


@pytest.fixture(scope="module")
def states(states_dir):
    level = gzip.decompress((states_dir / "1-1.state").read_bytes())
    return {"level": level, "timer": with_ram(level, dict(zip(TIMER_DIGITS, (0, 0, 1))))}


class CountingEngine:
    """The engine, with the name of every method called on it recorded."""

    def __init__(self, engine):
        self.engine, self.calls = engine, []

    def __getattr__(self, name):
        method = getattr(self.engine, name)

        def call(*args, **kwargs):
            self.calls.append(name)
            return method(*args, **kwargs)

        return call if callable(method) else method


@pytest.mark.parametrize("mode", ["NEXT_STEP", "SAME_STEP", "DISABLED", "async", "async SAME_STEP"])
def test_a_step_and_a_receive_are_one_engine_call(rom_path, states, mode):
    batch = {"async": 2, "async SAME_STEP": 4}.get(mode)
    autoreset = {"async": "NEXT_STEP", "async SAME_STEP": "SAME_STEP"}.get(mode, mode)
    env = TurboVectorEnv(rom_path, 4, states=states, autoreset_mode=autoreset, batch_size=batch, **RULES)
    env.reset(seed=0)
    counting = env._engine = CountingEngine(env._engine)
    steps = 3 if mode == "DISABLED" else 9  # three steps end every episode (the limit); NEXT_STEP then resets
    ended, lanes = 0, np.arange(4)
    for _ in range(steps):
        counting.calls.clear()
        if batch:
            env.send(np.ones(len(lanes), np.int64), lanes)
            counting.calls.clear()
            result = env.recv()
            assert counting.calls == ["step_recv_into"]
            lanes = result[4]["env_id"]
        else:
            result = env.step(np.ones(4, np.int64))
            assert counting.calls == ["step"]
        ended += int(result[3].sum())
        assert "y_pos" in result[4] and "level_end" in result[4]
        assert ("final_obs" in result[4]) == ("SAME_STEP" in mode and result[3].any())
    assert ended >= 2, "the time limit should have ended episodes on the way"


def test_a_life_lost_on_the_step_that_reaches_the_time_limit_restarts_the_game(rom_path, states):
    def run(limit):
        env = TurboVectorEnv(
            rom_path, 1, states=states, start_state="timer", episodic_life=True, max_episode_steps=limit
        )
        first, info = env.reset(seed=0)
        for step in range(1, 400):
            obs, _, terminated, truncated, info = env.step(np.zeros(1, np.int64))
            if terminated[0]:
                return env, first, step, truncated[0], info["lives"][0]
        pytest.fail("no life was lost")

    _, _, lost_at, _, lives_after = run(None)
    env, first, step, truncated, _ = run(lost_at)  # the same step ends the life and reaches the limit
    assert step == lost_at and truncated
    obs, _, _, _, info = env.step(np.zeros(1, np.int64))  # the time limit restarts the game: the start state again
    np.testing.assert_array_equal(obs, first)
    assert info["lives"][0] == lives_after + 1


def _receives(env, count, interrupt_at=None):
    """``count`` receives after an asynchronous reset, each lane sent again with action 1; the last one with a
    KeyboardInterrupt raised at the ``interrupt_at``-th line the environment's code runs (then received again)."""
    env.async_reset(seed=4)
    results, interrupted = [], False
    for k in range(count):
        if k:
            env.send(np.ones(env.batch_size, np.int64), results[-1][4]["env_id"])
        if k == count - 1 and interrupt_at is not None:
            lines = [0]

            def local(frame, event, _, lines=lines):
                if event == "line":
                    lines[0] += 1
                    if lines[0] == interrupt_at:
                        raise KeyboardInterrupt
                return local

            sys.settrace(lambda frame, event, arg: local if PACKAGE in frame.f_code.co_filename else None)
            try:
                results.append(env.recv())
            except KeyboardInterrupt:
                interrupted = True
            finally:
                sys.settrace(None)
            if interrupted:
                results.append(env.recv())
        else:
            results.append(env.recv())
    return results, interrupted


@pytest.mark.parametrize("batch_size", [2, 4])
def test_ctrl_c_anywhere_in_a_receive_loses_no_lane(rom_path, states, batch_size):
    def make():
        return TurboVectorEnv(rom_path, 4, states=states, batch_size=batch_size, num_threads=1, max_episode_steps=2)

    expected, _ = _receives(make(), 4)
    for line in range(1, 200):
        got, interrupted = _receives(make(), 4, interrupt_at=line)
        if not interrupted:
            break
        want, have = expected[-1], got[-1]
        np.testing.assert_array_equal(have[4]["env_id"], want[4]["env_id"], err_msg=f"line {line}")
        np.testing.assert_array_equal(have[0], want[0], err_msg=f"line {line}")
        for a, b in zip(have[1:4], want[1:4]):
            np.testing.assert_array_equal(a, b, err_msg=f"line {line}")
    assert line > 10, "the receive should run some lines of the environment's code"


def test_a_reset_while_a_cut_short_batch_is_undelivered_restarts_its_lanes(rom_path, states):
    env = TurboVectorEnv(rom_path, 4, states=states, start_state="level", batch_size=2, num_threads=1)
    first, _ = env.reset(seed=0)
    env.step(np.full(4, 3))
    engine = env._engine

    class CtrlCAfterTheReceive:
        def __getattr__(self, name):
            return getattr(engine, name)

        def step_recv_into(self, *args, **kwargs):
            engine.step_recv_into(*args, **kwargs)
            raise KeyboardInterrupt

    env._engine = CtrlCAfterTheReceive()
    with pytest.raises(KeyboardInterrupt):
        env.recv()
    env._engine = engine
    cut = env._lanes.recv_ids.copy()
    others = ~np.isin(np.arange(4), cut)
    env.reset(options={"reset_mask": others})  # the cut batch was never seen: its lanes start again
    env.send(np.full(2, 3), cut)
    obs, rewards, terminated, _, info = env.recv()
    assert sorted(info["env_id"]) == sorted(cut) and not rewards.any() and not terminated.any()
    for row, lane in enumerate(info["env_id"]):
        np.testing.assert_array_equal(obs[row], first[lane])


def test_autoresets_draw_random_start_states_from_each_lane_and_seeded_resets_restart_the_game(rom_path, states):
    def draws(seed):
        env = TurboVectorEnv(rom_path, 3, states=states, start_state="random", max_episode_steps=1, seed=seed)
        env.reset(seed=seed)
        seen = []
        for _ in range(12):  # every other step autoresets every lane
            env.step(np.zeros(3, np.int64))
            seen.append(env.engine.active_state_indices())
        return np.array(seen)

    first = draws(1)
    assert np.array_equal(first, draws(1)) and not np.array_equal(first, draws(2))
    assert all(len(set(first[:, lane])) > 1 for lane in range(3)), "each lane draws its start state again"

    # A life lost under episodic_life goes on in the game, unless the reset is seeded: then the start state.
    env = TurboVectorEnv(rom_path, 1, states=states, start_state="timer", episodic_life=True)
    start, _ = env.reset(seed=3)
    while not env.step(np.zeros(1, np.int64))[2][0]:
        pass
    env.async_reset(seed=3)
    np.testing.assert_array_equal(env.recv()[0], start)
