"""RayVectorEnv: lanes sharded over Ray actors behave bit for bit as in one
process, through autoresets, masked resets and clones restored across actors."""

from __future__ import annotations

import numpy as np
import pytest

pytest.importorskip("gymnasium")
ray = pytest.importorskip("ray", reason="needs Ray: pip install 'tanuvex_turbo[ray]'")

from tanuvex_turbo import TurboVectorEnv  # noqa: E402
from tanuvex_turbo.ray import RayVectorEnv, shard_sizes  # noqa: E402

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


@pytest.mark.parametrize("mode", ["NextStep", "SameStep"])
def test_actors_equal_one_process(local_ray, rom_path, states_dir, mode):
    local = TurboVectorEnv(rom_path, N, states=states_dir, autoreset_mode=mode, num_threads=1, **CONFIG)
    remote = RayVectorEnv(rom_path, N, num_actors=2, states=states_dir, autoreset_mode=mode, **CONFIG)
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
    # A refused argument, raised inside an actor, comes back as one process raises it.
    with pytest.raises(ValueError) as local:
        TurboVectorEnv(rom_path, 2, states=states_dir, start_state="9-9")
    with pytest.raises(ValueError) as remote:
        RayVectorEnv(rom_path, 2, num_actors=2, states=states_dir, start_state="9-9")
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
