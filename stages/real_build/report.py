"""What one host's half of the real build tells: progress as it goes, problems, the summary lines."""

import hashlib
import sys
import threading
from dataclasses import dataclass, field

from .. import archive_differences
from .steps import Timing

_print_lock = threading.Lock()


@dataclass
class Run:
    """One run of the program: its time to the end it showed, and its dependencies' phase as the
    program told it (the environment made or reused, in how many seconds)."""
    seconds: float | None = None
    environment: str | None = None  # "made", "reused"
    pip_seconds: int | None = None

    def __str__(self):
        if self.seconds is None:
            return "did not run"
        pip = f"pip phase {self.pip_seconds} s, environment {self.environment}" if self.environment else "no pip phase"
        return f"{self.seconds:.0f} s ({pip})"


@dataclass
class Route:
    """How one interpreter's runs of the program got to the executable, and what that is."""
    interpreter: str  # "CPython 3.13.2"
    how: str | None = None  # how the build went (None: it made nothing, or nothing that adds up)
    size: int | None = None
    sha256: str | None = None
    packed: str | None = None  # faults.upx_packed's words
    first: Run = field(default_factory=Run)
    second: Run = field(default_factory=Run)
    version: str | None = None  # the first line --version printed
    started: bool = False  # it answered --version with the tree's version
    check_seconds: float | None = None  # how long that took
    libraries: str | None = None  # what its verbose header lists
    update: str | None = None  # what -U did, in a few words

    @property
    def outcome(self):
        return f"{self.how} and starting" if self.started else f"{self.how or 'no route'}, NOT starting"

    def line(self, host):
        made = "no executable"
        if self.size:
            made = f"{self.size / 1048576:.2f} MB ({self.size:,} bytes), sha256 {self.sha256}"
            if self.packed:
                made += f", {self.packed}"
        if self.check_seconds is not None:
            made += f", --version {self.version!r} in {self.check_seconds:.1f} s"
        return (f"real build: {host}: {self.interpreter}: {self.outcome}; {made}; libraries: {self.libraries or '?'}; "
                f"first build {self.first}, second build {self.second}; -U: {self.update or 'not run'}")


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
    record: str | None = None  # the record file of the build compared with the run by hand

    def say(self, text):
        """A line (or lines) of progress, prefixed with the host: both halves run at once."""
        with _print_lock:
            for line in str(text).splitlines() or [""]:
                sys.stdout.write(f"{self.host}: {line}\n")
            sys.stdout.flush()

    def problem(self, text):
        self.problems.append(text.splitlines()[0])
        self.say(f"PROBLEM: {text}")

    def check(self, passed, text):
        """A problem unless `passed`; returns `passed`."""
        if not passed:
            self.problem(text)
        return passed

    def compare(self, made, by_hand):
        """The executable the build `made` against the one made `by_hand` from the same inputs: they
        must be the same bytes; otherwise a problem names the members that differ."""
        data = made.read_bytes()
        self.executable, self.size, self.sha256 = made.name, len(data), hashlib.sha256(data).hexdigest()
        self.identical = same_bytes(made, by_hand, "the one made by hand", self)

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
            ratio = (f"main {self.main_seconds:.0f} s against {self.by_hand.total:.0f} s by hand "
                     f"({self.by_hand}): ratio {self.main_seconds / self.by_hand.total:.2f}")
        else:
            ratio = "no ratio"
        return "\n".join([f"real build: {self.host}: {size}, --version {self.version or '?'}, "
                          f"PyInstaller {self.pyinstaller or '?'}, {ratio}",
                          *(route.line(self.host) for route in self.routes)])


def same_bytes(first, second, named, result, tag=""):
    """Whether the executables at `first` and `second` (`named` in the problem) are the same bytes; a
    problem naming the members that differ when they are not."""
    if not second.is_file():
        result.problem(f"{tag}nothing to compare {first.name} with: {second} was not made")
        return None
    a, b = first.read_bytes(), second.read_bytes()
    if a == b:
        result.say(f"{tag}{first.name}: sha256 {hashlib.sha256(a).hexdigest()}, the same bytes as {named}")
        return True
    result.problem(f"{tag}{first.name} (sha256 {hashlib.sha256(a).hexdigest()}) differs from {named} "
                   f"(sha256 {hashlib.sha256(b).hexdigest()}):\n"
                   + "\n".join(archive_differences.differences(first, second)))
    return False
