#!/usr/bin/env python3
"""Step rate of the engine with the profiler off and on.

Runs the same environment configuration repeatedly, alternating between the
profiler switched off and switched on, and prints the lane-steps per second of
every repetition with the median, minimum and maximum of each mode, the
relative cost of profiling (from the medians) and the time one
``profiler_snapshot`` call takes.

The cartridge path comes from ``--rom`` or ``TANUVEX_TURBO_ROM``; the start
states, optional, from ``--states`` or ``TANUVEX_TURBO_STATES``. Timings depend
on the machine and whatever else runs on it.

    python3 scripts/profiler_overhead.py --lanes 64 --steps 200 --repeats 5
"""

from __future__ import annotations

import argparse
import gzip
import os
import pathlib
import statistics
import sys
import time

import numpy as np

from tanuvex_turbo import _RetroVecEnv

STEP_OUTPUTS = [
    ("rewards", np.float32),
    ("terminated", np.bool_),
    ("truncated", np.bool_),
    ("x_pos", np.uint16),
    ("coins", np.uint8),
    ("level_hi", np.int16),
    ("level_lo", np.int16),
    ("lives", np.int16),
    ("score", np.uint32),
    ("scrolling", np.int16),
    ("time", np.uint16),
    ("xscroll_hi", np.uint8),
    ("xscroll_lo", np.uint8),
]
ACTIONS = np.array([0x80, 0x81, 0x82, 0x83, 0x01, 0x00], np.uint8)


def catalog_arguments(states):
    if not states:
        return {}
    paths = sorted(pathlib.Path(states).glob("*.state"))
    return {
        "state_catalog_data": [gzip.decompress(p.read_bytes()) for p in paths],
        "state_catalog_names": [p.stem for p in paths],
    }


def timed_run(env, arrays, actions):
    """Seconds for len(actions) steps; ended lanes are reset inside the loop."""
    n = env.num_envs
    start_indices = np.zeros(n, np.int32) if env.state_catalog else np.full(n, -1, np.int32)
    start = time.perf_counter()
    for step_actions in actions:
        arrays["actions"][:] = step_actions
        env.step_into(**arrays)
        if arrays["terminated"].any():
            env.reset_masked_into(arrays["obs"], arrays["terminated"].copy(), start_indices, [None] * n)
    return time.perf_counter() - start


def summary(rates):
    return f"median {statistics.median(rates):10.0f}  min {min(rates):10.0f}  max {max(rates):10.0f}"


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--rom", default=os.environ.get("TANUVEX_TURBO_ROM"))
    parser.add_argument("--states", default=os.environ.get("TANUVEX_TURBO_STATES"))
    parser.add_argument("--lanes", type=int, default=64)
    parser.add_argument("--steps", type=int, default=200)
    parser.add_argument("--repeats", type=int, default=5)
    parser.add_argument("--threads", type=int, default=1)
    parser.add_argument("--frame-skip", type=int, default=4)
    parser.add_argument("--off-only", action="store_true", help="measure only with the profiler off")
    args = parser.parse_args(argv)
    if not args.rom:
        parser.error("give --rom or set TANUVEX_TURBO_ROM")

    env = _RetroVecEnv(
        args.rom, args.lanes, frame_skip=args.frame_skip, num_threads=args.threads, **catalog_arguments(args.states)
    )
    arrays = {"actions": np.zeros(args.lanes, np.uint8), "obs": np.zeros(env.obs_shape(), np.uint8)}
    arrays.update({name: np.zeros(args.lanes, dtype) for name, dtype in STEP_OUTPUTS})
    env.reset_into(arrays["obs"])
    rng = np.random.default_rng(0)
    actions = [rng.choice(ACTIONS, args.lanes) for _ in range(args.steps)]
    timed_run(env, arrays, actions[: max(1, args.steps // 10)])  # warm-up

    modes = ["off"] if args.off_only else ["off", "on"]
    rates = {mode: [] for mode in modes}
    for repeat in range(args.repeats):
        # Alternate the order so that drifts of the machine's load hit both.
        for mode in modes if repeat % 2 == 0 else modes[::-1]:
            if mode == "on":
                env.enable_profiler()
            elif hasattr(env, "disable_profiler"):  # builds without a profiler binding have it off
                env.disable_profiler()
            seconds = timed_run(env, arrays, actions)
            rates[mode].append(args.lanes * args.steps / seconds)
            print(f"repeat {repeat}  profiler {mode:3}  {rates[mode][-1]:10.0f} lane-steps/s", flush=True)

    print(
        f"lanes {args.lanes}, steps {args.steps}, frame_skip {args.frame_skip}, threads {env.num_threads}, "
        f"repeats {args.repeats}"
    )
    for mode in modes:
        print(f"profiler {mode:3}: {summary(rates[mode])} lane-steps/s")
    if "on" in rates:
        off, on = statistics.median(rates["off"]), statistics.median(rates["on"])
        print(f"cost of profiling: {100.0 * (off - on) / off:.1f}% of the step rate (medians)")
        env.enable_profiler()
        timed_run(env, arrays, actions)
        start = time.perf_counter()
        env.profiler_snapshot()
        print(f"one profiler_snapshot over {args.lanes} lanes: {1000.0 * (time.perf_counter() - start):.1f} ms")
    return 0


if __name__ == "__main__":
    sys.exit(main())
