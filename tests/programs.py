"""Fake programs that really run, on Linux and on Windows.

A fake is a Python script run by the interpreter running the tests. On Linux it is the
script itself, started through its "#!" line. Windows starts no script as a program, so
there the fake is a copy of a stub program (tests/windows/fake_program.c, built by the
Windows test stage and named in TQ_VELMOR_FAKE_PROGRAM) that runs the script "<path>.py"
beside it the same way. Either way the script sees the path it was started as in
sys.argv[0] and its exit status is the fake's.
"""

import os
import shutil
import subprocess
import sys
from pathlib import Path

WINDOWS = os.name == "nt"
STUB = os.environ.get("TQ_VELMOR_FAKE_PROGRAM")
CLEAR_COMMAND = "cls" if WINDOWS else "clear"
# The interpreter that runs the fakes, taken before a test can replace sys.executable.
PYTHON = sys.executable

# The module gives a candidate interpreter 5 seconds to answer "--version". A loaded machine
# (Wine's process starts above all) can take longer to start even a fake, and a test about
# anything else must not fail for it: the deadline itself is tested with the real subprocess.run.
PATIENCE = 60


def patient_timeout(timeout):
    """The deadline a test gives a run the module asks to end within `timeout` (None: none)."""
    return None if timeout is None else max(timeout, PATIENCE)


def patient_run(*args, timeout=None, **kwargs):
    """subprocess.run, waiting at least PATIENCE seconds wherever a deadline is asked for."""
    return subprocess.run(*args, timeout=patient_timeout(timeout), **kwargs)


def program(path, source, executable=True):
    """A fake at `path` running the Python `source`; returns its path as text.

    On Windows the path gets ".exe" when it has no extension: nothing else starts there.
    `executable=False` gives a file that exists but cannot be started.
    """
    path = Path(path)
    if WINDOWS and not path.suffix:
        path = path.with_suffix(".exe")
    path.parent.mkdir(parents=True, exist_ok=True)
    script = (f"#!{PYTHON}\nimport os as _os, sys as _sys\n"
              f"_sys.argv[0] = _os.environ.pop('TQ_VELMOR_FAKE_ARGV0', _sys.argv[0])\n{source}")
    if not WINDOWS:
        path.write_text(script, encoding="utf-8")
        path.chmod(0o755 if executable else 0o644)
    elif executable:
        if not STUB or not os.path.isfile(STUB):
            raise RuntimeError("TQ_VELMOR_FAKE_PROGRAM names no stub program: run the suite through "
                               "stages/windows_tests.py, which builds it")
        shutil.copyfile(STUB, path)
        Path(f"{path}.py").write_text(script, encoding="utf-8")
    else:
        path.write_text(script, encoding="utf-8")  # not a program: Windows refuses to start it
    return str(path)
