"""PPO on level 1-1 of the supported game, in one file, on the CPU.

A CleanRL-style proximal policy optimisation loop in PyTorch over
TurboVectorEnv, sized for a small machine: on two cores the network update,
not the environment, takes most of the time. Two recipes, chosen by what the
policy sees (--obs; each recipe's defaults are in RECIPES below):

- ``--obs tiles`` (default): the console's tile view (``obs_type="tiles"``):
  the playfield's background tile numbers, aligned to the scroll, and the
  sprite table, two stacked; nothing is drawn. The network looks each tile
  number up in learned tables (a convolution over one-hot tiles, without the
  one-hot), reads the sprites through a linear layer, and gives the policy
  and the value two 64-unit tanh layers each. 64 lanes x 64 steps a rollout,
  two passes over it; at most 15 minutes.
- ``--obs pixels``: the playfield without the status bar, 64 x 64 gray, 4
  stacked frames, through a small CNN (two convolutions) with linear heads;
  32 lanes x 128 steps, three passes; 5.5 million steps or 90 minutes.

    # a short check that everything runs (a few thousand steps, about a minute)
    python examples/ppo.py --smoke
    # the documented run: at most 15 minutes of training, then 32 evaluation episodes
    python examples/ppo.py --seed 1
    # the pixel recipe: 5.5 million steps (at most 90 minutes)
    python examples/ppo.py --obs pixels --seed 1
    # redraw the curves of finished runs (one per run, on one plot, against training minutes)
    python examples/ppo.py --plot-only runs/ppo-1/log.jsonl runs/ppo-2/log.jsonl --plot curves.png

Every finished training episode, every update (with the seconds spent
stepping lanes, choosing actions and learning) and the evaluation are written
as JSON lines to RUN_DIR/log.jsonl; the learning curve (mean of the maximum
x position per episode and the share of episodes that reach the flag,
against training minutes or --plot-against steps) is drawn from it with
matplotlib.

An episode runs from the start state 1-1 until game over, the flag, or
--max-episode-steps. For learning, a lost life also ends the value estimate
(the game goes on), so the agent learns that dying costs the reward it would
have collected. --demo-share begins some training episodes at points along a
replay's way through 1-1 instead (examples/ppo_world.py uses it for whole
levels). Needs: pip install torch matplotlib 'tanuvex_turbo[gym]'.
"""

from __future__ import annotations

import argparse
import json
import os
import time

# PyTorch's worker threads wait for work passively: spinning threads cost
# little on an idle machine but slow every operation many times over when
# other processes share the cores.
os.environ.setdefault("OMP_WAIT_POLICY", "PASSIVE")

import numpy as np  # noqa: E402
import torch  # noqa: E402
import torch.nn as nn  # noqa: E402
from torch.distributions import Categorical  # noqa: E402

from tanuvex_turbo import TurboVectorEnv  # noqa: E402

FLAG_X = 3160  # the episode ends with the flag when x_pos reaches this
# The committed replay of a whole game from power-on, found by `tanuvex-turbo explore`.
WHOLE_GAME = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "data", "replay-power-on-game.txt")


def make_parser(
    description="PPO on level 1-1 (CPU)",
    run_name="ppo",
    curve="learning-curve.png",
    along="1-1",
    minutes=None,
    total_steps=5_505_024,
    demo_share=0.0,
):
    """The command line of this example; examples/ppo_world.py gives its own names and defaults, and adds its
    own options."""
    p = argparse.ArgumentParser(description=description)
    p.add_argument("--smoke", action="store_true", help="a short run that checks that everything works")
    recipes = "; ".join(
        f"{name}: {recipe['num_envs']} lanes x {recipe['num_steps']} steps a rollout, {recipe['heads']} heads"
        for name, recipe in RECIPES.items()
    )
    p.add_argument(
        "--obs",
        default="tiles",
        choices=list(RECIPES),
        help="what the policy sees, and its recipe: tiles, the console's tile view; pixels, 64 x 64 gray frames "
        f"through a small CNN ({recipes}; default: %(default)s)",
    )
    p.add_argument(
        "--minutes",
        type=float,
        default=minutes,
        help="training time budget, wall clock (default: "
        + ("the recipe's" if minutes is None else "%(default)s")
        + ")",
    )
    p.add_argument(
        "--total-steps",
        type=int,
        default=total_steps,
        help="training budget in environment steps (training ends at this or --minutes, whichever comes first; "
        "default: %(default)s)",
    )
    p.add_argument("--num-envs", type=int, default=None, help="lanes")
    p.add_argument("--num-steps", type=int, default=None, help="steps per lane per rollout")
    p.add_argument("--epochs", type=int, default=None, help="passes over each rollout")
    p.add_argument("--minibatches", type=int, default=4)
    p.add_argument(
        "--net", default="small", choices=["small", "nature"], help="pixels: small is half the Nature CNN's cost"
    )
    p.add_argument(
        "--heads",
        default=None,
        choices=["linear", "mlp"],
        help="policy and value heads over the features: one linear layer each, or two 64-unit tanh layers each",
    )
    p.add_argument("--lr", type=float, default=2.5e-4)
    p.add_argument("--gamma", type=float, default=0.9, help="the reward is near-term progress")
    p.add_argument("--gae-lambda", type=float, default=0.95)
    p.add_argument("--clip", type=float, default=0.2)
    p.add_argument("--ent-coef", type=float, default=0.01)
    p.add_argument("--vf-coef", type=float, default=None, help="weight of the value loss")
    p.add_argument("--max-grad-norm", type=float, default=0.5)
    p.add_argument("--reward-scale", type=float, default=0.1, help="rewards are at most 10 per step")
    p.add_argument("--action-set", default="right_only", choices=["right_only", "simple"])
    p.add_argument("--size", type=int, default=64, help="observation width and height")
    p.add_argument("--max-episode-steps", type=int, default=1500)
    p.add_argument(
        "--stall-steps",
        type=int,
        default=200,
        help="cut a training episode whose maximum x has not grown for this many steps (0: never)",
    )
    p.add_argument(
        "--demo-share",
        type=float,
        default=demo_share,
        help=f"share of training episodes begun at a point along --replay's way through {along} instead of at the "
        "level's start (default: %(default)s)",
    )
    p.add_argument("--replay", default=WHOLE_GAME, help=f"a replay through {along} (for --demo-share)")
    p.add_argument("--every", type=int, default=10, help="steps between the starts kept along --replay")
    p.add_argument("--eval-episodes", type=int, default=32)
    p.add_argument("--seed", type=int, default=1)
    p.add_argument("--threads", type=int, default=os.cpu_count() or 1, help="PyTorch threads")
    p.add_argument("--rom", default=os.environ.get("TANUVEX_TURBO_ROM"))
    p.add_argument("--states", default=os.environ.get("TANUVEX_TURBO_STATES"))
    p.add_argument("--run-dir", default=None, help=f"default: runs/{run_name}-<time>")
    p.add_argument("--plot", default=None, help=f"PNG of the learning curve (default: RUN_DIR/{curve})")
    p.add_argument("--plot-only", metavar="LOG", nargs="+", help="only draw the curves of finished runs' logs")
    p.add_argument("--plot-against", default="minutes", choices=["minutes", "steps"], help="the plot's x axis")
    return p


# What differs between the two recipes; an option given on the command line wins.
RECIPES = {
    "tiles": {"minutes": 15.0, "heads": "mlp", "vf_coef": 1.0, "num_envs": 64, "num_steps": 64, "epochs": 2},
    "pixels": {"minutes": 90.0, "heads": "linear", "vf_coef": 0.5, "num_envs": 32, "num_steps": 128, "epochs": 3},
}


def apply_recipe(args):
    for name, value in RECIPES[args.obs].items():
        if getattr(args, name) is None:
            setattr(args, name, value)


def parse_args():
    args = make_parser().parse_args()
    apply_recipe(args)
    if args.smoke:
        args.minutes, args.total_steps, args.num_envs, args.num_steps = 2.0, 2048, 4, 64
        args.eval_episodes, args.max_episode_steps = 4, 100
    return args


SQRT2 = float(np.sqrt(2))
TILE_ROWS = slice(4, 28)  # the playfield's tile rows (below the status bar), 24 of them: six blocks of 4
SPRITE_ROWS = slice(30, 38)  # the sprite table: 64 entries of y, tile, attributes, x


def layer(module, std=SQRT2, bias=0.0):
    nn.init.orthogonal_(module.weight, std)
    nn.init.constant_(module.bias, bias)
    return module


class Heads(nn.Module):
    """The policy's logits and the value over a body's features.

    "linear": one layer each; "mlp": each its own two 64-unit tanh layers
    first, so the value's and the policy's gradients meet only in the body.
    """

    def __init__(self, features, actions, kind="linear"):
        super().__init__()
        width = features if kind == "linear" else 64

        def trunk():
            if kind == "linear":
                return nn.Identity()
            return nn.Sequential(layer(nn.Linear(features, 64)), nn.Tanh(), layer(nn.Linear(64, 64)), nn.Tanh())

        self.actor = nn.Sequential(trunk(), layer(nn.Linear(width, actions), std=0.01))
        self.critic = nn.Sequential(trunk(), layer(nn.Linear(width, 1), std=1.0))

    def forward(self, hidden, action=None):
        """Returns (action, its log-probability, the entropy, the value); samples the action when not given."""
        dist = Categorical(logits=self.actor(hidden))
        if action is None:
            action = dist.sample()
        return action, dist.log_prob(action), dist.entropy(), self.critic(hidden).squeeze(-1)


class Agent(nn.Module):
    """A convolutional body with a policy and a value head.

    "nature" is the Nature CNN (three convolutions and a 512-unit layer);
    "small" has two convolutions with half the channels and a 256-unit layer,
    which halves the update's cost on the 64 x 64 input.
    """

    def __init__(self, frames, size, actions, net="small", heads="linear"):
        super().__init__()
        if net == "nature":
            convs, hidden = [(32, 8, 4), (64, 4, 2), (64, 3, 1)], 512
        else:
            convs, hidden = [(16, 8, 4), (32, 4, 2)], 256
        layers, channels = [], frames
        for out, kernel, stride in convs:
            layers += [layer(nn.Conv2d(channels, out, kernel, stride=stride)), nn.ReLU()]
            channels = out
        self.body = nn.Sequential(*layers, nn.Flatten())
        with torch.no_grad():
            flat = self.body(torch.zeros(1, frames, size, size)).shape[1]
        self.body.append(layer(nn.Linear(flat, hidden)))
        self.body.append(nn.ReLU())
        self.heads = Heads(hidden, actions, heads)

    def value(self, obs):
        return self.heads.critic(self.body(obs.float() / 255.0)).squeeze(-1)

    def act(self, obs, action=None):
        return self.heads(self.body(obs.float() / 255.0), action)


class TileAgent(nn.Module):
    """A policy and a value head over the tile view.

    The playfield's tile grid (the newest slot, 24 x 32 cells below the
    status bar) is cut into 12 x 16 blocks of 2 x 2 cells (``block``); a
    block's features are the sum of one learned vector per (cell of the
    block, tile number): a 2 x 2 convolution with stride 2 over one-hot tile
    numbers, computed as 4 table lookups per block (``EmbeddingBag``), so no
    one-hot is ever materialised. The sprite table of both slots (where things are and how
    they move) goes through a linear layer; both meet in a 128-unit layer.
    """

    def __init__(self, frames, actions, channels=16, hidden=128, block=2, heads="linear"):
        super().__init__()
        rows, cols = TILE_ROWS.stop - TILE_ROWS.start, 32
        blocks = (rows // block) * (cols // block)
        r, c = torch.arange(rows).view(-1, 1), torch.arange(cols).view(1, -1)
        block_of = ((r // block) * (cols // block) + c // block).reshape(-1)
        slot_of = ((r % block) * block + c % block).reshape(-1)
        order = torch.argsort(block_of * block * block + slot_of)  # the cells, block by block
        self.register_buffer("order", order)
        self.register_buffer("table_base", (slot_of[order] * 256).view(blocks, block * block))
        self.blocks = blocks
        self.cells = nn.EmbeddingBag(block * block * 256, channels, mode="sum")
        nn.init.normal_(self.cells.weight, std=0.1)
        self.cell_bias = nn.Parameter(torch.zeros(channels))
        self.sprites = nn.Sequential(layer(nn.Linear(frames * 256, 64)), nn.ReLU())
        self.body = nn.Sequential(layer(nn.Linear(channels * blocks + 64, hidden)), nn.ReLU())
        self.heads = Heads(hidden, actions, heads)

    def features(self, obs):
        batch = obs.shape[0]
        tiles = obs[:, -1, TILE_ROWS].reshape(batch, -1)[:, self.order].view(batch, self.blocks, -1)
        lookups = (tiles.long() + self.table_base).view(batch * self.blocks, -1)
        grid = torch.relu(self.cells(lookups) + self.cell_bias).view(batch, -1)
        sprites = obs[:, :, SPRITE_ROWS].reshape(batch, -1).float() / 255.0
        return self.body(torch.cat([grid, self.sprites(sprites)], 1))

    def value(self, obs):
        return self.heads.critic(self.features(obs)).squeeze(-1)

    def act(self, obs, action=None):
        return self.heads(self.features(obs), action)


def make_agent(args, env):
    shape, actions = env.single_observation_space.shape, env.single_action_space.n
    if args.obs == "tiles":
        return TileAgent(shape[0], actions, heads=args.heads)
    return Agent(shape[0], args.size, actions, args.net, args.heads)


def observation(args):
    """The environment's observation settings for --obs."""
    if args.obs == "tiles":
        return {"obs_type": "tiles", "frame_stack": 2}
    return {"crop_top": 32, "resize_width": args.size, "resize_height": args.size}


def make_env(args, num_envs, seed):
    return TurboVectorEnv(
        args.rom,
        num_envs,
        states=args.states,
        start_state="1-1",
        action_set=args.action_set,
        autoreset_mode="SameStep",
        max_episode_steps=args.max_episode_steps,
        seed=seed,
        num_threads=1,
        copy=False,
        **observation(args),
    )


def record_demo_starts(args):
    """Saved lanes every --every steps along the replay's way through 1-1, for --demo-share."""
    from tanuvex_turbo import replay
    from tanuvex_turbo.demo_starts import DemoStarts

    along = DemoStarts.record(replay.read_replay(args.replay), args.rom, every=args.every, **observation(args))
    return DemoStarts(along.of_level("1-1"), along.every)


class EpisodeTracker:
    """Maximum x position of each lane's running episode, and the steps since it last grew."""

    def __init__(self, n):
        self.max_x = np.zeros(n, np.int64)
        self.stalled = np.zeros(n, np.int64)

    def update(self, info, terminated, truncated):
        """Returns [(lane, max x, how it ended)] of the lanes whose episode ended this step.

        An episode ends at the "flag", at "game_over" or by "time" (the step limit).
        """
        done = []
        ended = terminated | truncated
        if ended.any():
            final_x = info["final_info"]["x_pos"].astype(np.int64)
            for lane in np.flatnonzero(ended):
                end = "flag" if final_x[lane] >= FLAG_X else "game_over" if terminated[lane] else "time"
                done.append((lane, int(max(self.max_x[lane], final_x[lane])), end))
                self.max_x[lane], self.stalled[lane] = 0, 0
        grew = info["x_pos"] > self.max_x
        self.stalled = np.where(grew | ended, 0, self.stalled + 1)
        np.maximum(self.max_x, info["x_pos"], out=self.max_x)
        return done

    def cut(self, lanes):
        """Returns [(lane, max x, "stall")] for lanes whose episode is cut, and starts them afresh."""
        done = [(lane, int(self.max_x[lane]), "stall") for lane in np.flatnonzero(lanes)]
        self.max_x[lanes], self.stalled[lanes] = 0, 0
        return done


def advantages(rewards, values, dones, next_value, next_done, args):
    """Generalised advantage estimates and returns of a rollout ([steps, lanes] each).

    ``dones[t]`` marks an observation that begins a new value estimate (its
    lane's previous step ended an episode or lost a life); ``next_value`` and
    ``next_done`` are those of the observation after the rollout.
    """
    steps = rewards.shape[0]
    adv = torch.zeros_like(rewards)
    last = torch.zeros_like(next_value)
    for t in reversed(range(steps)):
        not_done = 1.0 - (next_done if t == steps - 1 else dones[t + 1])
        following = next_value if t == steps - 1 else values[t + 1]
        delta = rewards[t] + args.gamma * following * not_done - values[t]
        last = delta + args.gamma * args.gae_lambda * not_done * last
        adv[t] = last
    return adv.reshape(-1), (adv + values).reshape(-1)


def learn(agent, optimizer, obs, actions, logprobs, adv, returns, args):
    """The clipped PPO update: --epochs passes over the rollout in --minibatches minibatches.

    Returns the last minibatch's losses and entropy.
    """
    b_obs = obs.reshape((-1,) + obs.shape[2:])
    b_actions, b_logprobs = actions.reshape(-1), logprobs.reshape(-1)
    batch = b_actions.shape[0]
    minibatch = batch // args.minibatches
    for _ in range(args.epochs):
        order = torch.randperm(batch)
        for first in range(0, batch, minibatch):
            idx = order[first : first + minibatch]
            _, new_logprob, entropy, new_value = agent.act(b_obs[idx], b_actions[idx])
            ratio = (new_logprob - b_logprobs[idx]).exp()
            mb_adv = adv[idx]
            mb_adv = (mb_adv - mb_adv.mean()) / (mb_adv.std() + 1e-8)
            policy_loss = torch.max(-mb_adv * ratio, -mb_adv * ratio.clamp(1 - args.clip, 1 + args.clip)).mean()
            value_loss = 0.5 * ((new_value - returns[idx]) ** 2).mean()
            loss = policy_loss - args.ent_coef * entropy.mean() + args.vf_coef * value_loss
            optimizer.zero_grad()
            loss.backward()
            nn.utils.clip_grad_norm_(agent.parameters(), args.max_grad_norm)
            optimizer.step()
    return {
        "policy_loss": round(policy_loss.item(), 4),
        "value_loss": round(value_loss.item(), 4),
        "entropy": round(entropy.mean().item(), 4),
    }


def open_run(args, name):
    """Makes the run's folder (--run-dir, default runs/NAME-<time>) and its log; returns the folder, the log
    and a function that writes one JSON record to it. The first record is the configuration."""
    run_dir = args.run_dir or os.path.join("runs", time.strftime(f"{name}-%Y%m%d-%H%M%S"))
    os.makedirs(run_dir, exist_ok=True)
    log = open(os.path.join(run_dir, "log.jsonl"), "w")

    def write(record):
        log.write(json.dumps(record) + "\n")
        log.flush()

    write({"type": "config", **{k: v for k, v in vars(args).items() if k not in ("rom", "states")}})
    return run_dir, log, write


def train(args):
    run_dir, log, write = open_run(args, "ppo")
    torch.manual_seed(args.seed)
    torch.set_num_threads(args.threads)
    env = make_env(args, args.num_envs, args.seed)
    n, t_max = args.num_envs, args.num_steps
    agent = make_agent(args, env)
    optimizer = torch.optim.Adam(agent.parameters(), lr=args.lr, eps=1e-5)

    obs_buf = torch.zeros((t_max, n) + env.single_observation_space.shape, dtype=torch.uint8)
    actions = torch.zeros((t_max, n), dtype=torch.long)
    logprobs, rewards, dones, values = (torch.zeros((t_max, n)) for _ in range(4))

    obs, info = env.reset(seed=args.seed)
    next_obs = torch.from_numpy(obs.copy())
    next_done = torch.zeros(n)
    lives = info["lives"].copy()
    tracker = EpisodeTracker(n)
    along = record_demo_starts(args) if args.demo_share else None
    rng = np.random.default_rng(args.seed)
    from_start = np.ones(n, np.bool_)  # whether the lane's episode began at the level's start
    steps, start, update = 0, time.time(), 0
    budget = args.minutes * 60
    while steps < args.total_steps and time.time() - start < budget:
        update += 1
        used = max(steps / args.total_steps, (time.time() - start) / budget)
        optimizer.param_groups[0]["lr"] = args.lr * max(1.0 - used, 0.05)
        rollout_start = time.time()
        env_seconds = inference_seconds = 0.0
        for t in range(t_max):
            obs_buf[t] = next_obs
            dones[t] = next_done
            started = time.perf_counter()
            with torch.inference_mode():
                action, logprob, _, value = agent.act(next_obs)
            actions[t], logprobs[t], values[t] = action, logprob, value
            stepped = time.perf_counter()
            obs, reward, terminated, truncated, info = env.step(action.numpy())
            env_seconds += time.perf_counter() - stepped
            inference_seconds += stepped - started
            ended = terminated | truncated
            # A lost life ends the value estimate; the game itself goes on.
            life_lost = (info["lives"] < lives) & ~ended
            rewards[t] = torch.from_numpy(reward * args.reward_scale)
            steps += n
            finished = tracker.update(info, terminated, truncated)
            # A lane stuck in front of an obstacle starts the level again: it
            # comes back with other speeds and jumps instead of repeating the
            # one that fails, and its steps are not spent standing still.
            stalled = (tracker.stalled >= args.stall_steps) & ~ended if args.stall_steps else None
            if stalled is not None and stalled.any():
                obs, reset_info = env.reset(options={"reset_mask": stalled})
                info["lives"][stalled] = reset_info["lives"][stalled]
                finished += tracker.cut(stalled)
                ended = ended | stalled
            from_start_ended = from_start.copy()
            if along is not None and ended.any():
                # Some of the new episodes begin along the demonstration instead of at the start.
                moved = ended & (rng.random(n) < args.demo_share)
                if moved.any():
                    picks = along.sample(n, rng)
                    obs, moved_info = along.restore(env, [picks[lane] if moved[lane] else None for lane in range(n)])
                    info["lives"][moved] = moved_info["lives"][moved]
                from_start[ended] = ~moved[ended]
            lives = info["lives"].copy()
            next_obs = torch.from_numpy(obs.copy())
            next_done = torch.from_numpy((ended | life_lost).astype(np.float32))
            seconds = round(time.time() - start, 1)
            for lane, max_x, end in finished:
                record = {"type": "episode", "step": steps, "seconds": seconds, "max_x": max_x, "flag": end == "flag"}
                write({**record, "end": end, "from_start": bool(from_start_ended[lane])})
        rollout_seconds = time.time() - rollout_start
        learn_start = time.time()

        with torch.no_grad():
            b_adv, b_returns = advantages(rewards, values, dones, agent.value(next_obs), next_done, args)
        stats = learn(agent, optimizer, obs_buf, actions, logprobs, b_adv, b_returns, args)
        elapsed = time.time() - start
        write(
            {
                "type": "update",
                "update": update,
                "step": steps,
                "seconds": round(elapsed, 1),
                "steps_per_second": round(steps / elapsed, 1),
                "rollout_share": round(rollout_seconds / (time.time() - rollout_start), 3),
                # Seconds of this update spent stepping lanes, choosing actions, learning, and the rest.
                "env_seconds": round(env_seconds, 3),
                "inference_seconds": round(inference_seconds, 3),
                "learn_seconds": round(time.time() - learn_start, 3),
                "other_seconds": round(rollout_seconds - env_seconds - inference_seconds, 3),
                **stats,
            }
        )
        if update % 10 == 0 or args.smoke:
            print(
                f"step {steps:>9,}  {elapsed / 60:5.1f} min  {steps / elapsed:6.0f} steps/s  "
                f"entropy {stats['entropy']:.3f}",
                flush=True,
            )
    env.close()
    torch.save(agent.state_dict(), os.path.join(run_dir, "agent.pt"))
    result = evaluate(args, agent)
    result.update(type="eval", step=steps, train_seconds=round(time.time() - start, 1))
    write(result)
    log.close()
    print(json.dumps(result))
    png = args.plot or os.path.join(run_dir, "learning-curve.png")
    plot([os.path.join(run_dir, "log.jsonl")], png, against=args.plot_against)
    return result


def evaluate(args, agent):
    """One episode on each of --eval-episodes lanes, actions drawn from the policy; flag share and mean max x."""
    env = make_env(args, args.eval_episodes, args.seed + 10_000)
    obs, _ = env.reset(seed=args.seed + 10_000)
    tracker = EpisodeTracker(env.num_envs)
    results = [None] * env.num_envs
    while any(r is None for r in results):
        with torch.inference_mode():
            action, _, _, _ = agent.act(torch.from_numpy(obs.copy()))
        obs, _, terminated, truncated, info = env.step(action.numpy())
        finished = tracker.update(info, terminated, truncated)
        for lane, max_x, end in finished:
            if results[lane] is None:
                results[lane] = (max_x, end == "flag")
    env.close()
    return {
        "episodes": len(results),
        "flag_share": float(np.mean([flag for _, flag in results])),
        "mean_max_x": float(np.mean([x for x, _ in results])),
    }


def episode_minutes(records, episodes):
    """Training minutes at each episode's end (logs without them: interpolated from the updates' times)."""
    if all("seconds" in e for e in episodes):
        return np.array([e["seconds"] for e in episodes]) / 60
    updates = [r for r in records if r["type"] == "update"]
    steps = [0] + [u["step"] for u in updates]
    seconds = [0.0] + [u["seconds"] for u in updates]
    return np.interp([e["step"] for e in episodes], steps, seconds) / 60


def plot(log_paths, png_path, window=50, against="minutes"):
    """Learning curves of one or more runs: rolling means over `window` episodes against training minutes or
    environment steps; prints when each run first reached the flag and when half of 200 episodes did."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, (top, bottom) = plt.subplots(2, 1, sharex=True, figsize=(7, 5.5))
    for number, log_path in enumerate(log_paths):
        records = [json.loads(line) for line in open(log_path)]
        config = next((r for r in records if r["type"] == "config"), {})
        # Episodes begun along a demonstration are not counted: the curve is that of whole levels.
        episodes = [r for r in records if r["type"] == "episode" and r.get("from_start", True)]
        if not episodes:
            print(f"no finished episodes in {log_path}: nothing to plot")
            continue
        steps = np.array([e["step"] for e in episodes])
        minutes = episode_minutes(records, episodes)
        x = minutes if against == "minutes" else steps

        def rolling(values, window=window):
            """Mean over the last `window` episodes (over all of them at the start)."""
            sums = np.cumsum(values)
            count = np.minimum(np.arange(1, len(values) + 1), window)
            return (sums - np.concatenate([np.zeros(window), sums])[: len(values)]) / count

        label = f"{config.get('obs', 'pixels')}, seed {config['seed']}" if "seed" in config else log_path
        color = f"C{number}"
        top.plot(x, rolling(np.array([e["max_x"] for e in episodes], float)), color=color, label=label)
        flags = np.array([e["flag"] for e in episodes], float)
        bottom.plot(x, rolling(flags), color=color)
        evals = [r for r in records if r["type"] == "eval"]
        for e in evals:
            at = e["train_seconds"] / 60 if against == "minutes" else e["step"]
            bottom.plot([at], [e["flag_share"]], "o", color=color)
        half = rolling(flags, 200) >= 0.5
        half[:199] = False  # a share of fewer than 200 episodes is not counted
        moments = []
        for name, reached, index in (("first flag", flags.any(), flags.argmax()), ("half", half.any(), half.argmax())):
            moments.append(f"{name} at step {steps[index]} ({minutes[index]:.1f} min)" if reached else f"no {name}")
        result = f"evaluation {evals[-1]['flag_share']:.0%} at the flag" if evals else "no evaluation"
        print(f"{label}: {moments[0]}; {moments[1]} of 200 episodes; {result}")
    top.axhline(FLAG_X, color="gray", linestyle=":", linewidth=1)
    top.set_ylabel("max x_pos per episode")
    top.set_ylim(0, FLAG_X * 1.05)
    top.legend(loc="lower right")
    bottom.set_ylim(-0.02, 1.02)
    bottom.set_ylabel("share reaching the flag")
    unit = "training minutes (wall clock)" if against == "minutes" else "environment steps"
    bottom.set_xlabel(f"{unit} (dots: evaluation, 32 episodes)")
    top.set_title(f"PPO, level 1-1 (training episodes, rolling mean over {window})")
    fig.tight_layout()
    os.makedirs(os.path.dirname(os.path.abspath(png_path)), exist_ok=True)
    fig.savefig(png_path, dpi=100)
    print(f"learning curve: {png_path}")


if __name__ == "__main__":
    arguments = parse_args()
    if arguments.plot_only:
        plot(arguments.plot_only, arguments.plot or "learning-curve.png", against=arguments.plot_against)
    else:
        train(arguments)
