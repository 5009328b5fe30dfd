"""PE files made ready for an Authenticode signature that can be taken off again exactly.

Signing appends the signature as the certificate table, records that table's file offset and
size in data directory 4 of the optional header, rewrites the header's checksum, and first pads
the file with zero bytes to a multiple of 8. Removing the signature truncates the file at the
table, zeroes the entry and rewrites the checksum, but leaves the padding: a PyInstaller
program ends in its archive's cookie, whose last bytes are zeros, so padding cannot be told from
the file's own bytes. prepare() therefore does the padding and the checksum itself, before
anything is signed: then signing only appends, and unsigned() (or osslsigncode
remove-signature) gives back exactly the prepared bytes. Standard library only, so that a user
comparing a signed download with a rebuild needs nothing else.
"""

import os
import struct
import sys
import tempfile
from dataclasses import dataclass
from pathlib import Path

ALIGNMENT = 8
SECURITY_DIRECTORY = 4
PE32, PE32_PLUS = 0x10B, 0x20B


class PEError(Exception):
    pass


@dataclass(frozen=True)
class Layout:
    checksum_at: int  # file offset of the optional header's CheckSum
    security_at: int  # file offset of data directory 4: certificate table offset, size


def layout(data):
    """Where the checksum and the certificate table entry are; PEError unless `data` is a PE file."""
    if len(data) < 0x40 or data[:2] != b"MZ":
        raise PEError("not a PE file (no MZ header)")
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    if pe + 24 > len(data) or data[pe:pe + 4] != b"PE\0\0":
        raise PEError("not a PE file (no PE signature where the MZ header points)")
    optional_size = struct.unpack_from("<H", data, pe + 20)[0]
    optional = pe + 24
    if optional + 2 > len(data):
        raise PEError("truncated PE file (no optional header)")
    magic = struct.unpack_from("<H", data, optional)[0]
    if magic not in (PE32, PE32_PLUS):
        raise PEError(f"unknown optional header magic 0x{magic:04X}")
    directories = optional + (96 if magic == PE32 else 112)
    security_at = directories + 8 * SECURITY_DIRECTORY
    if security_at + 8 > min(optional + optional_size, len(data)):
        raise PEError("the optional header has no certificate table entry")
    count = struct.unpack_from("<I", data, directories - 4)[0]
    if count <= SECURITY_DIRECTORY:
        raise PEError(f"the optional header has {count} data directories, no certificate table")
    return Layout(checksum_at=optional + 64, security_at=security_at)


def checksum(data, checksum_at):
    """The PE checksum: 16-bit little-endian words summed with end-around carry (the field itself
    read as zero, an odd last byte as one word), plus the file's length."""
    words = bytearray(data)
    words[checksum_at:checksum_at + 4] = bytes(4)
    if len(words) % 2:
        words.append(0)
    view = memoryview(words).cast("H")
    total = sum(view) if sys.byteorder == "little" else sum(struct.unpack(f"<{len(view)}H", words))
    while total >> 16:
        total = (total & 0xFFFF) + (total >> 16)
    return (total + len(data)) & 0xFFFFFFFF


def signature_entry(data, where=None):
    """(file offset, size) of the certificate table; (0, 0) in an unsigned file."""
    where = where or layout(data)
    return struct.unpack_from("<II", data, where.security_at)


def stored_checksum(data, where=None):
    where = where or layout(data)
    return struct.unpack_from("<I", data, where.checksum_at)[0]


def _with_checksum(data, where):
    fixed = bytearray(data)
    struct.pack_into("<I", fixed, where.checksum_at, checksum(fixed, where.checksum_at))
    return bytes(fixed)


def prepared(data):
    """`data` padded with zeros to a multiple of 8 bytes and carrying its right checksum."""
    where = layout(data)
    if signature_entry(data, where) != (0, 0):
        raise PEError("already signed (its certificate table entry is set)")
    return _with_checksum(data + bytes(-len(data) % ALIGNMENT), where)


def write_replacing(path, data):
    """Writes `data` over the file at `path` through a temporary file beside it, keeping its
    permissions: whoever reads `path` sees the old bytes or the new ones, never a part."""
    path = Path(path)
    mode = path.stat().st_mode & 0o7777
    fd, temporary = tempfile.mkstemp(prefix=f".{path.name}.", dir=path.parent)
    try:
        with os.fdopen(fd, "wb") as out:
            out.write(data)
        os.chmod(temporary, mode)
        os.replace(temporary, path)
    except BaseException:
        Path(temporary).unlink(missing_ok=True)
        raise


def prepare(path):
    """Pads the PE file at `path` in place to a multiple of 8 bytes and writes its checksum, so
    that a signature goes on and comes off again without changing anything else. A file already
    prepared is left untouched. Returns whether the file changed."""
    path = Path(path)
    data = path.read_bytes()
    try:
        fixed = prepared(data)
    except PEError as problem:
        raise PEError(f"{path.name}: {problem}") from None
    if fixed == data:
        return False
    write_replacing(path, fixed)
    return True


def unsigned(data):
    """The bytes of a signed PE file without its signature: truncated where the certificate
    table starts, the entry zeroed, the checksum computed again; for a file signed after
    prepare(), exactly the bytes prepare() left."""
    where = layout(data)
    offset, size = signature_entry(data, where)
    if (offset, size) == (0, 0):
        raise PEError("not signed (no certificate table)")
    if offset % ALIGNMENT or offset < where.security_at + 8 or offset > len(data):
        raise PEError(f"the certificate table entry ({size} bytes at offset {offset}) is not a signature's")
    if offset + size != len(data):
        raise PEError(f"the certificate table ({size} bytes at offset {offset}) does not end the file "
                      f"({len(data)} bytes): data was added after the signature")
    stripped = bytearray(data[:offset])
    struct.pack_into("<II", stripped, where.security_at, 0, 0)
    return _with_checksum(stripped, where)
