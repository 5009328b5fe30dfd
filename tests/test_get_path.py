"""Resource paths: the frozen bundle's folder, the executable's folder, or the working directory."""

import os
import sys
import types

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


def module(name, **attrs):
    made = types.ModuleType(name)
    vars(made).update(attrs)
    return made


class StrictModule(types.ModuleType):
    """A module subclass whose own __getattribute__ decides every read."""

    def __getattribute__(self, name):
        if name == "frozen":
            return True
        return super().__getattribute__(name)


def refuse(name):
    raise AttributeError(name)


def broken(name):
    raise OSError(f"cannot read {name}")


# A plain module answers reads from its own namespace; whatever else takes part in a read of
# an attribute (a module __getattr__, a subclass, ModuleType's own attributes) still decides.
@pytest.mark.parametrize("make_sys, expected", [  # the base folder ("cwd": the working folder), or the error
    (lambda: module("sys", frozen=True, _MEIPASS="/m", executable="/e/x"), "/m"),
    (lambda: module("sys", frozen=False), "cwd"),
    (lambda: module("sys", __getattr__={"frozen": 1, "executable": "/e/x"}.__getitem__), KeyError),
    (lambda: module("sys", __getattr__=lambda name: {"frozen": 1, "executable": "/e/x", "_MEIPASS": "/g"}[name]), "/g"),
    (lambda: module("sys", executable="/e/x", __getattr__=lambda name: True if name == "frozen" else refuse(name)),
     "/e"),
    (lambda: module("sys", __getattr__=refuse), "cwd"),
    (lambda: module("sys", __getattr__=broken), OSError),
    (lambda: StrictModule("sys"), AttributeError),  # frozen, then no executable
], ids=["namespace", "false", "getattr-keyerror", "getattr", "getattr-no-meipass", "getattr-refuses", "getattr-fails",
        "subclass"])
def test_module_reads_follow_the_module_rules(tqv, tmp_path, monkeypatch, make_sys, expected):
    monkeypatch.chdir(tmp_path)
    tqv.sys = make_sys()
    if isinstance(expected, type):
        with pytest.raises(expected):
            tqv.get_path("x")
    else:
        assert tqv.get_path("x") == os.path.join(str(tmp_path) if expected == "cwd" else expected, "x")


def test_attribute_replaced_on_the_real_module_wins(tqv, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    assert tqv.get_path("x") == os.path.join(str(tmp_path), "x")
    monkeypatch.setattr(os.path, "join", lambda a, b: f"join({b})")
    monkeypatch.setattr(sys, "frozen", True, raising=False)
    monkeypatch.setattr(sys, "_MEIPASS", "/bundle", raising=False)
    assert tqv.get_path("x") == "join(x)"
    monkeypatch.undo()
    monkeypatch.chdir(tmp_path)
    assert tqv.get_path("x") == os.path.join(str(tmp_path), "x")


def test_each_new_substitute_is_read_afresh(tqv, tmp_path, monkeypatch):
    # New modules made and dropped in turn: a namespace may reuse a dropped one's memory.
    monkeypatch.chdir(tmp_path)
    for i in range(50):
        tqv.os = module("os", path=module("path", abspath=os.path.abspath, join=lambda a, b, i=i: f"{i}:{b}"))
        assert tqv.get_path("x") == f"{i}:x"
        vars(tqv.os.path)["join"] = lambda a, b: f"again:{b}"
        assert tqv.get_path("x") == "again:x"
