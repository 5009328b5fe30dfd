"""What two PyInstaller executables hold, member by member, to say where they differ.

An executable PyInstaller makes is its bootloader with an archive after it (on Linux in an ELF
section of its own, on Windows appended, with resources and the PE header in front). The archive
ends in a cookie: a magic, the archive's length, where its table of contents lies and how long it
is. Each table entry gives a member's place, stored and unpacked length, whether it is
zlib-compressed, its type and its name. One member (type "z") is itself an archive, the PYZ, of
compressed marshalled code objects, listed by a marshalled table of its own.
"""

import hashlib
import marshal
import struct
import zlib
from dataclasses import dataclass

COOKIE_MAGIC = b"MEI\014\013\012\013\016"
COOKIE = struct.Struct("!8sIIii64s")  # magic, archive length, TOC offset, TOC length, Python version, library
ENTRY = struct.Struct("!iIIIBc")  # entry length, offset, stored length, length, compressed, type; the name follows
PYZ_MAGIC = b"PYZ\0"


class NotAnArchive(Exception):
    pass


@dataclass(frozen=True)
class Member:
    name: str
    kind: str  # the archive's type code
    size: int  # unpacked
    sha256: str
    data: bytes  # unpacked


def _member(name, kind, data):
    return Member(name, kind, len(data), hashlib.sha256(data).hexdigest(), data)


def carchive(exe):
    """(the bytes in front of the archive, {name: Member}) of an executable's bytes."""
    at = exe.rfind(COOKIE_MAGIC)  # the last one: the bootloader holds the magic too
    if at < 0 or at + COOKIE.size > len(exe):
        raise NotAnArchive("no PyInstaller cookie")
    _, length, toc_offset, toc_length, _, _ = COOKIE.unpack_from(exe, at)
    start = at + COOKIE.size - length
    if start < 0:
        raise NotAnArchive("the cookie's archive length runs past the file's start")
    members, position, end = {}, start + toc_offset, start + toc_offset + toc_length
    while position < end:
        entry_length, offset, stored, unpacked, compressed, kind = ENTRY.unpack_from(exe, position)
        name = exe[position + ENTRY.size:position + entry_length].rstrip(b"\0").decode("utf-8")
        data = exe[start + offset:start + offset + stored]
        if compressed:
            data = zlib.decompress(data)
        if len(data) != unpacked:
            raise NotAnArchive(f"{name}: {len(data)} bytes, the table says {unpacked}")
        members[name] = _member(name, kind.decode("ascii"), data)
        position += entry_length
    return exe[:start], members


def pyz(data):
    """{module name: Member} of a PYZ archive's bytes; each member is a marshalled code object."""
    if data[:4] != PYZ_MAGIC:
        raise NotAnArchive("no PYZ magic")
    (toc_offset,) = struct.unpack_from("!i", data, 8)  # after the magic and the interpreter's own
    toc = marshal.loads(data[toc_offset:])
    toc = toc.items() if isinstance(toc, dict) else toc
    members = {}
    for name, entry in toc:
        offset, length = entry[-2], entry[-1]  # (type, offset, length)
        members[name] = _member(name, "pyz", zlib.decompress(data[offset:offset + length]))
    return members


def _differing(left, right):
    """Names of the members in either mapping that are missing from the other or differ, sorted."""
    return sorted(name for name in left.keys() | right.keys()
                  if name not in left or name not in right or left[name].sha256 != right[name].sha256)


CODE_FIELDS = ("co_filename", "co_name", "co_qualname", "co_firstlineno", "co_argcount", "co_flags", "co_names",
               "co_varnames", "co_freevars", "co_cellvars", "co_code", "co_linetable", "co_exceptiontable")


def _code_difference(a, b, where):
    """Where two unmarshalled values first differ, for code objects field by field; None if equal."""
    if type(a) is not type(b):
        return f"{where}: {type(a).__name__} against {type(b).__name__}"
    if hasattr(a, "co_code"):
        for field in CODE_FIELDS:
            if getattr(a, field, None) != getattr(b, field, None):
                return f"{where}.{field}: {getattr(a, field)!r:.120} against {getattr(b, field)!r:.120}"
        return _code_difference(a.co_consts, b.co_consts, f"{where}.{a.co_name}")
    if isinstance(a, (tuple, list)):
        if len(a) != len(b):
            return f"{where}: {len(a)} items against {len(b)}"
        return next(filter(None, (_code_difference(x, y, f"{where}[{i}]") for i, (x, y) in enumerate(zip(a, b)))),
                    None)
    # Sets compare as sets: the order marshal wrote them in (the hash seed's) is lost on loading.
    return None if a == b else f"{where}: {a!r:.120} against {b!r:.120}"


def _describe(name, left, right):
    a, b = left.get(name), right.get(name)
    if a is None or b is None:
        return f"{name}: only in the {'second' if a is None else 'first'}"
    line = f"{name} ({a.kind}): {a.size:,} bytes sha256 {a.sha256[:16]} against {b.size:,} bytes sha256 {b.sha256[:16]}"
    if a.kind in ("pyz", "m", "s"):  # marshalled code objects: say what in the code differs
        try:
            code_a, code_b = marshal.loads(a.data), marshal.loads(b.data)
        except (ValueError, EOFError, TypeError):
            pass
        else:
            found = _code_difference(code_a, code_b, "code")
            return f"{line}, {found or 'the same code, marshalled differently'}"
    return line + _first_difference(a.data, b.data)


def _first_difference(a, b):
    at = next((i for i, (x, y) in enumerate(zip(a, b)) if x != y), min(len(a), len(b)))
    return f", first difference at byte {at:,}: {a[max(0, at - 16):at + 16]!r} against {b[max(0, at - 16):at + 16]!r}"


def differences(first, second, limit=40):
    """Lines naming what differs between two executables' bytes (none when they are identical):
    the bytes in front of the archive, the archive's members and the PYZ's modules."""
    if first == second:
        return []
    try:
        front_a, members_a = carchive(first)
        front_b, members_b = carchive(second)
    except (NotAnArchive, struct.error, zlib.error, UnicodeDecodeError) as failure:
        return [f"not readable as PyInstaller archives ({failure}): {len(first):,} against {len(second):,} bytes"
                + _first_difference(first, second)]
    lines = []
    if front_a != front_b:
        lines.append(f"the executable in front of the archive: {len(front_a):,} against {len(front_b):,} bytes"
                     + _first_difference(front_a, front_b))
    names = _differing(members_a, members_b)
    lines += [f"member {_describe(name, members_a, members_b)}" for name in names[:limit]]
    for name in names:
        a, b = members_a.get(name), members_b.get(name)
        if a and b and a.kind == b.kind == "z":
            try:
                modules_a, modules_b = pyz(a.data), pyz(b.data)
            except (NotAnArchive, ValueError, EOFError, zlib.error) as failure:
                lines.append(f"  {name} not readable as a PYZ: {failure}")
                continue
            modules = _differing(modules_a, modules_b)
            lines.append(f"  {name}: {len(modules)} of {len(modules_a.keys() | modules_b.keys())} modules differ")
            lines += [f"  module {_describe(module, modules_a, modules_b)}" for module in modules[:limit]]
    if len(names) > limit:
        lines.append(f"... and {len(names) - limit} more members")
    if len(lines) == 0:
        lines.append("the same members, laid out differently")
    return lines
