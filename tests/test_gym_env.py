"""TurboVectorEnv: construction, spaces, resets with seeds, masks and start
states, actions, infos, observation ownership, rendering, start states from files."""

from __future__ import annotations

import copy
import gzip
import shutil
import warnings

import numpy as np
import pytest

gymnasium = pytest.importorskip("gymnasium")

from gymnasium import spaces  # noqa: E402

from tanuvex_turbo import TurboVectorEnv, extra_info_descriptors  # noqa: E402
from tanuvex_turbo.game.fields import INFO_FIELDS  # noqa: E402

N = 3
RIGHT = 1  # index of "right" in every named action set but "full"


@pytest.fixture
def make(rom_path, states_dir):
    def build(num_envs=N, **kwargs):
        kwargs.setdefault("states", states_dir)
        kwargs.setdefault("num_threads", 1)
        return TurboVectorEnv(rom_path, num_envs, **kwargs)

    return build


def engine_ram(env):
    out = np.zeros(env.engine.ram_shape(), np.uint8)
    env.engine.ram_into(out)
    return out


class TestConstruction:
    def test_is_a_gymnasium_vector_env(self, make):
        env = make()
        assert isinstance(env, gymnasium.vector.VectorEnv)
        assert env.num_envs == N and env.unwrapped is env
        assert "rgb_array" in env.metadata["render_modes"]
        assert env.metadata["render_fps"] == pytest.approx(60.0988 / 4)

    def test_make_vec(self, rom_path, states_dir):
        env = gymnasium.make_vec(
            "TanuvexTurbo-v0",
            num_envs=2,
            rom_path=rom_path,
            states=states_dir,
            action_set="right_only",
            max_episode_steps=7,
        )
        assert isinstance(env, TurboVectorEnv) and env.num_envs == 2
        assert env.spec.id == "TanuvexTurbo-v0" and env.max_episode_steps == 7
        assert env.single_action_space == spaces.Discrete(5)
        assert env.get_action_meanings() == ["noop", "right", "right+A", "right+B", "right+A+B"]
        with pytest.raises(gymnasium.error.Error, match=r"use gymnasium.make_vec\('TanuvexTurbo-v0', num_envs=N"):
            gymnasium.make("TanuvexTurbo-v0", rom_path=rom_path)

    def test_defaults_from_environment_variables(self, rom_path, states_dir, monkeypatch, tmp_path):
        monkeypatch.setenv("TANUVEX_TURBO_ROM", rom_path)
        monkeypatch.setenv("TANUVEX_TURBO_STATES", str(states_dir))
        env = TurboVectorEnv(num_envs=1)
        # The start state is the one named 1-1, not the first in name order.
        assert env.state_names[0] != "1-1" and env.start_states == [env.state_names.index("1-1")]
        for name in ("b", "a"):
            shutil.copy(states_dir / "2-1.state", tmp_path / f"{name}.state")
        monkeypatch.setenv("TANUVEX_TURBO_STATES", str(tmp_path))
        assert TurboVectorEnv(num_envs=1).start_states == [0]  # no 1-1: the first entry
        monkeypatch.delenv("TANUVEX_TURBO_STATES")
        assert TurboVectorEnv(num_envs=1).start_states == [-1]
        monkeypatch.setenv("TANUVEX_TURBO_ROM", str(tmp_path / "missing.nes"))
        with pytest.raises(FileNotFoundError, match="missing.nes \\(from TANUVEX_TURBO_ROM\\)$"):
            TurboVectorEnv(num_envs=1)
        monkeypatch.delenv("TANUVEX_TURBO_ROM")
        with pytest.raises(ValueError, match="TANUVEX_TURBO_ROM"):
            TurboVectorEnv(num_envs=1)

    def test_engine_settings_pass_through(self, make):
        env = make(
            2,
            frame_skip=2,
            grayscale=False,
            frame_stack=3,
            resize_width=40,
            resize_height=30,
            crop_top=8,
            noop_reset_max=5,
            sticky_action_prob=0.5,
            frame_maxpool=True,
            num_threads=2,
        )
        engine = env.engine
        assert (engine.frame_skip, engine.grayscale, engine.frame_stack) == (2, False, 3)
        assert (engine.resize_width, engine.resize_height, engine.crop_top) == (40, 30, 8)
        assert (engine.noop_reset_max, engine.sticky_action_prob, engine.frame_maxpool) == (5, 0.5, True)
        assert engine.num_threads == 2
        assert env.metadata["render_fps"] == pytest.approx(60.0988 / 2)

    @pytest.mark.parametrize(
        "kwargs, error, message",
        [
            (dict(obs_type="ram", frame_stack=10**6), ValueError, "^frame_stack must be an integer from 1 to 64, got"),
            (dict(resize_width=10**9), ValueError, "^resize_width must be an integer from 1 to 4096, got"),
            (dict(resize_width=4096, resize_height=4096, frame_stack=64), ValueError, "one lane's observation would"),
            (dict(crop_top=-1), ValueError, "^crop_top must be an integer from 0 to 223, got -1$"),
            (dict(obs_type="tiles", crop_top=500), ValueError, "^crop_top must be an integer from 0 to 223, got 500$"),
            (dict(crop_fill=999), ValueError, "^crop_fill must be an integer from 0 to 255"),
            (dict(grayscale="yes"), TypeError, "^grayscale must be True or False, got 'yes'$"),
            (dict(sticky_action_prob=float("nan")), ValueError, "^sticky_action_prob must be between"),
            (dict(no_such_option=1), TypeError, "unexpected keyword argument 'no_such_option'"),
        ],
    )
    def test_options_are_checked_against_their_declaration(self, make, kwargs, error, message):
        with pytest.raises(error, match=message):
            make(**kwargs)

    def test_options_a_type_ignores_are_ignored_within_their_range(self, make):
        # The tile view draws nothing: a resize and crops it does not use change neither it nor saved lanes.
        plain, resized = make(obs_type="tiles"), make(obs_type="tiles", resize_width=40, crop_top=200)
        assert plain.observation_space == resized.observation_space
        assert np.array_equal(plain.reset(seed=0)[0], resized.reset(seed=0)[0])
        resized.restore_states(plain.clone_states())

    def test_engine_refusals_surface_unchanged(self, make, tmp_path):
        with pytest.raises(ValueError, match=r"^crop_top \+ crop_bottom must be less than 224, got 230$"):
            make(crop_top=200, crop_bottom=30)
        junk = tmp_path / "junk.nes"
        junk.write_bytes(b"NES\x1a" + bytes(100))
        # The engine's message comes first; the path and what to do follow.
        with pytest.raises(RuntimeError, match="^ROM SHA-256 mismatch: .*junk.nes is not the supported .* --fix"):
            TurboVectorEnv(junk, 1)

    def test_bad_wrapper_arguments(self, make):
        with pytest.raises(ValueError, match="autoreset_mode"):
            make(autoreset_mode="Sometimes")
        with pytest.raises(ValueError, match="render_mode"):
            make(render_mode="human")
        with pytest.raises(ValueError, match="seed"):
            make(seed=-1)
        with pytest.raises(ValueError, match="exclude each other"):
            make(end_on_life_loss=True, episodic_life=True)
        for count in (0, -1, 65537):
            with pytest.raises(ValueError, match=f"^num_envs must be an integer from 1 to 65536, got {count}$"):
                make(count)
        with pytest.raises(ValueError, match="^unknown action set 'simpel': action_set must be one of right_only, "):
            make(action_set="simpel")
        # Not truncated to 1: only whole numbers count.
        for name in ("seed", "max_episode_steps"):
            with pytest.raises(TypeError, match=f"^{name} must be an integer, got float$"):
                make(**{name: 1.5})
        assert make(seed=np.uint8(3), max_episode_steps=np.int64(2)).max_episode_steps == 2

    def test_close(self, make):
        env = make()
        env.reset()
        env.close()
        assert env.closed
        with pytest.raises(RuntimeError, match="closed"):
            env.step(np.zeros(N, np.int64))

    def test_step_before_reset(self, make):
        with pytest.raises(RuntimeError, match="reset"):
            make().step(np.zeros(N, np.int64))


class TestSpaces:
    @pytest.mark.parametrize(
        "kwargs, shape",
        [
            ({}, (4, 84, 84)),
            ({"grayscale": False, "frame_stack": 2, "resize_width": 64, "resize_height": 60}, (6, 60, 64)),
        ],
    )
    def test_observation_space_matches_what_is_returned(self, make, kwargs, shape):
        env = make(**kwargs)
        assert env.single_observation_space == spaces.Box(0, 255, shape, np.uint8)
        assert env.observation_space.shape == (N,) + shape and env.observation_space.dtype == np.uint8
        obs, _ = env.reset(seed=0)
        assert env.observation_space.contains(obs)
        for _ in range(3):
            obs = env.step(env.action_space.sample())[0]
            assert env.observation_space.contains(obs)
            assert all(env.single_observation_space.contains(row) for row in obs)

    @pytest.mark.parametrize("action_set, count", [("right_only", 5), ("simple", 7), ("complex", 12), ("full", 256)])
    def test_action_space(self, make, action_set, count):
        env = make(action_set=action_set)
        assert env.single_action_space == spaces.Discrete(count)
        assert env.action_space == spaces.MultiDiscrete([count] * N)
        env.reset()
        env.step(env.action_space.sample())

    def test_custom_action_set(self, make):
        env = make(action_set=["noop", "right+B", 0x41])
        assert env.single_action_space == spaces.Discrete(3)
        assert env.action_table.tolist() == [0, 0x82, 0x41]


class TestActions:
    def test_index_selects_the_controller_byte(self, make):
        by_index = make(action_set="right_only")
        raw = make(action_set="full")
        by_index.reset()
        raw.reset()
        for _ in range(10):
            a = by_index.step(np.array([RIGHT, 0, RIGHT]))
            b = raw.step(np.array([0x80, 0, 0x80], np.uint8))
        assert np.array_equal(a[0], b[0])
        assert a[4]["x_pos"][0] > a[4]["x_pos"][1]  # right moved, no-op did not

    @pytest.mark.parametrize(
        "actions",
        [[0, 3, 2], np.array([0, 3, 2], np.int8), np.array([0, 3, 2], np.uint64), np.array([0.0, 3.0, 2.0])],
        ids=["list", "int8", "uint64", "whole-floats"],
    )
    def test_lists_and_integer_types_are_accepted(self, make, actions):
        env, reference = make(action_set="simple"), make(action_set="full")
        env.reset()
        reference.reset()
        for _ in range(6):
            obs, *_ = env.step(actions)
            expected, *_ = reference.step(np.array([0, 0x82, 0x81], np.uint8))
        assert np.array_equal(obs, expected)

    @pytest.mark.parametrize(
        "actions, error, text",
        [
            ([0, 1], ValueError, "shape"),
            ([[0, 1, 2]], ValueError, "shape"),
            ([0, 7, 1], ValueError, "action 7 is outside the action space"),
            ([0, -1, 1], ValueError, "action -1 is outside"),
            ([0.5, 1, 1], TypeError, "integers \\(or floats that are whole numbers\\), got dtype float64"),
            # Above the signed range: wrapped, it would be the last action of the set.
            (np.array([0, 2**64 - 1, 1], np.uint64), ValueError, "action 18446744073709551615 is outside"),
            ([0, 2.0**63, 1], ValueError, "action 9.223372036854776e\\+18 is outside"),
        ],
    )
    def test_refused_actions_change_nothing(self, make, actions, error, text):
        env = make(action_set="simple")
        env.reset()
        before = engine_ram(env)
        with pytest.raises(error, match=text):
            env.step(actions)
        assert np.array_equal(engine_ram(env), before)


class TestSeeds:
    def test_same_seed_same_trajectory(self, make):
        def trajectory(env, seed):
            obs, _ = env.reset(seed=seed)
            out = [obs]
            for row in np.random.default_rng(5).integers(0, 7, size=(15, N)):
                obs, rewards, *_ = env.step(row)
                out += [obs, rewards]
            return out

        kwargs = {"noop_reset_max": 30, "sticky_action_prob": 0.3}
        a, b, env = make(**kwargs), make(**kwargs), make(**kwargs)
        first = trajectory(a, 4)
        assert all(np.array_equal(x, y) for x, y in zip(first, trajectory(b, 4)))
        # Reseeding the same environment replays it.
        assert all(np.array_equal(x, y) for x, y in zip(first, trajectory(a, 4)))
        assert not all(np.array_equal(x, y) for x, y in zip(first, trajectory(env, 5)))

    def test_int_seed_gives_lane_i_seed_plus_i(self, make):
        kwargs = {"noop_reset_max": 40, "start_state": "1-1"}
        a, b = make(**kwargs), make(**kwargs)
        obs_a, _ = a.reset(seed=100)
        obs_b, _ = b.reset(seed=[100, 101, 102])
        assert np.array_equal(obs_a, obs_b)
        obs_shifted, _ = b.reset(seed=[101, 102, 103])
        assert np.array_equal(obs_a[1:], obs_shifted[:2])

    def test_none_does_not_reseed(self, make):
        env = make(noop_reset_max=40, start_state="1-1")
        seeded, _ = env.reset(seed=[7, None, None])
        other, _ = env.reset(seed=[7, None, None])
        assert np.array_equal(seeded[0], other[0])
        assert not np.array_equal(seeded[1:], other[1:])  # the unseeded lanes' streams went on

    def test_seeds_np_random(self, make):
        env = make()
        env.reset(seed=9)
        draw = env.np_random.integers(1 << 30)
        env.reset(seed=9)
        assert env.np_random.integers(1 << 30) == draw
        assert env.np_random_seed == 9

    @pytest.mark.parametrize("seed", [[1, 2], -3, [1, -1, 2], [1, "a", 2]])
    def test_bad_seeds(self, make, seed):
        with pytest.raises(ValueError):
            make().reset(seed=seed)


class TestResetOptions:
    def test_reset_mask_resets_only_those_lanes(self, make):
        env = make(start_state="1-1")
        first, _ = env.reset()
        for _ in range(8):
            moved = env.step(np.full(N, RIGHT))[0]
        obs, info = env.reset(options={"reset_mask": np.array([False, True, False])})
        assert np.array_equal(obs[1], first[1])
        assert np.array_equal(obs[[0, 2]], moved[[0, 2]])
        for name, _ in INFO_FIELDS:
            assert info["_" + name].tolist() == [False, True, False]

    @pytest.mark.parametrize(
        "mask, error",
        [
            ([True, False, True], TypeError),
            (np.ones(2, bool), ValueError),
            (np.ones(N, np.int8), TypeError),
            (np.zeros(N, bool), ValueError),
        ],
    )
    def test_bad_masks(self, make, mask, error):
        with pytest.raises(error, match="reset_mask"):
            make().reset(options={"reset_mask": mask})

    def test_states_by_name_and_index(self, make, states_dir):
        env = make()
        names = env.state_names
        assert names == [path.name[: -len(".state")] for path in sorted(states_dir.glob("*.state"))]
        obs, info = env.reset(options={"states": ["2-1", names.index("1-1"), "2-1"]})
        assert info["level_hi"].tolist() == [1, 0, 1]
        assert env.engine.active_state_indices() == [names.index("2-1"), names.index("1-1"), names.index("2-1")]
        assert np.array_equal(obs[0], obs[2])

    def test_state_applies_to_the_masked_lanes_and_sticks(self, make):
        env = make(start_state="1-1", max_episode_steps=1)
        env.reset()
        env.reset(options={"state": "3-1", "reset_mask": np.array([True, False, False])})
        assert env.start_states[1:] == [env.state_names.index("1-1")] * 2
        env.step(np.zeros(N, np.int64))  # truncates every lane
        _, _, _, _, info = env.step(np.zeros(N, np.int64))  # autoreset to each lane's start state
        assert info["level_hi"].tolist() == [2, 0, 0]

    def test_random_start_states_are_seeded(self, make):
        env = make(4, start_state="random")
        levels = []
        for seed in (1, 1, 2):
            env.reset(seed=seed)
            levels.append(env.engine.active_state_indices())
        assert levels[0] == levels[1]
        assert all(0 <= i < len(env.state_names) for i in levels[0] + levels[2])
        # A masked reset draws for its own lanes only, from np_random.
        twin = copy.deepcopy(env.np_random)
        for _ in range(6):
            env.reset(options={"reset_mask": np.array([False, True, False, False])})
            assert env.engine.active_state_indices()[1] == twin.integers(0, len(env.state_names), size=1)[0]

    @pytest.mark.parametrize(
        "options, text",
        [
            ({"state": "9-9"}, "unknown start state '9-9'"),
            ({"state": 99}, "index 99"),
            ({"states": ["1-1"]}, "one start state per lane"),
            ({"state": 1.5}, "name or an index"),
            ({"state": "1-1", "states": ["1-1"] * N}, "either"),
            ({"colour": 1}, "unknown reset options"),
        ],
    )
    def test_bad_options(self, make, options, text):
        with pytest.raises((ValueError, TypeError), match=text):
            make().reset(options=options)

    def test_power_on_without_states(self, make):
        with pytest.warns(UserWarning, match="no action of this action set presses Start"):
            env = make(states=())
        assert env.state_names == [] and env.start_states == [-1] * N
        env.reset()
        assert env.engine.active_state_indices() == [-1] * N
        for _ in range(3):
            assert not env.step(np.full(N, RIGHT))[2].any()  # power-on lanes play
        with pytest.raises(ValueError, match="no start states"):
            env.reset(options={"state": 0})

    def test_power_on_pays_only_for_a_game_being_played(self, make):
        with warnings.catch_warnings():
            warnings.simplefilter("error")  # an action set with Start is not warned about
            env = make(1, states=(), action_set=["noop", "start", "right+B"])
        env.reset()
        # The title screen's demo scrolls the level by itself: no reward, no episode end.
        demo = [env.step([0])[1:3] for _ in range(600)]
        assert sum(float(r[0]) for r, _ in demo) == 0.0 and not any(t[0] for _, t in demo)
        for action in [1] + [0] * 9 + [1]:  # Start leaves the demo, Start again begins a game
            env.step([action])
        assert sum(float(env.step([2])[1][0]) for _ in range(80)) > 100


class TestInfo:
    def test_game_values_with_masks(self, make):
        env = make(start_state="1-1")
        _, info = env.reset()
        assert info["time"].tolist() == [400] * N and info["x_pos"].tolist() == [40] * N
        _, _, _, _, info = env.step(np.full(N, RIGHT))
        for name, dtype in INFO_FIELDS:
            assert info[name].dtype == dtype and info[name].shape == (N,)
            assert info["_" + name].dtype == np.bool_ and info["_" + name].all()

    def test_extra_info_by_name(self, make):
        env = make(extra_info=["enemy_active", "y_pos", "player_power"])
        ids = [
            env_id for env_id, name, *_ in extra_info_descriptors() if name in ("enemy_active", "y_pos", "player_power")
        ]
        assert env.engine.extra_info_shape() == (N, 8) and len(ids) == 3
        _, info = env.reset()
        _, _, _, _, info = env.step(np.full(N, RIGHT))
        raw = np.zeros(env.engine.extra_info_shape(), np.int64)
        env.engine.extra_info_into(raw)
        assert info["enemy_active"].shape == (N, 6) and info["enemy_active"].dtype == np.bool_
        assert np.array_equal(info["enemy_active"], raw[:, :6].astype(bool))
        assert info["y_pos"].dtype == np.int32 and np.array_equal(info["y_pos"], raw[:, 6])
        assert info["player_power"].dtype == np.int8 and np.array_equal(info["player_power"], raw[:, 7])
        assert info["_y_pos"].all()

    @pytest.mark.parametrize(
        "extra, text", [(["altitude"], "unknown extra info"), ([2, "y_pos"], "twice"), ([27], "unknown")]
    )
    def test_bad_extra_info(self, make, extra, text):
        with pytest.raises(ValueError, match=text):
            make(extra_info=extra)


class TestObservationOwnership:
    def test_returned_observations_are_not_overwritten(self, make):
        env = make()
        obs, _ = env.reset()
        kept = obs.copy()
        first_step = env.step(np.full(N, RIGHT))
        step_obs, rewards, terminated, _, info = first_step
        kept_step = step_obs.copy()
        kept_x = info["x_pos"].copy()
        for _ in range(5):
            env.step(np.full(N, RIGHT))
        assert np.array_equal(obs, kept)
        assert np.array_equal(step_obs, kept_step) and np.array_equal(info["x_pos"], kept_x)

    def test_zero_copy_returns_the_live_buffer(self, make):
        env = make(copy=False)
        obs, _ = env.reset()
        step_obs = env.step(np.full(N, RIGHT))[0]
        assert step_obs is obs
        later = env.step(np.full(N, RIGHT))[0]
        assert later is obs
        copying = make()
        copying.reset()
        copying.step(np.full(N, RIGHT))
        assert np.array_equal(copying.step(np.full(N, RIGHT))[0], obs)


class TestRender:
    def test_display_frames(self, make):
        env = make(render_mode="rgb_array", start_state=["1-1", "2-1", "1-1"])
        env.reset()
        frames = env.render()
        assert len(frames) == N
        for frame in frames:
            assert frame.shape == (224, 240, 3) and frame.dtype == np.uint8
        assert np.array_equal(frames[0], frames[2]) and not np.array_equal(frames[0], frames[1])
        for _ in range(30):
            env.step(np.array([RIGHT, 0, 0]))
        later = env.render()
        assert not np.array_equal(later[0], later[2])  # the lane that ran right shows a different picture
        assert not np.array_equal(later[0], frames[0])

    def test_no_render_mode(self, make):
        env = make()
        env.reset()
        assert env.render() is None


class TestStatesFromFiles:
    def test_gzip_and_raw_files_named_by_stem(self, rom_path, states_dir, tmp_path):
        compressed = tmp_path / "first.state"
        shutil.copy(states_dir / "1-1.state", compressed)
        raw = tmp_path / "second.state"
        raw.write_bytes(gzip.decompress((states_dir / "1-1.state").read_bytes()))
        doubled = tmp_path / "third.state.gz"
        shutil.copy(states_dir / "2-1.state", doubled)
        env = TurboVectorEnv(rom_path, 3, states=[compressed, str(raw), doubled], start_state=[0, 1, 2], num_threads=1)
        assert env.state_names == ["first", "second", "third"]
        obs, info = env.reset()
        assert np.array_equal(obs[0], obs[1]) and info["level_hi"].tolist() == [0, 0, 1]

    def test_directory_mapping_and_pairs(self, rom_path, states_dir, tmp_path):
        for name in ("b.state", "a.state.gz", "notes.txt"):
            shutil.copy(states_dir / "1-1.state", tmp_path / name)
        assert TurboVectorEnv(rom_path, 1, states=tmp_path).state_names == ["a", "b"]
        data = (states_dir / "2-1.state").read_bytes()
        env = TurboVectorEnv(rom_path, 1, states={"two": data, "one": states_dir / "1-1.state"})
        assert env.state_names == ["two", "one"]
        env = TurboVectorEnv(rom_path, 1, states=[("x", gzip.decompress(data))], start_state="x")
        assert env.reset()[1]["level_hi"][0] == 1

    def test_refusals(self, rom_path, states_dir, tmp_path):
        with pytest.raises(FileNotFoundError):
            TurboVectorEnv(rom_path, 1, states=tmp_path / "missing")
        with pytest.raises(ValueError, match="no \\*.state files"):
            TurboVectorEnv(rom_path, 1, states=tmp_path)
        (tmp_path / "bad.state").write_bytes(b"\x1f\x8b not gzip")
        with pytest.raises(ValueError, match="gzip"):
            TurboVectorEnv(rom_path, 1, states=tmp_path)
        with pytest.raises(ValueError, match="named '1-1'"):
            TurboVectorEnv(rom_path, 1, states=[states_dir / "1-1.state", states_dir / "1-1.state"])
        (tmp_path / "bad.state").write_bytes(b"not a state image at all")
        with pytest.raises(ValueError, match="bad.state is not a state image: it holds none of the fields"):
            TurboVectorEnv(rom_path, 1, states=tmp_path / "bad.state")
