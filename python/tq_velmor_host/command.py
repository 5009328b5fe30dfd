"""The ``tq-velmor`` command: the one-click build in the current folder, as ``tq_velmor.main()`` runs it.

The build deletes fixed names from the folder it runs in, so the command starts only in a folder
that holds nothing but those names (and the ``yt-dlp.exe`` of an earlier build), unless told
``--force``. A new ``yt-dlp.exe`` is started with ``--version`` before the run counts as a success,
and built once more without UPX when the one UPX packed does not start (build.py). The exit status
tells what the run left behind: 0 when it left a new ``yt-dlp.exe`` that starts (whose SHA-256 and
version it then prints), 1 when the build failed, produced no executable or one that does not
start, 2 for a refused folder, argument or setting, 130 when interrupted.
"""

import contextlib
import importlib.metadata
import os
import sys
from dataclasses import dataclass

from . import build, install

PROGRAM = "tq-velmor"
DISTRIBUTION = "tq-velmor"

# What the build's cleanup removes from its folder, in its order (test_cleanup holds the module
# to it); the build also writes and replaces yt-dlp.exe.
BUILD_FOLDERS = ("build", "dist", "yt-dlp-master", "devscripts", "yt_dlp", "bundle")
BUILD_FILES = ("source.zip", "upx.zip", "upx.exe", "yt-dlp.spec")
RESULT = build.RESULT
# Set to 1, the same as --no-upx: the setting a user who double-clicks the program can give.
NO_UPX = "TQ_VELMOR_NO_UPX"

OK, FAILED, REFUSED, INTERRUPTED = 0, 1, 2, 130

# Names listed when refusing a folder; a home folder would otherwise fill the screen.
SHOWN = 8


@dataclass(frozen=True)
class Texts:
    """What the command says, in one language."""
    help: str
    unknown: str  # {arg!r}
    repeated: str  # {arg!r}
    bad_setting: str  # {value!r} of NO_UPX
    refused: str  # {cwd}, {names}
    more: str  # {shown}, {count}
    digest: str  # {digest}: the new yt-dlp.exe's SHA-256
    version: str  # {version}: what the new yt-dlp.exe --version printed
    not_starting: str  # {why}, one of the five below
    could_not_start: str  # {error}
    ended: str  # {status}, {line}: the first line it printed
    ended_silently: str  # {status}
    silent: str
    hung: str  # {limit}: seconds
    # Why a build goes without UPX, shown under each of its screens.
    without_upx_asked: str
    without_upx_tls: str  # {dll}
    rebuilding: str
    # After the build without UPX.
    rebuilt: str  # {why}: why the one UPX packed did not start
    rebuild_left_nothing: str


_FOLDERS, _FILES = ", ".join(BUILD_FOLDERS), ", ".join(BUILD_FILES)
USAGE = f"{PROGRAM} [--force] [--no-upx]"

ENGLISH = Texts(
    help=f"""usage: {USAGE}

Builds yt-dlp.exe in the current folder: finds a Python interpreter, downloads UPX and the
yt-dlp source, installs the build dependencies into that interpreter with pip and packages
the executable with PyInstaller, behind a progress screen in Spanish. It needs the internet,
and only on Windows does it produce yt-dlp.exe.

The new yt-dlp.exe is started with --version before the build counts as a success. When
the one packed with UPX does not start, it is built once more without UPX. An interpreter
whose DLL keeps thread-local storage (Python 3.12 and later), which UPX 4.2.2 breaks, gets
a build without UPX from the start.

Warning: the build works in the current folder and deletes from it the folders
{_FOLDERS}
and the files {_FILES};
a new {RESULT} replaces the one there. Run it in an empty folder: it does not start in a
folder that holds anything else.

options:
  --force     build even when the folder holds other files
  --no-upx    build without UPX (the same as {NO_UPX}=1): a larger yt-dlp.exe,
              which antivirus programs flag less often
  --version   show the version and exit
  -h, --help  show this help and exit
""",
    unknown=f"{PROGRAM}: unknown argument {{arg!r}}\nusage: {USAGE}\nSee '{PROGRAM} --help'.",
    repeated=f"{PROGRAM}: argument {{arg!r}} given twice\nusage: {USAGE}\nSee '{PROGRAM} --help'.",
    bad_setting=(f"{PROGRAM}: {NO_UPX}={{value!r}}: set it to 1 to build without UPX, or to 0 or nothing for "
                 f"the usual build."),
    refused=(f"{PROGRAM}: not starting: {{cwd}} holds {{names}}.\n"
             f"The build deletes its own files and folders (see {PROGRAM} --help) from the folder it\n"
             f"works in, so it starts only in an empty folder. Nothing was deleted. Run it in an empty\n"
             f"folder, or pass --force to build here anyway."),
    more="{shown} and {count} more",
    digest=f"SHA-256 of {RESULT}: {{digest}}",
    version=f"Version of {RESULT}: {{version}}",
    not_starting=f"{RESULT} does not start: {{why}}",
    could_not_start="it could not be started ({error})",
    ended="it ended with status {status}: {line}",
    ended_silently="it ended with status {status} and printed nothing",
    silent="it printed no version",
    hung="it did not answer within {limit} s and was stopped",
    without_upx_asked="Without UPX, as asked.",
    without_upx_tls="Without UPX: {dll} keeps thread-local storage (TLS), which UPX 4.2.2 breaks.",
    rebuilding=f"Building again, without UPX: the {RESULT} packed with UPX does not start.",
    rebuilt=f"{RESULT} was built without UPX: the one packed with UPX did not start ({{why}}).",
    rebuild_left_nothing=(f"The build without UPX left no new {RESULT}: the one in the folder is the one "
                          f"packed with UPX, which does not start."),
)

# The program a Windows user double-clicks speaks the language of the build's screens.
SPANISH = Texts(
    help=f"""uso: {USAGE}

Compila yt-dlp.exe en la carpeta actual: busca un intérprete de Python instalado, descarga UPX
y el código de yt-dlp, instala con pip las dependencias de compilación en ese intérprete y
empaqueta el ejecutable con PyInstaller. Necesita Internet y un Python de python.org.

Antes de dar la compilación por buena, arranca el yt-dlp.exe nuevo con --version. Si el
comprimido con UPX no arranca, lo compila otra vez sin UPX. Con un intérprete cuya DLL usa
almacenamiento local de subprocesos (Python 3.12 y posteriores), que UPX 4.2.2 estropea,
compila sin UPX desde el principio.

Aviso: la compilación trabaja en la carpeta actual y borra de ella las carpetas
{_FOLDERS}
y los archivos {_FILES};
un {RESULT} nuevo sustituye al que haya. Úsalo en una carpeta vacía: no se inicia en una
carpeta que contenga otra cosa.

opciones:
  --force     compilar aunque la carpeta contenga otros archivos
  --no-upx    compilar sin UPX (lo mismo que {NO_UPX}=1): un yt-dlp.exe más
              grande, que los antivirus marcan menos a menudo
  --version   mostrar la versión y salir
  -h, --help  mostrar esta ayuda y salir
""",
    unknown=f"{PROGRAM}: argumento desconocido {{arg!r}}\nuso: {USAGE}\nVéase '{PROGRAM} --help'.",
    repeated=f"{PROGRAM}: argumento {{arg!r}} repetido\nuso: {USAGE}\nVéase '{PROGRAM} --help'.",
    bad_setting=(f"{PROGRAM}: {NO_UPX}={{value!r}}: ponlo a 1 para compilar sin UPX, o a 0 o vacío para la "
                 f"compilación habitual."),
    refused=(f"{PROGRAM}: no se inicia: {{cwd}} contiene {{names}}.\n"
             f"La compilación borra sus propios archivos y carpetas (véase {PROGRAM} --help) de la carpeta\n"
             f"en la que trabaja, así que solo se inicia en una carpeta vacía. No se ha borrado nada.\n"
             f"Pon el programa en una carpeta vacía y ábrelo allí, o pasa --force para compilar aquí\n"
             f"de todos modos."),
    more="{shown} y {count} más",
    digest=f"SHA-256 de {RESULT}: {{digest}}",
    version=f"Versión de {RESULT}: {{version}}",
    not_starting=f"{RESULT} no arranca: {{why}}",
    could_not_start="no se pudo iniciar ({error})",
    ended="terminó con el estado {status}: {line}",
    ended_silently="terminó con el estado {status} sin escribir nada",
    silent="no escribió ninguna versión",
    hung="no respondió en {limit} s y se detuvo",
    without_upx_asked="Sin UPX, como se pidió.",
    without_upx_tls="Sin UPX: {dll} usa almacenamiento local de subprocesos (TLS), que UPX 4.2.2 estropea.",
    rebuilding=f"Compilando de nuevo, sin UPX: el {RESULT} comprimido con UPX no arranca.",
    rebuilt=f"{RESULT} se compiló sin UPX: el comprimido con UPX no arrancaba ({{why}}).",
    rebuild_left_nothing=(f"La compilación sin UPX no dejó un {RESULT} nuevo: el de la carpeta es el "
                          f"comprimido con UPX, que no arranca."),
)


def foreign_entries(folder=".", own=()):
    """The names in `folder` that the build neither creates nor removes, nor listed in `own`, sorted."""
    # normcase: on Windows the cleanup's "build" also removes a "Build".
    known = {os.path.normcase(name) for name in (*BUILD_FOLDERS, *BUILD_FILES, RESULT, *own)}
    return sorted(name for name in os.listdir(folder) if os.path.normcase(name) not in known)


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


def run_build(texts=ENGLISH, no_upx=False):
    """The build (tq_velmor.main(), and again without UPX when UPX broke its yt-dlp.exe); returns
    OK when it left a new yt-dlp.exe that starts, else FAILED."""
    install()
    import tq_velmor

    with reproducible_environment():
        return OK if build.build(tq_velmor, texts, no_upx) else FAILED


def main(argv=None, texts=ENGLISH, own=()):
    """Run the command with `argv` (default: the process's arguments); returns the exit status.

    `own` names entries of the folder that are not foreign to the build (the program's own file).
    """
    args = sys.argv[1:] if argv is None else list(argv)
    unknown = [arg for arg in args if arg not in ("-h", "--help", "--version", "--force", "--no-upx")]
    if unknown:
        print(texts.unknown.format(arg=unknown[0]), file=sys.stderr)
        return REFUSED
    if args.count("--no-upx") > 1:
        print(texts.repeated.format(arg="--no-upx"), file=sys.stderr)
        return REFUSED
    for arg in args:  # the first of --help and --version is answered
        if arg in ("-h", "--help"):
            print(texts.help, end="")
            return OK
        if arg == "--version":
            print(f"{PROGRAM} {importlib.metadata.version(DISTRIBUTION)}")
            return OK
    setting = os.environ.get(NO_UPX, "")
    if setting not in ("", "0", "1"):
        print(texts.bad_setting.format(value=setting), file=sys.stderr)
        return REFUSED
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
            return run_build(texts, no_upx="--no-upx" in args or setting == "1")
    except KeyboardInterrupt:
        # Ctrl+C stops the build where it stands (main() lets it through): no traceback, the
        # shell's status for an interrupt.
        print(file=sys.stderr)
        return INTERRUPTED


def run():
    """Console entry point."""
    sys.exit(main())
