"""A virtual environment for each set of pins, made once per content of its file and kept in
~/.cache/tq_velmor-venvs (TQ_VELMOR_VENVS).

  python3 -m tooling.venvs PINS      prints the interpreter of PINS' environment (made first when missing)

Only what the file names is installed (--no-deps), then pip check: a dependency it misses fails
rather than coming unpinned. The environment is made beside its place and renamed into it, so
that no one uses a half-made one; its scripts' #! lines then name the old folder, so what it
holds runs as `python -m`.
"""

import argparse
import hashlib
import os
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

from . import ToolingError


def cache():
    return Path(os.environ.get("TQ_VELMOR_VENVS") or Path.home() / ".cache" / "tq_velmor-venvs")


def _run(command, what):
    done = subprocess.run([str(part) for part in command], stdin=subprocess.DEVNULL, capture_output=True, text=True)
    if done.returncode:
        raise ToolingError(f"{what} failed (status {done.returncode}):\n{done.stdout}{done.stderr}")


def python(requirements, say=print):
    """The interpreter of the environment holding exactly the pins in the file `requirements`."""
    requirements = Path(requirements)
    venv = cache() / f"{requirements.stem}-{hashlib.sha256(requirements.read_bytes()).hexdigest()[:12]}"
    interpreter = venv / "bin" / "python"
    if interpreter.exists():
        return interpreter
    venv.parent.mkdir(parents=True, exist_ok=True)
    say(f"installing {requirements.name} into {venv}")
    partial = Path(tempfile.mkdtemp(prefix=f"{venv.name}.partial-", dir=venv.parent))
    try:
        _run([sys.executable, "-m", "venv", "--clear", partial], f"making {partial}")
        pip = [partial / "bin" / "python", "-m", "pip", "--disable-pip-version-check"]
        _run([*pip, "install", "-q", "--no-deps", "-r", requirements], f"pip install -r {requirements.name}")
        _run([*pip, "check"], f"pip check of {requirements.name}")
        try:
            partial.rename(venv)
        except OSError:  # another run made it meanwhile
            if not interpreter.exists():
                raise
    finally:
        shutil.rmtree(partial, ignore_errors=True)
    return interpreter


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("pins", type=Path, help="a file of name==version lines (pins/...)")
    args = parser.parse_args(argv)
    try:
        print(python(args.pins, say=lambda line: print(f"venvs: {line}", file=sys.stderr, flush=True)))
    except (ToolingError, OSError) as failure:
        print(f"venvs: FAILED: {failure}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
