"""THIRD-PARTY-NOTICES.txt: the licence of everything the release's programs carry, with its version.

Each text is taken from what was used: CPython's from the checked Windows runtime the program is
made in, PyInstaller's (its bootloader and run-time code are in the program) from the wheel that
was installed there, and the GCC and mingw-w64 runtimes the .pyd links in statically from the
Debian packages that hold the cross compiler's libraries. The same inputs give the same text.
"""

import re
import subprocess
import textwrap
import zipfile
from pathlib import Path

from tooling import ToolingError, pins
from wine_runtime import embedded_python

NAME = "THIRD-PARTY-NOTICES.txt"
CPYTHON_VERSION = "3.11.9"
GPL3 = Path("/usr/share/common-licenses/GPL-3")
RULE = "=" * 78


def _text(data):
    """Text with Unix line ends and no trailing blanks, as every part of the file has."""
    text = data.decode("utf-8") if isinstance(data, bytes) else data
    return "\n".join(line.rstrip() for line in text.replace("\r\n", "\n").split("\n")).strip("\n") + "\n"


def _fill(paragraph):
    return textwrap.fill(paragraph, 78, break_on_hyphens=False, break_long_words=False)


def _output(command):
    return subprocess.run(command, check=True, capture_output=True, text=True, stdin=subprocess.DEVNULL).stdout.strip()


def debian_package(path):
    """(package, version) of the Debian package that installed `path`."""
    real = Path(path).resolve()
    owner = _output(["dpkg-query", "--search", str(real)]).split(":")[0]
    return owner, _output(["dpkg-query", "--show", "--showformat", "${Version}", owner])


def _between(text, start, end, source):
    """The lines of `text` from the one starting with `start` to the one ending with `end`."""
    found = re.search(rf"^{re.escape(start)}.*?{re.escape(end)}$", text, re.M | re.S)
    if not found:
        raise ToolingError(f"{source}: no part from {start!r} to {end!r}")
    return found.group()


def cpython(cache):
    files = embedded_python.members(embedded_python.fetch(cache))
    embedded_python.check_hashes(files)
    return (f"CPython {CPYTHON_VERSION}",
            "In tq-velmor.exe: the official Windows x64 runtime, python311.dll, the standard library and the"
            " extension modules and DLLs it ships (OpenSSL, libffi, zlib, bzip2, xz and the Microsoft Visual C++"
            " runtime among them). Its LICENSE.txt, as distributed with it:",
            _text(files["LICENSE.txt"]))


def pyinstaller(wheels):
    version = pins.python("constraints.txt")["pyinstaller"]
    found = sorted(wheels.glob(f"pyinstaller-{version}-*.whl"))
    if not found:
        raise ToolingError(f"no PyInstaller {version} wheel in {wheels}")
    with zipfile.ZipFile(found[0]) as z:
        licences = [n for n in z.namelist()
                    if re.fullmatch(rf"pyinstaller-{re.escape(version)}\.dist-info/(licenses/)?COPYING\.txt", n)]
        if len(licences) != 1:
            raise ToolingError(f"{found[0].name}: {len(licences)} COPYING.txt files in its .dist-info")
        text = z.read(licences[0])
    return (f"PyInstaller {version}",
            "In tq-velmor.exe: the bootloader, run-time hooks and run-time modules. GPL-2.0-or-later with the"
            f" Bootloader Exception; its {licences[0].split('/')[-1]}, from the wheel {found[0].name}:",
            _text(text))


def gcc_runtime(compiler):
    version = _output([compiler, "-dumpfullversion"])
    package, package_version = debian_package(_output([compiler, "-print-file-name=libstdc++.a"]))
    source = Path("/usr/share/doc") / package / "copyright"
    copyright = _text(source.read_bytes())
    statement = _between(copyright, "GCC is Copyright (C)", "- libgfortran", source)
    exception = _between(copyright, "GCC RUNTIME LIBRARY EXCEPTION", "requirements of the license of GCC.", source)
    return (f"The GCC {version} runtime (libstdc++, libgcc)",
            "Linked statically into tq_velmor.cp311-win_amd64.pyd (in the wheel and in tq-velmor.exe), from the"
            f" Debian package {package} {package_version}. GPL-3.0-or-later WITH GCC-exception-3.1; from {source}:",
            "\n\n".join([statement, exception, "The GNU General Public License, version 3:", _text(GPL3.read_bytes())]))


def mingw_runtime(compiler):
    package, package_version = debian_package(_output([compiler, "-print-file-name=libmingwex.a"]))
    source = Path("/usr/share/doc") / package / "copyright"
    upstream = package_version.split("-")[0]
    return (f"The mingw-w64 runtime {upstream}",
            "Its start-up code and C runtime libraries, linked statically into tq_velmor.cp311-win_amd64.pyd (in"
            f" the wheel and in tq-velmor.exe), from the Debian package {package} {package_version}. From {source}:",
            _text(source.read_bytes()))


def text(cache, wheels, compiler, version):
    """The whole file: our own licence first, then one section for each part we carry."""
    sections = [cpython(cache), pyinstaller(wheels), gcc_runtime(compiler), mingw_runtime(compiler)]
    parts = [f"Third-party notices for tq-velmor {version}",
             _fill("tq-velmor itself (the module, tq_velmor_host, the tq-velmor command and program) is under the"
                   " MIT licence: see LICENSE. tq-velmor.exe and tq_velmor.cp311-win_amd64.pyd also carry the"
                   " software below, each under its own licence.")]
    parts.append("\n".join(f"{index}. {title}" for index, (title, _, _) in enumerate(sections, 1)))
    for index, (title, about, body) in enumerate(sections, 1):
        parts.append(f"{RULE}\n{index}. {title}\n{RULE}\n\n{_fill(about)}\n\n{body}")
    return "\n\n".join(part.rstrip("\n") for part in parts) + "\n"
