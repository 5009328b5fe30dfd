"""What the build reads of an interpreter's files before it runs anything with it: whether UPX
would break it, what it runs on, and, for a virtual environment's, the interpreter it was made from.

PyInstaller's bootloader loads the interpreter's python3XY.dll after start-up. A DLL with a TLS
directory (implicit thread-local storage: CPython keeps its thread state there from 3.12 on) does
not initialise any more once UPX 4.2.2 has packed it: the TLS index the loader assigns is
overwritten while the DLL unpacks itself. python311.dll has no such directory.
"""

import os
import re
import struct

# The versioned DLL (python313.dll, the free-threaded python313t.dll), not the python3.dll forwarder.
DLL = re.compile(r"python3\d+t?\.dll", re.IGNORECASE)
TLS_DIRECTORY = 9  # its index among the optional header's data directories
HEADERS = 4096  # the MZ and PE headers lie well within the first page


# What the COFF header's machine field says an executable runs on.
MACHINES = {0x8664: "x64", 0x14C: "x86", 0xAA64: "arm64"}


def venv_base(python):
    """The interpreter a virtual environment's interpreter `python` was made from (the executable
    its pyvenv.cfg names, or the one of the same name in its "home" folder); None when `python` is
    not a virtual environment's."""
    folder = os.path.dirname(os.path.abspath(python))
    settings = _venv_settings(folder)
    if settings is None:
        return None
    named = settings.get("executable")
    if named and os.path.isfile(named):
        return named
    home = settings.get("home")
    return os.path.join(home, os.path.basename(python)) if home else None


def _headers(path):
    """(the first page of the PE file at `path`, where its PE header starts), or None when it is no
    PE file or cannot be read."""
    try:
        with open(path, "rb") as f:
            head = f.read(HEADERS)
        (pe,) = struct.unpack_from("<I", head, 0x3C)
    except (OSError, struct.error):
        return None
    return (head, pe) if head[:2] == b"MZ" and head[pe:pe + 4] == b"PE\0\0" else None


def machine(path):
    """What the executable at `path` runs on ("x64", "x86", "arm64"), or None when that cannot be
    told (not a PE file: not Windows)."""
    found = _headers(path)
    if found is None:
        return None
    head, pe = found
    return MACHINES.get(struct.unpack_from("<H", head, pe + 4)[0])


def dll(python):
    """The python3XY.dll beside the interpreter `python` (for a virtual environment's interpreter,
    beside the one it was made from), or None."""
    folder = os.path.dirname(os.path.abspath(python))
    for where in (folder, _base_of_venv(folder)):
        try:
            found = sorted(name for name in os.listdir(where) if DLL.fullmatch(name)) if where else []
        except OSError:
            continue
        if found:
            return os.path.join(where, found[0])
    return None


def _base_of_venv(folder):
    """The folder named by "home" in the pyvenv.cfg of a virtual environment whose interpreter lies
    in `folder` (its Scripts or bin folder, or its root), or None."""
    return (_venv_settings(folder) or {}).get("home")


def _venv_settings(folder):
    """{key: value} of the pyvenv.cfg of a virtual environment whose interpreter lies in `folder`
    (its Scripts or bin folder, or its root), as Python itself looks for it; None when there is none."""
    for config in (os.path.join(folder, "pyvenv.cfg"), os.path.join(os.path.dirname(folder), "pyvenv.cfg")):
        try:
            with open(config, encoding="utf-8") as f:
                lines = f.read().splitlines()
        except (OSError, UnicodeDecodeError):
            continue
        settings = {}
        for line in lines:
            key, _, value = line.partition("=")
            if value.strip():
                settings[key.strip().lower()] = value.strip()
        return settings
    return None


def has_tls_directory(path):
    """Whether the PE file at `path` has a TLS directory; None when it cannot be read as a PE file."""
    found = _headers(path)
    if found is None:
        return None
    head, pe = found
    try:
        optional = pe + 24
        (magic,) = struct.unpack_from("<H", head, optional)
        directories = optional + {0x10B: 96, 0x20B: 112}[magic]  # PE32, PE32+
        (count,) = struct.unpack_from("<I", head, directories - 4)
        if count <= TLS_DIRECTORY:
            return False
        address, _ = struct.unpack_from("<II", head, directories + 8 * TLS_DIRECTORY)
        return address != 0
    except (struct.error, KeyError):
        return None


def tls_dll(python):
    """The file name of the interpreter's DLL when it has a TLS directory, else None (also when
    that cannot be told: the build then goes as usual, and its result is checked anyway)."""
    try:
        path = dll(python)
    except (TypeError, ValueError):  # not a path
        return None
    return os.path.basename(path) if path and has_tls_directory(path) else None
