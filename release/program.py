"""tq-velmor.exe: the one-click build as a one-file Windows console program.

  python3 -m tooling release.program [--out dist] [--wheel WHEEL]

PyInstaller (pinned with the build's toolchain, pins/constraints.txt) runs in the official CPython 3.11.9 for
Windows under Wine, the runtime the Windows test stage checks file by file and signature by
signature, with the Windows wheel of this checkout installed: the program holds the module and
tq_velmor_host.program, which runs the module's main(). PyInstaller cannot see what a compiled
module imports, so every module that the module's start-up loads is named to it. The program
carries the distribution's metadata (for --version) and a Windows version resource, read back
and checked after the build. (stages/program_check.py starts the program under Wine.)
"""

import argparse
import re
import shutil
import sys
import zipfile
from pathlib import Path

from tooling import ToolingError, logger, pe, pins
from wine_runtime import embedded_python, wine

from . import project, version_info, wheel as windows_wheel

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent

NAME = "tq-velmor"
ENTRY = HERE / "program_entry.py"
PYINSTALLER = ("pyinstaller", "pyinstaller-hooks-contrib", "altgraph", "packaging", "setuptools", "pefile",
               "pywin32-ctypes")
# Windows 10 and later hold the Universal CRT's API-set DLLs, which Wine provides as built-ins
# PyInstaller cannot see: one warning for each, that no program needs.
UCRT = re.compile(r"WARNING: Library not found: could not resolve 'api-ms-win-crt-")


log = logger("program")


def pyinstaller_pins():
    pinned = pins.python("constraints.txt")
    return [f"{name}=={pinned[name]}" for name in PYINSTALLER]


def prepared_python(cache, scratch, wheel, env):
    """The checked interpreter in `scratch`, with PyInstaller installed and the wheel unpacked;
    returns its python.exe as a Windows path."""
    python_dir = scratch / "python"
    embedded_python.prepare(cache, python_dir)
    pins = pyinstaller_pins()
    wheels = wine.fetch_wheels(cache / "wheels", [wine.PIP, *pins])
    wine.install_pip(wheels, python_dir)
    python = wine.windows_path(python_dir / "python.exe")
    wine.run([python, "-m", "pip", "install", "--no-index", "--find-links", wine.windows_path(wheels),
              "--disable-pip-version-check", "--no-warn-script-location", *pins], env)
    # Unpacked rather than installed by pip: the program carries the .dist-info folder, which
    # must be the wheel's own. pip would add its launcher's hash (which holds the scratch path)
    # to RECORD, and the wheel's path in direct_url.json.
    with zipfile.ZipFile(wheel) as z:
        z.extractall(python_dir / "Lib" / "site-packages")
    return python


def module_imports(python, env):
    """The modules the module's start-up binds or loads, as the Windows interpreter reports them
    (winreg, for one, is loaded before any import of ours, by the interpreter's own start)."""
    probe = ("import sys, types; before = set(sys.modules); import tq_velmor; "
             "bound = {v.__name__ for v in vars(tq_velmor).values() if isinstance(v, types.ModuleType)}; "
             "print(' '.join(sorted(bound | set(sys.modules) - before - {'tq_velmor'})))")
    found = wine.run([python, "-c", probe], env, quiet=True).stdout.split()
    for needed in ("subprocess", "urllib.request", "zipfile", "winreg", "ctypes"):
        if needed not in found:
            raise ToolingError(f"the module's start-up did not load {needed}: {found}")
    return found


def check_version_resource(program, version, year):
    """Reads the program's version resource back."""
    found = pe.version_resource(program.read_bytes())
    wrong = version_info.differences(found, version, year)
    if wrong:
        raise ToolingError(f"{program.name}'s version resource: {'; '.join(wrong)}")
    table = found["tables"][version_info.TABLE]
    log(f"version resource read back: {table['ProductName']} {table['ProductVersion']}, "
        f"{table['FileDescription']!r}, {table['LegalCopyright']!r}")


def build(cache, scratch, wheel, out):
    env = wine.environment(scratch / "prefix")
    # PyInstaller marshals code and dates the program: with a fixed hash seed and the caller's
    # SOURCE_DATE_EPOCH (kept by wine.environment), the same inputs give the same program.
    env["PYTHONHASHSEED"] = "0"
    log("making a Wine prefix")
    wine.make_prefix(env)
    python = prepared_python(cache, scratch, wheel, env)
    hidden = module_imports(python, env)
    log(f"named to PyInstaller: {len(hidden)} modules, {' '.join(hidden)}")
    work = scratch / "pyinstaller"
    version, year = project.version(), project.copyright_year()
    version_file = scratch / "version-info.txt"
    version_file.write_text(version_info.pyinstaller_file(version, year), encoding="utf-8")
    # --copy-metadata: the program's --version reads its distribution's version.
    wine.run([python, "-m", "PyInstaller", "--onefile", "--console", "--noupx", "--noconfirm", "--clean",
              "--log-level", "WARN", f"--name={NAME}", "--version-file", wine.windows_path(version_file),
              "--copy-metadata", NAME,
              "--distpath", wine.windows_path(work / "dist"), "--workpath", wine.windows_path(work / "build"),
              "--specpath", wine.windows_path(work),
              *[f"--hidden-import={name}" for name in hidden], wine.windows_path(ENTRY)], env, unshown=UCRT)
    built = work / "dist" / f"{NAME}.exe"
    check_version_resource(built, version, year)
    out.mkdir(parents=True, exist_ok=True)
    program = out / f"{NAME}.exe"
    shutil.copyfile(built, program)
    pyinstaller = wine.run([python, "-m", "PyInstaller", "--version"], env).stdout.strip()
    log(f"{program}: {program.stat().st_size:,} bytes (PyInstaller {pyinstaller})")
    return program


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--out", type=Path, default=ROOT / "dist", help="where the program goes (default dist/)")
    parser.add_argument("--wheel", type=Path, help="the Windows wheel to use (default: built now)")
    args = parser.parse_args(argv)

    def work(scratch):
        wheel = args.wheel
        if wheel is None:
            log("building the Windows wheel")
            wheel = windows_wheel.build(scratch, ROOT / "build-wheel-win")
        windows_wheel.check(wheel)
        build(wine.cache(), scratch, wheel.resolve(), args.out.resolve())

    return wine.in_scratch("tq_velmor-program-", work, log)


if __name__ == "__main__":
    sys.exit(main())
