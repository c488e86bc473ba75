"""_RetroVecEnv construction: parameters, conversions, validation order and
messages, worker pools, cartridge and state catalog errors."""

from __future__ import annotations

import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest

from tanuvex_turbo import _RetroVecEnv

MISSING = "/nonexistent/supported-cartridge.nes"


class Index:
    """An integer-like object that is not an int."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


def test_defaults_and_properties(make_env):
    env = make_env(3)
    assert env.num_envs == 3
    assert (env.frame_skip, env.grayscale, env.frame_stack, env.frame_maxpool) == (4, True, 4, False)
    assert (env.noop_reset_max, env.sticky_action_prob) == (0, 0.0)
    assert (env.crop_top, env.crop_bottom, env.resize_width, env.resize_height) == (0, 0, 84, 84)
    assert env.state_catalog == []
    assert env.obs_shape() == (3, 4, 84, 84)
    assert env.active_state_indices() == [-1, -1, -1]
    assert env.rgb_frame_shape() == (3, 224, 240, 3)
    assert env.extra_info_shape() == (3, 0)
    assert env.ram_shape() == (3, 2048)
    assert type(env.grayscale) is bool and type(env.sticky_action_prob) is float
    for name in ("num_envs", "frame_skip", "state_catalog", "grayscale"):
        with pytest.raises(AttributeError):
            setattr(env, name, 1)
    for absent in ("terminate_on_flag", "crop_left", "crop_mode", "resize_algorithm", "extra_info_ids"):
        assert not hasattr(env, absent)


def test_positional_and_keyword_arguments_agree(rom_path):
    values = [
        rom_path,
        2,
        3,
        False,
        2,
        False,
        10,
        20,
        40,
        30,
        None,
        None,
        7,
        True,
        5,
        0.25,
        4,
        6,
        "mask",
        9,
        "nearest",
        1,
        [16, 0],
    ]
    names = list(_RetroVecEnv.__text_signature__[1:-1].replace(" ", "").split(","))
    names = [n.split("=")[0] for n in names]
    by_position = _RetroVecEnv(*values)
    by_keyword = _RetroVecEnv(**dict(zip(names, values)))
    for env in (by_position, by_keyword):
        assert env.obs_shape() == (2, 6, 30, 40)  # colour: 2 slots x 3 planes
        assert (env.frame_skip, env.grayscale, env.frame_stack, env.frame_maxpool) == (3, False, 2, True)
        assert (env.crop_top, env.crop_bottom, env.noop_reset_max, env.sticky_action_prob) == (10, 20, 5, 0.25)
        assert env.num_threads == 1
        assert env.extra_info_shape() == (2, 7)


def test_flags_accept_numpy_bools(make_env):
    env = make_env(1, grayscale=np.bool_(False), terminate_on_flag=np.False_, frame_maxpool=np.bool_(True))
    assert env.grayscale is False and env.frame_maxpool is True
    assert env.obs_shape() == (1, 12, 84, 84)


def test_integer_like_arguments(make_env):
    env = make_env(Index(2), frame_skip=Index(3), sticky_action_prob=1, crop_fill=255, num_threads=Index(1))
    assert (env.num_envs, env.frame_skip, env.sticky_action_prob) == (2, 3, 1.0)


class TestValidation:
    """Value checks run in a fixed order before the cartridge is touched, so a
    missing cartridge path never hides them."""

    @pytest.mark.parametrize(
        "kwargs, message",
        [
            ({"num_envs": 0}, "num_envs must be > 0"),
            ({"frame_skip": 0, "frame_stack": 0}, "frame_skip must be > 0"),
            ({"frame_stack": 0, "crop_top": 300}, "frame_stack must be > 0"),
            ({"crop_top": 100, "crop_bottom": 124}, "crop_top + crop_bottom must be less than 224, got 224"),
            (
                {"crop_top": 2**64 - 1, "crop_bottom": 2},
                "crop_top + crop_bottom must be less than 224, got 18446744073709551617",
            ),
            (
                {"crop_left": 120, "crop_right": 120, "resize_width": 0},
                "crop_left + crop_right must be less than 240, got 240",
            ),
            ({"resize_width": 0}, "resize_width and resize_height must be > 0"),
            ({"resize_height": 0, "noop_reset_max": -1}, "resize_width and resize_height must be > 0"),
            ({"noop_reset_max": -1}, "noop_reset_max must be non-negative"),
            ({"sticky_action_prob": 1.0000001}, "sticky_action_prob must be between 0.0 and 1.0"),
            ({"sticky_action_prob": -0.0001, "num_threads": 0}, "sticky_action_prob must be between 0.0 and 1.0"),
            ({"sticky_action_prob": float("nan")}, "sticky_action_prob must be between 0.0 and 1.0"),
            ({"sticky_action_prob": np.float64("-nan")}, "sticky_action_prob must be between 0.0 and 1.0"),
            ({"sticky_action_prob": float("inf")}, "sticky_action_prob must be between 0.0 and 1.0"),
            ({"num_threads": 0}, "num_threads must be > 0"),
            ({"num_threads": -3, "crop_mode": "x"}, "num_threads must be > 0"),
            ({"crop_mode": "Mask"}, "crop_mode must be 'remove' or 'mask'"),
            ({"crop_mode": "remove ", "resize_algorithm": "x"}, "crop_mode must be 'remove' or 'mask'"),
            ({"resize_algorithm": "Area"}, "resize_algorithm must be one of: nearest, bilinear, area"),
            (
                {"resize_algorithm": "bicubic", "extra_info_ids": [99]},
                "resize_algorithm must be one of: nearest, bilinear, area",
            ),
            ({"extra_info_ids": [3, 99, 3]}, "extra_info_ids contains an unknown id"),
            ({"extra_info_ids": [27]}, "extra_info_ids contains an unknown id"),
            ({"extra_info_ids": [3, 5, 3]}, "extra_info_ids must not contain duplicates"),
        ],
    )
    def test_first_failing_rule_is_reported(self, kwargs, message):
        kwargs = dict(kwargs)
        num_envs = kwargs.pop("num_envs", 4)
        with pytest.raises(ValueError) as info:
            _RetroVecEnv(MISSING, num_envs, **kwargs)
        assert str(info.value) == message

    @pytest.mark.parametrize(
        "kwargs",
        [
            {"crop_top": 100, "crop_bottom": 123},
            {"crop_left": 119, "crop_right": 120},
            {"sticky_action_prob": 1.0},
            {"sticky_action_prob": 0.0},
            {"num_threads": None},
            {"crop_mode": "mask", "crop_top": 50},
            {"resize_algorithm": "bilinear"},
            {"resize_algorithm": "nearest"},
            {"extra_info_ids": []},
            {"state_catalog_data": [], "state_catalog_names": []},
        ],
    )
    def test_boundary_values_are_accepted(self, make_env, kwargs):
        env = make_env(2, **kwargs)
        assert env.num_envs == 2

    def test_crop_sizes_follow_the_mode(self, make_env):
        removed = make_env(1, crop_top=24, crop_left=16, resize_width=224, resize_height=200)
        assert removed.obs_shape() == (1, 4, 200, 224)
        masked = make_env(1, crop_mode="mask", crop_top=24, crop_bottom=199)
        assert masked.obs_shape() == (1, 4, 84, 84)


class TestConversion:
    @pytest.mark.parametrize(
        "kwargs, name",
        [
            ({"grayscale": 1}, "grayscale"),
            ({"terminate_on_flag": "yes"}, "terminate_on_flag"),
            ({"frame_maxpool": None}, "frame_maxpool"),
            ({"frame_skip": None}, "frame_skip"),
            ({"frame_skip": 4.0}, "frame_skip"),
            ({"seed": "7"}, "seed"),
            ({"sticky_action_prob": "0.5"}, "sticky_action_prob"),
            ({"crop_mode": b"mask"}, "crop_mode"),
            ({"resize_algorithm": None}, "resize_algorithm"),
            ({"num_threads": 2.0}, "num_threads"),
            ({"extra_info_ids": [1, "2"]}, "extra_info_ids"),
            ({"extra_info_ids": 5}, "extra_info_ids"),
            ({"state_catalog_names": [b"a"]}, "state_catalog_names"),
            ({"state_catalog_data": [[1, 2], 3]}, "state_catalog_data"),
            ({"state_catalog_data": {1: b"x"}}, "state_catalog_data"),
        ],
    )
    def test_wrong_types_name_the_argument(self, kwargs, name):
        with pytest.raises(TypeError) as info:
            _RetroVecEnv(MISSING, 2, **kwargs)
        assert str(info.value).startswith(f"argument '{name}': ")

    @pytest.mark.parametrize("name", ["extra_info_ids", "state_catalog_data", "state_catalog_names"])
    def test_str_is_not_a_sequence(self, name):
        with pytest.raises(TypeError) as info:
            _RetroVecEnv(MISSING, 2, **{name: "abc"})
        assert str(info.value) == f"argument '{name}': Can't extract `str` to `Vec`"

    def test_str_item_of_state_catalog_data(self):
        with pytest.raises(TypeError) as info:
            _RetroVecEnv(MISSING, 2, state_catalog_data=[b"ok", "abc"])
        assert str(info.value) == "argument 'state_catalog_data': Can't extract `str` to `Vec`"

    def test_rom_path_and_num_envs_types(self):
        with pytest.raises(TypeError, match="^argument 'rom_path': "):
            _RetroVecEnv(5, 2)
        with pytest.raises(TypeError, match="^argument 'num_envs': "):
            _RetroVecEnv(MISSING, "2")

    @pytest.mark.parametrize(
        "kwargs, message",
        [
            ({"crop_fill": 256}, "out of range integral type conversion attempted"),
            ({"crop_fill": -1}, "out of range integral type conversion attempted"),
            ({"extra_info_ids": [300]}, "out of range integral type conversion attempted"),
            ({"extra_info_ids": [3, -1]}, "out of range integral type conversion attempted"),
            ({"state_catalog_data": [[1, 256]]}, "out of range integral type conversion attempted"),
            ({"frame_skip": -1}, None),
            ({"seed": 2**64}, None),
            ({"noop_reset_max": 2**63}, None),
            ({"num_threads": -(2**63) - 1}, None),
        ],
    )
    def test_out_of_range_integers(self, kwargs, message):
        with pytest.raises(OverflowError) as info:
            _RetroVecEnv(MISSING, 2, **kwargs)
        assert not str(info.value).startswith("argument")
        if message is not None:
            assert str(info.value) == message

    def test_conversion_precedes_validation_in_parameter_order(self):
        # num_envs 0 is a validation error, crop_fill 256 a conversion error:
        # every argument converts before any rule is checked.
        with pytest.raises(OverflowError):
            _RetroVecEnv(MISSING, 0, crop_fill=256)
        # Of two conversion errors the earlier parameter wins.
        with pytest.raises(TypeError, match="^argument 'grayscale': "):
            _RetroVecEnv(MISSING, 2, grayscale=1, extra_info_ids="abc")
        with pytest.raises(OverflowError):
            _RetroVecEnv(MISSING, -1, grayscale=1)

    @pytest.mark.parametrize(
        "args, kwargs",
        [
            ((), {}),
            ((MISSING,), {}),
            ((MISSING, 2), {"num_env": 2}),
            ((MISSING, 2), {"rom_path": MISSING}),
            ((MISSING,) + (2,) * 23, {}),
        ],
    )
    def test_binding_errors(self, args, kwargs):
        with pytest.raises(TypeError):
            _RetroVecEnv(*args, **kwargs)


class TestCartridge:
    def test_missing_file(self):
        with pytest.raises(RuntimeError, match="^failed to read ROM: "):
            _RetroVecEnv(MISSING, 2)

    def test_wrong_image(self, tmp_path):
        other = tmp_path / "other.nes"
        other.write_bytes(b"NES\x1a" + bytes(16 + 16384))
        with pytest.raises(RuntimeError, match="^ROM SHA-256 mismatch: got [0-9a-f]{64}, expected [0-9a-f]{64}$"):
            _RetroVecEnv(str(other), 2)

    def test_altered_byte_of_the_supported_image(self, rom_path, tmp_path):
        image = bytearray(open(rom_path, "rb").read())
        image[-1] ^= 0xFF
        altered = tmp_path / "altered.nes"
        altered.write_bytes(bytes(image))
        with pytest.raises(RuntimeError, match="^ROM SHA-256 mismatch: "):
            _RetroVecEnv(str(altered), 2)

    def test_cartridge_is_loaded_before_the_catalog_is_built(self):
        with pytest.raises(RuntimeError, match="^failed to read ROM: "):
            _RetroVecEnv(MISSING, 2, state_catalog_names=["a"])


class TestStateCatalog:
    @pytest.mark.parametrize(
        "data, names, message",
        [
            (None, ["a"], "state_catalog_names requires state_catalog_data"),
            ([], ["a"], "state_catalog_names requires state_catalog_data"),
            ([b"", b"x"], ["a"], "state_catalog_data entries must not be empty"),
            ([b"x", []], None, "state_catalog_data entries must not be empty"),
            ([b"x", b"y"], ["a"], "state_catalog_names length must match state_catalog_data length"),
            ([b"x", b"y"], ["a", "a"], "state_catalog_names must not contain duplicates"),
            ([b"x"], None, "state field PC with size 2 was not found"),
        ],
    )
    def test_catalog_errors(self, rom_path, data, names, message):
        with pytest.raises(ValueError) as info:
            _RetroVecEnv(rom_path, 2, state_catalog_data=data, state_catalog_names=names)
        assert str(info.value) == message

    def test_a_bad_image_anywhere_in_the_catalog_is_refused(self, rom_path, state_images):
        good = state_images[0][1]
        truncated = good[:7]
        with pytest.raises(ValueError, match="^state field PC with size 2 was not found$"):
            _RetroVecEnv(rom_path, 1, state_catalog_data=[good, good, truncated])

    def test_generated_and_given_names(self, make_env, state_images):
        data = [state_images[0][1], bytearray(state_images[1][1]), list(state_images[2][1])]
        env = make_env(2, state_catalog_data=data)
        assert env.state_catalog == ["state-0", "state-1", "state-2"]
        assert env.active_state_indices() == [0, 0]
        named = make_env(2, state_catalog_data=data, state_catalog_names=["x", "y", "state-0"])
        assert named.state_catalog == ["x", "y", "state-0"]

    def test_full_catalog(self, make_env, catalog):
        env = make_env(3, **catalog)
        assert env.state_catalog == catalog["state_catalog_names"]
        assert env.active_state_indices() == [0, 0, 0]


class TestWorkerThreads:
    def test_private_pool_sizes(self, make_env):
        cpus = len(os.sched_getaffinity(0))
        assert make_env(4, num_threads=1).num_threads == 1
        assert make_env(1, num_threads=8).num_threads == 1
        assert make_env(16, num_threads=8).num_threads == min(8, cpus)
        assert make_env(2, num_threads=64).num_threads == min(2, cpus)

    def test_shared_pool_size_comes_from_the_environment(self, rom_path):
        script = textwrap.dedent(
            f"""
            from tanuvex_turbo import _RetroVecEnv
            print(_RetroVecEnv({rom_path!r}, 8).num_threads, _RetroVecEnv({rom_path!r}, 2).num_threads)
            """
        )
        for variables, expected in [
            ({"RAYON_NUM_THREADS": "3"}, "3 2"),
            ({"RAYON_NUM_THREADS": "x", "RAYON_RS_NUM_CPUS": "5"}, "5 2"),
            ({"RAYON_NUM_THREADS": "1"}, "1 1"),
        ]:
            env = {k: v for k, v in os.environ.items() if not k.startswith("RAYON_")}
            env.update(variables)
            result = subprocess.run(
                [sys.executable, "-c", script], env=env, capture_output=True, text=True, timeout=120
            )
            assert result.returncode == 0, result.stderr
            assert result.stdout.split() == expected.split(), variables

    @pytest.mark.skipif(not os.path.isdir("/proc/self/task"), reason="needs /proc to count threads")
    def test_failed_constructions_leave_no_threads_behind(self, rom_path):
        before = len(os.listdir("/proc/self/task"))
        for _ in range(10):
            # The private pool exists by the time the catalog is refused.
            with pytest.raises(ValueError):
                _RetroVecEnv(rom_path, 4, num_threads=2, state_catalog_data=[b"x"])
            with pytest.raises(RuntimeError):
                _RetroVecEnv(MISSING, 4, num_threads=2)
        assert len(os.listdir("/proc/self/task")) == before
