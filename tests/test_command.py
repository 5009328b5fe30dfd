"""The tq-velmor command: its arguments, the folder check, and a whole run through main()."""

import hashlib
import importlib.metadata
import io
import os
import sys
import textwrap

import pytest

from conftest import describe, run_python
from pipeline_fakes import (LAZY, MISSING_EXE, PACKAGING, PIP, REPRODUCIBLE, SOURCE_PATH, UPX_PATH, child_setup,
                            failure_line, progress_screens, read_log, report)
from tq_velmor_host import command, program

OWN = {"build/old.o": b"", "dist/yt-dlp.exe": b"", "yt-dlp-master/x": b"", "devscripts/x": b"", "yt_dlp/x": b"",
       "bundle/x": b"", "source.zip": b"stale", "upx.zip": b"", "upx.exe": b"stale", "yt-dlp.spec": b"",
       "yt-dlp.exe": b"earlier build"}
UNKNOWN = "tq-velmor: unknown argument {}\nusage: tq-velmor [--force]\nSee 'tq-velmor --help'.\n"
REFUSED = ("tq-velmor: not starting: {cwd} holds {names}.\n"
           "The build deletes its own files and folders (see tq-velmor --help) from the folder it\n"
           "works in, so it starts only in an empty folder. Nothing was deleted. Run it in an empty\n"
           "folder, or pass --force to build here anyway.\n")


def sha256_line(words, folder):
    """The line that tells the SHA-256 of the yt-dlp.exe in `folder` ("of" in English, "de" in Spanish)."""
    return f"SHA-256 {words} yt-dlp.exe: {hashlib.sha256((folder / 'yt-dlp.exe').read_bytes()).hexdigest()}\n"


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
    """An empty current folder; tq_velmor.main records that it was called and writes a yt-dlp.exe."""
    monkeypatch.chdir(tmp_path)
    calls = []

    def build():
        calls.append("main")
        with open("yt-dlp.exe", "wb") as exe:
            exe.write(b"new build")

    tqv.main = build
    return tmp_path, calls


HELP, VERSION = "help", "tq-velmor 1.0.0\n"
CLOSE = "\nPulsa Enter para cerrar esta ventana.\n"
# What --help begins and ends with: the command's English, the program's Spanish.
HELP_TEXT = {
    "command": ("usage: tq-velmor [--force]\n\nBuilds yt-dlp.exe in the current folder",
                "options:\n"
                "  --force     build even when the folder holds other files\n"
                "  --version   show the version and exit\n"
                "  -h, --help  show this help and exit\n"),
    "program": ("uso: tq-velmor [--force]\n\nCompila yt-dlp.exe en la carpeta actual",
                "opciones:\n"
                "  --force     compilar aunque la carpeta contenga otros archivos\n"
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
    # A new yt-dlp.exe is told by its SHA-256, before the wait for Enter.
    assert out == (sha256_line("de", folder) if status == 0 else "") + (CLOSE if waits else "")
    assert sys.stdin.read() == ("" if waits else "\n")


OFFLINE = "{%r: OSError('offline')}" % SOURCE_PATH


@pytest.mark.parametrize("files, exe_size, fail, stdin, users, status", [
    (OWN, 1048576, None, "", {}, 0),
    (OWN, 1048576, None, "", {"SOURCE_DATE_EPOCH": "1"}, 0),
    ({"notes.txt": b"mine"}, 1048576, None, "", {}, 2),
    ({"yt-dlp.exe": b"earlier build"}, None, None, "at its end", {}, 1),
    ({"yt-dlp.exe": b"earlier build"}, 1048576, OFFLINE, "closed", {}, 1),
], ids=["built", "built-users-date", "foreign", "no-executable", "failed"])
def test_the_installed_command_runs_the_build_and_its_status_tells_the_outcome(tmp_path, files, exe_size, fail,
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
    code = child_setup(tools, exe_size, fail) + textwrap.dedent(f"""
        import sys
        sys.stdout.reconfigure(encoding="utf-8")
        assert "winreg" not in sys.modules or sys.platform == "win32"
        if {stdin == "closed"}:
            sys.stdin.close()
        from importlib.metadata import EntryPoint
        sys.argv = ["tq-velmor"]
        try:
            EntryPoint("tq-velmor", {entry.value!r}, "console_scripts").load()()
        finally:
            sys.stdout.write(repr((downloads.paths(), sleeps)))
    """)
    # `users`: what the user set of the variables the command otherwise sets for the build.
    env = {name: value for name, value in os.environ.items() if name not in REPRODUCIBLE}
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
        assert result.stdout == (progress_screens(95) + report("1.00", True) + sha256_line("of", work)
                                 + repr(([(UPX_PATH, ["upx.zip"]), (SOURCE_PATH, ["source.zip"])], [5])))
        assert commands == [(["--version"], str(work)), (PIP, str(work)), (LAZY, repo), (PACKAGING, repo)]
        assert listing(work) == ["yt-dlp.exe"] and os.path.getsize(work / "yt-dlp.exe") == 1048576
    if status == 1:  # an earlier build is not this run's
        assert (work / "yt-dlp.exe").read_bytes() == b"earlier build"
