"""The colour theme, the banner and the status screen, compared character for character."""

import builtins
import os
import subprocess
import sys
import textwrap

import pytest

from conftest import PATHS, STAND_INS, Proxy
from programs import CLEAR_COMMAND

ESC = "\x1b"
CYAN, PURPLE, GREEN = ESC + "[38;5;51m", ESC + "[38;5;141m", ESC + "[38;5;82m"
GOLD, RED, BOLD, RESET = ESC + "[38;5;220m", ESC + "[38;5;196m", ESC + "[1m", ESC + "[0m"
TITLE = "    >> ONE CLICK YT-DLP BUILDER - ZELK DIGITAL - KORVANE << "
RULE = "=" * 63
BANNER = "\n" + PURPLE + RULE + RESET + "\n" + CYAN + TITLE + RESET


def screen(message, shown, filled, empty, green=GREEN, cyan=CYAN):
    """What the status screen prints, from the number of filled and empty cells."""
    bar = (green + "\u2588" + RESET) * filled + (PURPLE + "\u2591" + RESET) * empty
    return (BANNER + "\n"
            + PURPLE + RULE + RESET + "\n\n"
            + " " + BOLD + GOLD + "[ FASE ]:" + RESET + " " + cyan + message + RESET + "\n\n"
            + " " + bar + " " + BOLD + shown + "%" + RESET + "\n\n")


def test_theme_class(tqv):
    theme = tqv.TQ_Theme
    assert type(theme) is type and theme.__bases__ == (object,)
    assert (theme.__module__, theme.__qualname__, theme.__name__, theme.__doc__) == (
        "tq_velmor", "TQ_Theme", "TQ_Theme", None)
    own = [name for name in vars(theme) if not name.startswith("__")]
    assert own == ["CYAN", "PURPLE", "GREEN", "GOLD", "RED", "BOLD", "RESET", "BANNER"]
    assert [getattr(theme, n) for n in own[:-1]] == [CYAN, PURPLE, GREEN, GOLD, RED, BOLD, RESET]
    assert theme.BANNER == BANNER and len(theme.BANNER) == 154


def test_theme_is_settable_and_banner_is_fixed_at_start_up(tqv, monkeypatch):
    monkeypatch.setattr(tqv.TQ_Theme, "PURPLE", "<p>")
    monkeypatch.setattr(tqv.TQ_Theme, "CYAN", "<c>")
    assert tqv.TQ_Theme.PURPLE == "<p>" and tqv.TQ_Theme.BANNER == BANNER


@pytest.mark.parametrize("progress, filled", [
    (0, 0), (10, 3), (25, 8), (45, 15), (60, 21), (80, 28), (95, 33), (99, 34), (100, 35),
    (150, 52), (-10, -4), (50.5, 17), (True, 0), (45.0, 15),
])
def test_bar_cells(tqv, quiet_console, capsys, progress, filled):
    assert tqv.tq_refresh("Fase", progress) is None
    assert capsys.readouterr().out == screen("Fase", str(progress), max(filled, 0), max(35 - filled, 0))
    assert quiet_console == [CLEAR_COMMAND]


def test_default_progress_matches_explicit_zero(tqv, quiet_console, capsys):
    tqv.tq_refresh("Inicio")
    by_default = capsys.readouterr().out
    tqv.tq_refresh("Inicio", progress=0)
    assert by_default == capsys.readouterr().out == screen("Inicio", "0", 0, 35)


@pytest.mark.parametrize("message, shown", [("", ""), (7, "7"), (2.5, "2.5"), (None, "None"), ("ñ█", "ñ█")])
def test_status_message_is_shown_as_an_fstring_field(tqv, quiet_console, capsys, message, shown):
    tqv.tq_refresh(message, 100)
    assert capsys.readouterr().out == screen(shown, "100", 35, 0)


def test_theme_is_read_at_each_call(tqv, quiet_console, capsys, monkeypatch):
    monkeypatch.setattr(tqv.TQ_Theme, "GREEN", "<g>")
    monkeypatch.setattr(tqv.TQ_Theme, "CYAN", "<c>")
    tqv.tq_refresh("m", 10)
    assert capsys.readouterr().out == screen("m", "10", 3, 32, green="<g>", cyan="<c>")
    monkeypatch.setattr(tqv.TQ_Theme, "BOLD", 1)  # not a str: formatted like an f-string field
    tqv.tq_refresh("m", 10)
    assert capsys.readouterr().out == screen("m", "10", 3, 32, green="<g>", cyan="<c>").replace(BOLD, "1")


class Described:
    """A class attribute that is a descriptor: reading it through the class calls __get__."""

    def __get__(self, instance, owner):
        return "<described>"


class GreenMeta(type):
    @property
    def GREEN(cls):
        return "<meta>"


# Theme reads follow the class rules whatever shape the substitute has: inherited attributes,
# descriptors, a metaclass whose data descriptor outranks the class's own attribute.
@pytest.mark.parametrize("make_theme, green", [
    (lambda theme: type("Theme", (theme,), {}), GREEN),
    (lambda theme: type("Theme", (theme,), {"GREEN": Described()}), "<described>"),
    (lambda theme: GreenMeta("Theme", (theme,), {"GREEN": "<own>"}), "<meta>"),
], ids=["inherited", "descriptor", "metaclass"])
def test_substitute_theme_classes(tqv, quiet_console, capsys, make_theme, green):
    tqv.TQ_Theme = make_theme(tqv.TQ_Theme)
    tqv.tq_refresh("m", 10)
    assert capsys.readouterr().out == screen("m", "10", 3, 32, green=green)


def test_console_cleared_with_cls_on_windows_reading_system_first(tqv, capsys):
    reads, commands = [], []

    class FakeOs:
        def __getattr__(self, name):
            reads.append(name)
            return {"system": commands.append, "name": "nt"}[name]

    tqv.os = FakeOs()
    tqv.tq_refresh("m")
    assert reads == ["system", "name"] and commands == ["cls"]


def test_failures_propagate_after_what_was_printed(tqv, quiet_console, capsys):
    with pytest.raises(TypeError, match="//"):
        tqv.tq_refresh("m", "10")
    assert capsys.readouterr().out.count("\n") == 7  # banner, rule and phase lines stay
    tqv.os = Proxy(os, system=None)
    with pytest.raises(TypeError):
        tqv.tq_refresh("m")
    assert capsys.readouterr().out == ""


def test_replacing_builtin_print_has_no_effect(tqv, quiet_console, capsys, monkeypatch):
    monkeypatch.setattr(builtins, "print", lambda *a, **k: sys.stdout.write("hijacked"))
    tqv.tq_refresh("m", 45)
    assert capsys.readouterr().out == screen("m", "45", 15, 20)


def test_screen_bytes_on_a_real_stdout():
    code = PATHS + STAND_INS + textwrap.dedent("""
        import sys, tq_velmor
        tq_velmor.os = type("Os", (), {"name": "posix", "system": staticmethod(lambda c: 0)})()
        sys.stdout.reconfigure(encoding="utf-8")
        tq_velmor.tq_refresh("Instalando dependencias...", 45)
    """)
    result = subprocess.run([sys.executable, "-I", "-c", code], capture_output=True, stdin=subprocess.DEVNULL)
    assert result.returncode == 0, result.stderr
    # Text-mode output: each line feed becomes the host's line end.
    expected = screen("Instalando dependencias...", "45", 15, 20).replace("\n", os.linesep)
    assert result.stdout == expected.encode("utf-8")
