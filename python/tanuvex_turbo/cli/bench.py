"""Environment benchmark: steps and emulated frames per second.

Runs the engine with random actions for every combination of pipeline, lane
count and thread count (a thread count that gives as many worker threads as
one already run for that lane count, such as 2 threads for 1 lane, is skipped)
and reports, over several repetitions, the minimum, median and maximum of

- steps/s: lane-steps per second (lanes x steps / wall time);
- frames/s: emulated console frames per second (steps/s x frame_skip).

Two observation pipelines are measured by default (``--pipelines``): the
plain one (rows ``engine``: the last frame of each step is observed) and the
max-pooled one (rows ``maxpool``: ``frame_maxpool=True``, each observation the
channel-wise maximum of the step's last two frames), otherwise alike.
``--obs-type`` measures another observation type (docs/observations.md):
``ram`` and ``tiles`` draw nothing, so they have the plain rows only.

Lanes whose episode ends are reset inside the timed loop, as a training loop
would. With ``--gym`` each configuration is also run through
:class:`tanuvex_turbo.TurboVectorEnv` and the wrapper's cost per step is
reported next to the raw engine's, in wall time and in process CPU time
(steadier on a busy machine). The wrapper resets ended lanes in the same
step, as the engine's loop does, so the two play the same frames. The
engine's and the wrapper's repetitions alternate, and the cost is the median
over the pairs of the wrapped repetition's time less the engine's just before
it ("within noise" when the wrapped ones were mostly the faster), so that a
change in the machine's load touches both alike; ``--no-copy`` builds the
wrapper with ``copy=False``. With ``--memory`` each lane count also gets the
memory one lane costs: the growth of the resident set of a fresh process that
builds the engine, resets and steps it, divided by the lanes.

Run it as ``tanuvex-turbo bench`` or ``python -m tanuvex_turbo.bench``.
Timings depend on the machine and on what else runs on it; the header of the
report says which machine it was.
"""

from __future__ import annotations

import argparse
import dataclasses
import functools
import json
import os
import platform
import statistics
import sys
import time
from collections.abc import Sequence
from typing import Any, Callable

import numpy as np

from tanuvex_turbo.cli.support import (
    PROG,
    CliError,
    cartridge_options,
    guard,
    resolve_catalog,
    resolve_rom,
    run_engine,
)
from tanuvex_turbo.game.fields import step_outputs

__all__ = ["BenchResult", "add_arguments", "add_command", "main", "run", "machine_description"]

DEFAULT_LANES = (1, 8, 64, 256)
DEFAULT_THREADS = (1, 2)


@dataclasses.dataclass
class BenchResult:
    """Timings of one configuration: one entry per repetition."""

    lanes: int
    threads: int
    steps: int
    frame_skip: int
    seconds: list[float]
    mode: str = "engine"
    #: The max-pooled pipeline (``frame_maxpool=True``).
    frame_maxpool: bool = False
    #: Process CPU time over wall time during the timed runs: about ``threads`` on an idle machine,
    #: less when other work takes the processors.
    cpu_share: float = 0.0
    #: Resident memory per lane in bytes (``--memory``), None when not measured.
    memory_per_lane: float | None = None

    @property
    def steps_per_second(self) -> list[float]:
        return [self.lanes * self.steps / s for s in self.seconds]

    @property
    def frames_per_second(self) -> list[float]:
        return [v * self.frame_skip for v in self.steps_per_second]

    @property
    def microseconds_per_step(self) -> list[float]:
        """Wall time of one batched step (all lanes), in microseconds."""
        return [s / self.steps * 1e6 for s in self.seconds]

    @property
    def cpu_microseconds_per_step(self) -> float:
        """Process CPU time of one batched step (all lanes and threads), in microseconds, averaged over the runs."""
        return sum(self.seconds) * self.cpu_share / (self.steps * len(self.seconds)) * 1e6

    @property
    def steps_per_cpu_second(self) -> float:
        """Lane-steps per second of process CPU time, over all the runs (steadier than wall time on a busy machine)."""
        cpu = sum(self.seconds) * self.cpu_share
        return self.lanes * self.steps * len(self.seconds) / cpu if cpu > 0 else 0.0

    def as_dict(self) -> dict[str, object]:
        return {
            "mode": self.mode,
            "frame_maxpool": self.frame_maxpool,
            "lanes": self.lanes,
            "threads": self.threads,
            "steps": self.steps,
            "frame_skip": self.frame_skip,
            "seconds": self.seconds,
            "cpu_share": self.cpu_share,
            "steps_per_cpu_second": self.steps_per_cpu_second,
            "memory_per_lane_bytes": self.memory_per_lane,
            "steps_per_second": _summary(self.steps_per_second),
            "frames_per_second": _summary(self.frames_per_second),
        }


def _summary(values: Sequence[float]) -> dict[str, float]:
    return {"min": min(values), "median": statistics.median(values), "max": max(values)}


def machine_description() -> str:
    """One line naming the machine: system, processor, CPU count, Python, load average."""
    cpus = len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count()
    processor = _cpu_model() or platform.machine()
    load = ""
    if hasattr(os, "getloadavg"):
        load = ", load average {:.2f} {:.2f} {:.2f} at start".format(*os.getloadavg())
    system = f"{platform.system()} {platform.machine()}"
    return f"{system}, {processor}, {cpus} CPUs available, Python {platform.python_version()}{load}"


def _cpu_model() -> str | None:
    try:
        with open("/proc/cpuinfo", encoding="utf-8") as handle:
            for line in handle:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return None


def _engine_kwargs(args: argparse.Namespace, maxpool: bool = False) -> dict[str, Any]:
    kwargs = {
        "frame_maxpool": maxpool,
        "frame_skip": args.frame_skip,
        "grayscale": not args.color,
        "frame_stack": args.frame_stack,
        "resize_width": args.size,
        "resize_height": args.size,
    }
    obs_type = getattr(args, "obs_type", None)
    if obs_type is not None:
        del kwargs["grayscale"]  # the observation type says it
        kwargs["obs_type"] = obs_type
    return kwargs


class _EngineLoop:
    """The engine's own step loop over arrays allocated once; play goes on from one call to the next."""

    def __init__(self, engine) -> None:
        n = engine.num_envs
        self.engine = engine
        self.obs = np.zeros(engine.obs_shape(), np.uint8)
        self.outputs = step_outputs(n)
        # Ended lanes go back to catalog entry 0, or to power-on without a catalog.
        self.indices = np.full(n, 0 if engine.state_catalog else -1, np.int32)
        self.seeds = [None] * n
        engine.reset_into(self.obs)

    def run(self, action_bytes: np.ndarray) -> float:
        """Steps once per row of ``action_bytes`` (controller bytes, one column per lane); returns seconds."""
        engine, obs, outputs, terminated = self.engine, self.obs, self.outputs, self.outputs[1]
        start = time.perf_counter()
        for row in action_bytes:
            engine.step_into(row, obs, *outputs)
            if terminated.any():
                engine.reset_masked_into(obs, terminated.copy(), self.indices, self.seeds)
        return time.perf_counter() - start


def _time_gym(env, action_indices: np.ndarray) -> float:
    start = time.perf_counter()
    for row in action_indices:
        env.step(row)
    return time.perf_counter() - start


class _Timings:
    """Wall seconds of each repetition and the process CPU time they took."""

    def __init__(self) -> None:
        self.seconds: list[float] = []
        self.cpu = 0.0

    def time(self, run: Callable[[], float]) -> None:
        cpu = time.process_time()
        self.seconds.append(run())
        self.cpu += time.process_time() - cpu

    @property
    def share(self) -> float:
        return self.cpu / sum(self.seconds)


def run(
    rom_path: str,
    args: argparse.Namespace,
    catalog: dict[str, Any],
    report: Callable[[str], None] = print,
) -> list[BenchResult]:
    """Runs every configuration of ``args`` and returns the results (``report`` prints progress rows).

    Each configuration starts from a reset, takes a few warm-up steps, then
    times ``args.repeat`` runs of the same number of steps, play going on from
    one run to the next (ended lanes are reset inside the timed loop). With
    ``args.gym`` the engine's and the wrapper's runs alternate.
    """
    from tanuvex_turbo._tanuvex_turbo import _RetroVecEnv
    from tanuvex_turbo.game.actions import resolve_action_set

    table = resolve_action_set(args.action_set)
    rng = np.random.default_rng(args.seed)
    warm_up = 5
    results: list[BenchResult] = []
    pipelines = getattr(args, "pipelines", ["plain"])
    for maxpool, lanes in [(p == "maxpool", n) for p in pipelines for n in args.lanes]:
        memory = _memory_per_lane(rom_path, lanes, args, catalog, maxpool) if getattr(args, "memory", False) else None
        resolved = set()
        for threads in args.threads:
            engine = _RetroVecEnv(
                rom_path, lanes, num_threads=threads, seed=args.seed + 1, **_engine_kwargs(args, maxpool), **catalog
            )
            if engine.num_threads in resolved:
                continue  # e.g. one lane with 2 threads runs on 1: the configuration was measured already
            resolved.add(engine.num_threads)
            steps = args.steps or max(args.min_steps, _calibrate(engine, table, rng, args.seconds))
            indices = rng.integers(0, len(table), size=(warm_up + args.repeat * steps, lanes))
            action_bytes = np.ascontiguousarray(table[indices])
            loop = _EngineLoop(engine)
            loop.run(action_bytes[:warm_up])  # caches, pool threads
            env = None
            if args.gym:
                env = _gym_env(rom_path, lanes, threads, args, catalog, maxpool)
                env.reset()
                _time_gym(env, indices[:warm_up])
            raw, wrapped = _Timings(), _Timings()
            for k in range(args.repeat):
                run_chunk = functools.partial(loop.run, _chunk(action_bytes, warm_up, steps, k))  # noqa: F821
                raw.time(run_chunk)
                if env is not None:
                    wrapped.time(functools.partial(_time_gym, env, _chunk(indices, warm_up, steps, k)))  # noqa: F821
            result = BenchResult(
                lanes,
                engine.num_threads,
                steps,
                args.frame_skip,
                raw.seconds,
                mode="maxpool" if maxpool else "engine",
                frame_maxpool=maxpool,
                cpu_share=raw.share,
                memory_per_lane=memory,
            )
            results.append(result)
            report(_row(result))
            if env is not None:
                env.close()
                gym_result = BenchResult(
                    lanes,
                    result.threads,
                    steps,
                    args.frame_skip,
                    wrapped.seconds,
                    mode="gym",
                    frame_maxpool=maxpool,
                    cpu_share=wrapped.share,
                )
                results.append(gym_result)
                report(_row(gym_result, baseline=result))
            del loop, engine, env  # free this configuration's lanes before the next
    return results


# Run in a fresh interpreter by _memory_per_lane: builds the engine, resets it
# and steps it, and prints the growth of the resident set in bytes.
_MEMORY_PROBE = """
import json, sys
import numpy as np
from tanuvex_turbo import _RetroVecEnv
from tanuvex_turbo.cli.bench import _resident_bytes
from tanuvex_turbo.game.fields import step_outputs
job = json.load(sys.stdin)
catalog = {k: [bytes.fromhex(v) if k == "state_catalog_data" else v for v in vs] for k, vs in job["catalog"].items()}
before = _resident_bytes()
engine = _RetroVecEnv(job["rom"], job["lanes"], num_threads=1, **job["engine"], **catalog)
obs = np.zeros(engine.obs_shape(), np.uint8)
outputs = step_outputs(engine.num_envs)
engine.reset_into(obs)
for _ in range(3):
    engine.step_into(np.zeros(engine.num_envs, np.uint8), obs, *outputs)
    if outputs[1].any():
        engine.reset_into(obs)
print(_resident_bytes() - before)
"""


def _resident_bytes() -> int:
    """The process's resident set size in bytes (Linux ``/proc``; the peak elsewhere)."""
    try:
        with open("/proc/self/statm", encoding="ascii") as handle:
            return int(handle.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")
    except OSError:
        import resource

        peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        return peak if sys.platform == "darwin" else peak * 1024


def _memory_per_lane(
    rom_path: str, lanes: int, args: argparse.Namespace, catalog: dict[str, Any], maxpool: bool = False
) -> float:
    """Bytes of resident memory per lane: engine, lanes and their observation rows, in a fresh process."""
    import subprocess

    spec = {
        "rom": rom_path,
        "lanes": lanes,
        "engine": _engine_kwargs(args, maxpool),
        "catalog": {k: [v.hex() if isinstance(v, bytes) else v for v in vs] for k, vs in catalog.items()},
    }
    done = subprocess.run(
        [sys.executable, "-c", _MEMORY_PROBE], input=json.dumps(spec), capture_output=True, text=True, check=True
    )
    return int(done.stdout.split()[-1]) / lanes


def _chunk(rows: np.ndarray, skip: int, steps: int, k: int) -> np.ndarray:
    return rows[skip + k * steps : skip + (k + 1) * steps]


def _gym_env(rom_path, lanes, threads, args, catalog, maxpool=False):
    from tanuvex_turbo.env.vector_env import TurboVectorEnv

    # An empty list keeps the power-on start (None would read $TANUVEX_TURBO_STATES).
    states = list(zip(catalog.get("state_catalog_names", []), catalog.get("state_catalog_data", [])))
    return TurboVectorEnv(
        rom_path,
        lanes,
        states=states,
        action_set=args.action_set,
        num_threads=threads,
        seed=args.seed + 1,
        # Ended lanes reset within the step, as in the engine's loop: with the
        # same seed and actions both play the same frames, so the difference
        # in time is the wrapper's alone.
        autoreset_mode="SAME_STEP",
        copy=not getattr(args, "no_copy", False),
        **_engine_kwargs(args, maxpool),
    )


def _calibrate(engine, table: np.ndarray, rng, seconds: float) -> int:
    """Steps per repetition so that one repetition takes about ``seconds``."""
    loop = _EngineLoop(engine)
    probe = 4
    while True:
        elapsed = loop.run(np.ascontiguousarray(table[rng.integers(0, len(table), size=(probe, engine.num_envs))]))
        if elapsed >= 0.05 or probe >= 100000:
            break
        probe *= 4
    return int(min(max(probe * seconds / max(elapsed, 1e-6), 1), 100000))


_HEADER = (
    f"{'mode':<7}{'lanes':>6}{'threads':>8}{'steps':>7}   "
    f"{'steps/s min / median / max':<34}{'frames/s min / median / max':<34}{'cpu':>4}{'steps/CPU-s':>13}"
)
_MEMORY_HEADER = f"{'KB/lane':>9}"


def _row(result: BenchResult, baseline: BenchResult | None = None) -> str:
    sps = _summary(result.steps_per_second)
    fps = _summary(result.frames_per_second)
    text = (
        f"{result.mode:<7}{result.lanes:>6}{result.threads:>8}{result.steps:>7}   "
        f"{sps['min']:>10.0f} / {sps['median']:>8.0f} / {sps['max']:>8.0f}   "
        f"{fps['min']:>10.0f} / {fps['median']:>8.0f} / {fps['max']:>8.0f}"
        f"{result.cpu_share:>6.2f}"
        f"{result.steps_per_cpu_second:>13.0f}"
    )
    if result.memory_per_lane is not None:
        text += f"{result.memory_per_lane / 1024:>9.1f}"
    if baseline is not None:
        # Repetitions alternate, so each wrapped one is compared with the
        # engine's just before it: a change of load between repetitions
        # touches both sides of a pair alike.
        raw = statistics.median(baseline.microseconds_per_step)
        cost = statistics.median(w - r for w, r in zip(result.microseconds_per_step, baseline.microseconds_per_step))
        if cost < 0:
            # The wrapper only adds work: a faster wrapped run is timing noise.
            text += "   wrapper: within noise"
        else:
            text += f"   wrapper: {cost:+.1f} us/step ({cost / raw * 100:+.1f}%)"
        if baseline.cpu_share > 0 and result.cpu_share > 0:
            # CPU time counts only the time this process ran: steadier than wall time on a busy machine.
            raw_cpu, wrapped_cpu = baseline.cpu_microseconds_per_step, result.cpu_microseconds_per_step
            text += f", CPU time {(wrapped_cpu - raw_cpu) / raw_cpu * 100:+.1f}%"
    return text


def add_arguments(parser: argparse.ArgumentParser) -> None:
    """Adds the benchmark's options to ``parser`` (shared by ``tanuvex-turbo bench`` and ``python -m``)."""
    parser.add_argument(
        "--lanes",
        type=int,
        nargs="+",
        default=list(DEFAULT_LANES),
        metavar="N",
        help="lane counts (default: %(default)s)",
    )
    parser.add_argument(
        "--threads",
        type=int,
        nargs="+",
        default=list(DEFAULT_THREADS),
        metavar="T",
        help="worker thread counts (default: %(default)s)",
    )
    parser.add_argument("--repeat", type=int, default=5, help="repetitions per configuration (default: %(default)s)")
    parser.add_argument(
        "--steps",
        type=int,
        default=0,
        help="batched steps per repetition (default: chosen so one repetition takes --seconds)",
    )
    parser.add_argument(
        "--seconds",
        type=float,
        default=0.5,
        help="target duration of one repetition when --steps is not given (default: %(default)s)",
    )
    parser.add_argument(
        "--min-steps",
        type=int,
        default=50,
        help="at least this many steps per repetition when --steps is not given (default: %(default)s)",
    )
    parser.add_argument(
        "--pipelines",
        nargs="+",
        choices=["plain", "maxpool"],
        default=["plain", "maxpool"],
        help="observation pipelines to measure: plain (rows 'engine') and max-pooled over the last two frames of "
        "each step (rows 'maxpool') (default: %(default)s)",
    )
    parser.add_argument("--frame-skip", type=int, default=4, help="default: %(default)s")
    parser.add_argument("--frame-stack", type=int, default=4, help="default: %(default)s")
    parser.add_argument("--size", type=int, default=84, help="observation width and height (default: %(default)s)")
    parser.add_argument("--color", action="store_true", help="colour observations instead of gray")
    parser.add_argument(
        "--obs-type",
        choices=["grayscale", "rgb", "ram", "tiles"],
        help="observation type (docs/observations.md; default: the picture, gray unless --color); ram and tiles "
        "draw nothing, so only the plain pipeline is run for them",
    )
    parser.add_argument(
        "--action-set", default="simple", help="action set the random actions are drawn from (default: %(default)s)"
    )
    parser.add_argument("--seed", type=int, default=0, help="seed of the random actions (default: %(default)s)")
    parser.add_argument(
        "--gym",
        action="store_true",
        help="also run each configuration through TurboVectorEnv and report the wrapper's cost",
    )
    parser.add_argument(
        "--no-copy",
        action="store_true",
        help="with --gym: TurboVectorEnv(copy=False), returning its own arrays instead of copies",
    )
    parser.add_argument(
        "--memory",
        action="store_true",
        help="also report the resident memory per lane (KB), measured in a fresh process",
    )
    parser.add_argument(
        "--async",
        dest="async_mode",
        action="store_true",
        help="compare the synchronous step loop with asynchronous stepping under a simulated policy "
        "(default lanes 64, threads 2)",
    )
    parser.add_argument(
        "--policy-ms", type=float, default=1.0, help="with --async: policy time per call (default: %(default)s)"
    )
    parser.add_argument(
        "--policy-batch", type=int, default=32, help="with --async: lanes per policy call (default: %(default)s)"
    )
    parser.add_argument(
        "--async-batch", type=int, default=0, help="with --async: lanes per recv (default: half the lanes)"
    )
    parser.add_argument("--json", metavar="FILE", help="also write the results as JSON to FILE")


def execute(args: argparse.Namespace, command: str) -> int:
    """Runs the benchmark described by parsed ``args``; returns the exit status."""
    if args.repeat < 1 or any(n < 1 for n in args.lanes) or any(t < 1 for t in args.threads):
        raise CliError("--repeat, --lanes and --threads take positive numbers")
    if args.no_copy and not args.gym:
        raise CliError("--no-copy applies to the wrapper: add --gym")
    if args.gym:
        try:
            import tanuvex_turbo.env.vector_env  # noqa: F401
        except ImportError:
            raise CliError("--gym needs Gymnasium: pip install 'tanuvex_turbo[gym]'") from None
    if args.obs_type is not None and args.color:
        raise CliError("--obs-type says the colour: use --obs-type rgb instead of --color")
    if args.obs_type in ("ram", "tiles"):
        # Max-pooling is a matter of the picture: these types read the console after the step.
        args.pipelines = ["plain"]
    rom_path = resolve_rom(args.rom)
    catalog = resolve_catalog(args.states, args.state)
    print(f"command: {command}")
    print(f"machine: {machine_description()}")
    start = catalog.get("state_catalog_names", ["power-on"])[0]
    if args.obs_type in ("ram", "tiles"):
        observed = f"obs_type {args.obs_type}"
    else:
        colour = args.obs_type == "rgb" or args.color
        observed = f"{'colour' if colour else 'gray'} {args.size}x{args.size}"
    print(
        f"settings: frame_skip {args.frame_skip}, {observed}, "
        f"frame_stack {args.frame_stack}, pipelines {' '.join(args.pipelines)}, "
        f"random actions from '{args.action_set}', start state {start}, {args.repeat} repetitions"
    )
    if args.async_mode:
        return _execute_async(args, command, rom_path, catalog)
    print(
        "units: steps/s = lane-steps per second, frames/s = steps/s x frame_skip (emulated frames), "
        "cpu = process CPU time / wall time (about the thread count on an idle machine), "
        "steps/CPU-s = lane-steps per second of process CPU time over all repetitions"
        + (", KB/lane = resident memory per lane (engine, console and observation rows)" if args.memory else "")
    )
    print(_HEADER + (_MEMORY_HEADER if args.memory else ""))
    sys.stdout.flush()

    def report(line: str) -> None:
        print(line, flush=True)

    results = run_engine(lambda: run(rom_path, args, catalog, report), rom_path)
    if args.json:
        with open(args.json, "w", encoding="utf-8") as handle:
            json.dump(
                {"command": command, "machine": machine_description(), "results": [r.as_dict() for r in results]},
                handle,
                indent=2,
            )
    return 0


def _execute_async(args: argparse.Namespace, command: str, rom_path: str, catalog: dict[str, Any]) -> int:
    from tanuvex_turbo.cli.bench_async import run_async_bench

    if args.gym or args.memory or args.no_copy:
        raise CliError("--async runs the engine's own loops: it does not combine with --gym, --memory or --no-copy")
    if args.lanes == list(DEFAULT_LANES):
        args.lanes = [64]
    if args.threads == list(DEFAULT_THREADS):
        args.threads = [2]
    if args.policy_batch < 1 or args.policy_ms < 0 or args.async_batch < 0:
        raise CliError("--policy-batch takes a positive number, --policy-ms and --async-batch non-negative ones")
    print(
        f"units: steps/s = lane-steps per second (engine loops; ended lanes reset in the loop); "
        f"policy = simulated policy time per call of at most {args.policy_batch} lanes, a sleep without the "
        "interpreter lock; async / sync = median over paired repetitions"
    )
    sys.stdout.flush()
    results = run_engine(
        lambda: run_async_bench(rom_path, args, catalog, _engine_kwargs(args), lambda line: print(line, flush=True)),
        rom_path,
    )
    if args.json:
        with open(args.json, "w", encoding="utf-8") as handle:
            json.dump({"command": command, "machine": machine_description(), "results": results}, handle, indent=2)
    return 0


def add_command(commands: Any) -> None:
    """Adds ``bench`` to the subcommands of the ``tanuvex-turbo`` parser."""
    parser = commands.add_parser(
        "bench",
        parents=[cartridge_options()],
        help="environment benchmark (steps/s, frames/s)",
        description=__doc__.split("\n\n")[0],
    )
    add_arguments(parser)
    parser.set_defaults(handler=lambda args: execute(args, " ".join([PROG] + args.argv)))


def main(argv: Sequence[str] | None = None) -> int:
    """Entry point of ``python -m tanuvex_turbo.bench``."""
    parser = argparse.ArgumentParser(
        prog="python -m tanuvex_turbo.bench", description=__doc__.split("\n\n")[0], parents=[cartridge_options()]
    )
    add_arguments(parser)
    args = parser.parse_args(argv)
    argv = sys.argv[1:] if argv is None else list(argv)
    return guard(lambda: execute(args, " ".join(["python -m tanuvex_turbo.bench", *argv])))


if __name__ == "__main__":
    sys.exit(main())
