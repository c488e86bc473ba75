"""CPU time the Gymnasium class adds to each step, over the engine's own.

For 1 and 64 lanes, with every episode option off and with
``episodic_life``, ``end_on_level_end``, ``progress_info`` and a time limit
on, it times ``TurboVectorEnv.step`` and, on an engine of the same
configuration, the bare ``step_into`` of the same actions, in process CPU
time, interleaved over several repetitions; the overhead is the difference
per step. Prints min, median and max of each.

    python bench/front_overhead.py [--steps 2000] [--reps 5]

Needs TANUVEX_TURBO_ROM and TANUVEX_TURBO_STATES. Runs against whichever
tanuvex_turbo is installed, so the same command measures an older build.
"""

from __future__ import annotations

import argparse
import os
import platform
import statistics
import time

import numpy as np

from tanuvex_turbo import TurboVectorEnv
from tanuvex_turbo._tanuvex_turbo import _RetroVecEnv
from tanuvex_turbo.game.fields import INFO_FIELDS

OPTIONS = {
    "off": {},
    "on": dict(episodic_life=True, end_on_level_end=True, progress_info=True, max_episode_steps=200),
}
COMMON = dict(obs_type="tiles", frame_stack=2, action_set="right_only", num_threads=1, frame_skip=1, seed=3)


def time_front(lanes: int, options: dict, steps: int) -> float:
    env = TurboVectorEnv(num_envs=lanes, **COMMON, **options)
    env.reset(seed=1)
    actions = np.ones(lanes, np.int64)
    start = time.process_time()
    for _ in range(steps):
        env.step(actions)
    spent = time.process_time() - start
    env.close()
    return spent / steps


def time_engine(lanes: int, steps: int) -> float:
    from tanuvex_turbo.game.states import load_catalog

    data, names = load_catalog(os.environ["TANUVEX_TURBO_STATES"])
    engine = _RetroVecEnv(
        os.environ["TANUVEX_TURBO_ROM"], lanes, frame_skip=1, frame_stack=2, obs_type="tiles", num_threads=1,
        state_catalog_data=data, state_catalog_names=names, seed=3,
    )  # fmt: skip
    obs = np.zeros(engine.obs_shape(), np.uint8)
    engine.reset_into(obs)
    outputs = [np.zeros(lanes, t) for t in (np.float32, np.bool_, np.bool_)] + [
        np.zeros(lanes, d) for _, d in INFO_FIELDS
    ]
    actions = np.full(lanes, 0x80, np.uint8)  # right
    start = time.process_time()
    for _ in range(steps):
        engine.step_into(actions, obs, *outputs)
        if outputs[1].any():
            engine.reset_into(obs)
    return (time.process_time() - start) / steps


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--steps", type=int, default=2000)
    parser.add_argument("--reps", type=int, default=5)
    args = parser.parse_args()
    print(f"machine: {platform.machine()}, {os.cpu_count()} cores, load {os.getloadavg()[0]:.2f}")
    print("microseconds of process CPU time per step; overhead = front - engine")
    for lanes in (1, 64):
        for name, options in OPTIONS.items():
            front, engine = [], []
            for _ in range(args.reps):  # interleaved, so that a busy moment touches both
                front.append(time_front(lanes, options, args.steps) * 1e6)
                engine.append(time_engine(lanes, args.steps) * 1e6)
            overhead = [f - e for f, e in zip(front, engine)]
            for label, values in (("front", front), ("engine", engine), ("overhead", overhead)):
                print(
                    f"lanes {lanes:2d} options {name:3s} {label:8s} min {min(values):8.1f} "
                    f"median {statistics.median(values):8.1f} max {max(values):8.1f}"
                )


if __name__ == "__main__":
    main()
