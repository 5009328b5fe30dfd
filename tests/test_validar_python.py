"""validar_python: path tests first, then one real "--version" run within 5 seconds."""

import os
import subprocess
import time

import pytest

from conftest import Proxy
from fakes import interpreter, runs
from programs import program


@pytest.fixture
def exists_calls(tqv):
    """os.path.exists, recorded."""
    calls = []
    tqv.os = Proxy(os, path=Proxy(os.path, exists=lambda p: calls.append(p) or os.path.exists(p)))
    return calls


@pytest.mark.parametrize("where, exit_code, accepted", [
    ("Python312/python.exe", 0, True),
    ("Python312/python.exe", 1, False),
    ("Python312/python.exe", 255, False),
    ("windowsapps/python.exe", 0, True),     # the marker is case-sensitive
    ("WindowsApps/python.exe", 0, None),     # launcher stub: never started
    ("AppWindowsAppsX/python.exe", 0, None),  # anywhere in the path, not only as a folder
])
def test_runs_the_candidate_unless_it_is_a_stub(tqv, tmp_path, capfd, exists_calls, where, exit_code, accepted):
    log = tmp_path / "runs.log"
    path = interpreter(tmp_path / where, exit_code, log)
    assert tqv.validar_python(path) is bool(accepted)
    assert exists_calls == [path]
    assert runs(log) == ([] if accepted is None else [path])
    assert capfd.readouterr() == ("", "")  # what the candidate prints is captured, never shown


@pytest.mark.parametrize("path", [None, ""])
def test_empty_path_touches_nothing(tqv, exists_calls, path):
    assert tqv.validar_python(path) is False
    assert exists_calls == []


def test_missing_and_unrunnable_files(tqv, tmp_path):
    log = tmp_path / "runs.log"
    assert tqv.validar_python(path=str(tmp_path / "missing.exe")) is False
    not_executable = interpreter(tmp_path / "python.exe", 0, log, executable=False)
    assert tqv.validar_python(path=not_executable) is False  # PermissionError discarded
    assert runs(log) == []


def test_call_made(tqv, tmp_path):
    calls = []

    def run(*args, **kwargs):
        calls.append((args, list(kwargs.items())))
        return subprocess.run(*args, **kwargs)

    tqv.subprocess = Proxy(subprocess, run=run)
    path = interpreter(tmp_path / "python.exe")
    assert tqv.validar_python(path) is True
    assert calls == [(([path, "--version"],), [("capture_output", True), ("text", True), ("timeout", 5)])]


@pytest.mark.parametrize("outcome", [KeyboardInterrupt(), ValueError("bad argument"), object()],
                         ids=["interrupt", "ValueError", "no returncode"])
def test_everything_raised_by_the_run_means_false(tqv, tmp_path, outcome):
    def run(*args, **kwargs):
        if isinstance(outcome, BaseException):
            raise outcome
        return outcome

    tqv.subprocess = Proxy(subprocess, run=run)
    assert tqv.validar_python(interpreter(tmp_path / "python.exe")) is False


def interrupted_exists(path):
    raise KeyboardInterrupt


@pytest.mark.parametrize("path, exists, error", [
    ("python.exe", interrupted_exists, KeyboardInterrupt),
    (b"/", os.path.exists, TypeError),  # exists, but "WindowsApps" in bytes fails
])
def test_path_tests_are_unprotected(tqv, path, exists, error):
    tqv.os = Proxy(os, path=Proxy(os.path, exists=exists))
    with pytest.raises(error):
        tqv.validar_python(path)


def ended(pid):
    """Whether the process `pid` has ended (on Linux: and been reaped, so no zombie is left)."""
    if os.name != "nt":
        try:
            os.kill(pid, 0)
        except ProcessLookupError:
            return True
        return False
    import ctypes
    from ctypes import wintypes
    kernel32 = ctypes.WinDLL("kernel32", use_last_error=True)
    kernel32.OpenProcess.restype = wintypes.HANDLE
    kernel32.OpenProcess.argtypes = [wintypes.DWORD, wintypes.BOOL, wintypes.DWORD]
    kernel32.WaitForSingleObject.argtypes = [wintypes.HANDLE, wintypes.DWORD]
    kernel32.CloseHandle.argtypes = [wintypes.HANDLE]
    handle = kernel32.OpenProcess(0x00100000, False, pid)  # SYNCHRONIZE
    if not handle:
        return True  # no such process any more
    try:
        # The killed stub's job ends the script as the stub's last handle closes: allow it a moment
        # (the wait ends as soon as it has, so a loaded machine gets a long one).
        return kernel32.WaitForSingleObject(handle, 15000) == 0  # WAIT_OBJECT_0
    finally:
        kernel32.CloseHandle(handle)


def test_time_out_after_five_seconds(tqv, tmp_path):
    # The one slow test of the suite: a candidate that never answers.
    pid_file = tmp_path / "pid"
    sleeper = program(tmp_path / "python.exe", f"with open({str(pid_file)!r}, 'w') as f:\n"
                      "    f.write(str(_os.getpid()))\nimport time\ntime.sleep(60)\n")
    tqv.subprocess = subprocess  # the real deadline
    start = time.monotonic()
    assert tqv.validar_python(sleeper) is False
    assert 4.9 < time.monotonic() - start < 30  # the deadline, well short of the sleeper's 60 s
    assert ended(int(pid_file.read_text()))  # killed, not left behind
