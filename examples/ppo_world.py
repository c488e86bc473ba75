"""One PPO policy for the four levels of world 1, started along the search's replay.

The recipe of examples/ppo.py (the tile view, its network and its PPO
update, imported from there) trained on 1-1, 1-2, 1-3 and 1-4 at once:

- **Every level's start from a replay.** The committed whole-game replay
  (``tests/data/replay-power-on-game.txt``, found by ``tanuvex-turbo
  explore`` from power-on) is played once to write the start state of each
  level it enters (``replay.save_level_starts``); the user's own folder of
  start states is not needed.
- **Starts along the demonstration.** The same replay is played once more
  to keep a saved lane every --every steps of each level
  (``DemoStarts.record``). Lane i trains on level i mod 4; each of its
  episodes begins at the level's start, or with probability --demo-share at
  a point along the replay's way through the level.
- **A backward curriculum.** Per level, a frontier along the replay begins
  at the level's end and moves back towards its start as the policy
  succeeds from it (``Frontier``). Of the episodes begun along the replay,
  --frontier-share begin within the --frontier-window starts from the
  frontier on, the rest anywhere between the frontier and the level's end:
  the lanes practise where the policy fails, not the parts it already
  passes or cannot reach yet.
- **Episodes.** One life each (``end_on_life_loss``), with sticky actions
  as in the evaluation (--sticky): an episode ends when the level ends
  (``end_on_level_end``: the game's own level-end signal,
  ``tanuvex_turbo.progress.level_end``), when a life is lost, after --max-episode-steps, or when its
  maximum x has not grown for --stall-steps steps. The reward is the
  environment's.

At the end each level is played 32 times from its start (whole games, with
sticky actions 0.25 and up to 30 random no-op steps after the reset, so the
policy cannot replay the demonstration), and the share of games that reach
the level's end is reported per level. The log (RUN_DIR/log.jsonl) holds
every training episode (its level, whether it began at the level's start,
how it ended), every update and the evaluation; --plot-only draws, per
level, the share of training episodes that reach its end (begun at its start,
or along the replay), against training minutes.

    python examples/ppo_world.py --smoke          # a short check (about a minute)
    python examples/ppo_world.py --seed 1         # the documented run: at most 120 minutes of training
    python examples/ppo_world.py --probe runs/world-1     # where in each level the trained policy fails
    python examples/ppo_world.py --plot-only runs/world-1/log.jsonl --plot world.png

Needs: pip install torch matplotlib 'tanuvex_turbo[gym]'.
"""

from __future__ import annotations

import json
import os
import time

import numpy as np
import ppo  # examples/ppo.py, beside this file
import torch

from tanuvex_turbo import TurboVectorEnv, replay
from tanuvex_turbo.demo_starts import DemoStarts


def parse_args():
    p = ppo.make_parser(
        "One PPO policy for the levels of world 1 (CPU)",
        run_name="world",
        curve="world-curve.png",
        along="each level",
        minutes=120.0,
        total_steps=10**9,
        demo_share=0.5,
    )
    p.add_argument("--levels", default="1-1,1-2,1-3,1-4", help="the levels trained and evaluated, comma-separated")
    p.add_argument("--eval-max-steps", type=int, default=4000, help="step limit of an evaluation game")
    p.add_argument("--sticky", type=float, default=0.25, help="sticky actions in training")
    p.add_argument("--frontier-window", type=int, default=10, help="starts along the replay from the frontier on")
    p.add_argument(
        "--frontier-share",
        type=float,
        default=0.5,
        help="share of the episodes begun along the replay that begin within the frontier's window",
    )
    p.add_argument(
        "--frontier-patience",
        type=int,
        default=0,
        help="judged episodes after which a frontier that has not passed moves back anyway (0: never)",
    )
    p.add_argument(
        "--probe",
        metavar="RUN_DIR",
        help="only play a finished run's policy from starts along the replay: where in each level it fails",
    )
    args = p.parse_args()
    ppo.apply_recipe(args)
    args.levels = args.levels.split(",")
    if args.smoke:
        args.minutes, args.total_steps, args.num_envs, args.num_steps = 2.0, 2048, 4 * len(args.levels), 32
        args.eval_episodes, args.eval_max_steps = 2, 100
    return args


def make_env(args, starts_dir, num_envs, seed, lane_levels, **episodes):
    return TurboVectorEnv(
        args.rom,
        num_envs,
        states={level: os.path.join(starts_dir, f"{level}.state") for level in args.levels},
        start_state=lane_levels,
        action_set=args.action_set,
        autoreset_mode="SameStep",
        end_on_level_end=True,
        seed=seed,
        num_threads=1,
        copy=False,
        **ppo.observation(args),
        **episodes,
    )


def prepare_starts(args, run_dir):
    """Writes the levels' start states into RUN_DIR/starts and records the starts along the replay."""
    demo = replay.read_replay(args.replay)
    starts_dir = os.path.join(run_dir, "starts")
    written = {path.stem for path in replay.save_level_starts(demo, args.rom, starts_dir)}
    missing = [level for level in args.levels if level not in written]
    if missing:
        raise SystemExit(f"the replay does not enter {', '.join(missing)}")
    along = DemoStarts.record(demo, args.rom, every=args.every, **ppo.observation(args))
    print(f"{len(written)} level starts in {starts_dir}; {along}")
    return starts_dir, along


class Frontier:
    """A backward curriculum along the replay, per level.

    The frontier is an index into the level's starts along the replay; it
    begins at the last one. Once `promote` of the last `judged` episodes
    begun within the `window` starts from the frontier on reached the
    level's end, the frontier moves `stride` starts back, until it is at
    the level's first playable step. With `patience`, it also moves back
    after that many judged episodes without passing: an obstacle the policy
    has not mastered stays in the window, and the lanes learn the way to it.
    """

    def __init__(self, along, levels, window, judged=32, promote=0.5, stride=5, patience=0):
        self.starts = {level: along.of_level(level) for level in levels}
        self.at = {level: len(kept) - 1 for level, kept in self.starts.items()}
        self.results = {level: [] for level in levels}
        self.tried = dict.fromkeys(levels, 0)  # episodes judged since the frontier last moved
        self.window, self.judged, self.promote, self.stride = window, judged, promote, stride
        self.patience = patience

    def draw(self, level, rng, near):
        """A start of `level` and its index: within the window from the frontier (`near`) or anywhere from it to
        the level's end."""
        kept, at = self.starts[level], self.at[level]
        index = int(rng.integers(at, min(at + self.window, len(kept)) if near else len(kept)))
        return index, kept[index]

    def record(self, level, index, reached):
        """The outcome of an episode begun at start `index` of `level`."""
        at, results = self.at[level], self.results[level]
        if at == 0 or not at <= index < at + self.window:
            return
        results.append(reached)
        del results[: -self.judged]
        self.tried[level] += 1
        passed = len(results) == self.judged and np.mean(results) >= self.promote
        if passed or (self.patience and self.tried[level] >= self.patience):
            self.at[level] = max(at - self.stride, 0)
            self.tried[level] = 0
            results.clear()


def train(args):
    run_dir, log, write = ppo.open_run(args, "world")
    starts_dir, along = prepare_starts(args, run_dir)
    torch.manual_seed(args.seed)
    torch.set_num_threads(args.threads)
    rng = np.random.default_rng(args.seed)
    n, t_max = args.num_envs, args.num_steps
    lane_levels = [args.levels[lane % len(args.levels)] for lane in range(n)]
    env = make_env(
        args,
        starts_dir,
        n,
        args.seed,
        lane_levels,
        end_on_life_loss=True,
        max_episode_steps=args.max_episode_steps,
        sticky_action_prob=args.sticky,
    )
    agent = ppo.make_agent(args, env)
    optimizer = torch.optim.Adam(agent.parameters(), lr=args.lr, eps=1e-5)
    obs_buf = torch.zeros((t_max, n) + env.single_observation_space.shape, dtype=torch.uint8)
    actions = torch.zeros((t_max, n), dtype=torch.long)
    logprobs, rewards, dones, values = (torch.zeros((t_max, n)) for _ in range(4))

    frontier = Frontier(along, args.levels, args.frontier_window, patience=args.frontier_patience)

    def begin(lanes, obs):
        """Moves the lanes of the mask `lanes` (just reset to their level's start) along the replay, some of them."""
        along_replay = lanes & (rng.random(n) < args.demo_share)
        near = rng.random(n) < args.frontier_share
        picks = [None] * n
        for lane in np.flatnonzero(lanes):
            begun_at[lane] = -1
            if along_replay[lane]:
                begun_at[lane], picks[lane] = frontier.draw(lane_levels[lane], rng, near[lane])
        if along_replay.any():
            obs, _ = along.restore(env, picks)
        max_x[lanes], stalled[lanes] = 0, 0
        return obs

    begun_at = np.full(n, -1, np.int64)  # the lane's start along the replay (-1: the level's start)
    max_x, stalled = np.zeros(n, np.int64), np.zeros(n, np.int64)
    obs, _ = env.reset(seed=args.seed)
    obs = begin(np.ones(n, np.bool_), obs)
    next_obs, next_done = torch.from_numpy(obs.copy()), torch.zeros(n)
    steps, start, update = 0, time.time(), 0
    budget = args.minutes * 60
    while steps < args.total_steps and time.time() - start < budget:
        update += 1
        optimizer.param_groups[0]["lr"] = args.lr * max(1.0 - (time.time() - start) / budget, 0.05)
        for t in range(t_max):
            obs_buf[t], dones[t] = next_obs, next_done
            with torch.inference_mode():
                action, logprobs[t], _, values[t] = agent.act(next_obs)
            actions[t] = action
            obs, reward, terminated, truncated, info = env.step(action.numpy())
            rewards[t] = torch.from_numpy(reward * args.reward_scale)
            steps += n
            ended = terminated | truncated
            final = info.get("final_info", info)  # the ended lanes' last values
            x = np.where(ended, final["x_pos"], info["x_pos"]).astype(np.int64)
            stalled = np.where(x > max_x, 0, stalled + 1)
            np.maximum(max_x, x, out=max_x)
            cut = (stalled >= args.stall_steps) & ~ended if args.stall_steps else np.zeros(n, np.bool_)
            if cut.any():
                obs, _ = env.reset(options={"reset_mask": cut})
            for lane in np.flatnonzero(ended | cut):
                level_end = bool(ended[lane] and final["level_end"][lane])
                end = "level_end" if level_end else "stall" if cut[lane] else "time" if truncated[lane] else "life"
                if begun_at[lane] >= 0:
                    frontier.record(lane_levels[lane], begun_at[lane], level_end)
                write(
                    {
                        "type": "episode",
                        "step": steps,
                        "seconds": round(time.time() - start, 1),
                        "level": lane_levels[lane],
                        "from_start": bool(begun_at[lane] < 0),
                        "begun_at": int(begun_at[lane]),
                        "max_x": int(max_x[lane]),
                        "end": end,
                    }
                )
            if (ended | cut).any():
                obs = begin(ended | cut, obs)
            next_obs = torch.from_numpy(obs.copy())
            next_done = torch.from_numpy((ended | cut).astype(np.float32))
        learn_start = time.time()
        with torch.no_grad():
            b_adv, b_returns = ppo.advantages(rewards, values, dones, agent.value(next_obs), next_done, args)
        stats = ppo.learn(agent, optimizer, obs_buf, actions, logprobs, b_adv, b_returns, args)
        elapsed = time.time() - start
        at = {level: [frontier.at[level], len(frontier.starts[level])] for level in args.levels}
        write(
            {"type": "update", "update": update, "step": steps, "seconds": round(elapsed, 1), **stats, "frontier": at}
        )
        if update % 10 == 0 or args.smoke:
            print(
                f"step {steps:>10,}  {elapsed / 60:6.1f} min  {steps / elapsed:6.0f} steps/s  "
                f"entropy {stats['entropy']:.3f}  update {time.time() - learn_start:.2f} s  "
                f"frontier {' '.join(f'{level}:{a}/{b}' for level, (a, b) in at.items())}",
                flush=True,
            )
    env.close()
    torch.save(agent.state_dict(), os.path.join(run_dir, "agent.pt"))
    train_seconds = round(time.time() - start, 1)
    for level in args.levels:
        result = evaluate(args, agent, starts_dir, level)
        result.update(type="eval", step=steps, train_seconds=train_seconds)
        write(result)
        print(json.dumps(result))
    log.close()
    plot([os.path.join(run_dir, "log.jsonl")], args.plot or os.path.join(run_dir, "world-curve.png"))


def play_out(agent, env, obs):
    """Plays every lane of `env` (its observations `obs`) to the end of its first episode, then closes it; whether
    each lane reached the level's end."""
    outcome = [None] * env.num_envs
    while any(o is None for o in outcome):
        with torch.inference_mode():
            action, _, _, _ = agent.act(torch.from_numpy(obs.copy()))
        obs, _, terminated, truncated, info = env.step(action.numpy())
        for lane in np.flatnonzero(terminated | truncated):
            if outcome[lane] is None:
                outcome[lane] = bool(terminated[lane] and info["final_info"]["level_end"][lane])
    env.close()
    return outcome


def evaluate(args, agent, starts_dir, level):
    """Whole games from the level's start, sticky actions 0.25 and up to 30 no-op steps (120 frames) after the
    reset: the share that reach the level's end."""
    lanes = args.eval_episodes
    env = make_env(
        args,
        starts_dir,
        lanes,
        args.seed + 10_000,
        [level] * lanes,
        max_episode_steps=args.eval_max_steps,
        sticky_action_prob=0.25,
        noop_reset_max=30 * 4,  # up to 30 steps of four frames
    )
    obs, _ = env.reset(seed=args.seed + 10_000)
    outcome = play_out(agent, env, obs)
    return {"level": level, "episodes": lanes, "level_end_share": float(np.mean(outcome))}


def probe(args, stride=5, games=8):
    """Plays the policy of a finished run (RUN_DIR/agent.pt) `games` times from every `stride`-th start along the
    replay of each level (one life, sticky actions 0.25) and prints the share that reach the level's end, by the
    start's x position: where in the level the policy fails."""
    starts_dir = os.path.join(args.probe, "starts")
    along = DemoStarts.record(replay.read_replay(args.replay), args.rom, every=args.every, **ppo.observation(args))
    agent = None
    for level in args.levels:
        picks = along.of_level(level)[::stride]
        lanes = len(picks) * games
        env = make_env(
            args,
            starts_dir,
            lanes,
            args.seed + 20_000,
            [level] * lanes,
            end_on_life_loss=True,
            max_episode_steps=args.eval_max_steps,
            sticky_action_prob=0.25,
        )
        if agent is None:
            agent = ppo.make_agent(args, env)
            agent.load_state_dict(torch.load(os.path.join(args.probe, "agent.pt")))
        env.reset(seed=args.seed + 20_000)
        obs, info = along.restore(env, [pick for pick in picks for _ in range(games)])
        start_x = info["x_pos"].astype(np.int64)
        outcome = play_out(agent, env, obs)
        shares = np.array(outcome, float).reshape(len(picks), games).mean(axis=1)
        row = "  ".join(f"{x}:{share:.0%}" for x, share in zip(start_x[::games], shares))
        print(f"{level} (start x: share of {games} games from there that reach the end)\n  {row}", flush=True)


def plot(log_paths, png_path, window=50):
    """Per level: the share of training episodes that reach its end, begun at its start (solid) or along the
    replay (dotted; drawn for one run only, where they can be told apart), against minutes."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, ax = plt.subplots(figsize=(7, 4))
    styles = ["-", "--", ":", "-."]
    for number, log_path in enumerate(log_paths):
        records = [json.loads(line) for line in open(log_path)]
        config = next(r for r in records if r["type"] == "config")
        evals = {r["level"]: r for r in records if r["type"] == "eval"}
        for index, level in enumerate(config["levels"]):
            for from_start in (True, False) if len(log_paths) == 1 else (True,):
                episodes = [
                    r
                    for r in records
                    if r["type"] == "episode" and r["level"] == level and r["from_start"] == from_start
                ]
                if not episodes:
                    continue
                minutes = np.array([e["seconds"] for e in episodes]) / 60
                reached = np.array([e["end"] == "level_end" for e in episodes], float)
                sums = np.cumsum(reached)
                shifted = np.concatenate([np.zeros(window), sums])[: len(reached)]
                share = (sums - shifted) / np.minimum(np.arange(1, len(reached) + 1), window)
                color = f"C{index}"
                where = "from the start" if from_start else "along the replay"
                label = f"{level} {where}, seed {config['seed']}"
                style = styles[number % len(styles)] if from_start else ":"
                ax.plot(minutes, share, style, color=color, label=label, linewidth=1.5 if from_start else 0.8)
                if from_start and level in evals:
                    ax.plot([minutes[-1]], [evals[level]["level_end_share"]], "o", color=color)
                print(f"{label}: {reached.mean():.0%} of {len(reached)} training episodes reached the end")
    ax.set_ylim(-0.02, 1.02)
    ax.set_xlabel("training minutes (dots: evaluation, whole games, sticky actions)")
    ax.set_ylabel("share reaching the level's end")
    ax.set_title(f"One policy for world 1 (training episodes, rolling mean over {window})")
    ax.legend(loc="upper left", fontsize="small")
    fig.tight_layout()
    os.makedirs(os.path.dirname(os.path.abspath(png_path)), exist_ok=True)
    fig.savefig(png_path, dpi=100)
    print(f"curves: {png_path}")


if __name__ == "__main__":
    arguments = parse_args()
    if arguments.plot_only:
        plot(arguments.plot_only, arguments.plot or "world-curve.png")
    elif arguments.probe:
        probe(arguments)
    else:
        train(arguments)
