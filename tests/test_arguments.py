"""The argument rules every public callable shares, and what the callables look like."""

import inspect
import os
import subprocess
import sys

import pytest

from conftest import Proxy, vectorcall

SIGNATURES = {
    "get_path": "(relative_path)",
    "tq_refresh": "(status_msg, progress=0)",
    "run_silent": "(cmd, cwd=None, env=None)",
    "validar_python": "(path)",
    "encontrar_python_real": "()",
    "setup_upx": "()",
    "cleanup": "()",
    "arreglar_ruta_metadatos": "(repo_dir)",
    "main": "()",
}
ARREGLAR_DOC = ("\n    Modifica bundle/pyinstaller.py para usar RUTAS ABSOLUTAS.\n"
                "    IMPORTANTE: No inyectamos 'import os' porque ya existe globalmente.\n    ")


@pytest.mark.parametrize("name", SIGNATURES)
def test_callable_identity_and_signature(tqv, name):
    function = getattr(tqv, name)
    assert (function.__name__, function.__qualname__, function.__module__) == (name, name, "tq_velmor")
    assert str(inspect.signature(function)) == SIGNATURES[name]
    assert function.__doc__ == (ARREGLAR_DOC if name == "arreglar_ruta_metadatos" else None)
    for parameter in inspect.signature(function).parameters.values():
        assert parameter.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD
        # defaults are the very objects: the integer 0 and None
        if parameter.name == "progress":
            assert type(parameter.default) is int and parameter.default == 0
        elif parameter.default is not inspect.Parameter.empty:
            assert parameter.default is None


CALL_ERRORS = [
    ("get_path", (), {}, "get_path() takes exactly 1 positional argument (0 given)"),
    ("validar_python", (1, 2), {}, "validar_python() takes exactly 1 positional argument (2 given)"),
    ("arreglar_ruta_metadatos", ("a", "b", "c"), {}, "arreglar_ruta_metadatos() takes exactly 1 positional argument (3 given)"),
    ("tq_refresh", (), {}, "tq_refresh() takes at least 1 positional argument (0 given)"),
    ("run_silent", (), {}, "run_silent() takes at least 1 positional argument (0 given)"),
    ("tq_refresh", (1, 2, 3), {}, "tq_refresh() takes at most 2 positional arguments (3 given)"),
    ("run_silent", (1, 2, 3, 4), {}, "run_silent() takes at most 3 positional arguments (4 given)"),
    ("tq_refresh", (1, 2, 3), {"x": 1}, "tq_refresh() takes at most 2 positional arguments (3 given)"),
    # a required parameter missing counts as a missing positional argument, keywords or not
    ("get_path", (), {"ruta": 1}, "get_path() takes exactly 1 positional argument (0 given)"),
    ("run_silent", (), {"cwd": "."}, "run_silent() takes at least 1 positional argument (0 given)"),
    ("tq_refresh", (), {"progress": 5}, "tq_refresh() takes at least 1 positional argument (0 given)"),
    ("get_path", ("x",), {"ruta": 1}, "get_path() got an unexpected keyword argument 'ruta'"),
    ("tq_refresh", (), {"status_msg": "s", "porcentaje": 1}, "tq_refresh() got an unexpected keyword argument 'porcentaje'"),
    ("run_silent", ("a",), {"cmd": "b"}, "run_silent() got multiple values for keyword argument 'cmd'"),
    ("tq_refresh", ("a", 1), {"progress": 2}, "tq_refresh() got multiple values for keyword argument 'progress'"),
    ("main", (), {"x": 1}, "main() takes no keyword arguments"),
    ("main", (1,), {"x": 1}, "main() takes no keyword arguments"),
    ("main", (1,), {}, "main() takes no arguments (1 given)"),
    ("cleanup", (1, 2), {}, "cleanup() takes no arguments (2 given)"),
    ("setup_upx", (None,), {}, "setup_upx() takes no arguments (1 given)"),
    ("encontrar_python_real", (), {"a": 1}, "encontrar_python_real() takes no keyword arguments"),
]


@pytest.mark.parametrize("name, args, kwargs, message", CALL_ERRORS)
def test_argument_errors(tqv, name, args, kwargs, message):
    with pytest.raises(TypeError) as info:
        getattr(tqv, name)(*args, **kwargs)
    assert str(info.value) == message


@pytest.mark.parametrize("name, args, kwnames, message", [
    ("get_path", ("x",), (7,), "get_path() keywords must be strings"),
    ("tq_refresh", ("x",), ("progress", b"y"), "tq_refresh() keywords must be strings"),
    ("run_silent", (), ("cmd", "cmd"), "run_silent() got multiple values for keyword argument 'cmd'"),
    ("main", (), (7,), "main() takes no keyword arguments"),
])
def test_argument_errors_through_the_c_api(tqv, name, args, kwnames, message):
    with pytest.raises(TypeError) as info:
        vectorcall(getattr(tqv, name), args, kwnames)
    assert str(info.value) == message


class StrName(str):
    pass


def test_keywords_bind_like_positions(tqv):
    calls = []
    tqv.subprocess = Proxy(subprocess, run=lambda *a, **k: calls.append((a, k)))
    tqv.run_silent(["p"], "here", {"A": "1"})
    tqv.run_silent(env={"A": "1"}, cwd="here", cmd=["p"])
    tqv.run_silent(["p"], **{StrName("env"): {"A": "1"}, "cwd": "here"})
    assert calls[0] == calls[1] == calls[2]
    assert calls[0][1]["cwd"] == "here" and calls[0][1]["env"] == {"A": "1"}
    tqv.run_silent(cmd=["p"])
    assert calls[3][1]["cwd"] is None and calls[3][1]["env"] is None


def test_argument_errors_happen_before_any_work(tqv):
    tqv.os = None  # any use of os by a body would fail differently
    with pytest.raises(TypeError, match="positional argument"):
        tqv.get_path()
    with pytest.raises(TypeError, match="no arguments"):
        tqv.cleanup(1)


def test_globals_are_looked_up_at_call_time(tqv, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    tqv.os = Proxy(os, path=Proxy(os.path, join=lambda a, b: f"joined:{b}"))
    assert tqv.get_path("x") == "joined:x"
    del tqv.os
    with pytest.raises(NameError) as info:
        tqv.get_path("x")
    assert str(info.value) == "name 'os' is not defined"
    # ... then the builtins, as for any module-level name
    monkeypatch.setattr("builtins.os", os, raising=False)
    assert tqv.get_path("x") == os.path.join(str(tmp_path), "x")


def test_public_callables_are_looked_up_through_the_namespace(tqv):
    tqv.validar_python = lambda path: path == sys.executable + "!"
    tqv.sys = Proxy(sys, executable=sys.executable + "!")
    assert tqv.encontrar_python_real() == sys.executable + "!"
