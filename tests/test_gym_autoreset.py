"""TurboVectorEnv: the exact contract of each autoreset mode on real episodes.

Two kinds of episode end are used. A "doomed" start state (the 1-1 state with
the lives byte already at 0xFF) ends on the first frame of its first step,
which pins down every step around an episode end. A "last life" start state
(lives byte 0) held right runs into the first enemy and ends after about a
hundred steps: a real death, seen through the public interface only.
"""

from __future__ import annotations

import gzip

import numpy as np
import pytest
from env_support import INFO_FIELDS, step_arrays, with_ram
from env_support import LIVES_ADDRESS as LIVES

gymnasium = pytest.importorskip("gymnasium")

from gymnasium.vector import AutoresetMode  # noqa: E402

from tanuvex_turbo import TurboVectorEnv, _RetroVecEnv  # noqa: E402
from tanuvex_turbo.game.fields import PENDING_RESET_MESSAGE  # noqa: E402
from tanuvex_turbo.sb3_infos import sb3_step_infos  # noqa: E402

NOOP, RIGHT, RIGHT_A, RIGHT_B = 0, 1, 2, 3  # indices in the "right_only" action set
COINS = 0x075E
MAX_EPISODE = 300  # steps; the last-life episode held right ends well before


@pytest.fixture(scope="module")
def start_states(states_dir):
    level = gzip.decompress((states_dir / "1-1.state").read_bytes())
    return {
        "level": level,
        "doomed": with_ram(level, {LIVES: 0xFF}),
        "last_life": with_ram(level, {LIVES: 0}),
        # One coin short of an extra life: the first block of the level gives it.
        "coins99": with_ram(level, {COINS: 99}),
        # Starts mid-screen: holding right scrolls (and rewards) from the first step on.
        "scrolling": gzip.decompress((states_dir / "2-1-bonus-easy.state").read_bytes()),
    }


@pytest.fixture
def make(rom_path, start_states):
    """make(mode, start_state, **kwargs): a right_only env over the three start states."""

    def build(mode, start_state, **kwargs):
        kwargs.setdefault("num_envs", len(start_state) if isinstance(start_state, list) else 3)
        return TurboVectorEnv(
            rom_path,
            states=start_states,
            start_state=start_state,
            action_set="right_only",
            autoreset_mode=mode,
            num_threads=1,
            seed=1,
            **kwargs,
        )

    return build


def ram(env):
    out = np.zeros(env.engine.ram_shape(), np.uint8)
    env.engine.ram_into(out)
    return out


def noop(env):
    return np.full(env.num_envs, NOOP)


def run_until_done(env, lane, action):
    """Steps with ``action`` everywhere until ``lane`` terminates; returns its per-step rewards and the last result."""
    rewards = []
    for _ in range(MAX_EPISODE):
        result = env.step(np.full(env.num_envs, action))
        rewards.append(float(result[1][lane]))
        if result[2][lane]:
            return rewards, result
    pytest.fail(f"lane {lane} did not terminate within {MAX_EPISODE} steps")


LANES = ["level", "doomed", "level"]


class TestNextStep:
    def test_is_the_default_and_in_metadata(self, make):
        env = make(AutoresetMode.NEXT_STEP, LANES)
        assert env.metadata["autoreset_mode"] is AutoresetMode.NEXT_STEP
        assert TurboVectorEnv.metadata["autoreset_mode"] is AutoresetMode.NEXT_STEP
        for spelling, mode in [
            ("NextStep", AutoresetMode.NEXT_STEP),
            ("SAME_STEP", AutoresetMode.SAME_STEP),
            ("same_step", AutoresetMode.SAME_STEP),
            ("Disabled", AutoresetMode.DISABLED),
        ]:
            assert make(spelling, LANES).autoreset_mode is mode

    def test_step_after_the_end_returns_the_reset_lane(self, make):
        env = make(AutoresetMode.NEXT_STEP, LANES)
        reference = make(AutoresetMode.NEXT_STEP, ["level"] * 3)
        first_obs, _ = env.reset(seed=3)
        reference.reset(seed=3)
        reset_ram = ram(env)

        obs, rewards, terminated, truncated, info = env.step(noop(env))
        assert terminated.tolist() == [False, True, False]
        assert not truncated.any()
        assert info["lives"][1] == -1

        obs, rewards, terminated, truncated, info = env.step(noop(env))
        # The ended lane comes back reset and unstepped: first observation, reward 0, no flags.
        assert not terminated[1] and not truncated[1]
        assert rewards[1] == 0.0
        assert np.array_equal(obs[1], first_obs[1])
        assert np.array_equal(ram(env)[1], reset_ram[1])
        assert info["_lives"].all() and info["lives"][1] == -1
        # The other lanes took two ordinary steps.
        reference.step(noop(reference))
        ref_obs, ref_rewards, _, _, ref_info = reference.step(noop(reference))
        for lane in (0, 2):
            assert np.array_equal(obs[lane], ref_obs[lane])
            assert rewards[lane] == ref_rewards[lane]
            assert info["x_pos"][lane] == ref_info["x_pos"][lane]
        assert np.array_equal(ram(env)[[0, 2]], ram(reference)[[0, 2]])

        # Its next step is the new episode's first: the doomed lane ends again.
        _, _, terminated, _, _ = env.step(noop(env))
        assert terminated.tolist() == [False, True, False]

    def test_a_real_death_then_an_identical_episode(self, make):
        env = make(AutoresetMode.NEXT_STEP, ["last_life", "level"], num_envs=2)
        first_obs, first_info = env.reset(seed=0)
        rewards, (obs, _, terminated, truncated, info) = run_until_done(env, 0, RIGHT)
        assert sum(rewards) > 0  # it moved right before dying
        assert info["lives"][0] == -1 and info["x_pos"][0] > first_info["x_pos"][0]
        assert not truncated.any()

        obs, step_rewards, terminated, truncated, info = env.step(np.array([RIGHT, RIGHT]))
        assert step_rewards[0] == 0.0 and not terminated[0] and not truncated[0]
        assert np.array_equal(obs[0], first_obs[0])
        assert info["x_pos"][0] == first_info["x_pos"][0]
        assert info["lives"][0] == 0

        # The second episode, with the same actions, is the same episode.
        again, _ = run_until_done(env, 0, RIGHT)
        assert again == rewards

    def test_nothing_of_the_discarded_step_leaks_into_the_reset_lane(self, make):
        # Lane 0 ends by truncation while moving; its autoreset step must not
        # report the reward or position of any step taken from its new start.
        env = make(AutoresetMode.NEXT_STEP, ["scrolling", "scrolling"], num_envs=2, max_episode_steps=2)
        first_obs, first_info = env.reset(seed=0)
        moving = env.step(np.array([RIGHT_B, RIGHT_B]))
        assert moving[1].min() > 0 and (moving[4]["x_pos"] > first_info["x_pos"]).all()
        assert env.step(np.array([RIGHT_B, RIGHT_B]))[3].all()
        obs, rewards, terminated, truncated, info = env.step(np.array([RIGHT_B, RIGHT_B]))
        assert not rewards.any() and not terminated.any() and not truncated.any()
        assert np.array_equal(obs, first_obs)
        for name in ("x_pos", "xscroll_lo", "time"):
            assert np.array_equal(info[name], first_info[name]), name
        again = env.step(np.array([RIGHT_B, RIGHT_B]))
        assert np.array_equal(again[0], moving[0]) and np.array_equal(again[1], moving[1])

    def test_equals_lanes_stepped_and_reset_one_by_one(self, make, rom_path, start_states):
        # Reference: one single-lane engine per lane, driven with step_into and
        # reset_masked_into as NEXT_STEP describes. An autoreset that stepped the
        # ended lane, or drew its random numbers twice, would drift from it.
        lanes = ["doomed", "level", "scrolling", "last_life"]
        options = dict(noop_reset_max=6, sticky_action_prob=0.25)
        env = make(AutoresetMode.NEXT_STEP, lanes, num_envs=4, max_episode_steps=5, **options)
        catalog = dict(state_catalog_names=list(start_states), state_catalog_data=list(start_states.values()))
        refs = [_RetroVecEnv(rom_path, 1, seed=1 + i, num_threads=1, **options, **catalog) for i in range(4)]
        arrays = [step_arrays(ref) for ref in refs]
        starts = [np.array([env.state_names.index(name)], np.int32) for name in lanes]
        obs, _ = env.reset(seed=5)
        for i, ref in enumerate(refs):
            ref.reset_masked_into(arrays[i]["obs"], np.ones(1, bool), starts[i], [5 + i])
            assert np.array_equal(obs[i], arrays[i]["obs"][0])
        needs_reset, steps, resets = [False] * 4, [0] * 4, 0
        for row in np.random.default_rng(4).integers(0, 5, size=(30, 4)):
            obs, rewards, terminated, truncated, info = env.step(row)
            for i, ref in enumerate(refs):
                a = arrays[i]
                if needs_reset[i]:
                    ref.reset_masked_into(a["obs"], np.ones(1, bool), starts[i], [None])
                    ref.info_into(*(a[name] for name, _ in INFO_FIELDS))
                    a["rewards"][0], a["terminated"][0], a["truncated"][0], steps[i] = 0, False, False, 0
                    resets += 1
                else:
                    ref.step_into(**{**a, "actions": env.action_table[row[i : i + 1]]})
                    steps[i] += 1
                    a["truncated"][0] = steps[i] >= 5
                needs_reset[i] = bool(a["terminated"][0] or a["truncated"][0])
                assert np.array_equal(obs[i], a["obs"][0]), (i, steps[i])
                assert (rewards[i], terminated[i], truncated[i]) == (
                    a["rewards"][0],
                    a["terminated"][0],
                    a["truncated"][0],
                )
                for name, _ in INFO_FIELDS:
                    assert info[name][i] == a[name][0], name
        assert resets >= 8

    def test_works_under_gymnasium_episode_statistics(self, make):
        env = make(AutoresetMode.NEXT_STEP, ["last_life"], num_envs=1)
        env = gymnasium.wrappers.vector.RecordEpisodeStatistics(env)
        env.reset(seed=0)
        for length in range(1, MAX_EPISODE):  # noqa: B007 (the length is read after the loop)
            _, _, terminated, _, info = env.step(np.array([RIGHT]))
            if terminated[0]:
                break
        assert info["_episode"][0]
        assert info["episode"]["l"][0] == length
        env.step(np.array([RIGHT]))  # the autoreset step
        for second in range(1, MAX_EPISODE):  # noqa: B007 (the length is read after the loop)
            _, _, terminated, _, info = env.step(np.array([RIGHT]))
            if terminated[0]:
                break
        assert second == length and info["episode"]["l"][0] == length


class TestSameStep:
    def test_the_ending_step_returns_the_reset_lane_and_the_final_values(self, make):
        env = make(AutoresetMode.SAME_STEP, ["last_life", "level"], num_envs=2)
        assert env.metadata["autoreset_mode"] is AutoresetMode.SAME_STEP
        first_obs, first_info = env.reset(seed=0)
        reset_ram = ram(env)
        previous = first_obs
        for _ in range(MAX_EPISODE):
            obs, rewards, terminated, truncated, info = env.step(np.array([RIGHT, RIGHT]))
            if terminated[0]:
                break
            assert "final_obs" not in info and "final_info" not in info
            previous = obs
        else:
            pytest.fail("the last-life lane did not die")

        assert terminated.tolist() == [True, False] and not truncated.any()
        # The returned observation and info are the new episode's.
        assert np.array_equal(obs[0], first_obs[0])
        assert info["x_pos"][0] == first_info["x_pos"][0] and info["lives"][0] == 0
        assert np.array_equal(ram(env)[0], reset_ram[0])
        # The ended episode's last observation and info.
        assert info["_final_obs"].tolist() == [True, False]
        assert info["final_obs"].dtype == object and info["final_obs"][1] is None
        final = info["final_obs"][0]
        assert final.shape == env.single_observation_space.shape
        assert env.single_observation_space.contains(final)
        assert not np.array_equal(final, obs[0])
        assert np.array_equal(final[:-1], previous[0][1:])  # its frame stack continues the episode
        assert info["_final_info"].tolist() == [True, False]
        final_info = info["final_info"]
        assert final_info["lives"][0] == -1 and final_info["x_pos"][0] > first_info["x_pos"][0]
        assert final_info["_x_pos"].tolist() == [True, False]

        # The next step is the first of the new episode, for every lane.
        obs, rewards, terminated, _, info = env.step(np.array([RIGHT, RIGHT]))
        assert not terminated.any() and "final_obs" not in info

    def test_doomed_lane_ends_on_every_step(self, make):
        env = make(AutoresetMode.SAME_STEP, LANES)
        first_obs, _ = env.reset(seed=1)
        for _ in range(3):
            obs, rewards, terminated, _, info = env.step(noop(env))
            assert terminated.tolist() == [False, True, False]
            assert np.array_equal(obs[1], first_obs[1])
            assert info["_final_obs"].tolist() == [False, True, False]


class TestDisabled:
    def test_steps_are_refused_until_the_ended_lane_is_reset(self, make):
        env = make(AutoresetMode.DISABLED, LANES)
        reference = make(AutoresetMode.DISABLED, ["level"] * 3)
        first_obs, _ = env.reset(seed=2)
        reference.reset(seed=2)
        obs, _, terminated, _, _ = env.step(noop(env))
        reference.step(noop(reference))
        assert terminated.tolist() == [False, True, False]
        before = ram(env)

        with pytest.raises(RuntimeError) as refused:
            env.step(noop(env))
        assert str(refused.value) == PENDING_RESET_MESSAGE
        # Resetting another lane does not help.
        env.reset(options={"reset_mask": np.array([True, False, False])})
        with pytest.raises(RuntimeError, match="pending reset"):
            env.step(noop(env))
        assert np.array_equal(ram(env)[2], before[2])

        obs, info = env.reset(options={"reset_mask": np.array([False, True, False])})
        assert np.array_equal(obs[1], first_obs[1])
        assert info["_x_pos"].tolist() == [False, True, False]
        obs, _, terminated, _, _ = env.step(noop(env))
        assert terminated.tolist() == [False, True, False]
        ref_obs, *_ = reference.step(noop(reference))
        assert np.array_equal(obs[2], ref_obs[2])  # lane 2 was not advanced by the refused steps

    def test_engine_refusal_is_passed_through(self, make):
        env = make(AutoresetMode.DISABLED, LANES)
        env.reset()
        env.step(noop(env))
        with pytest.raises(RuntimeError, match="^cannot step while a terminated lane is pending reset"):
            env.step(noop(env))


class TestEndOnLifeLoss:
    def test_a_lost_life_ends_the_episode_only_when_asked(self, make):
        # Held right from 1-1, lane 0 loses a life to the first enemy; lane 1 stands still.
        lossy, plain = (
            make(AutoresetMode.NEXT_STEP, ["level", "level"], end_on_life_loss=flag) for flag in (True, False)
        )
        _, start = lossy.reset(seed=0)
        plain.reset(seed=0)
        actions = np.array([RIGHT, NOOP])
        for _ in range(MAX_EPISODE):
            _, _, terminated, _, info = lossy.step(actions)
            _, _, plain_terminated, _, plain_info = plain.step(actions)
            if terminated.any():
                break
        else:
            pytest.fail("lane 0 lost no life")
        assert terminated.tolist() == [True, False] and not plain_terminated.any()
        lives = start["lives"].tolist()
        assert info["lives"].tolist() == plain_info["lives"].tolist() == [lives[0] - 1, lives[1]]
        # The lane comes back at its start state, with its lives.
        _, rewards, terminated, _, info = lossy.step(actions)
        assert not terminated.any() and rewards[0] == 0.0
        assert info["lives"].tolist() == lives and info["x_pos"][0] == start["x_pos"][0]

    def test_episodic_life_plays_on_until_game_over(self, make):
        # Held right from 1-1, the lane loses its three lives one after another. Each loss
        # ends an episode and the next one goes on in the same game, one life fewer; only
        # game over loads the start state (with its lives) again.
        env = make(AutoresetMode.NEXT_STEP, ["level"], episodic_life=True)
        _, start = env.reset(seed=0)
        ends, starts = [], []
        for _ in range(3):
            _, (_, _, _, _, info) = run_until_done(env, 0, RIGHT)
            ends.append(int(info["lives"][0]))
            _, rewards, terminated, _, info = env.step(noop(env))
            assert rewards[0] == 0.0 and not terminated[0]
            starts.append(int(info["lives"][0]))
        assert start["lives"][0] == 2 and ends == [1, 0, -1] and starts == [1, 0, 2]
        assert info["x_pos"][0] == start["x_pos"][0]

    def test_episodic_life_reset_goes_on_unless_seeded(self, make):
        env = make(AutoresetMode.DISABLED, ["level"], episodic_life=True)
        env.reset(seed=0)
        run_until_done(env, 0, RIGHT)
        assert env.reset()[1]["lives"][0] == 1  # the same game, one life fewer
        run_until_done(env, 0, RIGHT)
        assert env.reset(seed=0)[1]["lives"][0] == 2  # a seed starts from the start state

    def test_the_lives_baseline_follows_extra_lives_restores_and_resets(self, make):
        env = make(AutoresetMode.NEXT_STEP, ["coins99"], end_on_life_loss=True)
        _, info = env.reset(seed=0)
        start = env.clone_states()
        lives = [int(info["lives"][0])]
        # Held right, with a jump into the first block: an extra life, then the first enemy takes one.
        script = [RIGHT] * 37 + [RIGHT_A] * 8 + [RIGHT] * MAX_EPISODE
        for step, action in enumerate(script):
            _, _, terminated, _, info = env.step(np.array([action]))
            if info["lives"][0] != lives[-1]:
                lives.append(int(info["lives"][0]))
                if lives[-1] > lives[0]:
                    gained = env.clone_states()
            if terminated[0]:
                ended_at = step
                break
        assert lives == [lives[0], lives[0] + 1, lives[0]] and ended_at > 45  # ended when the life went, not before
        env.step(np.array([NOOP]))  # the autoreset
        _, info = env.restore_states(gained)
        assert info["lives"].tolist() == [lives[1]]
        env.step(np.array([NOOP]))
        # A restore, or a new start state, with fewer lives than the lane had is no life lost.
        for back in (lambda: env.restore_states(start), lambda: env.reset(options={"state": "last_life"})):
            _, info = back()
            assert info["lives"][0] < lives[1]
            for _ in range(2):
                assert not env.step(np.array([NOOP]))[2].any()
            env.restore_states(gained)
            env.step(np.array([NOOP]))


class TestTruncation:
    @pytest.mark.parametrize("mode", list(AutoresetMode))
    def test_time_limit(self, make, mode):
        env = make(mode, ["level"] * 2, num_envs=2, max_episode_steps=3)
        first_obs, _ = env.reset(seed=0)
        for _ in range(2):
            _, _, terminated, truncated, _ = env.step(np.array([RIGHT, NOOP]))
            assert not terminated.any() and not truncated.any()
        obs, _, terminated, truncated, info = env.step(np.array([RIGHT, NOOP]))
        assert truncated.all() and not terminated.any()
        if mode is AutoresetMode.SAME_STEP:
            assert np.array_equal(obs, first_obs)
            assert info["_final_obs"].all()
        elif mode is AutoresetMode.NEXT_STEP:
            obs, rewards, terminated, truncated, _ = env.step(np.array([RIGHT, NOOP]))
            assert np.array_equal(obs, first_obs)
            assert not rewards.any() and not terminated.any() and not truncated.any()
            for _ in range(2):
                _, _, _, truncated, _ = env.step(np.array([RIGHT, NOOP]))
                assert not truncated.any()
            assert env.step(np.array([RIGHT, NOOP]))[3].all()
            # A step that leaves a lane out does not count toward its limit.
            env.reset(seed=0)
            for _ in range(3):
                truncated = env.step(np.array([RIGHT, NOOP]), mask=np.array([True, False]))[3]
            assert truncated.tolist() == [True, False]
            assert not env.step(np.array([RIGHT, NOOP]))[3].any()  # lane 0 is reset, lane 1's first step
        else:
            with pytest.raises(RuntimeError, match="pending reset"):
                env.step(np.array([RIGHT, NOOP]))
            env.reset(options={"reset_mask": np.array([True, False])})
            with pytest.raises(RuntimeError, match="pending reset"):
                env.step(np.array([RIGHT, NOOP]))

    def test_a_lane_may_end_both_ways_and_sb3_infos_tell_them_apart(self, make):
        env = make(AutoresetMode.SAME_STEP, ["doomed", "scrolling"], max_episode_steps=1)
        env.reset()
        _, _, terminated, truncated, info = env.step(np.full(2, RIGHT))
        assert terminated.tolist() == [True, False] and truncated.all()
        # SB3's conventions (the adapter's infos, computed without SB3): only lane 1 ended by the limit alone.
        dones, infos, new_episodes = sb3_step_infos(terminated, truncated, info, 2)
        assert dones.all() and [lane["TimeLimit.truncated"] for lane in infos] == [False, True]
        for lane in (0, 1):
            assert np.array_equal(infos[lane]["terminal_observation"], info["final_obs"][lane])
            assert infos[lane]["x_pos"] == info["final_info"]["x_pos"][lane]
            assert new_episodes[lane]["x_pos"] == info["x_pos"][lane]
        assert infos[1]["x_pos"] > new_episodes[1]["x_pos"]

    def test_bad_limit(self, make):
        with pytest.raises(ValueError, match="max_episode_steps"):
            make(AutoresetMode.NEXT_STEP, LANES, max_episode_steps=0)


class TestSeededAutoresets:
    @pytest.mark.parametrize("mode", [AutoresetMode.NEXT_STEP, AutoresetMode.SAME_STEP])
    def test_same_seed_same_trajectory_through_autoresets(self, make, mode):
        def trajectory(seed):
            env = make(mode, ["doomed", "level", "level"], noop_reset_max=20, sticky_action_prob=0.25)
            obs, _ = env.reset(seed=seed)
            frames = [obs]
            actions = np.random.default_rng(0).integers(0, 5, size=(12, 3))
            for row in actions:
                obs, rewards, terminated, truncated, info = env.step(row)
                frames += [obs, rewards, terminated, info["x_pos"]]
            return frames

        first, second, other = trajectory(11), trajectory(11), trajectory(12)
        assert all(np.array_equal(a, b) for a, b in zip(first, second))
        assert not all(np.array_equal(a, b) for a, b in zip(first, other))
