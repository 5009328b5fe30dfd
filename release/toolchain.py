"""The toolchain the release is made with: the Debian packages that shape its bytes, checked against
their pins (pins/debian.txt) before anything is built, and the record of it all that the release
ships.

A package at another version, or missing, is refused in one line that names each, the pinned and
the found version, unless the release is told to go on knowingly (CI, on whatever Debian serves
that day); then that line is all it says. The record, tq_velmor-<version>.buildinfo (after
Debian's .buildinfo), names the packages at the versions used, the image and the time of Debian's
snapshot archive the workflows install from, and the Python pins of the tooling and of the
Windows interpreter the program is made in: two releases with the same record and commit are the
same bytes.
"""

import subprocess
import time

from tooling import ToolingError, pins

FORMAT = "1.0"


def pinned():
    """{package: version} of pins/debian.txt ("package=version" lines, as apt names a version)."""
    return dict(line.split("=", 1) for line in pins.lines("debian.txt"))


def installed(package):
    """The version of `package` dpkg has installed; None when it is not installed (or no dpkg)."""
    try:
        found = subprocess.run(["dpkg-query", "--show", "--showformat", "${db:Status-Status} ${Version}", package],
                               capture_output=True, text=True, stdin=subprocess.DEVNULL)
    except OSError:
        return None
    status, _, version = found.stdout.partition(" ")
    return version if found.returncode == 0 and status == "installed" else None


def drift(found=installed):
    """{package: (pinned, found or None)} of the packages not at their pinned version."""
    versions = {package: (version, found(package)) for package, version in pinned().items()}
    return {package: pair for package, pair in versions.items() if pair[0] != pair[1]}


def drift_line(differences):
    """The one line that tells a drift: each package, the version found and the pinned one."""
    return "; ".join(f"{package} {found or 'not installed'} (pinned {version})"
                     for package, (version, found) in differences.items())


def check(allow_drift=False, found=installed):
    """The drift's one line ("" when every package is at its pin); a ToolingError of it unless
    `allow_drift`."""
    line = drift_line(drift(found))
    if line and not allow_drift:
        raise ToolingError(f"the toolchain differs from pins/debian.txt: {line} (move the pins to what the archive "
                           "serves, or install the pinned versions: docs/releasing.md#moving-a-pin; "
                           "--allow-toolchain-drift goes on)")
    return line


def record_name(version):
    return f"tq_velmor-{version}.buildinfo"


def _field(name, entries):
    """A deb822 field holding one "name (= version)" a line, as Debian's .buildinfo lists packages."""
    return f"{name}:\n" + ",\n".join(f" {package} (= {version})" for package, version in entries) + "\n"


def record(version, commit, epoch, windows_runtime, windows_packages, found=installed):
    """The text of the release's record of its toolchain. `windows_runtime` names the Windows
    interpreter the program is made in and `windows_packages` is {name: version} of what it
    installs there."""
    image, snapshot = pins.base_image()
    debian = {package: found(package) or "none" for package in pinned()}
    lines = [
        f"Format: {FORMAT}",
        "Source: tq-velmor",
        f"Version: {version}",
        f"Commit: {commit}",
        f"Build-Date: {time.strftime('%a, %d %b %Y %H:%M:%S +0000', time.gmtime(epoch))}",
        f"Build-Image: {image}",
        f"Build-Debian-Snapshot: {snapshot}",
        f"Windows-Python: {windows_runtime}",
    ]
    differences = drift(found)
    if differences:
        lines.append(f"Toolchain-Drift: {drift_line(differences)}")
    return ("\n".join(lines) + "\n"
            + _field("Installed-Build-Depends", sorted(debian.items()))
            + _field("Tooling-Python-Packages", sorted(pins.python("tooling.txt").items()))
            + _field("Windows-Python-Packages", sorted(windows_packages.items())))
