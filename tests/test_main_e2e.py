"""main() run for real, in a temporary workspace, against a toolchain that does nothing."""

import os
import shutil
import sys

import pytest

from conftest import LOAD_FROM_DEFINITION, Proxy
from pipeline_fakes import (CLEAR_COMMAND, LAZY, PACKAGING, PIP, SOURCE_PATH, UPX_PATH, child_setup,  # noqa: F401
                            pipeline, progress_screens, read_log, report)

MB = 1048576
LEFTOVERS = {"build/old.o": b"", "dist/yt-dlp.exe": b"", "yt-dlp-master/x": b"", "upx.exe": b"stale",
             "source.zip": b"stale", "yt-dlp.spec": b""}


@pytest.mark.parametrize("upx_ready", [True, False], ids=["upx", "no-upx"])
def test_build_runs_every_step_and_leaves_only_the_new_executable(pipeline, tqv, upx_ready):
    pipeline.seed({**LEFTOVERS, "yt-dlp.exe": b"earlier build"})
    if not upx_ready:
        del pipeline.downloads.served[UPX_PATH]
    pipeline.archive(3 * MB)
    pipeline.stdin("\nunread\n")
    given, moves = [], []
    real_run_silent = tqv.run_silent
    tqv.run_silent = lambda *a, **kw: given.append((a, kw)) or real_run_silent(*a, **kw)
    tqv.shutil = Proxy(shutil, move=lambda src, dst: moves.append((src, dst, os.path.exists(dst)))
                       or shutil.move(src, dst))

    result, out = pipeline.run()

    assert result is None
    assert out == progress_screens(95) + report("3.00", green=True)
    assert pipeline.clears == [CLEAR_COMMAND] * 7
    assert pipeline.sleeps == [5] and sys.stdin.read() == "\nunread\n"
    assert pipeline.downloads.paths() == [(UPX_PATH, ["upx.zip"]), (SOURCE_PATH, ["source.zip"])]

    ws, py, base = os.getcwd(), pipeline.python, pipeline.path
    repo = os.path.join(ws, "yt-dlp-master")
    packaging_path = ws + os.pathsep + base if upx_ready else base
    assert pipeline.commands() == [(["--version"], ws, base), (PIP, ws, base), (LAZY, repo, base),
                                   (PACKAGING, repo, packaging_path)]
    # The patched packaging script hands an absolute path to its version step.
    assert {"set_version_info": os.path.join(repo, "dist", "yt-dlp.exe")} in read_log(pipeline.log)

    # Only the packaging command gets an environment: a copy, the process's own left alone.
    assert [(a, sorted(kw)) for a, kw in given] == [(([py, *PIP],), []), (([py, *LAZY],), ["cwd"]),
                                                   (([py, *PACKAGING],), ["cwd", "env"])]
    assert given[1][1]["cwd"] == given[2][1]["cwd"] == repo
    env = given[2][1]["env"]
    assert type(env) is dict and env == {**os.environ, "PATH": packaging_path}
    assert os.environ["PATH"] == base

    # The earlier executable is gone before the new one is moved in.
    assert moves == [(os.path.join(repo, "dist", "yt-dlp.exe"), "yt-dlp.exe", False)]
    assert pipeline.listing() == ["yt-dlp.exe"]
    assert os.path.getsize("yt-dlp.exe") == 3 * MB


@pytest.mark.parametrize("size, shown, green", [
    (26214399, "25.00", True),
    (26214400, "25.00", True),  # exactly 25 MB does not exceed the limit
    (26214401, "25.00", False),
    (0, "0.00", True),
    (40 * MB + MB // 2, "40.50", False),
])
def test_report_colour_and_verdict_follow_the_unrounded_size(pipeline, size, shown, green):
    pipeline.archive(size)
    result, out = pipeline.run()
    assert result is None
    assert out == progress_screens(95) + report(shown, green)
    assert pipeline.listing() == ["yt-dlp.exe"] and os.path.getsize("yt-dlp.exe") == size


def test_two_runs_in_one_process_each_build_from_scratch(pipeline):
    runs = []
    for size in (MB, 2 * MB):
        pipeline.archive(size)
        runs.append(pipeline.run())
    assert runs == [(None, progress_screens(95) + report("1.00", True)),
                    (None, progress_screens(95) + report("2.00", True))]
    assert [p for p, _ in pipeline.downloads.paths()] == [UPX_PATH, SOURCE_PATH] * 2
    assert [args for args, _, _ in pipeline.commands()] == [["--version"], PIP, LAZY, PACKAGING] * 2
    assert pipeline.sleeps == [5, 5]
    assert pipeline.listing() == ["yt-dlp.exe"] and os.path.getsize("yt-dlp.exe") == 2 * MB


# A legacy code page on a redirected stream has no bar cells and no verdict sign: the screens
# show "?" in their place and the build still runs to its end.
@pytest.mark.parametrize("io_encoding", [None, "cp1252"], ids=["utf-8", "cp1252"])
def test_loading_as_main_module_runs_the_build_before_the_load_returns(child, tmp_path, io_encoding):
    work = tmp_path / "work"
    work.mkdir()
    code = child_setup(tmp_path / "tools", MB) + LOAD_FROM_DEFINITION
    code += "module = load_from_definition('__main__')\nprint('returned', sleeps, sorted(os.listdir()))\n"

    result = child(code, cwd=work, io_encoding=io_encoding)

    screens = progress_screens(95) + report("1.00", True)
    if io_encoding:
        screens = screens.encode(io_encoding, "replace").decode(io_encoding)
        assert screens.count("?") == 7 * 35 + 1
    assert result.stdout == screens + "returned [5] ['yt-dlp.exe']\n"
