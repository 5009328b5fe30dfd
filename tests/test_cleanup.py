"""cleanup: the fixed folders, then the fixed files; removal problems never stop it."""

import os
import shutil

import pytest

from conftest import Proxy
from tq_velmor_host.folder import BUILD_FILES, BUILD_FOLDERS

# The names, in order, as the tq-velmor command knows them: the module must remove exactly these.
FOLDERS, FILES = list(BUILD_FOLDERS), list(BUILD_FILES)
KEPT = ["yt-dlp.exe", "notes.txt", "Build.log"]


@pytest.fixture
def workspace(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    return tmp_path


def lay_out(workspace, names):
    for name in names:
        if name in FOLDERS:
            (workspace / name / "sub").mkdir(parents=True)
            (workspace / name / "sub/file.py").write_text("x")
        else:
            (workspace / name).write_text("x")


def recorded(tqv, remove=os.remove, rmtree=shutil.rmtree):
    """Substitute os and shutil that log every call the cleanup makes."""
    log = []

    def logged(name, function):
        return lambda *args, **kwargs: log.append((name, *args, kwargs)) or function(*args, **kwargs)

    tqv.os = Proxy(os, remove=logged("remove", remove), path=Proxy(os.path, exists=logged("exists", os.path.exists)))
    tqv.shutil = Proxy(shutil, rmtree=logged("rmtree", rmtree))
    return log


@pytest.mark.parametrize("present", [[], FOLDERS + FILES, ["dist", "bundle", "upx.exe"]], ids=["none", "all", "some"])
def test_removes_in_order(tqv, workspace, present):
    lay_out(workspace, present + KEPT)
    log = recorded(tqv)
    assert tqv.cleanup() is None
    expected = []
    for name in FOLDERS + FILES:
        expected.append(("exists", name, {}))
        if name in present:
            expected.append(("rmtree", name, {"ignore_errors": True}) if name in FOLDERS else ("remove", name, {}))
    assert log == expected
    assert sorted(os.listdir()) == sorted(KEPT)


@pytest.mark.parametrize("error", [PermissionError(13, "locked"), KeyboardInterrupt(), SystemExit(2)])
def test_unremovable_entries_are_skipped(tqv, workspace, error):
    def refuse(name, function):
        def remove(path, **kwargs):
            if path == name:
                raise error
            return function(path, **kwargs)
        return remove

    lay_out(workspace, FOLDERS + FILES)
    recorded(tqv, remove=refuse("upx.exe", os.remove), rmtree=refuse("build", shutil.rmtree))
    assert tqv.cleanup() is None
    assert sorted(os.listdir()) == ["build", "upx.exe"]
