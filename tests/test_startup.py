"""Start-up, in fresh interpreters: the module can start only once per process."""

import textwrap

import pytest

from conftest import LOAD_FROM_DEFINITION, describe

PUBLIC_NAMES = [
    "sys", "os", "get_path", "subprocess", "shutil", "urllib", "zipfile", "glob", "ctypes", "time", "winreg",
    "TQ_Theme", "tq_refresh", "run_silent", "validar_python", "encontrar_python_real", "setup_upx", "cleanup",
    "arreglar_ruta_metadatos", "main",
]
MODULE_ATTRIBUTES = ["__name__", "__doc__", "__package__", "__loader__", "__spec__", "__file__"]


def host(code):
    """Child source: the loader helper, then the test's own lines."""
    return LOAD_FROM_DEFINITION + textwrap.dedent(code)


def test_import_binds_names_in_order_quietly_and_sets_title_once(child):
    result = child("""
        import sys, urllib.request, tq_velmor_host
        import tq_velmor
        names = list(vars(tq_velmor))
        print(names)
        assert tq_velmor.urllib is sys.modules["urllib"]
        assert tq_velmor.winreg is sys.modules["winreg"]
        assert tq_velmor.__doc__ is None
        print(console_titles())
    """)
    lines = result.stdout.splitlines()
    assert lines == [repr(MODULE_ATTRIBUTES + PUBLIC_NAMES), "['Zelk Builder - Official Final Fix']"]
    assert result.stderr == ""


def test_second_import_and_reload_return_the_same_module_without_restarting(child):
    result = child("""
        import importlib, sys, tq_velmor_host
        import tq_velmor
        first = tq_velmor
        first.marker = "kept"
        del sys.modules["tq_velmor"]
        import tq_velmor
        assert tq_velmor is first and tq_velmor.marker == "kept"
        assert importlib.reload(tq_velmor) is first and first.marker == "kept"
        print(console_titles())
    """)
    assert result.stdout.splitlines() == ["['Zelk Builder - Official Final Fix']"]


def test_import_without_winreg_fails_then_a_later_import_starts_afresh(child):
    result = child("""
        import ctypes, sys
        import tq_velmor_host
        sys.modules["winreg"] = None  # unimportable, even where it is built in
        ctypes.windll = tq_velmor_host.windll_standin.windll
        try:
            import tq_velmor
        except ModuleNotFoundError as e:
            print("failed:", e)
        assert "tq_velmor" not in sys.modules
        print("titles:", tq_velmor_host.windll_standin.title_calls)
        tq_velmor_host.install()
        import tq_velmor
        print(callable(tq_velmor.main), tq_velmor.winreg is tq_velmor_host.winreg_standin)
        print("titles:", tq_velmor_host.windll_standin.title_calls)
    """, stand_ins=False)
    assert result.stdout.splitlines() == [
        "failed: import of winreg halted; None in sys.modules",
        "titles: []",
        "True True",
        "titles: ['Zelk Builder - Official Final Fix']",
    ]


@pytest.mark.parametrize("windll_setup", [
    "del ctypes.windll",
    "class K:\n    def SetConsoleTitleW(self, title): raise KeyboardInterrupt\n"
    "ctypes.windll = type('W', (), {'kernel32': K()})()",
    "ctypes.windll = type('W', (), {'kernel32': None})()",
], ids=["no-windll", "interrupt", "no-method"])
def test_console_title_failures_are_ignored_silently(child, windll_setup):
    result = child("import ctypes\n" + windll_setup + """
import sys, tq_velmor
assert sys.exc_info() == (None, None, None)
print(len(vars(tq_velmor)))
""")
    assert result.stdout == f"{len(MODULE_ATTRIBUTES) + len(PUBLIC_NAMES)}\n"
    assert result.stderr == ""


def test_loading_as_main_runs_main_before_the_import_returns(child, tmp_path):
    # Nothing to find: main shows its failure line and waits for Enter, fed below.
    result = child(host("""
        import os, sys
        sys.frozen = True
        os.environ["PATH"] = ""
        module = load_from_definition("__main__")
        print("RETURNED", module.__name__, sys.modules["tq_velmor"] is module, module.main.__module__)
    """), cwd=tmp_path, input_text="\n")
    out = result.stdout
    failure = "\n\x1b[38;5;196mERROR CRITICO:\x1b[0m No se encontró Python instalado. Instálalo desde python.org\n"
    assert out == failure + "RETURNED __main__ True tq_velmor\n", describe(result)


def test_main_failing_under_main_fails_start_up_and_leaves_no_half_started_module(child, tmp_path):
    # stdin is closed: the wait for Enter raises EOFError out of main, so out of start-up.
    result = child(host("""
        import os, sys
        sys.frozen = True
        os.environ["PATH"] = ""
        try:
            load_from_definition("__main__")
        except EOFError as e:
            print("EOFError:", e)
        print("registered:", "tq_velmor" in sys.modules)
        sys.frozen = False
        import tq_velmor
        print(tq_velmor.__name__, callable(tq_velmor.cleanup))
    """), cwd=tmp_path)
    lines = result.stdout.splitlines()
    assert lines[-3:] == ["EOFError: EOF when reading a line", "registered: False", "tq_velmor True"], describe(result)


def test_exec_on_another_module_object_is_refused(child):
    result = child(host("""
        import ctypes, types, tq_velmor
        api = ctypes.pythonapi
        api.PyModule_ExecDef.argtypes = [ctypes.py_object, ctypes.c_void_p]
        init = ctypes.PyDLL(tq_velmor.__file__).PyInit_tq_velmor
        init.restype = ctypes.c_void_p
        try:
            api.PyModule_ExecDef(types.ModuleType("other"), init())
        except RuntimeError as e:
            print(e)
        assert load_from_definition("again") is tq_velmor
    """))
    assert result.stdout == (
        "Module 'tq_velmor' has already been imported. Re-initialisation is not supported.\n")


def test_create_copies_spec_attributes(child):
    result = child(host("""
        class Spec:
            name = "pkg_like"
            loader = "the loader"
            origin = "/somewhere/tq_velmor.so"
            parent = None
            submodule_search_locations = ["/somewhere"]
        module = load_from_definition(spec=Spec())
        print(module.__name__, module.__loader__, module.__file__, module.__package__, module.__path__)
    """))
    assert result.stdout == "pkg_like the loader /somewhere/tq_velmor.so None ['/somewhere']\n"


@pytest.mark.parametrize("spec_body, expected", [
    ("name = 'bare'", "bare False False"),
    ("name = 'nopath'\n    loader = origin = parent = submodule_search_locations = None", "nopath True False"),
])
def test_create_skips_missing_spec_attributes_and_a_none_path(child, spec_body, expected):
    result = child(host(f"""
class Spec:
    {spec_body}
module = load_from_definition(spec=Spec())
print(module.__name__, "__file__" in vars(module), "__path__" in vars(module))
"""))
    assert result.stdout == expected + "\n"


def test_a_failing_spec_attribute_fails_the_import(child):
    result = child(host("""
        class Spec:
            name = "broken"
            @property
            def origin(self):
                raise ValueError("no origin")
        try:
            load_from_definition(spec=Spec())
        except ValueError as e:
            print("ValueError:", e)
        import tq_velmor
        print(tq_velmor.__name__)
    """))
    assert result.stdout == "ValueError: no origin\ntq_velmor\n"


def test_import_from_a_second_interpreter_is_refused(child):
    result = child("""
        import _xxsubinterpreters as interpreters
        import tq_velmor
        sub = interpreters.create()
        try:
            interpreters.run_string(sub, f"import sys; sys.path[:0] = {sys.path[:2]!r}; import tq_velmor")
        except interpreters.RunFailedError as e:
            print(e)
    """)
    assert result.stdout == ("<class 'ImportError'>: Interpreter change detected - this module can only be "
                             "loaded into one interpreter per process.\n")
