"""Repeated calls on success and error paths leave no objects and no references behind."""

import gc
import io
import os
import subprocess
import sys
import tracemalloc

import pytest

from conftest import Proxy

ROUNDS = 1500
# A leak of one small object per call would grow by well over this.
ALLOWED_GROWTH = 24 * 1024


def growth(call):
    """Bytes still allocated after ROUNDS more calls, once warmed up."""
    for _ in range(200):
        call()
    gc.collect()
    tracemalloc.start()
    try:
        before = tracemalloc.get_traced_memory()[0]
        for _ in range(ROUNDS):
            call()
        gc.collect()
        return tracemalloc.get_traced_memory()[0] - before
    finally:
        tracemalloc.stop()


def calling(function, *args, expect=None, **kwargs):
    def call():
        if expect is None:
            function(*args, **kwargs)
            return
        try:
            function(*args, **kwargs)
        except expect:
            pass
        else:
            raise AssertionError(f"{function.__name__} did not raise {expect}")
    return call


class Completed:
    returncode = 0


def failing_run(*args, **kwargs):
    raise subprocess.CalledProcessError(1, args[0], stderr="boom\n")


def interrupted(*args, **kwargs):
    raise KeyboardInterrupt


@pytest.fixture
def substitutes(tqv, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    monkeypatch.setattr(sys, "stdout", io.StringIO())
    tqv.os = Proxy(os, system=lambda command: 0)
    return tqv


def cases(tqv):
    ok_run = Proxy(subprocess, run=lambda *a, **k: Completed())
    bad_run = Proxy(subprocess, run=failing_run)
    no_run = Proxy(subprocess, run=interrupted)
    return {
        "get_path": [calling(tqv.get_path, "upx.exe"), calling(tqv.get_path, b"x", expect=TypeError),
                     calling(tqv.get_path, expect=TypeError), calling(tqv.get_path, "x", ruta=1, expect=TypeError)],
        "tq_refresh": [calling(tqv.tq_refresh, "fase", 45), calling(tqv.tq_refresh, "fase", "x", expect=TypeError),
                       calling(tqv.tq_refresh, 1, 2, 3, expect=TypeError)],
        "run_silent": [(ok_run, calling(tqv.run_silent, ["p", "a"], cwd=".")),
                       (bad_run, calling(tqv.run_silent, ["p", "a"], expect=Exception)),
                       (bad_run, calling(tqv.run_silent, ("p", "a"), expect=Exception)),
                       (no_run, calling(tqv.run_silent, "p", expect=KeyboardInterrupt))],
        "validar_python": [calling(tqv.validar_python, None), calling(tqv.validar_python, "/no/such"),
                           (ok_run, calling(tqv.validar_python, sys.executable)),
                           (no_run, calling(tqv.validar_python, sys.executable)),
                           calling(tqv.validar_python, 5, expect=TypeError)],
        "cleanup": [calling(tqv.cleanup), calling(tqv.cleanup, 1, expect=TypeError)],
        "arreglar_ruta_metadatos": [calling(tqv.arreglar_ruta_metadatos, "missing"),
                                    calling(tqv.arreglar_ruta_metadatos, 5, expect=TypeError)],
        "setup_upx": [(Proxy(os, path=Proxy(os.path, exists=lambda p: True)), calling(tqv.setup_upx))],
    }


@pytest.mark.parametrize("name", ["get_path", "tq_refresh", "run_silent", "validar_python", "cleanup",
                                  "arreglar_ruta_metadatos", "setup_upx"])
def test_no_growth(substitutes, name):
    tqv = substitutes
    for case in cases(tqv)[name]:
        substitute, call = case if isinstance(case, tuple) else (None, case)
        if isinstance(substitute, Proxy) and substitute._real is subprocess:
            tqv.subprocess = substitute
        elif substitute is not None:
            tqv.os = substitute
        assert growth(call) < ALLOWED_GROWTH


def test_no_growth_in_discovery_and_main(substitutes, registry, monkeypatch):
    tqv = substitutes
    registry.set_value(registry.HKEY_CURRENT_USER, r"SOFTWARE\Python\PythonCore\3.11\InstallPath", "/no/such")
    tqv.sys = Proxy(sys, frozen=True)
    tqv.shutil = Proxy(tqv.shutil, which=lambda name: None)
    assert growth(calling(tqv.encontrar_python_real, expect=Exception)) < ALLOWED_GROWTH
    monkeypatch.setattr(sys, "stdin", io.StringIO("\n" * 10000))
    assert growth(calling(tqv.main)) < ALLOWED_GROWTH


def test_argument_and_substitute_references_are_released(substitutes):
    tqv = substitutes
    command, cwd, env = ["p"], "here", {"A": "1"}
    run = Proxy(subprocess, run=failing_run)
    tqv.subprocess = run
    held = [sys.getrefcount(x) for x in (command, cwd, env, run)]
    for _ in range(500):
        with pytest.raises(Exception):
            tqv.run_silent(command, cwd, env)
        tqv.run_silent  # noqa: B018
    gc.collect()
    assert [sys.getrefcount(x) for x in (command, cwd, env, run)] == held
