"""The game's own progress signals and the Gymnasium class's step mask,
observation-free mode and saved lanes, on real play."""

from __future__ import annotations

import pathlib
import pickle

import numpy as np
import pytest

pytest.importorskip("gymnasium")

from tanuvex_turbo import TurboVectorEnv, _RetroVecEnv, progress, replay  # noqa: E402
from tanuvex_turbo.game.fields import step_outputs  # noqa: E402

DATA = pathlib.Path(__file__).parent / "data"
ONE_ONE = replay.read_replay(DATA / "replay-1-1-level-end.txt")
ONE_FOUR = replay.read_replay(DATA / "replay-1-4-level-end.txt")


def play(env, actions, lane_actions=None):
    """Steps a raw-action env through ``actions``; returns per step (terminated, level_end, level_lo, x_pos)."""
    rows = []
    for action in actions:
        _, _, terminated, _, info = env.step(np.full(env.num_envs, action, np.uint8))
        rows.append((terminated[0], info["level_end"][0], info["level_lo"][0], info["x_pos"][0]))
        if terminated[0]:
            break
    return rows


@pytest.mark.parametrize(
    ("recorded", "start", "goal_step"),
    [(ONE_ONE, "1-1", len(ONE_ONE.actions)), (ONE_FOUR, "1-4", len(ONE_FOUR.actions))],
)
def test_level_end_fires_where_the_game_ends_the_level(rom_path, states_dir, recorded, start, goal_step):
    kwargs = dict(states=states_dir, start_state=start, action_set="full", observations=False, num_threads=1)
    ending = TurboVectorEnv(rom_path, 1, end_on_level_end=True, terminate_on_flag=False, **kwargs)
    ending.reset()
    rows = play(ending, recorded.actions)
    assert len(rows) == goal_step and rows[-1][0] and rows[-1][1]
    assert not any(end for _, end, _, _ in rows[:-1])

    # Without the option the episode goes on, the signal stays raised, and the
    # level values change only later.
    going = TurboVectorEnv(rom_path, 1, progress_info=True, terminate_on_flag=False, **kwargs)
    going.reset()
    rows = play(going, recorded.actions + b"\x00" * 40)
    assert not any(terminated for terminated, _, _, _ in rows)
    assert [end for _, end, _, _ in rows] == [False] * (goal_step - 1) + [True] * 41
    assert {level for _, _, level, _ in rows} == {recorded.target.last % 4}
    if start == "1-4":
        assert rows[-1][3] < 3160  # terminate_on_flag would never end this level


def test_dying_rises_long_before_lives_drop(rom_path, states_dir):
    n, steps = 24, 260
    env = TurboVectorEnv(
        rom_path,
        n,
        states=states_dir,
        progress_info=True,
        observations=False,
        action_set="simple",
        autoreset_mode="Disabled",
        seed=3,
        num_threads=1,
    )
    env.reset(seed=3)
    rng = np.random.default_rng(3)
    dying, lives = [], []
    action = rng.integers(0, 7, n)
    for _ in range(steps):
        action = np.where(rng.random(n) < 0.2, rng.integers(0, 7, n), action)
        _, _, _, _, info = env.step(action)
        dying.append(info["dying"])
        lives.append(info["lives"])
    dying, lives = np.array(dying), np.array(lives)
    drops = 0
    for lane in range(n):
        drop = np.flatnonzero(np.diff(lives[:, lane]) < 0)
        rises = np.flatnonzero(np.diff(dying[:, lane].astype(int)) > 0)
        if len(drop):
            drops += 1
            first = rises[0] + 1
            assert drop[0] + 1 - first >= 40, lane  # raised 40 or more steps before the drop
            assert dying[first : drop[0] + 1, lane].all()
        else:
            assert len(rises) == 0 or rises[0] > steps - 70, lane  # a death still running at the end
    assert drops >= 3


def test_a_fall_into_a_pit_is_dying_at_once(rom_path, states_dir):
    # Inputs of a random walk that ends in the first pit of 1-1.
    fall = replay.read_replay(DATA / "replay-1-1-pit.txt")
    env = TurboVectorEnv(
        rom_path,
        1,
        states=states_dir,
        start_state="1-1",
        action_set="full",
        observations=False,
        progress_info=True,
        autoreset_mode="Disabled",
        num_threads=1,
    )
    env.reset()
    infos = [env.step(np.array([action]))[4] for action in fall.actions]
    dying = [info["dying"][0] for info in infos]
    lives = [info["lives"][0] for info in infos]
    first, drop = dying.index(True), int(np.flatnonzero(np.diff(lives))[0]) + 1
    assert drop - first >= 60 and all(dying[first:drop])


def test_step_mask_holds_lanes_still_and_they_go_on_where_they_stopped(rom_path, states_dir):
    kw = dict(states=states_dir, action_set="simple", num_threads=1, max_episode_steps=16, extra_info=["y_pos"])
    whole, masked = TurboVectorEnv(rom_path, 2, **kw), TurboVectorEnv(rom_path, 2, **kw)
    first_obs, start = whole.reset(seed=1)
    masked.reset(seed=1)
    plan = [3] * 12 + [1, 2, 2, 4, 1, 3, 1, 1, 2, 4, 4, 1, 1]
    held = np.array([True, False])
    reference = [whole.step(np.full(2, a))[4] for a in plan[:15]]
    # Lane 1 sits out the first 15 steps, then lane 0 sits out 10 while lane 1 plays.
    for a in plan[:15]:
        obs, reward, terminated, truncated, info = masked.step(np.full(2, a), mask=held)
        assert reward[1] == 0 and not terminated[1] and not truncated[1]
        assert np.array_equal(obs[1], first_obs[1])
    assert info["x_pos"][1] == start["x_pos"][1] and info["x_pos"][0] == reference[14]["x_pos"][0]
    outs = [masked.step(np.array([0, a]), mask=np.array([False, True])) for a in plan[:10]]
    for k, out in enumerate(outs):
        assert out[1][0] == 0 and np.array_equal(out[0][0], outs[0][0][0])
        assert out[4]["x_pos"][1] == reference[k]["x_pos"][1] and out[4]["y_pos"][1] == reference[k]["y_pos"][1]
    # The time limit (16) counts only the steps a lane took: 15 for lane 0, 10 for lane 1.
    assert not any(out[3].any() for out in outs)
    assert masked.step(np.array([0, plan[10]]))[3].tolist() == [True, False]
    with pytest.raises(ValueError, match="mask must be 2 booleans"):
        masked.step(np.zeros(2), mask=np.ones(3, bool))


def test_observation_free_lanes_play_the_same_game_and_save_small(rom_path, states_dir):
    kw = dict(states=states_dir, start_state="1-1", action_set="simple", num_threads=1)
    full, bare = TurboVectorEnv(rom_path, 2, **kw), TurboVectorEnv(rom_path, 2, observations=False, **kw)
    full.reset(seed=0)
    obs, _ = bare.reset(seed=0)
    assert obs.shape == (2, 1, 1, 1) and bare.single_observation_space.shape == (1, 1, 1)
    for a in [1, 4, 4, 2, 1, 3, 3, 1] * 5:
        _, reward_full, *_, info_full = full.step(np.full(2, a))
        obs, reward_bare, *_, info_bare = bare.step(np.full(2, a))
        assert all(np.array_equal(info_full[k], info_bare[k]) for k in ("x_pos", "score", "time", "lives"))
        assert np.array_equal(reward_full, reward_bare) and not obs.any()  # nothing drawn
    assert len(bare.clone_states()[0]) * 3 < len(full.clone_states()[0])
    # The engine's switch alone, on a max-pooled 84 x 84 stack: the same game, observations all 0.
    drawn, blank = (_RetroVecEnv(rom_path, 2, frame_maxpool=True, render_observations=r) for r in (True, False))
    (obs_drawn, obs_blank), outs, drawn_at_reset = [np.zeros(drawn.obs_shape(), np.uint8) for _ in range(2)], [], []
    for engine, obs in ((drawn, obs_drawn), (blank, obs_blank)):
        engine.reset_into(obs)
        drawn_at_reset.append(obs.any())
        outs.append([step_outputs(2) for _ in range(30)])
        for step, out in enumerate(outs[-1]):
            engine.step_into(np.full(2, 0x08 if step % 8 == 0 else 0x80, np.uint8), obs, *out)
    assert drawn_at_reset == [True, False] and obs_drawn.any() and not obs_blank.any()
    assert all(np.array_equal(a, b) for x, y in zip(*outs) for a, b in zip(x, y))


def test_saved_lanes_restore_without_decoding_and_travel_as_bytes(rom_path, states_dir, monkeypatch):
    kw = dict(states=states_dir, action_set="simple", num_threads=1, observations=False)
    env, other = TurboVectorEnv(rom_path, 2, **kw), TurboVectorEnv(rom_path, 2, **kw)
    env.reset(seed=0)
    other.reset(seed=0)
    for a in (1, 4, 4, 2):
        env.step(np.full(2, a))
    saved = env.save_states(np.array([True, False]))
    assert saved[1] is None
    blob = pickle.loads(pickle.dumps(saved[0]))
    assert blob == saved[0].to_bytes() == bytes(saved[0])
    _, expected = env.step(np.full(2, 4))[3:]
    import tanuvex_turbo.env.saved_lanes as saved_lanes

    def no_decoding(*args):
        raise AssertionError("decoded")

    monkeypatch.setattr(saved_lanes, "unpack_lane_state", no_decoding)
    for _ in range(2):  # the same saved lane, restored twice, into the other lane too
        env.restore_states([None, saved[0]])
        _, after = env.step(np.full(2, 4))[3:]
        assert after["x_pos"][1] == expected["x_pos"][0] and after["time"][1] == expected["time"][0]
    with pytest.raises(AssertionError, match="decoded"):
        other.restore_states([saved[0], None])  # another environment needs the bytes
    monkeypatch.undo()
    other.restore_states([saved[0], blob])
    _, moved = other.step(np.full(2, 4))[3:]
    assert moved["x_pos"].tolist() == [expected["x_pos"][0]] * 2


def test_level_names_and_targets():
    assert [progress.level_name(i) for i in (0, 3, 4, 31)] == ["1-1", "1-4", "2-1", "8-4"]
    assert progress.parse_level("8-4") == 31 and progress.parse_level("2-1") == 4
    for bad in ("9-1", "1-5", "0-1", "11", "a-b"):
        with pytest.raises(ValueError):
            progress.parse_level(bad)
    assert progress.parse_target("world", start_level=5).last == 7
    assert progress.parse_target("level", start_level=5).last == 5
    assert progress.parse_target("world 2").last == 7 and progress.parse_target("game").last == 31
    assert str(progress.parse_target("level 4-2")) == "level 4-2"
