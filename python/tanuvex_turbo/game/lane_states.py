"""Saved lane states: the engine's portable snapshot, compressed, checksummed and tagged.

``clone_states`` of the Gymnasium and Ray classes, and ``SavedLane.to_bytes``,
return each lane in the checked form below. ``restore_states`` accepts it, the
checked form of the first version, and, unchanged, the engine's own
uncompressed envelope (what ``ZuboLiveSnapshot.to_bytes()`` writes).

What is checked, by form:

- checked form, version 2 (written now): the checksum, then the observation
  fingerprint (:func:`observation_fingerprint`), then the engine's own checks
  of the envelope inside. A damaged blob, or one saved under another
  observation configuration, is refused even where the observation sizes
  agree, before any lane changes.
- checked form, version 1 (written before the fingerprint existed, in saved
  archives for instance): the checksum and the engine's checks; it carries no
  fingerprint, so the configuration it was saved under is not checked.
- the engine's envelope: the engine's checks only (its header, an observation
  of this environment's length, a console that decodes, a start-state index
  inside the catalog). It carries neither a checksum nor the configuration, so
  nothing in Python can check either: a changed byte of the console or of the
  observation stack, or a lane of another configuration with the same
  observation size, is restored as given. Use it only for bytes made in this
  process by an environment of this configuration.

Checked form, integers little-endian:

====== ====== ==========================================================
offset size   content
====== ====== ==========================================================
0      8      ``b"TTLANE"``, the version (``b"2"``), ``b"\\x00"``: :data:`MAGIC`
8      4      length of the engine envelope inside (unsigned 32)
12     8      observation fingerprint of the environment that saved it
20     16     BLAKE2b-128 digest of bytes 0..19 and of the zlib stream
36     rest   the engine envelope, zlib-compressed (level 1)
====== ====== ==========================================================

Version 1 (:data:`MAGIC_V1`) has no fingerprint: its digest, of bytes 0..11
and the stream, is at offset 12 and the stream at 28. The digest is compared
before anything is decompressed, and a blob naming a version this module does
not know is refused, not taken for an engine envelope.
"""

from __future__ import annotations

import hashlib
import struct
import zlib
from collections.abc import Sequence
from typing import Any, Union

__all__ = [
    "MAGIC",
    "MAGIC_V1",
    "LaneState",
    "lane_state_payloads",
    "observation_fingerprint",
    "pack_lane_state",
    "unpack_lane_state",
]

_PREFIX = b"TTLANE"
#: First eight bytes of a checked lane state of the version written now.
MAGIC = _PREFIX + b"2\x00"
#: First eight bytes of a checked lane state of version 1 (no fingerprint), still read.
MAGIC_V1 = _PREFIX + b"1\x00"
_DIGEST_SIZE = 16
_FINGERPRINT_SIZE = 8
# Magic, envelope length, [fingerprint,] digest.
_HEADERS = {MAGIC: struct.Struct("<8sI8s16s"), MAGIC_V1: struct.Struct("<8sI16s")}
_LEVEL = 1
# Room for the console inside an envelope, beyond its observation bytes.
_MACHINE_ROOM = 65536

# Everything that shapes a lane's observation stack, with the engine's defaults.
_OBSERVATION_DEFAULTS: dict[str, Any] = {
    "frame_skip": 4,
    "grayscale": True,
    "frame_stack": 4,
    "frame_maxpool": False,
    "crop_top": 0,
    "crop_bottom": 0,
    "crop_left": 0,
    "crop_right": 0,
    "crop_mode": "remove",
    "crop_fill": 0,
    "resize_width": 84,
    "resize_height": 84,
    "resize_algorithm": "area",
    "render_observations": True,
}

LaneState = Union[bytes, bytearray, memoryview]


def observation_fingerprint(**config: Any) -> bytes:
    """Eight bytes that differ between engine configurations whose observation stacks differ.

    ``config``: the engine's keyword arguments that shape observations (frame
    skip, colour, stack, max-pool, crop, resize, rendering, and ``obs_type``
    as the engine resolved it); the others are ignored, and one left out takes
    the engine's default. The observation types that draw nothing (``"ram"``,
    ``"tiles"``) are shaped by the frame skip, stack and rendering alone; the
    pictures keep the fingerprints they had before observation types existed.
    """
    suffix = ""
    obs_type = config.get("obs_type")
    if obs_type in ("ram", "tiles"):
        config = {name: config[name] for name in ("frame_skip", "frame_stack", "render_observations") if name in config}
        suffix = f";obs_type={obs_type}"
    # Each value in its default's type: 1 and True, or numpy and Python integers, give the same text.
    text = ";".join(
        f"{name}={type(default)(config.get(name, default))}" for name, default in _OBSERVATION_DEFAULTS.items()
    )
    text += suffix
    return hashlib.blake2b(text.encode(), digest_size=_FINGERPRINT_SIZE).digest()


def _digest(head: bytes, stream: bytes | memoryview) -> bytes:
    digest = hashlib.blake2b(head, digest_size=_DIGEST_SIZE)
    digest.update(stream)
    return digest.digest()


def pack_lane_state(envelope: bytes, fingerprint: bytes) -> bytes:
    """The checked, compressed form of one engine envelope saved under ``fingerprint``."""
    if len(fingerprint) != _FINGERPRINT_SIZE:
        raise ValueError(f"fingerprint must be {_FINGERPRINT_SIZE} bytes, got {len(fingerprint)}")
    stream = zlib.compress(envelope, _LEVEL)
    head = MAGIC + struct.pack("<I", len(envelope)) + bytes(fingerprint)
    return head + _digest(head, stream) + stream


def unpack_lane_state(blob: LaneState, lane: int, lane_obs_size: int, fingerprint: bytes | None) -> bytes:
    """The engine envelope inside ``blob`` (returned as is when it is not in a checked form).

    ``lane_obs_size`` bounds what the blob may unpack to: one lane observation
    of this environment and room for the console. ``fingerprint``: this
    environment's :func:`observation_fingerprint`, or None to take a lane of any configuration.

    Raises:
        ValueError: a checked blob that is truncated, damaged, too large, of an
            unknown version or saved under another observation configuration.
    """
    data = bytes(blob)
    if not data.startswith(_PREFIX):
        return data
    header = _HEADERS.get(data[:8])
    if header is None:
        raise ValueError(f"saved state of lane {lane} has an unknown version {data[6:8]!r}: {data[:8]!r}")
    if len(data) < header.size:
        raise ValueError(f"saved state of lane {lane} is truncated: {len(data)} bytes")
    _, length, *tags, digest = header.unpack_from(data)
    stream = memoryview(data)[header.size :]
    if _digest(data[: header.size - _DIGEST_SIZE], stream) != digest:
        raise ValueError(f"saved state of lane {lane} is damaged: its checksum does not match")
    if tags and fingerprint is not None and tags[0] != fingerprint:
        raise ValueError(
            f"saved state of lane {lane} was saved under another observation configuration (frame skip, colour, "
            "frame stack, max-pool, crop, resize or rendering differ): its frame stack would not fit this environment"
        )
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
