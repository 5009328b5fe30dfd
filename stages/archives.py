"""The members of the release's archives, to name the one that differs between two builds.

A wheel (zip), the source distribution (tar.gz) and the one-file program (PyInstaller's CArchive
appended to the bootloader, and inside it the PYZ of compiled modules), each read as
{member name: bytes}, plus an entry for what is not a member: a zip entry's date, permissions
and order, a tar member's header, the gzip header, the program's bootloader part.
"""

import io
import marshal
import struct
import tarfile
import zipfile
import zlib

# PyInstaller's CArchive: a cookie at its end (magic, archive length, TOC offset and length,
# Python version, Python library name), the TOC a run of entries (entry length, data offset,
# stored length, full length, compressed flag, type code, then the name padded with NULs).
COOKIE_MAGIC = b"MEI\014\013\012\013\016"
COOKIE = struct.Struct("!8sIIII64s")
TOC_ENTRY = struct.Struct("!IIIIBc")
# The PYZ: magic, the interpreter's bytecode magic, the offset of its marshalled TOC
# [(name, (type code, offset, length))], each entry zlib-compressed.
PYZ_MAGIC = b"PYZ\0"
PYZ_TYPE = "z"


class NotAnArchive(Exception):
    pass


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


def carchive(data):
    """(bootloader part, [(name, type code, bytes)], what follows the archive) of a PyInstaller
    one-file program."""
    cookie_at = data.rfind(COOKIE_MAGIC)
    if cookie_at < 0:
        raise NotAnArchive("no PyInstaller cookie")
    _, length, toc_offset, toc_length, _, _ = COOKIE.unpack_from(data, cookie_at)
    start = cookie_at + COOKIE.size - length
    toc = data[start + toc_offset: start + toc_offset + toc_length]
    entries, position = [], 0
    while position < len(toc):
        entry_length, offset, stored, _, compressed, typecode = TOC_ENTRY.unpack_from(toc, position)
        name = toc[position + TOC_ENTRY.size: position + entry_length].rstrip(b"\0").decode()
        position += entry_length
        body = data[start + offset: start + offset + stored]
        entries.append((name, typecode.decode(), zlib.decompress(body) if compressed else body))
    return data[:start], entries, data[cookie_at + COOKIE.size:]


def pyz_members(data, prefix):
    if not data.startswith(PYZ_MAGIC):
        raise NotAnArchive(f"{prefix}: no PYZ magic")
    (toc_offset,) = struct.unpack_from("!i", data, 8)
    members = {f"{prefix} (header)": data[:12]}
    for name, (typecode, offset, length) in marshal.loads(data[toc_offset:]):
        body = data[offset: offset + length]
        members[f"{prefix}/{name}"] = zlib.decompress(body) if body else b""
        members[f"{prefix}/{name} (type)"] = str(typecode).encode()
    return members


def program_members(data):
    bootloader, entries, trailer = carchive(data)
    members = {"(bootloader and PE headers)": bootloader, "(after the archive)": trailer,
               "(order)": "\n".join(f"{typecode} {name}" for name, typecode, _ in entries).encode()}
    for name, typecode, body in entries:
        if typecode == PYZ_TYPE:
            members.update(pyz_members(body, name))
        elif name.endswith(".zip"):  # base_library.zip, the modules the interpreter starts with
            members.update(zip_members(body, f"{name}/"))
        else:
            members[name] = body
    return members


def members(name, data):
    """{member: bytes} of the release file `name`, or None when it is no archive we read."""
    if name.endswith(".whl"):
        return zip_members(data)
    if name.endswith(".tar.gz"):
        return tar_gz_members(data)
    if name.endswith(".exe"):
        return program_members(data)
    return None


def differences(name, first, second):
    """The members of the archive `name` whose bytes differ between the two builds' files."""
    try:
        a, b = members(name, first), members(name, second)
    except (NotAnArchive, zipfile.BadZipFile, tarfile.TarError, zlib.error, ValueError, EOFError,
            struct.error) as failure:
        return [f"(unreadable: {failure})"]
    if a is None:
        return []
    return sorted(member for member in set(a) | set(b) if a.get(member) != b.get(member))
