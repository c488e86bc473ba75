"""Steps per second of RayVectorEnv with 1 and 2 actors against the in-process class.

    python bench/ray_vector_env.py [--lanes 8 32 128 512] [--repeat 5] [--seconds 1.5]

Each row times whole batched steps (random actions of the "simple" set from
the start state 1-1, default observation settings, NEXT_STEP autoresets inside
the timed loop) and prints min / median / max over the repetitions. One actor
is compared with the in-process class on one engine thread, two actors (one
CPU and one engine thread each) with the in-process class on two threads. The
per-step cost of the actor round trip is the difference of the mean step
times. Needs Ray (pip install 'tanuvex_turbo[ray]'); starts a local Ray bound
to the loopback address. The cartridge and states come from TANUVEX_TURBO_ROM
and TANUVEX_TURBO_STATES.
"""

from __future__ import annotations

import argparse
import os
import statistics
import time

import numpy as np

# Ray's servers on the loopback address only: without this Ray replaces the
# 127.0.0.1 given to ray.init by the machine's outward address. Read when Ray
# is imported.
os.environ.setdefault("RAY_ENABLE_WINDOWS_OR_OSX_CLUSTER", "0")
import ray  # noqa: E402

from tanuvex_turbo import TurboVectorEnv
from tanuvex_turbo.ray import RayVectorEnv


def timed(env, rng, seconds, repeat):
    """Steps per second of `repeat` runs of about `seconds` each (after a warm-up)."""
    env.reset(seed=0)
    count = env.single_action_space.n
    start = time.perf_counter()
    warm = 0
    while time.perf_counter() - start < min(0.5, seconds):
        env.step(rng.integers(0, count, env.num_envs))
        warm += 1
    steps = max(3, int(warm * seconds / max(time.perf_counter() - start, 1e-9)))
    rates = []
    for _ in range(repeat):
        actions = rng.integers(0, count, (steps, env.num_envs))
        start = time.perf_counter()
        for row in actions:
            env.step(row)
        rates.append(steps * env.num_envs / (time.perf_counter() - start))
    return rates


def summary(rates):
    return f"{min(rates):,.0f} / {statistics.median(rates):,.0f} / {max(rates):,.0f}"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--lanes", type=int, nargs="+", default=[8, 32, 128, 512])
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--seconds", type=float, default=1.5)
    args = parser.parse_args()
    rom, states = os.environ["TANUVEX_TURBO_ROM"], os.environ["TANUVEX_TURBO_STATES"]
    common = dict(states=states, start_state="1-1", action_set="simple")
    ray.init(num_cpus=2, include_dashboard=False, _node_ip_address="127.0.0.1", log_to_driver=False)
    rng = np.random.default_rng(0)
    print("| lanes | actors / threads | in-process steps/s | Ray steps/s | round trip per step (us) |")
    print("|---:|---:|---|---|---:|")
    for lanes in args.lanes:
        for workers in (1, 2):
            local = TurboVectorEnv(rom, lanes, num_threads=workers, **common)
            local_rates = timed(local, rng, args.seconds, args.repeat)
            local.close()
            remote = RayVectorEnv(rom, lanes, num_actors=workers, **common)
            remote_rates = timed(remote, rng, args.seconds, args.repeat)
            remote.close()
            overhead = lanes * (1 / statistics.median(remote_rates) - 1 / statistics.median(local_rates)) * 1e6
            print(
                f"| {lanes} | {workers} | {summary(local_rates)} | {summary(remote_rates)} | {overhead:,.0f} |",
                flush=True,
            )
    ray.shutdown()


if __name__ == "__main__":
    main()
