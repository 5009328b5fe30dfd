"""The test suite inside the official CPython 3.11.9 for Windows x64, run by Wine.

  python3 -m tooling stages.windows_tests [PYTEST ARGUMENT...]

1. the embeddable interpreter, checked file by file and signature by signature before
   anything in it runs (wine_runtime/embedded_python.py), is laid out in a scratch folder;
2. the Windows wheel is built from this checkout (release/wheel.py), or taken from
   TQ_VELMOR_WINDOWS_WHEEL when CI has built it once for every stage;
3. pip and the pinned pure-Python wheels of the test and docs extras are fetched for
   win_amd64, once, into the cache;
4. a fresh Wine prefix is made, and the Windows pip installs the wheel with those extras;
5. pytest runs in that interpreter against the installed module, with a real console
   (a pseudo-terminal) so that the console title and "cls" are Windows' own.

The cache (TQ_VELMOR_WINE_CACHE, default ~/.cache/tq_velmor-wine) keeps the downloads
between runs; everything else lives in the scratch folder and is removed afterwards, and
only the Wine server of that prefix is stopped.
"""

import os
import subprocess
import sys
from pathlib import Path

from release import wheel as release_wheel
from tooling import logger, pins
from wine_runtime import embedded_python, wine

ROOT = Path(__file__).resolve().parent.parent

MINGW_CC = "x86_64-w64-mingw32-gcc-win32"
EXTRAS = ["test", "docs"]  # what the README's test command installs on Linux


log = logger("windows-tests")


def windows_wheel(scratch):
    """The Windows wheel named by TQ_VELMOR_WINDOWS_WHEEL (CI builds it once for every stage), or
    one built now from this checkout; checked either way."""
    given = os.environ.get("TQ_VELMOR_WINDOWS_WHEEL")
    if given:
        wheel = Path(given)
    else:
        log("building the Windows wheel")
        wheel = release_wheel.build(scratch, ROOT / "build-wheel-win")
    count, _ = release_wheel.check(wheel)
    log(f"{wheel.name}: {wheel.stat().st_size} bytes, {count} files, RECORD matches")
    return wheel


def stage(pytest_args, cache, scratch):
    python_dir = scratch / "python"
    embedded_python.prepare(cache, python_dir)
    wheel = windows_wheel(scratch)
    # The pinned extras, markers dropped: each pin is fetched for Windows whatever it says.
    extras = pins.extras()
    wheels = wine.fetch_wheels(cache / "wheels", [wine.PIP, *(pin for extra in EXTRAS for pin in extras[extra])])
    wine.install_pip(wheels, python_dir)

    # The tests' fake programs on Windows: a stub that runs the Python script beside it.
    stub = scratch / "fake_program.exe"
    subprocess.run([MINGW_CC, "-O2", "-s", "-municode", "-Wall", "-o", str(stub),
                    str(ROOT / "tests" / "windows" / "fake_program.c")], check=True)

    env = wine.environment(scratch / "prefix")
    env["TQ_VELMOR_FAKE_PROGRAM"] = wine.windows_path(stub)
    log("making a Wine prefix")
    wine.make_prefix(env)

    python = wine.windows_path(python_dir / "python.exe")
    wine.run([python, "-m", "pip", "install", "--no-index", "--find-links", wine.windows_path(wheels),
              "--disable-pip-version-check", "--no-warn-script-location",
              f"{wine.windows_path(wheel)}[{','.join(EXTRAS)}]"], env)
    wine.run([python, "-c", "import sys, tq_velmor; print('windows-tests: tq_velmor from', tq_velmor.__file__, "
              "'in', sys.version)"], env, cwd=ROOT)

    log("running the test suite in the Windows interpreter")
    # The log is UTF-8 whatever the console's code page; the tests' children choose their own.
    env["PYTHONIOENCODING"] = "utf-8"
    # Its compiled test files (pytest's rewritten asserts name Windows paths) stay out of the
    # checkout, whose __pycache__ the Linux runs beside this one read.
    env["PYTHONPYCACHEPREFIX"] = wine.windows_path(scratch / "pycache")
    # The tooling's own tests (tests/tooling/) are left out: this stage is the product's, and they
    # need what only the Linux side installs (PyInstaller's reader).
    return wine.run_with_console([python, "-m", "pytest", "-p", "no:cacheprovider", "--ignore=tests/tooling",
                                  *pytest_args], env, ROOT)


def main(argv):
    status = wine.in_scratch("tq_velmor-windows-tests-", lambda scratch: stage(argv, wine.cache(), scratch), log)
    log("passed" if status == 0 else f"FAILED, exit status {status}")
    return status


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
