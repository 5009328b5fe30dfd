"""The tq-velmor command and the program: their arguments, the folder rule, every ending, a whole
run through main(), the new yt-dlp.exe's check, the build's own environment and its record."""

import hashlib
import importlib.metadata
import io
import os
import re
import shutil
import signal
import socketserver
import subprocess
import sys
import textwrap
import threading
import time
import urllib
import urllib.request
from pathlib import Path

import pytest

from conftest import Proxy, describe, run_python
from fakes import tiny_pe
from pipeline_fakes import (COMMIT, LAZY, LOCKS, MISSING_EXE, PACKAGING, PIP, REPRODUCIBLE, SOURCE_PATH,  # noqa: F401
                            UPX_PATH, VERSION_PY, child_setup, failure_line, fake_interpreter, lock, locked_tree,
                            pipeline, progress_screens, read_log, report, under)
from programs import WINDOWS, patient_run
from programs import program as fake_program
from tq_velmor_host import build, command, environment, interpreter, program, starts

OWN = {"build/old.o": b"", "dist/yt-dlp.exe": b"", "yt-dlp-master/x": b"", "devscripts/x": b"", "yt_dlp/x": b"",
       "bundle/x": b"", "source.zip": b"stale", "upx.zip": b"", "upx.exe": b"stale", "yt-dlp.spec": b"",
       "yt-dlp.exe": b"earlier build", "yt-dlp-build.txt": b"earlier record"}
USAGE = "usage: tq-velmor [--force] [--no-upx]\nSee 'tq-velmor --help'.\n"
UNKNOWN = "tq-velmor: unknown argument {}\n" + USAGE
REPEATED = "tq-velmor: argument {} given twice\n" + USAGE
REFUSED = ("tq-velmor: not starting: {cwd} holds {deleted}, which the build deletes, beside other files:\n"
           "{foreign}. There those names may be yours. Nothing was deleted. Run it in a folder of its\n"
           "own (one that holds only yt-dlp.exe and your downloads will do), or pass --force to build\n"
           "here anyway.\n")
LINKED = ("tq-velmor: not starting: in {cwd}, {names} is a link or a junction: the build would\n"
          "write or delete at its target. Nothing was deleted. Remove the link, or build in another\n"
          "folder.\n")
INTERRUPTED = "\ntq-velmor: interrupted (Ctrl+C); what the build left in the folder goes at the next run.\n"


# What the fake yt-dlp.exe does when started (with --version, or -v).
STARTS = 'print("2026.08.19")'
FAILS = 'import sys; sys.stderr.write("[PYI-252:ERROR] Failed to load Python DLL\\n"); sys.exit(1)'
HANGS = "import time; time.sleep(600)"
SILENT = "pass"
FLOODS = 'print("x" * 100000)'
ESCAPES = r'import sys; sys.stderr.write("\x1b[2J\x1b]0;owned\x07boom\n"); sys.exit(1)'


def with_header(libraries, runtimes):
    """A yt-dlp.exe that starts and, given -v, prints a verbose header listing these."""
    return textwrap.dedent(f"""
        import sys
        if "-v" in sys.argv:
            sys.stderr.write("[debug] Command-line config: ['-v']\\n"
                             "[debug] yt-dlp version stable@2026.08.19 from yt-dlp/yt-dlp [81ecd58b1] (x*)\\n"
                             "[debug] Optional libraries: {libraries}\\n[debug] JS runtimes: {runtimes}\\n")
            sys.exit(2)
        print("2026.08.19")
    """)


def tail(words, folder, version="2026.08.19", commit=None):
    """The last lines of a run that left a new yt-dlp.exe that starts ("of": the command's)."""
    digest = hashlib.sha256((folder / "yt-dlp.exe").read_bytes()).hexdigest()
    if words == "of":
        return ("Build record: yt-dlp-build.txt\n" + (f"Commit of yt-dlp.exe: {commit}\n" if commit else "")
                + f"Version of yt-dlp.exe: {version}\nSHA-256 of yt-dlp.exe: {digest}\n")
    return ("Registro de la compilación: yt-dlp-build.txt\n" + (f"Commit de yt-dlp.exe: {commit}\n" if commit else "")
            + f"Versión de yt-dlp.exe: {version}\nSHA-256 de yt-dlp.exe: {digest}\n")


def seed(folder, files):
    for name, data in files.items():
        path = os.path.join(folder, *name.split("/"))
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)


def listing(folder):
    """Every file and folder below `folder`, as relative names with "/"."""
    return sorted(os.path.relpath(os.path.join(root, name), folder).replace(os.sep, "/")
                  for root, folders, names in os.walk(folder) for name in folders + names)


def fired(real, when=lambda *args, **kwargs: True):
    """`real`, with Ctrl+C pressed on the first call for which `when` holds (`.fired` tells)."""

    def call(*args, **kwargs):
        if not call.fired and when(*args, **kwargs):
            call.fired = True
            signal.raise_signal(signal.SIGINT)
        return real(*args, **kwargs)

    call.fired = False
    return call


@pytest.fixture
def workspace(tqv, tmp_path, monkeypatch):
    """An empty current folder; tq_velmor.main records that it was called, writes a yt-dlp.exe
    that starts, and draws its report's screen, as the module does once it moved one in."""
    monkeypatch.chdir(tmp_path)
    calls = []

    def build():
        calls.append("main")
        fake_program("yt-dlp.exe", STARTS)
        tqv.tq_refresh("¡HECHO!", 100)

    tqv.main = build
    tqv.tq_refresh = lambda status_msg, progress=0: None
    return tmp_path, calls


HELP, VERSION = "help", f"tq-velmor {importlib.metadata.version('tq-velmor')}\n"
CLOSE = "\nPulsa Enter para cerrar esta ventana.\n"
# What --help begins and ends with: the command's English, the program's Spanish.
HELP_TEXT = {
    "command": ("usage: tq-velmor [--force] [--no-upx]\n\nBuilds yt-dlp.exe in the current folder",
                "options:\n"
                "  --force     build even when the build's names lie beside other files\n"
                "  --no-upx    build without UPX (the same as TQ_VELMOR_NO_UPX=1): a larger yt-dlp.exe,\n"
                "              which antivirus programs flag less often\n"
                "  --version   show the version and exit\n"
                "  -h, --help  show this help and exit\n"),
    "program": ("uso: tq-velmor [--force] [--no-upx]\n\nCompila yt-dlp.exe en la carpeta actual",
                "opciones:\n"
                "  --force     compilar aunque los nombres de la compilación estén junto a otros archivos\n"
                "  --no-upx    compilar sin UPX (lo mismo que TQ_VELMOR_NO_UPX=1): un yt-dlp.exe más\n"
                "              grande, que los antivirus marcan menos a menudo\n"
                "  --version   mostrar la versión y salir\n"
                "  -h, --help  mostrar esta ayuda y salir\n" + CLOSE),
}


@pytest.mark.parametrize("argv, status, out, err, by", [
    (["--help"], 0, HELP, "", "command"),
    (["-h", "--force"], 0, HELP, "", "command"),
    (["--version"], 0, VERSION, "", "command"),
    (["--force", "--version", "--help"], 0, VERSION, "", "command"),  # the first one asked is answered
    (["build"], 2, "", UNKNOWN.format("'build'"), "command"),
    (["--forc"], 2, "", UNKNOWN.format("'--forc'"), "command"),
    (["--help", "--verbose"], 2, "", UNKNOWN.format("'--verbose'"), "command"),
    (["--version", "x"], 2, "", UNKNOWN.format("'x'"), "command"),
    ([""], 2, "", UNKNOWN.format("''"), "command"),
    (["--no-upx=1"], 2, "", UNKNOWN.format("'--no-upx=1'"), "command"),
    (["--no-upx", "--force", "--no-upx"], 2, "", REPEATED.format("'--no-upx'"), "command"),
    (["--force", "--help", "--force"], 2, "", REPEATED.format("'--force'"), "command"),
    # double-clicked: the program keeps its window until Enter
    (["--help"], 0, HELP, "", "program"),
    (["--version"], 0, VERSION + CLOSE, "", "program"),
    (["--force", "--force"], 2, "", "tq-velmor: argumento '--force' repetido\nuso: tq-velmor [--force] [--no-upx]\n"
                                    "Véase 'tq-velmor --help'.\n", "program"),
])
def test_help_or_a_refused_argument_builds_nothing(workspace, capsys, monkeypatch, argv, status, out, err, by):
    folder, calls = workspace
    seed(folder, {"notes.txt": b"mine"})
    if by == "program":
        monkeypatch.setattr(program, "owns_console", lambda: True)
        monkeypatch.setattr(sys, "stdin", io.StringIO("\n"))
    assert (command.main if by == "command" else program.main)(argv) == status
    shown, got = capsys.readouterr()
    assert got == err and calls == [] and listing(folder) == ["notes.txt"]
    if out == HELP:
        begins, ends = HELP_TEXT[by]
        assert shown.startswith(begins) and shown.endswith(ends)
        if by == "command":
            assert ("Warning: the build works in the current folder and deletes from it the folders\n"
                    "build, dist, yt-dlp-master, devscripts, yt_dlp, bundle\n"
                    "and the files source.zip, upx.zip, upx.exe, yt-dlp.spec;\n") in shown
    else:
        assert shown == out + (CLOSE if by == "program" and status == 2 else "")
    if by == "program":
        assert sys.stdin.read() == ""  # the Enter was read


_OWN_DELETED = "build, bundle, devscripts, dist, source.zip, upx.exe, upx.zip, yt-dlp-master and 2 more"


@pytest.mark.parametrize("files, argv, refused", [
    ({}, [], None),
    (OWN, [], None),
    # The update the guide describes: yt-dlp.exe has been used, its downloads lie beside it.
    ({"yt-dlp.exe": b"earlier build", "yt-dlp-build.txt": b"", "Vídeo (1080p).mp4": b"", "Música/canción.m4a": b""},
     [], None),
    ({"src/main.c": b"", "Build.log": b""}, [], None),  # names near the build's, but not them
    ({"Build/x": b"", "DIST/x": b"", "Yt-Dlp.exe": b""}, [], None),  # its names in other letter case, alone
    ({"build/x": b"", "notes.txt": b"mine"}, ["--force"], None),
    ({**OWN, "notes.txt": b"mine"}, [], (_OWN_DELETED, "notes.txt")),
    ({"build/x": b"", "notes.txt": b"mine"}, [], ("build", "notes.txt")),
    ({"Build/x": b"", "notes.txt": b"mine"}, [], ("Build", "notes.txt")),
    ({"upx.zip": b"", **{f"file{i:02}.txt": b"" for i in range(20)}}, [],
     ("upx.zip", ", ".join(f"file{i:02}.txt" for i in range(8)) + " and 12 more")),
    # What is echoed carries no control characters: no escape sequence reaches the console.
    ({"source.zip": b"", "notes\x1b[2J\x07.txt": b""}, [], ("source.zip", "notes[2J.txt")),
], ids=["empty", "leftovers", "downloads-beside-the-result", "near-names", "other-case", "forced",
        "foreign-beside-leftovers", "build-beside-notes", "other-case-beside-notes", "crowded", "control-characters"])
def test_the_build_starts_where_nothing_of_the_users_is_at_risk(workspace, tqv, monkeypatch, capsys, files, argv,
                                                                refused):
    folder, calls = workspace
    if WINDOWS and any("\x1b" in name for name in files):
        pytest.skip("Windows file names hold no control characters")
    seed(folder, files)
    before = {name: (folder / name).read_bytes() for name in listing(folder) if (folder / name).is_file()}
    # The user set SOURCE_DATE_EPOCH, not PYTHONHASHSEED: the build sees the default beside the
    # user's value, and afterwards the environment is as it was.
    monkeypatch.delenv("PYTHONHASHSEED", raising=False)
    monkeypatch.setenv("SOURCE_DATE_EPOCH", "1")
    seen, build_ = [], tqv.main
    tqv.main = lambda: seen.append({name: os.environ.get(name) for name in REPRODUCIBLE}) or build_()
    assert command.main(argv) == (2 if refused else 0)
    assert calls == ([] if refused else ["main"])
    assert seen == ([] if refused else [{"PYTHONHASHSEED": "0", "SOURCE_DATE_EPOCH": "1"}])
    assert {name: os.environ.get(name) for name in REPRODUCIBLE} == {"PYTHONHASHSEED": None, "SOURCE_DATE_EPOCH": "1"}
    if refused:
        deleted, foreign = refused
        assert capsys.readouterr().err == REFUSED.format(cwd=os.getcwd(), deleted=deleted, foreign=foreign)
    # Nothing but the build's result and its record is touched (on Windows, in whatever letter case).
    after = {name: (folder / name).read_bytes() for name in listing(folder) if (folder / name).is_file()}
    written = set() if refused else {"yt-dlp.exe", "yt-dlp.exe.py", "yt-dlp-build.txt"}

    def kept(files):
        return {name: data for name, data in files.items() if os.path.normcase(name) not in written}

    assert kept(after) == kept(before)


def link(target, path, folder):
    """A symbolic link (a junction for a folder, where no link can be made) at `path`."""
    failure = "it did not appear"  # Wine 8 takes a symbolic link and makes nothing
    try:
        os.symlink(target, path, target_is_directory=folder)
    except (OSError, NotImplementedError) as refused:
        failure = refused
    if not os.path.lexists(path) and WINDOWS and folder:
        import _winapi
        try:
            _winapi.CreateJunction(str(target), str(path))
        except OSError as refused:
            failure = refused
            if os.path.isdir(path):  # Wine refuses the junction after making its folder
                os.rmdir(path)
    if not os.path.lexists(path):
        pytest.skip(f"no link can be made here: {failure}")


@pytest.mark.parametrize("name, target", [
    ("yt-dlp-master", "folder"), ("Build", "folder"), ("source.zip", "missing"), ("upx.zip", "missing"),
    ("upx.exe", "missing"), ("yt-dlp.exe", "file"), ("yt-dlp-build.txt", "file"),
])
@pytest.mark.parametrize("argv", [[], ["--force"]], ids=["plain", "forced"])
def test_a_link_bearing_one_of_the_builds_names_is_refused_even_when_forced(workspace, tmp_path_factory, capsys,
                                                                             name, target, argv):
    folder, calls = workspace
    elsewhere = tmp_path_factory.mktemp("elsewhere") / "target"
    if target == "folder":
        seed(elsewhere, {"keep.txt": b"keep"})
    elif target == "file":
        elsewhere.write_bytes(b"keep")
    link(elsewhere, folder / name, target == "folder")
    assert command.main(argv) == 2 and calls == []
    assert capsys.readouterr().err == LINKED.format(cwd=os.getcwd(), names=name)
    assert os.path.lexists(folder / name)
    if target == "folder":
        assert listing(elsewhere) == ["keep.txt"]
    else:
        assert not elsewhere.exists() if target == "missing" else elsewhere.read_bytes() == b"keep"


# Ctrl+C in each phase, through the module's own main(): where the module swallows the interrupt
# (an interpreter's check, UPX, the cleanup), the run notices it there. Each sets the phase up
# and returns what was interrupted.

def in_validation(p, tqv):
    tqv.subprocess = Proxy(subprocess, run=(call := fired(patient_run, lambda cmd, **kw: cmd[1:] == ["--version"])))
    return call


def in_download(name):
    def setup(p, tqv):
        call = fired(p.downloads.urlretrieve, lambda url, filename: filename == name)
        tqv.urllib = Proxy(urllib, request=Proxy(urllib.request, urlretrieve=call))
        return call
    setup.__name__ = f"in_{name.split('.')[0]}_download"
    return setup


in_upx_download, in_source_download = in_download("upx.zip"), in_download("source.zip")


def in_cleanup(p, tqv):
    p.seed({"build/old.o": b""})
    tqv.shutil = Proxy(shutil, rmtree=(call := fired(shutil.rmtree)))
    return call


def in_pip(p, tqv):
    tqv.subprocess = Proxy(subprocess, run=(call := fired(patient_run, lambda cmd, **kw: cmd[1:] == PIP)))
    return call


def in_the_failure_screens_wait(p, tqv):
    p.downloads.fail[SOURCE_PATH] = OSError("offline")
    stdin = io.StringIO("\n")
    stdin.readline = fired(stdin.readline)
    p.monkeypatch.setattr(sys, "stdin", stdin)
    return stdin.readline


INTERRUPTS = [in_validation, in_upx_download, in_cleanup, in_source_download, in_pip, in_the_failure_screens_wait]


@pytest.fixture
def ctrl_c():
    """Ctrl+C raising KeyboardInterrupt, as in a console: a process started in the background (a CI
    stage) inherits it ignored."""
    previous = signal.signal(signal.SIGINT, signal.default_int_handler)
    yield
    signal.signal(signal.SIGINT, previous)


@pytest.mark.parametrize("phase", INTERRUPTS, ids=[p.__name__[3:] for p in INTERRUPTS])
def test_ctrl_c_ends_the_build_in_every_phase_with_the_interrupt_status(pipeline, tqv, capsys, ctrl_c, phase):
    pipeline.seed({"yt-dlp.exe": b"earlier build"})
    call = phase(pipeline, tqv)
    assert command.main([]) == 130 and call.fired
    out, err = capsys.readouterr()
    assert err == INTERRUPTED and "Traceback" not in out
    # Nothing went on after it: not the search, not the build.
    assert "No se encontró" not in out and "yt-dlp-build.txt" not in os.listdir(".")
    if phase in (in_validation, in_upx_download, in_cleanup):
        assert pipeline.downloads.paths() == []
    assert open("yt-dlp.exe", "rb").read() == b"earlier build"


class Stalled(socketserver.ThreadingTCPServer):
    """A code host that answers nothing, or headers and the first bytes of a body and then
    nothing (for 60 seconds at most, so that no test can wait for ever)."""
    daemon_threads = True

    def __init__(self, how):
        self.how = how
        super().__init__(("127.0.0.1", 0), Stalled.Handler)
        threading.Thread(target=self.serve_forever, daemon=True).start()
        self.url = f"http://127.0.0.1:{self.server_address[1]}/archive.zip"

    class Handler(socketserver.StreamRequestHandler):
        def handle(self):
            self.rfile.readline()
            if self.server.how == "mid-body":
                self.wfile.write(b"HTTP/1.1 200 OK\r\nContent-Length: 100000\r\n\r\nPK\3\4")
                self.wfile.flush()
            time.sleep(60)


@pytest.mark.parametrize("how", ["no-answer", "mid-body"])
def test_a_stalled_download_ends_like_any_failed_one(pipeline, tqv, monkeypatch, capsys, how):
    monkeypatch.setattr(build, "STALL_LIMIT", 1)
    host = Stalled(how)
    calls = []

    def stalled(url, filename):  # each of the build's downloads from the stalled host, with the real urllib
        calls.append(filename)
        return urllib.request.urlretrieve(host.url, filename)

    tqv.urllib = Proxy(urllib, request=Proxy(urllib.request, urlretrieve=stalled))
    pipeline.seed({"yt-dlp.exe": b"earlier build"})
    pipeline.stdin("\n")
    try:
        assert command.main([]) == 1
    finally:
        host.shutdown()
        host.server_close()
    out = capsys.readouterr().out
    # UPX's stall means no UPX, as any failed UPX download; the source's ends the build.
    assert calls == ["upx.zip", "source.zip"]
    assert out.startswith(progress_screens(25)) and f"{failure_line('')[:-1]}" in out and "timed out" in out
    assert open("yt-dlp.exe", "rb").read() == b"earlier build"


@pytest.mark.parametrize("frozen, files, main, console, status, waits", [
    (True, {"tq-velmor (1).exe": b"MZ"}, "builds", True, 0, True),
    (True, {"tq-velmor (1).exe": b"MZ"}, "builds", False, 0, False),
    # A failed build that ended in its own wait for Enter: no second one.
    (True, {"tq-velmor (1).exe": b"MZ"}, "fails after its wait", True, 1, False),
    # Any other ending waits: the lines after the build's wait, a failure without one, an interrupt.
    (True, {"tq-velmor (1).exe": b"MZ"}, "waits, then says more", True, 1, True),
    (True, {"tq-velmor (1).exe": b"MZ"}, "fails", True, 1, True),
    (True, {"tq-velmor (1).exe": b"MZ"}, "interrupted", True, 130, True),
    (True, {"tq-velmor (1).exe": b"MZ"}, "breaks", True, 1, True),
    (True, {"tq-velmor (1).exe": b"MZ", "build": b"", "notes.txt": b""}, "builds", True, 2, True),
    (False, {"tq-velmor (1).exe": b"MZ", "upx.exe": b""}, "builds", False, 2, False),
], ids=["double-clicked", "from-a-shell", "failed-after-its-wait", "more-after-its-wait", "failed", "interrupted",
        "unexpected-error", "foreign", "not-frozen"])
def test_the_program_keeps_its_window_until_every_ending_is_read(workspace, tqv, monkeypatch, capsys, frozen, files,
                                                                  main, console, status, waits):
    folder, calls = workspace
    seed(folder, files)
    built = tqv.main

    def ends():
        calls.append("main")
        if main == "interrupted":
            raise KeyboardInterrupt
        if main == "breaks":
            raise RuntimeError("a fault of the program's own")
        if main != "fails":
            input()  # the module's wait for Enter
        if main == "waits, then says more":
            print("more")

    tqv.main = built if main == "builds" else ends
    monkeypatch.setattr(sys, "frozen", frozen, raising=False)
    monkeypatch.setattr(sys, "executable", str(folder / "tq-velmor (1).exe"))
    monkeypatch.setattr(program, "owns_console", lambda: console)
    monkeypatch.setattr(sys, "stdin", io.StringIO("\n\n"))

    assert program.main([]) == status
    out, err = capsys.readouterr()
    assert calls == ([] if status == 2 else ["main"])
    if status == 2:
        foreign = "notes.txt" if frozen else "tq-velmor (1).exe"
        deleted = "build" if frozen else "upx.exe"
        assert err.startswith(f"tq-velmor: no se inicia: {os.getcwd()} contiene {deleted}, que la compilación borra, "
                              f"junto a otros\narchivos: {foreign}.")
    elif main == "builds":
        assert out == tail("de", folder) + (CLOSE if waits else "")
    elif main == "interrupted":
        assert err == "\ntq-velmor: interrumpido (Ctrl+C); lo que la compilación dejó en la carpeta se borra en " \
                      "la siguiente.\n"
    elif main == "breaks":
        assert err.endswith("tq-velmor: error inesperado: a fault of the program's own\n") and "Traceback" in err
    assert out.endswith(CLOSE) == waits
    reads = (main in ("fails after its wait", "waits, then says more")) + waits
    assert sys.stdin.read() == "\n\n"[reads:]


BLOCKED = "blocked"  # a yt-dlp.exe that cannot be started at all
TLS = {9: (0x1000, 0x28)}  # python313.dll's TLS directory
SCREEN = "[screen]\n"
ASKED = "Without UPX, as asked."
TLS_NOTE = "Without UPX: python313.dll keeps thread-local storage (TLS), which UPX 4.2.2 breaks."
REBUILDING = "Building again, without UPX: the yt-dlp.exe packed with UPX does not start."
RECORDED, SHA = "Build record: yt-dlp-build.txt\n", "SHA-256 of yt-dlp.exe: {sha}\n"
VERSION_LINE = "Version of yt-dlp.exe: 2026.08.19\n"
PYI = "it ended with status 1: [PYI-252:ERROR] Failed to load Python DLL"
NOT_STARTING = "yt-dlp.exe does not start: {}\n"
FAILED_ADVICE = ("Its own words are above. yt-dlp-build.txt says how it was built: keep it, with that line, for a "
                 "report to the project.\n")
BLOCKED_ADVICE = ("Windows or an antivirus program blocked it: its protection history (Windows Security, Virus & "
                  "threat protection, Protection history) names the file and why. Allow it there, or exclude this "
                  "folder, then try it: .\\yt-dlp.exe --version\n")
HUNG_ADVICE = ("An antivirus scan may still hold it: try it in a minute (.\\yt-dlp.exe --version in a console in this "
               "folder); if it still hangs, look at the antivirus program's protection history.\n")
NO_RUNTIME = ("YouTube: with no JavaScript runtime, yt-dlp.exe cannot solve YouTube's challenges and formats may be "
              "missing. Install Deno (winget install DenoLand.Deno), or put deno.exe beside yt-dlp.exe.\n")
NO_EJS = ("YouTube: this yt-dlp.exe carries no yt-dlp-ejs, the scripts that solve YouTube's challenges: add "
          "--remote-components ejs:github to its commands, and have Deno (winget install DenoLand.Deno, or deno.exe "
          "beside yt-dlp.exe).\n")


def run(note=None, made=True):
    """What one fake run shows: its first screen, and the report's when it made yt-dlp.exe."""
    return (SCREEN + under(note)) * (2 if made else 1)


def described(libraries, runtimes, advice=""):
    return (f"Optional libraries in yt-dlp.exe: {libraries}\nJavaScript runtimes yt-dlp.exe finds: {runtimes}\n"
            + advice)


EJS = "brotli-1.2.0, curl_cffi-0.16.0, yt_dlp_ejs-0.8.0"


@pytest.mark.parametrize("dll, argv, setting, upx, made, status, builds, shown", [
    (None, [], None, True, (STARTS, FAILS), 0, ["upx"], run() + RECORDED + VERSION_LINE + SHA),
    (("python313.dll", TLS), [], None, True, (FAILS, STARTS), 0, ["without"],
     run(TLS_NOTE) + RECORDED + VERSION_LINE + SHA),
    (("python311.dll", {}), [], None, True, (FAILS, STARTS), 0, ["upx", "without"],
     run() + run(REBUILDING) + f"yt-dlp.exe was built without UPX: the one packed with UPX did not start ({PYI}).\n"
     + RECORDED + VERSION_LINE + SHA),
    (None, ["--no-upx"], None, True, (FAILS, STARTS), 0, ["without"], run(ASKED) + RECORDED + VERSION_LINE + SHA),
    (None, [], "1", True, (FAILS, STARTS), 0, ["without"], run(ASKED) + RECORDED + VERSION_LINE + SHA),
    (None, [], "0", True, (STARTS, FAILS), 0, ["upx"], run() + RECORDED + VERSION_LINE + SHA),
    (None, [], "yes", True, (STARTS, STARTS), 2, [], ""),
    (None, [], None, False, (None, FAILS), 1, ["none"], run() + RECORDED + SHA + NOT_STARTING.format(PYI)
     + FAILED_ADVICE),
    (None, [], None, False, (None, HANGS), 1, ["none"],
     run() + RECORDED + SHA + NOT_STARTING.format("it did not answer within 3 s and was stopped") + HUNG_ADVICE),
    (None, [], None, False, (None, BLOCKED), 1, ["none"],
     run() + RECORDED + SHA + NOT_STARTING.format("it could not be started ({error})") + BLOCKED_ADVICE),
    (None, [], None, False, (None, FLOODS), 1, ["none"],
     run() + RECORDED + SHA + NOT_STARTING.format("it printed more than 4,096 bytes and was stopped") + FAILED_ADVICE),
    (None, [], None, False, (None, ESCAPES), 1, ["none"],
     run() + RECORDED + SHA + NOT_STARTING.format("it ended with status 1: [2J]0;ownedboom") + FAILED_ADVICE),
    (None, [], None, True, (FAILS, None), 1, ["upx", "without"], run() + run(REBUILDING, made=False)
     + NOT_STARTING.format(PYI) + "The build without UPX left no new yt-dlp.exe: the one in the folder is the one "
                                  "packed with UPX, which does not start.\n"),
    (None, [], None, True, (FAILS, "import sys; sys.exit(3)"), 1, ["upx", "without"],
     run() + run(REBUILDING) + RECORDED + SHA + NOT_STARTING.format("it ended with status 3 and printed nothing")
     + FAILED_ADVICE),
    (None, [], None, True, (SILENT, STARTS), 0, ["upx", "without"],
     run() + run(REBUILDING) + "yt-dlp.exe was built without UPX: the one packed with UPX did not start (it "
                               "printed no version).\n" + RECORDED + VERSION_LINE + SHA),
    # What it carries, read from its verbose header, and what YouTube then lacks.
    (None, [], None, True, (with_header(EJS, "none"), FAILS), 0, ["upx"],
     run() + described(EJS, "none", NO_RUNTIME) + RECORDED + VERSION_LINE + SHA),
    (None, [], None, True, (with_header("brotli-1.2.0", "deno-2.5.1"), FAILS), 0, ["upx"],
     run() + described("brotli-1.2.0", "deno-2.5.1", NO_EJS) + RECORDED + VERSION_LINE + SHA),
    (None, [], None, True, (with_header(EJS, "deno-2.5.1"), FAILS), 0, ["upx"],
     run() + described(EJS, "deno-2.5.1") + RECORDED + VERSION_LINE + SHA),
    # An archive that carried a yt-dlp.exe of its own, and a packaging step that failed: the file
    # changed, but this run moved nothing in. Nothing is started, nothing rebuilt.
    (None, [], None, True, ("archive's", STARTS), 1, ["upx"], run(made=False)),
], ids=["packed-starts", "tls-dll", "rebuilt", "asked", "asked-by-setting", "setting-0", "bad-setting", "no-upx-fails",
        "hangs", "blocked", "floods", "escapes", "rebuild-left-nothing", "rebuilt-fails-too", "silent-rebuilt",
        "no-runtime", "no-ejs", "ejs-and-deno", "archive-carried-one"])
def test_the_new_executable_must_start_and_is_built_again_without_upx_when_upx_broke_it(
        workspace, tqv, tmp_path_factory, monkeypatch, capsys, dll, argv, setting, upx, made, status, builds, shown):
    folder, _ = workspace
    interpreter_folder = tmp_path_factory.mktemp("Python")
    if dll:
        (interpreter_folder / dll[0]).write_bytes(tiny_pe(dll[1]))
    monkeypatch.delenv(command.NO_UPX, raising=False)
    if setting is not None:
        monkeypatch.setenv(command.NO_UPX, setting)
    monkeypatch.setattr(starts, "LIMIT", 3)
    monkeypatch.setattr(starts, "OUTPUT_LIMIT", 4096)
    setups, built = [], []

    def build_():
        tqv.encontrar_python_real()
        tqv.tq_refresh("Cargando motor UPX...", 10)
        asked = len(setups)
        used = bool(tqv.setup_upx())
        # "upx": UPX set up and provided; "none": set up, none provided; "without": not set up
        built.append("upx" if used else "none" if len(setups) > asked else "without")
        does = made[0] if used else made[1]
        if does == "archive's":
            fake_program(folder / "yt-dlp.exe", STARTS)
            return
        if does is not None:
            fake_program(folder / "yt-dlp.exe", STARTS if does is BLOCKED else does, executable=does is not BLOCKED)
            tqv.tq_refresh("¡HECHO!", 100)

    tqv.main = build_
    tqv.encontrar_python_real = lambda: str(interpreter_folder / "python.exe")
    tqv.tq_refresh = lambda status_msg, progress=0: print("[screen]")
    tqv.setup_upx = lambda: setups.append(True) or upx
    namespace = dict(vars(tqv))

    assert command.main(argv) == status
    out, err = capsys.readouterr()
    assert built == builds and len(setups) == len(builds) - builds.count("without")
    assert vars(tqv) == namespace  # the run's replacements are gone
    if status == 2:
        assert err == (f"tq-velmor: TQ_VELMOR_NO_UPX={setting!r}: set it to 1 to build without UPX, or to 0 or "
                       f"nothing for the usual build.\n") and listing(folder) == []
        return
    exe = folder / "yt-dlp.exe"
    error = ""
    if made[1] is BLOCKED:
        with pytest.raises(OSError) as blocked:
            subprocess.Popen([str(exe), "--version"], stdin=subprocess.DEVNULL)
        error = str(blocked.value)
    assert err == "" and out == shown.format(sha=hashlib.sha256(exe.read_bytes()).hexdigest(), error=error)
    assert (folder / "yt-dlp-build.txt").exists() == (RECORDED in shown)
    if made == (FAILS, None):  # nothing is deleted: the one that does not start stays
        assert "sys.exit(1)" in (folder / ("yt-dlp.exe.py" if WINDOWS else "yt-dlp.exe")).read_text()


def test_the_check_ends_what_the_checked_program_left_running(tmp_path):
    pid_file = tmp_path / "left.pid"
    # It answers, leaving behind a child that would live ten minutes.
    exe = fake_program(tmp_path / "yt-dlp.exe", textwrap.dedent(f"""
        import subprocess, sys
        left = subprocess.Popen([{sys.executable!r}, "-c", "import time; time.sleep(600)"])
        open({str(pid_file)!r}, "w").write(str(left.pid))
        print("2026.08.19")
    """))
    assert starts.check(exe) == starts.Started("2026.08.19")
    left = int(pid_file.read_text())
    for _ in range(100):  # it is ended, not merely orphaned
        if not alive(left):
            break
        time.sleep(0.1)
    assert not alive(left)


def alive(pid):
    if WINDOWS:
        found = subprocess.run(["tasklist", "/FI", f"PID eq {pid}", "/NH"], capture_output=True, text=True)
        return str(pid) in found.stdout
    try:
        os.kill(pid, 0)
    except OSError:
        return False
    try:  # a zombie our test process has not reaped counts as ended
        with open(f"/proc/{pid}/stat") as stat:
            return stat.read().split(") ")[1][0] != "Z"
    except OSError:
        return True


@pytest.mark.parametrize("files, python, found", [
    ({"python313.dll": tiny_pe(TLS), "python3.dll": tiny_pe(TLS)}, "python.exe", "python313.dll"),
    ({"python311.dll": tiny_pe({9: (0, 0)}), "python3.dll": tiny_pe(TLS)}, "python.exe", None),
    ({"PYTHON313T.DLL": tiny_pe(TLS, magic=0x10B)}, "python.exe", "PYTHON313T.DLL"),  # PE32, letter case
    # The table ends before the TLS entry; what follows it is not one.
    ({"python313.dll": tiny_pe(TLS, count=9) + b"\1" * 64}, "python.exe", None),
    ({"python313.dll": b"MZ" + bytes(100)}, "python.exe", None),  # not a PE file
    # A virtual environment's interpreter: the DLL of the one it was made from.
    ({"base/python313.dll": tiny_pe(TLS), "venv/pyvenv.cfg": b"home = {base}\nversion = 3.13.2\n"},
     "venv/Scripts/python.exe", "python313.dll"),
], ids=["tls", "no-tls", "pe32", "short-table", "not-pe", "venv"])
def test_an_interpreter_dll_with_thread_local_storage_is_told_before_the_build(tmp_path, files, python, found):
    for name, data in files.items():
        path = tmp_path / name
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_bytes(data.replace(b"{base}", str(tmp_path / "base").encode()))
    assert interpreter.tls_dll(str(tmp_path / python)) == found
    assert interpreter.machine(str(tmp_path / python.replace("python.exe", "python313.dll"))) in (None, "x64")


OFFLINE = "{%r: OSError('offline')}" % SOURCE_PATH
READY = re.compile(r" Build environment (made in|reused) \(?\d+ s\)?: (?P<folder>[^\n]*)\n\n")
SEVEN = "Dependencies: the seven packages, because the source has no bundle/requirements."
LOCK_NAMES = ["pip.txt", "win-x64-pyinstaller.txt", "curl-cffi.txt"] if WINDOWS else ["pip.txt", "pyinstaller.txt",
                                                                                        "linux.txt"]
LOCKED = f"Dependencies: the source's locks ({', '.join(LOCK_NAMES)})."
HINT = "This yt-dlp.exe was built from source by tq-velmor: to update it, run tq-velmor again in its folder"


@pytest.mark.parametrize("files, argv, exe_size, fail, stdin, users, tree, status", [
    (OWN, [], 1048576, None, "", {}, None, 0),
    (OWN, ["--no-upx"], 1048576, None, "", {}, None, 0),
    (OWN, [], 1048576, None, "", {"SOURCE_DATE_EPOCH": "1"}, None, 0),
    ({"yt-dlp.exe": b"earlier build"}, [], 1048576, None, "", {}, locked_tree(), 0),
    ({"build": b"", "notes.txt": b"mine"}, [], 1048576, None, "", {}, None, 2),
    ({"yt-dlp.exe": b"earlier build"}, [], None, None, "at its end", {}, None, 1),
    ({"yt-dlp.exe": b"earlier build"}, [], 1048576, OFFLINE, "closed", {}, None, 1),
], ids=["built", "built-without-upx", "built-users-date", "built-from-locks", "foreign", "no-executable", "failed"])
def test_the_installed_command_runs_the_build_and_its_status_tells_the_outcome(tmp_path, build_environments, files,
                                                                                argv, exe_size, fail, stdin, users,
                                                                                tree, status):
    entry = importlib.metadata.entry_points(group="console_scripts", name="tq-velmor")
    if not entry:
        pytest.skip("tq-velmor is not installed")
    (entry,) = entry
    work, tools = tmp_path / "work", tmp_path / "tools"
    work.mkdir()
    seed(work, files)
    before = listing(work)
    # Nothing of the module is imported before the command: it must put the stand-ins in itself.
    # The build's last wait for Enter meets an input at its end, or closed: it ends quietly.
    comment = COMMIT.encode() if tree else b""
    code = child_setup(tools, exe_size, fail, program=STARTS, tree=tree, comment=comment) + textwrap.dedent(f"""
        import sys
        sys.stdout.reconfigure(encoding="utf-8")
        assert "winreg" not in sys.modules or sys.platform == "win32"
        if {stdin == "closed"}:
            sys.stdin.close()
        from importlib.metadata import EntryPoint
        sys.argv = ["tq-velmor", *{argv!r}]
        try:
            EntryPoint("tq-velmor", {entry.value!r}, "console_scripts").load()()
        finally:
            sys.stdout.write(repr((downloads.paths(), sleeps)))
    """)
    # `users`: what the user set of the variables the command otherwise sets for the build.
    env = {name: value for name, value in os.environ.items() if name not in (*REPRODUCIBLE, command.NO_UPX)}
    result = run_python(code, stand_ins=False, cwd=str(work), input_text=None if stdin else "", env={**env, **users})
    assert result.returncode == status, describe(result)
    log = read_log(os.path.join(str(tools), "log.jsonl"))
    logged = [e for e in log if "args" in e]
    commands = [(e["args"], e["cwd"]) for e in logged]
    # Every command of the build gets the defaults, or what the user set instead.
    assert [e["env"] for e in logged] == [{**REPRODUCIBLE, **users}] * len(logged)
    repo = os.path.join(str(work), "yt-dlp-master")
    both = repr(([(UPX_PATH, ["upx.zip"]), (SOURCE_PATH, ["source.zip"])], []))
    if status == 2:
        assert result.stdout == repr(([], [])) and commands == []
        assert result.stderr == REFUSED.format(cwd=str(work), deleted="build", foreign="notes.txt")
        assert listing(work) == before
        return
    assert result.stderr == ""
    # Every command runs in the build's environment, kept in the user's cache folder.
    ready = READY.search(result.stdout)
    folder = ready["folder"] if ready else None
    assert folder is None or folder.startswith(os.path.join(str(build_environments), "tq-velmor", "environments", ""))
    settings = {(e["settings"]["PYTHONUSERBASE"], e["settings"]["PIP_USER"])
                for e in logged if e["args"] != ["--version"]}
    assert settings <= {(folder, "1")}
    shown = READY.sub(" Build environment made in 0 s: FOLDER\n\n", result.stdout).replace(str(folder), "FOLDER")
    if exe_size is None:
        assert shown == progress_screens(95, dependencies=SEVEN, ready="Build environment made in 0 s: FOLDER") \
            + MISSING_EXE + both
        assert commands[-1] == (PACKAGING, repo) and "yt-dlp-master" in listing(work)
    elif fail:
        assert result.stdout == progress_screens(25) + failure_line("offline") + both
    else:
        # The module's own main() steered through its namespace: without UPX, nothing of UPX is
        # fetched, and the reason stands under every screen.
        note = "Without UPX, as asked." if argv else None
        downloads = [(UPX_PATH, ["upx.zip"])] * (not argv) + [(SOURCE_PATH, ["source.zip"])]
        dependencies = LOCKED if tree else SEVEN
        installing = (f"Installing the source's locked dependencies ({', '.join(LOCK_NAMES)}) into FOLDER..."
                      if tree else None)
        assert shown == (progress_screens(95, note, dependencies, "Build environment made in 0 s: FOLDER", installing)
                         + report("1.00", True, note=note, dependencies=dependencies)
                         + tail("of", work, commit=COMMIT if tree else None) + repr((downloads, [5])))
        locks = [[]] if not tree else [["-m", "pip", "--version"]] + [
            ["-m", "pip", "install", "-U", "--require-hashes", "-r", os.path.join(repo, "bundle", "requirements", name),
             "--report", os.path.join(folder, "tq-velmor", f"{name}.json")]
            for name in LOCK_NAMES]
        assert commands == [(["--version"], str(work)), (["--version"], str(work)),
                            *[(step, str(work)) for step in locks if step], (PIP, str(work)), (LAZY, repo),
                            (PACKAGING, repo),
                            (["-m", "pip", "list", "--user", "--format=json", "--disable-pip-version-check"],
                             str(work))]
        assert listing(work) == ["yt-dlp-build.txt", "yt-dlp.exe", *(["yt-dlp.exe.py"] if WINDOWS else [])]
        assert os.path.getsize(work / "yt-dlp.exe") == 1048576
        recorded = (work / "yt-dlp-build.txt").read_text(encoding="utf-8")
        assert f"source commit: {COMMIT if tree else 'unknown'}\n" in recorded
        assert f"environment: {folder}\n" in recorded
        if tree:  # what the executable says of itself: this commit, a build from source, how to update
            (version,) = [e["version.py"] for e in log if "version.py" in e]
            assert version == VERSION_PY.replace("'594bd50c2c78ac432f81600d309fdc4e0a92d82c'", repr(COMMIT)).replace(
                "VARIANT = None", "VARIANT = 'tq-velmor source build'").replace("UPDATE_HINT = None",
                                                                               f"UPDATE_HINT = {HINT!r}")
    if status == 1:  # an earlier build is not this run's
        assert (work / "yt-dlp.exe").read_bytes() == b"earlier build"


def wheel_lock(url, digest):
    """A Windows PyInstaller lock naming yt-dlp's own PyInstaller build by `url`."""
    return lock("altgraph==0.17.5") + f"pyinstaller @ {url} --hash=sha256:{digest}\n"


WHEEL = "pyinstaller-6.22.0-py3-none-win_amd64.whl"
NOT_FOUND = "ERROR: Could not find a version that satisfies the requirement mutagen==1.48.1 (from versions: none)"
MISMATCH = ("ERROR: THESE PACKAGES DO NOT MATCH THE HASHES FROM THE REQUIREMENTS FILE. If you have updated the "
            "package versions, please update the hashes.\n    mutagen==1.48.1 from https://example/mutagen.whl:\n"
            "        Expected sha256 0000\n             Got        1111\n")
POSIX = ["pip.txt", "pyinstaller.txt", "linux.txt"]
NT = ["pip.txt", "win-x64-pyinstaller.txt", "curl-cffi.txt"]


@pytest.mark.parametrize("system, tree, answers, before, status, said, installs", [
    ("posix", LOCKS, {}, None, 0, "Dependencies: the source's locks (pip.txt, pyinstaller.txt, linux.txt).", POSIX),
    # The second build in the folder reuses what the first made: nothing is installed again.
    ("posix", LOCKS, {}, "built once", 0, "Dependencies: the source's locks (pip.txt, pyinstaller.txt, linux.txt).",
     []),
    # New locks, a new environment.
    ("posix", LOCKS, {}, "built with other locks", 0,
     "Dependencies: the source's locks (pip.txt, pyinstaller.txt, linux.txt).", POSIX),
    # What an interrupted build left, without its mark of completion, is made anew.
    ("posix", LOCKS, {}, "half made", 0, "Dependencies: the source's locks (pip.txt, pyinstaller.txt, linux.txt).",
     POSIX),
    ("posix", None, {}, None, 0, "Dependencies: the seven packages, because the source has no bundle/requirements.",
     []),
    ("posix", {"pip.txt": LOCKS["pip.txt"]}, {}, None, 0,
     "Dependencies: the seven packages, because the source has no locks for posix-x86_64.", []),
    # No wheel for this Python: the seven, as before there were locks, in an environment emptied for them.
    ("posix", LOCKS, {"linux.txt": (1, NOT_FOUND + "\n")}, None, 0,
     f"Dependencies: the seven packages, because linux.txt cannot be installed in this Python ({NOT_FOUND}).", POSIX),
    ("posix", LOCKS, {"linux.txt": (1, MISMATCH)}, None, 1,
     "A package of bundle/requirements/linux.txt does not match its hash: nothing was installed from it.\n"
     + MISMATCH.strip(), POSIX),
    ("nt", {**LOCKS, "win-x64-pyinstaller.txt": "wheel"}, {}, None, 0,
     "Dependencies: the source's locks (pip.txt, win-x64-pyinstaller.txt, curl-cffi.txt).", NT),
    ("nt", {**LOCKS, "win-x64-pyinstaller.txt": "changed wheel"}, {}, None, 1,
     "{url} does not match bundle/requirements/win-x64-pyinstaller.txt (sha256 {digest}): nothing was installed "
     "from it.", NT[:1]),
    ("nt", {**LOCKS, "win-x64-pyinstaller.txt": "missing wheel"}, {}, None, 0,
     "PyInstaller 6.22.0 from the package index: yt-dlp's own build of it could not be fetched ({error}).", NT),
    ("nt", {**LOCKS, "win-x64-pyinstaller.txt": b"\xff\xfe not a lock"}, {}, None, 0,
     "Dependencies: the seven packages, because win-x64-pyinstaller.txt cannot be read ({error}).", NT[:1]),
    ("posix", LOCKS, {}, "unwritable", 1, "The build environment's folder cannot be written: {folder} ({error})", []),
    # A virtual environment's interpreter: the one it was made from runs the build, with the pip
    # of the virtual environment where it has none (for pip.txt, or for the seven).
    ("posix", LOCKS, {}, "venv", 0, "Dependencies: the source's locks (pip.txt, pyinstaller.txt, linux.txt).", POSIX),
    ("posix", LOCKS, {}, "venv, base without pip", 0,
     "Dependencies: the source's locks (pip.txt, pyinstaller.txt, linux.txt).", POSIX),
    ("posix", None, {}, "venv, base without pip", 0,
     "Dependencies: the seven packages, because the source has no bundle/requirements.", []),
], ids=["locks", "reused", "other-locks", "half-made", "no-locks", "no-platform-locks", "not-installable",
        "hash-mismatch", "wheel-fetched", "wheel-changed", "wheel-missing", "lock-unreadable", "unwritable", "venv",
        "venv-locks-no-pip", "venv-seven-no-pip"])
def test_the_build_has_an_environment_of_its_own_with_the_sources_locks(pipeline, tqv, monkeypatch, capsys, tmp_path,
                                                                         build_environments, system, tree, answers,
                                                                         before, status, said, installs):
    monkeypatch.setattr(environment, "platform_of", lambda python: (system, "x64" if system == "nt" else "x86_64"))
    fake_interpreter(os.path.dirname(pipeline.python), pipeline.log, answers=answers,
                     has_pip=before != "venv, base without pip")
    wheel = tmp_path / WHEEL
    wheel.write_bytes(b"PK yt-dlp's own PyInstaller")
    digest = hashlib.sha256(wheel.read_bytes()).hexdigest()
    locks = dict(tree or {})
    kind = locks.get("win-x64-pyinstaller.txt")
    if kind in ("wheel", "changed wheel", "missing wheel"):
        url = (tmp_path / ("missing" if kind == "missing wheel" else "") / WHEEL).as_uri()
        locks["win-x64-pyinstaller.txt"] = wheel_lock(url, "0" * 64 if kind == "changed wheel" else digest)
    pipeline.archive(1048576, locked_tree(locks) if tree else None, COMMIT.encode(), program=STARTS)
    pipeline.seed({"yt-dlp.exe": b"earlier build"})
    pipeline.stdin("\n")
    python = pipeline.python
    if before and before.startswith("venv"):  # found: a virtual environment's interpreter, which names its base
        venv = tmp_path / "venv"
        found = fake_interpreter(str(venv / "bin"), pipeline.log)
        (venv / "pyvenv.cfg").write_text(f"home = {os.path.dirname(python)}\nexecutable = {python}\n")
        tqv.sys = Proxy(sys, executable=found)
    if before == "unwritable":
        (build_environments / "tq-velmor").write_text("not a folder")
    if before in ("built once", "built with other locks", "half made"):
        assert command.main([]) == 0
        made = READY.search(capsys.readouterr().out)["folder"]
        if before == "built with other locks":
            pipeline.archive(1048576, locked_tree({**locks, "linux.txt": lock("mutagen==1.48.0")}), COMMIT.encode(),
                             program=STARTS)
        if before == "half made":  # as an earlier build left it, interrupted while pip ran: not marked complete
            os.remove(os.path.join(made, environment.MARKER))
            seed(made, {"Python311/site-packages/half.py": b""})
        os.remove(pipeline.log)

    assert command.main([]) == status
    out, err = capsys.readouterr()
    logged = [e for e in read_log(pipeline.log) if "args" in e]
    where = READY.search(out) or re.search(r"into (?P<folder>[^\n]+)\.\.\.\n", out)
    folder = where and where["folder"]
    if before == "unwritable":
        failure = re.search(r"ERROR CRITICO:\x1b\[0m The build environment's folder cannot be written: (.+) \(.+\)\n", out)
        assert failure and failure[1].startswith(str(build_environments / "tq-velmor"))
        assert not any(e["args"] == PIP for e in logged)
    elif status == 1:
        text = said.format(url=wheel.parent.joinpath(WHEEL).as_uri(), digest=digest)
        assert failure_line(text) in out and not any(e["args"] == PIP for e in logged)
    elif "{error}" in said:
        assert re.search(re.escape(said).replace(r"\{error\}", ".+"), out), out
    else:
        assert under(said) in out
    # The source's locks, as yt-dlp's own build installs them, with the environment's settings.
    lock_installs = [e for e in logged if e["args"][:5] == ["-m", "pip", "install", "-U", "--require-hashes"]]
    assert [os.path.basename(e["args"][6]) for e in lock_installs] == installs
    for e in lock_installs:
        assert e["settings"]["PYTHONUSERBASE"] == str(folder) and e["settings"]["PIP_USER"] == "1"
        assert e["settings"]["PIP_IGNORE_INSTALLED"] == "1"  # nothing taken from the interpreter's own
    module_pip = [e for e in logged if e["args"] == PIP]
    if status == 0:
        (pip_,) = module_pip
        # The module's own pip installs into the environment; freshly so where it installs the seven.
        assert pip_["settings"]["PYTHONUSERBASE"] == str(folder)
        assert pip_["settings"]["PIP_IGNORE_INSTALLED"] == ("1" if "seven" in said else None)
        assert all(e["python"] == python for e in logged if e["args"] in (PIP, LAZY, PACKAGING))
        assert os.path.isfile(os.path.join(folder, environment.MARKER))
        assert not os.path.exists(os.path.join(folder, "Python311", "site-packages", "half.py"))
        recorded = (pathlib_read(pipeline.workspace, "yt-dlp-build.txt"))
        assert f"source commit: {COMMIT}\n" in recorded and f"environment: {folder}\n" in recorded
    else:
        assert open("yt-dlp.exe", "rb").read() == b"earlier build"
    if kind == "wheel":  # pip got the lock with the checked copy of the wheel in place of its URL
        copy = os.path.join(folder, "tq-velmor", "win-x64-pyinstaller.txt")
        assert lock_installs[1]["args"][6] == copy
        fetched = Path(folder, "tq-velmor", "downloads", WHEEL)
        assert fetched.read_bytes() == wheel.read_bytes() and f"pyinstaller @ {fetched.as_uri()} " in open(copy).read()
    if before == "venv, base without pip":  # the virtual environment's pip, for the first install into the base
        first = (lock_installs or [e for e in logged if e["args"][:4] == ["-m", "pip", "install", "--no-deps"]])[0]
        assert first["python"] == python and "site-packages" in first["settings"]["PYTHONPATH"]
        assert all(e["settings"]["PYTHONPATH"] == os.environ.get("PYTHONPATH") for e in logged
                   if e["args"] in (PIP, PACKAGING))
    if kind == "missing wheel":  # the same version from the index, its requirements from the lock
        assert ["-m", "pip", "install", "--no-deps", "pyinstaller==6.22.0"] in [e["args"] for e in logged]
    if before is None and tree == LOCKS and installs == POSIX and "locks" in said:
        recorded = pathlib_read(pipeline.workspace, "yt-dlp-build.txt")
        packages = [line for line in recorded.splitlines() if line.startswith("package: ")]
        assert packages == [f"package: {pin} from {name}, sha256 {hashlib.sha256(pin.encode()).hexdigest()}"
                            for pin, name in [("altgraph==0.17.5", "pyinstaller.txt"), ("mutagen==1.48.1", "linux.txt"),
                                              ("pip==26.2.1", "pip.txt"), ("pyinstaller==6.22.0", "pyinstaller.txt"),
                                              ("yt-dlp-ejs==0.8.0", "linux.txt")]]
        assert ("dependencies: the source's locks pip.txt, pyinstaller.txt, linux.txt, with --require-hashes\n"
                in recorded)
        assert "pyinstaller: 6.22.0\n" in recorded


def pathlib_read(folder, name):
    return Path(folder, name).read_text(encoding="utf-8")
