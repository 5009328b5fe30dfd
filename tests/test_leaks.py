"""Repeated calls on success and error paths leave no objects and no references behind."""

import contextlib
import gc
import hashlib
import io
import os
import shutil
import subprocess
import sys
import time
import tracemalloc
import zipfile
from types import SimpleNamespace

import pytest

import tq_velmor_host
from conftest import Proxy, vectorcall

ROUNDS = 1000
SLOW_ROUNDS = 400  # for calls that write files
WARM_UP = 200
# Bytes per round: a leak of even the smallest object (16 bytes) on every call grows by more.
ALLOWED_PER_ROUND = 12
# With the system allocator (the sanitizer run sets PYTHONMALLOC=malloc) tracemalloc shows growth
# that is not there: some blocks the interpreter frees escape it, and their stale traces linger
# when addresses are not reused at once (under ASan, never). Then only references are compared.
GROWTH_MEASURABLE = not os.environ.get("PYTHONMALLOC", "").startswith("malloc")


def growth(call, rounds):
    """Bytes per round still allocated after `rounds` more calls, once warmed up.

    Two windows, the smaller counts: a leak grows both, while the interpreter's own caches and
    free lists settle in the first.
    """
    # Objects older than the test are frozen: the collections then look only at what the calls made.
    gc.freeze()
    try:
        for _ in range(WARM_UP):
            call()
        gc.collect()
        tracemalloc.start()
        windows = []
        for _ in range(2):
            before = tracemalloc.get_traced_memory()[0]
            for _ in range(rounds):
                call()
            gc.collect()
            windows.append(tracemalloc.get_traced_memory()[0] - before)
        return min(windows) / rounds
    finally:
        tracemalloc.stop()
        gc.unfreeze()


def fresh(text):
    """An equal string that is not the interned one, so its own reference count can be watched.

    (One-character strings are shared singletons whatever one does.)
    """
    assert len(text) > 1
    return (text + "!")[:-1]


class Key:
    """A keyword name that is not a string."""


class Fake:
    """A substitute callable that counts its calls, then returns `result` or raises a new `raises()`.

    A `needed` one must be reached, which shows that the path measured is the one named.
    """

    def __init__(self, result=None, raises=None, needed=True):
        self.result, self.raises, self.needed, self.calls = result, raises, needed, 0

    def __call__(self, *args, **kwargs):
        self.calls += 1
        if self.raises is not None:
            raise self.raises()
        return self.result


class Case:
    """One call of a public callable: its arguments, what the namespace holds, what must come out.

    `kwnames` sends keyword names through the C API (non-strings, repeats); `prepare` runs before
    every call.
    """

    def __init__(self, function, *args, kwargs=None, kwnames=None, subs=None, delete=(), raises=None, match=None,
                 returns=None, prepare=None, slow=False):
        self.function, self.args, self.kwargs, self.kwnames = function, args, dict(kwargs or {}), kwnames
        self.rounds = SLOW_ROUNDS if slow else ROUNDS
        self.kwvalues = [[i] for i in range(len(kwnames or ()))]
        self.subs, self.delete, self.prepare = dict(subs or {}), delete, prepare
        self.raises, self.match, self.returns = raises, match, returns

    def invoke(self, function):
        if self.prepare is not None:
            self.prepare()
        if self.kwnames is not None:
            return vectorcall(function, self.args, self.kwnames, self.kwvalues)
        return function(*self.args, **self.kwargs)

    def caller(self, function):
        """The call repeated by the rounds; an expected exception is swallowed, its absence is not."""
        if self.raises is None:
            return lambda: self.invoke(function)

        def call():
            try:
                self.invoke(function)
            except self.raises:
                pass
            else:
                raise AssertionError(f"{self.function} did not raise {self.raises.__name__}")
        return call

    def substitutes(self):
        """The substitutes and every Fake, Proxy and namespace inside them."""
        found, pending = [], list(self.subs.values())
        while pending:
            item = pending.pop()
            if isinstance(item, (Fake, Proxy, SimpleNamespace)):
                found.append(item)
                pending += [v for k, v in vars(item).items() if k != "_real"]
        return found

    def watched(self):
        """Everything the call was handed whose reference count is its own (no shared small values)."""
        results = [item.result for item in self.substitutes() if isinstance(item, Fake)]
        objects = [*self.args, *self.kwargs, *self.kwargs.values(), *(self.kwnames or ()), *self.kwvalues,
                   *self.substitutes(), *results]
        return [item for item in objects if not (item is None or isinstance(item, (bool, int)))]


# --- the argument rules, every TypeError for every callable ------------------------------------------------

PARAMETERS = {"get_path": ("relative_path",), "tq_refresh": ("status_msg", "progress"),
              "run_silent": ("cmd", "cwd", "env"), "validar_python": ("path",),
              "arreglar_ruta_metadatos": ("repo_dir",), "encontrar_python_real": (), "setup_upx": (), "cleanup": (),
              "main": ()}


def argument_errors():
    for name, parameters in PARAMETERS.items():
        def case(*args, id, match, name=name, **kwargs):
            return pytest.param(lambda: Case(name, *args, raises=TypeError, match=match, **kwargs), id=f"{name}-{id}")
        if not parameters:
            yield case(kwargs={fresh("extra"): []}, id="keyword", match=r"takes no keyword arguments")
            yield case([], id="positional", match=r"takes no arguments \(1 given\)")
            yield case(kwnames=(Key(),), id="non-string keyword", match=r"takes no keyword arguments")
            continue
        first, count = parameters[0], len(parameters)
        yield case(*[[i] for i in range(count + 1)], id="too many positional",
                   match=rf"takes (exactly|at most) {count} positional argument")
        optional = {fresh(parameters[-1]): []} if count > 1 else {}
        yield case(kwargs=optional, id="missing required",
                   match=r"takes (exactly|at least) 1 positional argument \(0 given\)")
        yield case([], kwargs={fresh("ruta"): []}, id="unexpected keyword",
                   match=r"unexpected keyword argument 'ruta'")
        yield case([], kwargs={fresh(first): []}, id="given twice",
                   match=rf"multiple values for keyword argument '{first}'")
        yield case(kwnames=(fresh(first), fresh(first)), id="repeated keyword", match=rf"multiple values .* '{first}'")
        yield case([], kwnames=(Key(),), id="non-string keyword", match=r"keywords must be strings")


# --- success and failure paths, with the module's globals substituted ---------------------------------------


class Completed:
    returncode = 0


def called_process_error(stderr="boom\n"):
    return lambda: subprocess.CalledProcessError(1, ["p"], stderr=stderr)


def os_with(**functions):
    """os with the given functions of os and os.path substituted (os.system always: no real clear)."""
    own = {"system": Fake(0, needed=False)}
    own.update({name: functions.pop(name) for name in ("system", "remove", "environ") if name in functions})
    return Proxy(os, **own, path=Proxy(os.path, **functions))


def upx_zip(members):
    buffer = io.BytesIO()
    with zipfile.ZipFile(buffer, "w") as archive:
        for name, data in members.items():
            archive.writestr(name, data)
    return buffer.getvalue()


def upx_download(members, digest=None, **subs):
    """setup_upx's download of an archive of `members`: written as "upx.zip" before every call, with
    TQ_VELMOR_UPX_SHA256 naming its digest (or `digest`); keyword arguments of a Case, `subs` added."""
    data = upx_zip(members)
    # os.environ.get answers with the digest, a string whose references are watched
    environ = SimpleNamespace(get=Fake(digest or hashlib.sha256(data).hexdigest()))

    def prepare():
        with open("upx.zip", "wb") as f:
            f.write(data)

    subs = {"os": os_with(exists=Fake(False), environ=environ), "urllib": download(), **subs}
    return {"prepare": prepare, "subs": subs}


def download(raises=None, needed=True):
    return SimpleNamespace(request=SimpleNamespace(urlretrieve=Fake(raises=raises, needed=needed)))


def write_bundler():
    os.makedirs("repo/bundle", exist_ok=True)
    with open("repo/bundle/pyinstaller.py", "w", encoding="utf-8") as f:
        f.write("set_version_info(final_file, version)\n")


class Extracted:
    """What zipfile.ZipFile returns for the source archive: a context manager that extracts nothing."""

    def __init__(self, name, mode):
        pass

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        return False

    def extractall(self, path):
        pass


def pipeline(**overrides):
    """Substitutes for a whole main run that reaches the size report without a real step.

    Only the overrides must be reached.
    """
    def fake(result=None):
        return Fake(result, needed=False)
    subs = {"encontrar_python_real": fake("py"), "cleanup": fake(), "setup_upx": fake(True),
            "arreglar_ruta_metadatos": fake(True), "run_silent": fake(), "urllib": download(needed=False),
            "zipfile": Proxy(zipfile, ZipFile=Extracted),
            "os": Proxy(os, system=fake(0), remove=fake(), replace=fake(),
                        path=Proxy(os.path, exists=fake(True), getsize=fake(3 << 20))),
            "shutil": Proxy(shutil, move=fake()), "time": Proxy(time, sleep=fake())}
    subs.update(overrides)
    return subs


def undiscoverable(**winreg_functions):
    """Discovery with nothing to find: frozen, no PATH hit, the registry as given."""
    return {"sys": Proxy(sys, frozen=True), "shutil": Proxy(shutil, which=Fake(None)),
            "winreg": Proxy(tq_velmor_host.winreg_standin, **winreg_functions)}


NO_PYTHON = r"No se encontró Python instalado"


def Main(**kwargs):
    return Case("main", **kwargs)


P = pytest.param

PATHS = [
    P(lambda: Case("get_path", fresh("upx.exe"), returns=os.path.join(os.getcwd(), "upx.exe")), id="get_path"),
    P(lambda: Case("get_path", kwargs={fresh("relative_path"): fresh("upx.exe")},
                   subs={"sys": Proxy(sys, frozen=True, _MEIPASS=fresh("/bundle"))},
                   returns=os.path.join("/bundle", "upx.exe")),
      id="get_path-frozen"),
    P(lambda: Case("get_path", b"x", raises=TypeError), id="get_path-bytes"),
    P(lambda: Case("get_path", fresh("xy"), subs={"os": os_with(join=Fake(raises=OSError))}, raises=OSError),
      id="get_path-os-error"),
    P(lambda: Case("get_path", fresh("xy"), delete=("os",), raises=NameError, match="'os'"), id="get_path-name-error"),

    P(lambda: Case("tq_refresh", fresh("fase"), 45), id="tq_refresh"),
    P(lambda: Case("tq_refresh", kwargs={fresh("status_msg"): fresh("fase")}), id="tq_refresh-default"),
    P(lambda: Case("tq_refresh", fresh("fase"), fresh("xy"), raises=TypeError), id="tq_refresh-text-progress"),
    P(lambda: Case("tq_refresh", fresh("fase"), subs={"os": os_with(system=Fake(raises=OSError))}, raises=OSError),
      id="tq_refresh-os-error"),
    P(lambda: Case("tq_refresh", fresh("fase"), delete=("TQ_Theme",), raises=NameError, match="'TQ_Theme'"),
      id="tq_refresh-name-error"),

    P(lambda: Case("run_silent", [fresh("prog"), fresh("arg")], kwargs={fresh("cwd"): fresh("here")},
                   subs={"subprocess": Proxy(subprocess, run=Fake(Completed()))}), id="run_silent"),
    P(lambda: Case("run_silent", kwargs={fresh("env"): {}, fresh("cwd"): fresh("here"), fresh("cmd"): [fresh("prog")]},
                   subs={"subprocess": Proxy(subprocess, run=Fake(Completed()))}), id="run_silent-keywords"),
    P(lambda: Case("run_silent", [fresh("prog"), fresh("arg")], fresh("here"), {"A": "1"}, raises=Exception,
                   match="^Fallo en: prog\nDetalle: boom\n$",
                   subs={"subprocess": Proxy(subprocess, run=Fake(raises=called_process_error()))}),
      id="run_silent-failed-list"),
    P(lambda: Case("run_silent", (fresh("prog"), fresh("arg")), raises=Exception,
                   match=r"^Fallo en: \('prog', 'arg'\)\n",
                   subs={"subprocess": Proxy(subprocess, run=Fake(raises=called_process_error()))}),
      id="run_silent-failed-tuple"),
    P(lambda: Case("run_silent", [fresh("prog")], raises=Exception, match="Error desconocido",
                   subs={"subprocess": Proxy(subprocess, run=Fake(raises=called_process_error(None)))}),
      id="run_silent-failed-no-stderr"),
    P(lambda: Case("run_silent", [], raises=IndexError,
                   subs={"subprocess": Proxy(subprocess, run=Fake(raises=called_process_error()))}),
      id="run_silent-failed-empty-command"),
    P(lambda: Case("run_silent", [fresh("prog")], raises=FileNotFoundError,
                   subs={"subprocess": Proxy(subprocess, run=Fake(raises=FileNotFoundError))}),
      id="run_silent-not-found"),
    P(lambda: Case("run_silent", fresh("prog"), raises=KeyboardInterrupt,
                   subs={"subprocess": Proxy(subprocess, run=Fake(raises=KeyboardInterrupt))}),
      id="run_silent-interrupted"),
    P(lambda: Case("run_silent", [fresh("prog")], delete=("subprocess",), raises=NameError, match="'subprocess'"),
      id="run_silent-name-error"),

    P(lambda: Case("validar_python", None, returns=False), id="validar_python-none"),
    P(lambda: Case("validar_python", fresh("/no/such"), returns=False), id="validar_python-missing"),
    P(lambda: Case("validar_python", sys.executable, returns=True,
                   subs={"subprocess": Proxy(subprocess, run=Fake(Completed()))}), id="validar_python"),
    P(lambda: Case("validar_python", sys.executable, returns=False,
                   subs={"subprocess": Proxy(subprocess, run=Fake(raises=KeyboardInterrupt))}),
      id="validar_python-interrupted"),
    P(lambda: Case("validar_python", sys.executable, returns=False,
                   subs={"subprocess": Proxy(subprocess, run=Fake(raises=PermissionError))}),
      id="validar_python-os-error"),
    P(lambda: Case("validar_python", 5, subs={"os": os_with(exists=Fake(True))}, raises=TypeError),
      id="validar_python-not-text"),
    P(lambda: Case("validar_python", fresh("xy"), subs={"os": os_with(exists=Fake(raises=RuntimeError))},
                   raises=RuntimeError), id="validar_python-exists-error"),
    P(lambda: Case("validar_python", fresh("xy"), delete=("os",), raises=NameError, match="'os'"),
      id="validar_python-name-error"),

    P(lambda: Case("encontrar_python_real", subs={"validar_python": Fake(True)}, returns=sys.executable),
      id="encontrar_python_real"),
    P(lambda: Case("encontrar_python_real", subs=undiscoverable(), raises=Exception, match=NO_PYTHON),
      id="encontrar_python_real-nothing"),
    P(lambda: Case("encontrar_python_real", subs=undiscoverable(OpenKey=Fake(raises=PermissionError)),
                   raises=Exception, match=NO_PYTHON), id="encontrar_python_real-registry-closed"),
    P(lambda: Case("encontrar_python_real", subs=undiscoverable(QueryValueEx=Fake(5)), raises=Exception,
                   match=NO_PYTHON), id="encontrar_python_real-registry-value-not-a-pair"),
    P(lambda: Case("encontrar_python_real", subs=undiscoverable(EnumKey=Fake(raises=KeyboardInterrupt)),
                   raises=Exception, match=NO_PYTHON), id="encontrar_python_real-registry-interrupted"),
    P(lambda: Case("encontrar_python_real", delete=("sys",), raises=NameError, match="'sys'"),
      id="encontrar_python_real-name-error"),

    P(lambda: Case("setup_upx", subs={"os": os_with(exists=Fake(True))}, returns=True), id="setup_upx-present"),
    P(lambda: Case("setup_upx", returns=True, slow=True, **upx_download({"upx-4.2.2-win64/upx.exe": b"MZ" * 100})),
      id="setup_upx-downloaded"),
    P(lambda: Case("setup_upx", returns=False, slow=True, **upx_download({"README": b""})), id="setup_upx-no-member"),
    P(lambda: Case("setup_upx", returns=False, slow=True, **upx_download({"upx.exe": b"MZ"}, digest="0" * 64)),
      id="setup_upx-other-digest"),
    P(lambda: Case("setup_upx", returns=False, subs={"os": os_with(exists=Fake(False)), "urllib": download(OSError)}),
      id="setup_upx-download-error"),
    P(lambda: Case("setup_upx", returns=False, slow=True, **upx_download(
        {}, zipfile=Proxy(zipfile, ZipFile=Fake(raises=zipfile.BadZipFile)))), id="setup_upx-zip-error"),
    P(lambda: Case("setup_upx", returns=False, subs={"os": os_with(exists=Fake(False)), "urllib": download()}),
      id="setup_upx-archive-missing"),  # the download wrote nothing: the digest's open fails
    P(lambda: Case("setup_upx", delete=("os",), raises=NameError, match="'os'"), id="setup_upx-name-error"),

    P(lambda: Case("cleanup"), id="cleanup"),
    P(lambda: Case("cleanup", subs={"os": os_with(exists=Fake(True), remove=Fake(raises=PermissionError)),
                                    "shutil": Proxy(shutil, rmtree=Fake(raises=OSError))}),
      id="cleanup-removal-errors"),
    P(lambda: Case("cleanup", subs={"os": os_with(exists=Fake(raises=RuntimeError))}, raises=RuntimeError),
      id="cleanup-exists-error"),
    P(lambda: Case("cleanup", delete=("os",), raises=NameError, match="'os'"), id="cleanup-name-error"),

    P(lambda: Case("arreglar_ruta_metadatos", fresh("missing"), returns=False), id="arreglar_ruta_metadatos-missing"),
    P(lambda: Case("arreglar_ruta_metadatos", fresh("repo"), prepare=write_bundler, returns=True, slow=True),
      id="arreglar_ruta_metadatos"),
    P(lambda: Case("arreglar_ruta_metadatos", 5, raises=TypeError), id="arreglar_ruta_metadatos-not-text"),
    P(lambda: Case("arreglar_ruta_metadatos", fresh("repo"), subs={"os": os_with(join=Fake(raises=ValueError))},
                   raises=ValueError), id="arreglar_ruta_metadatos-os-error"),
    P(lambda: Case("arreglar_ruta_metadatos", fresh("repo"), delete=("os",), raises=NameError, match="'os'"),
      id="arreglar_ruta_metadatos-name-error"),

    P(lambda: Main(subs=pipeline(time=Proxy(time, sleep=Fake()))), id="main"),
    P(lambda: Main(subs=pipeline(os=os_with(exists=Fake(False)))), id="main-no-executable"),
    P(lambda: Main(subs=pipeline(encontrar_python_real=Fake(raises=lambda: Exception("x")))),
      id="main-discovery-failed"),
    P(lambda: Main(subs=pipeline(urllib=download(OSError))), id="main-download-error"),
    P(lambda: Main(subs=pipeline(zipfile=Proxy(zipfile, ZipFile=Fake(raises=zipfile.BadZipFile)))),
      id="main-zip-error"),
    P(lambda: Main(subs=pipeline(run_silent=Fake(raises=lambda: Exception("Fallo en: py")))),
      id="main-command-failed"),
    # The new executable cannot be moved in: the earlier one is put back, the failure says where.
    P(lambda: Main(subs=pipeline(shutil=Proxy(shutil, move=Fake(raises=OSError)))), id="main-move-failed"),
    P(lambda: Main(subs=pipeline(encontrar_python_real=Fake(raises=KeyboardInterrupt)),
                   raises=KeyboardInterrupt), id="main-interrupted"),
    P(lambda: Main(subs=pipeline(), delete=("encontrar_python_real",)), id="main-name-error"),
    P(lambda: Main(subs=pipeline(), delete=("encontrar_python_real", "TQ_Theme"), raises=NameError,
                   match="'TQ_Theme'"), id="main-name-error-in-handler"),
]


class Lines:
    """Standard input that always has another empty line."""

    def readline(self, *size):
        return "\n"


class Discard:
    """Standard output that keeps nothing (a file's buffers would show as growth)."""

    def write(self, text):
        return len(text)

    def flush(self):
        pass


@pytest.fixture
def substitutes(tqv, tmp_path, monkeypatch, registry):
    monkeypatch.chdir(tmp_path)
    tqv.os = Proxy(os, system=lambda command: 0)
    registry.set_value(registry.HKEY_CURRENT_USER, r"SOFTWARE\Python\PythonCore\3.11\InstallPath", "/no/such")
    return tqv


@contextlib.contextmanager
def console():
    """Output discarded, endless empty lines in. Set inside the test itself: pytest puts its own
    capture back into sys.stdout when a test's call begins."""
    saved = sys.stdin
    with contextlib.redirect_stdout(Discard()):
        sys.stdin = Lines()
        try:
            yield
        finally:
            sys.stdin = saved


def first_outcome(case, function):
    """The case's outcome, checked once outside the measured rounds."""
    if case.raises is not None:
        with pytest.raises(case.raises, match=case.match):
            case.invoke(function)
        return
    result = case.invoke(function)
    if case.returns is not None:
        assert result == case.returns


@pytest.mark.parametrize("make", [*argument_errors(), *PATHS])
def test_no_growth_and_no_references_kept(substitutes, make):
    tqv, case = substitutes, make()
    for name, value in case.subs.items():
        setattr(tqv, name, value)
    for name in case.delete:
        delattr(tqv, name)
    watched = case.watched()
    held = [sys.getrefcount(item) for item in watched]

    function = getattr(tqv, case.function)
    with console():
        first_outcome(case, function)
        per_round = growth(case.caller(function), case.rounds)
    if GROWTH_MEASURABLE:
        assert per_round < ALLOWED_PER_ROUND
    assert [sys.getrefcount(item) for item in watched] == held
    missed = [vars(fake) for fake in case.substitutes() if isinstance(fake, Fake) and fake.needed and not fake.calls]
    assert not missed
