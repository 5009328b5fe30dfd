"""Random mixes of positional and keyword arguments for the nine callables.

Every call either binds as Python binds the same signature, and the body then receives exactly
those values, or raises TypeError with the text of the argument rules, without running anything.
Keyword names include unknown ones, str subclasses, non-strings and repeats; the last two go
through the C API, as no Python call syntax can send them.

Examples: TQ_VELMOR_FUZZ=ci (default, 225 per callable) or TQ_VELMOR_FUZZ=long.
"""

import contextlib
import inspect
import io
import os
import re
import subprocess
import sys

import pytest
from hypothesis import HealthCheck, event, given, settings
from hypothesis import strategies as st

from conftest import Proxy, vectorcall

_COMMON = dict(deadline=None, database=None, print_blob=True,
               suppress_health_check=[HealthCheck.function_scoped_fixture, HealthCheck.too_slow])
settings.register_profile("tq_velmor-ci", max_examples=225, **_COMMON)
settings.register_profile("tq_velmor-long", max_examples=25_000, **_COMMON)
PROFILE = settings.get_profile("tq_velmor-" + os.environ.get("TQ_VELMOR_FUZZ", "ci"))


# The signatures as Python would declare them.
def get_path(relative_path): ...
def tq_refresh(status_msg, progress=0): ...
def run_silent(cmd, cwd=None, env=None): ...
def validar_python(path): ...
def encontrar_python_real(): ...
def setup_upx(): ...
def cleanup(): ...
def arreglar_ruta_metadatos(repo_dir): ...
def main(): ...


SIGNATURES = {f.__name__: inspect.signature(f) for f in (
    get_path, tq_refresh, run_silent, validar_python, encontrar_python_real, setup_upx, cleanup,
    arreglar_ruta_metadatos, main)}


def rule_error(name, nargs, keys):
    """The TypeError text the argument rules give for this call, or None when it binds."""
    parameters = list(SIGNATURES[name].parameters.values())
    names = [p.name for p in parameters]
    count = len(parameters)
    required = sum(p.default is inspect.Parameter.empty for p in parameters)
    if count == 0:
        if keys:
            return f"{name}() takes no keyword arguments"
        return f"{name}() takes no arguments ({nargs} given)" if nargs else None

    def wrong_count(bound, expected):
        return f"{name}() takes {bound} {expected} positional argument{'' if expected == 1 else 's'} ({nargs} given)"

    exact = required == count
    if nargs > count:
        return wrong_count("exactly" if exact else "at most", count)
    for missing in names[nargs:required]:
        if not any(isinstance(key, str) and str.__eq__(key, missing) for key in keys):
            return wrong_count("exactly" if exact else "at least", required)
    taken = set(range(nargs))
    for key in keys:
        index = next((i for i, n in enumerate(names) if isinstance(key, str) and str.__eq__(key, n)), None)
        if index is None and not isinstance(key, str):
            return f"{name}() keywords must be strings"
        if index is None:
            return f"{name}() got an unexpected keyword argument '{str.__str__(key)}'"
        if index in taken:
            return f"{name}() got multiple values for keyword argument '{str.__str__(key)}'"
        taken.add(index)
    return None


class Entered(BaseException):
    """main's first step was reached (a BaseException, so that main's handler lets it through)."""


ANSI = re.compile(r"\x1b\[[0-9;]*m")


def refresh_received(output):
    """What tq_refresh printed for its two parameters (the values are integers)."""
    text = ANSI.sub("", output)
    status = re.search(r"\[ FASE \]: (-?\d+)\n", text)
    progress = re.search(r" (-?\d+)%\n", text)
    return {"status_msg": int(status.group(1)), "progress": int(progress.group(1))}


def observe(tqv, name, log):
    """Substitute what the body of `name` touches first, so that it records what it received and
    stops there: no console, no process, no download, no file."""
    def record(received, result=None):
        return lambda *args, **kwargs: log.append(received(*args, **kwargs)) or result

    def os_path(**functions):
        return Proxy(os, system=lambda command: 0, path=Proxy(os.path, **functions))

    if name == "get_path":
        def join(base, relative_path):
            log.append({"relative_path": relative_path})
            return relative_path
        tqv.os = os_path(join=join)
    elif name == "tq_refresh":
        tqv.os = os_path()
    elif name == "run_silent":
        received = record(lambda cmd, **kw: {"cmd": cmd, "cwd": kw["cwd"], "env": kw["env"]})
        tqv.subprocess = Proxy(subprocess, run=received)
    elif name == "validar_python":
        tqv.os = os_path(exists=record(lambda path: {"path": path}, False))
    elif name == "arreglar_ruta_metadatos":
        tqv.os = os_path(join=record(lambda repo_dir, *parts: {"repo_dir": repo_dir}, "nowhere"),
                         exists=lambda path: False)
    elif name == "encontrar_python_real":
        tqv.validar_python = record(lambda path: {}, True)
    elif name == "setup_upx":
        tqv.os = os_path(exists=record(lambda path: {}, True))
    elif name == "cleanup":
        tqv.os = os_path(exists=record(lambda path: {}, False))
    elif name == "main":
        def first_step():
            log.append({})
            raise Entered
        tqv.encontrar_python_real = first_step


def outcome_when_bound(name, arguments):
    """What the call returns once its body ran on the substitutes above."""
    return {"get_path": ("returned", arguments.get("relative_path")), "validar_python": ("returned", False),
            "arreglar_ruta_metadatos": ("returned", False), "encontrar_python_real": ("returned", sys.executable),
            "setup_upx": ("returned", True), "main": ("entered", None)}.get(name, ("returned", None))


class Name(str):
    """A keyword name that is a str subclass: compared by its text."""


def keys_for(name):
    parameters = list(SIGNATURES[name].parameters)
    valid = st.sampled_from(parameters) if parameters else st.nothing()
    near_misses = st.sampled_from(["", "ruta", "Cmd", "cmd ", "progres", "relative-path", "páth", "\udc80"])
    non_strings = st.one_of(st.integers(), st.binary(max_size=3), st.none(), valid.map(str.encode),
                            st.builds(object))
    return st.one_of(valid, valid, valid.map(Name), st.text(max_size=5), near_misses, non_strings)


@st.composite
def binding_calls(draw, name):
    """A call that binds: some parameters by position, the required rest and any others by keyword."""
    parameters = list(SIGNATURES[name].parameters.values())
    nargs = draw(st.integers(0, len(parameters)))
    rest = parameters[nargs:]
    keys = [p.name for p in rest if p.default is inspect.Parameter.empty]
    keys += draw(st.lists(st.sampled_from([p.name for p in rest if p.name not in keys] or [None]), unique=True))
    keys = [key for key in draw(st.permutations(keys)) if key is not None]
    return nargs, [Name(key) if draw(st.booleans()) else key for key in keys]


@st.composite
def calls(draw, name):
    """(number of positional arguments, keyword names, whether to go through the C API)

    Half start from a call that binds and get up to two faults (an extra positional argument, a
    keyword dropped, any keyword inserted); half are any mix at all.
    """
    count = len(SIGNATURES[name].parameters)
    if draw(st.booleans()):
        nargs, keys = draw(binding_calls(name))
        for fault in draw(st.lists(st.sampled_from(["positional", "drop", "insert"]), max_size=2)):
            if fault == "positional":
                nargs += 1
            elif fault == "drop" and keys:
                del keys[draw(st.integers(0, len(keys) - 1))]
            elif fault == "insert":
                keys.insert(draw(st.integers(0, len(keys))), draw(keys_for(name)))
    else:
        nargs = draw(st.integers(0, count + 2))
        keys = draw(st.lists(keys_for(name), max_size=count + 2))
    return nargs, keys, draw(st.booleans())


KINDS = r"no keyword|no arguments|exactly|at most|at least|must be strings|unexpected|multiple"


def expressible(keys):
    """Whether Python call syntax can send these keywords: distinct strings."""
    return all(isinstance(key, str) for key in keys) and len(set(keys)) == len(keys)


@pytest.fixture
def namespace(tqv, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    return tqv


@pytest.mark.parametrize("name", SIGNATURES)
@settings(PROFILE)
@given(data=st.data())
def test_calls_bind_as_python_does_or_raise_the_rule_text(namespace, name, data):
    nargs, keys, through_c_api = data.draw(calls(name))
    args = [1000 + i for i in range(nargs)]
    values = [2000 + i for i in range(len(keys))]
    log = []
    observe(namespace, name, log)
    function = getattr(namespace, name)

    output = io.StringIO()
    with contextlib.redirect_stdout(output):
        try:
            if expressible(keys) and not through_c_api:
                outcome = ("returned", function(*args, **dict(zip(keys, values))))
            else:
                outcome = ("returned", vectorcall(function, args, keys, values))
        except TypeError as error:
            outcome = ("TypeError", str(error))
        except Entered:
            outcome = ("entered", None)

    expected_error = rule_error(name, nargs, keys)
    if expressible(keys):
        # The rules refuse exactly the calls Python itself refuses.
        try:
            bound = SIGNATURES[name].bind(*args, **dict(zip(keys, values)))
        except TypeError:
            bound = None
        assert (bound is None) == (expected_error is not None)
    if expected_error is not None:
        event("TypeError: " + re.search(KINDS, expected_error).group(0))
        assert outcome == ("TypeError", expected_error)
        assert log == [] and output.getvalue() == ""
        return

    event("bound")
    assert expressible(keys)
    bound.apply_defaults()
    received = refresh_received(output.getvalue()) if name == "tq_refresh" else log[0]
    assert received == dict(bound.arguments)
    assert outcome == outcome_when_bound(name, bound.arguments)
