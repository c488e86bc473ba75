"""What examples/ppo.py and examples/ppo_jax.py share, without either framework.

The command line and the two recipes, the environment's observation
settings, the run folder with its JSON log (one record a line: the
configuration, every finished training episode, every update, the
evaluation) and the learning curves drawn from such logs, so that one plot
shows runs of both loops.
"""

from __future__ import annotations

import argparse
import json
import os
import time

import numpy as np

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
    """The command line of examples/ppo.py and examples/ppo_jax.py; examples/ppo_world.py gives its own names
    and defaults, and adds its own options."""
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


def observation(args):
    """The environment's observation settings for --obs."""
    if args.obs == "tiles":
        return {"obs_type": "tiles", "frame_stack": 2}
    return {"crop_top": 32, "resize_width": args.size, "resize_height": args.size}


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
