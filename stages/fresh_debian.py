"""The README's commands on a fresh Debian 12, as a new contributor meets them: in a debootstrap of
today's release with its updates, security and backports archives, as root in a fresh clone of
HEAD, the README's packages line, then .ci/debian-tools, then the README's test command.

  python3 -m stages.fresh_debian        (as root, with debootstrap: .ci/fresh-debian)

The archives are those the machine's own sources name for its release and its security suite
(tooling/apt_sources.py). The base system, debootstrap's minbase brought up to date from them, is
made once a day and kept as a tarball in ~/.cache/tq_velmor-fresh-debian
(TQ_VELMOR_FRESH_DEBIAN_CACHE); each run unpacks it into a scratch folder. Of the machine's
environment the fresh system gets its certificate authorities (SSL_CERT_FILE and PIP_CERT name a
copy of the bundle: the package index may be reached only through them) and its proxy and index
settings, nothing else. Every command runs in mount and PID namespaces of its own, with /proc, /sys
and /dev mounted there: they go with it, and so does every process it leaves.
"""

import hashlib
import os
import platform
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time
from pathlib import Path

from release import toolchain
from stages import readme_commands
from tooling import ToolingError, apt_sources, logger

ROOT = Path(__file__).resolve().parent.parent
CLONE = "/root/tq_velmor"
AUTHORITIES = "/etc/ssl/machine-authorities.pem"
# What the fresh system takes from the machine's environment, when set.
PASSED = re.compile(r"(?i)(https?|ftp|all|no)_proxy|PIP_INDEX_URL|PIP_EXTRA_INDEX_URL|PIP_TRUSTED_HOST")
# What the report names beside the pinned toolchain.
REPORTED = ("git", "g++", "python3", "python3.11", "python3-venv")
# Mounted inside the namespace: the system's own /proc, and the machine's /sys and /dev.
ENTER = ('root=$1 && shift && mount -t proc proc "$root/proc" && mount -t sysfs sysfs "$root/sys" '
         '&& mount --rbind /dev "$root/dev" && exec chroot "$root" "$@"')
# The namespace's first process killed with unshare, and every other one with it.
ISOLATED = ["unshare", "--mount", "--pid", "--fork", "--kill-child", "--propagation", "private", "--"]


log = logger("fresh-debian")


def cache():
    return Path(os.environ.get("TQ_VELMOR_FRESH_DEBIAN_CACHE") or Path.home() / ".cache" / "tq_velmor-fresh-debian")


def sources(codename, archive, security):
    """The fresh system's deb822 sources: the release with its updates and backports, and its
    security suite, each (address, key) as the machine has it."""
    stanzas = []
    for (uri, key), suites in ((archive, f"{codename} {codename}-updates {codename}-backports"),
                               (security, f"{codename}-security")):
        stanzas.append(f"Types: deb\nURIs: {uri}\nSuites: {suites}\nComponents: main\n"
                       + (f"Signed-By: {key}\n" if key else "")
                       # An archive as it was at a time (Debian's snapshot archive, which the
                       # workflows install from) serves Release files past their Valid-Until.
                       + ("Check-Valid-Until: no\n" if re.search(r"/\d{8}T\d{6}Z/?$", uri) else ""))
    return "\n".join(stanzas)


def environment():
    """The fresh system's environment for every command."""
    env = {"HOME": "/root", "PATH": "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin",
           "LANG": "C.UTF-8", "DEBIAN_FRONTEND": "noninteractive", "SSL_CERT_FILE": AUTHORITIES,
           "PIP_CERT": AUTHORITIES}
    env.update({name: value for name, value in os.environ.items() if PASSED.fullmatch(name) and value})
    return env


def run(command, output, what):
    """`command`, its output appended to the file `output`; ToolingError naming `what` and the
    output's end unless it succeeds."""
    with open(output, "ab") as out:
        status = subprocess.run([str(part) for part in command], stdin=subprocess.DEVNULL, stdout=out,
                                stderr=subprocess.STDOUT).returncode
    if status:
        tail = "\n".join(Path(output).read_text(errors="replace").splitlines()[-40:])
        raise ToolingError(f"{what} ended with status {status}; the end of its output:\n{tail}")


def inside(root, command, output, what):
    """`command` (bash) run as root in the system at `root`, in the clone when there is one."""
    env = [f"{name}={value}" for name, value in environment().items()]
    run([*ISOLATED, "sh", "-c", ENTER, "sh", root, "env", "-i", *env, "bash", "-euo", "pipefail", "-c", command],
        output, what)


def mounted_below(folder):
    """The mount points below `folder` this process sees."""
    folder = os.path.realpath(folder)
    with open("/proc/self/mountinfo") as mounts:
        points = [line.split()[4].encode().decode("unicode_escape") for line in mounts]
    return [point for point in points if point == folder or point.startswith(folder + "/")]


def remove(folder):
    """Removes `folder`, never through a mount point (a system's /dev is the machine's)."""
    left = mounted_below(folder)
    if left:
        raise ToolingError(f"{folder} is not removed: something is still mounted there: {', '.join(left)}")
    # A stopped system's last processes may still be writing there for a moment.
    for _ in range(30):
        shutil.rmtree(folder, ignore_errors=True)
        if not os.path.lexists(folder):
            return
        time.sleep(1)
    raise ToolingError(f"{folder} could not be removed")


def base(codename, archive, security, output):
    """The base system's tarball, made when today's is not in the cache: minbase from the
    release's archive, its sources set, brought up to date, without apt's downloads."""
    folder = cache()
    day = time.strftime("%Y%m%d", time.gmtime())
    tag = hashlib.sha256(sources(codename, archive, security).encode()).hexdigest()[:12]
    tarball = folder / f"{codename}-{day}-{tag}.tar"
    if tarball.exists():
        log(f"the base system of {codename} made today, from the cache: {tarball}")
        return tarball
    folder.mkdir(parents=True, exist_ok=True)
    started = time.monotonic()
    partial = Path(tempfile.mkdtemp(prefix=f"{codename}-partial-", dir=folder))
    try:
        system = partial / "root"
        uri, key = archive
        # In a mount namespace of its own, so that nothing debootstrap mounts outlives it.
        run([*ISOLATED, "debootstrap", "--variant=minbase", *(["--keyring", key] if key else []), codename, system,
             uri], output, "debootstrap")
        (system / "etc" / "apt" / "sources.list").unlink(missing_ok=True)
        (system / "etc" / "apt" / "sources.list.d" / "debian.sources").write_text(sources(codename, archive, security))
        inside(system, "apt-get update && apt-get -y upgrade && apt-get clean", output, "bringing the base up to date")
        run(["tar", "--numeric-owner", "-C", system, "-cf", partial / "base.tar", "."], output, "tar")
        os.replace(partial / "base.tar", tarball)
    finally:
        remove(partial)
    for old in folder.glob("*.tar"):
        if old != tarball:
            old.unlink()
    log(f"the base system of {codename} made by debootstrap and brought up to date: {tarball} "
        f"({tarball.stat().st_size / 2**20:.0f} MiB, {time.monotonic() - started:.0f} s)")
    return tarball


def installed(system, output):
    """What the fresh system has of the toolchain and of what the README installs, one line."""
    names = [*toolchain.pinned(), *REPORTED]
    inside(system, f"dpkg-query --show --showformat '${{Package}} ${{Version}}\\n' {' '.join(names)} "
                   f"> /tmp/installed 2>/dev/null || true", output, "dpkg-query")
    return ", ".join((system / "tmp" / "installed").read_text().split("\n")[:-1])


def stage(scratch):
    codename = platform.freedesktop_os_release()["VERSION_CODENAME"]
    archive, security = apt_sources.serving(codename), apt_sources.serving(f"{codename}-security")
    output = scratch / "output.log"
    tarball = base(codename, archive, security, output)

    system = scratch / "root"
    system.mkdir()
    run(["tar", "--numeric-owner", "-C", system, "-xf", tarball], output, "unpacking the base")
    authorities = system / AUTHORITIES.lstrip("/")
    authorities.parent.mkdir(parents=True, exist_ok=True)
    shutil.copyfile(os.environ.get("SSL_CERT_FILE") or "/etc/ssl/certs/ca-certificates.crt", authorities)
    subprocess.run(["git", "clone", "-q", str(ROOT), str(system / CLONE.lstrip("/"))], check=True,
                   stdin=subprocess.DEVNULL)
    head = subprocess.run(["git", "-C", str(ROOT), "rev-parse", "--short=12", "HEAD"], capture_output=True, text=True,
                          check=True).stdout.strip()
    log(f"a fresh {codename} from {archive[0]} (with {codename}-updates and -backports) and {security[0]}, "
        f"a clone of {head} in {CLONE}")

    blocks = readme_commands.blocks(readme_commands.README.read_text(encoding="utf-8"))
    steps = [("the README's packages line", readme_commands.without_sudo(blocks["packages"][0])),
             ("the Windows side's packages", ".ci/debian-tools"),
             ("the README's test command", blocks["test"][0])]
    for name, command in steps:
        log(f"{name}: {command.strip()}")
        started, before = time.monotonic(), output.stat().st_size
        inside(system, f"cd {CLONE}\n{command}", output, name)
        said = [line for line in output.read_bytes()[before:].decode(errors="replace").splitlines() if line.strip()]
        log(f"{name}: done in {time.monotonic() - started:.0f} s" + (f"; it ended with: {said[-1]}" if said else ""))
    log(f"installed: {installed(system, output)}")
    inside(system, f"cd {CLONE} && python3 -m release.toolchain > /tmp/drift", output, "the toolchain's check")
    log((system / "tmp" / "drift").read_text().strip())


def main():
    if os.geteuid() != 0:
        log("FAILED: it runs as root (debootstrap, chroot and the packages line's apt-get)")
        return 1
    # Stopped (as .ci/run stops it when it fails early), it still takes its system away.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))
    started = time.monotonic()
    scratch = Path(tempfile.mkdtemp(prefix="tq_velmor-fresh-debian-"))
    try:
        try:
            stage(scratch)
        finally:
            remove(scratch)
    except (ToolingError, subprocess.CalledProcessError, OSError) as failure:
        log(f"FAILED: {failure}")
        return 1
    log(f"passed in {time.monotonic() - started:.0f} s")
    return 0


if __name__ == "__main__":
    sys.exit(main())
