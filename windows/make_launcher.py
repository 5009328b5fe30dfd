"""tq-velmor.exe: the one-click build as a one-file Windows console program.

  python3 windows/make_launcher.py [--out dist] [--wheel WHEEL]     build it
  python3 windows/make_launcher.py check dist/tq-velmor.exe         run it under Wine

PyInstaller (pinned with the build's toolchain, real_build/constraints.txt) runs in the official CPython 3.11.9 for
Windows under Wine, the runtime the Windows test stage checks file by file and signature by
signature, with the Windows wheel of this checkout installed: the program holds the module and
tq_velmor_host.program, which runs the module's main(). PyInstaller cannot see what a compiled
module imports, so every module that the module's start-up loads is named to it.

`check` starts the program in a fresh prefix where an interpreter is on PATH and every download
is refused: in a folder holding a foreign file (status 2, nothing deleted) and in an empty one
(the module starts frozen, finds the interpreter, draws its screens, and the refused download
ends the build: status 1, only the program left in the folder).
"""

import argparse
import io
import os
import re
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent
sys.path.insert(0, str(HERE))
sys.path.insert(0, str(ROOT / "real_build"))
sys.path.insert(0, str(ROOT / "python"))

import embedded_python  # noqa: E402
import make_wheel  # noqa: E402
import pins  # noqa: E402
import wine  # noqa: E402
from tq_velmor_host.program import CLOSE_PROMPT  # noqa: E402

NAME = "tq-velmor"
ENTRY = HERE / "tq_velmor_program.py"
PYINSTALLER = ("pyinstaller", "pyinstaller-hooks-contrib", "altgraph", "packaging", "setuptools", "pefile",
               "pywin32-ctypes")
# Nothing listens there: every download of the checked program is refused at once.
REFUSING_PROXY = "http://127.0.0.1:9"
# Windows 10 and later hold the Universal CRT's API-set DLLs, which Wine provides as built-ins
# PyInstaller cannot see: one warning for each, that no program needs.
UCRT = re.compile(r"WARNING: Library not found: could not resolve 'api-ms-win-crt-")


def log(text):
    print(f"make-launcher: {text}", flush=True)


class CheckFailed(Exception):
    pass


def pyinstaller_pins():
    pinned = pins.pins()
    return [f"{name}=={pinned[name]}" for name in PYINSTALLER]


def prepared_python(cache, scratch, wheel, env):
    """The checked interpreter in `scratch`, with the wheel and PyInstaller installed; returns
    its python.exe as a Windows path."""
    python_dir = scratch / "python"
    embedded_python.prepare(cache, python_dir)
    pins = pyinstaller_pins()
    wheels = wine.fetch_wheels(cache / "wheels", [wine.PIP, *pins])
    wine.install_pip(wheels, python_dir)
    python = wine.windows_path(python_dir / "python.exe")
    wine.run([python, "-m", "pip", "install", "--no-index", "--find-links", wine.windows_path(wheels),
              "--disable-pip-version-check", "--no-warn-script-location", wine.windows_path(wheel), *pins], env)
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
            raise CheckFailed(f"the module's start-up did not load {needed}: {found}")
    return found


def build(cache, scratch, wheel, out):
    env = wine.environment(scratch / "prefix")
    log("making a Wine prefix")
    wine.make_prefix(env)
    python = prepared_python(cache, scratch, wheel, env)
    hidden = module_imports(python, env)
    log(f"named to PyInstaller: {len(hidden)} modules, {' '.join(hidden)}")
    work = scratch / "pyinstaller"
    wine.run([python, "-m", "PyInstaller", "--onefile", "--console", "--noupx", "--noconfirm", "--clean",
              "--log-level", "WARN", f"--name={NAME}",
              "--distpath", wine.windows_path(work / "dist"), "--workpath", wine.windows_path(work / "build"),
              "--specpath", wine.windows_path(work),
              *[f"--hidden-import={name}" for name in hidden], wine.windows_path(ENTRY)], env, unshown=UCRT)
    out.mkdir(parents=True, exist_ok=True)
    program = out / f"{NAME}.exe"
    shutil.copyfile(work / "dist" / f"{NAME}.exe", program)
    version = wine.run([python, "-m", "PyInstaller", "--version"], env).stdout.strip()
    log(f"{program}: {program.stat().st_size:,} bytes (PyInstaller {version})")
    return program


def listing(folder):
    return sorted(p.relative_to(folder).as_posix() for p in folder.rglob("*"))


def shown(output):
    """The program's output as text, shown."""
    text = wine.decoded(output)
    print(re.sub("\x1b\\[[0-9;]*m", "", text), flush=True)  # without the colours
    return text


def check(cache, scratch, program):
    """The program started under Wine in a foreign and in an empty folder."""
    env = wine.environment(scratch / "prefix")
    log("making a Wine prefix to check the program in")
    wine.make_prefix(env)
    python_dir = scratch / "python"
    embedded_python.prepare(cache, python_dir)
    env.update(WINEPATH=wine.windows_path(python_dir), HTTPS_PROXY=REFUSING_PROXY)

    # As a double-click starts it: a console of its own, which it keeps open until Enter.
    foreign = scratch / "foreign"
    foreign.mkdir()
    shutil.copyfile(program, foreign / program.name)
    (foreign / "notas.txt").write_text("mías")
    (foreign / "build").mkdir()
    log(f"{program.name} double-clicked in a folder holding notas.txt")
    output = io.BytesIO()
    status = wine.run_with_console([program.name], env, foreign, output, answers=[CLOSE_PROMPT.encode()])
    text = shown(output.getvalue())
    left = listing(foreign)
    if status != 2 or "no se inicia" not in text or CLOSE_PROMPT not in text:
        raise CheckFailed(f"in a foreign folder: status {status}, no refusal or no wait for Enter")
    if left != ["build", "notas.txt", program.name]:
        raise CheckFailed(f"in a foreign folder: {left} left")
    log(f"refused, waited for Enter, status {status}; the folder as it was: {', '.join(left)}")

    # As a shell starts it, with its input at its end: no console of its own, no added wait.
    empty = scratch / "empty"
    empty.mkdir()
    shutil.copyfile(program, empty / program.name)
    log(f"{program.name} started from a shell in an empty folder, downloads refused")
    started = subprocess.run([*wine.WINE, program.name], cwd=empty, env=env, stdin=subprocess.DEVNULL,
                             stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    text, status, left = shown(started.stdout), started.returncode, listing(empty)
    screens = text.count("[ FASE ]:")
    if (status != 1 or screens != 2 or "ERROR CRITICO:" not in text or "Traceback" in text
            or CLOSE_PROMPT in text):
        raise CheckFailed(f"in an empty folder: status {status}, {screens} screens, no failure line or a traceback")
    if left != [program.name]:
        raise CheckFailed(f"in an empty folder: {left} left")
    log(f"started frozen, found the interpreter, drew {screens} screens, reported the refused download: "
        f"status {status}; folder: {', '.join(left)}")


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("command", nargs="?", choices=["build", "check"], default="build")
    parser.add_argument("program", nargs="?", type=Path, help="the program to check")
    parser.add_argument("--out", type=Path, default=ROOT / "dist", help="where the program goes (default dist/)")
    parser.add_argument("--wheel", type=Path, help="the Windows wheel to use (default: built now)")
    args = parser.parse_args(argv)
    cache = Path(os.environ.get("TQ_VELMOR_WINE_CACHE") or Path.home() / ".cache" / "tq_velmor-wine")
    scratch = Path(tempfile.mkdtemp(prefix="tq_velmor-launcher-"))
    try:
        if args.command == "check":
            check(cache, scratch, (args.program or args.out / f"{NAME}.exe").resolve())
        else:
            wheel = args.wheel
            if wheel is None:
                log("building the Windows wheel")
                wheel = make_wheel.retag(make_wheel.build_backend_wheel(scratch / "backend",
                                                                       ROOT / "build-wheel-win"), scratch)
            make_wheel.check(wheel)
            build(cache, scratch, wheel.resolve(), args.out.resolve())
    except (CheckFailed, embedded_python.CheckFailed, make_wheel.BadWheel,
            subprocess.CalledProcessError) as failure:
        log(f"FAILED: {failure}")
        return 1
    finally:
        wine.stop(wine.environment(scratch / "prefix"))
        shutil.rmtree(scratch, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
