"""The asynchronous lanes of the Gymnasium class: ``send``, ``recv`` and what survives Ctrl-C.

The engine steps, resets and books every lane's episode itself; this class
keeps only what the caller sent: which lanes are in flight, how many lanes
were received (the ring row of the c-th lane to finish is c modulo the
ring's rows), and the arrays one receive fills. A receive is one engine
call; its batch stays in those arrays until it has been returned, so a
receive cut short by Ctrl-C anywhere after the engine returned gives the
same batch from the next :meth:`AsyncLanes.recv`. A send cut short after
the engine took it is found by asking the engine how many lanes it holds.
"""

from __future__ import annotations

from collections.abc import Callable
from typing import Any

import numpy as np

from tanuvex_turbo.game.fields import step_outputs

__all__ = ["AsyncLanes"]

#: A receive's state once the call's result has been handed over.
_HANDED = {"idle": "idle", "received": "received", "built": "idle"}

#: Builds a receive's result from (ids, rewards, terminated, truncated, values, progress, observations).
Deliver = Callable[..., Any]


class AsyncLanes:
    """Lanes sent and not yet received, and the receive's arrays, of one environment."""

    def __init__(self, num_envs: int, batch_size: int, obs: np.ndarray, extra_columns: int, progress: bool) -> None:
        n, b = num_envs, batch_size
        self.num_envs, self.batch_size = n, b
        self._obs = obs  # the environment's observation array: the engine's lane state for lanes in flight
        # Finished lanes' observations, in finishing order (a row per lane, batch_size rows per recv).
        self.ring = np.zeros((b * -(-n // b), *obs.shape[1:]), np.uint8) if b < n else None
        self.in_flight = np.zeros(n, np.bool_)
        self.received = 0  # lanes received (or cancelled) so far, as the engine counts them
        self._batch_start = 0  # `received` when the batch in recv_ids was received
        self.recv_ids = np.full(b, -1, np.int32)
        self.recv_outputs = step_outputs(b)
        self.recv_extra = np.zeros((b, extra_columns), np.int64) if extra_columns else None
        self.recv_progress = (np.zeros(b, np.bool_), np.zeros(b, np.bool_)) if progress else (None, None)
        # A receive's batch, in recv_ids: "received" by the engine (not returned yet, after Ctrl-C), "built" into
        # this call's result, or "idle" once returned.
        self.state = "idle"
        # Returns a call's result, marking a batch built by this call returned, on one line (see one_caller).
        self.hand_over = lambda result: (setattr(self, "state", _HANDED[self.state]), result)[1]  # type: ignore[func-returns-value]
        # A send the engine may have taken when Ctrl-C came: (ids, lanes in flight before it).
        self._sending: tuple[np.ndarray, int] | None = None

    def undelivered(self) -> bool:
        return self.state != "idle" and self.recv_ids[0] >= 0

    def enter(self) -> None:
        """A new call: a batch built by an earlier call that did not return it (Ctrl-C) is to be built again."""
        if self.state == "built":
            self.state = "received"

    def busy(self) -> np.ndarray:
        """Lanes that cannot be sent: in flight, or received by a cut-short recv() not yet returned."""
        if not self.undelivered():
            return self.in_flight
        busy = self.in_flight.copy()
        busy[self.recv_ids] = True
        return busy

    def send_ids(self, env_ids: Any, actions: Any) -> np.ndarray:
        """``env_ids`` checked (None: the first ``len(actions)`` lanes), as int32."""
        n = self.num_envs
        ids = np.arange(np.asarray(actions).size, dtype=np.int64) if env_ids is None else np.asarray(env_ids)
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
        if not self.undelivered() and flying + len(ids) < self.batch_size:
            raise ValueError(
                f"step() sends {len(ids)} lanes but recv() needs {self.batch_size} in flight ({flying} are)"
            )
        return ids

    def settle(self, engine: Any) -> None:
        """Books a send that Ctrl-C cut short after the engine took it."""
        if self._sending is not None:
            ids, flying = self._sending
            if engine.step_in_flight() == flying + len(ids):
                self.in_flight[ids] = True
            self._sending = None

    def send(self, engine: Any, ids: np.ndarray, action_bytes: np.ndarray, resets: tuple | None = None) -> None:
        """Sends ``ids``: a step (the engine resets a lane whose episode ended), or with ``resets`` =
        ``(state indices, seeds, go_on)`` a reset of every lane sent."""
        self.settle(engine)
        self._sending = (ids, int(self.in_flight.sum()))
        if resets is None:
            engine.step_send(ids, action_bytes, self._obs, self.ring)
        else:
            indices, seeds, go_on = resets
            mask = np.ones(len(ids), np.bool_)
            engine.step_send(ids, action_bytes, self._obs, self.ring, mask, indices, seeds, go_on)
        self.in_flight[ids] = True
        self._sending = None

    def recv(self, engine: Any, deliver: Deliver) -> Any:
        """The first ``batch_size`` lanes to finish: one engine call, then ``deliver`` builds the result."""
        self.settle(engine)
        if not self.undelivered():
            self.recv_ids.fill(-1)
            self._batch_start = self.received
            self.state = "received"
            level_end, dying = self.recv_progress
            engine.step_recv_into(
                self.recv_ids, *self.recv_outputs, extra_info=self.recv_extra, level_end=level_end, dying=dying
            )
        ids = self.recv_ids
        result = deliver(ids, self._ring_rows())
        # Plain assignments: a recv() cut short before its result is handed over delivers the same batch again.
        self.in_flight[ids] = False
        self.received = self._batch_start + self.batch_size
        self.state = "built"
        return result

    def _ring_rows(self) -> np.ndarray | None:
        """The observations of the batch whose first lane was the ``received``-th to finish."""
        ring = self.ring
        if ring is None:
            return None
        b = self.batch_size
        row = self._batch_start % len(ring)
        if row + b <= len(ring):
            return ring[row : row + b]
        # After a cancel the batch may wrap around the end of the ring.
        return ring.take(np.arange(row, row + b) % len(ring), axis=0)

    def cancel(self, engine: Any) -> None:
        """Finishes the lanes in flight and drops their results (their lanes keep their new state).

        Their results were never seen: the engine starts a new episode on
        them at their next step, as after an ended episode; so for a batch
        a cut-short recv() had not returned.
        """
        self.settle(engine)
        if self.undelivered():
            mask = np.zeros(self.num_envs, np.bool_)
            mask[self.recv_ids] = True
            engine.mark_ended(mask)
            self.in_flight[self.recv_ids] = False
            self.received = self._batch_start + self.batch_size
            self.state = "idle"
        if not self.in_flight.any():
            return
        engine.step_cancel()
        engine.mark_ended(self.in_flight)
        self.received += int(self.in_flight.sum())
        self.in_flight[:] = False
