"""Saved lane states: the engine's portable snapshot, compressed and checksummed.

``clone_states`` of the Gymnasium and Ray classes returns each lane in the
checked form below; ``restore_states`` accepts it and, unchanged, the engine's
own uncompressed envelope (what ``ZuboLiveSnapshot.to_bytes()`` writes, and
what ``clone_states`` returned before the checked form existed). The engine's
envelope has no checksum of its own: a damaged one is refused only where its
fields do not decode.

Checked form, integers little-endian:

====== ====== ==========================================================
offset size   content
====== ====== ==========================================================
0      8      :data:`MAGIC`
8      4      length of the engine envelope inside (unsigned 32)
12     16     BLAKE2b-128 digest of bytes 0..11 and of the zlib stream
28     rest   the engine envelope, zlib-compressed (level 1)
====== ====== ==========================================================

The digest is compared before anything is decompressed, so a damaged blob is
refused with a ValueError before any lane changes.
"""

from __future__ import annotations

import hashlib
import struct
import zlib
from collections.abc import Sequence
from typing import Any, Union

__all__ = ["MAGIC", "LaneState", "lane_state_payloads", "pack_lane_state", "unpack_lane_state"]

#: First eight bytes of a checked, compressed lane state.
MAGIC = b"TTLANE1\x00"
_HEADER = struct.Struct("<8sI16s")
_DIGEST_SIZE = 16
_LEVEL = 1
# Room for the console inside an envelope, beyond its observation bytes.
_MACHINE_ROOM = 65536

LaneState = Union[bytes, bytearray, memoryview]


def _digest(head: bytes, stream: bytes | memoryview) -> bytes:
    digest = hashlib.blake2b(head, digest_size=_DIGEST_SIZE)
    digest.update(stream)
    return digest.digest()


def pack_lane_state(envelope: bytes) -> bytes:
    """The checked, compressed form of one engine envelope."""
    stream = zlib.compress(envelope, _LEVEL)
    head = MAGIC + struct.pack("<I", len(envelope))
    return head + _digest(head, stream) + stream


def unpack_lane_state(blob: LaneState, lane: int, lane_obs_size: int) -> bytes:
    """The engine envelope inside ``blob`` (returned as is when it is not in the checked form).

    ``lane_obs_size`` bounds what the blob may unpack to: one lane observation
    of this environment and room for the console.

    Raises:
        ValueError: a checked blob that is truncated, damaged or too large.
    """
    data = bytes(blob)
    if not data.startswith(MAGIC):
        return data
    if len(data) < _HEADER.size:
        raise ValueError(f"saved state of lane {lane} is truncated: {len(data)} bytes")
    _, length, digest = _HEADER.unpack_from(data)
    stream = memoryview(data)[_HEADER.size :]
    if _digest(data[:12], stream) != digest:
        raise ValueError(f"saved state of lane {lane} is damaged: its checksum does not match")
    limit = lane_obs_size + _MACHINE_ROOM
    if length > limit:
        raise ValueError(
            f"saved state of lane {lane} unpacks to {length} bytes, more than a lane of this environment holds"
        )
    inflater = zlib.decompressobj()
    try:
        envelope = inflater.decompress(stream, max(length, 1))  # 0 would mean no limit
    except zlib.error:
        envelope = b""
    if len(envelope) != length or not inflater.eof or inflater.unconsumed_tail or inflater.unused_data:
        raise ValueError(f"saved state of lane {lane} is damaged: its data does not unpack to {length} bytes")
    return envelope


def lane_state_payloads(states: Any, n: int) -> list[bytes | None]:
    """Checks the shape of a ``restore_states`` argument: ``n`` entries, each bytes-like or None, one at least."""
    if isinstance(states, (bytes, bytearray, memoryview, str)) or not isinstance(states, Sequence):
        raise TypeError(f"states must be a sequence of {n} bytes or None entries, got {type(states).__name__}")
    if len(states) != n:
        raise ValueError(f"states must hold one entry per lane ({n}), got {len(states)}")
    payloads: list[bytes | None] = []
    for lane, state in enumerate(states):
        if state is not None and not isinstance(state, (bytes, bytearray, memoryview)):
            raise TypeError(f"states[{lane}] must be bytes or None, got {type(state).__name__}")
        payloads.append(None if state is None else bytes(state))
    if all(state is None for state in payloads):
        raise ValueError("states must hold at least one snapshot")
    return payloads
