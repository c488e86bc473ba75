"""PPO with asynchronous stepping: the policy acts on one half of the lanes while the other half runs.

A CleanRL-style PPO loop over TurboVectorEnv(batch_size=num_envs // 2). Each
recv() returns the first half of the lanes to finish, with their ids in
info["env_id"]; the policy picks their next actions and send() starts them
again at once, so the engine's worker threads emulate one half while the
network runs on the other. Transitions are kept per lane (lanes come back in
any order), and a rollout is trained on once every lane has --num-steps of
them; a lane that ran ahead keeps its extra transitions for the next rollout.

Episodes use the NEXT_STEP autoreset of asynchronous mode: the lane that
ended is sent once more, comes back freshly reset (that result is not a
transition), and goes on. The network is examples/ppo.py's.

    python examples/ppo_async.py --smoke          # a short check that everything runs
    python examples/ppo_async.py --minutes 30     # train; prints steps/s and episode progress

Needs: pip install torch 'tanuvex_turbo[gym]'.
"""

from __future__ import annotations

import argparse
import os
import time

os.environ.setdefault("OMP_WAIT_POLICY", "PASSIVE")

import numpy as np  # noqa: E402
import torch  # noqa: E402
import torch.nn as nn  # noqa: E402
from ppo import Agent  # noqa: E402

from tanuvex_turbo import TurboVectorEnv  # noqa: E402


def parse_args():
    p = argparse.ArgumentParser(description="PPO with asynchronous stepping (CPU)")
    p.add_argument("--smoke", action="store_true", help="a short run that checks that everything works")
    p.add_argument("--minutes", type=float, default=30.0, help="training time budget (wall clock)")
    p.add_argument("--total-steps", type=int, default=10_000_000)
    p.add_argument("--num-envs", type=int, default=16, help="lanes; batch_size is half of them")
    p.add_argument("--num-steps", type=int, default=128, help="transitions per lane per rollout")
    p.add_argument("--epochs", type=int, default=3)
    p.add_argument("--minibatches", type=int, default=4)
    p.add_argument("--lr", type=float, default=2.5e-4)
    p.add_argument("--gamma", type=float, default=0.9)
    p.add_argument("--gae-lambda", type=float, default=0.95)
    p.add_argument("--clip", type=float, default=0.2)
    p.add_argument("--ent-coef", type=float, default=0.01)
    p.add_argument("--vf-coef", type=float, default=0.5)
    p.add_argument("--max-grad-norm", type=float, default=0.5)
    p.add_argument("--reward-scale", type=float, default=0.1)
    p.add_argument("--size", type=int, default=64)
    p.add_argument("--max-episode-steps", type=int, default=1500)
    p.add_argument("--seed", type=int, default=1)
    p.add_argument("--threads", type=int, default=1, help="PyTorch threads (the engine's workers use the rest)")
    p.add_argument("--env-threads", type=int, default=None, help="engine worker threads (default: shared pool)")
    p.add_argument("--rom", default=os.environ.get("TANUVEX_TURBO_ROM"))
    p.add_argument("--states", default=os.environ.get("TANUVEX_TURBO_STATES"))
    args = p.parse_args()
    if args.smoke:
        args.minutes, args.total_steps, args.num_envs, args.num_steps, args.max_episode_steps = 2.0, 1024, 8, 32, 60
    return args


def train(args):
    torch.manual_seed(args.seed)
    torch.set_num_threads(args.threads)
    n = args.num_envs
    env = TurboVectorEnv(
        args.rom,
        n,
        batch_size=n // 2,
        states=args.states,
        start_state="1-1",
        action_set="right_only",
        max_episode_steps=args.max_episode_steps,
        seed=args.seed,
        num_threads=args.env_threads,
        crop_top=32,
        resize_width=args.size,
        resize_height=args.size,
    )
    agent = Agent(env.single_observation_space.shape[0], args.size, env.single_action_space.n)
    optimizer = torch.optim.Adam(agent.parameters(), lr=args.lr, eps=1e-5)
    t_max = args.num_steps

    # Per lane: finished transitions (obs, action, logprob, value, reward, done) and the open one
    # (its action was sent, its reward and done are not back yet).
    done_lists: list[list[tuple]] = [[] for _ in range(n)]
    open_step: list[tuple | None] = [None] * n
    resetting = np.zeros(n, np.bool_)  # sent once more after its episode ended: comes back reset
    best_x = np.zeros(n, np.int64)
    finished_x: list[int] = []

    env.async_reset(seed=args.seed)
    steps, start, update = 0, time.time(), 0
    while steps < args.total_steps and time.time() - start < args.minutes * 60:
        while min(len(lanes) for lanes in done_lists) < t_max:
            obs, reward, terminated, truncated, info = env.recv()
            ids = info["env_id"]
            ended = terminated | truncated
            for row, lane in enumerate(ids):
                if resetting[lane]:
                    resetting[lane] = False
                elif open_step[lane] is not None:
                    done_lists[lane].append((*open_step[lane], reward[row] * args.reward_scale, float(ended[row])))
                best_x[lane] = max(best_x[lane], int(info["x_pos"][row]))
                if ended[row]:
                    finished_x.append(int(best_x[lane]))
                    best_x[lane] = 0
            with torch.no_grad():
                action, logprob, _, value = agent.act(torch.from_numpy(obs))
            for row, lane in enumerate(ids):
                # An ended lane's next result is its reset: no transition starts from the final observation.
                open_step[lane] = None if ended[row] else (obs[row], action[row], logprob[row], value[row])
                resetting[lane] = bool(ended[row])
            env.send(action.numpy(), ids)
            steps += len(ids)

        # Per-lane advantages over the first t_max transitions; the value after them bootstraps.
        batch = {key: [] for key in ("obs", "action", "logprob", "advantage", "return")}
        for lane in range(n):
            trail = done_lists[lane]
            following = trail[t_max] if len(trail) > t_max else open_step[lane]
            with torch.no_grad():
                last_value = following[3] if following is not None else torch.tensor(0.0)
            advantage = torch.tensor(0.0)
            for t in reversed(range(t_max)):
                obs_t, action_t, logprob_t, value_t, reward_t, done_t = trail[t]
                next_value = last_value if t == t_max - 1 else trail[t + 1][3]
                delta = reward_t + args.gamma * next_value * (1.0 - done_t) - value_t
                advantage = delta + args.gamma * args.gae_lambda * (1.0 - done_t) * advantage
                batch["obs"].append(torch.from_numpy(np.ascontiguousarray(obs_t)))
                batch["action"].append(action_t)
                batch["logprob"].append(logprob_t)
                batch["advantage"].append(advantage)
                batch["return"].append(advantage + value_t)
            del trail[:t_max]
        b_obs = torch.stack(batch["obs"])
        b_action, b_logprob = torch.stack(batch["action"]), torch.stack(batch["logprob"])
        b_adv, b_return = torch.stack(batch["advantage"]).float(), torch.stack(batch["return"]).float()
        size = len(b_obs)
        minibatch = size // args.minibatches
        for _ in range(args.epochs):
            order = torch.randperm(size)
            for first in range(0, size, minibatch):
                idx = order[first : first + minibatch]
                _, new_logprob, entropy, new_value = agent.act(b_obs[idx], b_action[idx])
                ratio = (new_logprob - b_logprob[idx]).exp()
                adv = (b_adv[idx] - b_adv[idx].mean()) / (b_adv[idx].std() + 1e-8)
                policy_loss = torch.max(-adv * ratio, -adv * ratio.clamp(1 - args.clip, 1 + args.clip)).mean()
                value_loss = 0.5 * ((new_value - b_return[idx]) ** 2).mean()
                loss = policy_loss - args.ent_coef * entropy.mean() + args.vf_coef * value_loss
                optimizer.zero_grad()
                loss.backward()
                nn.utils.clip_grad_norm_(agent.parameters(), args.max_grad_norm)
                optimizer.step()
        update += 1
        elapsed = time.time() - start
        recent = finished_x[-50:]
        print(
            f"update {update:>4}  step {steps:>9,}  {steps / elapsed:6.0f} steps/s  episodes {len(finished_x):>5}  "
            f"mean max x {np.mean(recent) if recent else 0:7.1f}  entropy {entropy.mean().item():.3f}",
            flush=True,
        )
    env.close()


if __name__ == "__main__":
    train(parse_args())
