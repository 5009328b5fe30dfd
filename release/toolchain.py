"""The Debian packages that shape the release's bytes, checked against their pins (pins/debian.txt)
before anything is built: a package at another version, or missing, is refused in one line that
names it, the pinned and the found version, unless the release is told to go on knowingly."""

import subprocess

from tooling import ToolingError, pins


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


def check(allow_drift=False, found=installed):
    """The lines telling how the installed packages differ from their pins (none when they are
    as pinned); a ToolingError of those lines unless `allow_drift`."""
    drift = [f"{package}: pinned {version}, found {found(package) or 'none installed'}"
             for package, version in pinned().items() if found(package) != version]
    if drift and not allow_drift:
        raise ToolingError(f"the toolchain differs from pins/debian.txt: {'; '.join(drift)} "
                           "(.ci/debian-tools installs the pinned versions; --allow-toolchain-drift goes on)")
    return drift
