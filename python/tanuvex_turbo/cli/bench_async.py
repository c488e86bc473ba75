"""``tanuvex-turbo bench --async``: the synchronous step loop against asynchronous stepping.

Both loops drive the engine with random actions and a simulated policy that
sleeps (without holding the interpreter lock, as a GPU forward pass would)
``--policy-ms`` per call of at most ``--policy-batch`` lanes, and once more
with no policy time at all:

- sync: ``step_into`` on every lane, then the policy on all of them (a
  64-lane step with a 32-lane policy makes two policy calls);
- async: ``step_send`` / ``step_recv_into`` with a batch of ``--async-batch``
  lanes (default half of them): the policy runs on the lanes just received
  while the worker threads step the others.

Ended lanes are reset inside the timed loops (the async loop sends them a
reset). A repetition is a fixed number of lane-steps; the two loops'
repetitions alternate, and the speed-up is the median over the pairs of
async steps/s over sync steps/s, so that a change in the machine's load
touches both alike.
"""

from __future__ import annotations

import argparse
import math
import statistics
import time
from typing import Any, Callable

import numpy as np

from tanuvex_turbo.game.fields import step_outputs

__all__ = ["run_async_bench"]


class _Policy:
    """Sleeps ``ms`` per call of at most ``batch`` lanes (time.sleep releases the interpreter lock)."""

    def __init__(self, ms: float, batch: int) -> None:
        self.seconds = ms / 1000.0
        self.batch = batch

    def __call__(self, lanes: int) -> None:
        if self.seconds > 0:
            for _ in range(math.ceil(lanes / self.batch)):
                time.sleep(self.seconds)


class _SyncLoop:
    def __init__(self, engine, table: np.ndarray, rng) -> None:
        n = engine.num_envs
        self.engine, self.table, self.rng = engine, table, rng
        self.obs = np.zeros(engine.obs_shape(), np.uint8)
        self.outputs = step_outputs(n)
        self.indices = np.full(n, 0 if engine.state_catalog else -1, np.int32)
        self.seeds = [None] * n
        engine.reset_into(self.obs)

    def run(self, lane_steps: int, policy: _Policy) -> float:
        engine, obs, outputs, terminated = self.engine, self.obs, self.outputs, self.outputs[1]
        n = engine.num_envs
        start = time.perf_counter()
        for _ in range(lane_steps // n):
            policy(n)
            actions = self.table[self.rng.integers(0, len(self.table), n)]
            engine.step_into(actions, obs, *outputs)
            if terminated.any():
                engine.reset_masked_into(obs, terminated.copy(), self.indices, self.seeds)
        return time.perf_counter() - start


class _AsyncLoop:
    def __init__(self, engine, table: np.ndarray, rng, batch: int) -> None:
        n = engine.num_envs
        self.engine, self.table, self.rng, self.batch = engine, table, rng, batch
        self.obs = np.zeros(engine.obs_shape(), np.uint8)
        rows = batch * -(-n // batch)
        self.ring = np.zeros((rows, *self.obs.shape[1:]), np.uint8)
        self.ids = np.zeros(batch, np.int32)
        self.outputs = step_outputs(batch)
        self.index = 0 if engine.state_catalog else -1
        engine.reset_into(self.obs)
        # Every lane starts in flight: the first recv has a batch to return.
        engine.step_send(np.arange(n, dtype=np.int32), np.zeros(n, np.uint8), self.obs, self.ring)

    def run(self, lane_steps: int, policy: _Policy) -> float:
        engine, ids, outputs, terminated = self.engine, self.ids, self.outputs, self.outputs[1]
        b = self.batch
        indices = np.full(b, self.index, np.int32)
        start = time.perf_counter()
        for _ in range(lane_steps // b):
            engine.step_recv_into(ids, *outputs)
            policy(b)
            actions = self.table[self.rng.integers(0, len(self.table), b)]
            resets = terminated.copy() if terminated.any() else None
            engine.step_send(ids.copy(), actions, self.obs, self.ring, resets, indices)
        return time.perf_counter() - start

    def close(self) -> None:
        self.engine.step_cancel()


def _summary(values: list[float]) -> str:
    return f"{min(values):>9.0f} / {statistics.median(values):>7.0f} / {max(values):>7.0f}"


def run_async_bench(
    rom_path: str, args: argparse.Namespace, catalog: dict[str, Any], engine_kwargs: dict[str, Any], report: Callable
) -> list[dict[str, Any]]:
    """Runs sync and async loops for every lane and thread count; returns one record per configuration."""
    from tanuvex_turbo._tanuvex_turbo import _RetroVecEnv
    from tanuvex_turbo.game.actions import resolve_action_set

    table = resolve_action_set(args.action_set)
    rng = np.random.default_rng(args.seed)
    report(
        f"{'policy':>10}{'lanes':>6}{'threads':>8}{'batch':>6}   {'sync steps/s min / median / max':<33}"
        f"{'async steps/s min / median / max':<34}{'async / sync':>12}"
    )
    results = []
    for policy_ms in (args.policy_ms, 0.0):
        policy = _Policy(policy_ms, args.policy_batch)
        for lanes in args.lanes:
            for threads in args.threads:
                batch = args.async_batch or max(1, lanes // 2)
                if not 1 <= batch <= lanes:
                    raise ValueError(f"--async-batch must be in 1..{lanes}")
                engines = [
                    _RetroVecEnv(rom_path, lanes, num_threads=threads, seed=args.seed + 1, **engine_kwargs, **catalog)
                    for _ in range(2)
                ]
                sync, run_async = _SyncLoop(engines[0], table, rng), _AsyncLoop(engines[1], table, rng, batch)
                lane_steps = (args.steps or 200) * lanes
                unit = math.lcm(lanes, batch)  # whole sync steps and whole async batches
                lane_steps = max(unit, lane_steps - lane_steps % unit)
                sync.run(lanes * 5, policy)  # warm-up: caches, pool threads
                run_async.run(batch * 10, policy)
                sync_times, async_times = [], []
                for _ in range(args.repeat):
                    sync_times.append(sync.run(lane_steps, policy))
                    async_times.append(run_async.run(lane_steps, policy))
                run_async.close()
                sync_sps = [lane_steps / s for s in sync_times]
                async_sps = [lane_steps / s for s in async_times]
                ratio = statistics.median(a / s for a, s in zip(async_sps, sync_sps))
                label = f"{policy_ms:g} ms/{args.policy_batch}" if policy_ms > 0 else "none"
                report(
                    f"{label:>10}{lanes:>6}{sync.engine.num_threads:>8}{batch:>6}   {_summary(sync_sps):<33}"
                    f"{_summary(async_sps):<34}{ratio:>11.2f}x"
                )
                results.append(
                    {
                        "mode": "async",
                        "policy_ms": policy_ms,
                        "policy_batch": args.policy_batch,
                        "lanes": lanes,
                        "threads": sync.engine.num_threads,
                        "batch_size": batch,
                        "lane_steps": lane_steps,
                        "sync_seconds": sync_times,
                        "async_seconds": async_times,
                        "speedup_median": ratio,
                    }
                )
                del sync, run_async, engines
    return results
