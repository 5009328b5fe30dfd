"""Shared test setup: the Windows stand-ins go in before the module is imported."""

import os
import subprocess
import sys
import textwrap

import pytest

import tq_velmor_host

tq_velmor_host.install()

import tq_velmor  # noqa: E402

# Children import the very module files this process imported (a build folder on
# PYTHONPATH or the installed package), even though -I makes them ignore PYTHONPATH.
_SEARCH_PATH = [os.path.dirname(tq_velmor.__file__), os.path.dirname(os.path.dirname(tq_velmor_host.__file__))]
PATHS = f"import sys; sys.path[:0] = {_SEARCH_PATH!r}\n"
STAND_INS = "import tq_velmor_host; tq_velmor_host.install()\n"


class Proxy:
    """A substitute module: the given attributes, everything else from the real one."""

    def __init__(self, real, **attrs):
        object.__setattr__(self, "_real", real)
        for name, value in attrs.items():
            object.__setattr__(self, name, value)

    def __getattr__(self, name):
        return getattr(self._real, name)


@pytest.fixture
def tqv():
    """The module, with its namespace restored after the test."""
    namespace = vars(tq_velmor)
    saved = dict(namespace)
    yield tq_velmor
    for name in list(namespace):
        if name not in saved:
            del namespace[name]
    namespace.update(saved)


@pytest.fixture
def quiet_console(tqv):
    """os.system recorded instead of run; returns the list of commands."""
    commands = []
    tqv.os = Proxy(os, system=lambda command: commands.append(command) or 0)
    return commands


@pytest.fixture
def registry():
    """The in-memory registry, empty before and after the test."""
    store = tq_velmor_host.winreg_standin
    store.clear()
    yield store
    store.clear()


def run_python(code, *, stand_ins=True, cwd=None, stdin=subprocess.DEVNULL, timeout=120, env=None):
    """Run `code` in a fresh interpreter; returns the CompletedProcess (text, both streams captured)."""
    source = PATHS + (STAND_INS if stand_ins else "") + textwrap.dedent(code)
    command = [sys.executable, "-I", "-X", "faulthandler", "-c", source]
    return subprocess.run(command, cwd=cwd, stdin=stdin, capture_output=True, text=True, encoding="utf-8",
                          timeout=timeout, env=env)


def describe(result):
    return f"command: {result.args!r}\nexit: {result.returncode}\nstdout:\n{result.stdout}\nstderr:\n{result.stderr}"


@pytest.fixture
def child():
    """run_python that fails the test, with the whole story, when the child exits non-zero."""

    def run(code, **kwargs):
        result = run_python(code, **kwargs)
        assert result.returncode == 0, describe(result)
        return result

    return run
