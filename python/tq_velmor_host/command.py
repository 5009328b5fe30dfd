"""The ``tq-velmor`` command: the one-click build in the current folder, as ``tq_velmor.main()`` runs it.

The build deletes fixed names from the folder it runs in, so the command starts only in a folder
that holds nothing but those names (and the ``yt-dlp.exe`` of an earlier build), unless told
``--force``. Its exit status tells what the run left behind: 0 when it left a new ``yt-dlp.exe``
(whose SHA-256 it then prints), 1 when the build failed or produced no executable, 2 for a refused
folder or argument, 130 when interrupted.
"""

import contextlib
import hashlib
import importlib.metadata
import os
import stat
import sys
from dataclasses import dataclass

from . import install

PROGRAM = "tq-velmor"
DISTRIBUTION = "tq-velmor"

# What the build's cleanup removes from its folder, in its order (test_cleanup holds the module
# to it); the build also writes and replaces yt-dlp.exe.
BUILD_FOLDERS = ("build", "dist", "yt-dlp-master", "devscripts", "yt_dlp", "bundle")
BUILD_FILES = ("source.zip", "upx.zip", "upx.exe", "yt-dlp.spec")
RESULT = "yt-dlp.exe"

OK, FAILED, REFUSED, INTERRUPTED = 0, 1, 2, 130

# Names listed when refusing a folder; a home folder would otherwise fill the screen.
SHOWN = 8


@dataclass(frozen=True)
class Texts:
    """What the command says, in one language."""
    help: str
    unknown: str  # {arg!r}
    refused: str  # {cwd}, {names}
    more: str  # {shown}, {count}
    digest: str  # {digest}: the new yt-dlp.exe's SHA-256


_FOLDERS, _FILES = ", ".join(BUILD_FOLDERS), ", ".join(BUILD_FILES)

ENGLISH = Texts(
    help=f"""usage: {PROGRAM} [--force]

Builds yt-dlp.exe in the current folder: finds a Python interpreter, downloads UPX and the
yt-dlp source, installs the build dependencies into that interpreter with pip and packages
the executable with PyInstaller, behind a progress screen in Spanish. It needs the internet,
and only on Windows does it produce yt-dlp.exe.

Warning: the build works in the current folder and deletes from it the folders
{_FOLDERS}
and the files {_FILES};
a new {RESULT} replaces the one there. Run it in an empty folder: it does not start in a
folder that holds anything else.

options:
  --force     build even when the folder holds other files
  --version   show the version and exit
  -h, --help  show this help and exit
""",
    unknown=f"{PROGRAM}: unknown argument {{arg!r}}\nusage: {PROGRAM} [--force]\nSee '{PROGRAM} --help'.",
    refused=(f"{PROGRAM}: not starting: {{cwd}} holds {{names}}.\n"
             f"The build deletes its own files and folders (see {PROGRAM} --help) from the folder it\n"
             f"works in, so it starts only in an empty folder. Nothing was deleted. Run it in an empty\n"
             f"folder, or pass --force to build here anyway."),
    more="{shown} and {count} more",
    digest=f"SHA-256 of {RESULT}: {{digest}}",
)

# The program a Windows user double-clicks speaks the language of the build's screens.
SPANISH = Texts(
    help=f"""uso: {PROGRAM} [--force]

Compila yt-dlp.exe en la carpeta actual: busca un intérprete de Python instalado, descarga UPX
y el código de yt-dlp, instala con pip las dependencias de compilación en ese intérprete y
empaqueta el ejecutable con PyInstaller. Necesita Internet y un Python de python.org.

Aviso: la compilación trabaja en la carpeta actual y borra de ella las carpetas
{_FOLDERS}
y los archivos {_FILES};
un {RESULT} nuevo sustituye al que haya. Úsalo en una carpeta vacía: no se inicia en una
carpeta que contenga otra cosa.

opciones:
  --force     compilar aunque la carpeta contenga otros archivos
  --version   mostrar la versión y salir
  -h, --help  mostrar esta ayuda y salir
""",
    unknown=f"{PROGRAM}: argumento desconocido {{arg!r}}\nuso: {PROGRAM} [--force]\nVéase '{PROGRAM} --help'.",
    refused=(f"{PROGRAM}: no se inicia: {{cwd}} contiene {{names}}.\n"
             f"La compilación borra sus propios archivos y carpetas (véase {PROGRAM} --help) de la carpeta\n"
             f"en la que trabaja, así que solo se inicia en una carpeta vacía. No se ha borrado nada.\n"
             f"Pon el programa en una carpeta vacía y ábrelo allí, o pasa --force para compilar aquí\n"
             f"de todos modos."),
    more="{shown} y {count} más",
    digest=f"SHA-256 de {RESULT}: {{digest}}",
)


def foreign_entries(folder=".", own=()):
    """The names in `folder` that the build neither creates nor removes, nor listed in `own`, sorted."""
    # normcase: on Windows the cleanup's "build" also removes a "Build".
    known = {os.path.normcase(name) for name in (*BUILD_FOLDERS, *BUILD_FILES, RESULT, *own)}
    return sorted(name for name in os.listdir(folder) if os.path.normcase(name) not in known)


def result_identity():
    """What tells this run's yt-dlp.exe from an earlier one (None when there is none)."""
    try:
        status = os.stat(RESULT)
    except OSError:
        return None
    if not stat.S_ISREG(status.st_mode):
        return None
    return status.st_dev, status.st_ino, status.st_size, status.st_mtime_ns


class EnterAtEnd:
    """Standard input for the build's waits for Enter: once the input is closed or at its end,
    a wait ends as if Enter had been pressed, instead of in an EOFError (which the build's
    failure screen would report and then raise from its own wait)."""

    def __init__(self, stream):
        self._stream = stream

    def readline(self, *size):
        if self._stream is None:  # the process started with its input closed
            return "\n"
        try:
            line = self._stream.readline(*size)
        except (ValueError, OSError):  # closed since
            return "\n"
        return line or "\n"

    def fileno(self):
        # No descriptor: input() then reads through readline() above, also on a terminal.
        raise OSError("input is read through readline")

    def __getattr__(self, name):
        return getattr(self._stream, name)


@contextlib.contextmanager
def enter_at_end_of_input():
    """Standard input replaced by EnterAtEnd over it while the block runs."""
    stdin = sys.stdin
    sys.stdin = EnterAtEnd(stdin)
    try:
        yield
    finally:
        sys.stdin = stdin


# What the build's tools read to give the same bytes from the same inputs: the hash seed fixes
# the order PyInstaller collects in and the code it compiles, the date the timestamps of pip's
# script launchers and of PyInstaller's executable (2024-01-01 00:00:00 UTC). The user's own
# values win.
REPRODUCIBLE = {"PYTHONHASHSEED": "0", "SOURCE_DATE_EPOCH": "1704067200"}


@contextlib.contextmanager
def reproducible_environment():
    """REPRODUCIBLE put into the environment, where not set, while the block runs (every command
    of the build inherits it)."""
    added = [name for name in REPRODUCIBLE if name not in os.environ]
    os.environ.update({name: REPRODUCIBLE[name] for name in added})
    try:
        yield
    finally:
        for name in added:
            os.environ.pop(name, None)


def run_build():
    """The build (tq_velmor.main()); returns OK when it left a new yt-dlp.exe, else FAILED."""
    install()
    import tq_velmor

    before = result_identity()
    with reproducible_environment():
        tq_velmor.main()
    after = result_identity()
    return OK if after is not None and after != before else FAILED


def result_digest():
    """The SHA-256 of yt-dlp.exe, in hex: what a user compares with another build's."""
    with open(RESULT, "rb") as f:
        return hashlib.file_digest(f, "sha256").hexdigest()


def main(argv=None, texts=ENGLISH, own=()):
    """Run the command with `argv` (default: the process's arguments); returns the exit status.

    `own` names entries of the folder that are not foreign to the build (the program's own file).
    """
    args = sys.argv[1:] if argv is None else list(argv)
    unknown = [arg for arg in args if arg not in ("-h", "--help", "--version", "--force")]
    if unknown:
        print(texts.unknown.format(arg=unknown[0]), file=sys.stderr)
        return REFUSED
    for arg in args:  # the first of --help and --version is answered
        if arg in ("-h", "--help"):
            print(texts.help, end="")
            return OK
        if arg == "--version":
            print(f"{PROGRAM} {importlib.metadata.version(DISTRIBUTION)}")
            return OK
    if "--force" not in args:
        found = foreign_entries(own=own)
        if found:
            shown = ", ".join(found[:SHOWN])
            if len(found) > SHOWN:
                shown = texts.more.format(shown=shown, count=len(found) - SHOWN)
            print(texts.refused.format(cwd=os.getcwd(), names=shown), file=sys.stderr)
            return REFUSED

    try:
        with enter_at_end_of_input():
            status = run_build()
        if status == OK:
            print(texts.digest.format(digest=result_digest()))
        return status
    except KeyboardInterrupt:
        # Ctrl+C stops the build where it stands (main() lets it through): no traceback, the
        # shell's status for an interrupt.
        print(file=sys.stderr)
        return INTERRUPTED


def run():
    """Console entry point."""
    sys.exit(main())
