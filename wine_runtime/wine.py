"""Running the official Windows CPython and its programs under Wine: prefixes, paths, wheels.

Shared by what makes the release (release/) and the stages that prove it (stages/).
"""

import contextlib
import os
import platform
import re
import shlex
import shutil
import subprocess
import sys
import tempfile
import threading
import time
import zipfile
from pathlib import Path

from tooling import ToolingError, logger, pins

(PIP,) = pins.lines("windows-pip.txt")
# Wine maps its shared user data at a fixed address. In a randomised address space a process
# start now and then finds that address taken ("failed to map the shared user data") and fails:
# about one start in 1,600 here, and a run of the suite makes several hundred. So no Wine
# program gets one.
WINE = ["setarch", platform.machine(), "--addr-no-randomize", "wine"]
# The Linux side's settings must not steer the Windows interpreter or its pip.
DROPPED = re.compile(r"PYTHON.*|PYENV.*|VIRTUAL_ENV|CONDA.*|PIP_.*|LD_PRELOAD|ASAN_OPTIONS|UBSAN_OPTIONS")


log = logger("wine")


def cache():
    """Where the downloads of the Windows side are kept between runs: the checked interpreter's
    archive, wheels (TQ_VELMOR_WINE_CACHE, default ~/.cache/tq_velmor-wine)."""
    return Path(os.environ.get("TQ_VELMOR_WINE_CACHE") or Path.home() / ".cache" / "tq_velmor-wine")


def environment(prefix):
    env = {k: v for k, v in os.environ.items() if not DROPPED.fullmatch(k)}
    env.update(WINEPREFIX=str(prefix), WINEARCH="win64", WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml=")
    return env


def windows_path(path):
    return "Z:" + str(path).replace("/", "\\")


def make_prefix(env):
    """A fresh Wine prefix at env["WINEPREFIX"], its first start finished, and its server with
    Wine's own services kept running until stop(). Otherwise the first program of each busy
    spell starts them, they inherit its output, and whoever reads that output to its end waits
    until the prefix has gone idle."""
    boot = subprocess.run([*WINE, "wineboot", "-i"], env=env, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                          stderr=subprocess.STDOUT)
    if boot.returncode:  # what it says is only noise when it works
        sys.stdout.write(boot.stdout.decode("utf-8", "replace"))
        boot.check_returncode()
    subprocess.run(["wineserver", "-w"], env=env, check=True)
    subprocess.run(["wineserver", "-p"], env=env, check=True)
    subprocess.run([*WINE, "cmd", "/c", "exit"], env=env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL, check=True)


def stop(env):
    """Ends every program of that prefix (and only of it)."""
    subprocess.run(["wineserver", "-k"], env=env, stderr=subprocess.DEVNULL)


@contextlib.contextmanager
def scratch(prefix):
    """A scratch folder whose Wine prefix, if any, is `folder / "prefix"`; afterwards every program of
    that prefix is ended and the folder removed."""
    folder = Path(tempfile.mkdtemp(prefix=prefix))
    try:
        yield folder
    finally:
        stop(environment(folder / "prefix"))
        shutil.rmtree(folder, ignore_errors=True)


def in_scratch(prefix, work, say):
    """`work(folder)` given a scratch folder as scratch() makes it: its exit status (None as 0),
    or 1 with a FAILED line to `say` when one of its steps failed."""
    try:
        with scratch(prefix) as folder:
            return work(folder) or 0
    except (ToolingError, subprocess.CalledProcessError) as failure:
        say(f"FAILED: {failure}")
        return 1


def drive_c(env):
    return Path(env["WINEPREFIX"]) / "drive_c"


def run(command, env, check=True, unshown=None, quiet=False, **kwargs):
    """A Windows program under Wine: standard input from /dev/null, output through a pipe
    (Wine's CPython refuses a regular file as a standard handle) to ours, but for the lines
    that the pattern `unshown` matches (all of them when `quiet`). Returns the
    CompletedProcess, its output as text."""
    process = subprocess.run([*WINE, *command], env=env, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                             stderr=subprocess.STDOUT, **kwargs)
    process.stdout = decoded(process.stdout)
    if quiet:
        if check:
            process.check_returncode()
        return process
    lines = process.stdout.splitlines(keepends=True)
    shown = [line for line in lines if not (unshown and unshown.search(line))]
    sys.stdout.write("".join(shown))
    if len(shown) < len(lines):
        sys.stdout.write(f"({len(lines) - len(shown)} lines matching {unshown.pattern!r} not shown)\n")
    sys.stdout.flush()
    if check:
        process.check_returncode()
    return process


def run_with_console(command, env, cwd, output=None, answers=(), timeout=None):
    """Runs a Windows program with a console of its own (a pseudo-terminal from `script`),
    its output through a FIFO to `output` (a binary stream; default our standard output), and
    returns its exit status. When the output shows one of `answers` (bytes) and then stays
    still, Enter is pressed on the console's keyboard. Nothing else is typed: a read of the
    console waits. After `timeout` seconds every program of the prefix is ended."""
    output = output or sys.stdout.buffer
    prompted = threading.Event()  # a prompt is the last thing shown

    def watch(seen):
        """Notes a prompt in `seen`; returns the part that may hold the start of one."""
        for prompt in answers:
            if prompt in seen:
                prompted.set()
                seen = seen[seen.rfind(prompt) + len(prompt):]
        return seen[-max(map(len, answers)) + 1:]

    with tempfile.TemporaryDirectory() as folder:
        fifo = Path(folder) / "output"
        os.mkfifo(fifo)

        def relay():
            seen = b""
            with open(fifo, "rb") as source:
                for chunk in iter(lambda: source.read1(65536), b""):
                    prompted.clear()
                    output.write(chunk)
                    output.flush()
                    if answers:
                        seen = watch(seen + chunk)

        reader = threading.Thread(target=relay, daemon=True)
        inner = f"{shlex.join([*WINE, *command])} > {shlex.quote(str(fifo))} 2>&1"
        # What the console itself shows (titles, cleared screens) is not the output.
        console = subprocess.Popen(["script", "-qec", inner, "/dev/null"], env=env, cwd=cwd, stdin=subprocess.PIPE,
                                   stdout=subprocess.DEVNULL)
        reader.start()
        deadline = None if timeout is None else time.monotonic() + timeout
        try:
            while console.poll() is None:
                if deadline and time.monotonic() > deadline:
                    log(f"{command[0]} still running after {timeout} s: ending it")
                    stop(env)
                    deadline = None
                # Wine's console drops what was typed before the program's first read of it, so
                # Enter goes only after a pause, and again while nothing happens.
                if prompted.wait(timeout=0.5) and console.poll() is None:
                    time.sleep(2)
                    if prompted.is_set():
                        try:
                            console.stdin.write(b"\r")
                            console.stdin.flush()
                        except BrokenPipeError:  # it has just ended
                            pass
            status = console.returncode
        finally:
            if reader.is_alive():
                # The program may never have opened the FIFO (Wine failed first): let the reader
                # go. A Windows process left holding it is ended with the Wine server afterwards.
                with open(fifo, "wb"):
                    pass
            reader.join(timeout=60)
            try:
                console.stdin.close()
            except BrokenPipeError:
                pass
            console.wait()
    return status


def decoded(output):
    """A Windows program's output as text: UTF-8, or the ANSI code page it writes to a pipe."""
    try:
        return output.decode("utf-8")
    except UnicodeDecodeError:
        return output.decode("cp1252", "replace")


def _have(folder, pin):
    name, version = pin.split("==")
    stem = re.sub(r"[-_.]+", "_", name).lower()
    return any(f.name.lower().startswith(f"{stem}-{version}-") for f in folder.glob("*.whl"))


def fetch_wheels(folder, pins):
    """Wheels for CPython 3.11 on win_amd64 (pure-Python ones included) of the exact `pins`,
    downloaded into `folder` only when not there yet; returns `folder`. Nothing is resolved:
    each pin names one wheel, markers and requirements are the caller's business."""
    folder.mkdir(parents=True, exist_ok=True)
    missing = [p for p in pins if not _have(folder, p)]
    if missing:
        log(f"fetching {' '.join(missing)}")
        subprocess.run([sys.executable, "-m", "pip", "download", "--no-deps", "--only-binary", ":all:",
                        "--platform", "win_amd64", "--python-version", "3.11", "--implementation", "cp",
                        "--abi", "cp311", "-d", str(folder), *missing], check=True, stdin=subprocess.DEVNULL)
    return folder


def install_pip(wheels, python_dir):
    """pip unpacked into the interpreter's site-packages, as the Windows installer provides it
    (the embeddable distribution comes without)."""
    version = PIP.split("==")[1]
    pip_wheel = next(f for f in wheels.glob("pip-*.whl") if f.name.startswith(f"pip-{version}-"))
    with zipfile.ZipFile(pip_wheel) as z:
        z.extractall(python_dir / "Lib" / "site-packages")
