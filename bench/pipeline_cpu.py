"""Process CPU time of environment steps, plain and max-pooled, for side-by-side runs of two builds.

Uses only the engine's public methods, so the same file runs against any
installed build of the package: run it with each build's interpreter, in
alternating rounds, and compare the steps per CPU-second. Each run builds
one engine per pipeline (same seed, same random actions), resets it, takes
a few warm-up steps, then times ``--steps`` batched steps on one thread;
lanes that end are reset inside the timed loop. Prints one JSON object per
pipeline: lanes, steps, CPU seconds, wall seconds, steps per CPU-second.

    python bench/pipeline_cpu.py --rom GAME.nes --state STATES/1-1.state --lanes 64 --steps 200

Under ``valgrind --tool=callgrind`` the difference of two runs with
different ``--steps`` gives the instructions of the steps alone.
"""

from __future__ import annotations

import argparse
import gzip
import json
import time

import numpy as np

from tanuvex_turbo import _RetroVecEnv

# Right, right + jump, right + run, right + jump + run, jump, no buttons.
ACTIONS = np.array([0x80, 0x81, 0x82, 0x83, 0x01, 0x00], np.uint8)


def outputs(n: int) -> list[np.ndarray]:
    types = [np.float32, bool, bool, np.uint16, np.uint8, np.int16, np.int16, np.int16, np.uint32, np.int16]
    types += [np.uint16, np.uint8, np.uint8]
    return [np.zeros(n, t) for t in types]


def run(rom: str, state: bytes, lanes: int, steps: int, maxpool: bool, seed: int) -> dict[str, object]:
    catalog = {"state_catalog_names": ["start"], "state_catalog_data": [state]}
    engine = _RetroVecEnv(rom, lanes, num_threads=1, seed=seed, frame_maxpool=maxpool, **catalog)
    obs = np.zeros(engine.obs_shape(), np.uint8)
    out = outputs(lanes)
    engine.reset_into(obs)
    rng = np.random.default_rng(seed)
    actions = ACTIONS[rng.integers(0, len(ACTIONS), size=(steps + 5, lanes))]
    indices = np.zeros(lanes, np.int32)
    seeds = [None] * lanes

    def play(rows: np.ndarray) -> None:
        for row in rows:
            engine.step_into(row, obs, *out)
            if out[1].any():
                engine.reset_masked_into(obs, out[1].copy(), indices, seeds)

    play(actions[:5])
    cpu, wall = time.process_time(), time.perf_counter()
    play(actions[5:])
    cpu, wall = time.process_time() - cpu, time.perf_counter() - wall
    return {
        "pipeline": "maxpool" if maxpool else "plain",
        "lanes": lanes,
        "steps": steps,
        "cpu_seconds": cpu,
        "wall_seconds": wall,
        "steps_per_cpu_second": lanes * steps / cpu if cpu > 0 else 0.0,
    }


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--rom", required=True)
    parser.add_argument("--state", required=True, help="a state image (.state, gzip-compressed or raw)")
    parser.add_argument("--lanes", type=int, default=64)
    parser.add_argument("--steps", type=int, default=200)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--pipelines", nargs="+", choices=["plain", "maxpool"], default=["plain", "maxpool"])
    args = parser.parse_args()
    with open(args.state, "rb") as handle:
        data = handle.read()
    if data[:2] == b"\x1f\x8b":
        data = gzip.decompress(data)
    for pipeline in args.pipelines:
        print(json.dumps(run(args.rom, data, args.lanes, args.steps, pipeline == "maxpool", args.seed)), flush=True)


if __name__ == "__main__":
    main()
