"""Inspecting a cartridge image: is it the supported one, and if not, why not.

The engine accepts exactly one image file, identified by the SHA-256 digest of
all its bytes (:data:`EXPECTED_SHA256`). Copies of the same game often differ
only in the 16-byte iNES header (bytes 7..15 are frequently filled with junk
by old tools, or the mirroring bit is wrong) or in bytes appended after the
pattern data, and some dumps hold the program and pattern data alone, with
no header. :func:`inspect_cartridge` reports the header fields, compares the
digest, and when the digest does not match tries a small set of standard
headers (and the image without trailing bytes) over the same program and
pattern data, or in front of a headerless file's data: if one of them gives
the expected digest, the only problem is the header and
:func:`repaired_image` returns the corrected file contents.
"""

from __future__ import annotations

import dataclasses
import errno
import hashlib
import os
import shlex
import stat
from typing import BinaryIO

__all__ = [
    "EXPECTED_SHA256",
    "INES_MAGIC",
    "CartridgeReport",
    "Header",
    "explain_cartridge_error",
    "inspect_cartridge",
    "parse_header",
    "repaired_image",
]

#: SHA-256 digest (lowercase hex) of the one cartridge image the engine accepts.
EXPECTED_SHA256 = "f61548fdf1670cffefcc4f0b7bdcdd9eaba0c226e3b74f8666071496988248de"

INES_MAGIC = b"NES\x1a"
HEADER_SIZE = 16
TRAINER_SIZE = 512
PRG_BANK = 16384
CHR_BANK = 8192
# Largest file read as a cartridge image (the engine refuses anything longer).
MAX_FILE_SIZE = 65536


@dataclasses.dataclass(frozen=True)
class Header:
    """The fields of an iNES header that the engine reads."""

    magic_ok: bool
    prg_banks: int
    chr_banks: int
    mapper: int
    vertical_mirroring: bool
    trainer: bool
    flags6: int
    flags7: int
    tail: bytes  # header bytes 8..15

    @property
    def expected_size(self) -> int:
        """Bytes the header says the image holds (header, trainer, PRG and CHR data)."""
        return (
            HEADER_SIZE + (TRAINER_SIZE if self.trainer else 0) + self.prg_banks * PRG_BANK + self.chr_banks * CHR_BANK
        )

    def problems(self, size: int) -> list[str]:
        """What the engine's loader would refuse in this header, for an image of ``size`` bytes."""
        found = []
        if not self.magic_ok:
            found.append("the file does not start with the iNES magic bytes 'NES\\x1a'")
            return found
        if self.mapper != 0:
            found.append(f"mapper {self.mapper} (only mapper 0 / NROM is supported)")
        if self.prg_banks not in (1, 2) or self.chr_banks not in (0, 1):
            found.append(
                f"{self.prg_banks} PRG and {self.chr_banks} CHR banks (mapper 0 has 1-2 PRG and 0-1 CHR banks)"
            )
        if size < self.expected_size:
            found.append(f"the file is truncated: the header needs {self.expected_size} bytes, the file has {size}")
        return found


def parse_header(data: bytes) -> Header | None:
    """Decodes the first 16 bytes of an image; None when the image is shorter than a header."""
    if len(data) < HEADER_SIZE:
        return None
    flags6, flags7 = data[6], data[7]
    return Header(
        magic_ok=data[:4] == INES_MAGIC,
        prg_banks=data[4],
        chr_banks=data[5],
        mapper=(flags7 & 0xF0) | (flags6 >> 4),
        vertical_mirroring=bool(flags6 & 1),
        trainer=bool(flags6 & 4),
        flags6=flags6,
        flags7=flags7,
        tail=bytes(data[8:16]),
    )


@dataclasses.dataclass
class CartridgeReport:
    """The outcome of :func:`inspect_cartridge`."""

    path: str
    size: int
    sha256: str
    header: Header | None
    supported: bool
    #: A corrected image (same program and pattern data) whose digest is the expected one, if one was found.
    repair: bytes | None = None
    #: What differs between the file and the repaired image, in words.
    repair_notes: list[str] = dataclasses.field(default_factory=list)

    @property
    def header_problems(self) -> list[str]:
        if self.header is None:
            return ["the file is shorter than the 16-byte iNES header"]
        return self.header.problems(self.size)


def _sha256(data: bytes) -> str:
    return hashlib.sha256(data).hexdigest()


def _candidate_headers(header: Header | None):
    """Standard headers for a mapper-0 image: every bank layout and low flag nibble, clean or original tail.

    ``header`` is the file's own header, or None for a file without one.
    """
    tails = [bytes(8)]
    if header is not None and header.tail != bytes(8):
        tails.append(header.tail)
    flags7_choices = sorted({0, header.flags7 & 0x0F}) if header is not None else [0]
    for prg in (2, 1):
        for chr_ in (1, 0):
            for flags6 in range(16):
                if flags6 & 4:  # a trainer would change the data layout, not just the header
                    continue
                for flags7 in flags7_choices:
                    for tail in tails:
                        yield bytes(INES_MAGIC + bytes((prg, chr_, flags6, flags7)) + tail)


def _find_repair(data: bytes, header: Header | None):
    """Searches standard headers over the image's data for the expected digest.

    A file without the iNES magic is taken as a headerless dump: the
    headers are tried in front of all of its bytes.
    """
    headerless = header is None or not header.magic_ok
    if headerless:
        header, offsets = None, [0]
    else:
        offsets = [HEADER_SIZE]
        if header is not None and header.trainer and len(data) >= HEADER_SIZE + TRAINER_SIZE:
            offsets.append(HEADER_SIZE + TRAINER_SIZE)
    for offset in offsets:
        body = data[offset:]
        for candidate in _candidate_headers(header):
            prg, chr_ = candidate[4], candidate[5]
            needed = prg * PRG_BANK + chr_ * CHR_BANK
            if len(body) < needed:
                continue
            for trimmed in (body, body[:needed]) if len(body) > needed else (body,):
                image = candidate + trimmed
                if _sha256(image) == EXPECTED_SHA256:
                    notes = []
                    if headerless:
                        notes.append(
                            f"the file has no iNES header: the standard {HEADER_SIZE}-byte header must be added"
                        )
                    elif candidate != data[:HEADER_SIZE]:
                        changed = [i for i in range(HEADER_SIZE) if candidate[i] != data[i]]
                        if len(changed) == 1:
                            notes.append(f"header byte {changed[0]} differs")
                        else:
                            notes.append("header bytes " + ", ".join(str(i) for i in changed) + " differ")
                    if offset == HEADER_SIZE + TRAINER_SIZE:
                        notes.append(f"the {TRAINER_SIZE}-byte trainer must be removed")
                    if len(trimmed) < len(body):
                        notes.append(f"{len(body) - len(trimmed)} bytes after the pattern data must be removed")
                    return image, notes
    return None, []


def inspect_cartridge(path: str | os.PathLike[str], *, search_repair: bool = True) -> CartridgeReport:
    """Reads ``path`` and reports whether it is the supported cartridge image.

    When the digest does not match and ``search_repair`` is true, standard
    headers are tried over the file's data (a few hundred SHA-256 digests of a
    small file); a match is returned in ``report.repair``.

    Raises:
        OSError: the file cannot be read (FileNotFoundError when it does not exist),
            or is longer than any cartridge image (errno EFBIG).
    """
    return _inspect(path, search_repair)[0]


def repaired_image(path: str | os.PathLike[str]) -> bytes | None:
    """The corrected contents of ``path`` when only its header or trailing bytes are wrong, else None.

    Returns the file's own bytes when it already is the supported image.
    """
    report, data = _inspect(path, search_repair=True)
    return data if report.supported else report.repair


def _inspect(path: str | os.PathLike[str], search_repair: bool) -> tuple[CartridgeReport, bytes]:
    """The report of :func:`inspect_cartridge` and the bytes it was made from (the file is read once)."""
    data = _read_image(path)
    digest = _sha256(data)
    header = parse_header(data)
    report = CartridgeReport(
        path=os.fspath(path), size=len(data), sha256=digest, header=header, supported=digest == EXPECTED_SHA256
    )
    if not report.supported and search_repair and len(data) >= PRG_BANK:
        report.repair, report.repair_notes = _find_repair(data, header)
    return report, data


def _read_image(path: str | os.PathLike[str]) -> bytes:
    """The file's bytes, read as the engine reads them.

    A FIFO with no writer reads as empty instead of blocking, and a file or
    device longer than any cartridge image raises OSError (EFBIG) after
    reading no more than one byte past the limit.
    """
    data = read_at_most(path, MAX_FILE_SIZE)
    if len(data) > MAX_FILE_SIZE:
        raise OSError(errno.EFBIG, f"ROM is too large: a mapper 0 / NROM image has at most {MAX_FILE_SIZE} bytes")
    return data


def read_at_most(path: str | os.PathLike[str], limit: int) -> bytes:
    """At most ``limit + 1`` bytes of the file (one more than ``limit`` says it is too long).

    Opened as :func:`open_unblocked` opens it.
    """
    with open_unblocked(path) as handle:
        return handle.read(limit + 1)


def open_unblocked(path: str | os.PathLike[str]) -> BinaryIO:
    """The file opened for reading (binary) without waiting for a writer, so a FIFO with none reads as
    empty instead of blocking; a directory raises IsADirectoryError naming the path."""
    fd = os.open(path, os.O_RDONLY | getattr(os, "O_NONBLOCK", 0))
    try:
        if stat.S_ISDIR(os.fstat(fd).st_mode):  # named by its path, not by the descriptor
            raise IsADirectoryError(errno.EISDIR, os.strerror(errno.EISDIR), os.fspath(path))
        os.set_blocking(fd, True)
        return os.fdopen(fd, "rb")
    except BaseException:
        os.close(fd)
        raise


def rom_path_and_source(rom_path: str | os.PathLike[str] | None) -> tuple[str, str]:
    """The cartridge path to open, and where it came from: ``"rom_path"`` or ``"TANUVEX_TURBO_ROM"``.

    ``None`` reads the ``TANUVEX_TURBO_ROM`` environment variable; ValueError
    when it is unset or empty.
    """
    if rom_path is not None:
        return os.fspath(rom_path), "rom_path"
    from_env = os.environ.get("TANUVEX_TURBO_ROM")
    if not from_env:
        raise ValueError("no cartridge image: pass rom_path or set TANUVEX_TURBO_ROM")
    return from_env, "TANUVEX_TURBO_ROM"


def explain_cartridge_error(message: str, path: str, source: str = "rom_path") -> Exception | None:
    """The error to raise for the engine's refusal ``message`` of the cartridge image at ``path``.

    The engine's own text is kept at the front; what is added names the file
    (and ``source``, where its path came from) and what to do. Returns None
    when ``message`` is not a cartridge refusal.
    """
    where = f"{path} (from {source})" if source != "rom_path" else path
    quoted = shlex.quote(path)
    if message.startswith("failed to read ROM"):
        if not os.path.exists(path):
            return FileNotFoundError(f"cartridge image not found: {where}")
        return RuntimeError(f"{message}: {where}")
    if message.startswith("ROM ") or "iNES" in message or "mapper" in message:
        return RuntimeError(
            f"{message}; {where} is not the supported cartridge image: run 'tanuvex-turbo check {quoted}' to see why, "
            f"and 'tanuvex-turbo check {quoted} --fix FIXED.nes' to write a corrected copy "
            "when only its header is wrong"
        )
    return None
