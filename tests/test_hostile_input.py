"""Hostile input: archives, paths, child output and values of types nobody expects.

Each case records what the module does with it today, and checks that nothing lands outside
the workspace, that the outcome is clear (an exception, a False or a failure screen) and that
the interpreter stays usable.
"""

import locale
import os
import subprocess
import sys
import tracemalloc
import zipfile
from decimal import Decimal
from fractions import Fraction

import pytest

from conftest import Proxy
from fakes import Download, make_zip
from programs import program
from pipeline_fakes import (MISSING_EXE, PACKAGING_SCRIPT, UPX_DIGEST, Pipeline, failure_line, fake_interpreter,
                            progress_screens, report, sha256, source_archive, upx_archive)
from test_screen import screen

MB = 1048576
OLD_EXE = b"earlier build"


def tree(root, skip=()):
    """Every entry below `root` (links not followed) with its kind and content, `skip` left out."""
    found = {}
    for folder, dirs, files in os.walk(root):
        dirs[:] = [d for d in dirs if os.path.join(folder, d) not in skip]
        for path in (os.path.join(folder, name) for name in dirs + files):
            if path in skip:
                continue
            if os.path.islink(path):
                found[path] = ("link", os.readlink(path))
            elif os.path.isdir(path):
                found[path] = ("folder",)
            else:
                with open(path, "rb") as f:
                    found[path] = ("file", f.read())
    return found


def contained(workspace):
    """Nothing in the workspace is a link or resolves outside it."""
    real = os.path.realpath(workspace)
    for folder, dirs, files in os.walk(workspace):
        for path in (os.path.join(folder, name) for name in dirs + files):
            assert not os.path.islink(path), path
            assert os.path.realpath(path).startswith(real + os.sep), path


@pytest.fixture
def pipeline_in(tqv, tmp_path, monkeypatch, capsys, registry):
    """A Pipeline whose folders lie in `tmp_path/<base>`; `outside()` is the tree beside the workspace.

    A "sentinel" folder sits at the top, three levels above the workspace.
    """
    (tmp_path / "sentinel").mkdir()
    (tmp_path / "sentinel/keep.txt").write_text("keep")

    def make(base=os.path.join("a", "b")):
        folder = tmp_path / base
        folder.mkdir(parents=True)
        p = Pipeline(tqv, folder, monkeypatch, capsys)
        p.outside = lambda: tree(str(tmp_path), skip={p.workspace, p.log})
        return p

    return make


@pytest.fixture
def upx_workspace(tmp_path, monkeypatch):
    """The workspace for setup_upx, with a sentinel folder beside it; returns (workspace, outside())."""
    for name in ("work", "sentinel", "served"):
        (tmp_path / name).mkdir()
    (tmp_path / "sentinel/keep.txt").write_text("keep")
    monkeypatch.chdir(tmp_path / "work")
    return tmp_path / "work", lambda: tree(str(tmp_path), skip={str(tmp_path / "work")})


def symlink_member(name, target):
    info = zipfile.ZipInfo(name)
    info.create_system = 3  # Unix: the mode bits in external_attr mean something
    info.external_attr = 0o120777 << 16
    return info, target


# --- Source archives -----------------------------------------------------------------------------

def climbing_members(tmp_path):
    absolute = str(tmp_path / "sentinel" / "absolute")
    names = ["../escaped", "../../escaped", "../../../sentinel/escaped", "yt-dlp-master/../../../sentinel/up",
             absolute, "C:/drive", "C:\\drive", "C:..\\..\\drive", "\\\\server\\share\\unc",
             "..\\..\\..\\sentinel\\back", "yt-dlp-master/nul\0../../../sentinel/after-nul"]
    return [(name, b"hostile") for name in names] + [symlink_member("yt-dlp-master/link", "../../../sentinel")]


def test_source_archive_members_that_climb_out_land_inside_the_workspace(pipeline_in, tmp_path):
    # zipfile's extractall drops "..", leading separators and (on Windows) drive letters; what is
    # left lands in the workspace, and names the cleanup lists do not hold stay there.
    p = pipeline_in()
    with zipfile.ZipFile(p.source, "a") as z:
        for name, data in climbing_members(tmp_path):
            z.writestr(name, data)
    before = p.outside()

    result, out = p.run()

    assert result is None and out == progress_screens(95) + report("1.00", True)
    assert p.outside() == before
    contained(p.workspace)
    assert {"yt-dlp.exe", "escaped"} <= set(p.listing())  # "../escaped" became "escaped"
    with open("escaped", "rb") as f:
        assert f.read() == b"hostile"


def test_source_archive_member_named_like_the_result_replaces_the_previous_build(pipeline_in):
    # Recorded, left as it is: the archive is extracted whole into the workspace, so a member
    # "yt-dlp.exe" replaces an earlier build even when this one fails. Its scripts run with the
    # user's rights anyway; the archive is as trusted as the code it carries.
    p = pipeline_in()
    p.seed({"yt-dlp.exe": OLD_EXE})
    with zipfile.ZipFile(p.source, "a") as z:
        z.writestr("yt-dlp.exe", b"from the archive")
    fake_interpreter(os.path.dirname(p.python), p.log, pip_exit=1, pip_stderr="no\n")
    p.stdin("\n")

    result, out = p.run()

    assert out == progress_screens(45) + failure_line(f"Fallo en: {p.python}\nDetalle: no\n")
    with open("yt-dlp.exe", "rb") as f:
        assert f.read() == b"from the archive"


# --- Damaged archives ----------------------------------------------------------------------------

def corrupt_first_member(data):
    # Stored members: their text sits in the archive as is; one flipped byte fails the CRC.
    data = bytearray(data)
    data[data.index(b"import") + 1] ^= 1
    return bytes(data)


DAMAGE = {
    "empty": lambda data: b"",
    "not a zip": lambda data: b"<html>429 Too Many Requests</html>",
    "first half": lambda data: data[:len(data) // 2],
    "last byte missing": lambda data: data[:-1],
    "directory cut off": lambda data: data[:data.rindex(b"PK\x01\x02")],
}


def damage(path, how):
    with open(path, "rb") as f:
        data = f.read()
    with open(path, "wb") as f:
        f.write(how(data))


def zip_error(path):
    """The text zipfile gives for the archive at `path`, opened and read member by member."""
    try:
        with zipfile.ZipFile(path) as z:
            for name in z.namelist():
                z.read(name)
    except zipfile.BadZipFile as e:
        return str(e)
    raise AssertionError("the archive is readable")


@pytest.mark.parametrize("how", list(DAMAGE.values()), ids=list(DAMAGE))
def test_damaged_upx_archive_is_no_upx(tqv, upx_workspace, monkeypatch, how):
    workspace, outside = upx_workspace
    served = upx_archive(str(workspace.parent / "served/upx.zip"))
    damage(served, how)
    monkeypatch.setenv(UPX_DIGEST, sha256(served))  # the damage is the archive's own, not a wrong download
    Download(tqv, served)
    before = outside()
    assert tqv.setup_upx() is False
    assert os.listdir() == ["upx.zip"] and outside() == before


@pytest.mark.parametrize("how", [*DAMAGE.values(), corrupt_first_member], ids=[*DAMAGE, "corrupt member"])
def test_damaged_source_archive_ends_in_the_failure_screen(pipeline_in, how):
    p = pipeline_in()
    damage(p.source, how)
    expected = zip_error(p.source)
    p.stdin("\n")
    before = p.outside()

    result, out = p.run()

    assert result is None and out == progress_screens(25) + failure_line(expected)
    assert p.outside() == before
    # A member that fails its CRC stops the extraction part way: what came before it stays.
    extracted = ["yt-dlp-master"] if how is corrupt_first_member else []
    assert p.listing() == sorted(["source.zip", "upx.exe", *extracted])


# --- UPX archives --------------------------------------------------------------------------------

@pytest.mark.parametrize("name", [
    "../upx.exe", "../../sentinel/upx.exe", "ABSOLUTE/sentinel/upx.exe", "C:\\Windows\\upx.exe", "..\\..\\upx.exe",
    "upx-4.2.2-win64/../../../upx.exe",
])
def test_upx_member_name_that_climbs_out_still_lands_as_upx_exe(tqv, upx_workspace, monkeypatch, name):
    workspace, outside = upx_workspace
    name = name.replace("ABSOLUTE", str(workspace.parent))
    served = make_zip(workspace.parent / "served/upx.zip", {"README": b"", name: b"MZ packer"})
    monkeypatch.setenv(UPX_DIGEST, sha256(served))
    Download(tqv, served)
    before = outside()
    assert tqv.setup_upx() is True
    assert os.listdir() == ["upx.exe"] and (workspace / "upx.exe").read_bytes() == b"MZ packer"
    assert outside() == before


HUGE = 64 * MB


@pytest.fixture(scope="module")
def huge_upx_archive(tmp_path_factory):
    path = tmp_path_factory.mktemp("huge") / "upx.zip"
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as z:
        with z.open("upx-4.2.2-win64/upx.exe", "w", force_zip64=True) as member:
            chunk = bytes(MB)
            for _ in range(HUGE // MB):
                member.write(chunk)
    return path


def test_huge_upx_member_is_read_whole_into_memory(tqv, upx_workspace, monkeypatch, huge_upx_archive):
    # Recorded, left as it is: the member is read in one piece before it is written, so the peak
    # grows by about twice its size (zlib's output blocks, then the joined member): some 140 MiB
    # for the 64 MiB here, from a 64 KiB download.
    workspace, outside = upx_workspace
    monkeypatch.setenv(UPX_DIGEST, sha256(huge_upx_archive))
    Download(tqv, huge_upx_archive)
    tracemalloc.start()
    try:
        assert tqv.setup_upx() is True
        peak = tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()
    assert os.listdir() == ["upx.exe"] and os.path.getsize("upx.exe") == HUGE
    assert HUGE <= peak < 3 * HUGE


# --- Entries of the wrong kind -------------------------------------------------------------------

def start_error(program):
    """The error subprocess raises when it cannot start `program` (each host words it its own way)."""
    with pytest.raises(OSError) as raised:
        subprocess.run([program, "--version"], stdin=subprocess.DEVNULL, capture_output=True)
    return raised.value


@pytest.mark.parametrize("call, outcome", [
    (lambda tqv, folder: tqv.validar_python(folder), False),
    (lambda tqv, folder: tqv.run_silent([folder, "--version"]), start_error),  # PermissionError on Linux
], ids=["validar_python", "run_silent"])
def test_interpreter_that_is_a_folder(tqv, tmp_path, call, outcome):
    folder = tmp_path / "python.exe"
    folder.mkdir()
    if outcome is False:
        assert call(tqv, str(folder)) is False
    else:
        expected = outcome(str(folder))
        with pytest.raises(type(expected)) as raised:
            call(tqv, str(folder))
        assert raised.value.args == expected.args


def test_build_with_an_interpreter_that_is_a_folder_fails_at_the_first_command(pipeline_in, tmp_path):
    p = pipeline_in()
    folder = tmp_path / "Python311 folder"
    folder.mkdir()
    p.tqv.encontrar_python_real = lambda: str(folder)
    p.stdin("\n")
    result, out = p.run()
    # Linux: "[Errno 13] Permission denied: '<folder>'"
    assert out == progress_screens(45) + failure_line(str(start_error(str(folder))))


def error_of(operation, *args):
    """The text of the OSError `operation(*args)` raises now (each host words it its own way)."""
    with pytest.raises(OSError) as raised:
        operation(*args)
    return str(raised.value)


def occupied(p, name, kind):
    if kind == "folder":
        os.makedirs(os.path.join(name, "inside"))
    else:
        p.seed({name: b"a file"})


# The failure texts are those of the failing operation on the entry left in place, made after
# the run; on Linux they read as in the comments.
@pytest.mark.parametrize("name, kind, reached, ending, left", [
    # Kept by the cleanup (os.remove refuses a folder) and taken as a ready UPX: the build goes on.
    ("upx.exe", "folder", 95, lambda: report("1.00", True), ["upx.exe", "yt-dlp.exe"]),
    # "[Errno 21] Is a directory: 'source.zip'"
    ("source.zip", "folder", 25, lambda: failure_line(error_of(open, "source.zip", "wb")), ["source.zip", "upx.exe"]),
    # Kept by the cleanup too (rmtree finds no folder); the extraction cannot make its folders:
    # "[Errno 20] Not a directory: 'yt-dlp-master/bundle'"
    ("yt-dlp-master", "file", 25, lambda: failure_line(error_of(os.mkdir, os.path.join("yt-dlp-master", "bundle"))),
     ["source.zip", "upx.exe", "yt-dlp-master"]),
    # The folder is not moved aside as an earlier build would be: the new one stays in the tree, as
    # the failure says, and nothing is lost. "[Errno 21] Is a directory: 'yt-dlp.exe'"
    ("yt-dlp.exe", "folder", 95, lambda: failure_line(
        error_of(os.remove, "yt-dlp.exe") + "\nEl yt-dlp.exe nuevo se quedó en "
        + os.path.abspath(os.path.join("yt-dlp-master", "dist", "yt-dlp.exe")) + "; el anterior sigue en la carpeta."),
     ["source.zip", "upx.exe", "yt-dlp-master", "yt-dlp.exe"]),
], ids=["upx.exe folder", "source.zip folder", "yt-dlp-master file", "yt-dlp.exe folder"])
def test_workspace_name_taken_by_the_wrong_kind_of_entry(pipeline_in, name, kind, reached, ending, left):
    p = pipeline_in()
    occupied(p, name, kind)
    p.stdin("\n")
    before = p.outside()

    result, out = p.run()

    assert result is None and out == progress_screens(reached) + ending()
    assert p.listing() == sorted(left) and p.outside() == before
    if name == "yt-dlp.exe":
        assert os.path.getsize(os.path.join("yt-dlp-master", "dist", "yt-dlp.exe")) == MB


@pytest.mark.skipif(os.name == "nt", reason="Wine's os.symlink reports success and makes no link, so every case "
                    "would pass without one (Windows itself makes links only with a privilege)")
@pytest.mark.parametrize("link, left", [
    # rmtree refuses a link (ignored, so the link stays); os.remove takes the link, not its target.
    ("build", ["build", "yt-dlp.exe"]),
    ("upx.exe", ["yt-dlp.exe"]),
    ("dist/inner", ["yt-dlp.exe"]),  # a link inside a leftover folder goes with the folder
])
def test_leftover_links_are_removed_or_kept_never_followed(pipeline_in, tmp_path, link, left):
    p = pipeline_in()
    os.makedirs(os.path.dirname(link) or ".", exist_ok=True)
    os.symlink(tmp_path / "sentinel", link)
    before = p.outside()

    result, out = p.run()

    assert out == progress_screens(95) + report("1.00", True)
    assert p.listing() == left and p.outside() == before


def test_packaging_result_that_is_a_folder_is_no_executable(pipeline_in):
    # Mended: the folder used to be moved over the previous build and reported as a 0.00 MB success.
    p = pipeline_in()
    script = PACKAGING_SCRIPT.replace('with open(final_file, "wb") as exe:\n            exe.truncate(EXE_SIZE)',
                                      "os.makedirs(final_file)")
    assert script != PACKAGING_SCRIPT
    with zipfile.ZipFile(p.source, "w") as z:
        with zipfile.ZipFile(source_archive(p.source + ".tmp", MB, p.log)) as good:
            for info in good.infolist():
                data = good.read(info)
                if info.filename.endswith("bundle/pyinstaller.py"):
                    data = script.format(size=MB, log=p.log, program=None, tests="")
                z.writestr(info, data)
    p.seed({"yt-dlp.exe": OLD_EXE})
    p.stdin("\n")

    result, out = p.run()

    assert out == progress_screens(95) + MISSING_EXE
    with open("yt-dlp.exe", "rb") as f:
        assert f.read() == OLD_EXE
    assert os.path.isdir(os.path.join("yt-dlp-master", "dist", "yt-dlp.exe"))


# --- Paths ---------------------------------------------------------------------------------------

@pytest.mark.parametrize("call, outcome", [
    (lambda tqv: tqv.get_path("a\0b") == os.path.join(os.getcwd(), "a\0b"), True),  # joined, never examined
    (lambda tqv: tqv.validar_python(sys.executable + "\0"), False),
    (lambda tqv: tqv.arreglar_ruta_metadatos("repo\0dir"), False),
    (lambda tqv: tqv.run_silent([sys.executable + "\0"]), ValueError),
    (lambda tqv: tqv.run_silent([sys.executable, "-c", ""], "dir\0"), ValueError),
    (lambda tqv: tqv.run_silent([sys.executable, "-c", ""], None, {"A\0": "b"}), ValueError),
], ids=["get_path", "validar_python", "arreglar_ruta_metadatos", "run_silent cmd", "run_silent cwd",
        "run_silent env"])
def test_embedded_nul(tqv, call, outcome):
    if isinstance(outcome, type):
        with pytest.raises(outcome):
            call(tqv)
    else:
        assert call(tqv) == outcome


def test_build_with_an_interpreter_path_holding_nul_fails_at_the_first_command(pipeline_in):
    p = pipeline_in()
    p.tqv.encontrar_python_real = lambda: p.python + "\0"
    p.stdin("\n")
    result, out = p.run()
    # Windows takes the command line as wide text, so its check names a character.
    assert out == progress_screens(45) + failure_line("embedded null character" if os.name == "nt" else
                                                      "embedded null byte")


# A Latin-1 folder name on a UTF-8 system. Windows names are UTF-16 text: none fails to decode.
UNDECODABLE = None if os.name == "nt" else os.fsdecode(b"caf\xe9 build")
undecodable = pytest.mark.skipif(os.name == "nt", reason="Windows file names are UTF-16 text: no name is undecodable")


@pytest.mark.parametrize("base, pip_fails", [
    (os.path.join("carpeta ñandú 名前", "con espacios"), False),
    (os.path.join("carpeta ñandú 名前", "con espacios"), True),
    pytest.param(UNDECODABLE, False, marks=undecodable),
    # The failure text holds a lone surrogate that the console stream cannot encode: the
    # failure line shows "?" in its place.
    pytest.param(UNDECODABLE, True, marks=undecodable),
], ids=["non-ascii", "non-ascii, pip fails", "undecodable", "undecodable, pip fails"])
def test_workspace_and_interpreter_below_unusual_folder_names(pipeline_in, base, pip_fails):
    p = pipeline_in(base)
    if pip_fails:
        fake_interpreter(os.path.dirname(p.python), p.log, pip_exit=1, pip_stderr="no\n")
    p.stdin("\n")
    before = p.outside()
    result, out = p.run()
    shown = p.python.encode("utf-8", "replace").decode("utf-8")
    expected = failure_line(f"Fallo en: {shown}\nDetalle: no\n") if pip_fails else report("1.00", True)
    assert out == progress_screens(45 if pip_fails else 95) + expected
    assert p.listing() == (["source.zip", "upx.exe", "yt-dlp-master"] if pip_fails else ["yt-dlp.exe"])
    assert p.outside() == before


# --- Child output that is not text -------------------------------------------------------------

def decode_error(data):
    """The error text of decoding `data` as a text-mode pipe does (the host's default encoding), or None."""
    try:
        data.decode(locale.getpreferredencoding(False))
    except UnicodeDecodeError as e:
        return str(e)
    return None


# A stray continuation byte for UTF-8, and a byte that code page 1252 leaves unassigned.
NOT_TEXT = b"\x81\x8d"
needs_strict_encoding = pytest.mark.skipif(decode_error(NOT_TEXT) is None,
                                           reason="the host encoding decodes every byte")


def tool(tmp_path, stream, exit_code):
    return program(tmp_path / "tool", f"_sys.{stream}.buffer.write(b'ok ' + {NOT_TEXT!r} + b' bytes\\n')\n"
                   f"raise SystemExit({exit_code})\n")


@needs_strict_encoding
@pytest.mark.parametrize("call, stream, exit_code, outcome", [
    # Recorded, within the rules (text=True, no encoding): the decode error replaces the
    # "Fallo en:" text, and a command that succeeded is reported as failed.
    (lambda tqv, path: tqv.run_silent([path]), "stderr", 1, UnicodeDecodeError),
    (lambda tqv, path: tqv.run_silent([path]), "stderr", 0, UnicodeDecodeError),
    (lambda tqv, path: tqv.run_silent([path]), "stdout", 0, None),  # standard output is never read
    # The decode error is one more failure of the run: the candidate is refused. Not on Windows:
    # there a run with a time-out reads the pipes in threads of subprocess's own, the decode
    # error ends a reader thread only, and the run succeeds.
    (lambda tqv, path: tqv.validar_python(path), "stdout", 0, os.name == "nt"),
    (lambda tqv, path: tqv.validar_python(path), "stderr", 0, os.name == "nt"),
], ids=["run_silent fails", "run_silent succeeds", "run_silent stdout", "validar_python stdout",
        "validar_python stderr"])
@pytest.mark.filterwarnings("ignore::pytest.PytestUnhandledThreadExceptionWarning")  # the reader thread's error
def test_child_output_that_is_not_valid_text(tqv, tmp_path, call, stream, exit_code, outcome):
    path = tool(tmp_path, stream, exit_code)
    if isinstance(outcome, type):
        with pytest.raises(outcome) as raised:
            call(tqv, path)
        assert raised.value.__context__ is None
    else:
        assert call(tqv, path) is outcome
    assert sys.exc_info() == (None, None, None)


@needs_strict_encoding
def test_build_whose_pip_run_succeeds_with_undecodable_error_output_ends_as_a_failure(pipeline_in, tmp_path):
    p = pipeline_in()
    python = program(tmp_path / "python.exe", f"if _sys.argv[1:] != ['--version']:\n"
                                               f"    _sys.stderr.buffer.write({NOT_TEXT!r})\n")
    p.tqv.sys = Proxy(sys, executable=python)
    p.stdin("\n")
    result, out = p.run()
    assert out == progress_screens(45) + failure_line(decode_error(NOT_TEXT))


# --- Values of surprising types ------------------------------------------------------------------

class FormatRaises:
    def __format__(self, spec):
        raise ValueError("no text for this")


class FormatsToInt:
    def __format__(self, spec):
        return 5


class OwnFormat(str):
    def __format__(self, spec):
        return "own text"


@pytest.mark.parametrize("status_msg, progress, filled, shown", [
    (None, 0, 0, "0"),
    (b"bytes", 45, 15, "45"),
    (OwnFormat("plain"), 10, 3, "10"),
    ("x", True, 0, "True"),
    ("x", Decimal("50"), 17, "50"),
    ("x", Fraction(200, 3), 23, "200/3"),
])
def test_status_screen_formats_unusual_values(tqv, quiet_console, capsys, status_msg, progress, filled, shown):
    tqv.tq_refresh(status_msg, progress)
    assert capsys.readouterr().out == screen(f"{status_msg}", shown, filled, 35 - filled)


@pytest.mark.parametrize("status_msg, progress, error, lines", [
    (FormatRaises(), 0, ValueError, 5),
    (FormatsToInt(), 0, TypeError, 5),
    ("x", "50", TypeError, 7),
    ("x", None, TypeError, 7),
    ("x", 1j, TypeError, 7),
    ("x", float("nan"), ValueError, 7),
    ("x", float("inf"), ValueError, 7),  # 35 * inf // 100 is nan
    ("x", 10 ** 30, OverflowError, 7),  # no machine-size count
    ("x", 2 ** 62, OverflowError, 7),  # a count that fits, a text that would not
    ("x", -2 ** 62, OverflowError, 7),
])
def test_status_screen_with_values_it_cannot_show(tqv, quiet_console, capsys, status_msg, progress, error, lines):
    with pytest.raises(error):
        tqv.tq_refresh(status_msg, progress)
    # What was printed before the failing step stays; the next screen is whole.
    assert capsys.readouterr().out.count("\n") == lines
    assert sys.exc_info() == (None, None, None)
    tqv.tq_refresh("ok", 45)
    assert capsys.readouterr().out == screen("ok", "45", 15, 20)


@pytest.mark.parametrize("name, value, call, outcome", [
    ("os", None, lambda t: t.cleanup(), AttributeError),
    ("os", 42, lambda t: t.get_path("x"), AttributeError),
    ("sys", None, lambda t: t.get_path("x") == os.path.join(os.getcwd(), "x"), True),  # taken as not frozen
    ("sys", None, lambda t: t.encontrar_python_real(), AttributeError),
    # Swallowed by the catch-all around the run: every candidate is refused without a word.
    ("subprocess", None, lambda t: t.validar_python(sys.executable), False),
    ("subprocess", None, lambda t: t.run_silent(["x"]), AttributeError),
    ("subprocess", Proxy(subprocess, CalledProcessError="not a class"),
     lambda t: t.run_silent([sys.executable, "-c", "raise SystemExit(3)"]), TypeError),
    ("zipfile", 1, lambda t: t.setup_upx(), False),
    ("urllib", None, lambda t: t.setup_upx(), False),
    ("TQ_Theme", None, lambda t: t.tq_refresh("x"), AttributeError),
    ("validar_python", 0, lambda t: t.encontrar_python_real(), TypeError),
], ids=["os cleanup", "os get_path", "sys get_path", "sys search", "subprocess validar", "subprocess run_silent",
        "CalledProcessError not a class", "zipfile", "urllib", "TQ_Theme", "validar_python"])
def test_substituted_module_attribute_of_the_wrong_type(tqv, quiet_console, tmp_path, monkeypatch,
                                                        name, value, call, outcome):
    (tmp_path / "work").mkdir()
    monkeypatch.chdir(tmp_path / "work")
    served = upx_archive(str(tmp_path / "served.zip"))
    monkeypatch.setenv(UPX_DIGEST, sha256(served))
    Download(tqv, served)  # setup_upx never reaches the network
    setattr(tqv, name, value)
    if isinstance(outcome, type):
        with pytest.raises(outcome) as raised:
            call(tqv)
        assert type(raised.value) is outcome  # a Python error, never SystemError
    else:
        assert call(tqv) == outcome
    assert sys.exc_info() == (None, None, None)
    assert os.listdir() == (["upx.zip"] if name == "zipfile" else [])  # downloaded, then unreadable


def test_shutil_of_the_wrong_type_leaves_the_folders(tqv, tmp_path, monkeypatch):
    # Recorded: the removal sits in the cleanup's catch-all, so the error goes unseen.
    monkeypatch.chdir(tmp_path)
    os.makedirs("build/sub")
    tqv.shutil = None
    assert tqv.cleanup() is None
    assert os.listdir() == ["build"]


@pytest.mark.parametrize("name, value, ending", [
    ("tq_refresh", "not callable", failure_line("'str' object is not callable")),
    # Recorded: the report is shown whole, then its pause fails and the failure line follows.
    ("time", None, report("1.00", True) + failure_line("'NoneType' object has no attribute 'sleep'")),
], ids=["tq_refresh", "time"])
def test_build_with_a_module_attribute_of_the_wrong_type(pipeline_in, name, value, ending):
    p = pipeline_in()
    setattr(p.tqv, name, value)
    p.stdin("\n")
    result, out = p.run()
    assert result is None
    assert out == (progress_screens(95) if name == "time" else "") + ending


def test_build_without_a_usable_theme_cannot_show_its_failure(pipeline_in):
    # The failure screen needs the theme too: its error leaves main, the first one as its context.
    p = pipeline_in()
    p.tqv.TQ_Theme = None
    with pytest.raises(AttributeError) as raised:
        p.tqv.main()
    assert type(raised.value.__context__) is AttributeError
    assert p.output() == "\x1b[H\x1b[2J" and p.listing() == []
    assert sys.exc_info() == (None, None, None)
