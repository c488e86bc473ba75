"""The PPO recipe of examples/ppo.py, with Stable-Baselines3 over TurboSB3VecEnv.

    python examples/sb3_ppo.py --smoke                        # a few thousand steps
    python examples/sb3_ppo.py --seed 1                       # the documented run

SB3's own PPO trains on the adapter with the settings of examples/ppo.py:
the same observation (the playfield without the status bar, 64 x 64 gray,
4 frames stacked by the engine), the same small CNN (as a features
extractor), discount 0.9, rewards scaled by 0.1, a learning rate annealed
to 5 % of its start, and the same training episodes, kept by the `Recipe`
wrapper below: a lost life ends the value estimate while the game goes on,
and a lane whose maximum x has not grown for --stall-steps steps starts the
level again. The wrapper only ends episodes and scales the reward; the
environment's reward is unchanged.

Every finished training episode is written as a JSON line to
RUN_DIR/log.jsonl in the format of examples/ppo.py (so its --plot-only
draws the curve); at the end 32 evaluation episodes (full games, no
wrapper) report how far the agent gets. Needs: pip install 'tanuvex_turbo[sb3]'.
"""

from __future__ import annotations

import argparse
import json
import os
import time

os.environ.setdefault("OMP_WAIT_POLICY", "PASSIVE")  # see examples/ppo.py

import numpy as np  # noqa: E402
import torch  # noqa: E402
import torch.nn as nn  # noqa: E402
from stable_baselines3 import PPO  # noqa: E402
from stable_baselines3.common.callbacks import BaseCallback  # noqa: E402
from stable_baselines3.common.torch_layers import BaseFeaturesExtractor  # noqa: E402
from stable_baselines3.common.vec_env import VecEnvWrapper  # noqa: E402

from tanuvex_turbo.sb3 import TurboSB3VecEnv  # noqa: E402

FLAG_X = 3160


class Recipe(VecEnvWrapper):
    """The training episodes of examples/ppo.py on SB3's conventions.

    A lost life is reported as a finished episode whose next observation is
    the game going on (SB3 then bootstraps nothing across it); a lane stuck
    for `stall_steps` steps is reset to the start state and reported as a
    finished episode with its last observation in "terminal_observation".
    `finished` collects (max x, how it ended) of whole games: "flag",
    "game_over", "time" or "stall".
    """

    def __init__(self, venv, reward_scale, stall_steps):
        super().__init__(venv)
        self.reward_scale, self.stall_steps = reward_scale, stall_steps
        self.max_x = np.zeros(self.num_envs, np.int64)
        self.stalled = np.zeros(self.num_envs, np.int64)
        self.lives = np.zeros(self.num_envs, np.int64)
        self.finished = []

    def reset(self):
        obs = self.venv.reset()
        self.lives[:] = [info["lives"] for info in self.venv.reset_infos]
        self.max_x[:], self.stalled[:] = 0, 0
        return obs

    def step_wait(self):
        obs, rewards, dones, infos = self.venv.step_wait()
        x = np.array([info["x_pos"] for info in infos], np.int64)
        lives = np.array([info["lives"] for info in infos], np.int64)
        for lane in np.flatnonzero(dones):
            info = infos[lane]
            end = "flag" if x[lane] >= FLAG_X else "time" if info["TimeLimit.truncated"] else "game_over"
            self.finished.append((int(max(self.max_x[lane], x[lane])), end))
            first = self.venv.reset_infos[lane]  # the new game's first values
            x[lane], lives[lane], self.max_x[lane] = first["x_pos"], first["lives"], 0
        life_lost = (lives < self.lives) & ~dones
        self.stalled = np.where((x > self.max_x) | dones, 0, self.stalled + 1)
        np.maximum(self.max_x, x, out=self.max_x)
        stalled = (self.stalled >= self.stall_steps) & ~dones if self.stall_steps else np.zeros_like(dones)
        if stalled.any():
            for lane in np.flatnonzero(stalled):
                infos[lane]["terminal_observation"] = obs[lane].copy()
                self.finished.append((int(self.max_x[lane]), "stall"))
            obs, reset_info = self.venv.env.reset(options={"reset_mask": stalled})
            obs = obs.copy()
            lives[stalled] = reset_info["lives"][stalled]
            self.max_x[stalled], self.stalled[stalled] = 0, 0
        for lane in np.flatnonzero(life_lost & ~stalled):
            infos[lane]["terminal_observation"] = obs[lane].copy()
        self.lives = lives
        return obs, rewards * self.reward_scale, dones | life_lost | stalled, infos


class SmallCNN(BaseFeaturesExtractor):
    """The "small" network of examples/ppo.py: two convolutions and a 256-unit layer."""

    def __init__(self, observation_space, features_dim=256):
        super().__init__(observation_space, features_dim)
        frames = observation_space.shape[0]
        self.body = nn.Sequential(
            nn.Conv2d(frames, 16, 8, stride=4), nn.ReLU(), nn.Conv2d(16, 32, 4, stride=2), nn.ReLU(), nn.Flatten()
        )
        with torch.no_grad():
            flat = self.body(torch.zeros(1, *observation_space.shape)).shape[1]
        self.body.append(nn.Linear(flat, features_dim))
        self.body.append(nn.ReLU())

    def forward(self, obs):
        return self.body(obs)


class EpisodeLog(BaseCallback):
    """Writes the recipe's finished games as JSON lines and stops training after the time budget."""

    def __init__(self, path, recipe, seconds, config):
        super().__init__()
        self.file, self.recipe, self.seconds = open(path, "w"), recipe, seconds
        self.start, self.rollouts = time.time(), 0
        self.file.write(json.dumps({"type": "config", **config}) + "\n")

    def _on_step(self):
        for max_x, end in self.recipe.finished:
            record = {"type": "episode", "step": self.num_timesteps, "max_x": max_x, "flag": end == "flag", "end": end}
            self.file.write(json.dumps(record) + "\n")
        self.recipe.finished.clear()
        return time.time() - self.start < self.seconds

    def _on_rollout_end(self):
        self.rollouts += 1
        if self.rollouts % 10:
            return
        elapsed = time.time() - self.start
        print(f"step {self.num_timesteps:>9,}  {elapsed / 60:5.1f} min  {self.num_timesteps / elapsed:6.0f} steps/s")
        self.file.flush()

    def _on_training_end(self):
        self.file.close()


def make_env(args, num_envs, seed):
    env = TurboSB3VecEnv(
        args.rom,
        num_envs,
        states=args.states,
        start_state="1-1",
        action_set="right_only",
        max_episode_steps=args.max_episode_steps,
        num_threads=1,
        crop_top=32,
        resize_width=64,
        resize_height=64,
    )
    env.seed(seed)
    return env


def evaluate(model, args):
    """One whole game on each of --eval-episodes lanes, actions drawn from the policy."""
    env = make_env(args, args.eval_episodes, args.seed + 10_000)
    obs = env.reset()
    max_x = np.zeros(env.num_envs, np.int64)
    outcome = [None] * env.num_envs
    while any(x is None for x in outcome):
        actions, _ = model.predict(obs, deterministic=False)
        obs, _, dones, infos = env.step(actions)
        np.maximum(max_x, [info["x_pos"] for info in infos], out=max_x)
        for lane in np.flatnonzero(dones):
            if outcome[lane] is None:
                outcome[lane] = int(max_x[lane])
        max_x[dones] = 0
    env.close()
    return {"episodes": len(outcome), "flag_share": float(np.mean(np.array(outcome) >= FLAG_X)), "max_x": outcome}


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--smoke", action="store_true")
    parser.add_argument("--steps", type=int, default=5_505_024, help="or --minutes, whichever comes first")
    parser.add_argument("--minutes", type=float, default=90.0, help="training time budget (wall clock)")
    parser.add_argument("--num-envs", type=int, default=32)
    parser.add_argument("--max-episode-steps", type=int, default=1500)
    parser.add_argument("--stall-steps", type=int, default=200, help="0: never cut a stuck episode")
    parser.add_argument("--lr", type=float, default=2.5e-4)
    parser.add_argument("--eval-episodes", type=int, default=32)
    parser.add_argument("--threads", type=int, default=os.cpu_count() or 1)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--rom", default=os.environ.get("TANUVEX_TURBO_ROM"))
    parser.add_argument("--states", default=os.environ.get("TANUVEX_TURBO_STATES"))
    parser.add_argument("--run-dir", default=None, help="default: runs/sb3-ppo-<time>")
    args = parser.parse_args()
    if args.smoke:
        args.steps, args.num_envs, args.eval_episodes, args.max_episode_steps = 2048, 4, 2, 100
    run_dir = args.run_dir or os.path.join("runs", time.strftime("sb3-ppo-%Y%m%d-%H%M%S"))
    os.makedirs(run_dir, exist_ok=True)
    torch.set_num_threads(args.threads)

    env = Recipe(make_env(args, args.num_envs, args.seed), reward_scale=0.1, stall_steps=args.stall_steps)
    n_steps = 64 if args.smoke else 128
    model = PPO(
        "CnnPolicy",
        env,
        n_steps=n_steps,
        batch_size=n_steps * args.num_envs // 4,
        n_epochs=3,
        gamma=0.9,
        gae_lambda=0.95,
        learning_rate=lambda remaining: args.lr * max(remaining, 0.05),
        ent_coef=0.01,
        clip_range=0.2,
        policy_kwargs={"features_extractor_class": SmallCNN},
        seed=args.seed,
        device="cpu",
        verbose=0,
    )
    log_path = os.path.join(run_dir, "log.jsonl")
    config = {k: v for k, v in vars(args).items() if k not in ("rom", "states")}
    start = time.time()
    model.learn(total_timesteps=args.steps, callback=EpisodeLog(log_path, env, args.minutes * 60, config))
    seconds = time.time() - start
    model.save(os.path.join(run_dir, "model"))
    env.close()

    result = evaluate(model, args)
    result.update(type="eval", step=model.num_timesteps, train_seconds=round(seconds, 1))
    with open(log_path, "a") as log:
        log.write(json.dumps({k: v for k, v in result.items() if k != "max_x"}) + "\n")
    print(json.dumps(result))


if __name__ == "__main__":
    main()
