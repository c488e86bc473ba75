"""Observation types: the two picture names, the work RAM and the tile view.

Each type's slots hold what the documentation says at the end of every reset
and step, stacked like pictures; a lane's observations do not depend on how
it was stepped (all lanes or masked, synchronously or not, on one thread or
two, or replayed from a snapshot). That the tile grid names the tiles the
renderer draws is checked natively, on real frames (tests/native/test_tile_view.cpp).
"""

from __future__ import annotations

import numpy as np
import pytest
from env_support import STEP_OUTPUTS, ram_of

from tanuvex_turbo import cli

LANES = 4
STEPS = 8
START_STATES = ["1-1", "2-1-bonus-easy", "4-1", "1-4"]  # one per lane: level starts, a scrolling bonus area
SHAPES = {"ram": (1, 2048), "tiles": (38, 32)}


@pytest.fixture
def starts(catalog):
    names = catalog["state_catalog_names"]
    return np.array([names.index(name) for name in START_STATES], np.int32)


def actions_at(step):
    """Running right and jumping at different times on each lane."""
    return np.array([0x80 | (0x01 if (step + lane) % 3 == 0 else 0) for lane in range(LANES)], np.uint8)


class Lanes:
    """An engine, its observation array and step outputs, with every lane at its own start state."""

    def __init__(self, make_env, catalog, starts, **kwargs):
        self.env = make_env(LANES, **catalog, **kwargs)
        self.obs = np.zeros(self.env.obs_shape(), np.uint8)
        self.outputs = [np.zeros(LANES, dtype) for _, dtype in STEP_OUTPUTS]
        self.env.reset_masked_into(self.obs, np.ones(LANES, bool), starts, [None] * LANES)

    def step(self, actions, mask=None):
        if mask is None:
            self.env.step_into(actions, self.obs, *self.outputs)
        else:
            self.env.step_masked_into(actions, self.obs, *self.outputs, step_mask=mask)
        assert not self.outputs[1].any(), "no lane should end in these few steps"
        return self.obs.copy()


def console_view(env, lane, obs_type):
    """What the newest slot of `lane` holds, read from the engine's other views of the console."""
    if obs_type == "ram":
        return ram_of(env)[lane].reshape(1, 2048)
    return np.array(env._debug_oam(lane), np.uint8).reshape(8, 32)


def test_picture_names_are_the_picture(make_env, catalog, starts):
    for obs_type, grayscale in [("grayscale", True), ("rgb", False)]:
        named = Lanes(make_env, catalog, starts, obs_type=obs_type, frame_stack=2)
        flagged = Lanes(make_env, catalog, starts, grayscale=grayscale, frame_stack=2)
        assert (named.env.obs_type, named.env.grayscale) == (obs_type, grayscale)
        assert flagged.env.obs_type == obs_type
        assert np.array_equal(named.obs, flagged.obs)
        for step in range(3):
            assert np.array_equal(named.step(actions_at(step)), flagged.step(actions_at(step))), (obs_type, step)


@pytest.mark.parametrize("obs_type", ["ram", "tiles"])
def test_slots_hold_the_console_after_each_reset_and_step(make_env, catalog, starts, obs_type):
    # The picture's arguments are ignored: the shape is the type's.
    lanes = Lanes(
        make_env,
        catalog,
        starts,
        obs_type=obs_type,
        frame_stack=3,
        frame_maxpool=True,
        grayscale=False,
        crop_top=40,
        resize_width=50,
    )
    env = lanes.env
    assert env.obs_shape() == (LANES, 3, *SHAPES[obs_type])
    assert (env.obs_type, env.frame_maxpool) == (obs_type, False)
    for lane in range(LANES):
        want = console_view(env, lane, obs_type)
        for slot in range(3):  # a reset fills the whole stack
            np.testing.assert_array_equal(lanes.obs[lane, slot, -want.shape[0] :], want)
    newest = []
    for step in range(STEPS):
        before = lanes.obs.copy()
        after = lanes.step(actions_at(step))
        assert np.array_equal(after[:, :2], before[:, 1:]), "older slots move down the stack"
        for lane in range(LANES):
            want = console_view(env, lane, obs_type)
            np.testing.assert_array_equal(after[lane, 2, -want.shape[0] :], want, err_msg=f"lane {lane}, step {step}")
        newest.append(after[:, 2].copy())
    # The slots change as the lanes play, and the lanes differ from one another.
    for k in range(STEPS - 1):
        assert all(not np.array_equal(newest[k][lane], newest[k + 1][lane]) for lane in range(LANES)), k
    assert len({newest[-1][lane].tobytes() for lane in range(LANES)}) == LANES


@pytest.mark.parametrize("obs_type", ["ram", "tiles"])
def test_lanes_see_the_same_however_they_are_stepped(make_env, catalog, starts, obs_type):
    plain = Lanes(make_env, catalog, starts, obs_type=obs_type, frame_stack=2, num_threads=1)
    expected = [plain.obs.copy()] + [plain.step(actions_at(step)) for step in range(STEPS)]

    # Two threads, each step in two masked halves: lanes 0 and 2 first, then 1 and 3.
    masked = Lanes(make_env, catalog, starts, obs_type=obs_type, frame_stack=2, num_threads=2)
    assert np.array_equal(masked.obs, expected[0])
    halves = [np.array([True, False, True, False]), np.array([False, True, False, True])]
    snapshots = None
    for step in range(STEPS):
        for half in halves:
            masked.step(actions_at(step), half)
        assert np.array_equal(masked.obs, expected[step + 1]), f"masked step {step}"
        if step == 2:
            snapshots = masked.env.capture_snapshots(masked.obs, np.ones(LANES, bool))

    # Restored from the snapshots of step 2, the lanes play the rest again alike.
    masked.env.reset_mixed_into(
        masked.obs, np.ones(LANES, bool), np.full(LANES, -1, np.int32), [None] * LANES, snapshots
    )
    assert np.array_equal(masked.obs, expected[3])
    for step in range(3, STEPS):
        assert np.array_equal(masked.step(actions_at(step)), expected[step + 1]), f"replayed step {step}"


@pytest.mark.parametrize("obs_type", ["ram", "tiles"])
def test_asynchronous_lanes_see_what_synchronous_ones_do(rom_path, state_images, obs_type):
    pytest.importorskip("gymnasium")
    from tanuvex_turbo import TurboVectorEnv

    def make(**kwargs):
        env = TurboVectorEnv(
            rom_path,
            LANES,
            states=state_images,
            start_state=START_STATES,
            action_set="full",
            obs_type=obs_type,
            frame_stack=2,
            noop_reset_max=5,
            seed=3,
            **kwargs,
        )
        assert env.single_observation_space.shape == (2, *SHAPES[obs_type])
        env.reset(seed=7)
        return env

    sync = make(num_threads=1)
    expected = [sync.step(actions_at(step))[0] for step in range(STEPS)]
    sent = make(batch_size=2, num_threads=2)
    for step in range(STEPS):
        got = {}
        for lanes in ([3, 0], [2, 1]):
            sent.send(actions_at(step)[lanes], np.array(lanes))
        for _ in range(2):
            obs, *_, info = sent.recv()
            got.update({int(lane): obs[row] for row, lane in enumerate(info["env_id"])})
        for lane in range(LANES):
            np.testing.assert_array_equal(got[lane], expected[step][lane], err_msg=f"lane {lane}, step {step}")
    sync.close()
    sent.close()


def test_saved_lanes_restore_where_the_observations_are_the_same(rom_path, state_images):
    pytest.importorskip("gymnasium")
    from tanuvex_turbo import TurboVectorEnv

    def played(**kwargs):
        env = TurboVectorEnv(rom_path, 1, states=state_images, action_set="full", seed=1, **kwargs)
        env.reset()
        return env, env.step(np.array([0x81]))[0]

    # The colour picture by name or by flag; tiles whatever the picture's settings.
    for saved_under, restored_under in [
        ({"obs_type": "rgb"}, {"grayscale": False}),
        ({"obs_type": "tiles", "crop_top": 16, "frame_maxpool": True}, {"obs_type": "tiles"}),
    ]:
        (source, obs), (target, _) = played(**saved_under), played(**restored_under)
        restored, _ = target.restore_states(source.clone_states())
        np.testing.assert_array_equal(restored, obs, err_msg=str(saved_under))
    # Not where they differ.
    for saved_under, restored_under in [
        ({"obs_type": "ram"}, {"obs_type": "ram", "frame_skip": 2}),
        ({"obs_type": "tiles"}, {"obs_type": "tiles", "frame_skip": 2}),
        ({"obs_type": "tiles", "frame_stack": 2}, {"obs_type": "tiles"}),
        ({"obs_type": "ram", "frame_stack": 38}, {"obs_type": "tiles", "resize_width": 2048}),
    ]:
        (source, _), (target, _) = played(**saved_under), played(**restored_under)
        with pytest.raises(ValueError, match="^saved state of lane 0 was saved under another observation config"):
            target.restore_states(source.clone_states())


class TestChoosingTheType:
    def test_values_and_their_errors(self, make_env):
        def refused(error, message, **kwargs):
            with pytest.raises(error, match=message):
                make_env(1, **kwargs)

        refused(ValueError, r"^obs_type must be one of: grayscale, rgb, ram, tiles$", obs_type="Tiles")
        contradiction = r"^obs_type 'grayscale' contradicts grayscale=False$"
        refused(ValueError, contradiction, obs_type="grayscale", grayscale=False)
        refused(ValueError, r"^obs_type 'rgb' contradicts grayscale=True$", obs_type="rgb", grayscale=True)
        refused(TypeError, r"^argument 'obs_type': ", obs_type=3)
        # The checks of the other arguments come first.
        refused(ValueError, r"^frame_stack must be > 0$", obs_type="ram", frame_stack=0)
        refused(ValueError, r"^extra_info_ids contains an unknown id$", obs_type="x", extra_info_ids=[99])
        for obs_type, grayscale, name in [(None, False, "rgb"), (None, True, "grayscale"), ("tiles", False, "tiles")]:
            assert make_env(1, obs_type=obs_type, grayscale=grayscale).obs_type == name

    def test_gymnasium_class(self, rom_path):
        pytest.importorskip("gymnasium")
        from tanuvex_turbo import TurboVectorEnv

        def space(**kwargs):
            env = TurboVectorEnv(rom_path, 2, states=(), action_set="full", **kwargs)
            env.close()
            return env.single_observation_space.shape, env.observation_space.shape

        assert space(obs_type="rgb", frame_stack=2) == ((6, 84, 84), (2, 6, 84, 84))
        assert space(obs_type="tiles", frame_stack=3, grayscale=False) == ((3, 38, 32), (2, 3, 38, 32))
        assert space(obs_type="ram", frame_stack=1)[0] == (1, 1, 2048)
        assert space(obs_type="tiles", observations=False)[0] == (1, 1, 1)
        with pytest.raises(ValueError, match="contradicts grayscale=False"):
            space(obs_type="grayscale", grayscale=False)


def test_bench_measures_a_type(capsys, rom_path, states_dir):
    argv = ["bench", "--rom", rom_path, "--states", states_dir, "--lanes", "2", "--threads", "1", "--repeat", "1"]
    status = cli.main([str(a) for a in [*argv, "--steps", "3", "--obs-type", "tiles"]])
    out, _ = capsys.readouterr()
    lines = out.splitlines()
    assert status == 0 and "obs_type tiles" in lines[2]
    assert [line.split()[:4] for line in lines[5:]] == [["engine", "2", "1", "3"]]  # no max-pooled rows
    status = cli.main([str(a) for a in [*argv, "--obs-type", "ram", "--color"]])
    assert status == 2 and "--obs-type rgb" in capsys.readouterr().err
