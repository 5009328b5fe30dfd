"""run_silent: output hidden, a non-zero exit turned into "Fallo en: ...", every other error as raised."""

import os
import subprocess
import sys
import tracemalloc

import pytest

from conftest import Proxy
from programs import program


def tool(tmp_path, stderr, exit_code):
    """A program that writes `stderr` to its error output and exits with `exit_code`."""
    return program(tmp_path / "tool",
                   f"print('ignored')\n_sys.stderr.write({stderr!r})\nraise SystemExit({exit_code})\n")


class Command(list):
    pass


@pytest.mark.parametrize("shape, label", [
    (lambda p: [p, "--flag"], lambda p: p),
    (lambda p: Command([p, "--flag"]), lambda p: p),
    (lambda p: p, lambda p: p),  # a string is the label whole, not its first character
    (lambda p: (p, "--flag"), lambda p: str((p, "--flag"))),
], ids=["list", "list subclass", "str", "tuple"])
@pytest.mark.parametrize("stderr, detail", [
    ("Traceback ...\nError: boom\n", "Traceback ...\nError: boom\n"),
    ("\n", "\n"),  # only whitespace is still a detail
    ("", "Error desconocido"),
])
def test_failure_text(tqv, tmp_path, capfd, shape, label, stderr, detail):
    path = tool(tmp_path, stderr, 3)
    with pytest.raises(Exception) as info:
        tqv.run_silent(shape(path))
    error = info.value
    assert type(error) is Exception
    assert error.args == (f"Fallo en: {label(path)}\nDetalle: {detail}",)
    assert isinstance(error.__context__, subprocess.CalledProcessError) and error.__cause__ is None
    assert error.__context__.returncode == 3
    assert capfd.readouterr() == ("", "")


def test_success_discards_everything(tqv, tmp_path, capfd):
    assert tqv.run_silent([tool(tmp_path, "warning: deprecated\n", 0)]) is None
    assert capfd.readouterr() == ("", "")


def test_large_output_is_neither_shown_nor_held(tqv, capfd):
    writer = [sys.executable, "-S", "-c", "import sys\nfor _ in range(64): sys.stdout.write('x' * (1 << 20))"]
    tracemalloc.start()
    try:
        tqv.run_silent(writer)
        peak = tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()
    assert peak < (1 << 20)  # 64 MiB written, well under one held
    assert capfd.readouterr() == ("", "")


@pytest.mark.parametrize("call", [
    lambda f, cmd, cwd, env: f(cmd, cwd, env),
    lambda f, cmd, cwd, env: f(cmd, cwd=cwd, env=env),
    lambda f, cmd, cwd, env: f(env=env, cmd=cmd, cwd=cwd),
], ids=["positional", "keywords", "all keywords, reordered"])
def test_call_made(tqv, tmp_path, call):
    calls = []

    def run(*args, **kwargs):
        calls.append((args, list(kwargs.items())))
        return subprocess.run(*args, **kwargs)

    tqv.subprocess = Proxy(subprocess, run=run)
    # The child proves it got the working folder and the environment.
    cmd = [sys.executable, "-S", "-c", "import os, sys; sys.exit(os.environ['TQV'] != os.path.basename(os.getcwd()))"]
    env = {"TQV": tmp_path.name}
    assert call(tqv.run_silent, cmd, str(tmp_path), env) is None
    assert calls == [((cmd,), [("cwd", str(tmp_path)), ("env", env), ("check", True),
                               ("stdout", subprocess.DEVNULL), ("stderr", subprocess.PIPE), ("text", True)])]


def test_defaults_are_none(tqv):
    calls = []
    tqv.subprocess = Proxy(subprocess, run=lambda cmd, **kwargs: calls.append(kwargs))
    tqv.run_silent(["python.exe"])
    assert calls[0]["cwd"] is None and calls[0]["env"] is None


@pytest.mark.parametrize("error", [KeyboardInterrupt(), ValueError("bad"), subprocess.TimeoutExpired("x", 1)])
def test_other_errors_leave_unchanged(tqv, error):
    def run(*args, **kwargs):
        raise error

    tqv.subprocess = Proxy(subprocess, run=run)
    with pytest.raises(BaseException) as info:
        tqv.run_silent(["python.exe"])
    assert info.value is error and info.value.__context__ is None


@pytest.mark.parametrize("cmd, cwd, error", [
    (lambda tmp: [str(tmp / "missing")], None, FileNotFoundError),
    # Windows refuses a missing working folder as "directory name invalid" (ERROR_DIRECTORY).
    (lambda tmp: [sys.executable, "--version"], lambda tmp: str(tmp / "missing"),
     NotADirectoryError if os.name == "nt" else FileNotFoundError),
], ids=["missing program", "missing folder"])
def test_start_failures_leave_unchanged(tqv, tmp_path, cmd, cwd, error):
    with pytest.raises(error):
        tqv.run_silent(cmd(tmp_path), cwd and cwd(tmp_path))
