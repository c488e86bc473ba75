"""The PPO task of examples/ppo.py, with Stable-Baselines3 over TurboSB3VecEnv.

    python examples/sb3_ppo.py --smoke               # a few thousand steps
    python examples/sb3_ppo.py --steps 2000000       # a real run

SB3's own PPO with its CnnPolicy (the Nature CNN) trains unchanged on the
adapter: no frame-stack wrapper (the engine stacks frames), VecMonitor for
episode statistics. Each finished episode is logged as a JSON line to
RUN_DIR/log.jsonl; at the end a few evaluation episodes report how far the
agent gets. Needs: pip install 'tanuvex_turbo[sb3]'.
"""

from __future__ import annotations

import argparse
import json
import os
import time

os.environ.setdefault("OMP_WAIT_POLICY", "PASSIVE")  # see examples/ppo.py

import numpy as np  # noqa: E402
import torch  # noqa: E402
from stable_baselines3 import PPO  # noqa: E402
from stable_baselines3.common.callbacks import BaseCallback  # noqa: E402
from stable_baselines3.common.vec_env import VecMonitor  # noqa: E402

from tanuvex_turbo.sb3 import TurboSB3VecEnv  # noqa: E402

FLAG_X = 3160


class EpisodeLog(BaseCallback):
    """Writes every finished episode (length, return, last x_pos, flag) as a JSON line."""

    def __init__(self, path):
        super().__init__()
        self.file = open(path, "w")

    def _on_step(self):
        for done, info in zip(self.locals["dones"], self.locals["infos"]):
            if done:
                record = {
                    "step": self.num_timesteps,
                    "length": int(info["episode"]["l"]),
                    "return": float(info["episode"]["r"]),
                    "x_pos": info["x_pos"],
                    "flag": info["x_pos"] >= FLAG_X,
                }
                self.file.write(json.dumps(record) + "\n")
        return True

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
        seed=seed,
        num_threads=1,
        crop_top=32,
        resize_width=64,
        resize_height=64,
    )
    env.seed(seed)
    return env


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--smoke", action="store_true")
    parser.add_argument("--steps", type=int, default=2_000_000)
    parser.add_argument("--num-envs", type=int, default=16)
    parser.add_argument("--max-episode-steps", type=int, default=1500)
    parser.add_argument("--eval-episodes", type=int, default=8)
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

    env = VecMonitor(make_env(args, args.num_envs, args.seed))
    n_steps = 64 if args.smoke else 128
    model = PPO(
        "CnnPolicy",
        env,
        n_steps=n_steps,
        batch_size=n_steps * args.num_envs // 4,
        n_epochs=3,
        learning_rate=2.5e-4,
        ent_coef=0.01,
        clip_range=0.2,
        seed=args.seed,
        device="cpu",
        verbose=0,
    )
    start = time.time()
    model.learn(total_timesteps=args.steps, callback=EpisodeLog(os.path.join(run_dir, "log.jsonl")))
    seconds = time.time() - start
    model.save(os.path.join(run_dir, "model"))
    env.close()

    # Evaluation: one episode per lane, actions drawn from the policy.
    eval_env = make_env(args, args.eval_episodes, args.seed + 10_000)
    obs = eval_env.reset()
    outcome = [None] * args.eval_episodes
    while any(x is None for x in outcome):
        actions, _ = model.predict(obs, deterministic=False)
        obs, _, dones, infos = eval_env.step(actions)
        for lane in np.flatnonzero(dones):
            if outcome[lane] is None:
                outcome[lane] = infos[lane]["x_pos"]
    eval_env.close()
    print(
        json.dumps(
            {
                "steps": args.steps,
                "train_seconds": round(seconds, 1),
                "steps_per_second": round(args.steps / seconds, 1),
                "eval_final_x_pos": outcome,
                "eval_flag_share": float(np.mean(np.array(outcome) >= FLAG_X)),
            }
        )
    )


if __name__ == "__main__":
    main()
