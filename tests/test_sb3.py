"""TurboSB3VecEnv: SB3's step conventions over the SAME_STEP Gymnasium class,
and SB3's own PPO and VecMonitor on top of it."""

from __future__ import annotations

import numpy as np
import pytest

INSTALL = "pip install --no-build-isolation '.[sb3]'"
pytest.importorskip("gymnasium", reason=f"needs Gymnasium: {INSTALL}")
pytest.importorskip("stable_baselines3", reason=f"needs Stable-Baselines3 and PyTorch: {INSTALL}")

from tanuvex_turbo import TurboVectorEnv  # noqa: E402
from tanuvex_turbo.sb3 import TurboSB3VecEnv  # noqa: E402

N = 3
LIMIT = 5
CONFIG = dict(action_set="right_only", sticky_action_prob=0.25, max_episode_steps=LIMIT, num_threads=1)


@pytest.mark.parametrize("obs_type", ["grayscale", "tiles", "ram"])
def test_steps_follow_sb3_conventions_and_match_the_gymnasium_class(rom_path, states_dir, obs_type):
    sb3_env = TurboSB3VecEnv(rom_path, N, states=states_dir, obs_type=obs_type, **CONFIG)
    gym_env = TurboVectorEnv(rom_path, N, states=states_dir, autoreset_mode="SameStep", obs_type=obs_type, **CONFIG)
    assert sb3_env.observation_space == gym_env.single_observation_space
    assert sb3_env.seed(7) == [7, 8, 9]
    obs = sb3_env.reset()
    expected_obs, expected_info = gym_env.reset(seed=7)
    assert np.array_equal(obs, expected_obs)
    assert [info["x_pos"] for info in sb3_env.reset_infos] == expected_info["x_pos"].tolist()
    rng = np.random.default_rng(0)
    for step in range(1, LIMIT + 2):
        actions = rng.integers(0, 5, N)
        obs, rewards, dones, infos = sb3_env.step(actions)
        e_obs, e_rewards, e_term, e_trunc, e_info = gym_env.step(actions)
        assert np.array_equal(obs, e_obs) and np.array_equal(rewards, e_rewards)
        assert dones.tolist() == (e_term | e_trunc).tolist() == [step == LIMIT] * N
        assert isinstance(infos, list) and len(infos) == N
        for lane, info in enumerate(infos):
            assert info["TimeLimit.truncated"] == (step == LIMIT)
            if step == LIMIT:
                assert np.array_equal(info["terminal_observation"], e_info["final_obs"][lane])
                assert info["x_pos"] == e_info["final_info"]["x_pos"][lane]
                assert sb3_env.reset_infos[lane]["x_pos"] == e_info["x_pos"][lane]
            else:
                assert "terminal_observation" not in info and info["x_pos"] == e_info["x_pos"][lane]


def test_sb3_ppo_and_vec_monitor_run_unchanged(rom_path, states_dir):
    from stable_baselines3 import PPO
    from stable_baselines3.common.vec_env import VecMonitor

    env = TurboSB3VecEnv(
        rom_path,
        2,
        states=states_dir,
        render_mode="rgb_array",
        frame_stack=2,
        action_set="right_only",
        max_episode_steps=8,
        num_threads=1,
    )
    assert env.get_attr("render_mode") == ["rgb_array", "rgb_array"]
    assert env.get_attr("action_space", indices=1)[0].n == 5
    monitored = VecMonitor(env)
    model = PPO("CnnPolicy", monitored, n_steps=16, batch_size=16, n_epochs=1, seed=0, device="cpu")
    model.learn(total_timesteps=32)
    assert len(model.ep_info_buffer) == 4 and all(ep["l"] == 8 for ep in model.ep_info_buffer)
    images = env.get_images()
    assert len(images) == 2 and images[0].shape == (224, 240, 3)
    assert len(env.env_method("clone_states", indices=[0, 1])[0]) == 2
    with pytest.raises(ValueError, match="every lane"):
        env.set_attr("copy", False, indices=[0])
    with pytest.raises(ValueError, match="SAME_STEP"):
        TurboSB3VecEnv(rom_path, 1, states=states_dir, autoreset_mode="NextStep")
