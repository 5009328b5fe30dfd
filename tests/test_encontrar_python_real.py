"""encontrar_python_real: host interpreter, install folders, registry, search path, in that order."""

import os
import shutil
import types

import pytest

from conftest import Proxy
from fakes import PYTHON_CORE, Machine, interpreter, runs
from tq_velmor_host import winreg_standin

NOT_FOUND = "No se encontró Python instalado. Instálalo desde python.org"
SOURCES = ["host", "user", "program files", "drive", "HKCU", "HKLM", "search path"]


@pytest.fixture
def machine(tqv, tmp_path, registry):
    return Machine(tqv, tmp_path)


def not_found(tqv):
    with pytest.raises(Exception) as info:
        tqv.encontrar_python_real()
    assert type(info.value) is Exception and info.value.args == (NOT_FOUND,)


FIRST = ["host", "HKCU", "HKLM"]  # validated before the final pass starts
FOLDERS = ["user", "program files", "drive"]


@pytest.mark.parametrize("winner, validations", [
    ("host", ["host"]),
    ("user", FIRST + ["user"]),
    ("program files", FIRST + ["user", "program files"]),
    ("drive", FIRST + FOLDERS),
    ("HKCU", FIRST + FOLDERS + ["HKCU"]),  # registry installs are validated twice
    ("HKLM", FIRST + FOLDERS + ["HKLM"]),
    ("search path", FIRST + FOLDERS + ["search path"]),
    (None, FIRST + FOLDERS + ["search path"]),
])
def test_priority(tqv, machine, winner, validations):
    # Every source holds an interpreter; those ranked above the winner fail "--version".
    good = SOURCES.index(winner) if winner else len(SOURCES)
    paths = {s: machine.add(s, exit_code=0 if i >= good else 1) for i, s in enumerate(SOURCES)}
    if winner:
        assert tqv.encontrar_python_real() == paths[winner]
    else:
        not_found(tqv)
    assert runs(machine.log) == [paths[s] for s in validations]
    if winner == "host":
        assert machine.calls == []  # no folder, registry or search-path lookup
    else:
        assert [c for c in machine.calls if c[0] != "OpenKey"] == [
            ("expanduser", "~"),
            ("glob", os.path.join(machine.tmp / "home", "AppData\\Local\\Programs\\Python", "Python3*")),
            ("glob", os.path.join("C:\\Program Files\\Python", "Python3*")),
            ("glob", os.path.join("C:\\Python", "Python3*")),
        ] + [("which", "python")] * (winner in ("search path", None))


@pytest.mark.parametrize("frozen, host_considered", [(None, True), (False, True), (True, False), (1, False)])
def test_frozen_host_is_never_considered(tqv, machine, frozen, host_considered):
    if frozen is not None:
        machine.sys.frozen = frozen
    host = machine.add("host")
    folder = machine.add("drive")
    assert tqv.encontrar_python_real() == (host if host_considered else folder)
    assert runs(machine.log) == ([host] if host_considered else [folder])


@pytest.mark.parametrize("listing", [sorted, lambda items: sorted(items, reverse=True)], ids=["312 first", "39 first"])
def test_folders_in_listing_order(tqv, machine, listing):
    machine.listing = listing
    found = [machine.add("user", version=v) for v in ("39", "312")]
    interpreter(machine.root("user") / "Python27/python.exe", 0, machine.log)  # not Python3*
    assert tqv.encontrar_python_real() == listing(found)[0]


def test_missing_roots_are_not_listed(tqv, machine):
    machine.add("program files", exit_code=1)
    not_found(tqv)
    assert [c for c in machine.calls if c[0] == "glob"] == [("glob", os.path.join("C:\\Program Files\\Python", "Python3*"))]


@pytest.mark.parametrize("broken", ["no InstallPath", "no default value"])
def test_broken_install_ends_its_hive_only(tqv, machine, broken):
    winreg_standin.create_key(winreg_standin.HKEY_CURRENT_USER,
                              f"{PYTHON_CORE}\\3.10" + ("\\InstallPath" if broken == "no default value" else ""))
    machine.add("HKCU", version="3.11")  # listed after the broken one: not examined
    good = machine.add("HKLM")
    assert tqv.encontrar_python_real() == good
    assert runs(machine.log) == [good, good]


def test_rejected_registry_install_does_not_end_enumeration(tqv, machine):
    bad = machine.add("HKCU", exit_code=1, version="3.10")
    good = machine.add("HKCU", version="3.11")
    assert tqv.encontrar_python_real() == good
    assert runs(machine.log) == [bad, good, good]


def raising(error):
    def function(*args):
        raise error
    return function


@pytest.mark.parametrize("name, first_call", [
    ("OpenKey", raising(KeyboardInterrupt())),
    ("EnumKey", raising(KeyboardInterrupt())),
    ("EnumKey", raising(PermissionError(5, "Access is denied"))),
    ("QueryValueEx", raising(ValueError())),
    ("QueryValueEx", lambda key, name: ("C:\\Python312", 1, "extra")),  # does not unpack into two
    ("QueryValueEx", lambda key, name: (42, 4)),  # a number: os.path.join raises TypeError
])
def test_any_error_in_a_hive_ends_that_hive_only(tqv, machine, name, first_call):
    machine.add("HKCU", version="3.11")
    machine.add("HKCU", version="3.12")
    good = machine.add("HKLM")
    calls = []

    def once(*args, function=getattr(tqv.winreg, name)):
        calls.append(args)
        return (first_call if len(calls) == 1 else function)(*args)

    tqv.winreg = Proxy(tqv.winreg, **{name: once})
    assert tqv.encontrar_python_real() == good
    assert runs(machine.log) == [good, good]  # nothing of the current-user hive was examined


def without_second_root(tqv):
    tqv.winreg = types.SimpleNamespace(**{n: getattr(winreg_standin, n) for n in (
        "OpenKey", "EnumKey", "QueryValueEx", "HKEY_CURRENT_USER")})


@pytest.mark.parametrize("break_registry, winner", [
    (lambda tqv: delattr(tqv, "winreg"), "search path"),
    (without_second_root, "search path"),  # the hive list is built before any hive is scanned
    (lambda tqv: setattr(tqv, "winreg", Proxy(winreg_standin, HKEY_LOCAL_MACHINE=None)), "HKCU"),
], ids=["no winreg", "no second root", "unusable second root"])
def test_registry_failures_never_escape(tqv, machine, break_registry, winner):
    paths = {s: machine.add(s) for s in ("HKCU", "search path")}
    break_registry(tqv)
    assert tqv.encontrar_python_real() == paths[winner]


class FrozenUnreadable:
    @property
    def frozen(self):
        raise RuntimeError


@pytest.mark.parametrize("where, substitute, error", [
    ("sys", object(), AttributeError),  # not frozen, and no executable
    ("sys", FrozenUnreadable(), RuntimeError),  # only a missing attribute counts as not frozen
    ("os", Proxy(os, path=Proxy(os.path, expanduser=raising(KeyboardInterrupt()))), KeyboardInterrupt),
    ("glob", Proxy(object(), glob=raising(OSError())), OSError),
    ("shutil", Proxy(shutil, which=raising(ValueError())), ValueError),
    ("validar_python", raising(KeyboardInterrupt()), KeyboardInterrupt),
])
def test_errors_outside_the_registry_scan_propagate(tqv, machine, where, substitute, error):
    machine.add("drive", exit_code=1)
    setattr(tqv, where, substitute)
    with pytest.raises(error):
        tqv.encontrar_python_real()
