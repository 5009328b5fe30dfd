"""Draw the build's screens as SVG pictures for the README, from what a real run prints.

The tq-velmor command runs in a child process, in an empty folder, against the do-nothing toolchain
of the tests (tests/pipeline_fakes.py): nothing is downloaded and nothing is installed. The child's
standard output is taken byte for byte; the console clears, which a stand-in os.system writes as the
terminal's clear sequence, cut it into screens, and rich turns each screen's escape codes into SVG.
The stand-in yt-dlp.exe is only bytes, so the command is told it starts and prints the version of
the yt-dlp tree the real build uses, and what a real build's verbose header lists; the stand-in tree
carries the locks of a Windows x64 build.

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

# What the verbose header of the 3.11.9 build lists (the real build's).
LIBRARIES = ("Cryptodome-3.23.0, brotli-1.2.0, certifi-2026.07.22, curl_cffi-0.16.0, mutagen-1.48.1, "
             "requests-2.34.2, sqlite3-3.45.3, urllib3-2.7.0, websockets-17.0.1, yt_dlp_ejs-0.8.0")

# Offline: both downloads fail the way they do on Windows without a network.
OFFLINE = "urllib.error.URLError(OSError(11001, 'getaddrinfo failed'))"

CHILD = """
import sys, urllib.error
sys.stdout.reconfigure(encoding="utf-8")
sys.path.insert(0, {tests!r})
import pipeline_fakes
fail = {fail}
pipeline_fakes.child_toolchain({tools!r}, {size!r}, fail, None, pipeline_fakes.locked_tree(),
                               pipeline_fakes.COMMIT.encode())
from tq_velmor_host import command, environment, starts
environment.platform_of = lambda python: ("nt", "x64")
starts.check = lambda path, limit=None: starts.Started("2026.08.19")
starts.header = lambda path, limit=None: starts.Header({libraries!r}, "none", "81ecd58b1")
sys.exit(command.main([]))
"""


def run_build(offline):
    """The screens of one run of the command: its output cut at every console clear."""
    with tempfile.TemporaryDirectory() as tmp:
        work, tools = os.path.join(tmp, "work"), os.path.join(tmp, "tools")
        os.mkdir(work)
        fail = f"{{{SOURCE_PATH!r}: {OFFLINE}, {UPX_PATH!r}: {OFFLINE}}}" if offline else "None"
        code = CHILD.format(tests=TESTS, tools=tools, size=EXE_SIZE, fail=fail, libraries=LIBRARIES)
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
