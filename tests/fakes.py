"""Fakes for the build-tool and discovery tests.

- ``interpreter`` writes a fake interpreter that really runs (see programs.py): it logs the
  path it was started as, answers "--version" and exits with a chosen status.
- ``Machine`` is a Windows machine on a temporary folder: the install roots, the home
  folder, the registry, the search path and the host interpreter, reached through
  substituted ``sys``, ``os``, ``glob``, ``shutil`` and ``winreg`` objects that record the
  lookups the search makes.
- ``Download`` stands in for ``urllib.request.urlretrieve``: it records the URL and copies a
  local file into place.
- ``tiny_pe`` gives the headers of a 64-bit DLL, with data directories of one's choice.
"""

import glob
import os
import shutil
import struct
import sys
import urllib.request
import zipfile

from conftest import Proxy
from programs import program
from tq_velmor_host import winreg_standin

PYTHON_CORE = "SOFTWARE\\Python\\PythonCore"
DRIVE_ROOTS = ("C:\\Program Files\\Python", "C:\\Python")  # the search's literal install roots
HIVES = {"HKCU": winreg_standin.HKEY_CURRENT_USER, "HKLM": winreg_standin.HKEY_LOCAL_MACHINE}


def interpreter(path, exit_code=0, log=None, executable=True):
    """A fake interpreter at `path`; returns the path as text."""
    record = f"with open({str(log)!r}, 'a', encoding='utf-8') as log:\n    log.write(_sys.argv[0] + '\\n')\n"
    return program(path, (record if log else "") + "print('Python 3.12.1')\nprint('warning', file=_sys.stderr)\n"
                   f"raise SystemExit({exit_code})\n", executable)


def runs(log):
    """The paths the fake interpreters logging to `log` were started as, in order."""
    return log.read_text(encoding="utf-8").splitlines() if log.exists() else []


class Machine:
    """The search's view of a Windows machine, laid out under `tmp`."""

    def __init__(self, tqv, tmp):
        self.tmp = tmp
        self.log = tmp / "runs.log"
        self.calls = []  # (what, argument) of expanduser, glob, which and OpenKey
        self.found_on_path = None
        self.listing = list  # the order glob.glob hands its results back in
        self.sys = Proxy(sys, executable="")
        tqv.sys = self.sys
        tqv.os = Proxy(os, path=Proxy(os.path, expanduser=self._expanduser, exists=self._exists))
        tqv.glob = Proxy(glob, glob=self._glob)
        tqv.shutil = Proxy(shutil, which=self._which)
        tqv.winreg = Proxy(winreg_standin, OpenKey=self._open_key)

    def real(self, path):
        """Where a path of this machine lies: the drive's install roots are moved below the
        temporary folder (itself on drive C: on Windows), and other hosts take "\\" as "/"."""
        if not isinstance(path, str):
            return path
        if path.startswith(DRIVE_ROOTS):
            path = os.path.join(self.tmp, "C", path[len("C:\\"):])
        return path if os.name == "nt" else path.replace("\\", "/")

    def root(self, where):
        """The folder of the install root `where` ("user", "program files" or "drive")."""
        return {"user": self.tmp / "home/AppData/Local/Programs/Python",
                "program files": self.tmp / "C/Program Files/Python",
                "drive": self.tmp / "C/Python"}[where]

    def add(self, source, exit_code=0, version="312"):
        """A fake interpreter where `source` finds it; returns the path the search reports."""
        if source in HIVES:
            folder = self.tmp / "registry" / source / version
            winreg_standin.set_value(HIVES[source], f"{PYTHON_CORE}\\{version}\\InstallPath", str(folder))
            return interpreter(folder / "python.exe", exit_code, self.log)
        if source == "host":
            self.sys.executable = interpreter(self.tmp / "host/python", exit_code, self.log)
            return self.sys.executable
        if source == "search path":
            self.found_on_path = interpreter(self.tmp / "bin/python", exit_code, self.log)
            return self.found_on_path
        return interpreter(self.root(source) / f"Python{version}/python.exe", exit_code, self.log)

    def _expanduser(self, path):
        self.calls.append(("expanduser", path))
        return str(self.tmp / "home") if path == "~" else path

    def _exists(self, path):
        return os.path.exists(self.real(path))

    def _glob(self, pattern):
        self.calls.append(("glob", pattern))
        return self.listing(glob.glob(self.real(pattern)))

    def _which(self, name):
        self.calls.append(("which", name))
        return self.found_on_path

    def _open_key(self, key, sub_key):
        self.calls.append(("OpenKey", sub_key))
        return winreg_standin.OpenKey(key, sub_key)


def make_zip(path, members):
    """A ZIP archive at `path` with `members` (name -> bytes), stored uncompressed, in order."""
    with zipfile.ZipFile(path, "w") as z:
        for name, data in members.items():
            z.writestr(name, data)
    return path


class Download:
    """urlretrieve that copies `source` into place, or raises `error`; records (url, filename)."""

    def __init__(self, tqv, source=None, error=None):
        self.source, self.error, self.requests = source, error, []
        tqv.urllib = Proxy(urllib, request=Proxy(urllib.request, urlretrieve=self.urlretrieve))

    def urlretrieve(self, url, filename):
        self.requests.append((url, filename))
        if self.error is not None:
            raise self.error
        shutil.copyfile(self.source, filename)


def tiny_pe(directories=None, magic=0x20B, count=16, size=None):
    """An x86-64 DLL of headers alone (no section): `directories` maps a data directory's index to
    its (address, size); `count` directories in the optional header (those past it are left out).
    Given `size`, the headers fill 0x200 bytes and a pattern follows up to `size`; else nothing
    follows them."""
    optional_size = (112 if magic == 0x20B else 96) + 8 * count
    optional = bytearray(optional_size)
    struct.pack_into("<H", optional, 0, magic)
    struct.pack_into("<II", optional, 32, 0x1000, 0x200)  # section and file alignment
    struct.pack_into("<II", optional, 56, 0x1000, 0x200)  # image and headers' size
    table = optional_size - 8 * count
    struct.pack_into("<I", optional, table - 4, count)
    for index, (address, length) in (directories or {}).items():
        if index < count:
            struct.pack_into("<II", optional, table + 8 * index, address, length)
    dos = b"MZ" + bytes(0x3A) + struct.pack("<I", 0x80) + bytes(0x40)
    headers = dos + b"PE\0\0" + struct.pack("<HHIIIHH", 0x8664, 0, 0, 0, 0, optional_size, 0x2022) + optional
    if size is None:
        return headers
    return headers.ljust(0x200, b"\0") + bytes(i * 7 % 251 for i in range(size - 0x200))
