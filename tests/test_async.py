"""Asynchronous stepping (send / recv) against the synchronous environment.

The heart: for the same per-lane actions every lane reports the same
observations, rewards, flags and infos as with step(), whatever the order in
which lanes are sent and come back, the batch size and the thread count.
Episodes end often here (a doomed start state ends on its first step, a short
time limit truncates the others), so autoresets are part of every run.
"""

from __future__ import annotations

import gc
import gzip

import numpy as np
import pytest
from env_support import LIVES_ADDRESS, with_ram

gymnasium = pytest.importorskip("gymnasium")

from gymnasium.vector import AutoresetMode  # noqa: E402

from tanuvex_turbo import TurboVectorEnv  # noqa: E402

LANES = 6
EVENTS = 14  # results compared per lane
IN_FLIGHT = "lanes are in flight; receive them with step_recv_into() or cancel them with step_cancel() first"


@pytest.fixture(scope="module")
def states(states_dir):
    level = gzip.decompress((states_dir / "1-1.state").read_bytes())
    return {
        "scrolling": gzip.decompress((states_dir / "2-1-clouds-easy.state").read_bytes()),
        "doomed": with_ram(level, {LIVES_ADDRESS: 0xFF}),
        "level": level,
    }


@pytest.fixture
def make(rom_path, states):
    def build(**kwargs):
        kwargs.setdefault("num_envs", LANES)
        kwargs.setdefault("start_state", ["scrolling", "doomed", "level", "scrolling", "level", "doomed"])
        return TurboVectorEnv(
            rom_path,
            states=states,
            action_set="simple",
            max_episode_steps=5,
            sticky_action_prob=0.25,
            noop_reset_max=6,
            extra_info=["y_pos", "enemy_x_pos"],
            seed=11,
            **kwargs,
        )

    return build


def actions_of(lane, event):
    return (lane * 5 + event * 3 + event // 4) % 7


def lane_record(obs, reward, terminated, truncated, info, row):
    values = {name: np.asarray(info[name])[row].copy() for name in info if not name.startswith("_")}
    values.pop("env_id", None)
    values.pop("final_obs", None)
    values.pop("final_info", None)
    return obs[row].copy(), float(reward[row]), bool(terminated[row]), bool(truncated[row]), values


def sync_trace(make):
    env = make()
    env.reset(seed=5)
    trace = [[] for _ in range(LANES)]
    for k in range(EVENTS):
        result = env.step(np.array([actions_of(lane, k) for lane in range(LANES)]))
        for lane in range(LANES):
            trace[lane].append(lane_record(*result, lane))
    env.close()
    return trace


def async_trace(env, seed):
    """Sends random groups of idle lanes (each with its next action) and records what recv returns."""
    rng = np.random.default_rng(seed)
    env.reset(seed=5)
    trace = [[] for _ in range(LANES)]
    idle = np.ones(LANES, np.bool_)
    while min(len(t) for t in trace) < EVENTS:
        lanes = np.flatnonzero(idle & (rng.random(LANES) < 0.6))
        short = env.batch_size - (LANES - int(idle.sum())) - len(lanes)
        if short > 0:  # recv needs batch_size lanes in flight
            spare = np.setdiff1d(np.flatnonzero(idle), lanes)
            lanes = np.concatenate([lanes, rng.permutation(spare)[:short]])
        lanes = rng.permutation(lanes)
        if len(lanes):
            env.send(np.array([actions_of(lane, len(trace[lane])) for lane in lanes]), lanes)
            idle[lanes] = False
        obs, reward, terminated, truncated, info = env.recv()
        assert obs.shape == (env.batch_size, *env.single_observation_space.shape)
        for row, lane in enumerate(info["env_id"]):
            trace[lane].append(lane_record(obs, reward, terminated, truncated, info, row))
            idle[lane] = True
    return trace


def assert_same(expected, got, label):
    ends = 0
    for lane in range(LANES):
        for k in range(EVENTS):
            want, have = expected[lane][k], got[lane][k]
            where = f"{label}: lane {lane}, result {k}"
            np.testing.assert_array_equal(have[0], want[0], err_msg=where)
            assert have[1:4] == want[1:4], where
            assert have[4].keys() == want[4].keys(), where
            for name, value in want[4].items():
                np.testing.assert_array_equal(have[4][name], value, err_msg=f"{where}, {name}")
            ends += want[2] or want[3]
    assert ends >= LANES, "the runs should end (and autoreset) episodes"


@pytest.mark.parametrize(
    ("batch_size", "threads", "order"),
    [(2, 2, 0), (3, 1, 1), (1, 2, 2), (4, None, 3), (LANES, 2, 4)],
)
def test_lanes_match_the_synchronous_environment(make, batch_size, threads, order):
    expected = sync_trace(make)
    env = make(batch_size=batch_size, num_threads=threads)
    assert_same(expected, async_trace(env, order), f"batch_size {batch_size}, threads {threads}")
    env.close()


def test_same_step_send_recv_of_every_lane_is_step(make):
    sync = make(autoreset_mode="SAME_STEP", num_threads=1)
    lanes = make(autoreset_mode="SAME_STEP", num_threads=2)
    sync.reset(seed=2)
    lanes.reset(seed=2)
    for k in range(EVENTS):
        actions = np.array([actions_of(lane, k) for lane in range(LANES)])
        want = sync.step(actions)
        lanes.send(actions)
        got = lanes.recv()
        np.testing.assert_array_equal(got[0], want[0])
        for a, b in zip(got[1:4], want[1:4]):
            np.testing.assert_array_equal(a, b)
        np.testing.assert_array_equal(got[4]["env_id"], np.arange(LANES))
        assert set(got[4]) - {"env_id"} == set(want[4])
        if "final_obs" in want[4]:
            for lane in np.flatnonzero(want[4]["_final_obs"]):
                np.testing.assert_array_equal(got[4]["final_obs"][lane], want[4]["final_obs"][lane])
            np.testing.assert_array_equal(got[4]["final_info"]["x_pos"], want[4]["final_info"]["x_pos"])


def test_misuse_is_refused_and_changes_nothing(make):
    with pytest.raises(ValueError, match="batch_size must be in 1..num_envs"):
        make(batch_size=LANES + 1)
    with pytest.raises(ValueError, match="needs autoreset_mode NEXT_STEP"):
        make(batch_size=2, autoreset_mode=AutoresetMode.SAME_STEP)
    env = make(batch_size=2, num_threads=2)
    with pytest.raises(RuntimeError, match="call reset"):
        env.send(np.zeros(2), [0, 1])
    env.reset(seed=1)
    with pytest.raises(RuntimeError, match="no lanes are in flight"):
        env.recv()
    env.send(np.array([1, 2]), [4, 1])
    with pytest.raises(RuntimeError, match="lane 1 is in flight"):
        env.send(np.array([1, 2]), [0, 1])
    with pytest.raises(ValueError, match="twice"):
        env.send(np.array([1, 2]), [0, 0])
    with pytest.raises(ValueError, match="lane indices in 0..5"):
        env.send(np.array([1]), [6])
    with pytest.raises(ValueError, match="outside the action space"):
        env.send(np.array([7]), [0])
    with pytest.raises(ValueError, match="mask cannot be combined"):
        env.step(np.array([0, 0]), mask=np.ones(LANES, bool), env_ids=[0, 2])
    engine = env.engine
    assert engine.step_in_flight() == 2 and engine.num_envs == LANES  # configuration reads still work
    with pytest.raises(RuntimeError, match="cannot receive 3 lanes: only 2 are in flight"):
        engine.step_recv_into(np.zeros(3, np.int32), *[np.zeros(3, a.dtype) for a in env._recv_outputs])
    with pytest.raises(RuntimeError) as refused:
        engine.ram_into(np.zeros(engine.ram_shape(), np.uint8))
    assert str(refused.value) == IN_FLIGHT
    with pytest.raises(RuntimeError, match="lanes are in flight"):
        env.clone_states()
    with pytest.raises(ValueError, match="obs must be the array the lanes in flight were sent with"):
        engine.step_send(np.array([0], np.int32), np.zeros(1, np.uint8), np.zeros_like(env._obs), env._ring)
    obs, _, _, _, info = env.recv()
    assert sorted(info["env_id"]) == [1, 4]
    assert engine.step_in_flight() == 0
    engine.ram_into(np.zeros(engine.ram_shape(), np.uint8))  # nothing in flight: allowed again

    # reset() is synchronous: lanes in flight finish, their results are dropped.
    env.send(np.array([1, 1, 1]), [0, 2, 3])
    reset_obs, _ = env.reset()
    assert engine.step_in_flight() == 0
    env.send(np.array([0, 0]), [0, 5])
    env.close()  # with lanes in flight


def test_lanes_in_flight_outlive_the_objects_that_sent_them(make):
    env = make(batch_size=3, num_threads=2)
    env.async_reset(seed=3)
    obs, _, _, _, info = env.recv()
    np.testing.assert_array_equal(obs[0, -1], obs[0, 0])  # a reset fills every stacked frame
    env.send(np.zeros(3, np.int64), info["env_id"])  # six lanes in flight now
    engine = env.engine
    del env, obs
    gc.collect()
    assert engine.step_in_flight() == LANES
    del engine  # freed with lanes in flight: they finish first
    gc.collect()
