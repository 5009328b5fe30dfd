"""What differs between two builds of an archive, member by member, to name the part that differs.

A wheel (zip) and the source distribution (tar.gz) are read with the standard library, a
PyInstaller executable (its bootloader with the CArchive after it, and inside that the PYZ of
compiled modules) with PyInstaller's own readers. Each is read as {member: bytes}, with entries
for what is not a member: a zip entry's date, permissions and order, a tar member's header, the
gzip header, and the executable's bytes in front of and after its archive.
"""

import hashlib
import io
import marshal
import tarfile
import zipfile
import zlib
from pathlib import Path

from PyInstaller.archive.readers import PKG_ITEM_BINARY, PKG_ITEM_PYZ, CArchiveReader, NotAnArchiveError
from PyInstaller.loader.pyimod01_archive import ArchiveReadError

# The members that hold a marshalled code object: the PYZ's modules and the archive's scripts.
CODE_TYPES = {"m", "M", "s"}
UNREADABLE = (ArchiveReadError, NotAnArchiveError, zipfile.BadZipFile, tarfile.TarError, zlib.error, ValueError,
              EOFError, KeyError, OSError, UnicodeDecodeError)


def zip_members(data, prefix=""):
    members = {}
    with zipfile.ZipFile(io.BytesIO(data)) as z:
        infos = z.infolist()
        members[f"{prefix}(order)"] = "\n".join(info.filename for info in infos).encode()
        for info in infos:
            header = (info.date_time, info.external_attr, info.create_system, info.compress_type, info.extra,
                      info.comment)
            members[f"{prefix}{info.filename} (entry)"] = repr(header).encode()
            members[f"{prefix}{info.filename}"] = z.read(info)
    return members


def gzip_header(data):
    """The fixed header and, when flagged, the stored file name (the date is in the fixed part)."""
    header = data[:10]
    if data[3] & 0x08:  # FNAME
        header = data[:data.index(b"\0", 10) + 1]
    return header


def tar_gz_members(data):
    members = {"(gzip header)": gzip_header(data)}
    with tarfile.open(fileobj=io.BytesIO(data), mode="r:gz") as tar:
        infos = tar.getmembers()
        members["(order)"] = "\n".join(info.name for info in infos).encode()
        for info in infos:
            header = (info.mode, info.uid, info.gid, info.uname, info.gname, info.mtime, info.type,
                      info.linkname, sorted(info.pax_headers.items()))
            members[f"{info.name} (header)"] = repr(header).encode()
            file = tar.extractfile(info)
            members[info.name] = file.read() if file else b""
    return members


def executable_members(path):
    """({member: bytes}, the names among them holding marshalled code) of a PyInstaller executable."""
    reader = CArchiveReader(str(path))
    data = Path(path).read_bytes()
    archive = reader.raw_pkg_data()
    start = data.rfind(archive)
    members = {"(in front of the archive)": data[:start], "(after the archive)": data[start + len(archive):],
               "(order)": "\n".join(f"{entry[-1]} {name}" for name, entry in reader.toc.items()).encode(),
               "(options)": "\n".join(reader.options).encode()}
    code = set()
    for name, (*_, kind) in reader.toc.items():
        if kind == PKG_ITEM_PYZ:
            pyz = reader.open_embedded_archive(name)
            members[f"{name} (table)"] = "\n".join(f"{entry[0]} {module}" for module, entry in pyz.toc.items()).encode()
            for module in pyz.toc:
                members[f"{name}/{module}"] = pyz.extract(module, raw=True) or b""
                code.add(f"{name}/{module}")
        elif name.endswith(".zip"):  # base_library.zip, the modules the interpreter starts with
            members.update(zip_members(reader.extract(name), f"{name}/"))
        else:
            members[name] = reader.extract(name)
            if kind in CODE_TYPES:
                code.add(name)
    return members, code


def binaries(path):
    """The binaries (DLLs, extension modules) a PyInstaller executable carries, each unpacked."""
    reader = CArchiveReader(str(path))
    return [reader.extract(name) for name, (*_, kind) in reader.toc.items() if kind == PKG_ITEM_BINARY]


def members(path):
    """({member: bytes}, names holding marshalled code) of the file at `path`; None when it is no
    archive we read."""
    path = Path(path)
    if path.name.endswith(".whl"):
        return zip_members(path.read_bytes()), set()
    if path.name.endswith(".tar.gz"):
        return tar_gz_members(path.read_bytes()), set()
    try:
        return executable_members(path)
    except ArchiveReadError:  # no cookie: not an executable PyInstaller made
        return None


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


def _first_difference(a, b):
    at = next((i for i, (x, y) in enumerate(zip(a, b)) if x != y), min(len(a), len(b)))
    return f", first difference at byte {at:,}: {a[max(0, at - 16):at + 16]!r} against {b[max(0, at - 16):at + 16]!r}"


def _describe(name, a, b, is_code):
    if a is None or b is None:
        return f"{name}: only in the {'second' if a is None else 'first'}"
    line = (f"{name}: {len(a):,} bytes sha256 {hashlib.sha256(a).hexdigest()[:16]} against {len(b):,} bytes "
            f"sha256 {hashlib.sha256(b).hexdigest()[:16]}")
    if is_code:  # say what in the code differs
        try:
            code_a, code_b = marshal.loads(a), marshal.loads(b)
        except (ValueError, EOFError, TypeError):
            pass
        else:
            return f"{line}, {_code_difference(code_a, code_b, 'code') or 'the same code, marshalled differently'}"
    return line + _first_difference(a, b)


def differences(first, second, limit=40):
    """Lines naming what differs between the files at `first` and `second` (none when they are the
    same bytes): the members of an archive we read, else the first byte that differs."""
    a, b = Path(first).read_bytes(), Path(second).read_bytes()
    if a == b:
        return []
    try:
        read = members(first), members(second)
    except UNREADABLE as failure:
        return [f"not readable as archives ({failure}): {len(a):,} against {len(b):,} bytes" + _first_difference(a, b)]
    if None in read:
        return [f"{len(a):,} against {len(b):,} bytes" + _first_difference(a, b)]
    (members_a, code_a), (members_b, code_b) = read
    names = sorted(name for name in members_a.keys() | members_b.keys() if members_a.get(name) != members_b.get(name))
    lines = [_describe(name, members_a.get(name), members_b.get(name), name in code_a | code_b)
             for name in names[:limit]]
    if len(names) > limit:
        lines.append(f"... and {len(names) - limit} more members")
    return lines or ["the same members, laid out differently"]
