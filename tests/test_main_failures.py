"""How a build ends when a step fails: the screen, the wait for Enter and the workspace left behind."""

import os
import sys
import urllib.error

import pytest

from conftest import Proxy
from pipeline_fakes import (MISSING_EXE, SOURCE_PATH, UPX_PATH, failure_line, fake_interpreter, pipeline,  # noqa: F401
                            progress_screens)

OLD_EXE = b"earlier build"
PIP_ERROR = "ERROR: No matching distribution found for mutagen\n"


def test_no_interpreter_fails_before_any_screen_or_cleanup(pipeline, tqv, tmp_path, monkeypatch):
    tqv.sys = Proxy(sys, executable="")
    empty = tmp_path / "empty"
    empty.mkdir()
    monkeypatch.setenv("PATH", str(empty))
    pipeline.seed({"source.zip": b"left", "build/x": b""})
    pipeline.stdin("\nunread\n")

    result, out = pipeline.run()

    assert result is None
    assert out == failure_line("No se encontró Python instalado. Instálalo desde python.org")
    assert sys.stdin.read() == "unread\n"
    assert pipeline.clears == [] and pipeline.downloads.calls == []
    assert pipeline.listing() == ["build", "source.zip"]


def pip_fails(p):
    fake_interpreter(os.path.dirname(p.python), p.log, pip_exit=1, pip_stderr=PIP_ERROR)
    return 45, failure_line(f"Fallo en: {p.python}\nDetalle: {PIP_ERROR}")


def source_download_fails(p):
    p.downloads.fail[SOURCE_PATH] = urllib.error.URLError("no route to host")
    return 25, failure_line("<urlopen error no route to host>")


def source_is_no_archive(p):
    with open(p.source, "wb") as f:
        f.write(b"<html>rate limited</html>")
    return 25, failure_line("File is not a zip file")


def path_missing(p):
    p.monkeypatch.delenv("PATH")
    return 10, failure_line("'PATH'")


def no_executable(p):
    p.archive(None)
    return 95, MISSING_EXE


@pytest.mark.parametrize("make_it_fail, left", [
    (pip_fails, ["source.zip", "upx.exe", "yt-dlp-master"]),
    (source_download_fails, ["upx.exe"]),
    (source_is_no_archive, ["source.zip", "upx.exe"]),
    (path_missing, ["upx.exe"]),
    (no_executable, ["source.zip", "upx.exe", "yt-dlp-master"]),
])
def test_failure_stays_below_the_last_screen_and_keeps_the_workspace(pipeline, make_it_fail, left):
    pipeline.seed({"yt-dlp.exe": OLD_EXE})
    reached, ending = make_it_fail(pipeline)
    pipeline.stdin("\nunread\n")

    result, out = pipeline.run()

    assert result is None
    assert out == progress_screens(reached) + ending
    assert sys.stdin.read() == "unread\n"  # one Enter awaited
    assert pipeline.sleeps == []
    assert pipeline.listing() == sorted(left + ["yt-dlp.exe"])
    with open("yt-dlp.exe", "rb") as f:
        assert f.read() == OLD_EXE


def test_failing_pip_step_runs_nothing_after_it(pipeline):
    pip_fails(pipeline)
    pipeline.stdin("\n")
    pipeline.run()
    assert [args[:2] for args, _, _ in pipeline.commands()] == [["--version"], ["-m", "pip"]]
    assert [path for path, _ in pipeline.downloads.paths()] == [UPX_PATH, SOURCE_PATH]


@pytest.mark.parametrize("make_it_fail, handled", [
    (pip_fails, Exception),
    # The wait after the missing-executable line is inside the guarded region.
    (no_executable, EOFError),
])
def test_closed_input_ends_the_wait_with_an_error_that_leaves_main(pipeline, tqv, make_it_fail, handled):
    reached, ending = make_it_fail(pipeline)
    if handled is EOFError:
        ending += failure_line("EOF when reading a line")
    with pytest.raises(EOFError) as raised:
        tqv.main()
    assert pipeline.output() == progress_screens(reached) + ending
    # Raised while the error shown was being handled.
    assert type(raised.value.__context__) is handled


@pytest.mark.parametrize("interruption", [KeyboardInterrupt, SystemExit])
def test_interruptions_are_not_handled(pipeline, tqv, interruption):
    pipeline.downloads.fail[SOURCE_PATH] = interruption()
    pipeline.stdin("\n")
    with pytest.raises(interruption):
        tqv.main()
    assert pipeline.output() == progress_screens(25)
    assert sys.stdin.read() == "\n"
    assert pipeline.listing() == ["upx.exe"]
