"""TurboVectorEnv.clone_states / restore_states: a lane cloned in one
environment plays on identically in another lane of another environment."""

from __future__ import annotations

import hashlib
import struct
import zlib

import numpy as np
import pytest

pytest.importorskip("gymnasium")

from tanuvex_turbo import TurboVectorEnv  # noqa: E402
from tanuvex_turbo.game.fields import INFO_FIELDS  # noqa: E402
from tanuvex_turbo.game.lane_states import MAGIC, MAGIC_V1, pack_lane_state, unpack_lane_state  # noqa: E402

STEPS = 12
INFO = [name for name, _ in INFO_FIELDS]
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
        obs, *_, cloned_info = source.step(rng.integers(0, 7, 3))
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
    # The game values are the restored lane's, not those of the lane it replaced.
    assert {k: v[0] for k, v in info.items() if k in INFO} == {k: cloned_info[k][1] for k in INFO}
    for actions, (e_obs, e_reward, e_term, e_trunc, e_info) in zip(plan, expected):
        obs, reward, term, trunc, info = target.step(np.array([actions[1], 0, 0]))
        assert np.array_equal(obs[0], e_obs[1])
        assert (reward[0], term[0], trunc[0]) == (e_reward[1], e_term[1], e_trunc[1])
        assert info["x_pos"][0] == e_info["x_pos"][1] and info["time"][0] == e_info["time"][1]
    assert e_info["x_pos"][1] > 0 and not trunc[0]


def test_damaged_or_malformed_states_are_refused_and_change_nothing(make):
    env = make(2)
    with pytest.raises(RuntimeError, match="reset"):
        env.clone_states()
    env.reset(seed=3)
    env.step(np.ones(2, np.int64))
    blob = env.clone_states()[0]
    envelope = env.engine.capture_snapshots(env._obs, np.array([True, False]))[0].to_bytes()
    assert blob.startswith(MAGIC) and len(blob) * 4 < len(envelope)  # compressed
    ram_before, obs_before = engine_ram(env), env._obs.copy()
    # One flipped bit anywhere, a byte cut off or added: refused before any lane changes.
    for at in range(len(blob)):
        damaged = bytearray(blob)
        damaged[at] ^= 1 << (at % 8)
        with pytest.raises(ValueError, match="damaged|invalid magic|unknown version"):
            env.restore_states([blob, bytes(damaged)])
    for states, error, text in [
        ([blob[:-1], None], ValueError, "^saved state of lane 0 is damaged: its checksum does not match$"),
        ([blob + b"\0", None], ValueError, "^saved state of lane 0 is damaged"),
        ([blob[:20], None], ValueError, "^saved state of lane 0 is truncated: 20 bytes$"),
        ([None, envelope[:-1]], ValueError, "^portable snapshot is truncated at machine"),
        ([None, None], ValueError, "at least one"),
        ([blob], ValueError, "one entry per lane"),
        (blob, TypeError, "sequence"),
        ([blob, 10**12], TypeError, "^states\\[1\\] must be bytes or None, got int$"),
    ]:
        with pytest.raises(error, match=text):
            env.restore_states(states)
    with pytest.raises(ValueError, match="select at least one lane"):
        env.clone_states(np.zeros(2, np.bool_))
    with pytest.raises(ValueError, match="2 booleans"):
        env.clone_states([True])
    assert np.array_equal(engine_ram(env), ram_before) and np.array_equal(env._obs, obs_before)
    # The engine's own envelope (the form saved before the checked one) still loads, as the same lane.
    obs, _ = env.restore_states([blob, bytearray(envelope)])
    assert np.array_equal(obs[0], obs[1]) and np.array_equal(engine_ram(env)[0], engine_ram(env)[1])


# Configurations whose observations have the same size but not the same content.
SAME_SIZE = [
    ({}, {"frame_skip": 2}),
    ({}, {"crop_top": 16}),
    ({}, {"crop_left": 8}),
    ({"crop_right": 8}, {"crop_right": 8, "crop_mode": "mask"}),
    ({"crop_right": 8, "crop_mode": "mask"}, {"crop_right": 8, "crop_mode": "mask", "crop_fill": 9}),
    ({}, {"frame_maxpool": True}),
    ({}, {"resize_algorithm": "nearest"}),
    ({"frame_stack": 3}, {"frame_stack": 1, "grayscale": False}),
    # A picture of the same shape as the work RAM or the tile view.
    ({"obs_type": "ram", "frame_stack": 1}, {"frame_stack": 1, "resize_width": 2048, "resize_height": 1}),
    ({"frame_stack": 1, "resize_width": 32, "resize_height": 38}, {"obs_type": "tiles", "frame_stack": 1}),
    # Only drawing differs: what observations=False sets, with observations drawn.
    (
        {"observations": False},
        {"frame_stack": 1, "resize_width": 1, "resize_height": 1, "resize_algorithm": "nearest"}
        | {"crop_top": 223, "crop_left": 239},
    ),
]


@pytest.mark.parametrize("saved_under, restored_under", SAME_SIZE)
def test_a_lane_saved_under_another_observation_configuration_is_refused(make, saved_under, restored_under):
    source, twin, target = make(2, **saved_under), make(2, **restored_under), make(2, **restored_under)
    assert source.single_observation_space == target.single_observation_space
    for env, seed in ((source, 1), (twin, 2), (target, 3)):
        env.reset(seed=seed)
        env.step(np.full(2, 1))
    foreign = source.clone_states()[0]
    own = twin.clone_states()[1]
    ram_before, obs_before = engine_ram(target), target._obs.copy()
    refused = "^saved state of lane 1 was saved under another observation configuration"
    for state in (foreign, source.save_states()[0]):
        with pytest.raises(ValueError, match=refused):
            target.restore_states([own, state])  # the good lane is not restored either
    assert np.array_equal(engine_ram(target), ram_before) and np.array_equal(target._obs, obs_before)
    # A lane of the same configuration, from another environment, restores as it was.
    obs, _ = target.restore_states([own, None])
    assert np.array_equal(obs[0], twin._obs[1]) and np.array_equal(engine_ram(target)[0], engine_ram(twin)[1])


def test_checked_bytes_of_the_first_version_still_restore(make):
    env = make(2)
    env.reset(seed=3)
    env.step(np.ones(2, np.int64))
    envelope = env.engine.capture_snapshots(env._obs, np.array([True, False]))[0].to_bytes()
    stream = zlib.compress(envelope)
    head = MAGIC_V1 + struct.pack("<I", len(envelope))  # no fingerprint: written before it existed
    first_version = head + hashlib.blake2b(head + stream, digest_size=16).digest() + stream
    other = make(2)
    other.reset(seed=4)
    obs, _ = other.restore_states([first_version, env.clone_states()[0]])
    assert np.array_equal(obs[0], env._obs[0]) and np.array_equal(obs[1], env._obs[0])
    assert np.array_equal(engine_ram(other)[0], engine_ram(env)[0])
    with pytest.raises(ValueError, match="^saved state of lane 0 has an unknown version"):
        other.restore_states([b"TTLANE3\x00" + first_version[8:], None])


def test_checked_states_whose_checksum_holds_but_whose_contents_do_not_are_refused():
    # Well formed, checksum right, but it would unpack to far more than a lane: refused before inflating.
    tag = bytes(8)
    huge = pack_lane_state(bytes(1 << 22), tag)
    with pytest.raises(ValueError, match="^saved state of lane 2 unpacks to 4194304 bytes, more than a lane"):
        unpack_lane_state(huge, 2, 28224, tag)
    assert unpack_lane_state(pack_lane_state(b"x" * 1000, tag), 0, 28224, tag) == b"x" * 1000
    # The bound is one lane observation and 64 KiB for the console, to the byte.
    room = 28224 + 65536
    assert len(unpack_lane_state(pack_lane_state(bytes(room), tag), 0, 28224, tag)) == room
    with pytest.raises(ValueError, match=f"^saved state of lane 0 unpacks to {room + 1} bytes"):
        unpack_lane_state(pack_lane_state(bytes(room + 1), tag), 0, 28224, tag)

    def sealed(length, stream):  # the documented layout of version 1, checksum over a stream of our choice
        head = MAGIC_V1 + struct.pack("<I", length)
        return head + hashlib.blake2b(head + stream, digest_size=16).digest() + stream

    whole = zlib.compress(b"x" * 1000)
    for length, stream in [(1000, whole + b"more"), (1000, whole[:-4]), (999, whole), (1001, whole), (0, whole)]:
        with pytest.raises(ValueError, match="^saved state of lane 0 is damaged: its data does not unpack to"):
            unpack_lane_state(sealed(length, stream), 0, 28224, tag)


def engine_ram(env):
    out = np.zeros(env.engine.ram_shape(), np.uint8)
    env.engine.ram_into(out)
    return out
