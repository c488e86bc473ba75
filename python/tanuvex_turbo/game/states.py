"""Start states: reading state images from files and building the state catalog.

A start state is a state image (the chunked console-state format the engine
loads). On disk it is usually gzip-compressed with the suffix ``.state``; raw
images are accepted too, the two being told apart by the gzip magic bytes. A
state read from a file is named after the file: its name without the
directory, without a final ``.gz`` and without its last suffix, so both
``states/1-1.state`` and ``states/1-1.state.gz`` are named ``1-1``.

:func:`load_catalog` turns the forms a caller may pass into the two lists the
engine's constructor takes (``state_catalog_data``, ``state_catalog_names``).
"""

from __future__ import annotations

import errno
import gzip
import os
import pathlib
import stat
import struct
import zlib
from collections.abc import Mapping, Sequence
from typing import Union

from tanuvex_turbo.game.cartridge import INES_MAGIC, read_at_most

__all__ = [
    "GZIP_MAGIC",
    "MAX_STATE_SIZE",
    "StatesSource",
    "load_catalog",
    "read_state_file",
    "state_image",
    "state_name",
    "write_state_file",
]

#: First two bytes of a gzip stream.
GZIP_MAGIC = b"\x1f\x8b"

#: Largest state file read, and largest image a gzip-compressed state may unpack to
#: (an image of the chunks the engine reads is about 13 KB).
MAX_STATE_SIZE = 1 << 20

#: The fields the engine needs in a state image: (name, tag, size). A field is
#: found where its 4-byte tag is followed by its size (32 bits, little-endian)
#: and its data fits in the image.
REQUIRED_FIELDS = (
    ("PC", b"PC\0\0", 2),
    ("A", b"A\0\0\0", 1),
    ("X", b"X\0\0\0", 1),
    ("Y", b"Y\0\0\0", 1),
    ("S", b"S\0\0\0", 1),
    ("P", b"P\0\0\0", 1),
    ("RAM", b"RAM\0", 2048),
    ("NTAR", b"NTAR", 2048),
    ("PRAM", b"PRAM", 32),
    ("SPRA", b"SPRA", 256),
    ("PPUR", b"PPUR", 4),
)

# The engine's portable lane snapshot: magic, start-state index, last action, random state, then the
# lengths of the observation and of the console that follow the 29-byte header.
_ENVELOPE_MAGIC = b"VRXVEC1\0"
_ENVELOPE_HEADER = 29
# Its console: magic, done flag, then the core block, whose offsets are below.
_MACHINE_MAGIC = b"NROMGM1\0"
_CORE_MAGIC = b"NROMST1\0"
_MACHINE_SIZE = 4453
_CORE = 9
_CPU = struct.Struct("<BBBBHB")  # a, x, y, sp, pc, p at core offset 8
_RAM, _PPU_REGISTERS, _OAM, _VRAM, _PALETTE = 15, 2068, 2072, 2328, 4376
_ADDRESSES = struct.Struct("<HH")  # ppu.addr, ppu.temp_addr at core offset 4409
_FINE_X = 4418

PathLike = Union[str, "os.PathLike[str]"]
StateSource = Union[PathLike, bytes, bytearray, memoryview]
StatesSource = Union[
    PathLike,
    Mapping[str, StateSource],
    Sequence[Union[PathLike, tuple[str, StateSource]]],
]


def state_name(path: PathLike) -> str:
    """The catalog name of a state file: its file name without ``.gz`` and without the last suffix."""
    name = pathlib.Path(path).name
    if name.endswith(".gz"):
        name = name[: -len(".gz")]
    stem = pathlib.PurePath(name).stem
    return stem or name


def decode_state_bytes(data: bytes | bytearray | memoryview) -> bytes:
    """Returns a state image, decompressing it first when it is gzip data."""
    data = bytes(data)
    if data[:2] != GZIP_MAGIC:
        return data
    image = bytearray()
    rest = data
    while rest[:2] == GZIP_MAGIC:  # one gzip member after the other
        inflater = zlib.decompressobj(16 + zlib.MAX_WBITS)
        try:
            image += inflater.decompress(rest, MAX_STATE_SIZE + 1 - len(image))
        except zlib.error as error:
            raise ValueError(f"corrupt gzip-compressed state image: {error}") from None
        if len(image) > MAX_STATE_SIZE:
            raise ValueError(f"the state image unpacks to more than {MAX_STATE_SIZE} bytes")
        if not inflater.eof:
            raise ValueError("corrupt gzip-compressed state image: the data ends inside the stream")
        rest = inflater.unused_data
    if rest.strip(b"\0"):
        raise ValueError("corrupt gzip-compressed state image: data follows the compressed stream")
    return bytes(image)


def read_state_file(path: PathLike) -> bytes:
    """Reads one state image file, gzip-compressed or raw, and returns the raw image.

    Raises:
        FileNotFoundError: the file does not exist.
        OSError: the file cannot be read, or holds more than MAX_STATE_SIZE bytes (errno EFBIG).
        ValueError: the file is gzip data that cannot be decompressed, empty, a cartridge image, or
            lacks a field the engine needs (the message names the file).
    """
    path = pathlib.Path(path)
    try:
        data = decode_state_bytes(_read_bounded(path))
    except ValueError as error:
        raise ValueError(f"{path}: {error}") from None
    if not data:
        raise ValueError(f"{path}: the state image is empty")
    if data.startswith(INES_MAGIC):
        raise ValueError(f"{path} is a cartridge image, not a start state")
    missing = _missing_fields(data)
    if len(missing) == len(REQUIRED_FIELDS):
        names = ", ".join(name for name, _, _ in REQUIRED_FIELDS)
        raise ValueError(f"{path} is not a state image: it holds none of the fields of one ({names})")
    if missing:
        name, size = missing[0]
        raise ValueError(f"{path} is not a start state: state field {name} with size {size} was not found")
    return data


def _missing_fields(image: bytes) -> list[tuple[str, int]]:
    """(name, size) of each of the REQUIRED_FIELDS the engine would not find in ``image``, in the engine's order
    (it refuses the image naming the first)."""
    missing = []
    for name, tag, size in REQUIRED_FIELDS:
        marker = tag + size.to_bytes(4, "little")
        at = image.find(marker)  # the first one has the most room after it
        if at < 0 or len(image) - (at + len(marker)) < size:
            missing.append((name, size))
    return missing


def _read_bounded(path: pathlib.Path) -> bytes:
    """The file's bytes: a FIFO without a writer reads as empty instead of blocking, and a file or device
    longer than MAX_STATE_SIZE raises OSError (EFBIG) after reading at most one byte past it."""
    data = read_at_most(path, MAX_STATE_SIZE)
    if len(data) > MAX_STATE_SIZE:
        raise OSError(errno.EFBIG, f"state file is larger than {MAX_STATE_SIZE} bytes", str(path))
    return data


def _source_bytes(source: StateSource) -> bytes:
    if isinstance(source, (bytes, bytearray, memoryview)):
        return decode_state_bytes(source)
    return read_state_file(source)


def load_catalog(source: StatesSource | None) -> tuple[list[bytes], list[str]]:
    """Builds ``(state_catalog_data, state_catalog_names)`` from the forms accepted by the environments.

    ``source`` may be:

    - ``None``: no catalog (lanes start from the console's power-on state);
    - a directory: every ``*.state`` and ``*.state.gz`` file in it, sorted by name;
    - a single file path;
    - a mapping ``name -> path or bytes``, in the mapping's order;
    - a sequence whose items are file paths or ``(name, path or bytes)`` pairs.

    Bytes may be gzip-compressed or raw. Names must be unique.

    Raises:
        FileNotFoundError: a named file or directory does not exist.
        ValueError: an empty directory, duplicate names, corrupt gzip data.
        TypeError: an item of an unsupported type.
    """
    if source is None:
        return [], []
    entries: list[tuple[str, bytes]] = []
    if isinstance(source, (str, os.PathLike)):
        path = pathlib.Path(source)
        if path.is_dir():
            files = sorted(p for p in path.iterdir() if p.is_file() and p.name.endswith((".state", ".state.gz")))
            if not files:
                raise ValueError(f"no *.state files in {path}")
            entries = [(state_name(p), read_state_file(p)) for p in files]
        elif path.exists():
            entries = [(state_name(path), read_state_file(path))]
        else:
            raise FileNotFoundError(f"no such state file or directory: {path}")
    elif isinstance(source, Mapping):
        entries = [(str(name), _source_bytes(item)) for name, item in source.items()]
    elif isinstance(source, (bytes, bytearray, memoryview)):
        raise TypeError("pass state image bytes as a mapping {name: bytes} or as (name, bytes) pairs")
    else:
        for item in source:
            if isinstance(item, (str, os.PathLike)):
                entries.append((state_name(item), read_state_file(item)))
            elif isinstance(item, tuple) and len(item) == 2 and isinstance(item[0], str):
                entries.append((item[0], _source_bytes(item[1])))
            else:
                raise TypeError(
                    f"a start state is a file path or a (name, path or bytes) pair, got {type(item).__name__}"
                )
    names = [name for name, _ in entries]
    seen = set()
    for name in names:
        if name in seen:
            raise ValueError(f"two start states are named {name!r}")
        seen.add(name)
    for name, data in entries:
        if not data:
            raise ValueError(f"start state {name!r} is empty")
    return [data for _, data in entries], names


def _chunk(tag: bytes, data: bytes) -> bytes:
    return tag + struct.pack("<I", len(data)) + data


def state_image(lane_state: bytes | bytearray | memoryview) -> bytes:
    """The state image of a saved lane (the bytes of ``clone_states``, of any configuration, or the engine's own
    snapshot bytes).

    The image holds what the engine's loader reads: the CPU registers, work RAM,
    nametable RAM, palette, sprite memory, the four PPU registers, the PPU
    address latches and the fine horizontal scroll. The loader starts the
    console at the top of a frame and then runs that frame with no buttons
    pressed, so a lane loaded from the image is where the saved lane is after
    one more frame with no buttons pressed. What an image cannot hold (the
    controller, the PPU's read buffer, the few dots by which the saved lane's
    last instruction ran past the end of its frame) the loader sets to its own
    values.

    Raises:
        ValueError: the bytes are not a saved lane (damaged, or not a snapshot at all).
    """
    from tanuvex_turbo.game.lane_states import unpack_lane_state

    envelope = unpack_lane_state(lane_state, 0, 1 << 24, None)
    if len(envelope) < _ENVELOPE_HEADER or not envelope.startswith(_ENVELOPE_MAGIC):
        raise ValueError("not a saved lane: the engine's snapshot header is missing")
    obs_len, machine_len = struct.unpack_from("<II", envelope, 21)
    machine = envelope[_ENVELOPE_HEADER + obs_len :]
    if machine_len != _MACHINE_SIZE or len(machine) != _MACHINE_SIZE or not machine.startswith(_MACHINE_MAGIC):
        raise ValueError("not a saved lane: its console is not where the snapshot's header puts it")
    core = machine[_CORE:]
    if not core.startswith(_CORE_MAGIC):
        raise ValueError("not a saved lane: its console is damaged")
    a, x, y, sp, pc, p = _CPU.unpack_from(core, 8)
    addr, temp_addr = _ADDRESSES.unpack_from(core, 4409)
    return b"".join(
        [
            _chunk(b"PC\0\0", struct.pack("<H", pc)),
            _chunk(b"A\0\0\0", bytes([a])),
            _chunk(b"X\0\0\0", bytes([x])),
            _chunk(b"Y\0\0\0", bytes([y])),
            _chunk(b"S\0\0\0", bytes([sp])),
            _chunk(b"P\0\0\0", bytes([p])),
            _chunk(b"RAM\0", core[_RAM : _RAM + 2048]),
            _chunk(b"NTAR", core[_VRAM : _VRAM + 2048]),
            _chunk(b"PRAM", core[_PALETTE : _PALETTE + 32]),
            _chunk(b"SPRA", core[_OAM : _OAM + 256]),
            _chunk(b"PPUR", core[_PPU_REGISTERS : _PPU_REGISTERS + 4]),
            _chunk(b"RADD", struct.pack("<H", addr)),
            _chunk(b"TADD", struct.pack("<H", temp_addr)),
            _chunk(b"XOFF", core[_FINE_X : _FINE_X + 1]),
        ]
    )


def write_state_file(path: PathLike, image: bytes) -> None:
    """Writes a state image gzip-compressed, as start states are kept (the same image gives the same file).

    The file is written next to ``path`` and then moved over it, so whatever ``path`` held (a FIFO,
    say) is replaced without being opened, and a reader never sees half a file.
    """
    target = os.fspath(path)
    partial = f"{target}.partial"
    # O_NONBLOCK: a FIFO of that name without a reader fails at once (ENXIO) instead of blocking.
    fd = os.open(partial, os.O_WRONLY | os.O_CREAT | os.O_TRUNC | getattr(os, "O_NONBLOCK", 0), 0o666)
    with os.fdopen(fd, "wb") as handle:
        if not stat.S_ISREG(os.fstat(fd).st_mode):
            raise OSError(errno.EEXIST, "a file that is not a regular file is in the way", partial)
        handle.write(gzip.compress(image, mtime=0))
    os.replace(partial, target)
