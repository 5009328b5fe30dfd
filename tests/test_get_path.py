"""Resource paths: the frozen bundle's folder, the executable's folder, or the working directory."""

import os
import sys

import pytest

from conftest import Proxy


class FrozenSys:
    """A sys whose reads are recorded; `executable` may be made to fail."""

    def __init__(self, frozen, meipass=None, executable="/opt/app/builder.exe", broken_executable=False):
        self.reads = []
        self._values = {"frozen": frozen, "executable": executable}
        if meipass is not None:
            self._values["_MEIPASS"] = meipass
        self._broken = broken_executable

    def __getattr__(self, name):
        self.reads.append(name)
        if name == "executable" and self._broken:
            raise PermissionError("executable unreadable")
        if name not in self._values:
            raise AttributeError(name)
        return self._values[name]


def test_plain_run_follows_the_working_directory(tqv, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    assert tqv.get_path("upx.exe") == os.path.join(str(tmp_path), "upx.exe")
    (tmp_path / "sub").mkdir()
    monkeypatch.chdir(tmp_path / "sub")
    assert tqv.get_path("upx.exe") == os.path.join(str(tmp_path / "sub"), "upx.exe")


def test_frozen_with_meipass_still_reads_the_executable(tqv):
    fake = FrozenSys(True, meipass="/tmp/_MEI123")
    tqv.sys = fake
    assert tqv.get_path("data/x.txt") == os.path.join("/tmp/_MEI123", "data/x.txt")
    assert fake.reads == ["frozen", "executable", "_MEIPASS"]
    tqv.sys = FrozenSys(True, meipass="/tmp/_MEI123", broken_executable=True)
    with pytest.raises(PermissionError):
        tqv.get_path("x")


def test_frozen_without_meipass_uses_the_executables_folder(tqv):
    tqv.sys = FrozenSys(1)
    assert tqv.get_path("x") == os.path.join("/opt/app", "x")


@pytest.mark.parametrize("frozen", [0, "", None, False])
def test_false_frozen_counts_as_plain(tqv, tmp_path, monkeypatch, frozen):
    monkeypatch.chdir(tmp_path)
    tqv.sys = FrozenSys(frozen, meipass="/never")
    assert tqv.get_path("x") == os.path.join(str(tmp_path), "x")


def test_missing_frozen_counts_as_plain_but_other_errors_propagate(tqv, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    tqv.sys = Proxy(sys)  # real sys: no frozen attribute
    assert tqv.get_path("x") == os.path.join(str(tmp_path), "x")

    class Unreadable:
        @property
        def frozen(self):
            raise OSError("no")

    tqv.sys = Unreadable()
    with pytest.raises(OSError, match="no"):
        tqv.get_path("x")


def test_join_rules_apply(tqv, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    absolute = os.path.abspath(os.path.join(os.sep, "abs", "file"))  # on Windows, with the current drive
    assert tqv.get_path(absolute) == absolute
    assert tqv.get_path("") == str(tmp_path) + os.sep
    with pytest.raises(TypeError):
        tqv.get_path(b"bytes")
    with pytest.raises(TypeError):
        tqv.get_path(None)
