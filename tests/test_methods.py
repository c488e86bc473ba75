"""Batched methods of _RetroVecEnv: array contracts, the order of checks and
their messages, refusals that change nothing, holds across threads."""

from __future__ import annotations

import threading
import time

import numpy as np
import pytest
from env_support import (
    INFO_FIELDS,
    STEP_ARGUMENTS,
    STEP_OUTPUTS,
    fortran,
    info_arrays,
    ram_of,
    step_arrays,
    strided,
)

N = 8
RIGHT = 0x80


@pytest.fixture
def env(make_env, catalog):
    """Eight lanes at the first start state, reset once."""
    e = make_env(N, **catalog)
    e.reset_into(np.zeros(e.obs_shape(), np.uint8))
    return e


def assert_unchanged(env, before_ram, arrays, before_arrays):
    assert np.array_equal(ram_of(env), before_ram)
    for name, array in arrays.items():
        assert np.array_equal(array, before_arrays[name]), name


class TestObservationShape:
    @pytest.mark.parametrize("method", ["step_into", "reset_into", "reset_masked_into"])
    def test_wrong_extents(self, env, method):
        bad = np.zeros((8, 4, 84, 80), np.uint8)
        arrays = step_arrays(env)
        calls = {
            "step_into": lambda: env.step_into(**{**arrays, "obs": bad}),
            "reset_into": lambda: env.reset_into(bad),
            "reset_masked_into": lambda: env.reset_masked_into(
                bad, np.ones(N, bool), np.zeros(N, np.int32), [None] * N
            ),
        }
        with pytest.raises(ValueError) as info:
            calls[method]()
        assert str(info.value) == "obs shape must be (8, 4, 84, 84), got [8, 4, 84, 80]"

    @pytest.mark.parametrize(
        "obs",
        [
            np.zeros((8, 84, 84), np.uint8),
            np.zeros((8, 4, 84, 84), np.float32),
            np.zeros((8, 4, 84, 84), np.int8),
            np.zeros((8, 4, 84, 84), ">u2"),
            [[0]],
            None,
        ],
        ids=["3d", "float32", "int8", "uint16-be", "list", "none"],
    )
    def test_type_and_dimensions_are_type_errors(self, env, obs):
        with pytest.raises(TypeError, match="^argument 'obs': "):
            env.reset_into(obs)
        with pytest.raises(TypeError, match="^argument 'obs': "):
            env.step_into(**{**step_arrays(env), "obs": obs})

    def test_colour_and_custom_geometry(self, make_env):
        e = make_env(2, grayscale=False, frame_stack=2, resize_width=40, resize_height=30)
        assert e.obs_shape() == (2, 6, 30, 40)
        with pytest.raises(ValueError, match=r"^obs shape must be \(2, 6, 30, 40\), got \[2, 2, 30, 40\]$"):
            e.reset_into(np.zeros((2, 2, 30, 40), np.uint8))
        obs = np.zeros((2, 6, 30, 40), np.uint8)
        e.reset_into(obs)
        assert obs.any()


class TestStepChecks:
    @pytest.mark.parametrize("name", [n for n in STEP_ARGUMENTS if n != "obs"])
    def test_each_length(self, env, name):
        arrays = step_arrays(env)
        arrays[name] = arrays[name][:7]
        with pytest.raises(ValueError) as info:
            env.step_into(**arrays)
        assert str(info.value) == f"{name} length must be 8, got 7"

    @pytest.mark.parametrize("name", STEP_ARGUMENTS)
    def test_each_contiguity(self, env, name):
        arrays = step_arrays(env)
        arrays[name] = strided(arrays[name])
        with pytest.raises(ValueError) as info:
            env.step_into(**arrays)
        assert str(info.value) == f"{name} must be C-contiguous"

    def test_order_shape_then_lengths_then_contiguity(self, env):
        arrays = step_arrays(env)
        arrays["obs"] = fortran(arrays["obs"])
        arrays["rewards"] = arrays["rewards"][:7]
        arrays["xscroll_lo"] = arrays["xscroll_lo"][:6]
        with pytest.raises(ValueError, match="^rewards length must be 8, got 7$"):
            env.step_into(**arrays)
        arrays["rewards"] = np.zeros(N, np.float32)
        with pytest.raises(ValueError, match="^xscroll_lo length must be 8, got 6$"):
            env.step_into(**arrays)
        arrays["xscroll_lo"] = np.zeros(N, np.uint8)
        with pytest.raises(ValueError, match="^obs must be C-contiguous$"):
            env.step_into(**arrays)
        arrays["actions"] = arrays["actions"][:3]
        arrays["obs"] = np.zeros((8, 4, 80, 84), np.uint8)
        with pytest.raises(ValueError, match=r"^obs shape must be"):
            env.step_into(**arrays)

    @pytest.mark.parametrize(
        "name, dtype",
        [
            ("actions", np.int8),
            ("rewards", np.float64),
            ("terminated", np.uint8),
            ("truncated", np.int8),
            ("x_pos", np.int16),
            ("coins", np.int8),
            ("level_hi", np.uint16),
            ("lives", np.int32),
            ("score", np.int32),
            ("time", np.int16),
            ("xscroll_hi", np.bool_),
        ],
    )
    def test_element_types(self, env, name, dtype):
        arrays = step_arrays(env)
        arrays[name] = np.zeros(N, dtype)
        with pytest.raises(TypeError, match=f"^argument '{name}': "):
            env.step_into(**arrays)

    def test_dimensions_and_non_arrays(self, env):
        for bad in (np.zeros((N, 1), np.float32), [0.0] * N, np.float32(0)):
            with pytest.raises(TypeError, match="^argument 'rewards': "):
                env.step_into(**{**step_arrays(env), "rewards": bad})

    def test_conversion_runs_in_argument_order(self, env):
        arrays = step_arrays(env)
        arrays["score"] = np.zeros(N, np.float32)
        arrays["rewards"] = np.zeros(3, np.float64)
        arrays["obs"] = np.zeros((1, 1, 1, 1), np.uint8)
        with pytest.raises(TypeError, match="^argument 'rewards': "):
            env.step_into(**arrays)

    def test_binding_errors(self, env):
        arrays = step_arrays(env)
        with pytest.raises(TypeError):
            env.step_into(*list(arrays.values())[:-1])
        with pytest.raises(TypeError):
            env.step_into(*arrays.values(), extra=1)
        with pytest.raises(TypeError):
            env.step_into(arrays["actions"], **arrays)
        positional = [arrays[name] for name in STEP_ARGUMENTS]
        env.step_into(*positional)
        assert positional[5].any()  # x_pos was written


class TestPendingReset:
    def test_refused_until_every_ended_lane_is_reset(self, make_env, game_over_catalog):
        # Every lane starts from a game-over state and ends on its first frame.
        env = make_env(4, **game_over_catalog)
        arrays = step_arrays(env)
        env.reset_into(arrays["obs"])
        env.step_into(**arrays)
        assert arrays["terminated"].all()
        message = (
            "cannot step while a terminated lane is pending reset; " "call reset(options={'reset_mask': ...}) first"
        )
        with pytest.raises(RuntimeError) as info:
            env.step_into(**arrays)
        assert str(info.value) == message
        # Shapes and lengths are checked only after the pending-reset refusal...
        bad = {**arrays, "obs": np.zeros((1, 4, 84, 84), np.uint8), "rewards": np.zeros(1, np.float32)}
        with pytest.raises(RuntimeError, match="^cannot step while"):
            env.step_into(**bad)
        # ...but element types are checked while converting, before it.
        with pytest.raises(TypeError, match="^argument 'rewards': "):
            env.step_into(**{**arrays, "rewards": np.zeros(4, np.float64)})

        starts = np.zeros(4, np.int32)
        env.reset_masked_into(arrays["obs"], np.array([True, True, True, False]), starts, [None] * 4)
        with pytest.raises(RuntimeError, match="^cannot step while"):
            env.step_into(**arrays)
        env.reset_masked_into(arrays["obs"], np.array([False, False, False, True]), starts, [None] * 4)
        env.step_into(**arrays)


class TestMaskedStep:
    MASK = np.array([True, False, True, True, False, False, True, False])

    def run(self, make_env, catalog, num_threads, **config):
        """A masked step on env A, the same actions through step_into on twins B (all lanes stepped) and
        C (not stepped yet), then one more full step on A and C. Returns A's results."""
        kwargs = {"seed": 3, "sticky_action_prob": 0.5, "num_threads": num_threads, **catalog, **config}
        a, b, c = (make_env(N, **kwargs) for _ in range(3))
        arrays = {}
        for name, e in zip("abc", (a, b, c)):
            arrays[name] = step_arrays(e)
            e.reset_into(arrays[name]["obs"])
        first = np.random.default_rng(1).integers(0, 256, N).astype(np.uint8)
        second = np.random.default_rng(2).integers(0, 256, N).astype(np.uint8)
        before = {name: array.copy() for name, array in arrays["a"].items()}
        for name, _ in STEP_OUTPUTS:
            arrays["a"][name][...] = 1  # marks the elements of skipped lanes
        marked = {name: array.copy() for name, array in arrays["a"].items()}
        ram_before = ram_of(a)
        copy = np.zeros(a.obs_shape(), np.uint8)
        a.step_masked_into(**{**arrays["a"], "actions": first}, step_mask=self.MASK, obs_copy=copy)
        b.step_into(**{**arrays["b"], "actions": first})
        on, off = self.MASK, ~self.MASK
        assert np.array_equal(copy, arrays["a"]["obs"])
        for name in STEP_ARGUMENTS[1:]:
            assert np.array_equal(arrays["a"][name][on], arrays["b"][name][on]), name
            assert np.array_equal(arrays["a"][name][off], marked[name][off]), name
        assert np.array_equal(arrays["a"]["obs"][off], before["obs"][off])
        assert np.array_equal(ram_of(a)[off], ram_before[off])
        assert np.array_equal(ram_of(a)[on], ram_of(b)[on])
        # A snapshot carries the lane's last action (envelope byte 12): still the reset's 0 where skipped.
        snapshots = a.capture_snapshots(arrays["a"]["obs"], np.ones(N, bool))
        assert not any(snapshot.to_bytes()[12] for snapshot in np.array(snapshots, object)[off])
        # The skipped lanes' random streams and last actions did not move: their
        # next step is the first step of a twin that was never stepped.
        a.step_masked_into(**{**arrays["a"], "actions": second})
        c.step_into(**{**arrays["c"], "actions": second})
        for name in STEP_ARGUMENTS[1:]:
            assert np.array_equal(arrays["a"][name][off], arrays["c"][name][off]), name
        assert np.array_equal(ram_of(a)[off], ram_of(c)[off])
        return copy, arrays["a"], ram_of(a)

    def test_skipped_lanes_are_untouched_whatever_the_threads(self, make_env, catalog):
        results = [self.run(make_env, catalog, threads) for threads in (1, 2, None)]
        for copy, arrays, ram in results[1:]:
            assert np.array_equal(copy, results[0][0]) and np.array_equal(ram, results[0][2])
            for name, array in arrays.items():
                assert np.array_equal(array, results[0][1][name]), name

    def test_a_lane_size_off_the_copy_chunks_without_sticky_actions(self, make_env, catalog):
        # 70-byte lanes: the copy's 64-byte chunks leave a tail; no sticky draw guards the last actions.
        self.run(make_env, catalog, 1, sticky_action_prob=0.0, resize_width=10, resize_height=7, frame_stack=1)

    def test_checks_and_refusals(self, env, make_env, game_over_catalog):
        arrays = step_arrays(env)
        with pytest.raises(ValueError, match=r"^obs_copy shape must be \(8, 4, 84, 84\), got \[8, 4, 84, 80\]$"):
            env.step_masked_into(**arrays, obs_copy=np.zeros((N, 4, 84, 80), np.uint8))
        with pytest.raises(ValueError, match="^step_mask length must be 8, got 7$"):
            env.step_masked_into(**arrays, step_mask=np.ones(N - 1, bool))
        with pytest.raises(ValueError, match="^step_mask must be C-contiguous$"):
            env.step_masked_into(**arrays, step_mask=strided(np.ones(N, bool)))
        with pytest.raises(ValueError):
            env.step_masked_into(**arrays, obs_copy=arrays["obs"])  # the copy may not be the observation
        with pytest.raises(TypeError, match="^argument 'step_mask': "):
            env.step_masked_into(**arrays, step_mask=np.ones(N, np.uint8))
        # A lane pending reset blocks the step even when the mask leaves it out.
        ended = make_env(2, **game_over_catalog)
        arrays = step_arrays(ended)
        ended.reset_into(arrays["obs"])
        ended.step_into(**arrays)
        with pytest.raises(RuntimeError, match="^cannot step while"):
            ended.step_masked_into(**arrays, step_mask=np.zeros(2, bool))


class TestResetMasked:
    def call(self, env, obs=None, mask=None, indices=None, seeds=None):
        obs = np.zeros(env.obs_shape(), np.uint8) if obs is None else obs
        mask = np.ones(env.num_envs, bool) if mask is None else mask
        indices = np.zeros(env.num_envs, np.int32) if indices is None else indices
        seeds = [None] * env.num_envs if seeds is None else seeds
        env.reset_masked_into(obs, mask, indices, seeds)

    def test_content_rules(self, make_env, state_images):
        data = [d for _, d in state_images[:3]]
        env = make_env(4, state_catalog_data=data)
        with pytest.raises(ValueError, match="^reset_mask must select at least one lane$"):
            self.call(env, mask=np.zeros(4, bool))
        mask = np.array([False, True, True, False])
        for bad in (5, 3, -1):
            with pytest.raises(ValueError) as info:
                self.call(env, mask=mask, indices=np.array([0, 0, bad, 7], np.int32))
            assert str(info.value) == "state_indices[2] must index state_catalog"
        # Unselected lanes' indices are not looked at.
        self.call(env, mask=mask, indices=np.array([9, 1, 2, -5], np.int32))
        assert env.active_state_indices() == [0, 1, 2, 0]

    def test_without_catalog_only_power_on_is_allowed(self, make_env):
        env = make_env(3)
        with pytest.raises(ValueError, match=r"^state_indices\[0\] must index state_catalog$"):
            self.call(env, indices=np.zeros(3, np.int32))
        self.call(env, indices=np.full(3, -1, np.int32))
        assert env.active_state_indices() == [-1, -1, -1]

    def test_check_order(self, env):
        fortran_obs = fortran(np.zeros(env.obs_shape(), np.uint8))
        none_selected = np.zeros(N, bool)
        with pytest.raises(ValueError, match="^obs shape must be"):
            self.call(env, obs=np.zeros((N, 4, 84, 1), np.uint8), mask=none_selected[:2])
        with pytest.raises(ValueError, match="^reset_mask length must be 8, got 2$"):
            self.call(env, mask=none_selected[:2], indices=np.zeros(1, np.int32))
        with pytest.raises(ValueError, match="^state_indices length must be 8, got 1$"):
            self.call(env, indices=np.zeros(1, np.int32), seeds=[None])
        with pytest.raises(ValueError, match="^seeds length must be 8, got 9$"):
            self.call(env, mask=strided(none_selected), seeds=[None] * 9)
        with pytest.raises(ValueError, match="^reset_mask must be C-contiguous$"):
            self.call(env, mask=strided(none_selected), indices=strided(np.zeros(N, np.int32)))
        with pytest.raises(ValueError, match="^state_indices must be C-contiguous$"):
            self.call(env, obs=fortran_obs, mask=none_selected, indices=strided(np.zeros(N, np.int32)))
        # Content rules come before the observation's layout.
        with pytest.raises(ValueError, match="^reset_mask must select at least one lane$"):
            self.call(env, obs=fortran_obs, mask=none_selected)
        with pytest.raises(ValueError, match="^obs must be C-contiguous$"):
            self.call(env, obs=fortran_obs)

    def test_argument_types(self, env):
        with pytest.raises(TypeError, match="^argument 'reset_mask': "):
            self.call(env, mask=np.ones(N, np.uint8))
        with pytest.raises(TypeError, match="^argument 'state_indices': "):
            self.call(env, indices=np.zeros(N, np.int64))
        with pytest.raises(TypeError) as info:
            self.call(env, seeds="abcdefgh")
        assert str(info.value) == "argument 'seeds': Can't extract `str` to `Vec`"
        with pytest.raises(TypeError, match="^argument 'seeds': "):
            self.call(env, seeds=[None] * 7 + ["1"])
        with pytest.raises(TypeError, match="^argument 'seeds': "):
            env.reset_masked_into(np.zeros(env.obs_shape(), np.uint8), np.ones(N, bool), np.zeros(N, np.int32), None)
        with pytest.raises(OverflowError):
            self.call(env, seeds=[None] * 7 + [-1])
        with pytest.raises(OverflowError):
            self.call(env, seeds=[None] * 7 + [2**64])

    def test_writes_only_the_selected_lanes(self, env):
        obs = np.full(env.obs_shape(), 7, np.uint8)
        mask = np.zeros(N, bool)
        mask[2] = True
        indices = np.full(N, 99, np.int32)
        indices[2] = 1
        ram_before = ram_of(env)
        env.reset_masked_into(obs, mask, indices, (None,) * N)
        assert env.active_state_indices() == [0, 0, 1, 0, 0, 0, 0, 0]
        assert (np.delete(obs, 2, axis=0) == 7).all()
        assert (obs[2] != 7).any()
        # Every slot of the reset lane shows the same screen.
        assert all(np.array_equal(obs[2, 0], obs[2, s]) for s in range(1, 4))
        ram_after = ram_of(env)
        assert np.array_equal(np.delete(ram_after, 2, axis=0), np.delete(ram_before, 2, axis=0))
        assert not np.array_equal(ram_after[2], ram_before[2])


class TestSeeding:
    def lane_ram_after_reset(self, make_env, catalog, seed_call, reset_seeds):
        env = make_env(2, noop_reset_max=40, **catalog)
        seed_call(env)
        env.reset_masked_into(np.zeros(env.obs_shape(), np.uint8), np.ones(2, bool), np.zeros(2, np.int32), reset_seeds)
        return ram_of(env)

    def test_seed_wraps_and_replaces_zero(self, make_env, catalog):
        # seed(2**64 - 1) gives lane 1 the state 0 + ... = 1, the same as a
        # per-lane reset seed of 1, and a reset seed of 0 also means 1.
        wrapped = self.lane_ram_after_reset(make_env, catalog, lambda e: e.seed(2**64 - 1), [None, None])
        one = self.lane_ram_after_reset(make_env, catalog, lambda e: None, [2**64 - 1, 1])
        zero = self.lane_ram_after_reset(make_env, catalog, lambda e: None, [2**64 - 1, 0])
        assert np.array_equal(wrapped, one)
        assert np.array_equal(zero, one)
        others = [self.lane_ram_after_reset(make_env, catalog, lambda e: None, [s, s]) for s in (2, 3, 5, 9, 1234)]
        assert any(not np.array_equal(r[1], one[1]) for r in others)

    def test_seed_arguments(self, env):
        env.seed(seed=0)
        with pytest.raises(OverflowError):
            env.seed(-1)
        with pytest.raises(OverflowError):
            env.seed(2**64)
        with pytest.raises(TypeError, match="^argument 'seed': "):
            env.seed("1")
        with pytest.raises(TypeError):
            env.seed()


class TestInfo:
    def test_values_match_the_step(self, env):
        arrays = step_arrays(env, RIGHT)
        for _ in range(30):
            env.step_into(**arrays)
        info = info_arrays(N)
        env.info_into(**info)
        for name, _ in INFO_FIELDS:
            assert np.array_equal(info[name], arrays[name]), name
        assert (info["x_pos"] > 40).all()  # holding right moved every lane
        ram = ram_of(env)
        assert np.array_equal(info["x_pos"], ram[:, 0x6D].astype(np.uint16) * 256 + ram[:, 0x86])

    def test_checks(self, env):
        info = info_arrays(N)
        info["lives"] = info["lives"][:5]
        info["score"] = strided(info["score"])
        info["xscroll_lo"] = np.zeros(9, np.uint8)
        with pytest.raises(ValueError, match="^lives length must be 8, got 5$"):
            env.info_into(**info)
        info["lives"] = np.zeros(N, np.int16)
        with pytest.raises(ValueError, match="^xscroll_lo length must be 8, got 9$"):
            env.info_into(**info)
        info["xscroll_lo"] = np.zeros(N, np.uint8)
        with pytest.raises(ValueError, match="^score must be C-contiguous$"):
            env.info_into(**info)
        info["score"] = np.zeros(N, np.int32)
        with pytest.raises(TypeError, match="^argument 'score': "):
            env.info_into(**info)


class TestRamAndDebug:
    def test_ram_into(self, env):
        ram = ram_of(env)
        for lane in (0, N - 1):
            assert ram[lane].tolist() == env._debug_ram(lane)
        with pytest.raises(ValueError) as info:
            env.ram_into(np.zeros((N, 2047), np.uint8))
        assert str(info.value) == "RAM output shape must be (8, 2048), got [8, 2047]"
        with pytest.raises(ValueError, match="^RAM output must be C-contiguous$"):
            env.ram_into(fortran(np.zeros((N, 2048), np.uint8)))
        with pytest.raises(TypeError, match="^argument 'output': "):
            env.ram_into(np.zeros((N, 2048), np.int8))
        with pytest.raises(TypeError, match="^argument 'output': "):
            env.ram_into(np.zeros(N * 2048, np.uint8))

    def test_debug_lane_index(self, env):
        for method, args in ((env._debug_ram, ()), (env._debug_oam, ()), (env._debug_bg_pixel, (0, 0))):
            with pytest.raises(ValueError) as info:
                method(N, *args)
            assert str(info.value) == "env_idx out of range: 8"
            with pytest.raises(OverflowError):
                method(-1, *args)
        ram = env._debug_ram(env_idx=0)
        oam = env._debug_oam(0)
        assert len(ram) == 2048 and len(oam) == 256
        assert all(type(v) is int and 0 <= v <= 255 for v in ram + oam)

    def test_debug_bg_pixel(self, env):
        pixels = [env._debug_bg_pixel(0, x, y) for y in range(0, 240, 16) for x in range(0, 256, 16)]
        assert all(type(c) is int and type(o) is bool for c, o in pixels)
        assert any(o for _, o in pixels) and not all(o for _, o in pixels)
        # A transparent pixel shows the backdrop colour, palette RAM byte 0.
        backdrop = {c for c, o in pixels if not o}
        assert len(backdrop) == 1
        # The picture is 256 x 240: the last pixel answers, one further is refused (it would wrap).
        assert len(env._debug_bg_pixel(0, 255, 239)) == 2
        for x, y, text in ((256, 0, "x out of range: 256"), (0, 240, "y out of range: 240"), (10**6, 0, "x out")):
            with pytest.raises(ValueError, match=f"^{text}"):
                env._debug_bg_pixel(0, x, y)

    def test_debug_bg_pixel_with_background_off(self, make_env):
        env = make_env(1)  # one frame after power-on the picture is still off
        assert env._debug_bg_pixel(0, 100, 100)[1] is False


class TestExtraInfo:
    def test_values(self, make_env, catalog):
        env = make_env(N, extra_info_ids=[16, 0, 2], **catalog)
        assert env.extra_info_shape() == (N, 8)
        out = np.full((N, 8), -99, np.int64)
        env.extra_info_into(out)
        ram = ram_of(env)
        assert np.array_equal(out[:, :6], (ram[:, 0x0F:0x15] != 0).astype(np.int64))
        assert np.array_equal(out[:, 6], ram[:, 0x760])
        assert np.array_equal(out[:, 7], ram[:, 0xB5].astype(np.int64) * 256 + ram[:, 0xCE])

    def test_checks(self, make_env):
        env = make_env(N, extra_info_ids=[16, 0])
        with pytest.raises(ValueError) as info:
            env.extra_info_into(np.zeros((N, 6), np.int64))
        assert str(info.value) == "extra info output shape must be (8, 7), got [8, 6]"
        with pytest.raises(ValueError, match="^extra info output must be C-contiguous$"):
            env.extra_info_into(fortran(np.zeros((N, 7), np.int64)))
        with pytest.raises(TypeError, match="^argument 'output': "):
            env.extra_info_into(np.zeros((N, 7), np.int32))

    def test_without_ids(self, make_env):
        env = make_env(N)
        assert env.extra_info_shape() == (N, 0)
        env.extra_info_into(np.zeros((N, 0), np.int64))
        with pytest.raises(ValueError, match=r"^extra info output shape must be \(8, 0\), got \[8, 1\]$"):
            env.extra_info_into(np.zeros((N, 1), np.int64))


class TestRgbFrames:
    def test_frames(self, env):
        frames = np.zeros(env.rgb_frame_shape(), np.uint8)
        env.rgb_frames_into(frames=frames)
        assert frames.any()
        # Every lane starts from the same state: identical pictures.
        assert all(np.array_equal(frames[0], frames[i]) for i in range(1, N))
        # The gray observation is made from the same picture.
        obs = np.zeros(env.obs_shape(), np.uint8)
        env.reset_into(obs)
        frames_after = np.zeros_like(frames)
        env.rgb_frames_into(frames_after)
        assert frames_after.any()

    def test_checks(self, env):
        with pytest.raises(ValueError) as info:
            env.rgb_frames_into(np.zeros((N, 240, 224, 3), np.uint8))
        assert str(info.value) == "frames shape must be (8, 224, 240, 3), got [8, 240, 224, 3]"
        with pytest.raises(ValueError, match="^frames must be C-contiguous$"):
            env.rgb_frames_into(fortran(np.zeros((N, 224, 240, 3), np.uint8)))
        with pytest.raises(TypeError, match="^argument 'frames': "):
            env.rgb_frames_into(np.zeros((N, 224, 240), np.uint8))


class TestRefusedCallsChangeNothing:
    def refusals(self, env):
        """Calls that must each be refused without touching anything."""
        n = env.num_envs
        base = step_arrays(env, RIGHT)
        read_only = np.zeros(env.obs_shape(), np.uint8)
        read_only.flags.writeable = False
        aliased = step_arrays(env, RIGHT)
        aliased["xscroll_hi"] = aliased["coins"]
        obs_view = step_arrays(env, RIGHT)
        obs_view["actions"] = obs_view["obs"].reshape(-1)[:n]
        return [
            lambda: env.step_into(**{**base, "obs": fortran(base["obs"])}),
            lambda: env.step_into(**{**base, "time": base["time"][:1]}),
            lambda: env.step_into(**{**base, "obs": read_only}),
            lambda: env.step_into(**aliased),
            lambda: env.step_into(**obs_view),
            lambda: env.reset_into(read_only),
            lambda: env.reset_into(fortran(base["obs"])),
            lambda: env.reset_masked_into(base["obs"], np.zeros(n, bool), np.zeros(n, np.int32), [None] * n),
            lambda: env.reset_masked_into(base["obs"], np.ones(n, bool), np.full(n, 50, np.int32), [5] * n),
            lambda: env.reset_masked_into(fortran(base["obs"]), np.ones(n, bool), np.zeros(n, np.int32), [5] * n),
            lambda: env.rgb_frames_into(np.zeros((n, 224, 240, 2), np.uint8)),
            lambda: env.seed("x"),
        ]

    def test_refusals_leave_lanes_and_outputs_alone(self, make_env, catalog):
        refused = make_env(4, seed=5, sticky_action_prob=0.5, noop_reset_max=20, **catalog)
        control = make_env(4, seed=5, sticky_action_prob=0.5, noop_reset_max=20, **catalog)
        runs = []
        for env in (refused, control):
            arrays = step_arrays(env, RIGHT)
            env.reset_into(arrays["obs"])
            for _ in range(5):
                env.step_into(**arrays)
            runs.append(arrays)

        arrays = runs[0]
        for name, array in arrays.items():
            if name != "actions":
                array.fill(3 if array.dtype != np.bool_ else True)
        before_ram = ram_of(refused)
        before = {k: v.copy() for k, v in arrays.items()}
        before_indices = refused.active_state_indices()
        for call in self.refusals(refused):
            with pytest.raises((ValueError, TypeError, RuntimeError)):
                call()
        assert_unchanged(refused, before_ram, arrays, before)
        assert refused.active_state_indices() == before_indices

        # Random states were not touched either: both environments go on
        # identically (sticky actions draw from them).
        for _ in range(10):
            for env, a in zip((refused, control), runs):
                a["actions"][:] = np.array([RIGHT, 0x81, RIGHT, 0x01], np.uint8)
                env.step_into(**a)
            for name in runs[0]:
                if name != "obs":  # its older slots still hold the fill value for a while
                    assert np.array_equal(runs[0][name], runs[1][name]), name
        assert np.array_equal(runs[0]["obs"], runs[1]["obs"])
        assert np.array_equal(ram_of(refused), ram_of(control))

    def test_read_only_and_overlapping_arrays(self, env):
        arrays = step_arrays(env)
        read_only = arrays["rewards"].copy()
        read_only.flags.writeable = False
        with pytest.raises(ValueError, match="^rewards must be writeable$"):
            env.step_into(**{**arrays, "rewards": read_only})
        with pytest.raises(ValueError, match="^xscroll_lo must not share memory with coins$"):
            env.step_into(**{**arrays, "xscroll_lo": arrays["coins"]})
        # Read-only inputs may be read-only arrays.
        actions = np.zeros(N, np.uint8)
        actions.flags.writeable = False
        env.step_into(**{**arrays, "actions": actions})
        # Two disjoint halves of one buffer are fine.
        both = np.zeros(2 * N, np.uint8)
        env.step_into(**{**arrays, "coins": both[:N], "xscroll_hi": both[N:]})
        # Inputs may share memory with each other.
        mask = np.ones(N, bool)
        env.reset_masked_into(arrays["obs"], mask, np.zeros(N, np.int32), [None] * N)


class TestHoldsAcrossThreads:
    """A call running with the interpreter lock released holds the environment;
    conflicting calls from other threads fail at once."""

    def run_while(self, worker, probes, limit=30.0):
        """Runs `worker` in a thread while calling each probe repeatedly from
        this thread; returns {probe index: set of error texts} and the
        worker's exception, if any."""
        seen = {i: set() for i in range(len(probes))}
        failure = []
        done = threading.Event()

        def target():
            try:
                worker(done)
            except BaseException as error:  # reported to the test thread
                failure.append(error)
            finally:
                done.set()

        thread = threading.Thread(target=target)
        thread.start()
        deadline = time.monotonic() + limit
        while not done.is_set() and time.monotonic() < deadline:
            for i, probe in enumerate(probes):
                try:
                    probe()
                except RuntimeError as error:
                    seen[i].add(str(error))
            if all(seen.values()):
                break
            time.sleep(0.001)
        done.set()
        thread.join(timeout=limit)
        assert not thread.is_alive()
        return seen, failure

    def test_long_step_blocks_other_calls(self, make_env, catalog):
        env = make_env(128, frame_skip=48, num_threads=2, **{k: v[:2] for k, v in catalog.items()})
        arrays = step_arrays(env, RIGHT)
        env.reset_into(arrays["obs"])

        def worker(done):
            while not done.is_set():
                env.step_into(**arrays)
                if arrays["terminated"].any():
                    env.reset_masked_into(
                        arrays["obs"], arrays["terminated"].copy(), np.zeros(128, np.int32), [None] * 128
                    )

        ram = np.zeros(env.ram_shape(), np.uint8)
        seen, failure = self.run_while(
            worker,
            [
                lambda: env.num_envs,
                lambda: env.seed(1),
                lambda: env.ram_into(ram),
                lambda: env.obs_shape(),
            ],
        )
        assert not failure, failure
        assert seen[0] == {"Already mutably borrowed"}
        assert seen[1] == {"Already borrowed"}
        assert seen[2] == {"Already mutably borrowed"}
        assert seen[3] == {"Already mutably borrowed"}

    def test_shared_holds_coexist(self, make_env):
        env = make_env(2048, extra_info_ids=list(range(27)))
        out = np.zeros(env.extra_info_shape(), np.int64)

        def worker(done):
            while not done.is_set():
                env.extra_info_into(out)

        seen, failure = self.run_while(worker, [lambda: env.seed(3)], limit=10.0)
        assert not failure, failure
        assert seen[0] == {"Already borrowed"}
        # Shared calls never conflict with each other.
        seen, failure = self.run_while(
            worker, [lambda: env.num_envs, lambda: env.ram_into(np.zeros(env.ram_shape(), np.uint8))], limit=2.0
        )
        assert not failure and seen == {0: set(), 1: set()}

    def test_an_array_in_use_by_a_running_call_is_refused(self, make_env, catalog):
        small = {k: v[:1] for k, v in catalog.items()}
        busy = make_env(128, frame_skip=48, num_threads=2, **small)
        other = make_env(128, **small)
        arrays = step_arrays(busy, RIGHT)
        busy.reset_into(arrays["obs"])

        def worker(done):
            while not done.is_set():
                busy.step_into(**arrays)
                if arrays["terminated"].any():
                    busy.reset_into(arrays["obs"])

        seen, failure = self.run_while(worker, [lambda: other.reset_into(arrays["obs"])])
        assert not failure, failure
        assert seen[0] == {"obs is in use by another call"}


def test_method_text_signatures(env):
    expected = {
        "obs_shape": "($self)",
        "ram_into": "($self, output)",
        "_debug_bg_pixel": "($self, env_idx, x, y)",
        "reset_masked_into": "($self, obs, reset_mask, state_indices, seeds, go_on=False)",
        "step_into": "($self, " + ", ".join(STEP_ARGUMENTS) + ")",
        "info_into": "($self, " + ", ".join(name for name, _ in STEP_OUTPUTS[3:]) + ")",
    }
    cls = type(env)
    for name, signature in expected.items():
        assert getattr(cls, name).__text_signature__ == signature
    assert isinstance(cls.__dict__["state_catalog"], property) or not callable(env.state_catalog)


@pytest.mark.parametrize("grayscale", [True, False])
def test_a_max_pooled_reset_shows_its_one_frame_as_the_plain_pipeline_does(make_env, catalog, grayscale):
    seen = []
    for maxpool in (False, True):
        engine = make_env(2, frame_maxpool=maxpool, grayscale=grayscale, **catalog)
        obs = np.zeros(engine.obs_shape(), np.uint8)
        engine.reset_into(obs)
        seen.append(obs)
    assert seen[0].any() and np.array_equal(*seen)
