"""What differs between two executables laid out as PyInstaller lays them out, named member by
member (stages/archive_differences.py); the archives are written by PyInstaller's own writers."""

import pytest

pytest.importorskip("PyInstaller", reason="PyInstaller's archive reader (the test extra, off Windows)")

from PyInstaller.archive.writers import CArchiveWriter, ZlibArchiveWriter  # noqa: E402

from stages import archive_differences  # noqa: E402
from stages.real_build import faults  # noqa: E402

MODULES = {"tq.alpha": "X = 1\n", "tq.beta": "def f():\n    return 2\n"}
BINARIES = {"plain.dll": b"MZ" + bytes(200), "packed.dll": b"MZ" + bytes(62) + b"UPX0" + bytes(134)}


def executable(path, modules=MODULES, data=b"uno dos", front=b"MZ the bootloader\0", after=b""):
    """`front`, then a CArchive holding a PYZ of `modules` ({name: source}), a data file, two
    binaries and a script, then `after`."""
    folder = path.parent / f"{path.stem}-parts"
    folder.mkdir()
    pyz = folder / "PYZ.pyz"
    ZlibArchiveWriter(str(pyz), [(name, f"{name}.py", "PYMODULE") for name in modules],
                      code_dict={name: compile(source, f"{name}.py", "exec") for name, source in modules.items()})
    entries = [("PYZ.pyz", str(pyz), False, "z")]
    for name, contents in {"notas.txt": data, **BINARIES, "main.py": b"print('hola')\n"}.items():
        (folder / name).write_bytes(contents)
        entries.append((name.removesuffix(".py"), str(folder / name), True, "s" if name == "main.py" else
                        "b" if name.endswith(".dll") else "x"))
    CArchiveWriter(str(folder / "archive"), entries, "python311.dll")
    path.write_bytes(front + (folder / "archive").read_bytes() + after)
    return path


def named(lines):
    return {line.split(": ")[0] for line in lines}


@pytest.mark.parametrize("second, expected", [
    ({}, set()),
    ({"modules": {**MODULES, "tq.beta": "def f():\n    return 3\n"}}, {"PYZ.pyz/tq.beta"}),
    ({"modules": {**MODULES, "tq.gamma": "Y = 2\n"}}, {"PYZ.pyz/tq.gamma", "PYZ.pyz (table)"}),
    ({"data": b"uno tres"}, {"notas.txt"}),
    ({"front": b"MZ another bootloader\0"}, {"(in front of the archive)"}),
    ({"after": bytes(7)}, {"(after the archive)"}),
])
def test_the_members_that_differ_are_named(tmp_path, second, expected):
    lines = archive_differences.differences(executable(tmp_path / "a.exe"), executable(tmp_path / "b.exe", **second))
    assert named(lines) == expected


def test_a_module_that_differs_is_told_by_what_in_its_code_differs(tmp_path):
    changed = {**MODULES, "tq.beta": "def f():\n    return 3\n"}
    (line,) = archive_differences.differences(executable(tmp_path / "a.exe"), executable(tmp_path / "b.exe", changed))
    # Inside the module's code, in the constants of f: the value each build holds.
    assert line.startswith("PYZ.pyz/tq.beta: ") and ".f[" in line and line.endswith(": 2 against 3"), line


def test_what_is_no_archive_is_told_by_its_first_differing_byte(tmp_path):
    (tmp_path / "a.pyd").write_bytes(b"MZ one")
    (tmp_path / "b.pyd").write_bytes(b"MZ two")
    (line,) = archive_differences.differences(tmp_path / "a.pyd", tmp_path / "b.pyd")
    assert "first difference at byte 3" in line


def test_upx_packed_counts_the_binaries_upx_packed(tmp_path):
    assert faults.upx_packed(executable(tmp_path / "a.exe")) == f"UPX packed 1 of its {len(BINARIES)} binaries"
    (tmp_path / "not.exe").write_bytes(b"MZ no archive")
    assert faults.upx_packed(tmp_path / "not.exe").startswith("not a PyInstaller archive")
