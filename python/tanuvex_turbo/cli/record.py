"""Recording play as an animated GIF or an MP4 video: the ``record`` subcommand and its library.

One lane plays a start state with a policy for a number of steps; after every
step its display frame (the console's visible 240 x 224 picture, the one that
``render()`` returns) is written to the output file. A lane whose episode ends
is reset to the same start state and play goes on, unless asked to stop.

Policies:

``random``
    uniform random actions from an action set (seeded, so repeatable).
``noop``
    no buttons.
``hold:ACTION``
    the same action every step, e.g. ``hold:right+B`` or ``hold:0x82``.
``script:FILE``
    a text file of actions played in order: whitespace-separated items
    ``ACTION`` or ``ACTION*COUNT`` (``right+B*40 right+A+B*8 noop*10``), ``#``
    starts a comment. Play stops when the script ends.

A replay file (``tanuvex_turbo.explore.replay``) is recorded with
:func:`replay_recording_options`: its own start, frame skip and actions, and
no episode end at ``x_pos`` 3160, so the frames are the ones the replay plays.

Writing needs the optional ``record`` extra (``pip install
'tanuvex_turbo[record]'``: imageio and Pillow for GIF, tqdm for the progress
bar); MP4 also needs ``imageio-ffmpeg``.
"""

from __future__ import annotations

import argparse
import dataclasses
import pathlib
from collections.abc import Iterator
from typing import Any, Callable, Optional

import numpy as np

from tanuvex_turbo.cli.support import CliError, cartridge_options, resolve_catalog, resolve_rom, run_engine
from tanuvex_turbo.game.actions import parse_action, resolve_action_set
from tanuvex_turbo.game.fields import FRAME_RATE, step_outputs

__all__ = ["Recording", "add_command", "make_policy", "parse_script", "record", "replay_recording_options"]

#: A policy maps the step number to the controller byte of that step, or None to stop.
Policy = Callable[[int], Optional[int]]


def parse_script(text: str) -> list[int]:
    """The controller bytes of an action script (see the module documentation).

    Raises:
        ValueError: an item is not an action, or a repeat count is not a positive integer.
    """
    actions: list[int] = []
    for number, line in enumerate(text.splitlines(), start=1):
        line = line.split("#", 1)[0]
        for item in line.split():
            action, _, count = item.partition("*")
            try:
                value = parse_action(action)
                repeat = int(count) if count else 1
            except ValueError as error:
                raise ValueError(f"line {number}: {item!r}: {error}") from None
            if repeat < 1:
                raise ValueError(f"line {number}: {item!r}: the repeat count must be positive")
            actions.extend([value] * repeat)
    if not actions:
        raise ValueError("the script holds no actions")
    return actions


def make_policy(text: str, action_set: str = "simple", seed: int = 0) -> Policy:
    """Builds a policy from its command-line form (``random``, ``noop``, ``hold:ACTION``, ``script:FILE``).

    Raises:
        ValueError: unknown policy, bad action or script.
        OSError: the script file cannot be read.
    """
    kind, _, argument = text.partition(":")
    if kind == "random" and not argument:
        table = resolve_action_set(action_set)
        rng = np.random.default_rng(seed)
        return lambda step: int(table[rng.integers(len(table))])
    if kind == "noop" and not argument:
        return lambda step: 0
    if kind == "hold" and argument:
        value = parse_action(argument)
        return lambda step: value
    if kind == "script" and argument:
        script = parse_script(pathlib.Path(argument).read_text(encoding="utf-8"))
        return lambda step: script[step] if step < len(script) else None
    raise ValueError(f"unknown policy {text!r}; use random, noop, hold:ACTION or script:FILE")


def replay_recording_options(path: str, states: Any = None) -> dict[str, Any]:
    """The :func:`record` arguments that play the replay file at ``path`` as ``tanuvex-turbo replay`` does.

    Raises:
        ValueError: the file is not a replay file, or its start state is not among ``states``.
        OSError: the file cannot be read.
    """
    from tanuvex_turbo.explore.replay import read_replay, start_catalog

    replay = read_replay(path)
    actions = replay.actions
    return {
        "policy": lambda step: actions[step] if step < len(actions) else None,
        "steps": max(len(actions), 1),
        "catalog": start_catalog(replay.start, states),
        "frame_skip": replay.frame_skip,
        "stop_on_done": True,
        "terminate_on_flag": False,
    }


@dataclasses.dataclass
class Recording:
    """What :func:`record` did."""

    path: pathlib.Path
    steps: int
    frames: int
    episodes_ended: int
    fps: float


def _frames(engine, policy: Policy, steps: int, stop_on_done: bool, every: int, outcome: dict) -> Iterator[np.ndarray]:
    """Plays and yields display frames (the reset frame first, then every ``every``-th step)."""
    n = 1
    obs = np.zeros(engine.obs_shape(), np.uint8)
    outputs = step_outputs(n)
    terminated = outputs[1]
    action = np.zeros(n, np.uint8)
    frame = np.zeros(engine.rgb_frame_shape(), np.uint8)
    engine.reset_into(obs)
    engine.rgb_frames_into(frame)
    yield frame[0]
    for step in range(steps):
        value = policy(step)
        if value is None:
            break
        action[0] = value
        engine.step_into(action, obs, *outputs)
        outcome["steps"] = step + 1
        ended = bool(terminated[0])
        if ended:
            outcome["episodes_ended"] += 1
        if ended or (step + 1) % every == 0:
            engine.rgb_frames_into(frame)
            yield frame[0]
        if ended:
            if stop_on_done:
                break
            engine.reset_masked_into(
                obs, np.ones(1, np.bool_), np.array(engine.active_state_indices(), np.int32), [None]
            )


def record(
    rom_path: str,
    out: str,
    *,
    policy: Policy,
    steps: int,
    catalog: dict | None = None,
    frame_skip: int = 4,
    fps: float | None = None,
    every: int = 1,
    scale: int = 1,
    seed: int = 1,
    stop_on_done: bool = False,
    progress: bool = True,
    sticky_action_prob: float = 0.0,
    terminate_on_flag: bool = True,
) -> Recording:
    """Plays one lane and writes its display frames to ``out`` (``.gif`` or ``.mp4``).

    ``catalog`` holds the engine's ``state_catalog_data`` / ``state_catalog_names``
    with the start state first (``None``: power-on). ``every`` keeps every
    ``every``-th step's frame; ``scale`` enlarges the frames by an integer
    factor; ``fps`` defaults to the game's own speed (console frame rate over
    ``frame_skip`` and ``every``).

    Raises:
        ImportError: imageio (or, for MP4, imageio-ffmpeg) is not installed.
        ValueError: an unsupported output suffix or bad numbers.
        RuntimeError: the cartridge image is refused by the engine.
    """
    from tanuvex_turbo._tanuvex_turbo import _RetroVecEnv

    path = pathlib.Path(out)
    suffix = path.suffix.lower()
    if suffix not in (".gif", ".mp4"):
        raise ValueError(f"the output must end in .gif or .mp4, got {path.name!r}")
    if steps < 1 or every < 1 or scale < 1 or frame_skip < 1:
        raise ValueError("steps, every, scale and frame_skip must be positive")
    try:
        import imageio.v2 as imageio
    except ImportError:
        raise ImportError(
            "recording needs imageio and Pillow: pip install 'tanuvex_turbo[record]' (from a checkout: "
            "pip install --no-build-isolation '.[record]')"
        ) from None
    fps = fps or FRAME_RATE / frame_skip / every
    engine = _RetroVecEnv(
        rom_path,
        1,
        frame_skip=frame_skip,
        frame_stack=1,
        resize_width=16,
        resize_height=16,
        resize_algorithm="nearest",
        seed=seed,
        num_threads=1,
        sticky_action_prob=sticky_action_prob,
        terminate_on_flag=terminate_on_flag,
        **(catalog or {}),
    )
    writer_args: dict[str, Any]
    if suffix == ".gif":
        # GIF frame times are whole hundredths of a second.
        writer_args = {"mode": "I", "duration": max(20, int(round(100.0 / fps)) * 10), "loop": 0}
    else:
        writer_args = {"mode": "I", "fps": fps, "macro_block_size": 8}
    try:
        writer = imageio.get_writer(str(path), **writer_args)
    except (ValueError, ImportError) as error:
        if suffix == ".mp4":
            raise ImportError("writing MP4 needs imageio-ffmpeg: pip install imageio-ffmpeg") from error
        raise
    outcome = {"steps": 0, "episodes_ended": 0}
    bar = _progress_bar(steps, progress)
    written = 0
    try:
        for frame in _frames(engine, policy, steps, stop_on_done, every, outcome):
            if scale > 1:
                frame = np.repeat(np.repeat(frame, scale, axis=0), scale, axis=1)
            writer.append_data(frame)
            written += 1
            if bar is not None and outcome["steps"] > bar.n:
                bar.update(outcome["steps"] - bar.n)
    finally:
        writer.close()
        if bar is not None:
            bar.close()
    return Recording(path, outcome["steps"], written, outcome["episodes_ended"], fps)


def _progress_bar(total: int, enabled: bool):
    if not enabled:
        return None
    try:
        from tqdm import tqdm  # type: ignore[import-untyped, unused-ignore]
    except ImportError:
        return None
    # disable=None: no bar when stderr is not a terminal.
    return tqdm(total=total, unit="step", desc="recording", leave=False, disable=None)


# ---------------------------------------------------------------------- the subcommand


def add_command(commands: Any) -> None:
    """Adds ``record`` to the subcommands of the ``tanuvex-turbo`` parser."""
    rec = commands.add_parser(
        "record",
        parents=[cartridge_options()],
        help="play a start state and write an animated GIF or MP4",
        description="Plays a start state with a policy and writes the display frames.",
    )
    rec.add_argument("output", metavar="OUT", help="output file, .gif or .mp4")
    rec.add_argument("--steps", type=int, help="steps to play (default: 300, or the whole replay)")
    rec.add_argument(
        "--policy",
        help="random, noop, hold:ACTION (e.g. hold:right+B) or script:FILE (default: random)",
    )
    rec.add_argument(
        "--replay",
        metavar="FILE",
        help="play a replay file (from 'tanuvex-turbo explore') from its own start, to its end",
    )
    rec.add_argument("--action-set", default="simple", help="action set of the random policy (default: %(default)s)")
    rec.add_argument("--seed", type=int, default=0, help="seed of the random policy (default: %(default)s)")
    rec.add_argument("--frame-skip", type=int, help="frames per step (default: 4)")
    rec.add_argument("--every", type=int, default=1, help="keep the frame of every N-th step (default: %(default)s)")
    rec.add_argument("--fps", type=float, help="frames per second of the output (default: real game speed)")
    rec.add_argument("--scale", type=int, default=1, help="enlarge frames by this integer factor (default: 1)")
    rec.add_argument("--stop-on-done", action="store_true", help="stop when the episode ends instead of resetting")
    rec.add_argument("--no-progress", action="store_true", help="no progress bar")
    rec.set_defaults(handler=_record)


def _record(args: argparse.Namespace) -> int:
    rom_path = resolve_rom(args.rom)
    if args.replay:
        chosen = [name for name in ("policy", "state", "frame_skip") if getattr(args, name) is not None]
        if chosen:
            raise CliError(f"--replay plays the file's own inputs; drop --{chosen[0].replace('_', '-')}")
        try:
            options = replay_recording_options(args.replay, args.states)
        except ValueError as error:
            raise CliError(f"{args.replay}: {error}") from None
        except OSError as error:
            raise CliError(f"cannot read {args.replay}: {error.strerror or error}") from None
        if args.steps is not None:
            options["steps"] = args.steps
        start = options["catalog"].get("state_catalog_names", ["power-on"])[0]
    else:
        catalog = resolve_catalog(args.states, args.state)
        try:
            policy = make_policy(args.policy or "random", args.action_set, args.seed)
        except (ValueError, KeyError) as error:
            raise CliError(str(error).strip("'\"")) from None
        except OSError as error:
            raise CliError(f"cannot read the script: {error}") from None
        options = {
            "policy": policy,
            "steps": 300 if args.steps is None else args.steps,
            "catalog": catalog,
            "frame_skip": 4 if args.frame_skip is None else args.frame_skip,
            "stop_on_done": args.stop_on_done,
        }
        start = catalog.get("state_catalog_names", ["power-on"])[0]
    progress = not args.no_progress and options["steps"] >= 200
    try:
        result = run_engine(
            lambda: record(
                rom_path,
                args.output,
                fps=args.fps,
                every=args.every,
                scale=args.scale,
                seed=args.seed + 1,
                progress=progress,
                **options,
            ),
            rom_path,
        )
    except ImportError as error:
        raise CliError(str(error)) from None
    except ValueError as error:
        raise CliError(str(error)) from None
    except OSError as error:
        raise CliError(f"cannot write {args.output}: {error.strerror or error}") from None
    print(
        f"wrote {result.path}: {result.frames} frames at {result.fps:.1f} fps from {result.steps} steps "
        f"of start state {start}; {result.episodes_ended} episode(s) ended"
    )
    return 0
