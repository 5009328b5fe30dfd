"""The pins/ folder, read: every Python requirement set, the Debian packages, the base image and
the digests of what is downloaded, each in a file of its own there."""

import re
import tomllib
from pathlib import Path

FOLDER = Path(__file__).resolve().parent.parent / "pins"
PROJECT = FOLDER.parent / "pyproject.toml"


def path(name):
    return FOLDER / name


def canonical(name):
    return re.sub(r"[-_.]+", "-", name).lower()


def lines(name):
    """The lines of pins/`name` without comments and blanks."""
    found = (line.split("#")[0].strip() for line in path(name).read_text().splitlines())
    return [line for line in found if line]


def base_image():
    """(image, snapshot) of pins/base-image.txt: the workflows' image by digest, and the time of
    Debian's snapshot archive they install from (as the archive names it: 20260824T000000Z)."""
    image, snapshot = lines("base-image.txt")
    return image, snapshot.removeprefix("snapshot=")


def python(name):
    """{canonical name: version} of pins/`name`, a file of "name==version" lines."""
    return {canonical(package): version for package, version in (line.split("==") for line in lines(name))}


def extras():
    """{extra: ["name==version", ...]} of pyproject.toml's extras, markers dropped: pip reads the
    pins of what the test command installs from there alone."""
    project = tomllib.loads(PROJECT.read_text())["project"]
    return {extra: [requirement.split(";")[0].strip() for requirement in requirements]
            for extra, requirements in project["optional-dependencies"].items()}
