"""Draw the build's screens as SVG pictures for the README, from what a real run prints.

The tq-velmor command runs in a child process, in an empty folder, against the do-nothing toolchain
of the tests (tests/pipeline_fakes.py): nothing is downloaded and nothing is installed. The child's
standard output is taken byte for byte; the console clears, which a stand-in os.system writes as the
terminal's clear sequence, cut it into screens, and rich turns each screen's escape codes into SVG.
The stand-in yt-dlp.exe is only bytes, so the command is told it starts and prints the version of
the yt-dlp tree the real build uses.

    python3 docs/render_screens.py [--out FOLDER]      (in the README's environment, activated)
"""

import argparse
import io
import os
import subprocess
import sys
import tempfile

from rich.console import Console
from rich.text import Text

DOCS = os.path.dirname(os.path.abspath(__file__))
TESTS = os.path.join(os.path.dirname(DOCS), "tests")
sys.path.insert(0, TESTS)

from pipeline_fakes import CLEAR, SOURCE_PATH, UPX_PATH  # noqa: E402

# What a Windows console shows: the title the module sets, and room for the widest line (the
# SHA-256 of the result, which the command prints below the report).
TITLE = "Zelk Builder - Official Final Fix"
WIDTH = 88
EXE_SIZE = 18307645  # 17.46 MB

# Offline: both downloads fail the way they do on Windows without a network.
OFFLINE = "urllib.error.URLError(OSError(11001, 'getaddrinfo failed'))"

CHILD = """
import sys, urllib.error
sys.stdout.reconfigure(encoding="utf-8")
sys.path.insert(0, {tests!r})
import pipeline_fakes
fail = {fail}
pipeline_fakes.child_toolchain({tools!r}, {size!r}, fail)
from tq_velmor_host import command, starts
starts.check = lambda path, limit=None: starts.Started("2026.08.19")
sys.exit(command.main([]))
"""


def run_build(offline):
    """The screens of one run of the command: its output cut at every console clear."""
    with tempfile.TemporaryDirectory() as tmp:
        work, tools = os.path.join(tmp, "work"), os.path.join(tmp, "tools")
        os.mkdir(work)
        fail = f"{{{SOURCE_PATH!r}: {OFFLINE}, {UPX_PATH!r}: {OFFLINE}}}" if offline else "None"
        code = CHILD.format(tests=TESTS, tools=tools, size=EXE_SIZE, fail=fail)
        # Enter for the failure screen's wait.
        result = subprocess.run([sys.executable, "-c", code], cwd=work, input=b"\n", capture_output=True)
        if result.returncode != (1 if offline else 0):  # the command's status for a failed build
            sys.exit(f"the build run ended with status {result.returncode}:\n"
                     f"{result.stderr.decode('utf-8', 'replace')}")
    return result.stdout.decode("utf-8").replace("\r\n", "\n").split(CLEAR)[1:]


def svg(screen):
    console = Console(record=True, width=WIDTH, file=io.StringIO(),
                      force_terminal=True, color_system="256")
    console.print(Text.from_ansi(screen.rstrip("\n")), end="")
    return console.export_svg(title=TITLE)


def render(out):
    """Write the three pictures into `out`; returns their paths."""
    build = run_build(offline=False)
    offline = run_build(offline=True)
    pictures = {
        "screen-phase.svg": build[4],  # 80 %: the packaging, the longest wait of a real build
        "screen-success.svg": build[-1],  # 100 % and the report
        "screen-failure.svg": offline[-1],  # the 25 % screen and the error below it
    }
    os.makedirs(out, exist_ok=True)
    paths = []
    for name, screen in pictures.items():
        path = os.path.join(out, name)
        with open(path, "w", encoding="utf-8", newline="\n") as f:
            f.write(svg(screen))
        paths.append(path)
    return paths


if __name__ == "__main__":
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--out", default=DOCS, help="folder for the SVG files (default: docs/)")
    for path in render(parser.parse_args().out):
        print(path)
