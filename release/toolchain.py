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

  python3 -m release.toolchain           the drift's one line, or that the toolchain is as pinned
  python3 -m release.toolchain --move    moves pins/debian.txt to the versions the archive serves
                                         (after apt-get update: .ci/debian-tools --move-pins)
  python3 -m release.toolchain --requests   what apt-get install needs to install the pins, up or down
                                            (.ci/debian-tools --pinned)
"""

import argparse
import os
import platform
import re
import subprocess
import sys
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


def _apt(command, run=subprocess.run):
    """What `command` (apt-cache's, dpkg-query's) prints, in apt's own words whatever the locale."""
    return run(command, capture_output=True, text=True, stdin=subprocess.DEVNULL, env={**os.environ, "LC_ALL": "C"})


def archive_version(package, pin, codename, run=subprocess.run):
    """The version of `package` the archive serves now, as apt would install it: its candidate,
    from the backports for a pin that came from there."""
    command = ["apt-cache", "policy", package]
    if "~bpo" in pin:
        command[1:1] = ["--target-release", f"{codename}-backports"]
    found = _apt(command, run)
    candidate = re.search(r"^\s*Candidate: (\S+)$", found.stdout, re.M)
    if found.returncode or not candidate or candidate[1] == "(none)":
        raise ToolingError(f"the archive serves no {package} ({' '.join(command)}): {found.stderr.strip()}")
    return candidate[1]


def move(codename, version_of=archive_version, now=None):
    """Moves pins/debian.txt to the versions the archive serves, comments kept, and when any moved
    the snapshot time of pins/base-image.txt and of the workflows (their DEBIAN_SNAPSHOT) to `now`:
    the snapshot archive at that time serves them. Returns a line for each pin moved."""
    old = pinned()
    new = {package: version_of(package, version, codename) for package, version in old.items()}
    moved = [f"{package} {old[package]} -> {new[package]}" for package in old if new[package] != old[package]]
    if moved:
        debian = pins.path("debian.txt")
        debian.write_text(re.sub(r"^([^#=\s]+)=\S+$", lambda pin: f"{pin[1]}={new[pin[1]]}", debian.read_text(),
                                 flags=re.M))
        if pinned() != new:
            raise ToolingError(f"{debian}: a pin is not a line of its own, package=version: moved by hand")
        snapshot = time.strftime("%Y%m%dT%H%M%SZ", time.gmtime(now))
        base_image = pins.path("base-image.txt")
        base_image.write_text(re.sub(r"^snapshot=\S+$", f"snapshot={snapshot}", base_image.read_text(), flags=re.M))
        for workflow in sorted((pins.FOLDER.parent / ".github" / "workflows").glob("*.yml")):
            workflow.write_text(re.sub(r"^(\s*DEBIAN_SNAPSHOT: )\S+$", rf"\g<1>{snapshot}", workflow.read_text(),
                                       flags=re.M))
    return moved


def installed_packages(run=subprocess.run):
    """[(package, its source package, version)] of every installed package."""
    fields = "${db:Status-Status} ${Package} ${source:Package} ${Version}\n"
    listed = _apt(["dpkg-query", "--show", "--showformat", fields], run).stdout
    return [tuple(fields[1:]) for fields in map(str.split, listed.splitlines()) if fields[:1] == ["installed"]]


def requests(found=installed, run=subprocess.run, everything=None):
    """The "package=version" arguments that bring apt-get install every pinned package to its pin,
    up or down: each one not at its version, and with it each installed package built from the
    same source, at the same version (python3.11-dev needs python3.11 at its very version, and apt
    brings no dependency down by itself). ToolingError for a pin the archive does not serve."""
    everything = installed_packages(run) if everything is None else everything
    served = {}

    def serves(package, version):
        if package not in served:
            listed = _apt(["apt-cache", "madison", package], run).stdout.splitlines()
            served[package] = {line.split("|")[1].strip() for line in listed if line.count("|") >= 2}
        return version in served[package]

    wanted = {}
    for package, version in pinned().items():
        if found(package) == version:
            continue
        if not serves(package, version):
            raise ToolingError(f"the archive serves no {package} {version}: move the pins to what it serves "
                               "(.ci/debian-tools --move-pins), or install from Debian's snapshot archive at the time "
                               "pins/base-image.txt names (docs/releasing.md)")
        wanted[package] = version
        shown = _apt(["apt-cache", "show", f"{package}={version}"], run).stdout
        source = re.search(r"^Source: (\S+)", shown, re.M)
        source = source[1] if source else package
        for other, other_source, other_version in everything:
            if other_source == source and other_version != version and other not in wanted and serves(other, version):
                wanted[other] = version
    return [f"{package}={version}" for package, version in wanted.items()]


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--move", action="store_true",
                        help="move pins/debian.txt (and the snapshot time) to the versions the archive serves")
    parser.add_argument("--requests", action="store_true",
                        help="print what apt-get install needs to install the pinned versions, up or down")
    args = parser.parse_args(argv)
    try:
        if args.requests:
            print(" ".join(requests()))
        elif args.move:
            moved = move(platform.freedesktop_os_release()["VERSION_CODENAME"])
            for line in moved:
                print(f"toolchain: pins/debian.txt: {line}")
            print(f"toolchain: {len(moved)} of {len(pinned())} pins moved"
                  + (f", the snapshot time to {pins.base_image()[1]}" if moved else ""))
        else:
            line = check(allow_drift=True)
            print(f"toolchain: drift from pins/debian.txt: {line}" if line else "toolchain: as pinned")
    except (ToolingError, OSError) as failure:
        print(f"toolchain: FAILED: {failure}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
