"""arreglar_ruta_metadatos: the packaging script hands an absolute path to its version step."""

import os

import pytest

from conftest import Proxy

CALL = "set_version_info(final_file, version)"
FIXED = "final_file = os.path.abspath(final_file); " + CALL


def script(tmp_path, text):
    path = tmp_path / "bundle/pyinstaller.py"
    path.parent.mkdir(exist_ok=True)
    path.write_text(text, encoding="utf-8")
    return path


@pytest.mark.parametrize("before, after", [
    (f"def main():\n    # versión\n    {CALL}\n", f"def main():\n    # versión\n    {FIXED}\n"),
    (f"{CALL}\nif x:\n\t{CALL}\n", f"{FIXED}\nif x:\n\t{FIXED}\n"),  # every occurrence
], ids=["indented", "every occurrence"])
def test_rewrites(tqv, tmp_path, before, after):
    path = script(tmp_path, before)
    assert tqv.arreglar_ruta_metadatos(str(tmp_path)) is True
    assert path.read_text(encoding="utf-8") == after


def test_applied_twice(tqv, tmp_path):
    # The fix keeps the call it looks for, and nothing tells a fixed script apart.
    path = script(tmp_path, f"    {CALL}\n")
    assert tqv.arreglar_ruta_metadatos(repo_dir=str(tmp_path)) is True
    assert tqv.arreglar_ruta_metadatos(repo_dir=str(tmp_path)) is True
    assert path.read_text(encoding="utf-8") == f"    final_file = os.path.abspath(final_file); {FIXED}\n"


@pytest.mark.parametrize("text", ["set_version_info(final_file,version)\n", "Set_version_info(final_file, version)", None],
                         ids=["spacing", "letter case", "no script"])
def test_nothing_to_fix(tqv, tmp_path, text):
    if text is not None:
        path = script(tmp_path, text)
        stamp = path.stat().st_mtime_ns
    assert tqv.arreglar_ruta_metadatos(str(tmp_path)) is False
    if text is not None:
        assert path.read_text(encoding="utf-8") == text and path.stat().st_mtime_ns == stamp


def test_script_found_through_os_path(tqv, tmp_path):
    joins = []
    tqv.os = Proxy(os, path=Proxy(os.path, join=lambda *parts: joins.append(parts) or os.path.join(*parts)))
    script(tmp_path, CALL)
    assert tqv.arreglar_ruta_metadatos(str(tmp_path)) is True
    assert joins == [(str(tmp_path), "bundle", "pyinstaller.py")]


def test_read_errors_propagate(tqv, tmp_path):
    path = tmp_path / "bundle/pyinstaller.py"
    path.parent.mkdir()
    path.write_bytes(b"\xff\xfe" + CALL.encode())
    with pytest.raises(UnicodeDecodeError):
        tqv.arreglar_ruta_metadatos(str(tmp_path))
    assert path.read_bytes() == b"\xff\xfe" + CALL.encode()
