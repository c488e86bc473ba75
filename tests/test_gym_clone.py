"""TurboVectorEnv.clone_states / restore_states: a lane cloned in one
environment plays on identically in another lane of another environment."""

from __future__ import annotations

import numpy as np
import pytest

pytest.importorskip("gymnasium")

from tanuvex_turbo import TurboVectorEnv  # noqa: E402

STEPS = 12
# Sticky actions and no-op resets make the lanes' random streams matter.
CONFIG = dict(action_set="simple", sticky_action_prob=0.25, noop_reset_max=8, num_threads=1)


@pytest.fixture
def make(rom_path, states_dir):
    def build(num_envs=3, **kwargs):
        return TurboVectorEnv(rom_path, num_envs, states=states_dir, **CONFIG, **kwargs)

    return build


def test_a_clone_plays_on_identically_in_another_environment_and_lane(make):
    rng = np.random.default_rng(5)
    source = make()
    obs, _ = source.reset(seed=1)
    for _ in range(30):
        obs, *_ = source.step(rng.integers(0, 7, 3))
    clones = source.clone_states(np.array([False, True, False]))
    assert clones[0] is None and clones[2] is None and isinstance(clones[1], bytes)
    cloned_obs = obs[1]
    plan = rng.integers(0, 7, (STEPS, 3))
    expected = [source.step(actions) for actions in plan]

    # The target's lanes all ended by its time limit: a restored lane must
    # start a new episode there instead of being reset by the next step.
    target = make(max_episode_steps=STEPS + 1)
    target.reset(seed=77)
    for _ in range(STEPS + 1):
        target.step(np.zeros(3, np.int64))
    obs, info = target.restore_states([clones[1], None, None])
    assert np.array_equal(obs[0], cloned_obs)
    assert list(info["_x_pos"]) == [True, False, False]
    for actions, (e_obs, e_reward, e_term, e_trunc, e_info) in zip(plan, expected):
        obs, reward, term, trunc, info = target.step(np.array([actions[1], 0, 0]))
        assert np.array_equal(obs[0], e_obs[1])
        assert (reward[0], term[0], trunc[0]) == (e_reward[1], e_term[1], e_trunc[1])
        assert info["x_pos"][0] == e_info["x_pos"][1] and info["time"][0] == e_info["time"][1]
    assert e_info["x_pos"][1] > 0 and not trunc[0]


def test_refusals_change_nothing(make):
    env = make(2)
    with pytest.raises(RuntimeError, match="reset"):
        env.clone_states()
    env.reset(seed=3)
    env.step(np.ones(2, np.int64))
    blob = env.clone_states()[0]
    ram_before = np.zeros(env.engine.ram_shape(), np.uint8)
    env.engine.ram_into(ram_before)
    for states, error, text in [
        ([blob[:-1], None], ValueError, "portable snapshot is truncated at machine"),
        ([None, None], ValueError, "at least one"),
        ([blob], ValueError, "one entry per lane"),
        (blob, TypeError, "sequence"),
    ]:
        with pytest.raises(error, match=text):
            env.restore_states(states)
    with pytest.raises(ValueError, match="select at least one lane"):
        env.clone_states(np.zeros(2, np.bool_))
    with pytest.raises(ValueError, match="2 booleans"):
        env.clone_states([True])
    ram_after = np.zeros_like(ram_before)
    env.engine.ram_into(ram_after)
    assert np.array_equal(ram_before, ram_after)
    obs, _ = env.restore_states([blob, blob])
    assert np.array_equal(obs[0], obs[1])
