"""One step, every path: send/recv, step() with a batch and the SB3 adapter against the synchronous step.

For the same per-lane actions every lane reports the same observations,
rewards, flags and infos as with step(), whatever the options that end
episodes, the autoreset mode, the batch size, the order in which lanes are
sent and come back, the thread count, a reset that cancels lanes in flight,
and Ctrl-C right after the engine returned. The start states make episodes
end often: at once (game over, a reached goal), by a lost life a few dozen
steps in (the timer runs out), or by the time limit.
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
IN_FLIGHT = "lanes are in flight; receive them with step_recv_into() or cancel them with step_cancel() first"
PLAYER_TASK, TIMER_DIGITS = 0x000E, (0x07F8, 0x07F9, 0x07FA)

# Options that change how episodes end, with the results compared per lane.
CONFIGS = {
    "time limit": (dict(max_episode_steps=5), 16),
    "episodic life": (dict(episodic_life=True, progress_info=True, max_episode_steps=90), 72),
    "life loss, level end": (dict(end_on_life_loss=True, end_on_level_end=True, max_episode_steps=40), 72),
}


# Every environment of these tests: sticky actions and random no-op starts draw from each lane's stream.
SETTINGS = dict(
    action_set="simple", sticky_action_prob=0.25, noop_reset_max=6, extra_info=["y_pos", "enemy_x_pos"], seed=11
)
START_STATES = ["timer", "doomed", "goal", "scrolling", "level", "timer"]


@pytest.fixture(scope="module")
def states(states_dir):
    level = gzip.decompress((states_dir / "1-1.state").read_bytes())
    return {
        "scrolling": gzip.decompress((states_dir / "2-1-bonus-easy.state").read_bytes()),
        "doomed": with_ram(level, {LIVES_ADDRESS: 0xFF}),
        "level": level,
        "goal": with_ram(level, {PLAYER_TASK: 0x04}),  # on the goal pole: the level ends at once
        "timer": with_ram(level, dict(zip(TIMER_DIGITS, (0, 0, 1)))),  # loses a life about 60 steps in
    }


@pytest.fixture
def make(rom_path, states):
    def build(**kwargs):
        kwargs.setdefault("num_envs", LANES)
        kwargs.setdefault("start_state", START_STATES)
        kwargs.setdefault("max_episode_steps", 5)
        return TurboVectorEnv(rom_path, states=states, **SETTINGS, **kwargs)

    return build


def action_of(lane, event):
    return (lane * 5 + event * 3 + event // 4) % 7


def lane_record(obs, reward, terminated, truncated, info, row):
    values = {name: np.asarray(info[name])[row].copy() for name in info if not name.startswith("_")}
    for name in ("env_id", "final_obs", "final_info"):
        values.pop(name, None)
    return obs[row].copy(), float(reward[row]), bool(terminated[row]), bool(truncated[row]), values


def reset_records(trace, obs, info):
    for lane in range(LANES):
        trace[lane].append(lane_record(obs, np.zeros(LANES), np.zeros(LANES, bool), np.zeros(LANES, bool), info, lane))


def sync_trace(make, config, seed, events):
    """Record 0 of each lane is its reset, record k the step with its k-th action."""
    env = make(**config)
    trace = [[] for _ in range(LANES)]
    reset_records(trace, *env.reset(seed=seed))
    for k in range(1, events + LANES):
        result = env.step(np.array([action_of(lane, k) for lane in range(LANES)]))
        for lane in range(LANES):
            trace[lane].append(lane_record(*result, lane))
    env.close()
    return trace


class CtrlCAfterTheEngine:
    """The engine, with KeyboardInterrupt raised now and then right after a send or a receive returned."""

    def __init__(self, engine, rng):
        self.engine, self.rng, self.interrupts = engine, rng, 0

    def __getattr__(self, name):
        return getattr(self.engine, name)

    def _maybe(self):
        if self.rng.random() < 0.3:
            self.interrupts += 1
            raise KeyboardInterrupt

    def step_send(self, *args):
        self.engine.step_send(*args)
        self._maybe()

    def step_recv_into(self, *args, **kwargs):
        row = self.engine.step_recv_into(*args, **kwargs)
        self._maybe()
        return row


def async_trace(env, rng, events, start, seed, stop_at=None, use_step=False):
    """Sends random groups of idle lanes (each with its next action) and records what comes back.

    ``start``: "reset" or "async_reset". With ``stop_at`` it returns as soon
    as every lane has that many records, with lanes still in flight.
    """
    trace = [[] for _ in range(LANES)]
    idle = np.ones(LANES, np.bool_)
    if start == "reset":
        reset_records(trace, *env.reset(seed=seed))
    else:
        env.async_reset(seed=seed)
        idle[:] = False
    while min(len(t) for t in trace) < (stop_at or events):
        if use_step and not idle.any():
            result = env.recv()  # after async_reset()
        elif use_step:  # step() sends every idle lane: all after a reset, then the lanes of the last recv
            result = env.step(np.array([action_of(lane, len(trace[lane])) for lane in np.flatnonzero(idle)]))
            idle[:] = False
        else:
            lanes = np.flatnonzero(idle & (rng.random(LANES) < 0.6))
            short = env.batch_size - (LANES - int(idle.sum())) - len(lanes)
            if short > 0:  # recv needs batch_size lanes in flight
                spare = np.setdiff1d(np.flatnonzero(idle), lanes)
                lanes = np.concatenate([lanes, rng.permutation(spare)[:short]])
            lanes = rng.permutation(lanes)
            if len(lanes):
                try:
                    env.send(np.array([action_of(lane, len(trace[lane])) for lane in lanes]), lanes)
                except KeyboardInterrupt:
                    pass  # the engine took them: they are in flight
                idle[lanes] = False
            if stop_at is not None and min(len(t) for t in trace) >= stop_at:
                return trace
            while True:
                try:
                    result = env.recv()
                    break
                except KeyboardInterrupt:
                    # The batch comes back from the next recv(): its lanes cannot be sent before.
                    with pytest.raises(RuntimeError, match="in flight"):
                        env.send(np.zeros(1, np.int64), rng.permutation(np.flatnonzero(~idle))[:1])
        obs = result[0]
        assert obs.shape == (env.batch_size, *env.single_observation_space.shape)
        for row, lane in enumerate(result[4]["env_id"]):
            trace[lane].append(lane_record(*result, row))
            idle[lane] = True
    return trace


def assert_same(expected, got, label, events=None):
    for lane in range(LANES):
        count = len(got[lane]) if events is None else events
        assert count <= len(expected[lane]), label
        for k in range(count):
            want, have = expected[lane][k], got[lane][k]
            where = f"{label}: lane {lane}, result {k}"
            np.testing.assert_array_equal(have[0], want[0], err_msg=where)
            assert have[1:4] == want[1:4], where
            assert have[4].keys() == want[4].keys(), where
            for name, value in want[4].items():
                np.testing.assert_array_equal(have[4][name], value, err_msg=f"{where}, {name}")


def ends_of(trace):
    return sum(record[2] or record[3] for lane in trace for record in lane)


# batch size, threads, sending order, start ("reset" / "async_reset"), step() instead of send/recv, Ctrl-C
ASYNC_RUNS = [
    (2, 2, 0, "reset", False, False),
    (4, 1, 1, "async_reset", False, True),
    (4, 2, 2, "async_reset", True, False),
    (3, 2, 5, "reset", True, False),
    (1, None, 3, "async_reset", False, False),
    (LANES, 2, 4, "reset", False, True),
]


@pytest.mark.parametrize("name", CONFIGS)
def test_every_path_gives_the_synchronous_steps_episodes(make, name):
    config, events = CONFIGS[name]
    first, second = sync_trace(make, config, 5, events), sync_trace(make, config, 9, events)
    assert ends_of(first) >= 2 * LANES, "the runs should end (and autoreset) episodes"
    if name != "time limit":  # some end by a lost life or at the goal, not at game over
        assert any(record[2] and record[4]["lives"] >= 0 for lane in first for record in lane)
    for batch_size, threads, order, start, use_step, ctrl_c in ASYNC_RUNS:
        label = f"{name}: batch_size {batch_size}, threads {threads}, {start}, step {use_step}, Ctrl-C {ctrl_c}"
        env = make(batch_size=batch_size, num_threads=threads, **config)
        rng = np.random.default_rng(order)
        if ctrl_c:
            env._engine = CtrlCAfterTheEngine(env._engine, rng)
        # A reset with lanes in flight cancels them; the run then starts again from it.
        cut = async_trace(env, rng, events, start, 5, stop_at=events // 2, use_step=use_step)
        assert_same(first, cut, label + ", before the reset")
        assert_same(second, async_trace(env, rng, events, start, 9, use_step=use_step), label, events)
        assert not ctrl_c or env._engine.interrupts > 0
        env.close()


@pytest.mark.parametrize("name", ["time limit", "life loss, level end", "episodic life"])
@pytest.mark.parametrize("mode", ["SAME_STEP", "DISABLED"])
def test_full_batches_and_the_sb3_adapter_step_as_step(make, rom_path, states, name, mode):
    config, events = CONFIGS[name]
    sync, lanes = make(autoreset_mode=mode, num_threads=1, **config), make(autoreset_mode=mode, num_threads=2, **config)
    sb3 = None
    if mode == "SAME_STEP":
        try:
            from tanuvex_turbo.sb3 import TurboSB3VecEnv
        except ImportError:
            pass  # without Stable-Baselines3 the adapter is checked by scripts/run-examples
        else:
            sb3 = TurboSB3VecEnv(
                rom_path,
                LANES,
                states=states,
                start_state=START_STATES,
                **SETTINGS,
                **config,
            )
            sb3.seed(2)
            np.testing.assert_array_equal(sb3.reset(), sync.reset(seed=2)[0])
    sync.reset(seed=2)
    lanes.reset(seed=2)
    ends = 0
    for k in range(events):
        actions = np.array([action_of(lane, k) for lane in range(LANES)])
        want = sync.step(actions)
        lanes.send(actions)
        got = lanes.recv()
        for a, b in zip(got[:4], want[:4]):
            np.testing.assert_array_equal(a, b, err_msg=f"step {k}")
        np.testing.assert_array_equal(got[4]["env_id"], np.arange(LANES))
        assert set(got[4]) - {"env_id"} == set(want[4])
        ended = want[2] | want[3]
        ends += int(ended.sum())
        for lane in np.flatnonzero(want[4].get("_final_obs", [])):
            np.testing.assert_array_equal(got[4]["final_obs"][lane], want[4]["final_obs"][lane])
        for key in ("x_pos", "lives"):
            np.testing.assert_array_equal(got[4][key], want[4][key])
            if "final_info" in want[4]:
                np.testing.assert_array_equal(got[4]["final_info"][key], want[4]["final_info"][key])
        if sb3 is not None:
            obs, rewards, dones, infos = sb3.step(actions)
            np.testing.assert_array_equal(obs, want[0])
            np.testing.assert_array_equal(rewards, want[1])
            np.testing.assert_array_equal(dones, ended)
            for lane in range(LANES):
                source = want[4]["final_info"] if ended[lane] else want[4]
                assert infos[lane]["x_pos"] == source["x_pos"][lane]
                if ended[lane]:
                    np.testing.assert_array_equal(infos[lane]["terminal_observation"], want[4]["final_obs"][lane])
        if mode == "DISABLED" and ended.any():
            expected = sync.reset(options={"reset_mask": ended})[0]
            np.testing.assert_array_equal(lanes.reset(options={"reset_mask": ended})[0], expected)
    assert ends >= LANES


def test_misuse_is_refused_and_changes_nothing(make):
    with pytest.raises(ValueError, match="batch_size must be in 1..num_envs"):
        make(batch_size=LANES + 1)
    for odd in (1.5, True):
        with pytest.raises(TypeError, match="batch_size must be an integer"):
            make(batch_size=odd)
    env = make(batch_size=2)
    for call in (env.reset, env.async_reset):  # a refused reset leaves the start states as they were
        with pytest.raises(ValueError, match="unknown reset options: bogus"):
            call(options={"state": "level", "bogus": 1})
        with pytest.raises(ValueError, match="unknown start state"):
            call(seed=3, options={"states": ["level"] * (LANES - 1) + ["nowhere"]})
        assert env.start_states == [4, 1, 3, 0, 2, 4]
    with pytest.raises(ValueError, match="one action to each of the 6 lanes not in flight"):
        env.reset(seed=0) and env.step(np.zeros(2, np.int64))
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
        engine.step_recv_into(np.zeros(3, np.int32), *[np.zeros(3, a.dtype) for a in env._lanes.recv_outputs])
    with pytest.raises(RuntimeError) as refused:
        engine.ram_into(np.zeros(engine.ram_shape(), np.uint8))
    assert str(refused.value) == IN_FLIGHT
    with pytest.raises(RuntimeError, match="lanes are in flight"):
        env.clone_states()
    with pytest.raises(ValueError, match="obs must be the array the lanes in flight were sent with"):
        engine.step_send(np.array([0], np.int32), np.zeros(1, np.uint8), np.zeros_like(env._obs), env._lanes.ring)
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


def test_cancelled_lanes_are_reset_before_they_step_again(rom_path, states):
    """A reset of some lanes cancels the others in flight: their unseen step ends their episode."""
    env = TurboVectorEnv(rom_path, 4, states=states, start_state="level", batch_size=2, num_threads=2)
    first, _ = env.reset(seed=0)
    right = np.full(4, 3)  # right+A in the simple action set: the player moves
    env.step(right)  # every lane is sent, two come back
    back = env.step(right[:2])[4]["env_id"]
    in_flight = np.flatnonzero(~np.isin(np.arange(4), back))
    env.reset(options={"reset_mask": np.arange(4) == back[0]})  # cancels the lanes in flight
    env.send(right[: len(in_flight)], in_flight)
    obs, rewards, terminated, truncated, info = env.recv()
    for row, lane in enumerate(info["env_id"]):
        assert rewards[row] == 0 and not terminated[row] and not truncated[row]
        np.testing.assert_array_equal(obs[row], first[lane])
    # The engine itself: a lane that ended while in flight is pending reset after a cancel.
    doomed = TurboVectorEnv(rom_path, 2, states=states, start_state="doomed", batch_size=1)
    doomed.reset(seed=0)
    engine = doomed.engine
    engine.step_send(np.array([0], np.int32), np.zeros(1, np.uint8), doomed._obs, doomed._lanes.ring)
    engine.step_cancel()
    with pytest.raises(RuntimeError, match="lane 0 ended and is pending reset; send it a reset"):
        engine.step_send(np.array([0], np.int32), np.zeros(1, np.uint8), doomed._obs, doomed._lanes.ring)


def test_a_second_thread_is_refused_and_the_lanes_stay_in_step(make):
    import threading

    env = make(batch_size=2, num_threads=2, max_episode_steps=None)
    env.reset(seed=0)
    refusals, errors = [], []

    def caller(seed):
        rng = np.random.default_rng(seed)
        for _ in range(150):
            try:
                if rng.random() < 0.5:
                    env.send(np.zeros(2, np.int64), rng.choice(LANES, 2, replace=False))
                else:
                    env.recv()
            except RuntimeError as error:
                (refusals if "another thread" in str(error) else errors).append(str(error))
            except ValueError as error:
                errors.append(str(error))

    threads = [threading.Thread(target=caller, args=(seed,)) for seed in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert refusals, "the threads never met"
    assert all("in flight" in error for error in errors), errors
    # The wrapper and the engine agree on what is in flight: draining it, then every lane goes again.
    delivered = 0
    while env.engine.step_in_flight():
        delivered += len(env.recv()[4]["env_id"])
    assert delivered % 2 == 0
    env.send(np.zeros(LANES, np.int64), np.arange(LANES))
    assert sorted(np.concatenate([env.recv()[4]["env_id"] for _ in range(3)])) == list(range(LANES))
