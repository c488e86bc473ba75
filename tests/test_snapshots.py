"""Lane snapshots through the public surface: capturing lanes, the portable
bytes, decoding them, restoring lanes in a mixed reset, the identity that
binds a live snapshot to its environment, every refusal and the holds."""

from __future__ import annotations

import copy
import gc
import pickle
import struct

import numpy as np
import pytest
from env_support import fortran, ram_of, step_arrays, strided
from hold_probe import errors_while

from tanuvex_turbo import ZuboLiveSnapshot, _RetroVecEnv

N = 4
RIGHT, LEFT, A_BUTTON, B_BUTTON = 0x80, 0x40, 0x01, 0x02
ACTIONS = np.array(
    [0, RIGHT, RIGHT | A_BUTTON, RIGHT | B_BUTTON, RIGHT | A_BUTTON | B_BUTTON, LEFT, A_BUTTON], np.uint8
)
HEADER_BYTES = 29
MACHINE_BYTES = 4453
GRAY_84_STACK_4 = 4 * 84 * 84
PICKLE_MESSAGE = "live snapshot handles are session-local and cannot be pickled"
FOREIGN_MESSAGE = "snapshot belongs to a different environment instance"
# Settings that make every random draw matter: sticky actions and no-op resets.
RANDOM_PLAY = {"sticky_action_prob": 0.25, "noop_reset_max": 6, "seed": 11}


def start_indices(catalog, picks=(1, 2, 5, 6)):
    """One catalog index per lane, spread over the start states."""
    count = len(catalog["state_catalog_data"])
    return np.array([p % count for p in picks], np.int32)


class Player:
    """Drives an environment with given actions; lanes whose episode ends are
    reset to their start state at once. Each step returns every output."""

    def __init__(self, env, starts):
        self.env = env
        self.starts = np.asarray(starts, np.int32)
        self.arrays = step_arrays(env)
        self.n = env.num_envs

    def start(self):
        self.env.reset_masked_into(self.arrays["obs"], np.ones(self.n, bool), self.starts, [None] * self.n)

    def step(self, actions):
        self.arrays["actions"][:] = actions
        self.env.step_into(**self.arrays)
        outputs = {name: array.copy() for name, array in self.arrays.items()}
        outputs["ram"] = ram_of(self.env)
        ended = self.arrays["terminated"].copy()
        if ended.any():
            self.env.reset_masked_into(self.arrays["obs"], ended, self.starts, [None] * self.n)
            outputs["reset_obs"] = self.arrays["obs"].copy()
        outputs["active"] = np.array(self.env.active_state_indices())
        return outputs

    def play(self, steps, rng):
        for _ in range(steps):
            self.step(rng.choice(ACTIONS, self.n))


def restore_all(env, obs, snapshots):
    """Restores every lane from `snapshots` (one per lane)."""
    n = env.num_envs
    env.reset_mixed_into(obs, np.ones(n, bool), np.full(n, -1, np.int32), [None] * n, snapshots)


class TestRoundTrip:
    @pytest.mark.parametrize(
        "config",
        [{}, {"grayscale": False, "frame_stack": 2, "frame_maxpool": True, "resize_algorithm": "nearest"}],
        ids=["gray", "colour-maxpool"],
    )
    def test_portable_copy_plays_on_identically(self, make_env, catalog, config):
        kwargs = {**catalog, **RANDOM_PLAY, **config}
        starts = start_indices(catalog)
        rng = np.random.default_rng(5)
        source = Player(make_env(N, **kwargs), starts)
        source.start()
        source.play(120, rng)
        payloads = [s.to_bytes() for s in source.env.capture_snapshots(source.arrays["obs"], np.ones(N, bool))]

        twin = Player(make_env(N, **kwargs), starts)
        twin.start()
        restore_all(twin.env, twin.arrays["obs"], twin.env.decode_snapshots(payloads))
        assert np.array_equal(twin.arrays["obs"], source.arrays["obs"])
        assert np.array_equal(ram_of(twin.env), ram_of(source.env))
        assert twin.env.active_state_indices() == source.env.active_state_indices()

        for step in range(400):
            actions = rng.choice(ACTIONS, N)
            expected = source.step(actions)
            got = twin.step(actions)
            assert expected.keys() == got.keys(), step
            for name in expected:
                assert np.array_equal(expected[name], got[name]), (step, name)

    def test_restore_into_another_lane(self, make_env, catalog):
        starts = start_indices(catalog, (1, 3, 5, 3))  # lanes 1 and 3 share their start state
        rng = np.random.default_rng(9)
        player = Player(make_env(N, **catalog, **RANDOM_PLAY), starts)
        player.start()
        player.play(80, rng)
        obs = player.arrays["obs"]
        captured = player.env.capture_snapshots(obs, np.array([False, True, False, False]))
        player.env.reset_mixed_into(
            obs,
            np.array([False, False, False, True]),
            np.array([0, 0, 0, -1], np.int32),
            [None] * N,
            [None, None, None, captured[1]],
        )
        assert np.array_equal(obs[3], obs[1])
        assert np.array_equal(ram_of(player.env)[3], ram_of(player.env)[1])
        assert player.env.active_state_indices()[3] == player.env.active_state_indices()[1]

        # Lane 3 is now lane 1's double, random state included: with the same
        # actions (and sticky draws) both lanes stay equal.
        for step in range(250):
            actions = rng.choice(ACTIONS, N)
            actions[3] = actions[1]
            out = player.step(actions)
            for name, value in out.items():
                assert np.array_equal(value[1], value[3]), (step, name)

    def test_one_snapshot_restores_many_times(self, make_env, catalog):
        player = Player(make_env(N, **catalog, **RANDOM_PLAY), start_indices(catalog))
        player.start()
        player.play(40, np.random.default_rng(2))
        obs = player.arrays["obs"]
        snapshot = player.env.capture_snapshots(obs, np.array([True, False, False, False]))[0]
        payload = snapshot.to_bytes()
        lane0_obs, lane0_ram = obs[0].copy(), ram_of(player.env)[0]
        player.play(30, np.random.default_rng(3))
        # The same handle at two positions of one call, then once more.
        player.env.reset_mixed_into(
            obs,
            np.array([True, False, True, False]),
            np.array([-1, 0, -1, 0], np.int32),
            [None] * N,
            [snapshot, None, snapshot, None],
        )
        player.play(10, np.random.default_rng(4))
        player.env.reset_mixed_into(
            obs,
            np.array([False, True, False, False]),
            np.array([0, -1, 0, 0], np.int32),
            [None] * N,
            [None, snapshot, None, None],
        )
        assert np.array_equal(obs[1], lane0_obs)
        assert np.array_equal(ram_of(player.env)[1], lane0_ram)
        assert snapshot.to_bytes() == payload

    def test_capture_list_passed_back_unchanged(self, make_env, catalog):
        player = Player(make_env(N, **catalog, **RANDOM_PLAY), start_indices(catalog))
        player.start()
        player.play(30, np.random.default_rng(6))
        obs = player.arrays["obs"]
        mask = np.array([False, True, False, True])
        snapshots = player.env.capture_snapshots(obs, mask)
        assert [s is None for s in snapshots] == [True, False, True, False]
        assert all(isinstance(s, ZuboLiveSnapshot) for s in snapshots[1::2])
        captured_obs, captured_ram = obs.copy(), ram_of(player.env)
        captured_active = player.env.active_state_indices()
        player.play(20, np.random.default_rng(7))
        before_obs, before_ram = obs.copy(), ram_of(player.env)

        player.env.reset_mixed_into(obs, mask, np.where(mask, -1, 0).astype(np.int32), [None] * N, snapshots)
        ram = ram_of(player.env)
        for lane in range(N):
            want_obs, want_ram = (captured_obs, captured_ram) if mask[lane] else (before_obs, before_ram)
            assert np.array_equal(obs[lane], want_obs[lane]), lane
            assert np.array_equal(ram[lane], want_ram[lane]), lane
        assert [player.env.active_state_indices()[i] for i in (1, 3)] == [captured_active[i] for i in (1, 3)]

    def test_catalog_lanes_of_a_mixed_reset_match_a_masked_reset(self, make_env, catalog):
        kwargs = {**catalog, **RANDOM_PLAY}
        starts = start_indices(catalog)
        env = make_env(N, **kwargs)
        obs = np.zeros(env.obs_shape(), np.uint8)
        env.reset_masked_into(obs, np.ones(N, bool), starts, [None] * N)
        snapshot = env.capture_snapshots(obs, np.array([False, True, False, False]))[1]
        indices = np.array([starts[2], -1, starts[0], starts[3]], np.int32)
        seeds = [77, None, 78, 79]
        env.reset_mixed_into(obs, np.ones(N, bool), indices, seeds, [None, snapshot, None, None])

        reference = make_env(N, **kwargs)
        ref_obs = np.zeros(reference.obs_shape(), np.uint8)
        reference.reset_masked_into(ref_obs, np.array([True, False, True, True]), indices, seeds)
        for lane in (0, 2, 3):
            assert np.array_equal(obs[lane], ref_obs[lane]), lane
            assert np.array_equal(ram_of(env)[lane], ram_of(reference)[lane]), lane
            assert env.active_state_indices()[lane] == indices[lane]


class TestPortableBytes:
    def test_envelope_layout(self, make_env, catalog):
        env = make_env(N, **catalog)
        obs = np.zeros(env.obs_shape(), np.uint8)
        starts = start_indices(catalog)
        env.reset_masked_into(obs, np.ones(N, bool), starts, [None] * N)
        env.seed(1000)
        arrays = step_arrays(env, RIGHT | B_BUTTON)
        arrays["obs"] = obs
        env.step_into(**arrays)
        obs[2] = 0xAB  # the caller's row is taken as it is
        ram = ram_of(env)
        snapshots = env.capture_snapshots(obs, np.ones(N, bool))
        for lane, snapshot in enumerate(snapshots):
            payload = snapshot.to_bytes()
            assert isinstance(payload, bytes)
            assert len(payload) == HEADER_BYTES + GRAY_84_STACK_4 + MACHINE_BYTES == 32706
            assert payload[:8] == b"VRXVEC1\0"
            index, action, rng_state, obs_len, machine_len = struct.unpack_from("<iBQII", payload, 8)
            # No sticky actions: the random state is still the seeded one.
            assert (index, action, rng_state) == (starts[lane], RIGHT | B_BUTTON, 1000 + lane)
            assert (obs_len, machine_len) == (GRAY_84_STACK_4, MACHINE_BYTES)
            assert payload[HEADER_BYTES : HEADER_BYTES + obs_len] == obs[lane].tobytes()
            blob = payload[HEADER_BYTES + obs_len :]
            assert blob[:9] == b"NROMGM1\0\0" and blob[9:17] == b"NROMST1\0"
            assert blob[24 : 24 + 2048] == ram[lane].tobytes()

    def test_reencoding_a_decoded_snapshot_gives_the_same_bytes(self, make_env, catalog):
        kwargs = {**catalog, **RANDOM_PLAY}
        player = Player(make_env(N, **kwargs), start_indices(catalog))
        player.start()
        player.play(90, np.random.default_rng(8))
        payloads = [s.to_bytes() for s in player.env.capture_snapshots(player.arrays["obs"], np.ones(N, bool))]
        other = make_env(N, **kwargs)
        for shift in range(N):
            # Same lane first, then every other lane position.
            moved = payloads[shift:] + payloads[:shift]
            assert [s.to_bytes() for s in other.decode_snapshots(moved)] == moved
        assert [s.to_bytes() for s in player.env.decode_snapshots(payloads)] == payloads

    @pytest.mark.parametrize("kind", [bytes, bytearray, list, tuple, memoryview])
    def test_payload_item_kinds(self, make_env, catalog, kind):
        env = make_env(N, **catalog)
        obs = np.zeros(env.obs_shape(), np.uint8)
        env.reset_into(obs)
        payload = env.capture_snapshots(obs, np.ones(N, bool))[1].to_bytes()
        decoded = env.decode_snapshots((None, kind(payload), None, None))
        assert isinstance(decoded, list) and decoded[0] is None and decoded[2:] == [None, None]
        assert decoded[1].to_bytes() == payload

    def test_nbytes_grows_by_one_per_observation_byte(self, make_env):
        def snapshot_of(**config):
            env = make_env(2, **config)
            obs = np.zeros(env.obs_shape(), np.uint8)
            env.reset_into(obs)
            return env, env.capture_snapshots(obs, np.ones(2, bool))

        env_a, (a0, a1) = snapshot_of()
        _, (b0, _) = snapshot_of(grayscale=False, frame_stack=3, resize_width=60, resize_height=50)
        size_a, size_b = 4 * 84 * 84, 3 * 3 * 50 * 60
        assert type(a0.nbytes) is int
        assert a0.nbytes == a1.nbytes
        assert b0.nbytes - a0.nbytes == size_b - size_a
        # The footprint covers the observation and a whole console (RAM and
        # nametable memory alone are 4 KiB).
        assert a0.nbytes > size_a + 4096
        # A decoded snapshot is the same kind of record.
        decoded = env_a.decode_snapshots([a0.to_bytes(), None])[0]
        assert decoded.nbytes == a0.nbytes


class TestCaptureRefusals:
    @pytest.fixture
    def env(self, make_env, catalog):
        e = make_env(N, **catalog)
        e.reset_into(np.zeros(e.obs_shape(), np.uint8))
        return e

    @pytest.mark.parametrize(
        "obs, mask, error, message",
        [
            (np.zeros((4, 4, 84, 80), np.uint8), np.ones(3, bool), ValueError, "obs has an incorrect shape"),
            (np.zeros((4, 2, 84, 84), np.uint8), np.ones(4, bool), ValueError, "obs has an incorrect shape"),
            (np.zeros((4, 4, 84, 84), np.uint8), np.ones(3, bool), ValueError, "capture_mask length must be 4, got 3"),
            (
                fortran(np.zeros((4, 4, 84, 84), np.uint8)),
                strided(np.ones(4, bool)),
                ValueError,
                "obs must be C-contiguous",
            ),
            (
                np.zeros((4, 4, 84, 84), np.uint8),
                strided(np.ones(4, bool)),
                ValueError,
                "capture_mask must be C-contiguous",
            ),
            (
                np.zeros((4, 4, 84, 84), np.uint8),
                np.zeros(4, bool),
                RuntimeError,
                "capture_mask must select at least one lane",
            ),
        ],
        ids=["extents", "stack", "mask-length", "obs-layout", "mask-layout", "no-lane"],
    )
    def test_checks_in_order(self, env, obs, mask, error, message):
        ram = ram_of(env)
        with pytest.raises(error) as info:
            env.capture_snapshots(obs, mask)
        assert str(info.value) == message
        assert np.array_equal(ram_of(env), ram)

    def test_argument_types(self, env):
        obs = np.zeros(env.obs_shape(), np.uint8)
        for bad_obs in (np.zeros((4, 84, 84), np.uint8), obs.astype(np.int16), obs.tolist()):
            with pytest.raises(TypeError, match="^argument 'obs': "):
                env.capture_snapshots(bad_obs, np.ones(N, bool))
        with pytest.raises(TypeError, match="^argument 'capture_mask': "):
            env.capture_snapshots(obs, np.ones(N, np.uint8))
        with pytest.raises(TypeError):
            env.capture_snapshots(obs)
        snapshots = env.capture_snapshots(capture_mask=np.ones(N, bool), obs=obs)
        assert len(snapshots) == N

    def test_pending_lane_is_refused(self, make_env, game_over_catalog):
        env = make_env(N, **game_over_catalog)
        arrays = step_arrays(env)
        env.reset_into(arrays["obs"])
        env.step_into(**arrays)
        assert arrays["terminated"].all()  # the game-over start state ends every lane
        # Reset every lane but the last; lane 3 stays pending.
        env.reset_masked_into(arrays["obs"], np.array([True, True, True, False]), np.zeros(N, np.int32), [None] * N)
        ram = ram_of(env)
        for mask in ([False, False, False, True], [True, True, True, True]):
            with pytest.raises(RuntimeError, match="^cannot capture a lane that is pending reset$"):
                env.capture_snapshots(arrays["obs"], np.array(mask))
        assert np.array_equal(ram_of(env), ram)
        snapshots = env.capture_snapshots(arrays["obs"], np.array([True, True, True, False]))
        assert snapshots[3] is None and all(s is not None for s in snapshots[:3])

    def test_capture_changes_nothing(self, make_env, catalog):
        kwargs = {**catalog, **RANDOM_PLAY}
        rng = np.random.default_rng(12)
        actions = [rng.choice(ACTIONS, N) for _ in range(40)]
        players = [Player(make_env(N, **kwargs), start_indices(catalog)) for _ in range(2)]
        for player in players:
            player.start()
        for step, step_actions in enumerate(actions):
            if step % 5 == 0:
                players[0].env.capture_snapshots(players[0].arrays["obs"], np.ones(N, bool))
            a, b = (p.step(step_actions) for p in players)
            for name in a:
                assert np.array_equal(a[name], b[name]), (step, name)


def corrupt(payload, offset, data):
    """`payload` with `data` written at `offset`."""
    return payload[:offset] + data + payload[offset + len(data) :]


OBS_AT = HEADER_BYTES
MACHINE_AT = HEADER_BYTES + GRAY_84_STACK_4

# (id, payload builder, message); builders take a valid payload of lane 0.
DECODE_REFUSALS = [
    ("empty", lambda p: b"", "portable snapshot is truncated at magic: need 8 bytes, have 0"),
    ("cut-5", lambda p: p[:5], "portable snapshot is truncated at magic: need 8 bytes, have 5"),
    ("cut-10", lambda p: p[:10], "portable snapshot is truncated at active_state_index: need 4 bytes, have 2"),
    ("cut-12", lambda p: p[:12], "portable snapshot is truncated at last_action: need 1 bytes, have 0"),
    ("cut-14", lambda p: p[:14], "portable snapshot is truncated at rng_state: need 8 bytes, have 1"),
    ("cut-21", lambda p: p[:21], "portable snapshot is truncated at observation_len: need 4 bytes, have 0"),
    ("cut-27", lambda p: p[:27], "portable snapshot is truncated at machine_len: need 4 bytes, have 2"),
    ("magic", lambda p: corrupt(p, 7, b"\1"), "portable snapshot has invalid magic"),
    # The magic is compared before the next field is looked for.
    ("magic-only", lambda p: b"VRXVEC2\0", "portable snapshot has invalid magic"),
    ("rng-zero", lambda p: corrupt(p, 13, bytes(8)), "portable snapshot rng_state must be non-zero"),
    ("rng-zero-cut", lambda p: corrupt(p, 13, bytes(8))[:21], "portable snapshot rng_state must be non-zero"),
    (
        "rng-zero-bad-length",
        lambda p: corrupt(corrupt(p, 13, bytes(8)), 21, struct.pack("<I", 5)),
        "portable snapshot rng_state must be non-zero",
    ),
    (
        "obs-length",
        lambda p: corrupt(p, 21, struct.pack("<I", GRAY_84_STACK_4 - 1)),
        "portable snapshot observation length 28223 does not match environment length 28224",
    ),
    (
        "obs-length-header-only",
        lambda p: corrupt(p, 21, struct.pack("<I", 7))[:HEADER_BYTES],
        "portable snapshot observation length 7 does not match environment length 28224",
    ),
    (
        "header-only",
        lambda p: p[:HEADER_BYTES],
        "portable snapshot is truncated at observation: need 28224 bytes, have 0",
    ),
    (
        "cut-obs",
        lambda p: p[: OBS_AT + 100],
        "portable snapshot is truncated at observation: need 28224 bytes, have 100",
    ),
    ("no-machine", lambda p: p[:MACHINE_AT], "portable snapshot is truncated at machine: need 4453 bytes, have 0"),
    ("cut-machine", lambda p: p[:-1], "portable snapshot is truncated at machine: need 4453 bytes, have 4452"),
    ("trailing-1", lambda p: p + b"\0", "portable snapshot has 1 trailing bytes"),
    ("trailing-3", lambda p: p + b"abc", "portable snapshot has 3 trailing bytes"),
    # The machine blob's own refusals come through with the reader's text.
    (
        "machine-len-long",
        lambda p: corrupt(p, 25, struct.pack("<I", MACHINE_BYTES + 1)) + b"\0",
        "portable state has 1 trailing bytes",
    ),
    (
        "machine-len-short",
        lambda p: corrupt(p, 25, struct.pack("<I", MACHINE_BYTES - 1))[:-1],
        "portable state is truncated at ppu.nmi_pending: need 1 bytes, have 0",
    ),
    ("machine-magic", lambda p: corrupt(p, MACHINE_AT, b"X"), "portable state has invalid machine magic"),
    ("done-flag", lambda p: corrupt(p, MACHINE_AT + 8, b"\2"), "portable state machine.done has invalid boolean 2"),
    ("core-magic", lambda p: corrupt(p, MACHINE_AT + 9, b"X"), "portable state has invalid core magic"),
    (
        "index-high",
        lambda p: corrupt(p, 8, struct.pack("<i", 99)),
        "portable snapshot lane 0 has incompatible active_state_index 99",
    ),
    (
        "index-sentinel",
        lambda p: corrupt(p, 8, struct.pack("<i", -1)),
        "portable snapshot lane 0 has incompatible active_state_index -1",
    ),
    # Envelope refusals come before the state index is looked at.
    (
        "index-and-trailing",
        lambda p: corrupt(p, 8, struct.pack("<i", 99)) + b"\0",
        "portable snapshot has 1 trailing bytes",
    ),
]


class TestDecodeRefusals:
    @pytest.fixture(scope="class")
    @classmethod
    def setup(cls, rom_path, catalog):
        env = _RetroVecEnv(rom_path, N, **catalog)
        obs = np.zeros(env.obs_shape(), np.uint8)
        env.reset_masked_into(obs, np.ones(N, bool), np.array([1, 1, 2, 3], np.int32), [None] * N)
        payloads = [s.to_bytes() for s in env.capture_snapshots(obs, np.ones(N, bool))]
        return env, payloads

    @pytest.mark.parametrize("build, message", [c[1:] for c in DECODE_REFUSALS], ids=[c[0] for c in DECODE_REFUSALS])
    def test_refusal_texts(self, setup, build, message):
        env, payloads = setup
        ram, active = ram_of(env), env.active_state_indices()
        with pytest.raises(ValueError) as info:
            env.decode_snapshots([build(payloads[0]), None, None, None])
        assert str(info.value) == message
        assert np.array_equal(ram_of(env), ram) and env.active_state_indices() == active

    def test_first_failing_lane_wins_and_nothing_is_returned(self, setup):
        env, payloads = setup
        bad_index = corrupt(payloads[2], 8, struct.pack("<i", 12345))
        with pytest.raises(ValueError, match="^portable snapshot lane 2 has incompatible active_state_index 12345$"):
            env.decode_snapshots([payloads[0], payloads[1], bad_index, payloads[3][:5]])
        with pytest.raises(ValueError, match="^portable snapshot is truncated at magic: need 8 bytes, have 5$"):
            env.decode_snapshots([payloads[0], payloads[3][:5], bad_index, None])

    def test_payload_count(self, setup):
        env, payloads = setup
        for count in (3, 5, 0):
            with pytest.raises(ValueError) as info:
                env.decode_snapshots((payloads * 2)[:count])
            assert str(info.value) == f"portable snapshot payloads must contain 4 lanes, got {count}"
        # The count is checked before any payload is read.
        with pytest.raises(ValueError, match="^portable snapshot payloads must contain 4 lanes, got 3$"):
            env.decode_snapshots([b"junk"] * 3)
        assert env.decode_snapshots([None] * N) == [None] * N

    def test_argument_types(self, setup):
        env, payloads = setup
        with pytest.raises(TypeError, match="^argument 'payloads': Can't extract `str` to `Vec`$"):
            env.decode_snapshots("abcd")
        with pytest.raises(TypeError, match="^argument 'payloads': Can't extract `str` to `Vec`$"):
            env.decode_snapshots([payloads[0], "text", None, None])
        for bad in (5, None, {1, 2}):
            with pytest.raises(TypeError, match="^argument 'payloads': "):
                env.decode_snapshots(bad)
        for item in (7, 1.5, object()):
            with pytest.raises(TypeError, match="^argument 'payloads': "):
                env.decode_snapshots([None, item, None, None])
        with pytest.raises(OverflowError):
            env.decode_snapshots([[1, 300], None, None, None])
        with pytest.raises(TypeError):
            env.decode_snapshots()
        assert len(env.decode_snapshots(payloads=[None] * N)) == N

    def test_observation_size_must_match(self, rom_path, catalog, setup):
        _, payloads = setup
        small = _RetroVecEnv(rom_path, N, frame_stack=2, **catalog)
        with pytest.raises(ValueError) as info:
            small.decode_snapshots([payloads[0], None, None, None])
        assert str(info.value) == "portable snapshot observation length 28224 does not match environment length 14112"

    def test_state_index_must_fit_the_catalog(self, rom_path, setup):
        _, payloads = setup
        bare = _RetroVecEnv(rom_path, N)
        with pytest.raises(ValueError) as info:
            bare.decode_snapshots([None, payloads[1], None, None])
        assert str(info.value) == "portable snapshot lane 1 has incompatible active_state_index 1"
        with pytest.raises(ValueError, match="^portable snapshot lane 0 has incompatible active_state_index -5$"):
            bare.decode_snapshots([corrupt(payloads[0], 8, struct.pack("<i", -5)), None, None, None])
        # Without a catalog only the power-on sentinel fits.
        decoded = bare.decode_snapshots([corrupt(payloads[0], 8, struct.pack("<i", -1)), None, None, None])
        obs = np.zeros(bare.obs_shape(), np.uint8)
        bare.reset_mixed_into(obs, np.array([True, False, False, False]), np.full(N, -1, np.int32), [None] * N, decoded)
        assert bare.active_state_indices()[0] == -1


# (id, changes to a valid call, message), in the order the checks run.
MIXED_REFUSALS = [
    (
        "obs-shape",
        {"obs": np.zeros((4, 4, 84, 80), np.uint8), "reset_mask": np.ones(3, bool)},
        "obs shape must be (4, 4, 84, 84), got [4, 4, 84, 80]",
    ),
    (
        "mask-length",
        {"reset_mask": np.ones(3, bool), "state_indices": np.zeros(3, np.int32)},
        "reset_mask length must be 4, got 3",
    ),
    (
        "indices-length",
        {"state_indices": np.zeros(5, np.int32), "seeds": [None] * 3},
        "state_indices length must be 4, got 5",
    ),
    ("seeds-length", {"seeds": [None] * 3, "snapshots": [None] * 3}, "seeds length must be 4, got 3"),
    (
        "snapshots-length",
        {"snapshots": [None] * 5, "reset_mask": strided(np.ones(4, bool))},
        "snapshots length must be 4, got 5",
    ),
    (
        "mask-layout",
        {"reset_mask": strided(np.ones(4, bool)), "state_indices": strided(np.zeros(4, np.int32))},
        "reset_mask must be C-contiguous",
    ),
    (
        "indices-layout",
        {"state_indices": strided(np.array([0, -1, 0, 0], np.int32)), "reset_mask": np.zeros(4, bool)},
        "state_indices must be C-contiguous",
    ),
    ("no-lane", {"reset_mask": np.zeros(4, bool)}, "reset_mask must select at least one lane"),
    # Lanes are checked in lane order; the first failure wins.
    (
        "index-before-unselected-snapshot",
        {"reset_mask": np.array([True, False, False, False]), "state_indices": np.array([99, -1, 0, 0], np.int32)},
        "state_indices[0] must index state_catalog",
    ),
    (
        "unselected-snapshot",
        {"reset_mask": np.array([True, False, False, False])},
        "snapshots may only be supplied for selected reset lanes",
    ),
    (
        "sentinel-before-seed",
        {"state_indices": np.array([0, 0, 0, 0], np.int32), "seeds": [None, 5, None, None]},
        "snapshot reset lanes must use the -1 state-index sentinel",
    ),
    ("seed", {"seeds": [None, 5, None, None]}, "snapshot reset lanes cannot also specify a seed"),
    ("seed-zero", {"seeds": [None, 0, None, None]}, "snapshot reset lanes cannot also specify a seed"),
    (
        "later-lane-index",
        {
            "reset_mask": np.array([True, True, True, False]),
            "state_indices": np.array([0, -1, 12345, 0], np.int32),
            "snapshots": [None, "own", None, "own"],
        },
        "state_indices[2] must index state_catalog",
    ),
    ("obs-layout-last", {"obs": "fortran"}, "obs must be C-contiguous"),
    (
        "rule-before-obs-layout",
        {"obs": "fortran", "seeds": [None, 1, None, None]},
        "snapshot reset lanes cannot also specify a seed",
    ),
]


class TestResetMixedRefusals:
    @pytest.fixture
    def setup(self, make_env, catalog):
        env = make_env(N, **catalog)
        obs = np.zeros(env.obs_shape(), np.uint8)
        env.reset_masked_into(obs, np.ones(N, bool), np.array([0, 1, 2, 3], np.int32), [None] * N)
        arrays = step_arrays(env, RIGHT)
        arrays["obs"] = obs
        for _ in range(5):
            env.step_into(**arrays)
        own = env.capture_snapshots(obs, np.array([False, True, False, False]))[1]
        other = make_env(N, **catalog)
        other_obs = np.zeros(other.obs_shape(), np.uint8)
        other.reset_into(other_obs)
        foreign = other.capture_snapshots(other_obs, np.ones(N, bool))[1]
        return env, obs, own, foreign

    @staticmethod
    def valid_arguments(obs, snapshot):
        return {
            "obs": obs,
            "reset_mask": np.array([True, True, False, False]),
            "state_indices": np.array([0, -1, 0, 0], np.int32),
            "seeds": [None] * N,
            "snapshots": [None, snapshot, None, None],
        }

    @pytest.mark.parametrize("changes, message", [c[1:] for c in MIXED_REFUSALS], ids=[c[0] for c in MIXED_REFUSALS])
    def test_checks_in_order(self, setup, changes, message):
        env, obs, own, _ = setup
        arguments = self.valid_arguments(obs, own)
        for name, value in changes.items():
            if isinstance(value, str) and value == "fortran":
                value = fortran(obs)
            if name == "snapshots":
                value = [own if item == "own" else item for item in value]
            arguments[name] = value
        before_obs, before_ram, active = obs.copy(), ram_of(env), env.active_state_indices()
        with pytest.raises(ValueError) as info:
            env.reset_mixed_into(**arguments)
        assert str(info.value) == message
        assert np.array_equal(obs, before_obs)
        assert np.array_equal(ram_of(env), before_ram)
        assert env.active_state_indices() == active
        # The valid call goes through and only now changes lanes 0 and 1.
        env.reset_mixed_into(**self.valid_arguments(obs, own))
        assert np.array_equal(obs[2:], before_obs[2:])

    def test_foreign_snapshot_is_refused_but_its_bytes_are_accepted(self, setup):
        env, obs, _, foreign = setup
        before_obs, before_ram = obs.copy(), ram_of(env)
        with pytest.raises(ValueError) as info:
            env.reset_mixed_into(**self.valid_arguments(obs, foreign))
        assert str(info.value) == FOREIGN_MESSAGE
        assert np.array_equal(obs, before_obs) and np.array_equal(ram_of(env), before_ram)

        adopted = env.decode_snapshots([None, foreign.to_bytes(), None, None])[1]
        env.reset_mixed_into(**self.valid_arguments(obs, adopted))
        assert adopted.to_bytes() == foreign.to_bytes()
        assert np.array_equal(
            obs[1], np.frombuffer(foreign.to_bytes(), np.uint8, GRAY_84_STACK_4, HEADER_BYTES).reshape(4, 84, 84)
        )

    def test_unselected_lane_index_is_not_checked(self, setup):
        env, obs, own, _ = setup
        arguments = self.valid_arguments(obs, own)
        arguments["state_indices"] = np.array([0, -1, 999, -7], np.int32)
        env.reset_mixed_into(**arguments)

    def test_argument_types(self, setup):
        env, obs, own, _ = setup
        before_obs, before_ram = obs.copy(), ram_of(env)
        type_cases = [
            ("snapshots", [None, own, 5, None]),
            ("snapshots", [None, own.to_bytes(), None, None]),
            ("snapshots", "abcd"),
            ("snapshots", None),
            ("seeds", [None, None, "x", None]),
            ("seeds", "abcd"),
            ("state_indices", np.array([0, -1, 0, 0], np.int64)),
            ("reset_mask", np.array([1, 1, 0, 0], np.uint8)),
            ("obs", obs.astype(np.int16)),
        ]
        for name, value in type_cases:
            arguments = self.valid_arguments(obs, own)
            arguments[name] = value
            with pytest.raises(TypeError, match=f"^argument '{name}': "):
                env.reset_mixed_into(**arguments)
        # Arguments are converted in order: the array comes before the lists.
        arguments = {**self.valid_arguments(obs, own), "obs": obs.tolist(), "snapshots": 7}
        with pytest.raises(TypeError, match="^argument 'obs': "):
            env.reset_mixed_into(**arguments)
        with pytest.raises(OverflowError):
            env.reset_mixed_into(**{**self.valid_arguments(obs, own), "seeds": [-1, None, None, None]})
        read_only = obs.copy()
        read_only.flags.writeable = False
        with pytest.raises(ValueError):
            env.reset_mixed_into(**{**self.valid_arguments(obs, own), "obs": read_only})
        with pytest.raises(TypeError):
            env.reset_mixed_into(obs, np.ones(N, bool), np.zeros(N, np.int32), [None] * N)
        assert np.array_equal(obs, before_obs) and np.array_equal(ram_of(env), before_ram)


class TestIdentity:
    def test_token_outlives_its_environment(self, make_env, catalog):
        old = make_env(N, **catalog)
        obs = np.zeros(old.obs_shape(), np.uint8)
        old.reset_into(obs)
        snapshot = old.capture_snapshots(obs, np.ones(N, bool))[0]
        payload = snapshot.to_bytes()
        del old
        gc.collect()
        # New environments built with the same arguments never take over the
        # old identity, even when they reuse its memory.
        for _ in range(3):
            new = make_env(N, **catalog)
            new.reset_into(obs)
            with pytest.raises(ValueError) as info:
                restore_all(new, obs, [snapshot] * N)
            assert str(info.value) == FOREIGN_MESSAGE
            del new
            gc.collect()
        # The handle itself keeps working.
        assert snapshot.to_bytes() == payload

    def test_snapshots_cannot_be_pickled_or_copied(self, make_env):
        env = make_env(2)
        obs = np.zeros(env.obs_shape(), np.uint8)
        env.reset_into(obs)
        snapshot = env.capture_snapshots(obs, np.array([True, False]))[0]
        for attempt in (
            pickle.dumps,
            lambda s: pickle.dumps(s, protocol=2),
            copy.copy,
            copy.deepcopy,
            lambda s: s.__reduce__(),
        ):
            with pytest.raises(TypeError) as info:
                attempt(snapshot)
            assert str(info.value) == PICKLE_MESSAGE

    def test_live_snapshot_surface(self):
        # nbytes is a read-only property, the two others are methods.
        assert type(ZuboLiveSnapshot.__dict__["nbytes"]).__name__ == "getset_descriptor"
        assert ZuboLiveSnapshot.to_bytes.__text_signature__ == "($self)"
        assert ZuboLiveSnapshot.__reduce__.__text_signature__ == "($self)"
        with pytest.raises(TypeError):
            ZuboLiveSnapshot.to_bytes(object())

    def test_method_order_and_signatures(self):
        expected = {
            "reset_masked_into": "($self, obs, reset_mask, state_indices, seeds, go_on=False)",
            "capture_snapshots": "($self, obs, capture_mask)",
            "decode_snapshots": "($self, payloads)",
            "reset_mixed_into": "($self, obs, reset_mask, state_indices, seeds, snapshots)",
            "info_into": None,
        }
        names = [name for name in vars(_RetroVecEnv) if name in expected]
        assert names == list(expected)
        for name, signature in expected.items():
            if signature is not None:
                assert getattr(_RetroVecEnv, name).__text_signature__ == signature


class TestHolds:
    @staticmethod
    def probes(env, obs):
        """Capture, decode and a mixed reset of lane 0 on `env`."""
        n = env.num_envs
        mask = np.zeros(n, bool)
        mask[0] = True
        indices = np.zeros(n, np.int32)
        indices[0] = -1
        snapshot = env.capture_snapshots(obs, mask)[0]
        return [
            lambda: env.capture_snapshots(obs, mask),
            lambda: env.decode_snapshots([None] * n),
            lambda: env.reset_mixed_into(obs, mask, indices, [None] * n, [snapshot] + [None] * (n - 1)),
        ]

    def test_refused_while_a_step_runs(self, make_env, catalog):
        small = {k: v[:2] for k, v in catalog.items()}
        env = make_env(128, frame_skip=48, num_threads=2, **small)
        arrays = step_arrays(env, RIGHT)
        env.reset_into(arrays["obs"])
        obs = arrays["obs"].copy()
        probes = self.probes(env, obs)

        def stepping(done):
            while not done.is_set():
                env.step_into(**arrays)
                if arrays["terminated"].any():
                    env.reset_into(arrays["obs"])

        errors, _, failure = errors_while(stepping, probes)
        assert not failure, failure
        assert errors == {0: {"Already mutably borrowed"}, 1: {"Already mutably borrowed"}, 2: {"Already borrowed"}}

    def test_capture_and_decode_share_the_environment(self, make_env):
        env = make_env(2048, frame_stack=1, resize_width=8, resize_height=8, extra_info_ids=list(range(27)))
        obs = np.zeros(env.obs_shape(), np.uint8)
        env.reset_into(obs)
        probes = self.probes(env, obs)
        out = np.zeros(env.extra_info_shape(), np.int64)

        def reading(done):
            while not done.is_set():
                env.extra_info_into(out)

        errors, successes, failure = errors_while(reading, probes, limit=10.0, until=[2])
        assert not failure, failure
        # The mixed reset needs the environment to itself; the others do not.
        assert errors == {0: set(), 1: set(), 2: {"Already borrowed"}}
        assert successes[0] > 0 and successes[1] > 0
