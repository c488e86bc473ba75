"""The compiled step of TurboVectorEnv.xla() against step(), bit for bit.

The same seeds and actions run through step() and through the jitted
``xla()`` step in ``lax.scan``: observations, rewards, flags and every info
value must be equal at every step, for every observation type and episode
option. The handles are refused after close() and while the engine is in
use, and vmap is refused.
"""

from __future__ import annotations

import gzip

import numpy as np
import pytest
from env_support import LIVES_ADDRESS, with_ram

jax = pytest.importorskip("jax", reason="TurboVectorEnv.xla() needs JAX: pip install 'tanuvex_turbo[jax]'")
pytest.importorskip("gymnasium")

from tanuvex_turbo import TurboVectorEnv, _tanuvex_turbo  # noqa: E402

if not hasattr(_tanuvex_turbo, "_xla_targets"):
    pytest.skip("the extension was built without the XLA handlers (no JAX at build time)", allow_module_level=True)

jnp = jax.numpy
STEPS = 300
PLAYER_TASK, TIMER_DIGITS = 0x000E, (0x07F8, 0x07F9, 0x07FA)

# Lanes that play on for the whole run (nine lives, no flag in reach) and
# lanes whose episodes end early (game over at once, the goal at once, a
# life lost to the timer about 60 steps in).
PLAYING = ["level", "castle", "level", "castle"]
ENDING = ["timer", "doomed", "goal", "level"]

CASES = [
    pytest.param(dict(), PLAYING, id="defaults"),
    pytest.param(
        dict(obs_type="rgb", frame_maxpool=True, crop_top=32, resize_width=60, resize_height=56, frame_stack=2),
        PLAYING,
        id="rgb-maxpool",
    ),
    pytest.param(
        dict(obs_type="ram", sticky_action_prob=0.25, noop_reset_max=6, extra_info=["y_pos", "enemy_x_pos"]),
        PLAYING,
        id="ram-sticky-extra",
    ),
    pytest.param(dict(obs_type="tiles", frame_stack=2, batch_size=2, num_threads=1), PLAYING, id="tiles-send-recv"),
    pytest.param(dict(observations=False, action_set="full"), PLAYING, id="no-observations-full"),
    pytest.param(dict(), ENDING, id="autoreset-next-step"),
    pytest.param(dict(max_episode_steps=40), PLAYING, id="time-limit"),
    pytest.param(dict(end_on_life_loss=True), ENDING, id="end-on-life-loss"),
    pytest.param(dict(episodic_life=True, progress_info=True), ENDING, id="episodic-life"),
    pytest.param(dict(end_on_level_end=True, frame_stack=2, obs_type="tiles"), ENDING, id="level-end"),
    pytest.param(
        dict(obs_type="tiles", batch_size=2, num_threads=1, max_episode_steps=30), ENDING, id="send-recv-ends"
    ),
]


@pytest.fixture(scope="module")
def states(states_dir):
    def image(name):
        return gzip.decompress((states_dir / f"{name}.state").read_bytes())

    level = image("1-1")
    return {
        "level": with_ram(level, {LIVES_ADDRESS: 9}),
        "castle": with_ram(image("1-4"), {LIVES_ADDRESS: 9}),
        "doomed": with_ram(level, {LIVES_ADDRESS: 0xFF}),
        "goal": with_ram(level, {PLAYER_TASK: 0x04}),
        "timer": with_ram(level, dict(zip(TIMER_DIGITS, (0, 0, 1)))),
    }


def stacked(steps):
    """(obs, reward, terminated, truncated, info) over the steps, each stacked on a leading step axis."""
    arrays = [np.stack([s[i] for s in steps]) for i in range(4)]
    info = {name: np.stack([s[4][name] for s in steps]) for name in steps[0][4] if not name.startswith(("_", "final"))}
    return (*arrays, info)


@pytest.mark.parametrize(("options", "starts"), CASES)
def test_compiled_step_equals_step(rom_path, states, options, starts):
    kwargs = dict(num_envs=len(starts), states=states, start_state=starts, action_set="right_only", seed=7)
    kwargs.update(options)
    reference, compiled = TurboVectorEnv(rom_path, **kwargs), TurboVectorEnv(rom_path, **kwargs)
    assert np.array_equal(reference.reset(seed=5)[0], compiled.reset(seed=5)[0])
    n, batch = reference.num_envs, reference.batch_size
    rng = np.random.default_rng(3)
    first = rng.integers(0, reference.single_action_space.n, n).astype(np.int32)
    actions = rng.integers(0, reference.single_action_space.n, (STEPS, batch)).astype(np.int32)
    if batch == n:
        expected = stacked([reference.step(a) for a in actions])
    else:  # every lane sent, then each receive's lanes sent again (one thread: they come back in order)
        reference.send(first)
        steps = []
        for a in actions:
            steps.append(reference.recv())
            reference.send(a, steps[-1][4]["env_id"])
        expected = stacked(steps)

    handle, recv, send, step = compiled.xla()

    @jax.jit
    def run(handle, first, actions):
        if batch == n:
            return jax.lax.scan(lambda h, a: step(h, a), handle, actions)

        def body(h, a):
            h, out = recv(h)
            return send(h, a, out[4]["env_id"]), out

        return jax.lax.scan(body, send(handle, first), actions)

    _, got = jax.device_get(run(handle, first, actions))
    for name, want, have in zip(("obs", "reward", "terminated", "truncated"), expected, got):
        assert have.dtype == want.dtype and np.array_equal(have, want), name
    assert set(got[4]) == set(expected[4])
    for name, want in expected[4].items():
        have = got[4][name]
        assert np.array_equal(have.astype(want.dtype), want) and have.dtype.itemsize <= 4, name
    if batch == n:  # the compiled run stepped the Python environment's own lanes: both go on alike
        assert np.array_equal(reference.step(actions[0])[0], compiled.step(actions[0])[0])


def test_handles_are_refused_when_busy_closed_or_vmapped(rom_path, states):
    same_step = TurboVectorEnv(rom_path, num_envs=2, states=states, autoreset_mode="SAME_STEP")
    same_step.reset(seed=1)
    with pytest.raises(NotImplementedError, match="final observation"):
        same_step.xla()
    env = TurboVectorEnv(rom_path, num_envs=2, states=states, start_state="level", seed=1)
    env.reset(seed=1)
    handle, _, _, step = env.xla()
    actions = jnp.zeros(2, jnp.int32)
    with pytest.raises(ValueError, match="vmap"):
        jax.vmap(lambda a: step(handle, a)[1][1])(jnp.zeros((3, 2), jnp.int32))
    with pytest.raises(Exception, match="outside the action set"):
        jax.block_until_ready(step(handle, jnp.full(2, 99, jnp.int32)))
    env.engine.step_send(np.arange(2, dtype=np.int32), np.zeros(2, np.uint8), env._obs)  # lanes in flight
    with pytest.raises(Exception, match="in use by another call"):
        jax.block_until_ready(step(handle, actions))
    env.engine.step_cancel()
    handle, (obs, *_) = step(handle, actions)
    assert obs.shape == env.observation_space.shape
    env.close()
    with pytest.raises(Exception, match="closed"):
        jax.block_until_ready(step(handle, actions))
