"""RayVectorEnv: lanes sharded over Ray actors behave bit for bit as in one
process, through autoresets, masked resets and clones restored across actors."""

from __future__ import annotations

import os
import signal
import time
import types

import numpy as np
import pytest

pytest.importorskip("gymnasium")
ray = pytest.importorskip("ray", reason="needs Ray: pip install 'tanuvex_turbo[ray]'")

from tanuvex_turbo import TurboVectorEnv  # noqa: E402
from tanuvex_turbo.ray import LanesLostError, RayVectorEnv, shard_sizes  # noqa: E402

N = 5  # two shards: lanes 0-2 and 3-4
CONFIG = dict(
    action_set="simple",
    sticky_action_prob=0.25,
    noop_reset_max=6,
    max_episode_steps=9,
    extra_info=["y_pos", "enemy_x_pos"],
    start_state=["1-1", "8-1", "1-1", "4-1", "1-1"],
    seed=3,
)


@pytest.fixture(scope="module")
def local_ray():
    # This machine allows network traffic to the loopback address only.
    ray.init(num_cpus=2, include_dashboard=False, _node_ip_address="127.0.0.1")
    # Ray's servers listen on each node's address: it must be the loopback one.
    assert {node["NodeManagerAddress"] for node in ray.nodes()} == {"127.0.0.1"}
    yield
    ray.shutdown()


def assert_same(actual, expected, where):
    if isinstance(expected, dict):
        assert list(actual) == list(expected), where
        for key in expected:
            assert_same(actual[key], expected[key], f"{where}[{key!r}]")
    elif isinstance(expected, np.ndarray) and expected.dtype == object:
        assert actual.dtype == object and len(actual) == len(expected), where
        for a, e in zip(actual, expected):
            assert (a is None and e is None) or np.array_equal(a, e), where
    elif isinstance(expected, (tuple, list)):
        assert len(actual) == len(expected), where
        for i, (a, e) in enumerate(zip(actual, expected)):
            assert_same(a, e, f"{where}[{i}]")
    else:
        assert actual.dtype == expected.dtype and np.array_equal(actual, expected), where


def test_shards_are_contiguous_and_balanced():
    assert shard_sizes(5, 2) == [3, 2] and shard_sizes(8, 3) == [3, 3, 2] and shard_sizes(4, 4) == [1] * 4
    with pytest.raises(ValueError, match="num_actors"):
        shard_sizes(2, 3)


@pytest.mark.parametrize("mode, obs_type", [("NextStep", "grayscale"), ("SameStep", "tiles"), ("NextStep", "ram")])
def test_actors_equal_one_process(local_ray, rom_path, states_dir, mode, obs_type):
    config = dict(CONFIG, autoreset_mode=mode, obs_type=obs_type)
    local = TurboVectorEnv(rom_path, N, states=states_dir, num_threads=1, **config)
    remote = RayVectorEnv(rom_path, N, num_actors=2, states=states_dir, **config)
    assert remote.single_observation_space == local.single_observation_space
    both = (remote, local)
    rng = np.random.default_rng(1)

    def same(call, where):
        assert_same(call(remote), call(local), where)

    def steps(count, where):
        for step in range(count):
            actions = rng.integers(0, 7, N)
            same(lambda env: env.step(actions), f"{where} step {step}")  # noqa: B023 (called at once)

    same(lambda env: env.reset(seed=11), "reset")
    steps(5, "first episode")
    # Only lane 1 restarts: its episode (and time limit) is out of step with the others.
    same(
        lambda env: env.reset(
            seed=[None, 5, None, None, None], options={"reset_mask": np.array([False, True, False, False, False])}
        ),
        "masked reset",
    )
    steps(12, "staggered")

    clones = [env.clone_states(np.array([True, False, False, False, True])) for env in both]
    assert clones[0] == clones[1] and clones[0][1] is None
    # Lane 0's clone goes to the other actor's lane 4 and lane 4's to lane 1.
    swapped = [None, clones[0][4], None, None, clones[0][0]]
    damaged = [None, clones[0][4], None, None, clones[0][0][:-3]]
    with pytest.raises(ValueError, match="saved state of lane 4 is damaged: its checksum does not match"):
        remote.restore_states(damaged)
    steps(1, "after the refused restore")
    same(lambda env: env.restore_states(swapped), "restore")
    steps(10, "after restore")
    assert remote.start_states == local.start_states
    remote.close()


def test_refusals_reach_the_caller_as_they_are_raised(local_ray, rom_path, states_dir):
    # A refused argument, checked by the driver or raised inside an actor, comes back as one process raises it.
    for refused in ({"start_state": "9-9"}, {"frame_skip": 0}):
        with pytest.raises(ValueError) as local:
            TurboVectorEnv(rom_path, 2, states=states_dir, **refused)
        with pytest.raises(ValueError) as remote:
            RayVectorEnv(rom_path, 2, num_actors=2, states=states_dir, **refused)
        assert type(remote.value) is ValueError and str(remote.value) == str(local.value)
    with pytest.raises(ValueError, match="^num_envs must be an integer from 1 to 65536, got -1$"):
        RayVectorEnv(rom_path, -1)
    # More CPUs than the node has: refused at once instead of waiting for ever.
    with pytest.raises(RuntimeError, match=r"needs 4 CPUs for 2 actors \(num_cpus 2, 2\), .* free of 2: "):
        RayVectorEnv(rom_path, 2, num_actors=2, states=states_dir, actor_options={"num_cpus": 2})
    # With its placement left to a scheduling strategy, an actor Ray cannot place is named after the timeout.
    late = r"did not answer within 5 s: (actor 0 \(lanes 0..0\), )?actor 1 \(lanes 1..1\);"
    with pytest.raises(TimeoutError, match=late):
        RayVectorEnv(
            rom_path,
            2,
            num_actors=2,
            states=states_dir,
            start_timeout=5,
            actor_options=[{}, {"num_cpus": 3, "scheduling_strategy": "DEFAULT"}],
        )


@pytest.fixture
def ray_envs(local_ray, rom_path, states_dir):
    """Builds RayVectorEnvs of 3 lanes on 2 actors (lanes 0-1 and 2), closed at the end of the test."""
    made = []

    def make(**kwargs):
        made.append(RayVectorEnv(rom_path, 3, num_actors=2, states=states_dir, num_threads=1, **kwargs))
        return made[-1]

    yield make
    for env in made:
        env.close()
    # Ray frees a killed actor's CPU a moment later: the next test's actors need both.
    deadline = time.monotonic() + 60
    while ray.available_resources().get("CPU", 0) < 2 and time.monotonic() < deadline:
        time.sleep(0.1)


def kill(env, shard):
    """Kills the process of the actor of ``shard``, as the system would (out of memory, say)."""
    pid = ray.get(env._actors[shard].__ray_call__.remote(lambda _: os.getpid()))
    os.kill(pid, signal.SIGKILL)


@pytest.mark.parametrize("mode", ["NextStep", "SameStep", "Disabled"])
def test_a_dead_actor_is_replaced_and_its_episodes_truncated(ray_envs, rom_path, states_dir, mode):
    # No random stream in play: a lane reset to a start state always looks the same.
    kw = dict(action_set="simple", start_state="1-1", autoreset_mode=mode)
    remote = ray_envs(restart_dead_actors=True, start_timeout=60, **kw)
    local = TurboVectorEnv(rom_path, 3, states=states_dir, num_threads=1, **kw)
    fresh = TurboVectorEnv(rom_path, 1, states=states_dir, **{**kw, "start_state": "4-1"})  # lane 2 as its new actor
    for env in (remote, local):
        env.reset(seed=0)
        env.reset(options={"states": [None, None, "4-1"], "reset_mask": np.array([False, False, True])})
    new_obs, _ = fresh.reset()
    starts = remote.start_states
    rng = np.random.default_rng(2)

    def step_both():
        actions = rng.integers(0, 7, 3)
        results = remote.step(actions), local.step(actions)
        for got, expected in zip(results[0][:4], results[1][:4]):  # the live actor's lanes: as in one process
            assert np.array_equal(got[:2], expected[:2])
        return actions, results[0]

    for _ in range(4):
        _, (last_obs, *_, last_info) = step_both()
    kill(remote, 1)
    _, (obs, rewards, terminated, truncated, info) = step_both()
    assert (rewards[2], terminated[2], truncated[2]) == (0, False, True) and remote.actor_restarts == 1
    if mode == "SameStep":
        assert np.array_equal(obs[2], new_obs[0]) and info["_final_obs"][2] and info["_final_info"][2]
        assert np.array_equal(info["final_obs"][2], last_obs[2])
        assert info["final_info"]["x_pos"][2] == last_info["x_pos"][2] and info["final_info"]["_x_pos"][2]
    else:
        assert np.array_equal(obs[2], last_obs[2]) and info["x_pos"][2] == last_info["x_pos"][2]
    if mode == "NextStep":  # the step after: the new episode's first observation, the action ignored
        _, (obs, rewards, terminated, truncated, _) = step_both()
        assert np.array_equal(obs[2], new_obs[0]) and (rewards[2], terminated[2], truncated[2]) == (0, False, False)
    if mode == "Disabled":
        with pytest.raises(RuntimeError, match="reset"):
            remote.step(np.zeros(3, np.int64))
        lane_2 = {"reset_mask": np.array([False, False, True])}
        obs, _ = remote.reset(options=lane_2)
        local.reset(options=lane_2)
        assert np.array_equal(obs[2], new_obs[0])
    for _ in range(3):  # the new lane plays on as a lane started there
        actions, (obs, rewards, *_) = step_both()
        expected_obs, expected_rewards, *_ = fresh.step(actions[2:])
        assert np.array_equal(obs[2], expected_obs[0]) and rewards[2] == expected_rewards[0]
    assert remote.start_states == starts


def test_a_new_actor_that_dies_at_once_is_replaced_in_turn(ray_envs):
    env = ray_envs(restart_dead_actors=True, start_timeout=60)
    env.reset(seed=0)
    spawn, doomed = env._actor_class, [2]  # the first two new actors die as they start

    class Doomed:
        def options(self, **options):
            def remote(*arguments):
                actor = spawn.options(**options).remote(*arguments)
                if doomed[0]:
                    doomed[0] -= 1
                    ray.kill(actor)
                return actor

            return types.SimpleNamespace(remote=remote)

    env._actor_class = Doomed()
    kill(env, 1)
    assert env.step(np.zeros(3, np.int64))[3].tolist() == [False, False, True]
    assert env.actor_restarts == 3
    env.step(np.zeros(3, np.int64))  # the first observation of the new episode
    doomed[0] = 4  # a shard whose every new actor dies is lost, named
    kill(env, 1)
    with pytest.raises(LanesLostError, match=r"^Ray actor 1 \(lanes 2..2, .*none of 4 new actors could") as lost:
        env.step(np.zeros(3, np.int64))
    assert lost.value.lanes == [2] and not lost.value.restarted and env.actor_restarts == 7


def test_a_dead_actor_without_restarts_is_named_by_every_call(ray_envs):
    env = ray_envs()
    env.reset(seed=0)
    kill(env, 0)
    for call in (lambda: env.step(np.zeros(3, np.int64)), env.reset, env.clone_states):
        with pytest.raises(LanesLostError, match=r"^Ray actor 0 \(lanes 0..1, ActorDiedError\) died") as lost:
            call()
        assert lost.value.lanes == [0, 1] and not lost.value.restarted


def test_a_death_found_by_another_call_is_reported_by_the_next_step_unless_a_reset_came_first(ray_envs):
    env = ray_envs(restart_dead_actors=True, start_timeout=60)
    env.reset(seed=0)
    lane_2 = np.array([False, False, True])
    for reset_first in (False, True):
        kill(env, 1)
        with pytest.raises(LanesLostError, match=r"^Ray actor 1 \(lanes 2..2, .*during clone_states\(\); new") as lost:
            env.clone_states()
        assert lost.value.lanes == [2] and lost.value.restarted
        if reset_first:
            env.reset(options={"reset_mask": lane_2})
        truncated = env.step(np.zeros(3, np.int64))[3]
        assert truncated.tolist() == [False, False, not reset_first]
        env.step(np.zeros(3, np.int64))  # the first observation of the new episode
    assert env.actor_restarts == 2
