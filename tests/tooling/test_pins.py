"""Every pin in pins/ well formed, and one version of each Python package wherever it is pinned."""

import os
import platform
import re
import subprocess
from pathlib import Path

import pytest

from tooling import pins

ROOT = Path(__file__).resolve().parents[2]
REQUIREMENT_SETS = sorted(path.name for path in pins.FOLDER.glob("*.txt") if "==" in path.read_text())


def pinned_everywhere():
    """[(source, canonical name, version)] of every pin of a Python package in the checkout."""
    found = [(name, package, version) for name in REQUIREMENT_SETS for package, version in pins.python(name).items()]
    for extra, requirements in pins.extras().items():
        for requirement in requirements:
            package, version = requirement.split("==")
            found.append((f"pyproject.toml [{extra}]", pins.canonical(package), version))
    return found


@pytest.mark.parametrize("name", REQUIREMENT_SETS)
def test_each_requirement_set_pins_exact_versions(name):
    for line in pins.lines(name):
        package, separator, version = line.partition("==")
        assert separator and package.strip() == package and version and not set(version) & set(" <>=!~;,"), line


def test_each_package_has_one_version_everywhere():
    versions = {}
    for source, package, version in pinned_everywhere():
        versions.setdefault(package, {}).setdefault(version, []).append(source)
    disagreeing = {package: found for package, found in versions.items() if len(found) > 1}
    assert not disagreeing, disagreeing


WORKFLOWS = sorted((ROOT / ".github" / "workflows").glob("*.yml"))
SNAPSHOT_STEP = "- name: Debian's archive at the pins' time"
# A Debian image's sources as the image is made: above each address, the same source's in Debian's
# snapshot archive at the image's own time (a stand-in host here).
IMAGE_SOURCES = """Types: deb
# http://archive.example/debian/20250520T000000Z
URIs: http://deb.example/debian
Suites: {codename} {codename}-updates
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg

Types: deb
# http://archive.example/debian-security/20250520T000000Z
URIs: http://deb.example/debian-security
Suites: {codename}-security
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
"""


def job_values(path, key):
    """The values of `key:` in a workflow's lines, comments dropped."""
    return [line.split(f"{key}:", 1)[1].split("#")[0].strip() for line in path.read_text().splitlines()
            if line.strip().startswith(f"{key}:")]


def step_script(path, name):
    """The `run: |` script of the step named by the line `name`."""
    lines = path.read_text().splitlines()
    at = next(i for i, line in enumerate(lines) if line.strip() == name.strip())
    run = next(i for i in range(at, len(lines)) if lines[i].strip() == "run: |")
    indent = len(lines[run + 1]) - len(lines[run + 1].lstrip())
    body = []
    for line in lines[run + 1:]:
        if line.strip() and len(line) - len(line.lstrip()) < indent:
            break
        body.append(line[indent:])
    return "\n".join(body) + "\n"


@pytest.mark.parametrize("workflow", WORKFLOWS, ids=lambda path: path.name)
def test_the_workflows_run_in_the_pinned_image_and_debian_snapshot(workflow, tmp_path):
    image, snapshot = pins.base_image()
    assert re.fullmatch(r"debian:\d+@sha256:[0-9a-f]{64}", image) and re.fullmatch(r"\d{8}T\d{6}Z", snapshot)
    assert job_values(workflow, "image") and set(job_values(workflow, "image")) == {image}
    assert job_values(workflow, "DEBIAN_SNAPSHOT") == [snapshot]

    # The step that turns the image's sources to the snapshot archive, run on a copy of them.
    codename = platform.freedesktop_os_release()["VERSION_CODENAME"]
    sources = tmp_path / "debian.sources"
    sources.write_text(IMAGE_SOURCES.format(codename=codename))
    script = step_script(workflow, SNAPSHOT_STEP).replace("/etc/apt/sources.list.d/debian.sources", str(sources))
    step = ["bash", "-euo", "pipefail", "-c", script]
    env = {**os.environ, "DEBIAN_SNAPSHOT": snapshot}
    subprocess.run(step, check=True, env=env)
    stanzas = [dict(line.split(": ", 1) for line in stanza.splitlines())
               for stanza in sources.read_text().split("\n\n")]
    assert [(s["URIs"], s["Suites"], s["Check-Valid-Until"]) for s in stanzas] == [
        (f"http://archive.example/debian/{snapshot}", f"{codename} {codename}-updates {codename}-backports", "no"),
        (f"http://archive.example/debian-security/{snapshot}", f"{codename}-security", "no")]
    assert all(s["Signed-By"] == "/usr/share/keyrings/debian-archive-keyring.gpg" for s in stanzas)

    # Sources that name no snapshot address stop the step rather than leave the live archive.
    sources.write_text("".join(line + "\n" for line in IMAGE_SOURCES.splitlines() if not line.startswith("# ")))
    assert subprocess.run(step, env=env, capture_output=True).returncode
