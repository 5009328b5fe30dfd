"""What one host's half of the real build tells: progress as it goes, problems, the summary line."""

import hashlib
import sys
import threading
from dataclasses import dataclass, field

from .. import archive_differences
from .steps import Timing

_print_lock = threading.Lock()


@dataclass
class Route:
    """How one interpreter's run of the program got to its yt-dlp.exe, and what that is."""
    interpreter: str  # "CPython 3.13.2"
    how: str | None = None  # how the build went (None: it made nothing, or nothing that adds up)
    size: int | None = None
    sha256: str | None = None
    packed: str | None = None  # faults.upx_packed's words
    seconds: float | None = None  # the program's run, to the end it showed
    version: str | None = None  # the first line yt-dlp.exe --version printed
    started: bool = False  # it answered --version with the tree's version
    check_seconds: float | None = None  # how long that took

    @property
    def outcome(self):
        return f"{self.how} and starting" if self.started else f"{self.how or 'no route'}, NOT starting"

    def line(self, host):
        made = "no executable"
        if self.size:
            made = f"yt-dlp.exe {self.size / 1048576:.2f} MB ({self.size:,} bytes), sha256 {self.sha256}, {self.packed}"
        if self.check_seconds is not None:
            made += f", --version {self.version!r} in {self.check_seconds:.1f} s"
        run = f"the program's run {self.seconds:.0f} s" if self.seconds is not None else "the program did not run"
        return f"real build: {host}: {self.interpreter}: {self.outcome}; {made}; {run}"


@dataclass
class Result:
    host: str
    problems: list = field(default_factory=list)
    executable: str | None = None
    size: int | None = None
    version: str | None = None
    pyinstaller: str | None = None
    main_seconds: float | None = None
    by_hand: Timing | None = None
    sha256: str | None = None
    identical: bool | None = None  # None: nothing made by hand to compare with
    faults: list = field(default_factory=list)  # faults.Fault, the download faults' runs
    routes: list = field(default_factory=list)  # Route, one for each interpreter the program ran with

    def say(self, text):
        """A line (or lines) of progress, prefixed with the host: both halves run at once."""
        with _print_lock:
            for line in str(text).splitlines() or [""]:
                sys.stdout.write(f"{self.host}: {line}\n")
            sys.stdout.flush()

    def problem(self, text):
        self.problems.append(text.splitlines()[0])
        self.say(f"PROBLEM: {text}")

    def compare(self, made, by_hand):
        """The executable the build `made` against the one made `by_hand` from the same inputs: they
        must be the same bytes; otherwise a problem names the members that differ."""
        data = made.read_bytes()
        self.executable, self.size, self.sha256 = made.name, len(data), hashlib.sha256(data).hexdigest()
        if not by_hand.is_file():
            self.problem(f"nothing to compare {made.name} with: {by_hand} was not made")
            return
        other = by_hand.read_bytes()
        self.identical = data == other
        if self.identical:
            self.say(f"{made.name}: sha256 {self.sha256}, the same bytes as {by_hand}")
            return
        self.problem(f"{made.name} (sha256 {self.sha256}) differs from the one made by hand "
                     f"(sha256 {hashlib.sha256(other).hexdigest()}):\n"
                     + "\n".join(archive_differences.differences(made, by_hand)))

    def fault(self, fault):
        self.faults.append(fault)
        self.say(f"fault {fault.name!r}: status {fault.status}; {fault.said}; left: {fault.left}; "
                 + ("as expected" if fault.passed else "NOT as expected: " + "; ".join(fault.problems)))
        if not fault.passed:
            self.problems.append(f"fault {fault.name!r}: " + "; ".join(fault.problems))

    @property
    def passed(self):
        return not self.problems

    def summary(self):
        size = "no executable"
        if self.size:
            size = f"{self.executable} {self.size / 1048576:.2f} MB ({self.size:,} bytes), sha256 {self.sha256}, " + {
                True: "identical to the run by hand", False: "NOT identical to the run by hand",
                None: "not compared"}[self.identical]
        if self.main_seconds and self.by_hand and self.by_hand.total and not self.by_hand.failed:
            ratio = (f"main {self.main_seconds:.0f} s against {self.by_hand.total:.0f} s by hand: "
                     f"ratio {self.main_seconds / self.by_hand.total:.2f}")
        else:
            ratio = "no ratio"
        return "\n".join([f"real build: {self.host}: {size}, --version {self.version or '?'}, "
                          f"PyInstaller {self.pyinstaller or '?'}, {ratio}",
                          *(route.line(self.host) for route in self.routes)])
