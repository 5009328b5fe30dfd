"""Download faults on the real path: what a build does when the code host fails it.

Each run starts in a fresh folder that holds the yt-dlp.exe of an earlier run. The source
download fails four ways (code_host.py), each of which must end in the failure screen with
status 1, no traceback, and the earlier yt-dlp.exe untouched; so must yt-dlp's own PyInstaller
wheel changed in one byte, on Windows, with the failure screen saying it does not match its lock
(before the real build: it leaves an environment half made). The UPX archive comes with one byte
changed, while TQ_VELMOR_UPX_SHA256 names the good one: with the environment the real build
made, the build must go on without UPX and never write upx.exe (the folder is watched while it
runs).
"""

import threading
import time
from dataclasses import dataclass

import tooling
from .. import archive_differences
from . import steps

# (name, what the table calls it); the source faults are the fault host's.
SOURCE_FAULTS = [
    ("short", "source cut short of its Content-Length"),
    ("html", "source: a 200 HTML page (captive portal)"),
    ("500", "source: status 500"),
    ("reset", "source: connection reset mid-body"),
]
UPX_FAULT = "UPX archive with one byte changed"
WHEEL_FAULT = "PyInstaller wheel with one byte changed"
# What each host meets (the source faults only on Linux: they end before anything that differs;
# the wheel only Windows' lock names by URL).
RUNS = {"linux": [title for _, title in SOURCE_FAULTS] + [UPX_FAULT], "windows": [WHEEL_FAULT, UPX_FAULT]}
CRITICAL = "ERROR CRITICO:"
# What the earlier run left: any bytes will do, as long as they are told apart from a new build.
EARLIER = b"MZ an earlier run's yt-dlp.exe, to be left as it is\r\n"


@dataclass
class Fault:
    host: str
    name: str
    status: int | None
    seconds: float | None
    said: str  # the line of the last screen that tells the outcome
    left: str  # what the folder holds afterwards
    problems: list  # why it did not end as expected (empty when it did)

    @property
    def passed(self):
        return not self.problems


class Watch:
    """Polls `folder` for `name` every 0.1 s while the block runs; `seen` tells whether it ever
    appeared (checked once more at the end)."""

    def __init__(self, folder, name="upx.exe"):
        self.path, self.seen = folder / name, False
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._poll, daemon=True)

    def _poll(self):
        while not self._stop.is_set():
            self.seen = self.seen or self.path.exists()
            time.sleep(0.1)

    def __enter__(self):
        self._thread.start()
        return self

    def __exit__(self, *exc):
        self._stop.set()
        self._thread.join()
        self.seen = self.seen or self.path.exists()


def prepare(folder):
    """`folder`, made, holding an earlier run's yt-dlp.exe."""
    folder.mkdir(parents=True)
    (folder / "yt-dlp.exe").write_bytes(EARLIER)


def left_in(folder, own=()):
    """What `folder` holds, yt-dlp.exe told as the earlier one or a new one."""
    names = []
    for path in sorted(folder.iterdir()):
        if path.name in own:
            continue
        if path.is_dir():
            names.append(path.name + "/")
        elif path.name == "yt-dlp.exe":
            data = path.read_bytes()
            names.append("yt-dlp.exe (the earlier one)" if data == EARLIER else
                         f"yt-dlp.exe (new, {len(data):,} bytes, {upx_packed(path)})")
        else:
            names.append(f"{path.name} ({path.stat().st_size:,} bytes)")
    return ", ".join(names) or "nothing"


def packed_binaries(exe):
    """(how many of the binaries in a PyInstaller executable UPX packed, how many it holds);
    archive_differences.UNREADABLE when it is no such executable."""
    binaries = archive_differences.binaries(exe)
    packed = sum(1 for data in binaries if b"UPX0" in data[:1024])  # UPX's first section name, in the PE header
    return packed, len(binaries)


def upx_packed(exe):
    """How many of the binaries in the PyInstaller executable at `exe` UPX packed, in words."""
    try:
        packed, binaries = packed_binaries(exe)
    except archive_differences.UNREADABLE as failure:
        return f"not a PyInstaller archive: {failure}"
    return f"UPX packed {packed} of its {binaries} binaries"


def outcome_line(text):
    """The line of a run's output that tells how it ended."""
    plain = tooling.plain(text)
    for marker in (CRITICAL, "No se gener", "EXCELENTE"):
        line = next((line.strip() for line in plain.splitlines() if marker in line), None)
        if line:
            return line
    return f"(last screen {steps.last_screen(text)!r})"


def stopping_fault(host, name, status, seconds, text, folder, own=(), expected=""):
    """The verdict on the run of a fault that must stop the build: `expected` (a line's text, when
    given) on its failure screen."""
    problems = []
    if status != 1:
        problems.append(f"status {status}, expected 1")
    if CRITICAL not in tooling.plain(text):
        problems.append("no failure screen")
    elif expected not in tooling.plain(text):
        problems.append(f"the failure screen does not say {expected!r}")
    if "Traceback" in text:
        problems.append("a traceback")
    exe = folder / "yt-dlp.exe"
    if not exe.is_file() or exe.read_bytes() != EARLIER:
        problems.append("the earlier yt-dlp.exe was not left as it was")
    return Fault(host, name, status, seconds, outcome_line(text), left_in(folder, own), problems)


def upx_fault(host, status, seconds, text, folder, watch, expected_status, expected_line, new_exe, own=()):
    """The verdict on the changed UPX archive's run: a build without UPX that never wrote upx.exe."""
    problems = []
    if status != expected_status:
        problems.append(f"status {status}, expected {expected_status}")
    if expected_line not in tooling.plain(text) or CRITICAL in tooling.plain(text) or "Traceback" in text:
        problems.append(f"expected {expected_line!r} and no failure screen")
    if watch.seen:
        problems.append("upx.exe was written")
    exe = folder / "yt-dlp.exe"
    data = exe.read_bytes() if exe.is_file() else b""
    if new_exe and (data in (b"", EARLIER) or "UPX packed 0 " not in upx_packed(exe)):
        problems.append("expected a new yt-dlp.exe with no binary packed by UPX")
    if not new_exe and data != EARLIER:
        problems.append("the earlier yt-dlp.exe was not left as it was")
    return Fault(host, UPX_FAULT, status, seconds, outcome_line(text), left_in(folder, own), problems)


def with_missing(host, faults):
    """`faults` (a host's runs), with a failing row for each of its runs that did not happen."""
    ran = {fault.name for fault in faults}
    return faults + [Fault(host, name, None, None, "", "", ["not run: the build before it failed or stopped"])
                     for name in RUNS[host] if name not in ran]


def table(faults):
    """The faults' table and the count line."""
    rows = [("host", "fault", "status", "time", "how it ended", "verdict", "left in the folder")]
    rows += [(f.host, f.name, "-" if f.status is None else str(f.status),
              "-" if f.seconds is None else f"{f.seconds:.0f} s", f.said,
              "as expected" if f.passed else "NOT as expected: " + "; ".join(f.problems), f.left) for f in faults]
    widths = [max(len(row[i]) for row in rows) for i in range(6)]
    lines = ["  " + "  ".join(cell.ljust(width) for cell, width in zip(row, widths)) + "  " + row[6] for row in rows]
    passed = sum(f.passed for f in faults)
    return "\n".join(["download faults:", *lines, f"download faults: {passed} of {len(faults)} ended as expected"])

