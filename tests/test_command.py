"""The tq-velmor command: its arguments, the folder check, and a whole run through main()."""

import hashlib
import importlib.metadata
import io
import os
import subprocess
import sys
import textwrap

import pytest

from conftest import describe, run_python
from fakes import tiny_pe
from pipeline_fakes import (LAZY, MISSING_EXE, PACKAGING, PIP, REPRODUCIBLE, SOURCE_PATH, UPX_PATH, child_setup,
                            failure_line, progress_screens, read_log, report, under)
from programs import WINDOWS
from programs import program as fake_program
from tq_velmor_host import command, interpreter_dll, program, starts

OWN = {"build/old.o": b"", "dist/yt-dlp.exe": b"", "yt-dlp-master/x": b"", "devscripts/x": b"", "yt_dlp/x": b"",
       "bundle/x": b"", "source.zip": b"stale", "upx.zip": b"", "upx.exe": b"stale", "yt-dlp.spec": b"",
       "yt-dlp.exe": b"earlier build"}
UNKNOWN = "tq-velmor: unknown argument {}\nusage: tq-velmor [--force] [--no-upx]\nSee 'tq-velmor --help'.\n"
REPEATED = "tq-velmor: argument '--no-upx' given twice\nusage: tq-velmor [--force] [--no-upx]\nSee 'tq-velmor --help'.\n"
REFUSED = ("tq-velmor: not starting: {cwd} holds {names}.\n"
           "The build deletes its own files and folders (see tq-velmor --help) from the folder it\n"
           "works in, so it starts only in an empty folder. Nothing was deleted. Run it in an empty\n"
           "folder, or pass --force to build here anyway.\n")


# What the fake yt-dlp.exe does when started with --version.
STARTS = 'print("2026.08.19")'
FAILS = 'import sys; sys.stderr.write("[PYI-252:ERROR] Failed to load Python DLL\\n"); sys.exit(1)'
HANGS = "import time; time.sleep(600)"
SILENT = "pass"


def sha256_line(words, folder):
    """The line that tells the SHA-256 of the yt-dlp.exe in `folder` ("of" in English, "de" in Spanish)."""
    return f"SHA-256 {words} yt-dlp.exe: {hashlib.sha256((folder / 'yt-dlp.exe').read_bytes()).hexdigest()}\n"


def started_lines(words, folder, version="2026.08.19"):
    """The SHA-256 line and the version line of a new yt-dlp.exe that starts."""
    return sha256_line(words, folder) + ("Version of" if words == "of" else "Versión de") + f" yt-dlp.exe: {version}\n"


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


@pytest.fixture
def workspace(tqv, tmp_path, monkeypatch):
    """An empty current folder; tq_velmor.main records that it was called and writes a yt-dlp.exe
    that starts."""
    monkeypatch.chdir(tmp_path)
    calls = []

    def build():
        calls.append("main")
        fake_program("yt-dlp.exe", STARTS)

    tqv.main = build
    return tmp_path, calls


HELP, VERSION = "help", f"tq-velmor {importlib.metadata.version('tq-velmor')}\n"
CLOSE = "\nPulsa Enter para cerrar esta ventana.\n"
# What --help begins and ends with: the command's English, the program's Spanish.
HELP_TEXT = {
    "command": ("usage: tq-velmor [--force] [--no-upx]\n\nBuilds yt-dlp.exe in the current folder",
                "options:\n"
                "  --force     build even when the folder holds other files\n"
                "  --no-upx    build without UPX (the same as TQ_VELMOR_NO_UPX=1): a larger yt-dlp.exe,\n"
                "              which antivirus programs flag less often\n"
                "  --version   show the version and exit\n"
                "  -h, --help  show this help and exit\n"),
    "program": ("uso: tq-velmor [--force] [--no-upx]\n\nCompila yt-dlp.exe en la carpeta actual",
                "opciones:\n"
                "  --force     compilar aunque la carpeta contenga otros archivos\n"
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
    (["--no-upx", "--force", "--no-upx"], 2, "", REPEATED, "command"),
    # double-clicked: the program keeps its window until Enter
    (["--help"], 0, HELP, "", "program"),
    (["--version"], 0, VERSION + CLOSE, "", "program"),
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
        assert shown == out
    if by == "program":
        assert sys.stdin.read() == ""  # the Enter was read


@pytest.mark.parametrize("files, argv, refused", [
    ({}, [], None),
    (OWN, [], None),
    ({"notes.txt": b"mine"}, ["--force"], None),
    ({**OWN, "notes.txt": b"mine"}, [], "notes.txt"),
    ({"src/main.c": b"", "Build.log": b""}, [], "Build.log, src"),
    ({f"file{i:02}.txt": b"" for i in range(20)}, [], ", ".join(f"file{i:02}.txt" for i in range(8)) + " and 12 more"),
], ids=["empty", "leftovers", "forced", "foreign", "near-names", "crowded"])
def test_the_build_starts_only_in_a_folder_of_its_own_names(workspace, tqv, monkeypatch, capsys, files, argv,
                                                            refused):
    folder, calls = workspace
    seed(folder, files)
    before = listing(folder)
    # The user set SOURCE_DATE_EPOCH, not PYTHONHASHSEED: the build sees the default beside the
    # user's value, and afterwards the environment is as it was.
    monkeypatch.delenv("PYTHONHASHSEED", raising=False)
    monkeypatch.setenv("SOURCE_DATE_EPOCH", "1")
    seen, build = [], tqv.main
    tqv.main = lambda: seen.append({name: os.environ.get(name) for name in REPRODUCIBLE}) or build()
    assert command.main(argv) == (2 if refused else 0)
    assert calls == ([] if refused else ["main"])
    assert seen == ([] if refused else [{"PYTHONHASHSEED": "0", "SOURCE_DATE_EPOCH": "1"}])
    assert {name: os.environ.get(name) for name in REPRODUCIBLE} == {"PYTHONHASHSEED": None, "SOURCE_DATE_EPOCH": "1"}
    if refused:
        assert capsys.readouterr().err == REFUSED.format(cwd=os.getcwd(), names=refused)
        assert listing(folder) == before


def test_ctrl_c_ends_the_command_quietly_with_the_interrupt_status(workspace, tqv, capsys):
    def interrupted():
        raise KeyboardInterrupt

    tqv.main = interrupted
    assert command.main([]) == 130 and capsys.readouterr() == ("", "\n")


@pytest.mark.skipif(os.name != "nt", reason="Windows folder names ignore letter case")
def test_names_in_other_letter_case_are_the_builds_own_on_windows(workspace):
    folder, calls = workspace
    seed(folder, {"Build/x": b"", "DIST/x": b"", "Yt-Dlp.exe": b""})
    assert command.main([]) == 0 and calls == ["main"]


PROGRAM_REFUSED = ("tq-velmor: no se inicia: {cwd} contiene {names}.\n"
                   "La compilación borra sus propios archivos y carpetas (véase tq-velmor --help) de la carpeta\n"
                   "en la que trabaja, así que solo se inicia en una carpeta vacía. No se ha borrado nada.\n"
                   "Pon el programa en una carpeta vacía y ábrelo allí, o pasa --force para compilar aquí\n"
                   "de todos modos.\n")


@pytest.mark.parametrize("frozen, files, builds, console, status, waits", [
    (True, {"tq-velmor (1).exe": b"MZ"}, True, True, 0, True),
    (True, {"tq-velmor (1).exe": b"MZ"}, True, False, 0, False),
    (True, {"tq-velmor (1).exe": b"MZ"}, False, True, 1, False),
    (True, {"tq-velmor (1).exe": b"MZ", "notes.txt": b""}, True, True, 2, True),
    (False, {"tq-velmor (1).exe": b"MZ"}, True, False, 2, False),
], ids=["double-clicked", "from-a-shell", "failed", "foreign", "not-frozen"])
def test_the_program_skips_its_own_file_and_keeps_its_window_until_read(workspace, tqv, monkeypatch, capsys,
                                                                         frozen, files, builds, console, status,
                                                                         waits):
    folder, calls = workspace
    seed(folder, files)
    if not builds:
        tqv.main = lambda: calls.append("main")
    monkeypatch.setattr(sys, "frozen", frozen, raising=False)
    monkeypatch.setattr(sys, "executable", str(folder / "tq-velmor (1).exe"))
    monkeypatch.setattr(program, "owns_console", lambda: console)
    monkeypatch.setattr(sys, "stdin", io.StringIO("\n"))

    assert program.main([]) == status
    out, err = capsys.readouterr()
    assert calls == ([] if status == 2 else ["main"])
    foreign = sorted(set(files) - {"tq-velmor (1).exe"} if frozen else files)
    assert err == (PROGRAM_REFUSED.format(cwd=os.getcwd(), names=", ".join(foreign)) if status == 2 else "")
    # A new yt-dlp.exe is told by its SHA-256 and version, before the wait for Enter.
    assert out == (started_lines("de", folder) if status == 0 else "") + (CLOSE if waits else "")
    assert sys.stdin.read() == ("" if waits else "\n")


BLOCKED = "blocked"  # a yt-dlp.exe that cannot be started at all
TLS = {9: (0x1000, 0x28)}  # python313.dll's TLS directory
SCREEN = "[screen]\n"
ASKED, TLS_NOTE = under("Without UPX, as asked."), under(
    "Without UPX: python313.dll keeps thread-local storage (TLS), which UPX 4.2.2 breaks.")
REBUILDING = under("Building again, without UPX: the yt-dlp.exe packed with UPX does not start.")
SHA, VERSION = "SHA-256 of yt-dlp.exe: {sha}\n", "Version of yt-dlp.exe: 2026.08.19\n"
PYI = "it ended with status 1: [PYI-252:ERROR] Failed to load Python DLL"
NOT_STARTING = "yt-dlp.exe does not start: {}\n"


@pytest.mark.parametrize("dll, argv, setting, upx, made, status, builds, shown", [
    (None, [], None, True, (STARTS, FAILS), 0, ["upx"], SCREEN + SHA + VERSION),
    (("python313.dll", TLS), [], None, True, (FAILS, STARTS), 0, ["without"], SCREEN + TLS_NOTE + SHA + VERSION),
    (("python311.dll", {}), [], None, True, (FAILS, STARTS), 0, ["upx", "without"],
     SCREEN + SCREEN + REBUILDING + f"yt-dlp.exe was built without UPX: the one packed with UPX did not start ({PYI}).\n"
     + SHA + VERSION),
    (None, ["--no-upx"], None, True, (FAILS, STARTS), 0, ["without"], SCREEN + ASKED + SHA + VERSION),
    (None, [], "1", True, (FAILS, STARTS), 0, ["without"], SCREEN + ASKED + SHA + VERSION),
    (None, [], "0", True, (STARTS, FAILS), 0, ["upx"], SCREEN + SHA + VERSION),
    (None, [], "yes", True, (STARTS, STARTS), 2, [], ""),
    (None, [], None, False, (None, FAILS), 1, ["none"], SCREEN + SHA + NOT_STARTING.format(PYI)),
    (None, [], None, False, (None, HANGS), 1, ["none"],
     SCREEN + SHA + NOT_STARTING.format("it did not answer within 3 s and was stopped")),
    (None, [], None, False, (None, BLOCKED), 1, ["none"],
     SCREEN + SHA + NOT_STARTING.format("it could not be started ({error})")),
    (None, [], None, True, (FAILS, None), 1, ["upx", "without"], SCREEN + SCREEN + REBUILDING + NOT_STARTING.format(PYI)
     + "The build without UPX left no new yt-dlp.exe: the one in the folder is the one packed with UPX, which does "
       "not start.\n"),
    (None, [], None, True, (FAILS, "import sys; sys.exit(3)"), 1, ["upx", "without"],
     SCREEN + SCREEN + REBUILDING + SHA + NOT_STARTING.format("it ended with status 3 and printed nothing")),
    (None, [], None, True, (SILENT, STARTS), 0, ["upx", "without"],
     SCREEN + SCREEN + REBUILDING + "yt-dlp.exe was built without UPX: the one packed with UPX did not start (it "
                                    "printed no version).\n" + SHA + VERSION),
], ids=["packed-starts", "tls-dll", "rebuilt", "asked", "asked-by-setting", "setting-0", "bad-setting", "no-upx-fails",
        "hangs", "blocked", "rebuild-left-nothing", "rebuilt-fails-too", "silent-rebuilt"])
def test_the_new_executable_must_start_and_is_built_again_without_upx_when_upx_broke_it(
        workspace, tqv, tmp_path_factory, monkeypatch, capsys, dll, argv, setting, upx, made, status, builds, shown):
    folder, _ = workspace
    interpreter = tmp_path_factory.mktemp("Python")
    if dll:
        (interpreter / dll[0]).write_bytes(tiny_pe(dll[1]))
    monkeypatch.delenv(command.NO_UPX, raising=False)
    if setting is not None:
        monkeypatch.setenv(command.NO_UPX, setting)
    if HANGS in made:
        monkeypatch.setattr(starts, "LIMIT", 3)
    setups, built = [], []

    def build():
        tqv.encontrar_python_real()
        tqv.tq_refresh("Cargando motor UPX...", 10)
        asked = len(setups)
        used = bool(tqv.setup_upx())
        # "upx": UPX set up and provided; "none": set up, none provided; "without": not set up
        built.append("upx" if used else "none" if len(setups) > asked else "without")
        does = made[0] if used else made[1]
        if does is not None:
            fake_program(folder / "yt-dlp.exe", STARTS if does is BLOCKED else does, executable=does is not BLOCKED)

    tqv.main = build
    tqv.encontrar_python_real = lambda: str(interpreter / "python.exe")
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
    if made == (FAILS, None):  # nothing is deleted: the one that does not start stays
        assert "sys.exit(1)" in (folder / ("yt-dlp.exe.py" if WINDOWS else "yt-dlp.exe")).read_text()


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
    assert interpreter_dll.tls_dll(str(tmp_path / python)) == found


OFFLINE = "{%r: OSError('offline')}" % SOURCE_PATH


@pytest.mark.parametrize("files, argv, exe_size, fail, stdin, users, status", [
    (OWN, [], 1048576, None, "", {}, 0),
    (OWN, ["--no-upx"], 1048576, None, "", {}, 0),
    (OWN, [], 1048576, None, "", {"SOURCE_DATE_EPOCH": "1"}, 0),
    ({"notes.txt": b"mine"}, [], 1048576, None, "", {}, 2),
    ({"yt-dlp.exe": b"earlier build"}, [], None, None, "at its end", {}, 1),
    ({"yt-dlp.exe": b"earlier build"}, [], 1048576, OFFLINE, "closed", {}, 1),
], ids=["built", "built-without-upx", "built-users-date", "foreign", "no-executable", "failed"])
def test_the_installed_command_runs_the_build_and_its_status_tells_the_outcome(tmp_path, files, argv, exe_size, fail,
                                                                                stdin, users, status):
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
    code = child_setup(tools, exe_size, fail, program=STARTS) + textwrap.dedent(f"""
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
    logged = [e for e in read_log(os.path.join(str(tools), "log.jsonl")) if "args" in e]
    commands = [(e["args"], e["cwd"]) for e in logged]
    # Every command of the build gets the defaults, or what the user set instead.
    assert [e["env"] for e in logged] == [{**REPRODUCIBLE, **users}] * len(logged)
    repo = os.path.join(str(work), "yt-dlp-master")
    both = repr(([(UPX_PATH, ["upx.zip"]), (SOURCE_PATH, ["source.zip"])], []))
    if status == 2:
        assert result.stdout == repr(([], [])) and commands == []
        assert result.stderr == REFUSED.format(cwd=str(work), names="notes.txt")
        assert listing(work) == before
        return
    assert result.stderr == ""
    if exe_size is None:
        assert result.stdout == progress_screens(95) + MISSING_EXE + both
        assert commands[-1] == (PACKAGING, repo) and "yt-dlp-master" in listing(work)
    elif fail:
        assert result.stdout == progress_screens(25) + failure_line("offline") + both
    else:
        # The module's own main() steered through its namespace: without UPX, nothing of UPX is
        # fetched, and the reason stands under every screen.
        note = "Without UPX, as asked." if argv else None
        downloads = [(SOURCE_PATH, ["source.zip"])] if argv else [(UPX_PATH, ["upx.zip"]), (SOURCE_PATH, ["source.zip"])]
        assert result.stdout == (progress_screens(95, note) + report("1.00", True, note=note)
                                 + started_lines("of", work) + repr((downloads, [5])))
        assert commands == [(["--version"], str(work)), (PIP, str(work)), (LAZY, repo), (PACKAGING, repo)]
        assert listing(work) == ["yt-dlp.exe", *(["yt-dlp.exe.py"] if WINDOWS else [])]
        assert os.path.getsize(work / "yt-dlp.exe") == 1048576
    if status == 1:  # an earlier build is not this run's
        assert (work / "yt-dlp.exe").read_bytes() == b"earlier build"
