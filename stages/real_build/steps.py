"""The build's commands as yt-dlp's own build runs them, by hand: beside the program's build (for the
cost, and for the executable, which must be the same bytes), and again to show why a step of a
failed build failed.

The recipe, in the build's environment (the user base at the same path, PIP_USER): the source's
locks in their order, each `pip install -U --require-hashes -r LOCK` with PIP_IGNORE_INSTALLED
(nothing taken from the interpreter's own packages), where the PyInstaller lock's own wheel cannot
be fetched that lock without it and the same version from the package index; version.py through
the tree's set-variant.py and the commit; the lazy extractors; PyInstaller.
"""

import json
import os
import re
import threading
import time
from dataclasses import dataclass, field
from pathlib import Path

from tooling import plain
from tq_velmor_host import environment, locks, source

# Each phase, with the screen the build draws before it and the one it draws after it.
SCREENS = {
    "pip": ("Instalando dependencias...", "Optimizando (Lazy Extractors)..."),
    "lazy extractors": ("Optimizando (Lazy Extractors)...", "Compilando Binario Oficial..."),
    "packaging": ("Compilando Binario Oficial...", "Finalizando..."),
}
UPX_AVAILABLE = re.compile(r"UPX is (?:not )?available[^\r\n]*")
UPX_RUN = re.compile(r"Executing: upx ")
# What the lock installs run with besides the environment's settings, as the build's do.
LOCKED = {"PIP_IGNORE_INSTALLED": "1", "PIP_DISABLE_PIP_VERSION_CHECK": "1"}
# Prints, as JSON, the interpreter that runs the build and the environment's settings, for the
# interpreter named first, by the host package in the folder named second: the same path and
# variables as the build's own, computed by the build's own code in that interpreter.
PROBE = ("import json, sys; sys.path.insert(0, sys.argv[2]); from tq_velmor_host import environment; "
         "e = environment.Environment(sys.argv[1], None, say=None); "
         "print(json.dumps({'python': e.python, 'settings': e.settings()}))")


def host_package():
    """The folder that holds the installed host package (for PROBE)."""
    return Path(environment.__file__).resolve().parent.parent


def probed(output):
    """(the interpreter that runs the build, its environment's settings) from PROBE's output."""
    found = json.loads(output.strip().splitlines()[-1])
    return found["python"], found["settings"]


@dataclass
class Recipe:
    """What the commands need: the interpreter (as the runner names it), the tree (a path here),
    the platform's two locks after pip.txt, the update hint in the program's language, the commit."""
    python: str
    tree: Path
    platform: tuple  # (os.name, machine) as locks.PLATFORMS has it
    hint: str
    commit: str

    @property
    def lock_names(self):
        return (locks.PIP, *locks.PLATFORMS[self.platform])

    def lock(self, name):
        return os.path.join(locks.FOLDER, name).replace(os.sep, "/")

    def pip(self, *arguments):
        return [self.python, "-m", "pip", "install", *arguments]


def screens(output):
    """The phase texts of the progress screens in a run's output, in order."""
    return re.findall(r"\[ FASE \]: (.*?)\r?$", plain(output), re.M)


def last_screen(output):
    return (screens(output) or [None])[-1]


def failed_step(output):
    """The phase a run stopped in, told by its last screen (the packaging when that is
    "Finalizando...": it ended without the executable)."""
    last = last_screen(output)
    return next((step for step, (before, after) in SCREENS.items() if last in (before, after)), None)


class Recorder:
    """A run's output as it comes (a binary stream to write to), with the time from its start to
    its end: to the first `end` (bytes) in the output, or to `finish()`. (Not to each screen: a
    program writing to a pipe, not a console, buffers its output.)"""

    def __init__(self, end=None):
        self.data = bytearray()
        self.start = time.monotonic()
        self.end = end
        self.seconds = None

    def write(self, chunk):
        self.data += chunk
        if self.seconds is None and self.end and self.end in self.data:
            self.seconds = time.monotonic() - self.start
        return len(chunk)

    def flush(self):
        pass

    def finish(self):
        if self.seconds is None:
            self.seconds = time.monotonic() - self.start


@dataclass
class Timing:
    seconds: dict = field(default_factory=dict)  # phase -> seconds
    failed: str | None = None
    upx: str = "UPX not used"  # what PyInstaller's log says of UPX
    pyinstaller_from_index: str | None = None  # why, when the fallback was taken (pip's last line)

    @property
    def total(self):
        return sum(self.seconds.values())

    def __str__(self):
        fallback = "; PyInstaller from the package index" if self.pyinstaller_from_index else ""
        phases = ", ".join(f"{step} {s:.0f} s" for step, s in self.seconds.items())
        return f"{phases}; PyInstaller: {self.upx}{fallback}"


class Beside:
    """`run_all_(*args)` in a thread of its own while the block runs: the commands by hand and the
    program's run at the same time, so that whatever else loads the machine loads both. `timing` after."""

    def __init__(self, run_all_, *args):
        self.timing = None

        def work():
            self.timing = run_all_(*args)

        self.thread = threading.Thread(target=work)

    def __enter__(self):
        self.thread.start()
        return self

    def __exit__(self, *exc):
        self.thread.join()
        if self.timing is None:
            self.timing = Timing(failed="(it stopped: see above)")


def install_locks(recipe, run, timing):
    """The three locks; returns (status, output, command) of the first that failed, or None."""
    for step, name in enumerate(recipe.lock_names):
        command = recipe.pip("-U", "--require-hashes", "-r", recipe.lock(name))
        status, output = run(command, True, False, LOCKED)
        named = locks.url_requirement(recipe.tree / recipe.lock(name)) if step == 1 else None
        if status and named and environment.HASH_MISMATCH not in output:
            # yt-dlp's own PyInstaller could not be fetched: the lock without it, and the same
            # version from the index.
            line, url, _ = named
            timing.pyinstaller_from_index = environment.last_error(output) or "no ERROR line"
            copy = locks.rewritten(recipe.tree / recipe.lock(name), line, "", recipe.tree.parent / "locks")
            command = recipe.pip("-U", "--require-hashes", "-r", f"../locks/{Path(copy).name}")
            status, output = run(command, True, False, LOCKED)
            if not status:
                command = recipe.pip("--no-deps", f"pyinstaller=={locks.version_in(url)}")
                status, output = run(command, True, False, LOCKED)
        if status:
            return status, output, command
    return None


def mark_version(recipe, run):
    """version.py as the build leaves it: the variant and the hint by the tree's set-variant.py,
    the commit by the same substitution. Returns (status, output, command) when the script failed."""
    command = [recipe.python, source.SET_VARIANT.replace(os.sep, "/"), source.VARIANT, "-M", recipe.hint]
    status, output = run(command, True, False, {})
    if status:
        return status, output, command
    path = recipe.tree / source.VERSION_FILE
    text = path.read_text(encoding="utf-8")
    path.write_text(source.setting("RELEASE_GIT_HEAD", recipe.commit)(text), encoding="utf-8", newline="")
    return None


def phases(recipe):
    """(phase, what runs it) in the build's order; each returns (status, output, command) of a failure."""

    def lazy_extractors(run, timing):
        command = [recipe.python, "devscripts/make_lazy_extractors.py"]
        status, output = run(command, True, False, {})
        return (status, output, command) if status else None

    def packaging(run, timing):
        command = [recipe.python, "-m", "bundle.pyinstaller"]
        status, output = run(command, True, True, {})
        available, runs = UPX_AVAILABLE.search(output), len(UPX_RUN.findall(output))
        if available or runs:
            timing.upx = f"{available[0] if available else 'no word on UPX'}; upx run on {runs} files"
        return (status, output, command) if status else None

    return [("pip", lambda run, timing: install_locks(recipe, run, timing)),
            ("version.py", lambda run, timing: mark_version(recipe, run)),
            ("lazy extractors", lazy_extractors), ("packaging", packaging)]


def run_all(recipe, run, show):
    """The recipe in its tree; `run(command, in_tree, packaging, more variables)` returns (status,
    output text). A failing command's output goes to `show`; the rest stops there."""
    timing = Timing()
    for phase, work in phases(recipe):
        start = time.monotonic()
        failure = work(run, timing)
        timing.seconds[phase] = time.monotonic() - start
        if failure:
            status, output, command = failure
            timing.failed = phase
            show(f"by hand: {phase} ({' '.join(map(str, command))}) exited with status {status}:\n{output}")
            break
    return timing


def rerun_failed(recipe, output, run, show):
    """Runs again, visibly, the commands of the phase at which a build's `output` stopped."""
    step = failed_step(output)
    if step is None:
        show(f"the build stopped before its first command (last screen: {last_screen(output)!r})")
        return
    work = dict(phases(recipe))[step]
    failure = work(run, Timing())
    if failure:
        status, text, command = failure
        show(f"the build stopped at the {step} step; run again by hand: {' '.join(map(str, command))}: "
             f"status {status}\n{text}")
    else:
        show(f"the build stopped at the {step} step; run again by hand, it passed")
