"""docs/render_screens.py draws the README's pictures from what a run prints, and they are up to date."""

import html
import importlib.metadata
import os
import re
import subprocess
import sys
import tomllib

import pytest

pytest.importorskip("rich")

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
DOCS = os.path.join(ROOT, "docs")
# Pieces of one colour each; rich writes every run of one style as its own text element.
SHOWN = {
    "screen-phase.svg": ["    >> ONE CLICK YT-DLP BUILDER - ZELK DIGITAL - KORVANE << ", "[ FASE ]:", "Compilando Binario Oficial...", "80%"],
    "screen-success.svg": ["¡HECHO! Peso: ", "17.46 MB", "100%", "Estado:", "    Compilación Oficial Exitosa",
                           "     python.exe", "✔  EXCELENTE:", " Apto para GitHub (<25MB).",
                           "Version of yt-dlp.exe: 2026.08.19"],
    "screen-failure.svg": ["Descargando código oficial...", "25%", "ERROR CRITICO:",
                           " <urlopen error [Errno 11001] getaddrinfo failed>"],
}
FILLED_CELLS = {"screen-phase.svg": 28, "screen-success.svg": 35, "screen-failure.svg": 8}


def texts(svg):
    return [html.unescape(t).replace("\xa0", " ") for t in re.findall(r"<text[^>]*>([^<]*)</text>", svg)]


def test_the_script_redraws_the_committed_pictures(tmp_path):
    result = subprocess.run([sys.executable, os.path.join(DOCS, "render_screens.py"), "--out", str(tmp_path)],
                            capture_output=True, text=True, encoding="utf-8", timeout=120)
    assert result.returncode == 0, result.stderr
    assert sorted(os.listdir(tmp_path)) == sorted(SHOWN)
    with open(os.path.join(ROOT, "pyproject.toml"), "rb") as f:
        pinned = [r for r in tomllib.load(f)["project"]["optional-dependencies"]["docs"] if r.startswith("rich==")]
    for name, pieces in SHOWN.items():
        with open(tmp_path / name, encoding="utf-8") as f:
            drawn = f.read()
        assert texts(drawn)[0] == "Zelk Builder - Official Final Fix"
        assert set(pieces) <= set(texts(drawn)), name
        assert (texts(drawn).count("█"), texts(drawn).count("░")) == (FILLED_CELLS[name], 35 - FILLED_CELLS[name])
        # Another rich may draw the same screen differently; the pinned one must draw what is committed.
        if pinned == [f"rich=={importlib.metadata.version('rich')}"]:
            with open(os.path.join(DOCS, name), encoding="utf-8") as f:
                assert drawn == f.read(), f"docs/{name} is out of date: run docs/render_screens.py"
