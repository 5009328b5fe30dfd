"""Whether a new yt-dlp.exe starts, and what it carries: run with --version, then -v, its input
closed, within a time limit, its whole process tree ended afterwards.

Its output goes to files, not pipes: a one-file executable runs as two processes, and a child
left holding a pipe would keep a reader waiting past any limit. Those files may grow only so far
before the program is stopped, and only their beginning is read back. Everything it started goes
when it does: a job object on Windows, a process group elsewhere.
"""

import os
import re
import signal
import subprocess
import tempfile
import time
from dataclasses import dataclass

from .shown import shown

# A one-file executable unpacks itself before it answers, and a virus scanner may hold its first
# start for a while.
LIMIT = 120
SHOWN = 200  # characters of a line it printed, at most
READ = 65536  # bytes of its output read back, at most
OUTPUT_LIMIT = 1 << 20  # bytes either of its outputs may reach before it is stopped
POLL = 0.1  # seconds between looks at its outputs while it runs


@dataclass(frozen=True)
class Started:
    version: str


@dataclass(frozen=True)
class NotStarting:
    """Why it does not start: "error" (it could not be started; `detail` says why), "status" (it
    ended with the status `status`; `detail` is the first line it printed, or ""), "silent" (status
    0 and no version printed), "hung" (stopped after `limit` seconds) or "flooded" (stopped after
    printing more than `limit` bytes)."""
    kind: str
    detail: str = ""
    status: int = 0
    limit: int = 0


@dataclass(frozen=True)
class Header:
    """What its verbose header says (None where it says nothing)."""
    libraries: str | None
    runtimes: str | None
    commit: str | None  # the abbreviated commit of its version line


@dataclass(frozen=True)
class _Ran:
    status: int | None = None
    out: bytes = b""
    err: bytes = b""
    error: str | None = None  # it could not be started
    hung: bool = False
    flooded: bool = False


def first_line(data):
    for line in data.decode("utf-8", "replace").splitlines():
        if line.strip():
            return shown(line.strip())[:SHOWN]
    return ""


class _Tree:
    """What ends a process and everything it started."""

    def __init__(self):
        self.job = None
        if os.name == "nt":
            self.job = _job()

    def popen_options(self):
        if os.name != "nt":
            return {"start_new_session": True}
        # Suspended until it is in the job, so that nothing it starts escapes it.
        return {"creationflags": 0x4 if self.job else 0}  # CREATE_SUSPENDED

    def adopt(self, process):
        if self.job is None:
            return
        import ctypes

        kernel32, ntdll = ctypes.WinDLL("kernel32"), ctypes.WinDLL("ntdll")
        handle = ctypes.c_void_p(int(process._handle))
        if not kernel32.AssignProcessToJobObject(self.job, handle):
            self.close()
            self.job = None
        ntdll.NtResumeProcess(handle)

    def end(self, process):
        if os.name == "nt":
            if self.job is not None:
                import ctypes

                ctypes.WinDLL("kernel32").TerminateJobObject(self.job, 1)
            elif process.poll() is None:
                _taskkill(process)
        else:
            try:
                os.killpg(process.pid, signal.SIGKILL)
            except OSError:  # the group is gone already
                pass
        if process.poll() is None:
            process.kill()
        process.wait()

    def close(self):
        if self.job is not None:
            import ctypes

            ctypes.WinDLL("kernel32").CloseHandle(self.job)


def _job():
    """A job object whose processes all end when it is closed; None where none can be made."""
    import ctypes
    from ctypes import wintypes

    class Basic(ctypes.Structure):
        _fields_ = [("PerProcessUserTimeLimit", ctypes.c_int64), ("PerJobUserTimeLimit", ctypes.c_int64),
                    ("LimitFlags", wintypes.DWORD), ("MinimumWorkingSetSize", ctypes.c_size_t),
                    ("MaximumWorkingSetSize", ctypes.c_size_t), ("ActiveProcessLimit", wintypes.DWORD),
                    ("Affinity", ctypes.c_size_t), ("PriorityClass", wintypes.DWORD),
                    ("SchedulingClass", wintypes.DWORD)]

    class Extended(ctypes.Structure):
        _fields_ = [("BasicLimitInformation", Basic), ("IoInfo", ctypes.c_uint64 * 6),
                    ("ProcessMemoryLimit", ctypes.c_size_t), ("JobMemoryLimit", ctypes.c_size_t),
                    ("PeakProcessMemoryUsed", ctypes.c_size_t), ("PeakJobMemoryUsed", ctypes.c_size_t)]

    kernel32 = ctypes.WinDLL("kernel32")
    kernel32.CreateJobObjectW.restype = ctypes.c_void_p
    job = kernel32.CreateJobObjectW(None, None)
    if not job:
        return None
    limits = Extended()
    limits.BasicLimitInformation.LimitFlags = 0x2000  # JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE
    if not kernel32.SetInformationJobObject(ctypes.c_void_p(job), 9, ctypes.byref(limits), ctypes.sizeof(limits)):
        kernel32.CloseHandle(ctypes.c_void_p(job))
        return None
    return ctypes.c_void_p(job)


def _taskkill(process):
    taskkill = os.path.join(os.environ.get("SystemRoot", r"C:\Windows"), "System32", "taskkill.exe")
    try:
        subprocess.run([taskkill, "/F", "/T", "/PID", str(process.pid)], stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=30)
    except (OSError, subprocess.TimeoutExpired):
        pass


def _run(path, argument, limit):
    """`path argument`, within `limit` seconds and OUTPUT_LIMIT bytes of output."""
    tree = _Tree()
    try:
        with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
            try:
                process = subprocess.Popen([os.path.abspath(path), argument], stdin=subprocess.DEVNULL, stdout=out,
                                           stderr=err, **tree.popen_options())
            except OSError as error:  # blocked, not a program, gone
                return _Ran(error=shown(str(error)))
            hung = flooded = False

            def flooding():
                return max(os.fstat(out.fileno()).st_size, os.fstat(err.fileno()).st_size) > OUTPUT_LIMIT

            try:
                tree.adopt(process)
                deadline = time.monotonic() + limit
                while not flooding():
                    try:
                        process.wait(POLL)
                        break
                    except subprocess.TimeoutExpired:
                        if time.monotonic() >= deadline:
                            hung = True
                            break
                flooded = not hung and flooding()
            finally:
                tree.end(process)  # what it left running goes too
            out.seek(0)
            err.seek(0)
            return _Ran(None if hung or flooded else process.returncode, out.read(READ), err.read(READ),
                        hung=hung, flooded=flooded)
    finally:
        tree.close()


def check(path, limit=None):
    """Started with the version `path --version` printed, or NotStarting (after `limit` seconds,
    default LIMIT, at the latest)."""
    limit = LIMIT if limit is None else limit
    ran = _run(path, "--version", limit)
    if ran.error is not None:
        return NotStarting("error", ran.error)
    if ran.hung:
        return NotStarting("hung", limit=limit)
    if ran.flooded:
        return NotStarting("flooded", limit=OUTPUT_LIMIT)
    version, complaint = first_line(ran.out), first_line(ran.err)
    if ran.status == 0:
        return Started(version) if version else NotStarting("silent")
    return NotStarting("status", complaint or version, status=ran.status)


def header(path, limit=None):
    """What `path -v` says of itself before it asks for a URL (its verbose header goes to its error
    output); None when it says nothing of it."""
    ran = _run(path, "-v", LIMIT if limit is None else limit)
    text = (ran.err + b"\n" + ran.out).decode("utf-8", "replace")
    found = {}
    for line in text.splitlines():
        key, _, value = line.removeprefix("[debug] ").partition(": ")
        if line.startswith("[debug] ") and value and key not in found:
            found[key] = shown(value.strip())
    version = next((shown(line) for line in text.splitlines() if re.match(r"\[debug\] \S+ version ", line)), "")
    commit = re.search(r" \[([0-9a-f]{7,40})\]", version)
    if not found and not version:
        return None
    return Header(found.get("Optional libraries"), found.get("JS runtimes"), commit[1] if commit else None)
