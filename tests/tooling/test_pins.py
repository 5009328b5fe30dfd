"""Every pin in pins/ well formed, and one version of each Python package wherever it is pinned."""

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


def test_the_workflows_run_in_the_pinned_image():
    (image,) = pins.lines("base-image.txt")
    workflows = sorted((ROOT / ".github" / "workflows").glob("*.yml"))
    named = [line.split("image:", 1)[1].split("#")[0].strip() for path in workflows
             for line in path.read_text().splitlines() if line.strip().startswith("image:")]
    assert len(named) == len(workflows) and set(named) == {image}
