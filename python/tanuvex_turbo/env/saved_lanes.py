"""Saved lanes: clones (portable bytes), saves (objects restorable at once) and their decoding.

:class:`LaneSaver` is the part of an environment that turns its lanes into
clones or saves and back into the engine's live snapshots, refusing any
damaged or foreign entry before a lane changes.

:meth:`TurboVectorEnv.save_states <tanuvex_turbo.env.vector_env.TurboVectorEnv.save_states>`
returns :class:`SavedLane` objects. Each holds the engine's live snapshot of
the lane, so restoring it into the environment that saved it copies the lane
back without decoding anything, as often as wanted. :meth:`SavedLane.to_bytes`
gives the checked, compressed form of :mod:`tanuvex_turbo.game.lane_states`
(made once, on the first call), which any environment of the same
observation configuration restores, in this process or another, and which
pickling uses. In an observation-free environment (``observations=False``) a saved lane
carries one byte of observation besides the console.
"""

from __future__ import annotations

from collections.abc import Sequence
from typing import Any

import numpy as np

from tanuvex_turbo.game.lane_states import lane_state_payloads, pack_lane_state, unpack_lane_state

__all__ = ["LaneSaver", "SavedLane"]


class SavedLane:
    """One saved lane: its live snapshot (for its own environment) and, on demand, its portable bytes."""

    __slots__ = ("_snapshot", "_owner", "_fingerprint", "_bytes")

    def __init__(self, snapshot: Any, owner: Any, fingerprint: bytes) -> None:
        self._snapshot = snapshot
        self._owner = owner
        self._fingerprint = fingerprint  # the observation configuration it was saved under
        self._bytes: bytes | None = None

    def to_bytes(self) -> bytes:
        """The checked, compressed bytes of this lane (what ``clone_states`` returns)."""
        if self._bytes is None:
            self._bytes = pack_lane_state(self._snapshot.to_bytes(), self._fingerprint)
        return self._bytes

    def snapshot_for(self, owner: object) -> Any:
        """The live snapshot when the environment whose token is ``owner`` saved it, else None."""
        return self._snapshot if owner is self._owner else None

    @property
    def nbytes(self) -> int:
        """Memory held: the live snapshot, plus the bytes once made."""
        return int(self._snapshot.nbytes) + (len(self._bytes) if self._bytes is not None else 0)

    def __bytes__(self) -> bytes:
        return self.to_bytes()

    def __reduce__(self) -> tuple[Any, ...]:
        return (bytes, (self.to_bytes(),))

    def __repr__(self) -> str:
        return f"SavedLane(nbytes={self.nbytes})"


class LaneSaver:
    """Clones, saves and decodes the lanes of one environment of ``num_envs`` lanes.

    ``fingerprint`` tags its observation configuration (other environments
    restore its clones only under the same one), ``lane_obs_size`` is the
    bytes of one lane's observation. The engine is given to every call: it
    stays the environment's.
    """

    def __init__(self, num_envs: int, lane_obs_size: int, fingerprint: bytes) -> None:
        self.num_envs = num_envs
        self.lane_obs_size = lane_obs_size
        self.fingerprint = fingerprint
        self.token = object()  # identifies this environment's saved lanes

    def clone(self, engine: Any, obs: np.ndarray, lanes: np.ndarray) -> list[bytes | None]:
        """The portable bytes of the lanes of ``lanes``, None for the others."""
        snapshots = engine.capture_snapshots(obs, lanes)
        fingerprint = self.fingerprint
        return [
            None if snapshot is None else pack_lane_state(snapshot.to_bytes(), fingerprint) for snapshot in snapshots
        ]

    def save(self, engine: Any, obs: np.ndarray, lanes: np.ndarray) -> list[SavedLane | None]:
        """The lanes of ``lanes`` as :class:`SavedLane` objects, None for the others."""
        snapshots = engine.capture_snapshots(obs, lanes)
        return [
            None if snapshot is None else SavedLane(snapshot, self.token, self.fingerprint) for snapshot in snapshots
        ]

    def decode(self, engine: Any, states: Any, first_lane: int = 0) -> tuple[np.ndarray, list[Any]]:
        """The lanes given in ``states`` and their live snapshots; refuses any damaged entry, changing nothing.

        ``first_lane``: the number of lane 0 in messages (a Ray shard's first lane).
        """
        live: list[Any] = [None] * self.num_envs
        if isinstance(states, Sequence) and not isinstance(states, (str, bytes, bytearray)):
            states = list(states)
            if len(states) != self.num_envs:
                return self._decode_payloads(engine, states, first_lane)  # refused with the length message
            for lane, state in enumerate(states):
                if isinstance(state, SavedLane):
                    live[lane] = state.snapshot_for(self.token)
                    states[lane] = None if live[lane] is not None else state.to_bytes()
        if all(state is None for state in live):
            return self._decode_payloads(engine, states, first_lane)
        if all(state is None for state in states):
            return np.array([state is not None for state in live], np.bool_), live
        mask, decoded = self._decode_payloads(engine, states, first_lane)
        mask |= np.array([state is not None for state in live], np.bool_)
        return mask, [own if own is not None else other for own, other in zip(live, decoded)]

    def _decode_payloads(self, engine: Any, states: Any, first_lane: int) -> tuple[np.ndarray, list[Any]]:
        payloads = lane_state_payloads(states, self.num_envs)
        envelopes = [
            None if blob is None else unpack_lane_state(blob, first_lane + lane, self.lane_obs_size, self.fingerprint)
            for lane, blob in enumerate(payloads)
        ]
        mask = np.array([blob is not None for blob in payloads], np.bool_)
        return mask, engine.decode_snapshots(envelopes)
