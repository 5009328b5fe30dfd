"""The .def generator and the PE check of the Windows build (windows/pyd_tools.py)."""

import shutil
import subprocess

import pytest

from windows import pyd_tools

OFFICIAL = pyd_tools.read_exports("# comment\nPyLong_FromLong\nPy_Version DATA\n_Py_NoneStruct DATA\n")


def test_def_marks_data_exactly_where_the_dll_exports_data():
    nm = ("a.obj:\n                 U __imp_Py_Version\n                 U __imp_PyLong_FromLong\n"
          "                 U _ZN3tqv5names2osE\n                 U memcpy\n"
          "b.obj:\n                 U __imp__Py_NoneStruct\n")
    entries, errors = pyd_tools.def_entries(pyd_tools.undefined_symbols(nm), OFFICIAL)
    assert errors == []
    assert pyd_tools.read_def(pyd_tools.def_text(entries)) == {
        "PyLong_FromLong": False, "Py_Version": True, "_Py_NoneStruct": True}


@pytest.mark.parametrize("symbol, message", [
    ("__imp__PyObject_GetDictPtr", "_PyObject_GetDictPtr: imported by b.obj but not exported"),
    ("fprintf", "fprintf: C runtime call in b.obj"),
    ("__imp___acrt_iob_func", "__acrt_iob_func: C runtime call in b.obj"),
    ("_errno", "_errno: C runtime call"),
    ("free", "free: C runtime call"),
])
def test_def_refuses_foreign_imports_and_runtime_crossings(symbol, message):
    nm = f"a.obj:\n U __imp_PyLong_FromLong\nb.obj:\n U {symbol}\n"
    _, errors = pyd_tools.def_entries(pyd_tools.undefined_symbols(nm), OFFICIAL)
    assert len(errors) == 1 and errors[0].startswith(message)


def good_pe():
    return {"machine": 0x8664, "dll": True, "exports": ["PyInit_tq_velmor"], "ordinal_exports": 0, "delay": False,
            "imports": {"KERNEL32.dll": ["Sleep"], "msvcrt.dll": ["memcpy"],
                        "python311.dll": ["PyLong_FromLong", "Py_Version"]}}


@pytest.mark.parametrize("change, def_marks, message", [
    ({}, {"PyLong_FromLong": False, "Py_Version": True}, None),
    ({"machine": 0x14C}, None, "machine 0x14c"),
    ({"dll": False}, None, "not a DLL"),
    ({"exports": ["PyInit_tq_velmor", "_Znwy"]}, None, "exports ['PyInit_tq_velmor', '_Znwy']"),
    ({"ordinal_exports": 1}, None, "exports ['PyInit_tq_velmor'] (+1 by ordinal)"),
    ({"imports": {**good_pe()["imports"], "libwinpthread-1.dll": ["pthread_once"]}}, None,
     "imports libwinpthread-1.dll: a MinGW runtime DLL"),
    ({"imports": {**good_pe()["imports"], "python3.dll": ["Py_IncRef"]}}, None, "imports python3.dll: not a Windows"),
    ({"imports": {"python311.dll": ["PyLong_FromLong", "Py_Version", "_PyFoo"]}}, None,
     "python311.dll!_PyFoo: not exported"),
    ({}, {"PyLong_FromLong": False, "Py_Version": False}, ".def: Py_Version is not marked DATA"),
    ({}, {"PyLong_FromLong": True, "Py_Version": True}, ".def: PyLong_FromLong is marked DATA"),
])
def test_pe_rules(change, def_marks, message):
    pe = {**good_pe(), **change}
    errors = pyd_tools.pe_errors(pe, def_marks or {"PyLong_FromLong": False, "Py_Version": True}, OFFICIAL)
    if message is None:
        assert errors == []
    else:
        assert len(errors) == 1 and errors[0].startswith(message), errors


def test_read_pe_refuses_a_non_pe_file():
    with pytest.raises(pyd_tools.PEError, match="no MZ header"):
        pyd_tools.read_pe(b"\x7fELF" + bytes(200))


@pytest.mark.skipif(not shutil.which("x86_64-w64-mingw32-g++"),
                    reason="needs the mingw-w64 cross compiler, which builds the Windows module on Linux")
def test_read_pe_finds_every_export_and_import_of_a_real_dll(tmp_path):
    """A DLL linked against the shared libstdc++: the parser must see that import and fail it."""
    (tmp_path / "py.def").write_text(pyd_tools.def_text([("PyLong_FromLong", False), ("Py_Version", True)]))
    (tmp_path / "m.cpp").write_text(
        "#include <string>\n"
        "extern \"C\" __declspec(dllimport) const unsigned long Py_Version;\n"
        "extern \"C\" __declspec(dllimport) void* PyLong_FromLong(long);\n"
        "extern \"C\" __declspec(dllexport) void* PyInit_tq_velmor() {\n"
        "    return PyLong_FromLong(long(std::to_string(Py_Version).size())); }\n")
    subprocess.run(["x86_64-w64-mingw32-dlltool", "--input-def", "py.def", "--dllname", "python311.dll",
                    "--output-lib", "libpy.a"], cwd=tmp_path, check=True)
    subprocess.run(["x86_64-w64-mingw32-g++", "-shared", "-o", "m.pyd", "m.cpp", "libpy.a"], cwd=tmp_path, check=True)
    pe = pyd_tools.read_pe((tmp_path / "m.pyd").read_bytes())
    assert (pe["machine"], pe["dll"], pe["exports"]) == (0x8664, True, ["PyInit_tq_velmor"])
    assert sorted(pe["imports"]["python311.dll"]) == ["PyLong_FromLong", "Py_Version"]
    errors = pyd_tools.pe_errors(pe, {"PyLong_FromLong": False, "Py_Version": True}, OFFICIAL)
    assert [e for e in errors if e.startswith("imports libstdc++-6.dll")]
