"""The asynchronous lanes of the Gymnasium class: ``send``, ``recv`` and their Ctrl-C catch-up.

:class:`AsyncLanes` keeps what the environment knows of lanes sent to the
engine's worker threads: which are in flight and whether each was sent a
step or a new episode, how many lanes were sent and received (the ring row
of the c-th lane to finish is c modulo the ring's rows), the arrays a
receive fills, and a batch a cut-short receive had not delivered yet. The
episodes of the lanes it receives are booked by the environment's
:class:`~tanuvex_turbo.env.episodes.EpisodeBook`, as for a synchronous step.

Every engine call is journaled first: a call cut short by Ctrl-C leaves its
journal behind, and :meth:`AsyncLanes.recover` (run before anything else
reads or changes lanes) books what the engine did as if nothing had
happened. The engine stays the environment's: it is given to every call.
"""

from __future__ import annotations

from collections.abc import Callable
from typing import Any

import numpy as np

from tanuvex_turbo.env.arguments import whole_number
from tanuvex_turbo.env.episodes import EpisodeBook
from tanuvex_turbo.game.fields import step_outputs

__all__ = ["KEEP_LANE", "AsyncLanes"]

# The engine's state index of a lane sent to start a new episode where its game stands (no reset).
KEEP_LANE = -2

#: What the environment makes of a batch of every lane (``batch_size == num_envs``): it gets the lane-ordered
#: rewards, terminated, truncated and game values, and returns the step's result.
FullBatch = Callable[[np.ndarray, np.ndarray, np.ndarray, list], Any]


class AsyncLanes:
    """Lanes sent and not yet received, and the receive's arrays, of one environment."""

    def __init__(
        self,
        book: EpisodeBook,
        obs: np.ndarray,
        batch_size: Any,
        next_step: bool,
        autoreset_name: str,
        extra_layout: list,
        extra_columns: int,
        ram_columns: int | None,
        info_names: tuple[str, ...],
        mask_names: tuple[str, ...],
    ) -> None:
        n = len(obs)
        b = n if batch_size is None else whole_number(batch_size, "batch_size")
        if not 1 <= b <= n:
            raise ValueError(f"batch_size must be in 1..num_envs ({n}), got {batch_size}")
        if b < n and not next_step:
            raise ValueError(f"batch_size below num_envs needs autoreset_mode NEXT_STEP, got {autoreset_name}")
        self.num_envs = n
        self.batch_size = b
        self._book = book
        self._obs = obs  # the environment's observation array: the engine's lane state for lanes in flight
        self._extra_layout = extra_layout
        self._info_names = info_names
        self._mask_names = mask_names
        # Finished lanes' observations, in finishing order (a row per lane, batch_size rows per recv).
        self.ring: np.ndarray | None = None
        self.in_flight = np.zeros(n, np.bool_)
        self._sent_start = np.zeros(n, np.bool_)  # the lane was sent a reset (or kept), not a step
        # Lanes sent and received (or cancelled) so far, as the engine counts them: the ring row of
        # the c-th lane to finish is c % ring rows.
        self._sent_count = 0
        self._received_count = 0
        self._recv_ids = np.zeros(b, np.int32)
        self.recv_outputs = step_outputs(b)
        self._recv_extra = np.zeros((b, extra_columns), np.int64)
        self._recv_ram = None if ram_columns is None else np.zeros((b, ram_columns), np.uint8)
        # A batch received by a recv() that was cut short (Ctrl-C): the next recv() returns it.
        self.undelivered: tuple[Any, ...] | None = None
        # An engine call whose bookkeeping was cut short (Ctrl-C) until recover() catches up.
        self.journal: tuple[Any, ...] | None = None

    # ------------------------------------------------------------------ which lanes

    def busy(self) -> np.ndarray:
        """Lanes that cannot be sent: in flight, or received by a cut-short recv() not yet delivered."""
        if self.undelivered is None:
            return self.in_flight
        busy = self.in_flight.copy()
        busy[self.undelivered[4]["env_id"]] = True
        return busy

    def send_ids(self, env_ids: Any, actions: Any) -> np.ndarray:
        """``env_ids`` checked (None: the first ``len(actions)`` lanes), as int32."""
        n = self.num_envs
        if env_ids is None:
            ids = np.arange(np.asarray(actions).size, dtype=np.int64)
        else:
            ids = np.asarray(env_ids)
        if ids.ndim != 1 or ids.dtype.kind not in "iu" or not ids.size:
            raise ValueError(f"env_ids must be a non-empty 1-D array of lane indices, got {ids!r}")
        if ids.min() < 0 or ids.max() >= n:
            raise ValueError(f"env_ids must be lane indices in 0..{n - 1}, got {ids.min()}..{ids.max()}")
        if np.unique(ids).size != ids.size:
            raise ValueError("env_ids must not name a lane twice")
        return ids.astype(np.int32)

    def check_idle(self, ids: np.ndarray) -> None:
        """Refuses to send a lane still in flight."""
        busy = ids[self.busy()[ids]]
        if busy.size:
            raise RuntimeError(f"lane {busy[0]} is in flight; receive it before sending it again")

    def step_ids(self, env_ids: Any, actions: Any) -> np.ndarray:
        """The lanes an asynchronous ``step`` sends: ``env_ids``, or every lane not in flight; checked so that
        the receive after the send has its batch."""
        if env_ids is None:
            ids = np.flatnonzero(~self.busy()).astype(np.int32)
            count = np.asarray(actions).size
            if count != len(ids):
                raise ValueError(
                    f"step() sends one action to each of the {len(ids)} lanes not in flight (every lane after a "
                    f"reset, the lanes of the last recv() after that), got {count} actions"
                )
        else:
            ids = self.send_ids(env_ids, actions)
        flying = int(self.in_flight.sum())
        if self.undelivered is None and flying + len(ids) < self.batch_size:
            raise ValueError(
                f"step() sends {len(ids)} lanes but recv() needs {self.batch_size} in flight ({flying} are)"
            )
        return ids

    # ------------------------------------------------------------------ send

    def send(
        self,
        engine: Any,
        ids: np.ndarray,
        action_bytes: np.ndarray,
        starts: np.ndarray,
        seeds: list | None,
        go_on: bool,
        start_indices: Callable[[np.ndarray], np.ndarray],
    ) -> None:
        """Sends ``ids``: a step, or where ``starts`` says a new episode (a reset from ``start_indices``, or with
        ``go_on`` a lane whose game goes on after a lost life, kept as it stands)."""
        n = self.num_envs
        indices = None
        if starts.any():
            mask = np.zeros(n, np.bool_)
            mask[ids[starts]] = True
            kept = self._book.goes_on(mask) if go_on else np.zeros(n, np.bool_)
            lane_indices = start_indices(mask & ~kept)
            lane_indices[kept] = KEEP_LANE
            indices = np.ascontiguousarray(lane_indices[ids])
        if self.batch_size < n and self.ring is None:
            rows = self.batch_size * -(-n // self.batch_size)
            self.ring = np.zeros((rows, *self._obs.shape[1:]), np.uint8)
        flying = int(self.in_flight.sum())
        self.journal = ("send", ids, starts, flying)
        try:
            engine.step_send(
                ids,
                action_bytes,
                self._obs,
                self.ring,
                np.ascontiguousarray(starts) if starts.any() else None,
                indices,
                None if seeds is None else [seeds[i] for i in ids],
            )
        except Exception:
            self.journal = None  # refused: nothing was sent
            raise
        self._mark_sent(ids, starts)
        self.journal = None

    def _mark_sent(self, ids: np.ndarray, starts: np.ndarray) -> None:
        self.in_flight[ids] = True
        self._sent_start[ids] = starts
        self._sent_count = self._received_count + int(self.in_flight.sum())

    # ------------------------------------------------------------------ receive

    def recv(self, engine: Any, copy: bool, full_batch: FullBatch) -> Any:
        """The first ``batch_size`` lanes to finish, booked (``full_batch`` makes the result of every lane)."""
        if self.undelivered is not None:
            result, self.undelivered = self.undelivered, None
            return result
        outputs = self.recv_outputs
        outputs[0].fill(np.nan)  # rewards the engine has not written are NaN (see recover)
        self.journal = ("recv", self._received_count)
        try:
            engine.step_recv_into(
                self._recv_ids,
                *outputs,
                extra_info=self._recv_extra if self._extra_layout else None,
                ram=self._recv_ram,
            )
        except Exception:
            self.journal = None  # refused: nothing was received
            raise
        result = self._book_recv(self.journal[1], copy, full_batch)
        self.journal = None
        return result

    def _book_recv(self, received: int, copy: bool, full_batch: FullBatch) -> Any:
        """Books the episodes of the lanes a receive returned and builds its result (journal "recv")."""
        n, b = self.num_envs, self.batch_size
        book = self._book
        outputs = self.recv_outputs
        ids = self._recv_ids.copy()
        rewards, terminated, truncated = outputs[0].copy(), outputs[1].copy(), outputs[2].copy()
        values = [array.copy() for array in outputs[3:]]
        ram = None if self._recv_ram is None else self._recv_ram.copy()
        lanes: Any = ids
        if b == n:  # every lane came back: lane order, as a synchronous step
            order = np.argsort(ids, kind="stable")
            rewards, terminated, truncated = rewards[order], terminated[order], truncated[order]
            values = [value[order] for value in values]
            ram = None if ram is None else ram[order]
            lanes = slice(None)
        started = self._sent_start[ids] if b < n else self._sent_start.copy()
        lives = values[self._info_names.index("lives")]
        outcome = book.outcome(lanes, ~started, started, terminated, truncated, lives, ram)
        self.journal = ("commit", outcome)
        book.commit(outcome)
        self.in_flight[ids] = False
        self._received_count = received + b
        terminated, truncated = outcome.terminated, outcome.truncated
        if b == n:
            self.journal = None  # booked: what follows is the environment's own step result
            return full_batch(rewards, terminated, truncated, values)
        obs = self._ring_rows(received, copy)
        info: dict[str, Any] = dict(zip(self._info_names, values))
        info.update((name, np.ones(b, np.bool_)) for name in self._mask_names)
        if book.progress_info:
            info.update(book.progress_of(ids))
        for name, _, offset, count, dtype in self._extra_layout:
            column = self._recv_extra[:, offset] if count == 1 else self._recv_extra[:, offset : offset + count]
            info[name] = column.astype(dtype)
        info["env_id"] = ids
        return obs, rewards, terminated, truncated, info

    def _ring_rows(self, received: int, copy: bool) -> np.ndarray:
        """The observations of the batch whose first lane was the ``received``-th to finish."""
        ring = self.ring
        assert ring is not None
        b = self.batch_size
        row = received % len(ring)
        if row + b <= len(ring):
            obs = ring[row : row + b]
            return obs.copy() if copy else obs
        # After a cancel the batch may wrap around the end of the ring.
        return ring.take(np.arange(row, row + b) % len(ring), axis=0)

    # ------------------------------------------------------------------ cancel and catch-up

    def cancel(self, engine: Any) -> None:
        """Finishes the lanes in flight and drops their results (their lanes keep their new state).

        Their results were never seen: the next step of such a lane is a
        reset, as after an ended episode. So for a batch a cut-short recv()
        had not delivered yet.
        """
        if self.undelivered is not None:
            self._book.needs_reset[self.undelivered[4]["env_id"]] = True
            self.undelivered = None
        if not self.in_flight.any():
            return
        self.journal = ("cancel",)
        engine.step_cancel()
        self._mark_cancelled()
        self.journal = None

    def _mark_cancelled(self) -> None:
        lanes = np.flatnonzero(self.in_flight)
        self._book.needs_reset[lanes] = True
        self.in_flight[lanes] = False
        self._received_count = self._sent_count

    def recover(self, engine: Any, copy: bool, full_batch: FullBatch) -> None:
        """Catches up on a send, receive or cancel whose bookkeeping was cut short (Ctrl-C).

        A send or a receive the engine ran is booked as if nothing had
        happened (the results of a cut receive come back from the next
        :meth:`recv`).
        """
        journal = self.journal
        if journal is None:
            return
        kind = journal[0]
        if kind == "commit":
            self._book.commit(journal[1])
        elif kind == "send":
            _, ids, starts, flying = journal
            if engine.step_in_flight() == flying + len(ids):
                self._mark_sent(ids, starts)
        elif kind == "recv":
            if not np.isnan(self.recv_outputs[0]).any():
                self.undelivered = self._book_recv(journal[1], copy, full_batch)
        elif kind == "cancel":
            if engine.step_in_flight() == 0:
                self._mark_cancelled()
        self.journal = None
