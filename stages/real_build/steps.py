"""The build's three commands: run by hand for the cost beside main's, and run again to show why
a step failed.

The build hides the output of the commands it runs. When its run fails, the command of the
step it stopped at (told by the last screen it drew) runs again here with its output shown.
"""

import re
import threading
import time
from dataclasses import dataclass, field

# The module's dependency list (src/driver/build.cpp), in its order.
DEPS = ("mutagen", "pycryptodomex", "websockets", "brotli", "certifi", "requests", "pyinstaller")

# Each step, with the screen the build draws before it and the one it draws after it.
SCREENS = {
    "pip": ("Instalando dependencias...", "Optimizando (Lazy Extractors)..."),
    "lazy extractors": ("Optimizando (Lazy Extractors)...", "Compilando Binario Oficial..."),
    "packaging": ("Compilando Binario Oficial...", "Finalizando..."),
}
UPX_AVAILABLE = re.compile(r"UPX is (?:not )?available[^\r\n]*")
UPX_RUN = re.compile(r"Executing: upx ")


def commands(python):
    """(step, command, runs in the tree, gets the packaging environment), in the build's order."""
    return [
        ("pip", [python, "-m", "pip", "install", *DEPS, "--disable-pip-version-check"], False, False),
        ("lazy extractors", [python, "devscripts/make_lazy_extractors.py"], True, False),
        ("packaging", [python, "-m", "bundle.pyinstaller"], True, True),
    ]


def plain(output):
    """A run's output without its colours."""
    return re.sub(r"\x1b\[[0-9;]*m", "", output)


def screens(output):
    """The phase texts of the progress screens in a run's output, in order."""
    return re.findall(r"\[ FASE \]: (.*?)\r?$", plain(output), re.M)


def last_screen(output):
    return (screens(output) or [None])[-1]


def failed_step(output):
    """The step a run stopped in, told by its last screen (the packaging when that is "Finalizando...":
    it ended without the executable)."""
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
    seconds: dict = field(default_factory=dict)  # step -> seconds
    failed: str | None = None
    upx: str = "UPX not used"  # what PyInstaller's log says of UPX

    @property
    def total(self):
        return sum(self.seconds.values())

    def __str__(self):
        return ", ".join(f"{step} {s:.0f} s" for step, s in self.seconds.items()) + f"; PyInstaller: {self.upx}"


class Beside:
    """`run_all(*args)` in a thread of its own while the block runs: the commands by hand and main's
    run at the same time, so that whatever else loads the machine loads both. `timing` after."""

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


def run_all(python, tree, run, show):
    """The three commands in the tree `tree`; `run(command, in_tree, packaging)` returns
    (status, output text). A failing command's output goes to `show`; the rest stops there."""
    timing = Timing()
    for step, command, in_tree, packaging in commands(python):
        start = time.monotonic()
        status, output = run(command, in_tree, packaging)
        timing.seconds[step] = time.monotonic() - start
        if step == "packaging":
            available, runs = UPX_AVAILABLE.search(output), len(UPX_RUN.findall(output))
            if available or runs:
                timing.upx = f"{available[0] if available else 'no word on UPX'}; upx run on {runs} files"
        if status != 0:
            timing.failed = step
            show(f"by hand: {step} ({' '.join(map(str, command))}) exited with status {status}:\n{output}")
            break
    return timing


def rerun_failed(python, output, run, show):
    """Runs again, visibly, the command of the step at which a build's `output` stopped."""
    step = failed_step(output)
    if step is None:
        show(f"the build stopped before its first command (last screen: {last_screen(output)!r})")
        return
    for name, command, in_tree, packaging in commands(python):
        if name == step:
            status, text = run(command, in_tree, packaging)
            show(f"the build stopped at the {step} step; run again by hand: status {status}\n{text}")
