"""Faults: an interrupt in every phase of a build, a workspace that refuses changes, leftovers
that cannot be removed, sub-interpreters, and a failed start-up followed by a good one."""

import io
import os
import shutil
import stat
import subprocess
import sys
import time
import urllib
import urllib.request
import zipfile

import pytest

from conftest import LOAD_FROM_DEFINITION, Proxy
from pipeline_fakes import (MISSING_EXE, PIP, failure_line, fake_interpreter, pipeline, progress_screens,  # noqa: F401
                            report)
from programs import patient_run

SUCCESS = progress_screens(95) + report("1.00", True)
PIP_ERROR = "ERROR: no network\n"


class Once:
    """`real`, except that the first call for which `when(*args, **kwargs)` holds raises KeyboardInterrupt."""

    def __init__(self, real, when=lambda *args, **kwargs: True):
        self.real, self.when, self.fired = real, when, False

    def __call__(self, *args, **kwargs):
        if not self.fired and self.when(*args, **kwargs):
            self.fired = True
            raise KeyboardInterrupt
        return self.real(*args, **kwargs)


class InterruptedStdin(io.StringIO):
    """Standard input whose first read is interrupted."""

    def __init__(self, once):
        super().__init__("\n")
        self.once = once

    def readline(self, *args):
        return self.once(super().readline, *args)


def runs_command(arguments):
    return lambda cmd, **kwargs: cmd[1:] == arguments


# Each sets up one interrupt and returns (the Once, what the console shows before it, and what
# to put back for the next run, or None).

def in_discovery(p, tqv):
    tqv.encontrar_python_real = once = Once(tqv.encontrar_python_real)
    return once, "", None


def in_first_cleanup(p, tqv):
    tqv.cleanup = once = Once(tqv.cleanup)
    return once, "", None


def in_console_clear(p, tqv):
    tqv.os = Proxy(tqv.os, system=(once := Once(tqv.os.system)))
    return once, "", None


def in_setup_upx(p, tqv):
    tqv.setup_upx = once = Once(tqv.setup_upx)
    return once, progress_screens(10), None


def in_source_download(p, tqv):
    once = Once(p.downloads.urlretrieve, when=lambda url, filename: filename == "source.zip")
    tqv.urllib = Proxy(urllib, request=Proxy(urllib.request, urlretrieve=once))
    return once, progress_screens(25), None


def in_extraction(p, tqv):
    once = Once(zipfile.ZipFile.extractall)

    class Archive(zipfile.ZipFile):
        def extractall(self, *args, **kwargs):
            return once(self, *args, **kwargs)

        def __init__(self, *args, **kwargs):
            super().__init__(*args, **kwargs)
            p.archives.append(self)

    p.archives = []
    tqv.zipfile = Proxy(zipfile, ZipFile=Archive)
    return once, progress_screens(25), None


def in_patch(p, tqv):
    tqv.arreglar_ruta_metadatos = once = Once(tqv.arreglar_ruta_metadatos)
    return once, progress_screens(25), None


def in_command(name, arguments, reached):
    def setup(p, tqv):
        tqv.subprocess = Proxy(subprocess, run=(once := Once(patient_run, when=runs_command(arguments))))
        return once, progress_screens(reached), None
    setup.__name__ = f"in_{name}"
    return setup


def in_move(p, tqv):
    tqv.shutil = Proxy(shutil, move=(once := Once(shutil.move)))
    return once, progress_screens(95), None


def in_second_cleanup(p, tqv):
    tqv.cleanup = once = Once(tqv.cleanup, when=lambda: os.path.exists("yt-dlp.exe"))
    return once, progress_screens(95), None


def in_report_pause(p, tqv):
    tqv.time = Proxy(time, sleep=(once := Once(p.sleeps.append)))
    return once, SUCCESS, None


def in_wait_after_missing_executable(p, tqv):
    p.archive(None)
    once = Once(lambda read, *args: read(*args))
    p.monkeypatch.setattr(sys, "stdin", InterruptedStdin(once))
    return once, progress_screens(95) + MISSING_EXE, lambda: p.archive(1048576)


def in_wait_of_failure_screen(p, tqv):
    folder = os.path.dirname(p.python)
    fake_interpreter(folder, p.log, pip_exit=1, pip_stderr=PIP_ERROR)
    once = Once(lambda read, *args: read(*args))
    p.monkeypatch.setattr(sys, "stdin", InterruptedStdin(once))
    return once, progress_screens(45) + failure_line(f"Fallo en: {p.python}\nDetalle: {PIP_ERROR}"), \
        lambda: fake_interpreter(folder, p.log)


PHASES = [in_discovery, in_first_cleanup, in_console_clear, in_setup_upx, in_source_download, in_extraction, in_patch,
          in_command("pip", PIP, 45), in_command("lazy_extractors", ["devscripts/make_lazy_extractors.py"], 60),
          in_command("packaging", ["-m", "bundle.pyinstaller"], 80), in_move, in_second_cleanup, in_report_pause,
          in_wait_after_missing_executable, in_wait_of_failure_screen]


@pytest.mark.parametrize("phase", PHASES, ids=[p.__name__[3:] for p in PHASES])
def test_interrupt_in_any_phase_leaves_main_and_the_next_run_builds(pipeline, tqv, phase):
    once, shown, put_back = phase(pipeline, tqv)

    with pytest.raises(KeyboardInterrupt) as raised:
        tqv.main()

    assert once.fired
    assert pipeline.output() == shown
    # Only the failure screen's wait was handling an error when the interrupt came.
    handled = raised.value.__context__
    assert (type(handled) is Exception) if phase is in_wait_of_failure_screen else handled is None
    del raised
    assert sys.exc_info() == (None, None, None)
    if phase is in_extraction:
        # The source archive is closed on the way out, not left to the garbage collector.
        assert [(z.filename, z.fp) for z in pipeline.archives] == [("upx.zip", None), ("source.zip", None)]

    if put_back:
        put_back()
    pipeline.stdin("\n")
    assert pipeline.run() == (None, SUCCESS)
    assert pipeline.listing() == ["yt-dlp.exe"]


def test_interrupted_upx_download_is_taken_as_no_upx_and_the_build_goes_on(pipeline, tqv):
    # Recorded: UPX provisioning turns every error into False, an interrupt included.
    once = Once(pipeline.downloads.urlretrieve, when=lambda url, filename: filename == "upx.zip")
    tqv.urllib = Proxy(urllib, request=Proxy(urllib.request, urlretrieve=once))
    assert pipeline.run() == (None, SUCCESS) and once.fired
    packaging_path = pipeline.commands()[-1][2]
    assert packaging_path == pipeline.path  # the workspace was not put first: no UPX
    assert pipeline.listing() == ["yt-dlp.exe"]


def test_interrupted_validation_refuses_the_candidate(pipeline, tqv):
    # Recorded: the validation run sits in a catch-all, so the interrupt only refuses the host
    # interpreter and the search goes on (to nothing here).
    once = Once(patient_run, when=runs_command(["--version"]))
    tqv.subprocess = Proxy(subprocess, run=once)
    tqv.shutil = Proxy(shutil, which=lambda name: None)
    pipeline.stdin("\n")
    assert pipeline.run() == (None, failure_line("No se encontró Python instalado. Instálalo desde python.org"))
    assert once.fired


# --- A workspace that refuses changes ------------------------------------------------------------

@pytest.fixture
def lock():
    """lock(path): make `path` unchangeable, as far as this user can be stopped; undone after the test."""
    locked = []

    def make(path):
        if os.name == "nt":
            # A read-only file can be neither removed nor written; a folder cannot be locked that
            # way (its read-only flag does not protect what is inside, only access lists would).
            if os.path.isdir(path):
                pytest.skip("Windows: a folder's contents cannot be protected without access lists")
            os.chmod(path, stat.S_IREAD)
            locked.append(("chmod", path))
            return
        if os.geteuid() != 0:
            if not os.path.isdir(path):
                pytest.skip("a single file cannot be made undeletable without root")
            os.chmod(path, 0o555)
            locked.append(("chmod", path))
            return
        if shutil.which("chattr") is None:
            pytest.skip("root ignores permissions and chattr is not installed")
        if subprocess.run(["chattr", "+i", path], capture_output=True).returncode != 0:
            pytest.skip("root ignores permissions and this file system has no immutable flag")
        locked.append(("chattr", path))

    yield make
    for how, path in reversed(locked):
        if not os.path.lexists(path):  # Windows moves a read-only file
            continue
        if how == "chmod":
            os.chmod(path, 0o755 | stat.S_IWRITE)
        else:
            subprocess.run(["chattr", "-i", path], check=True)


def refusal(action, name):
    """The text of the error `action` raises in the locked workspace, for the relative `name`."""
    try:
        action(name)
    except OSError as refused:
        return str(refused)
    if os.name == "nt":
        pytest.skip("Wine: a process run by root may write a read-only file, which Windows refuses")
    pytest.fail(f"{action.__name__}({name!r}) was not refused")


def write(name):
    with open(name, "ab"):
        pass


@pytest.mark.parametrize("leftovers", [{}, {"build/old.o": b"", "upx.exe": b"stale", "yt-dlp.exe": b"old"}],
                         ids=["empty", "with leftovers"])
def test_read_only_workspace_ends_in_the_failure_screen(pipeline, lock, leftovers):
    pipeline.seed(leftovers)
    lock(pipeline.workspace)
    text = refusal(write, "source.zip")
    pipeline.stdin("\n")

    result, out = pipeline.run()

    # No UPX can be downloaded (a stale "upx.exe" that cannot be removed is taken as it is), and
    # the source archive cannot be saved. Only what lies inside the folders could be removed.
    assert out == progress_screens(25) + failure_line(text)
    assert pipeline.listing() == sorted({name.split("/")[0] for name in leftovers})
    assert all(os.listdir(name) == [] for name in pipeline.listing() if os.path.isdir(name))
    assert {name: open(name, "rb").read() for name in pipeline.listing() if os.path.isfile(name)} == {
        name: data for name, data in leftovers.items() if "/" not in name}


@pytest.mark.parametrize("name, reached, ending, left", [
    # The rest of "build" goes, the locked folder stays; the build goes on.
    ("build/locked", 95, report("1.00", True), ["build", "yt-dlp.exe"]),
    # Recorded: a stale "upx.exe" that cannot be removed is taken as the ready packer.
    ("upx.exe", 95, report("1.00", True), ["upx.exe", "yt-dlp.exe"]),
    ("source.zip", 25, "write", ["source.zip", "upx.exe"]),
    # The previous build cannot be replaced: it stays, and the new one in the tree.
    ("yt-dlp.exe", 95, "set aside", ["source.zip", "upx.exe", "yt-dlp-master", "yt-dlp.exe"]),
])
def test_leftover_that_cannot_be_removed(pipeline, lock, name, reached, ending, left):
    if name == "yt-dlp.exe" and os.name == "nt":
        pytest.skip("Windows moves a read-only file aside as any other: nothing stops the new one")
    pipeline.seed({"build/other.o": b"", "dist/x": b"", name + ("/file.o" if name == "build/locked" else ""): b"old"})
    lock(name)
    new = os.path.join(pipeline.workspace, "yt-dlp-master", "dist", "yt-dlp.exe")
    if ending == "write":
        ending = failure_line(refusal(write, name))
    pipeline.stdin("\n")

    result, out = pipeline.run()

    if ending == "set aside":  # asked once the tree the earlier one would go to is there
        ending = failure_line(refusal(lambda name: os.replace(name, new + ".anterior"), name)
                              + f"\nEl yt-dlp.exe nuevo se quedó en {new}; el anterior sigue en la carpeta.")
    assert out == progress_screens(reached) + ending
    assert pipeline.listing() == left
    if name == "build/locked":
        assert os.listdir("build") == ["locked"] and os.listdir("build/locked") == ["file.o"]
    if name == "upx.exe":
        assert pipeline.commands()[-1][2].startswith(pipeline.workspace + os.pathsep)
    if name == "yt-dlp.exe":
        assert open(name, "rb").read() == b"old" and os.path.isfile(new)


@pytest.mark.parametrize("earlier, put_back, says", [
    (b"earlier build", True, "; el anterior sigue en la carpeta."),
    (b"earlier build", False, "; el anterior, en {new}.anterior."),
    (None, True, "."),
], ids=["put-back", "put-back-fails", "no-earlier"])
def test_a_move_that_fails_keeps_the_earlier_executable_and_says_where_the_new_one_is(pipeline, tqv, earlier,
                                                                                       put_back, says):
    # A virus scanner holds the fresh file: the move copies part of it, then fails.
    def held(src, dst):
        with open(dst, "wb") as partial:
            partial.write(b"MZ half")
        raise PermissionError(13, "The process cannot access the file", src)

    def replace(src, dst):
        if not put_back and dst == "yt-dlp.exe":
            raise PermissionError(13, "Access is denied", src)
        os.replace(src, dst)

    tqv.shutil = Proxy(shutil, move=held)
    tqv.os = Proxy(tqv.os, replace=replace)
    pipeline.seed({} if earlier is None else {"yt-dlp.exe": earlier})
    pipeline.stdin("\n")
    new = os.path.join(pipeline.workspace, "yt-dlp-master", "dist", "yt-dlp.exe")

    result, out = pipeline.run()

    error = f"[Errno 13] The process cannot access the file: {new!r}"
    assert out == progress_screens(95) + failure_line(f"{error}\nEl yt-dlp.exe nuevo se quedó en {new}"
                                                      + says.format(new=new))
    assert os.path.getsize(new) == 1048576  # the new one, whole, where the line says
    if put_back:
        assert pipeline.listing() == ["source.zip", "upx.exe", "yt-dlp-master", *(["yt-dlp.exe"] if earlier else [])]
        assert earlier is None or open("yt-dlp.exe", "rb").read() == earlier
    else:
        assert open(new + ".anterior", "rb").read() == earlier


# --- Sub-interpreters and start-up -------------------------------------------------------------

SUB = """
import _xxsubinterpreters as interpreters, os, sys
def in_sub(code):
    sub = interpreters.create()
    try:
        interpreters.run_string(sub, f"import sys; sys.path[:0] = {sys.path[:2]!r}\\n"
                                     "import tq_velmor_host; tq_velmor_host.install()\\n" + code)
        return "ok"
    except interpreters.RunFailedError as e:
        return str(e)
    finally:
        interpreters.destroy(sub)
"""


def test_refused_sub_interpreters_leave_the_module_working(child, tmp_path):
    result = child(SUB + """
import tq_velmor
first = in_sub("import tq_velmor")
second = in_sub("import tq_velmor")
print(first == second, first.split(":")[0])
os.makedirs("build/x")
print(tq_velmor.cleanup(), os.listdir(), tq_velmor.validar_python(None), tq_velmor.get_path("a") == os.path.abspath("a"))
""", cwd=tmp_path)
    assert result.stdout == "True <class 'ImportError'>\nNone [] False True\n"


def test_module_first_loaded_by_a_sub_interpreter_that_is_gone_refuses_the_main_one(child, tmp_path):
    # The module belongs to the first interpreter for the life of the process, even after that
    # interpreter is destroyed; nothing of it is touched again.
    result = child(SUB + """
print(in_sub("import os, tq_velmor\\nos.makedirs('dist/x')\\ntq_velmor.cleanup()\\nassert os.listdir() == []"))
for attempt in range(2):
    try:
        import tq_velmor
    except ImportError as e:
        print(e)
print("tq_velmor" in sys.modules)
""", cwd=tmp_path)
    refused = "Interpreter change detected - this module can only be loaded into one interpreter per process.\n"
    assert result.stdout == "ok\n" + refused * 2 + "False\n"


FAILED_STARTS = {
    "print missing": ("import builtins\nsaved = builtins.print\ndel builtins.print",
                      "builtins.print = saved", "NameError: name 'print' is not defined"),
    "import refused": ("sys.modules['glob'] = None", "del sys.modules['glob']",
                       "ModuleNotFoundError: import of glob halted; None in sys.modules"),
    "interrupt in an import": (
        "class Finder:\n"
        "    def find_spec(self, name, path=None, target=None):\n"
        "        if name == 'zipfile': raise KeyboardInterrupt\n"
        "sys.modules.pop('zipfile', None)\nsys.meta_path.insert(0, Finder())",
        "del sys.meta_path[0]", "KeyboardInterrupt: "),
}


@pytest.mark.parametrize("break_it, mend_it, error", list(FAILED_STARTS.values()), ids=list(FAILED_STARTS))
def test_failed_start_up_then_a_good_one(child, break_it, mend_it, error):
    result = child(f"""
import sys, tq_velmor_host
{break_it}
try:
    import tq_velmor
except BaseException as e:
    failure = f"{{type(e).__name__}}: {{e}}"
{mend_it}
assert sys.exc_info() == (None, None, None) and "tq_velmor" not in sys.modules
import tq_velmor
names = [n for n in vars(tq_velmor) if not n.startswith("__")]
print(failure, len(names), console_titles(), tq_velmor.get_path("x") is not None)
""")
    assert result.stdout == f"{error} 20 ['Zelk Builder - Official Final Fix'] True\n"


def test_interrupted_main_under_main_fails_start_up_then_a_good_import(child, tmp_path):
    # No interpreter to find: main waits for Enter and the wait is interrupted.
    result = child(LOAD_FROM_DEFINITION + """
import io, os, sys
class Stdin(io.StringIO):
    def readline(self, *args):
        raise KeyboardInterrupt
sys.stdin, sys.frozen, os.environ["PATH"] = Stdin(), True, ""
try:
    load_from_definition("__main__")
except KeyboardInterrupt as e:
    print("interrupted", type(e.__context__).__name__, "tq_velmor" in sys.modules)
sys.frozen = False
import tq_velmor
print(tq_velmor.__name__, tq_velmor.main.__module__)
""", cwd=tmp_path)
    assert result.stdout.endswith("interrupted Exception False\ntq_velmor tq_velmor\n")
