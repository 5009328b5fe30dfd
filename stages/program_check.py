"""tq-velmor.exe started under Wine, as a user starts it.

  ~/.venvs/tq-velmor/bin/python -m stages.program_check [dist/tq-velmor.exe]

In a fresh prefix where an interpreter is on PATH and every download is refused: double-clicked
in a folder holding a foreign file (status 2, nothing deleted, the wait for Enter), asked its
--version there from a shell (the version of pyproject.toml) and started from a shell in an empty
one (the module starts frozen, finds the interpreter, draws its screens, and the refused download
ends the build: status 1, only the program left in the folder).
"""

import argparse
import io
import re
import shutil
import subprocess
import sys
import tomllib
from pathlib import Path

from tq_velmor_host.program import CLOSE_PROMPT
from tooling import ToolingError, logger
from wine_runtime import embedded_python, wine

ROOT = Path(__file__).resolve().parent.parent
# Nothing listens there: every download of the checked program is refused at once.
REFUSING_PROXY = "http://127.0.0.1:9"


log = logger("program-check")


def listing(folder):
    return sorted(p.relative_to(folder).as_posix() for p in folder.rglob("*"))


def shown(output):
    """The program's output as text, shown."""
    text = wine.decoded(output)
    print(re.sub("\x1b\\[[0-9;]*m", "", text), flush=True)  # without the colours
    return text


def check(cache, scratch, program):
    """The program started under Wine in a foreign and in an empty folder."""
    env = wine.environment(scratch / "prefix")
    log("making a Wine prefix to check the program in")
    wine.make_prefix(env)
    python_dir = scratch / "python"
    embedded_python.prepare(cache, python_dir)
    env.update(WINEPATH=wine.windows_path(python_dir), HTTPS_PROXY=REFUSING_PROXY)

    # As a double-click starts it: a console of its own, which it keeps open until Enter.
    foreign = scratch / "foreign"
    foreign.mkdir()
    shutil.copyfile(program, foreign / program.name)
    (foreign / "notas.txt").write_text("mías")
    (foreign / "build").mkdir()
    log(f"{program.name} double-clicked in a folder holding notas.txt")
    output = io.BytesIO()
    status = wine.run_with_console([program.name], env, foreign, output, answers=[CLOSE_PROMPT.encode()])
    text = shown(output.getvalue())
    left = listing(foreign)
    if status != 2 or "no se inicia" not in text or CLOSE_PROMPT not in text:
        raise ToolingError(f"in a foreign folder: status {status}, no refusal or no wait for Enter")
    if left != ["build", "notas.txt", program.name]:
        raise ToolingError(f"in a foreign folder: {left} left")
    log(f"refused, waited for Enter, status {status}; the folder as it was: {', '.join(left)}")

    # The version comes from the program's own copy of the package metadata.
    with open(ROOT / "pyproject.toml", "rb") as f:
        expected = f"tq-velmor {tomllib.load(f)['project']['version']}"
    asked = subprocess.run([*wine.WINE, program.name, "--version"], cwd=foreign, env=env, stdin=subprocess.DEVNULL,
                           capture_output=True)
    answer = wine.decoded(asked.stdout).strip()
    if asked.returncode != 0 or answer != expected or listing(foreign) != left:
        raise ToolingError(f"--version: status {asked.returncode}, {answer!r}, expected {expected!r}; "
                          f"stderr: {wine.decoded(asked.stderr)[-2000:]}")
    log(f"--version: {answer!r}, status 0")

    # As a shell starts it, with its input at its end: no console of its own, no added wait.
    empty = scratch / "empty"
    empty.mkdir()
    shutil.copyfile(program, empty / program.name)
    log(f"{program.name} started from a shell in an empty folder, downloads refused")
    started = subprocess.run([*wine.WINE, program.name], cwd=empty, env=env, stdin=subprocess.DEVNULL,
                             stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    text, status, left = shown(started.stdout), started.returncode, listing(empty)
    screens = text.count("[ FASE ]:")
    if (status != 1 or screens != 2 or "ERROR CRITICO:" not in text or "Traceback" in text
            or CLOSE_PROMPT in text):
        raise ToolingError(f"in an empty folder: status {status}, {screens} screens, no failure line or a traceback")
    if left != [program.name]:
        raise ToolingError(f"in an empty folder: {left} left")
    log(f"started frozen, found the interpreter, drew {screens} screens, reported the refused download: "
        f"status {status}; folder: {', '.join(left)}")


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("program", nargs="?", type=Path, default=ROOT / "dist" / "tq-velmor.exe")
    args = parser.parse_args(argv)
    return wine.in_scratch("tq_velmor-program-check-", lambda scratch: check(wine.cache(), scratch,
                                                                           args.program.resolve()), log)


if __name__ == "__main__":
    sys.exit(main())
