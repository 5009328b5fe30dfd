"""The docs hold together: every relative link and #anchor resolves, and every message the
troubleshooting tables quote is one the code can print."""

import ast
import glob
import os
import re

import pytest

from tq_velmor_host import command, program

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
PAGES = sorted(glob.glob(os.path.join(ROOT, "*.md")) + glob.glob(os.path.join(ROOT, "docs", "**", "*.md"), recursive=True))
LINK = re.compile(r"!?\[(?:[^\]\\]|\\.)*\]\(([^)\s]+)(?:\s+\"[^\"]*\")?\)")
FENCE = re.compile(r"^(```|~~~)")
# The table columns that quote messages of ours, in `code`; "…" stands for what varies.
MESSAGE_COLUMNS = {"Message", "Mensaje", "Program (Spanish)", "Command (English)"}


def prose(path):
    """The page's lines outside fenced code blocks."""
    lines, fenced = [], False
    with open(path, encoding="utf-8") as f:
        for line in f.read().splitlines():
            if FENCE.match(line.strip()):
                fenced = not fenced
            elif not fenced:
                lines.append(line)
    return lines


def anchors(path):
    """The #anchors a page's headings get, as GitHub makes them."""
    seen, found = {}, set()
    for line in prose(path):
        heading = re.match(r"#{1,6}\s+(.*?)\s*#*\s*$", line)
        if not heading:
            continue
        text = re.sub(r"\[([^\]]*)\]\([^)]*\)", r"\1", heading[1]).replace("`", "").replace("*", "")
        slug = re.sub(r"[^\w\- ]", "", text.lower()).replace(" ", "-")
        count = seen.get(slug, 0)
        seen[slug] = count + 1
        found.add(slug if count == 0 else f"{slug}-{count}")
    return found


def links():
    for page in PAGES:
        for number, line in enumerate(prose(page), 1):
            for target in LINK.findall(re.sub(r"`[^`]*`", "", line)):
                if not re.match(r"[a-z][a-z0-9+.-]*:", target):
                    yield pytest.param(page, target, id=f"{os.path.relpath(page, ROOT)}:{target}")


@pytest.mark.parametrize("page, target", list(links()))
def test_every_relative_link_and_anchor_resolves(page, target):
    path, _, anchor = target.partition("#")
    resolved = os.path.normpath(os.path.join(os.path.dirname(page), path)) if path else page
    assert os.path.exists(resolved), f"{target}: no {os.path.relpath(resolved, ROOT)}"
    if anchor:
        assert resolved.endswith(".md") and anchor in anchors(resolved), f"{target}: no such heading"


def literals():
    """The texts the product prints are made of: the C++ string literals, and the pieces of the
    command's and the program's texts between their placeholders."""
    found = set()
    for source in glob.glob(os.path.join(ROOT, "src", "**", "*.[ch]pp"), recursive=True):
        with open(source, encoding="utf-8") as f:
            for literal in re.findall(r'"((?:[^"\\\n]|\\.)*)"', f.read()):
                found.add(ast.literal_eval(f'"{literal}"'))
    texts = [*vars(command.ENGLISH).values(), *vars(command.SPANISH).values(), program.CLOSE_PROMPT]
    for text in texts:
        found.update(re.split(r"\{[^}]*\}", text))
    return {literal for literal in found if literal}


def made_of(fragment, pieces):
    """Whether `fragment` is part of one piece, or the end of one, whole pieces, and the start of
    another, in that order."""
    if any(fragment in piece for piece in pieces):
        return True
    starts = {len(piece) - i for piece in pieces for i in range(len(piece)) if fragment.startswith(piece[i:])}
    reached = set(starts)
    while reached:
        at = reached.pop()
        rest = fragment[at:]
        if any(piece.startswith(rest) for piece in pieces):
            return True
        for piece in pieces:
            if rest.startswith(piece) and at + len(piece) not in starts:
                starts.add(at + len(piece))
                reached.add(at + len(piece))
    return False


def quoted_messages():
    for page in PAGES:
        columns = None
        for line in prose(page):
            cells = [cell.strip() for cell in line.strip().strip("|").split("|")] if line.startswith("|") else None
            if cells is None:
                columns = None
            elif columns is None:
                columns = [i for i, cell in enumerate(cells) if cell in MESSAGE_COLUMNS]
            else:
                for i in columns:
                    for message in re.findall(r"`([^`]+)`", cells[i] if i < len(cells) else ""):
                        yield pytest.param(message, id=f"{os.path.relpath(page, ROOT)}:{message[:40]}")


def test_the_message_check_tells_a_changed_message():
    pieces = literals()
    assert made_of("ERROR CRITICO: No se encontró Python instalado. Instálalo desde python.org", pieces)
    assert not made_of("ERROR CRITICO: No se encontro Python instalado.", pieces)
    assert not made_of("yt-dlp.exe no arranco: ", pieces)


@pytest.mark.parametrize("message", list(quoted_messages()))
def test_every_quoted_message_is_one_the_code_prints(message):
    pieces = literals()
    missing = [fragment for fragment in message.split("…") if fragment and not made_of(fragment, pieces)]
    assert not missing, f"not in the code's texts: {missing}"
