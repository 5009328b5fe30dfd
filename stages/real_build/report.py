"""What one host's half of the real build tells: progress as it goes, problems, the summary line."""

import sys
import threading
from dataclasses import dataclass, field

from .steps import Timing

_print_lock = threading.Lock()


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

    def say(self, text):
        """A line (or lines) of progress, prefixed with the host: both halves run at once."""
        with _print_lock:
            for line in str(text).splitlines() or [""]:
                sys.stdout.write(f"{self.host}: {line}\n")
            sys.stdout.flush()

    def problem(self, text):
        self.problems.append(text.splitlines()[0])
        self.say(f"PROBLEM: {text}")

    @property
    def passed(self):
        return not self.problems

    def summary(self):
        size = "no executable"
        if self.size:
            size = f"{self.executable} {self.size / 1048576:.2f} MB ({self.size:,} bytes)"
        if self.main_seconds and self.by_hand and self.by_hand.total and not self.by_hand.failed:
            ratio = (f"main {self.main_seconds:.0f} s against {self.by_hand.total:.0f} s by hand: "
                     f"ratio {self.main_seconds / self.by_hand.total:.2f}")
        else:
            ratio = "no ratio"
        return (f"real build: {self.host}: {size}, --version {self.version or '?'}, "
                f"PyInstaller {self.pyinstaller or '?'}, {ratio}")
