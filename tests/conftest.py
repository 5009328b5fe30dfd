"""Shared test setup: the Windows stand-ins go in before the module is imported."""

import ctypes
import os
import subprocess
import sys
import textwrap

import pytest

import tq_velmor_host

tq_velmor_host.install()

import tq_velmor  # noqa: E402
from programs import patient_run  # noqa: E402

# Children import the very module files this process imported (a build folder on
# PYTHONPATH or the installed package), even though -I makes them ignore PYTHONPATH.
_SEARCH_PATH = [os.path.dirname(tq_velmor.__file__), os.path.dirname(os.path.dirname(tq_velmor_host.__file__))]
PATHS = f"import sys; sys.path[:0] = {_SEARCH_PATH!r}\n"
# A child's own output in UTF-8 on every host (a Windows pipe would get the ANSI code page).
UTF8_OUTPUT = "sys.stdout.reconfigure(encoding='utf-8'); sys.stderr.reconfigure(encoding='utf-8')\n"
STAND_INS = "import tq_velmor_host; tq_velmor_host.install()\n" + textwrap.dedent("""
    # console_titles(): the titles set so far, where the host keeps them. Our stand-in records
    # its calls; on Windows the console itself holds the title (the Windows test stage gives
    # the suite a console), so the child first sets a title of its own to tell them apart.
    import os as _os
    if _os.name == "nt":
        import ctypes as _ctypes
        _kernel32 = _ctypes.WinDLL("kernel32")
        _kernel32.GetConsoleTitleW.argtypes = [_ctypes.c_wchar_p, _ctypes.c_uint]
        _console = _kernel32.SetConsoleTitleW("tq_velmor test child")

        def console_titles():
            if not _console:
                raise RuntimeError("no console to read titles from: run the suite with a console")
            title = _ctypes.create_unicode_buffer(1024)
            _kernel32.GetConsoleTitleW(title, 1024)
            return [] if title.value == "tq_velmor test child" else [title.value]
    else:
        def console_titles():
            return list(tq_velmor_host.windll_standin.title_calls)
""")


# For a child: create and run the module from its definition under any name, the way an
# embedding host does (the import system would look for PyInit_<name> instead).
LOAD_FROM_DEFINITION = """
import ctypes, importlib.machinery, importlib.util

def load_from_definition(name="__main__", spec=None):
    path = importlib.util.find_spec("tq_velmor").origin
    init = ctypes.PyDLL(path).PyInit_tq_velmor
    init.restype = ctypes.c_void_p
    definition = init()
    api = ctypes.pythonapi
    api.PyModule_FromDefAndSpec2.restype = ctypes.py_object
    api.PyModule_FromDefAndSpec2.argtypes = [ctypes.c_void_p, ctypes.py_object, ctypes.c_int]
    api.PyModule_ExecDef.restype = ctypes.c_int
    api.PyModule_ExecDef.argtypes = [ctypes.py_object, ctypes.c_void_p]
    if spec is None:
        spec = importlib.machinery.ModuleSpec(name, None, origin=path)
    module = api.PyModule_FromDefAndSpec2(definition, spec, 1013)
    api.PyModule_ExecDef(module, definition)
    return module
"""


_VECTORCALL = ctypes.pythonapi.PyObject_Vectorcall
_VECTORCALL.restype = ctypes.py_object
# kwnames as a plain pointer, so that "no keywords" is NULL rather than None
_VECTORCALL.argtypes = [ctypes.py_object, ctypes.POINTER(ctypes.py_object), ctypes.c_size_t, ctypes.c_void_p]


def vectorcall(function, args, kwnames, kwvalues=None):
    """Call through the C API, where keyword names need not be distinct strings."""
    kwnames = tuple(kwnames)
    if kwvalues is None:
        kwvalues = [f"value{i}" for i in range(len(kwnames))]
    values = list(args) + list(kwvalues)
    stack = (ctypes.py_object * max(len(values), 1))(*values)
    return _VECTORCALL(function, stack, len(args), id(kwnames) if kwnames else None)


class Proxy:
    """A substitute module: the given attributes, everything else from the real one."""

    def __init__(self, real, **attrs):
        object.__setattr__(self, "_real", real)
        for name, value in attrs.items():
            object.__setattr__(self, name, value)

    def __getattr__(self, name):
        return getattr(self._real, name)


@pytest.fixture(autouse=True)
def build_environments(tmp_path_factory, monkeypatch):
    """The folder the build's environments go to: the test's own, never the user's cache (children
    inherit it)."""
    cache = tmp_path_factory.mktemp("cache")
    monkeypatch.setenv("XDG_CACHE_HOME", str(cache))
    monkeypatch.setenv("LOCALAPPDATA", str(cache))
    return cache


@pytest.fixture
def tqv():
    """The module, with its namespace restored after the test; its `subprocess` runs patiently."""
    namespace = vars(tq_velmor)
    saved = dict(namespace)
    tq_velmor.subprocess = Proxy(subprocess, run=patient_run)
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


def run_python(code, *, stand_ins=True, cwd=None, input_text=None, timeout=120, env=None, io_encoding=None):
    """Run `code` in a fresh interpreter; returns the CompletedProcess (text, both streams captured).

    Standard input is `input_text`, or closed when it is None. The child writes UTF-8, or, given
    `io_encoding`, what PYTHONIOENCODING=io_encoding makes of its streams (then it runs without
    -I, which would ignore that variable).
    """
    source = PATHS + ("" if io_encoding else UTF8_OUTPUT) + (STAND_INS if stand_ins else "") + textwrap.dedent(code)
    command = [sys.executable, *([] if io_encoding else ["-I"]), "-X", "faulthandler", "-c", source]
    if io_encoding:
        env = {**(os.environ if env is None else env), "PYTHONIOENCODING": io_encoding}
    stdin = {"input": input_text} if input_text is not None else {"stdin": subprocess.DEVNULL}
    return subprocess.run(command, cwd=cwd, capture_output=True, text=True, encoding=io_encoding or "utf-8",
                          timeout=timeout, env=env, **stdin)


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
