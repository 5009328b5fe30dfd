"""Whether a new yt-dlp.exe starts: run with --version, its input closed, within a time limit.

Its output goes to files, not pipes: a one-file executable runs as two processes, and a child
left holding a pipe would keep a reader waiting past any limit.
"""

import os
import signal
import subprocess
import tempfile
from dataclasses import dataclass

# A one-file executable unpacks itself before it answers, and a virus scanner may hold its first
# start for a while.
LIMIT = 120
SHOWN = 200  # characters of a line it printed, at most
READ = 65536  # bytes of its output read back, at most


@dataclass(frozen=True)
class Started:
    version: str


@dataclass(frozen=True)
class NotStarting:
    """Why it does not start: "error" (it could not be started; `detail` says why), "status" (it
    ended with the status `status`; `detail` is the first line it printed, or ""), "silent" (status
    0 and no version printed) or "hung" (stopped after `limit` seconds)."""
    kind: str
    detail: str = ""
    status: int = 0
    limit: int = 0


def first_line(data):
    for line in data.decode("utf-8", "replace").splitlines():
        if line.strip():
            return line.strip()[:SHOWN]
    return ""


def _stop(process):
    """Ends the process and whatever it started."""
    if os.name == "nt":
        taskkill = os.path.join(os.environ.get("SystemRoot", r"C:\Windows"), "System32", "taskkill.exe")
        try:
            subprocess.run([taskkill, "/F", "/T", "/PID", str(process.pid)], stdin=subprocess.DEVNULL,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=30)
        except (OSError, subprocess.TimeoutExpired):
            pass
    else:
        try:
            os.killpg(process.pid, signal.SIGKILL)
        except OSError:
            pass
    process.kill()
    process.wait()


def check(path, limit=None):
    """Started with the version `path --version` printed, or NotStarting (after `limit` seconds,
    default LIMIT, at the latest)."""
    limit = LIMIT if limit is None else limit
    group = {} if os.name == "nt" else {"start_new_session": True}
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
        try:
            process = subprocess.Popen([os.path.abspath(path), "--version"], stdin=subprocess.DEVNULL, stdout=out,
                                       stderr=err, **group)
        except OSError as error:  # blocked, not a program, gone
            return NotStarting("error", str(error))
        try:
            status = process.wait(limit)
        except BaseException as stopped:
            _stop(process)
            if isinstance(stopped, subprocess.TimeoutExpired):
                return NotStarting("hung", limit=limit)
            raise
        printed = []
        for stream in (out, err):
            stream.seek(0)
            printed.append(first_line(stream.read(READ)))
    version, complaint = printed
    if status == 0:
        return Started(version) if version else NotStarting("silent")
    return NotStarting("status", complaint or version, status=status)
