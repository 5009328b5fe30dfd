"""The one reader and writer of the release's PE files (tq-velmor.exe and the .pyd), on pefile:
the headers, exports and imports the module's check reads, the version resource the program
carries, and the checksum and certificate table of a signature that comes off exactly.

Signing appends the signature as the certificate table, records that table's file offset and
size in data directory 4 of the optional header, rewrites the header's checksum, and first pads
the file with zero bytes to a multiple of 8. Removing the signature truncates the file at the
table, zeroes the entry and rewrites the checksum, but leaves the padding: a PyInstaller
program ends in its archive's cookie, whose last bytes are zeros, so padding cannot be told from
the file's own bytes. prepare() therefore does the padding and the checksum itself, before
anything is signed: then signing only appends, and unsigned() (or osslsigncode
remove-signature) gives back exactly the prepared bytes.
"""

import os
import tempfile
from dataclasses import dataclass
from pathlib import Path

import pefile

from . import ToolingError

ALIGNMENT = 8
SECURITY = pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_SECURITY"]
DELAY_IMPORT = pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_DELAY_IMPORT"]
MODULE_DIRECTORIES = [pefile.DIRECTORY_ENTRY[f"IMAGE_DIRECTORY_ENTRY_{name}"] for name in ("EXPORT", "IMPORT")]
RESOURCES = [pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_RESOURCE"]]
PE32_PLUS = 0x20B


class PEError(ToolingError):
    pass


def parsed(data):
    """pefile's reading of the headers of `data`; PEError unless it is a PE file."""
    if len(data) < 0x40 or data[:2] != b"MZ":
        raise PEError("not a PE file (no MZ header)")
    try:
        return pefile.PE(data=bytes(data), fast_load=True)
    except pefile.PEFormatError as problem:
        raise PEError(f"not a PE file pefile can read: {problem.value}") from None


def _certificate_table(pe):
    directories = pe.OPTIONAL_HEADER.DATA_DIRECTORY
    if len(directories) <= SECURITY:
        raise PEError(f"the optional header has {len(directories)} data directories, no certificate table")
    return directories[SECURITY]


@dataclass(frozen=True)
class Layout:
    checksum_at: int  # file offset of the optional header's CheckSum
    security_at: int  # file offset of data directory 4: certificate table offset, size


def layout(data):
    """Where the checksum and the certificate table entry are; PEError unless `data` is a PE file."""
    pe = parsed(data)
    return Layout(pe.OPTIONAL_HEADER.get_file_offset() + 64, _certificate_table(pe).get_file_offset())


def checksum(data):
    """The PE checksum `data` should carry (its own CheckSum field read as zero)."""
    return parsed(data).generate_checksum()


def stored_checksum(data):
    return parsed(data).OPTIONAL_HEADER.CheckSum


def signature_entry(data):
    """(file offset, size) of the certificate table; (0, 0) in an unsigned file."""
    table = _certificate_table(parsed(data))
    return table.VirtualAddress, table.Size


def _with_checksum(data):
    pe = parsed(data)
    pe.OPTIONAL_HEADER.CheckSum = pe.generate_checksum()
    return bytes(pe.write())


def prepared(data):
    """`data` padded with zeros to a multiple of 8 bytes and carrying its right checksum."""
    if signature_entry(data) != (0, 0):
        raise PEError("already signed (its certificate table entry is set)")
    return _with_checksum(data + bytes(-len(data) % ALIGNMENT))


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
    pe = parsed(data)
    table = _certificate_table(pe)
    offset, size = table.VirtualAddress, table.Size
    if (offset, size) == (0, 0):
        raise PEError("not signed (no certificate table)")
    if offset % ALIGNMENT or offset < table.get_file_offset() + 8 or offset > len(data):
        raise PEError(f"the certificate table entry ({size} bytes at offset {offset}) is not a signature's")
    if offset + size != len(data):
        raise PEError(f"the certificate table ({size} bytes at offset {offset}) does not end the file "
                      f"({len(data)} bytes): data was added after the signature")
    table.VirtualAddress = table.Size = 0
    return _with_checksum(pe.write()[:offset])


def module_facts(data):
    """{machine, dll, exports: [name], ordinal_exports, imports: {dll: [name]}, delay} of a PE32+ file."""
    pe = parsed(data)
    if pe.OPTIONAL_HEADER.Magic != PE32_PLUS:
        raise PEError(f"optional header magic {pe.OPTIONAL_HEADER.Magic:#x}, not PE32+")
    pe.parse_data_directories(directories=MODULE_DIRECTORIES)
    symbols = pe.DIRECTORY_ENTRY_EXPORT.symbols if hasattr(pe, "DIRECTORY_ENTRY_EXPORT") else []
    imports = {}
    for entry in getattr(pe, "DIRECTORY_ENTRY_IMPORT", []):
        imports.setdefault(entry.dll.decode("ascii", "replace"), []).extend(
            item.name.decode("ascii", "replace") if item.name else f"#{item.ordinal}" for item in entry.imports)
    directories = pe.OPTIONAL_HEADER.DATA_DIRECTORY
    return {
        "machine": pe.FILE_HEADER.Machine,
        "dll": pe.is_dll(),
        "exports": [symbol.name.decode("ascii", "replace") for symbol in symbols if symbol.name],
        "ordinal_exports": sum(1 for symbol in symbols if not symbol.name),
        "imports": imports,
        "delay": len(directories) > DELAY_IMPORT and bool(directories[DELAY_IMPORT].Size),
    }


def _words(high, low):
    return [high >> 16, high & 0xFFFF, low >> 16, low & 0xFFFF]


def version_resource(data):
    """The Windows version resource of a PE file, as plain data: {tables: {table: {key: value}},
    translations: [[language, codepage]], file_version, product_version}."""
    pe = parsed(data)
    pe.parse_data_directories(directories=RESOURCES)
    found = {"tables": {}, "translations": []}
    for fixed in getattr(pe, "VS_FIXEDFILEINFO", [])[:1]:
        found["file_version"] = _words(fixed.FileVersionMS, fixed.FileVersionLS)
        found["product_version"] = _words(fixed.ProductVersionMS, fixed.ProductVersionLS)
    for info in getattr(pe, "FileInfo", []):
        for entry in info:
            if entry.Key == b"StringFileInfo":
                for table in entry.StringTable:
                    found["tables"][table.LangID.decode().upper()] = {
                        key.decode(): value.decode() for key, value in table.entries.items()}
            elif entry.Key == b"VarFileInfo":
                for var in entry.Var:
                    for value in var.entry.values():
                        language, codepage = (int(word, 16) for word in value.split())
                        found["translations"].append([language, codepage])
    return found
