"""The release's toolchain: the Debian packages checked against pins/debian.txt, and the record the
release ships (release/toolchain.py)."""

import email.parser
import re
import shutil
import subprocess

import pytest

from release import toolchain
from tooling import ToolingError, pins

PINNED = toolchain.pinned()
WORKFLOWS = sorted((pins.FOLDER.parent / ".github" / "workflows").glob("*.yml"))
WINE, HEADERS = "wine", "python3.11-dev"


def entries(value):
    """{name: version} of a field's "name (= version)" entries."""
    return dict(re.findall(r"(\S+) \(= ([^)]+)\)", value))


@pytest.mark.parametrize("found, line", [
    ({}, ""),
    ({WINE: "9.0~repack-2"}, f"{WINE} 9.0~repack-2 (pinned {PINNED[WINE]})"),
    ({HEADERS: "3.11.2-6+deb12u99", WINE: None},
     f"{HEADERS} 3.11.2-6+deb12u99 (pinned {PINNED[HEADERS]}); {WINE} not installed (pinned {PINNED[WINE]})"),
], ids=["as pinned", "another version", "another version and one missing"])
def test_a_drift_is_one_line_refused_unless_allowed_and_recorded(found, line):
    def installed(package):
        return found.get(package, PINNED[package])

    assert toolchain.check(allow_drift=True, found=installed) == line
    if line:
        with pytest.raises(ToolingError) as refusal:
            toolchain.check(found=installed)
        assert line in str(refusal.value) and "\n" not in str(refusal.value)
    else:
        assert toolchain.check(found=installed) == ""

    text = toolchain.record("1.2.3", "0123abcd" * 5, 1704067200, "CPython 3.11.9 for Windows x64",
                            {"pyinstaller": "6.22.3", "pip": "23.2.1"}, found=installed)
    # Read as Debian reads a .buildinfo: RFC 822 fields, the lists on continuation lines.
    fields = email.parser.Parser().parsestr(text)
    image, snapshot = pins.base_image()
    assert (fields["Build-Image"], fields["Build-Debian-Snapshot"]) == (image, snapshot)
    assert fields["Build-Date"] == "Mon, 01 Jan 2024 00:00:00 +0000"
    assert fields["Toolchain-Drift"] == (line or None)
    # Each package at the version that was used, not the one pinned.
    assert entries(fields["Installed-Build-Depends"]) == {
        package: installed(package) or "none" for package in PINNED}
    assert entries(fields["Tooling-Python-Packages"]) == pins.python("tooling.txt")
    assert entries(fields["Windows-Python-Packages"]) == {"pip": "23.2.1", "pyinstaller": "6.22.3"}


POLICY = "{package}:\n  Installed: (none)\n  Candidate: {candidate}\n  Version table:\n"


@pytest.mark.parametrize("package, pin, candidate, asked", [
    (HEADERS, "3.11.2-6+deb12u6", "3.11.2-6+deb12u9", ["apt-cache", "policy", HEADERS]),
    # A backport stays one: apt's candidate among the backports, not the release's older version.
    ("osslsigncode", "2.9-1~bpo12+1", "2.9-2~bpo12+1",
     ["apt-cache", "--target-release", "bookworm-backports", "policy", "osslsigncode"]),
    (WINE, "8.0~repack-4", "(none)", ["apt-cache", "policy", WINE]),
])
def test_the_archive_version_is_apts_candidate(package, pin, candidate, asked):
    commands = []

    def run(command, **kwargs):
        commands.append((command, kwargs["env"]["LC_ALL"]))
        return subprocess.CompletedProcess(command, 0, POLICY.format(package=package, candidate=candidate), "")

    if candidate == "(none)":
        with pytest.raises(ToolingError, match=f"serves no {package}"):
            toolchain.archive_version(package, pin, "bookworm", run=run)
    else:
        assert toolchain.archive_version(package, pin, "bookworm", run=run) == candidate
    assert commands == [(asked, "C")]  # apt's own words, whatever the locale


@pytest.mark.parametrize("served, moved", [
    ({}, []),
    ({HEADERS: "3.11.2-6+deb12u99", WINE: "8.0~repack-99"},
     [f"{HEADERS} {PINNED[HEADERS]} -> 3.11.2-6+deb12u99", f"{WINE} {PINNED[WINE]} -> 8.0~repack-99"]),
], ids=["as served", "two moved"])
def test_moving_the_pins_rewrites_them_and_the_snapshot_time(served, moved, tmp_path, monkeypatch):
    shutil.copytree(pins.FOLDER, tmp_path / "pins")
    shutil.copytree(pins.FOLDER.parent / ".github", tmp_path / ".github")
    monkeypatch.setattr(pins, "FOLDER", tmp_path / "pins")
    names = ["pins/debian.txt", "pins/base-image.txt", *(f".github/workflows/{path.name}" for path in WORKFLOWS)]
    before = {name: (tmp_path / name).read_text() for name in names}

    lines = toolchain.move("bookworm", lambda package, pin, codename: served.get(package, pin), now=1796869800)
    assert lines == moved
    assert toolchain.pinned() == {**PINNED, **served}
    image, snapshot = pins.base_image()
    assert image == pins.lines("base-image.txt")[0]
    assert snapshot == ("20261210T023000Z" if moved else before["pins/base-image.txt"].split("snapshot=")[1].strip())
    # The workflows install from the snapshot archive at the new time (test_pins.py holds them to
    # it); only the versions and the time change, every other line stays.
    for name, text in before.items():
        after = (tmp_path / name).read_text()
        assert f"DEBIAN_SNAPSHOT: {snapshot}" in after or "workflows" not in name
        changed = [(a, b) for a, b in zip(text.splitlines(), after.splitlines(), strict=True) if a != b]
        assert all(re.sub(r"[^=: ]+$", "", a) == re.sub(r"[^=: ]+$", "", b) for a, b in changed), changed
        assert bool(changed) == bool(moved)


OLD = "3.11.2-6+deb12u5"
# Installed: the Python 3.11 family a revision behind the pin, one of them not served at the pin.
EVERYTHING = [(HEADERS, "python3.11", OLD), ("libpython3.11", "python3.11", OLD), ("python3.11", "python3.11", OLD),
              ("python3.11-doc", "python3.11", OLD), ("python3", "python3-defaults", "3.11.2-1+b1")]


@pytest.mark.parametrize("found, unserved, expected", [
    ({}, set(), []),
    # Up (or down) with the packages built from the same source: apt moves none of them by itself.
    ({HEADERS: OLD}, {"python3.11-doc"},
     [f"{HEADERS}={PINNED[HEADERS]}", f"libpython3.11={PINNED[HEADERS]}", f"python3.11={PINNED[HEADERS]}"]),
    ({HEADERS: OLD, WINE: None}, set(), [f"{HEADERS}={PINNED[HEADERS]}", f"libpython3.11={PINNED[HEADERS]}",
                                          f"python3.11={PINNED[HEADERS]}", f"python3.11-doc={PINNED[HEADERS]}",
                                          f"{WINE}={PINNED[WINE]}"]),
    ({HEADERS: OLD}, {HEADERS}, "the archive serves no python3.11-dev"),
], ids=["as pinned", "one source's packages", "and one missing", "a pin no longer served"])
def test_installing_the_pins_names_what_must_move_with_them(found, unserved, expected):
    def run(command, **kwargs):
        assert kwargs["env"]["LC_ALL"] == "C"
        if command[1] == "madison":
            served = [] if command[2] in unserved else [PINNED.get(command[2], PINNED[HEADERS]), OLD]
            text = "".join(f"{command[2]} | {version} | http://deb.example/debian bookworm/main amd64 Packages\n"
                           for version in served)
        else:
            text = f"Package: {command[2]}\nSource: python3.11\n" if "python3.11" in command[2] else ""
        return subprocess.CompletedProcess(command, 0, text, "")

    def installed(package):
        return found.get(package, PINNED[package])

    if isinstance(expected, str):
        with pytest.raises(ToolingError, match=expected):
            toolchain.requests(installed, run, EVERYTHING)
    else:
        assert toolchain.requests(installed, run, EVERYTHING) == expected
