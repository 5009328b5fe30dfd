"""The ``tq-velmor`` command: the one-click build in the current folder, as ``tq_velmor.main()`` runs it.

The build deletes fixed names from the folder it runs in, so the command does not start where
those lie beside other files (unless told ``--force``), nor where a link or junction bears one of
the build's names (folder.py). The packages go into an environment of the build's own
(environment.py). A new ``yt-dlp.exe`` is started with ``--version`` before the run counts as a
success, and built once more without UPX when the one UPX packed does not start (build.py). The
exit status tells what the run left behind: 0 when this run put a new ``yt-dlp.exe`` in place
that starts (whose commit, version and SHA-256 it then prints), 1 when the build failed, produced
no executable or one that does not start, 2 for a refused folder, argument or setting, 130 when
interrupted.
"""

import contextlib
import importlib.metadata
import os
import sys

from . import build, folder, install
from .texts import ENGLISH, NO_UPX, PROGRAM, SPANISH  # noqa: F401  (SPANISH for the program)

DISTRIBUTION = "tq-velmor"
OK, FAILED, REFUSED, INTERRUPTED = 0, 1, 2, 130
OPTIONS = ("--force", "--no-upx")
# What the build's tools read to give the same bytes from the same inputs: the hash seed fixes
# the order PyInstaller collects in and the code it compiles, the date the timestamps of pip's
# script launchers and of PyInstaller's executable (2024-01-01 00:00:00 UTC). The user's own
# values win.
REPRODUCIBLE = build.REPRODUCIBLE


class Console:
    """The build's standard input and output. A wait for Enter that meets the input at its end, or
    closed, ends as if Enter had been pressed, instead of in an EOFError (which the build's failure
    screen would report and then raise from its own wait); and `waited_last` tells whether the
    last thing the build did was such a wait, with nothing written since."""

    def __init__(self):
        self.waited_last = False

    @contextlib.contextmanager
    def attached(self):
        """sys.stdin and sys.stdout seen through this console while the block runs."""
        stdin, stdout = sys.stdin, sys.stdout
        sys.stdin, sys.stdout = _Input(stdin, self), _Output(stdout, self)
        try:
            yield self
        finally:
            sys.stdin, sys.stdout = stdin, stdout


class _Input:
    def __init__(self, stream, console):
        self._stream, self._console = stream, console

    def readline(self, *size):
        line = "\n"
        if self._stream is not None:  # else the process started with its input closed
            try:
                line = self._stream.readline(*size) or "\n"
            except (ValueError, OSError):  # closed since
                pass
        self._console.waited_last = True
        return line

    def fileno(self):
        # No descriptor: input() then reads through readline() above, also on a terminal.
        raise OSError("input is read through readline")

    def __getattr__(self, name):
        return getattr(self._stream, name)


class _Output:
    def __init__(self, stream, console):
        self._stream, self._console = stream, console

    def write(self, text):
        if text:
            self._console.waited_last = False
        return self._stream.write(text)

    def __getattr__(self, name):
        return getattr(self._stream, name)


def run_build(texts=ENGLISH, no_upx=False):
    """The build in the current folder; returns OK when this run put a new yt-dlp.exe in place that
    starts, else FAILED."""
    install()
    import tq_velmor

    return OK if build.build(tq_velmor, texts, no_upx) else FAILED


def refusal(args, texts, own):
    """Why the command does not build (a line and its status), or None."""
    unknown = [arg for arg in args if arg not in ("-h", "--help", "--version", *OPTIONS)]
    if unknown:
        return texts.unknown.format(arg=unknown[0]), REFUSED
    repeated = [option for option in OPTIONS if args.count(option) > 1]
    if repeated:
        return texts.repeated.format(arg=repeated[0]), REFUSED
    for arg in args:  # the first of --help and --version is answered
        if arg in ("-h", "--help"):
            return texts.help, OK
        if arg == "--version":
            return f"{PROGRAM} {importlib.metadata.version(DISTRIBUTION)}\n", OK
    setting = os.environ.get(NO_UPX, "")
    if setting not in ("", "0", "1"):
        return texts.bad_setting.format(value=setting), REFUSED
    verdict = folder.check(own=own, force="--force" in args)
    if verdict.links:
        return texts.refused_link.format(cwd=os.getcwd(), names=folder.listed(verdict.links, texts)), REFUSED
    if verdict:
        return texts.refused.format(cwd=os.getcwd(), deleted=folder.listed(verdict.deleted, texts),
                                    foreign=folder.listed(verdict.foreign, texts)), REFUSED
    return None


def main(argv=None, texts=ENGLISH, own=(), console=None):
    """Run the command with `argv` (default: the process's arguments); returns the exit status.

    `own` names entries of the folder that are not foreign to the build (the program's own file);
    `console`, the Console the build runs in (one of its own by default).
    """
    args = sys.argv[1:] if argv is None else list(argv)
    refused = refusal(args, texts, own)
    if refused:
        line, status = refused
        if status == OK:
            print(line, end="")
        else:
            print(line, file=sys.stderr)
        return status

    console = Console() if console is None else console
    try:
        with console.attached():
            setting = os.environ.get(NO_UPX, "")
            return run_build(texts, no_upx="--no-upx" in args or setting == "1")
    except KeyboardInterrupt:
        # Ctrl+C stops the build where it stands: no traceback, the shell's status for an interrupt.
        print(f"\n{texts.interrupted}", file=sys.stderr)
        console.waited_last = False
        return INTERRUPTED


def run():
    """Console entry point."""
    sys.exit(main())
