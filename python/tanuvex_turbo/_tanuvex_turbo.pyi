"""Type stubs of the compiled engine module ``tanuvex_turbo._tanuvex_turbo``.

Array arguments must be NumPy arrays of exactly the element type and number of
dimensions shown, C-contiguous, with one entry (or row) per lane; outputs must
be writeable. Methods ending in ``_into`` write into the caller's arrays and
return None.
"""

from collections.abc import Sequence
from typing import NoReturn, final

import numpy as np
import numpy.typing as npt

__all__ = [
    "ZuboLiveSnapshot",
    "_RetroVecEnv",
    "extra_info_descriptors",
    "NES_WIDTH",
    "NES_HEIGHT",
    "VISIBLE_FRAME_WIDTH",
    "VISIBLE_FRAME_HEIGHT",
]

NES_WIDTH: int
"""Console picture width in pixels (256)."""
NES_HEIGHT: int
"""Console picture height in pixels (240)."""
VISIBLE_FRAME_WIDTH: int
"""Width of the visible frame, columns 8..247 of the picture (240)."""
VISIBLE_FRAME_HEIGHT: int
"""Height of the visible frame, rows 8..231 of the picture (224)."""
_INFO_FIELDS: tuple[tuple[str, str], ...]
"""The ten game values as (name, NumPy dtype name) pairs, in ``info_into`` order."""

_U8 = npt.NDArray[np.uint8]
_Bool = npt.NDArray[np.bool_]
_I16 = npt.NDArray[np.int16]
_U16 = npt.NDArray[np.uint16]
_I32 = npt.NDArray[np.int32]
_U32 = npt.NDArray[np.uint32]
_I64 = npt.NDArray[np.int64]
_F32 = npt.NDArray[np.float32]
_Bytes = bytes | bytearray | Sequence[int]

def extra_info_descriptors() -> list[tuple[int, str, int, str, str | None]]:
    """The 27 extra info entries as (id, name, value count, dtype name, enum name or None), in id order."""
@final
class ZuboLiveSnapshot:
    """A captured lane (console, observation row, random state), usable only by the environment that made it."""

    @property
    def nbytes(self) -> int: ...
    def to_bytes(self) -> bytes:
        """The portable form of the snapshot, for ``_RetroVecEnv.decode_snapshots``."""
    def __reduce__(self) -> NoReturn:
        """Always raises TypeError: live snapshots cannot be pickled (use ``to_bytes``)."""

@final
class _RetroVecEnv:
    """``num_envs`` emulated consoles (lanes) stepped in lock-step through batched calls.

    Raises RuntimeError at construction when ``rom_path`` is not the supported
    cartridge image ("ROM SHA-256 mismatch: got X, expected Y") or cannot be read.
    ``frame_skip`` and ``noop_reset_max`` are at most 3600 (ValueError beyond):
    every call that runs frames is bounded.

    Every array a call is given, and the array that owns a view's memory,
    holds a weak reference for the call, so another thread's
    ``resize(refcheck=False)`` is refused instead of freeing memory in use.
    """

    def __new__(
        cls,
        rom_path: str,
        num_envs: int,
        frame_skip: int = 4,
        grayscale: bool = True,
        frame_stack: int = 4,
        terminate_on_flag: bool = True,
        crop_top: int = 0,
        crop_bottom: int = 0,
        resize_width: int = 84,
        resize_height: int = 84,
        state_catalog_data: Sequence[_Bytes] | None = None,
        state_catalog_names: Sequence[str] | None = None,
        seed: int = 0,
        frame_maxpool: bool = False,
        noop_reset_max: int = 0,
        sticky_action_prob: float = 0.0,
        crop_left: int = 0,
        crop_right: int = 0,
        crop_mode: str = "remove",
        crop_fill: int = 0,
        resize_algorithm: str = "area",
        num_threads: int | None = None,
        extra_info_ids: Sequence[int] | None = None,
        render_observations: bool = True,
        obs_type: str | None = None,
        end_on_life_loss: bool = False,
        episodic_life: bool = False,
        end_on_level_end: bool = False,
        progress_info: bool = False,
        max_episode_steps: int | None = None,
        autoreset: str = "off",
    ) -> _RetroVecEnv: ...
    @property
    def num_envs(self) -> int: ...
    @property
    def num_threads(self) -> int: ...
    @property
    def frame_skip(self) -> int: ...
    @property
    def grayscale(self) -> bool: ...
    @property
    def obs_type(self) -> str: ...
    @property
    def frame_stack(self) -> int: ...
    @property
    def frame_maxpool(self) -> bool: ...
    @property
    def noop_reset_max(self) -> int: ...
    @property
    def sticky_action_prob(self) -> float: ...
    @property
    def crop_top(self) -> int: ...
    @property
    def crop_bottom(self) -> int: ...
    @property
    def resize_width(self) -> int: ...
    @property
    def resize_height(self) -> int: ...
    @property
    def state_catalog(self) -> list[str]: ...
    def obs_shape(self) -> tuple[int, int, int, int]:
        """(num_envs, frame_stack * k, resize_height, resize_width), k = 1 gray, 3 colour."""
    def active_state_indices(self) -> list[int]:
        """Catalog index each lane was last reset to (-1: power-on or snapshot)."""
    def rgb_frame_shape(self) -> tuple[int, int, int, int]:
        """(num_envs, 224, 240, 3)."""
    def extra_info_shape(self) -> tuple[int, int]:
        """(num_envs, total value count of extra_info_ids)."""
    def extra_info_into(self, output: _I64) -> None: ...
    def ram_shape(self) -> tuple[int, int]:
        """(num_envs, 2048)."""
    def ram_into(self, output: _U8) -> None: ...
    def rgb_frames_into(self, frames: _U8) -> None:
        """Copies each lane's display frame (RGB, 224 x 240 x 3); the first call enables display frames."""
    def seed(self, seed: int) -> None:
        """Lane i's random state becomes seed + i (1 where that is 0)."""
    def enable_profiler(self) -> None: ...
    def reset_profiler(self) -> None: ...
    def disable_profiler(self) -> None: ...
    def profiler_snapshot(self, top_n: int = 64) -> str: ...
    def _debug_ram(self, env_idx: int) -> list[int]: ...
    def _debug_oam(self, env_idx: int) -> list[int]: ...
    def _debug_bg_pixel(self, env_idx: int, x: int, y: int) -> tuple[int, bool]:
        """(colour, opaque) of the background at screen column x < 256, row y < 240 (ValueError outside)."""
    def reset_into(self, obs: _U8) -> None:
        """Resets every lane to catalog entry 0 (or power-on) and writes the observations."""
    def reset_masked_into(
        self,
        obs: _U8,
        reset_mask: _Bool,
        state_indices: _I32,
        seeds: Sequence[int | None],
        go_on: bool = False,
    ) -> None:
        """Resets the selected lanes to their catalog entries (-1: power-on), reseeding where a seed is given.

        Every reset lane begins a new episode. With ``go_on`` a selected lane
        whose episode ended by a lost life alone (``episodic_life``) is not
        reset: its next episode goes on where its game stands.
        """
    def bind_outputs(
        self,
        obs: _U8,
        rewards: _F32,
        terminated: _Bool,
        truncated: _Bool,
        x_pos: _U16,
        coins: _U8,
        level_hi: _I16,
        level_lo: _I16,
        lives: _I16,
        score: _U32,
        scrolling: _I16,
        time: _U16,
        xscroll_hi: _U8,
        xscroll_lo: _U8,
        extra_info: _I64 | None = None,
        level_end: _Bool | None = None,
        dying: _Bool | None = None,
        final_obs: _U8 | None = None,
        final_info: Sequence[np.ndarray] | None = None,
        final_extra_info: _I64 | None = None,
        final_level_end: _Bool | None = None,
        final_dying: _Bool | None = None,
    ) -> None:
        """Names, once, the arrays every later ``step`` writes (checked now; kept referenced).

        The ``final_`` arrays receive, under ``autoreset="same_step"``, the
        last observation and values of the lanes whose episode a step ended
        (only their rows are written); ``final_info`` holds the ten game value
        arrays in ``info_into`` order.
        """
    def step(self, actions: _U8, step_mask: _Bool | None = None, obs_copy: _U8 | None = None) -> None:
        """One complete step into the bound arrays: frames, reward, the episode rules, the autoreset.

        A lane left out of ``step_mask`` runs no frame and its outputs stay
        as they were, unless its episode had ended: then it is reset (or,
        after a life lost under ``episodic_life``, kept) as the autoreset
        says, with reward 0 and both flags false. With ``autoreset="off"``
        the step is refused while a lane awaits reset.
        """
    def values_into_bound(self) -> None:
        """Writes every lane's reported values (game values, extra info, progress) into the bound arrays."""
    def set_start_states(self, state_indices: _I32, random: _Bool) -> None:
        """Each lane's start state for the engine's own resets: an index, or a draw from the lane's stream."""
    def mark_ended(self, mask: _Bool) -> None:
        """Marks lanes as ended: their next step resets them (results the caller never saw)."""
    def set_max_episode_steps(self, steps: int | None) -> None:
        """Changes the step limit of the episodes (None: none)."""
    def capture_snapshots(self, obs: _U8, capture_mask: _Bool) -> list[ZuboLiveSnapshot | None]: ...
    def decode_snapshots(self, payloads: Sequence[_Bytes | None]) -> list[ZuboLiveSnapshot | None]: ...
    def reset_mixed_into(
        self,
        obs: _U8,
        reset_mask: _Bool,
        state_indices: _I32,
        seeds: Sequence[int | None],
        snapshots: Sequence[ZuboLiveSnapshot | None],
    ) -> None: ...
    def info_into(
        self,
        x_pos: _U16,
        coins: _U8,
        level_hi: _I16,
        level_lo: _I16,
        lives: _I16,
        score: _U32,
        scrolling: _I16,
        time: _U16,
        xscroll_hi: _U8,
        xscroll_lo: _U8,
    ) -> None:
        """Writes every lane's ten game values."""
    def step_into(
        self,
        actions: _U8,
        obs: _U8,
        rewards: _F32,
        terminated: _Bool,
        truncated: _Bool,
        x_pos: _U16,
        coins: _U8,
        level_hi: _I16,
        level_lo: _I16,
        lives: _I16,
        score: _U32,
        scrolling: _I16,
        time: _U16,
        xscroll_hi: _U8,
        xscroll_lo: _U8,
    ) -> None:
        """Advances every lane by one controller byte; refused (RuntimeError) while an ended lane awaits reset."""
    def step_masked_into(
        self,
        actions: _U8,
        obs: _U8,
        rewards: _F32,
        terminated: _Bool,
        truncated: _Bool,
        x_pos: _U16,
        coins: _U8,
        level_hi: _I16,
        level_lo: _I16,
        lives: _I16,
        score: _U32,
        scrolling: _I16,
        time: _U16,
        xscroll_hi: _U8,
        xscroll_lo: _U8,
        step_mask: _Bool | None = None,
        obs_copy: _U8 | None = None,
    ) -> None:
        """``step_into`` for the lanes of ``step_mask`` (None: every lane), then every observation into ``obs_copy``.

        A lane left out of the mask runs no frame and draws no random number;
        its observation rows, its elements of every output array, its last
        action and its console stay as they were. ``obs_copy`` (None: no copy)
        receives all of ``obs`` after the step, copied lane by lane by the
        workers that ran the lanes. Refused like ``step_into`` while an ended
        lane awaits reset, whether or not the mask selects it.
        """
    def step_send(
        self,
        env_ids: _I32,
        actions: _U8,
        obs: _U8,
        obs_ring: _U8 | None = None,
        reset_mask: _Bool | None = None,
        state_indices: _I32 | None = None,
        seeds: Sequence[int | None] | None = None,
        go_on: bool = False,
    ) -> None:
        """Starts the lanes ``env_ids`` (a step with ``actions``, or a reset where ``reset_mask`` says) and returns.

        A lane whose episode ended is reset (or kept, after a life lost under
        ``episodic_life``) by the autoreset instead of stepped; with ``go_on``
        a reset lane whose game goes on is kept too: it runs no frame, draws
        no random number and comes back as it stands, with reward 0 and both
        flags false.

        The lanes run on the worker pool, stepped in place in ``obs``; each
        finished lane's observation is also copied to the next row of
        ``obs_ring`` (at least ``num_envs`` rows), in finishing order. Both
        arrays stay held until no lane is in flight and must be passed again
        on every send meanwhile. While lanes are in flight every other call
        that reads or changes lanes raises RuntimeError. Refused before
        anything changes for an id out of range or given twice, a lane in
        flight, a lane pending reset that is not reset, a bad state index.
        """
    def step_recv_into(
        self,
        env_ids: _I32,
        rewards: _F32,
        terminated: _Bool,
        truncated: _Bool,
        x_pos: _U16,
        coins: _U8,
        level_hi: _I16,
        level_lo: _I16,
        lives: _I16,
        score: _U32,
        scrolling: _I16,
        time: _U16,
        xscroll_hi: _U8,
        xscroll_lo: _U8,
        extra_info: _I64 | None = None,
        ram: _U8 | None = None,
        level_end: _Bool | None = None,
        dying: _Bool | None = None,
    ) -> int:
        """Waits for the first ``len(env_ids)`` lanes to finish; writes their ids and results in finishing order.

        ``ram`` (``len(env_ids)`` x 2048) receives each returned lane's work
        RAM, ``level_end`` and ``dying`` its progress signals.

        Returns the ``obs_ring`` row of the first of them (the others follow,
        modulo the ring's rows). A lane that ended is pending reset until it
        is sent a reset.
        """
    def step_in_flight(self) -> int:
        """Lanes sent and not yet received."""
    def step_ready(self) -> int:
        """Lanes finished and not yet received."""
    def step_cancel(self) -> None:
        """Waits for every lane in flight and drops their results (the lanes keep their new state)."""
