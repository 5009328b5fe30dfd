"""The test suite inside the official CPython 3.11.9 for Windows x64, run by Wine.

  python3 windows/wine_stage.py [PYTEST ARGUMENT...]

1. the embeddable interpreter, checked file by file and signature by signature before
   anything in it runs (embedded_python.py), is laid out in a scratch folder;
2. the Windows wheel is built from this checkout (make_wheel.py);
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
import platform
import re
import shlex
import shutil
import subprocess
import sys
import tempfile
import threading
import tomllib
import zipfile
from pathlib import Path

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent
sys.path.insert(0, str(HERE))

import embedded_python  # noqa: E402
import make_wheel  # noqa: E402

PIP = "pip==23.2.1"
MINGW_CC = "x86_64-w64-mingw32-gcc-win32"
# Wine maps its shared user data at a fixed address. In a randomised address space a process
# start now and then finds that address taken ("failed to map the shared user data") and fails:
# about one start in 1,600 here, and a run of the suite makes several hundred. So no Wine
# program gets one.
WINE = ["setarch", platform.machine(), "--addr-no-randomize", "wine"]
EXTRAS = ["test", "docs"]  # what the README's test command installs on Linux
# The Linux side's settings must not steer the Windows interpreter or its pip.
DROPPED = re.compile(r"PYTHON.*|PYENV.*|VIRTUAL_ENV|CONDA.*|PIP_.*|LD_PRELOAD|ASAN_OPTIONS|UBSAN_OPTIONS")


def log(text):
    print(f"wine-stage: {text}", flush=True)


def test_requirements():
    """The pinned extras, markers dropped: each pin is fetched for Windows whatever it says."""
    project = tomllib.loads((ROOT / "pyproject.toml").read_text())["project"]
    pins = [r.split(";")[0].strip() for extra in EXTRAS for r in project["optional-dependencies"][extra]]
    loose = [p for p in pins if "==" not in p]
    if loose:
        raise SystemExit(f"wine-stage: the extras {EXTRAS} must pin exact versions: {loose}")
    return pins


def _have(folder, pin):
    name, version = pin.split("==")
    stem = re.sub(r"[-_.]+", "_", name).lower()
    return any(f.name.lower().startswith(f"{stem}-{version}-") for f in folder.glob("*.whl"))


def fetch_wheels(folder, pins):
    """Pure-Python (or win_amd64) wheels of `pins`, downloaded only when not cached yet."""
    folder.mkdir(parents=True, exist_ok=True)
    missing = [p for p in pins if not _have(folder, p)]
    if missing:
        log(f"fetching {' '.join(missing)}")
        subprocess.run([sys.executable, "-m", "pip", "download", "--no-deps", "--only-binary", ":all:",
                        "--platform", "win_amd64", "--python-version", "3.11", "--implementation", "cp",
                        "--abi", "cp311", "-d", str(folder), *missing], check=True, stdin=subprocess.DEVNULL)
    return folder


def wine_environment(prefix):
    env = {k: v for k, v in os.environ.items() if not DROPPED.fullmatch(k)}
    env.update(WINEPREFIX=str(prefix), WINEARCH="win64", WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml=")
    return env


def windows_path(path):
    return "Z:" + str(path).replace("/", "\\")


def run(command, env, **kwargs):
    """A Windows program under Wine: standard input from /dev/null, output through a pipe
    (Wine's CPython refuses a regular file as a standard handle)."""
    process = subprocess.run([*WINE, *command], env=env, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                             stderr=subprocess.STDOUT, **kwargs)
    sys.stdout.write(process.stdout.decode("utf-8", "replace"))
    process.check_returncode()


def run_with_console(command, env, cwd):
    """Runs a Windows program with a console of its own (a pseudo-terminal from `script`),
    its output through a FIFO to our standard output; returns its exit status."""
    with tempfile.TemporaryDirectory() as folder:
        fifo = Path(folder) / "output"
        os.mkfifo(fifo)

        def relay():
            with open(fifo, "rb") as source:
                for chunk in iter(lambda: source.read1(65536), b""):
                    sys.stdout.buffer.write(chunk)
                    sys.stdout.flush()

        reader = threading.Thread(target=relay, daemon=True)
        reader.start()
        inner = f"{shlex.join([*WINE, *command])} > {shlex.quote(str(fifo))} 2>&1"
        try:
            # What the console itself shows (titles, cleared screens) is not the output.
            status = subprocess.run(["script", "-qec", inner, "/dev/null"], env=env, cwd=cwd,
                                    stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL).returncode
        finally:
            if reader.is_alive():
                # The program may never have opened the FIFO (Wine failed first): let the reader
                # go. A Windows process left holding it is ended with the Wine server afterwards.
                with open(fifo, "wb"):
                    pass
            reader.join(timeout=60)
    return status


def stage(pytest_args, cache, scratch):
    python_dir = scratch / "python"
    embedded_python.prepare(cache, python_dir)

    log("building the Windows wheel")
    wheel = make_wheel.retag(make_wheel.build_backend_wheel(scratch / "backend", ROOT / "build-wheel-win"),
                             scratch)
    count, _ = make_wheel.check(wheel)
    log(f"{wheel.name}: {wheel.stat().st_size} bytes, {count} files, RECORD matches")

    wheels = fetch_wheels(cache / "wheels", [PIP, *test_requirements()])
    pip_wheel = next(f for f in wheels.glob("pip-*.whl") if f.name.startswith(f"pip-{PIP.split('==')[1]}-"))
    with zipfile.ZipFile(pip_wheel) as z:  # the embeddable distribution comes without pip
        z.extractall(python_dir / "Lib" / "site-packages")

    # The tests' fake programs on Windows: a stub that runs the Python script beside it.
    stub = scratch / "fake_program.exe"
    subprocess.run([MINGW_CC, "-O2", "-s", "-municode", "-Wall", "-o", str(stub),
                    str(ROOT / "tests" / "windows" / "fake_program.c")], check=True)

    prefix = scratch / "prefix"
    env = wine_environment(prefix)
    env["TQ_VELMOR_FAKE_PROGRAM"] = windows_path(stub)
    log("making a Wine prefix")
    boot = subprocess.run([*WINE, "wineboot", "-i"], env=env, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                          stderr=subprocess.STDOUT)
    if boot.returncode:  # what it says is only noise when it works
        sys.stdout.write(boot.stdout.decode("utf-8", "replace"))
        boot.check_returncode()
    subprocess.run(["wineserver", "-w"], env=env, check=True)

    python = windows_path(python_dir / "python.exe")
    run([python, "-m", "pip", "install", "--no-index", "--find-links", windows_path(wheels),
         "--disable-pip-version-check", "--no-warn-script-location", f"{windows_path(wheel)}[{','.join(EXTRAS)}]"], env)
    run([python, "-c", "import sys, tq_velmor; print('wine-stage: tq_velmor from', tq_velmor.__file__, "
         "'in', sys.version)"], env, cwd=ROOT)

    log("running the test suite in the Windows interpreter")
    # The log is UTF-8 whatever the console's code page; the tests' children choose their own.
    env["PYTHONIOENCODING"] = "utf-8"
    # Its compiled test files (pytest's rewritten asserts name Windows paths) stay out of the
    # checkout, whose __pycache__ the Linux runs beside this one read.
    env["PYTHONPYCACHEPREFIX"] = windows_path(scratch / "pycache")
    return run_with_console([python, "-m", "pytest", "-p", "no:cacheprovider", *pytest_args], env, ROOT)


def main(argv):
    cache = Path(os.environ.get("TQ_VELMOR_WINE_CACHE") or Path.home() / ".cache" / "tq_velmor-wine")
    scratch = Path(tempfile.mkdtemp(prefix="tq_velmor-wine-"))
    try:
        status = stage(argv, cache, scratch)
    except (embedded_python.CheckFailed, make_wheel.BadWheel, subprocess.CalledProcessError) as failure:
        log(f"FAILED: {failure}")
        status = 1
    finally:
        subprocess.run(["wineserver", "-k"], env=wine_environment(scratch / "prefix"), stderr=subprocess.DEVNULL)
        shutil.rmtree(scratch, ignore_errors=True)
    log("passed" if status == 0 else f"FAILED, exit status {status}")
    return status


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
