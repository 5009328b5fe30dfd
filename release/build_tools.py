"""The release's own build tools (pins/tooling.txt) in a virtual environment made once per set of
pins, kept in ~/.cache/tq_velmor-release (TQ_VELMOR_RELEASE_CACHE)."""

import hashlib
import os
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

from tooling import pins

PINS = pins.path("tooling.txt")


class ToolsFailed(Exception):
    pass


def cache():
    return Path(os.environ.get("TQ_VELMOR_RELEASE_CACHE") or Path.home() / ".cache" / "tq_velmor-release")


def python(say=print):
    """The environment's interpreter, the environment made first when missing."""
    pins = PINS.read_bytes()
    venv = cache() / f"build-tools-{hashlib.sha256(pins).hexdigest()[:12]}"
    if (venv / "bin" / "python").exists():
        return venv / "bin" / "python"
    venv.parent.mkdir(parents=True, exist_ok=True)
    say(f"installing {PINS.name} into {venv}")
    # Made beside its place and renamed into it, so that no one uses a half-made one. Its
    # scripts' #! lines then name the old folder: everything runs as `python -m`.
    partial = Path(tempfile.mkdtemp(prefix=f"{venv.name}.partial-", dir=venv.parent))
    try:
        subprocess.run([sys.executable, "-m", "venv", "--clear", str(partial)], check=True, stdin=subprocess.DEVNULL)
        installed = subprocess.run([str(partial / "bin" / "python"), "-m", "pip", "install", "-q",
                                    "--disable-pip-version-check", "-r", str(PINS)],
                                   stdin=subprocess.DEVNULL, capture_output=True, text=True)
        if installed.returncode:
            raise ToolsFailed(f"pip could not install {PINS.name}:\n{installed.stdout}{installed.stderr}")
        try:
            partial.rename(venv)
        except OSError:  # another release made it meanwhile
            if not (venv / "bin" / "python").exists():
                raise
    except subprocess.CalledProcessError as failure:
        raise ToolsFailed(f"could not make the build tools' environment: {failure}") from None
    finally:
        shutil.rmtree(partial, ignore_errors=True)
    return venv / "bin" / "python"
