"""PPO on level 1-1 with the rollout and the update compiled as one JAX program.

The tile recipe of examples/ppo.py (the same network, PPO update and
defaults, in Flax and Optax) over ``TurboVectorEnv.xla()``: each iteration,
64 steps of 64 lanes (the policy choosing actions, the engine stepping the
lanes through its XLA FFI handler) followed by the advantages and two passes
of minibatch updates, is one call of one compiled function; no Python runs
per step. Python only logs the episodes the iteration finished and anneals
the learning rate between calls.

    # a short check that everything runs (about a minute, most of it compiling)
    python examples/ppo_jax.py --smoke
    # the documented run: at most 15 minutes of training, then 32 evaluation episodes
    python examples/ppo_jax.py --seed 1
    # curves of finished runs of this loop and of examples/ppo.py on one plot
    python examples/ppo_jax.py --plot-only runs/ppo-jax-1/log.jsonl runs/ppo-1/log.jsonl --plot curves.png

The log (RUN_DIR/log.jsonl) has examples/ppo.py's format, so one plot shows
runs of both. Episodes end as the environment's options say, applied by the
engine: game over, the flag, --max-episode-steps; the next step of an ended
lane returns its new episode's first observation (``NEXT_STEP``), and that
step, whose action the engine ignores, is left out of the update. A lost
life ends the value estimate (the game goes on), as in examples/ppo.py.
Unlike examples/ppo.py this loop does not cut stalled episodes (that needs a
reset from Python in the middle of a rollout). The evaluation steps a second
environment through ``step()``, the policy compiled on its own.

Needs: pip install jax flax optax matplotlib 'tanuvex_turbo[jax]', and the
extension built with JAX installed (``TurboVectorEnv.xla()`` says so otherwise).
"""

from __future__ import annotations

import functools
import json
import os
import time

import flax.linen as nn
import jax
import jax.numpy as jnp
import numpy as np
import optax
from ppo_common import FLAG_X, apply_recipe, make_parser, observation, open_run, plot

from tanuvex_turbo import TurboVectorEnv

SQRT2 = float(np.sqrt(2))
TILE_ROWS = (4, 28)  # the playfield's tile rows (below the status bar): 12 rows of 2 x 2 blocks
SPRITE_ROWS = (30, 38)  # the sprite table: 64 entries of y, tile, attributes, x


def parse_args():
    p = make_parser("PPO on level 1-1, rollout and update compiled with JAX (CPU)")
    p.add_argument("--env-threads", type=int, default=2, help="the engine's worker threads")
    p.add_argument("--updates", type=int, default=None, help="stop after this many updates (speed measurements)")
    args = p.parse_args()
    if args.obs != "tiles":
        p.error("this loop has the tile recipe only (--obs tiles)")
    apply_recipe(args)
    if args.smoke:
        # 96 steps a lane: too short for a game over or the flag, so it runs where the engine does not yet
        # end and reset episodes itself (an episode end inside the compiled loop needs that).
        args.minutes, args.total_steps, args.num_envs, args.num_steps = 2.0, 768, 8, 32
        args.eval_episodes, args.max_episode_steps = 4, 0
    return args


def dense(features, scale=SQRT2):
    return nn.Dense(features, kernel_init=nn.initializers.orthogonal(scale), bias_init=nn.initializers.zeros)


class TileAgent(nn.Module):
    """examples/ppo.py's TileAgent: the newest slot's tile grid as 12 x 16 blocks of 2 x 2 cells, a block's
    features the sum of one learned vector per (cell of the block, tile number); the sprite table of both
    slots through a linear layer; both into a 128-unit layer; two 64-unit tanh layers for each head."""

    actions: int
    channels: int = 16
    hidden: int = 128

    @nn.compact
    def __call__(self, obs):
        batch = obs.shape[0]
        tiles = obs[:, -1, TILE_ROWS[0] : TILE_ROWS[1]].astype(jnp.int32).reshape(batch, 12, 2, 16, 2)
        # One table of 256 tile vectors per cell of a block. Four lookups of whole blocks' cells, one per
        # table, differentiate into four small scatters: on the CPU many times faster than one lookup of
        # every cell in a table of 1024 rows.
        tables = self.param("cells", nn.initializers.normal(0.1), (4, 256, self.channels))
        grid = self.param("cell_bias", nn.initializers.zeros, (self.channels,))
        for cell in range(4):
            grid = grid + jnp.take(tables[cell], tiles[:, :, cell // 2, :, cell % 2], axis=0)
        grid = nn.relu(grid).reshape(batch, -1)
        sprites = obs[:, :, SPRITE_ROWS[0] : SPRITE_ROWS[1]].reshape(batch, -1).astype(jnp.float32) / 255.0
        sprites = nn.relu(dense(64)(sprites))
        hidden = nn.relu(dense(self.hidden)(jnp.concatenate([grid, sprites], 1)))

        def trunk(x):
            return jnp.tanh(dense(64)(jnp.tanh(dense(64)(x))))

        logits = dense(self.actions, 0.01)(trunk(hidden))
        value = dense(1, 1.0)(trunk(hidden)).squeeze(-1)
        return logits, value


def make_env(args, num_envs, seed):
    return TurboVectorEnv(
        args.rom,
        num_envs,
        states=args.states,
        start_state="1-1",
        action_set=args.action_set,
        max_episode_steps=args.max_episode_steps or None,
        seed=seed,
        num_threads=args.env_threads,
        **observation(args),
    )


def make_iteration(args, agent, optimizer, step, lanes):
    """The compiled iteration: a rollout of --num-steps steps of every lane, the advantages, the update."""
    t_max, gamma, lam = args.num_steps, args.gamma, args.gae_lambda
    batch = t_max * lanes
    minibatch = batch // args.minibatches

    def rollout_step(carry, _):
        params, handle, obs, done, lives, resetting, max_x, key = carry
        key, sample_key = jax.random.split(key)
        logits, value = agent.apply(params, obs)
        action = jax.random.categorical(sample_key, logits)
        logprob = jax.nn.log_softmax(logits)[jnp.arange(lanes), action]
        handle, (next_obs, reward, terminated, truncated, info) = step(handle, action)
        ended = (terminated | truncated) & ~resetting
        x = info["x_pos"].astype(jnp.int32)
        episode_x = jnp.maximum(max_x, x)
        life_lost = (info["lives"] < lives) & ~ended & ~resetting
        record = {"ended": ended, "max_x": episode_x, "flag": ended & (x >= FLAG_X), "terminated": terminated}
        stored = {"obs": obs, "action": action, "logprob": logprob, "value": value, "done": done}
        # An ended lane's next step is its reset: it returns the new episode's first observation and is
        # left out of the update (``valid``), its action ignored.
        stored.update(reward=reward * args.reward_scale, valid=~resetting)
        max_x = jnp.where(ended | resetting, 0, episode_x)
        carry = (params, handle, next_obs, (ended | life_lost).astype(jnp.float32), info["lives"], ended, max_x, key)
        return carry, (stored, record)

    def advantages(stored, next_value, next_done):
        def back(carry, t):
            last, following, following_done = carry
            not_done = 1.0 - following_done
            delta = stored["reward"][t] + gamma * following * not_done - stored["value"][t]
            # A reset step carries nothing into the step before it.
            last = jnp.where(stored["valid"][t], delta + gamma * lam * not_done * last, 0.0)
            return (last, stored["value"][t], stored["done"][t]), last

        _, adv = jax.lax.scan(back, (jnp.zeros(lanes), next_value, next_done), jnp.arange(t_max), reverse=True)
        return adv, adv + stored["value"]

    def loss_fn(params, mb):
        logits, value = agent.apply(params, mb["obs"])
        log_probs = jax.nn.log_softmax(logits)
        new_logprob = jnp.take_along_axis(log_probs, mb["action"][:, None], 1)[:, 0]
        entropy = -(jnp.exp(log_probs) * log_probs).sum(-1)
        w = mb["valid"].astype(jnp.float32)
        count = jnp.maximum(w.sum(), 1.0)
        adv = mb["adv"]
        mean = (adv * w).sum() / count
        std = jnp.sqrt(((adv - mean) ** 2 * w).sum() / jnp.maximum(count - 1.0, 1.0))
        adv = (adv - mean) / (std + 1e-8)
        ratio = jnp.exp(new_logprob - mb["logprob"])
        clipped = jnp.clip(ratio, 1 - args.clip, 1 + args.clip)
        policy_loss = (jnp.maximum(-adv * ratio, -adv * clipped) * w).sum() / count
        value_loss = 0.5 * (((value - mb["ret"]) ** 2) * w).sum() / count
        ent = (entropy * w).sum() / count
        loss = policy_loss - args.ent_coef * ent + args.vf_coef * value_loss
        return loss, (policy_loss, value_loss, ent)

    def update(carry, idx, data):
        params, opt_state = carry
        mb = jax.tree_util.tree_map(lambda x: x[idx], data)
        grads, stats = jax.grad(loss_fn, has_aux=True)(params, mb)
        updates, opt_state = optimizer.update(grads, opt_state, params)
        return (optax.apply_updates(params, updates), opt_state), stats

    @functools.partial(jax.jit, donate_argnums=(0,))
    def iteration(state, lr):
        params, opt_state, handle, obs, done, lives, resetting, max_x, key = state
        carry = (params, handle, obs, done, lives, resetting, max_x, key)
        carry, (stored, records) = jax.lax.scan(rollout_step, carry, None, t_max)
        _, handle, obs, done, lives, resetting, max_x, key = carry
        _, next_value = agent.apply(params, obs)
        adv, ret = advantages(stored, next_value, done)
        data = {k: v.reshape((batch,) + v.shape[2:]) for k, v in stored.items() if k not in ("reward", "done")}
        data.update(adv=adv.reshape(-1), ret=ret.reshape(-1))
        opt_state[1].hyperparams["learning_rate"] = lr  # the chain's second part is the Adam of inject_hyperparams
        key, perm_key = jax.random.split(key)
        orders = jax.vmap(lambda k: jax.random.permutation(k, batch))(jax.random.split(perm_key, args.epochs))
        indices = orders.reshape(-1, minibatch)
        (params, opt_state), stats = jax.lax.scan(lambda c, i: update(c, i, data), (params, opt_state), indices)
        state = (params, opt_state, handle, obs, done, lives, resetting, max_x, key)
        return state, records, jax.tree_util.tree_map(lambda s: s[-1], stats)

    return iteration


def train(args):
    run_dir, log, write = open_run(args, "ppo-jax")
    env = make_env(args, args.num_envs, args.seed)
    n, t_max = args.num_envs, args.num_steps
    obs, info = env.reset(seed=args.seed)
    handle, _, _, step = env.xla()
    agent = TileAgent(int(env.single_action_space.n))
    key, init_key = jax.random.split(jax.random.PRNGKey(args.seed))
    params = agent.init(init_key, jnp.asarray(obs[:1]))
    optimizer = optax.chain(
        optax.clip_by_global_norm(args.max_grad_norm),
        optax.inject_hyperparams(optax.adam)(learning_rate=args.lr, eps=1e-5),
    )
    iteration = make_iteration(args, agent, optimizer, step, n)
    state = (
        params,
        optimizer.init(params),
        handle,
        jnp.asarray(obs),
        jnp.zeros(n),
        jnp.asarray(info["lives"]),
        jnp.zeros(n, bool),
        jnp.zeros(n, jnp.int32),
        key,
    )
    steps, update, start = 0, 0, time.time()
    budget = args.minutes * 60
    while steps < args.total_steps and time.time() - start < budget:
        if args.updates is not None and update >= args.updates:
            break
        update += 1
        used = max(steps / args.total_steps, (time.time() - start) / budget)
        lr = args.lr * max(1.0 - used, 0.05)
        call_start = time.time()
        state, records, stats = iteration(state, jnp.float32(lr))
        records, stats = jax.device_get((records, stats))
        call_seconds = time.time() - call_start
        seconds = round(time.time() - start, 1)
        for t, lane in zip(*np.nonzero(records["ended"])):
            end = "flag" if records["flag"][t, lane] else "game_over" if records["terminated"][t, lane] else "time"
            record = {"type": "episode", "step": steps + int(t + 1) * n, "seconds": seconds}
            write({**record, "max_x": int(records["max_x"][t, lane]), "flag": end == "flag", "end": end})
        steps += n * t_max
        elapsed = time.time() - start
        policy_loss, value_loss, entropy = (float(s) for s in stats)
        write(
            {
                "type": "update",
                "update": update,
                "step": steps,
                "seconds": round(elapsed, 1),
                "steps_per_second": round(steps / elapsed, 1),
                # The whole iteration is one call: rollout, advantages and update together.
                "iteration_seconds": round(call_seconds, 3),
                "policy_loss": round(policy_loss, 4),
                "value_loss": round(value_loss, 4),
                "entropy": round(entropy, 4),
            }
        )
        if update % 10 == 0 or args.smoke or args.updates is not None:
            print(
                f"step {steps:>9,}  {elapsed / 60:5.1f} min  {steps / elapsed:6.0f} steps/s  "
                f"iteration {call_seconds:.3f} s  entropy {entropy:.3f}",
                flush=True,
            )
    env.close()
    params = state[0]
    with open(os.path.join(run_dir, "params.msgpack"), "wb") as f:
        from flax import serialization

        f.write(serialization.to_bytes(params))
    result = evaluate(args, agent, params)
    result.update(type="eval", step=steps, train_seconds=round(time.time() - start, 1))
    write(result)
    log.close()
    print(json.dumps(result))
    png = args.plot or os.path.join(run_dir, "learning-curve.png")
    plot([os.path.join(run_dir, "log.jsonl")], png, against=args.plot_against)
    return result


def evaluate(args, agent, params):
    """One episode on each of --eval-episodes lanes, actions drawn from the policy; flag share and mean max x."""
    env = make_env(args, args.eval_episodes, args.seed + 10_000)
    obs, _ = env.reset(seed=args.seed + 10_000)

    @jax.jit
    def act(obs, key):
        logits, _ = agent.apply(params, obs)
        return jax.random.categorical(key, logits)

    key = jax.random.PRNGKey(args.seed + 10_000)
    max_x = np.zeros(env.num_envs, np.int64)
    results = [None] * env.num_envs
    while any(r is None for r in results):
        key, sample_key = jax.random.split(key)
        action = np.asarray(act(jnp.asarray(obs), sample_key))
        obs, _, terminated, truncated, info = env.step(action)
        x = info["x_pos"].astype(np.int64)
        for lane in np.flatnonzero(terminated | truncated):
            if results[lane] is None:
                results[lane] = (int(max(max_x[lane], x[lane])), bool(x[lane] >= FLAG_X))
        np.maximum(max_x, x, out=max_x)
    env.close()
    return {
        "episodes": len(results),
        "flag_share": float(np.mean([flag for _, flag in results])),
        "mean_max_x": float(np.mean([x for x, _ in results])),
    }


if __name__ == "__main__":
    arguments = parse_args()
    if arguments.plot_only:
        plot(arguments.plot_only, arguments.plot or "learning-curve.png", against=arguments.plot_against)
    else:
        train(arguments)
