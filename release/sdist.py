"""The source distribution, tq_velmor-<version>.tar.gz, from the pinned build backend.

scikit-build-core writes it reproducibly when SOURCE_DATE_EPOCH is set: members in name order,
each dated SOURCE_DATE_EPOCH, owned by 0:0 without names, modes 644 or 755 whatever the umask,
the gzip header dated the same. check() holds it to that and to the committed files, so that a
change of backend fails the release instead of changing its bytes; installed() proves that it
builds and installs on Linux with an ordinary pip.
"""

import struct
import subprocess
import tarfile
from pathlib import Path

from tooling import ToolingError

ROOT = Path(__file__).resolve().parent.parent


def build(python, out):
    """Builds it into `out` with the build tools' `python`; returns its path."""
    subprocess.run([str(python), "-m", "build", "--sdist", "--no-isolation", "--outdir", str(out), str(ROOT)],
                   check=True, stdin=subprocess.DEVNULL)
    found = list(out.glob("*.tar.gz"))
    if len(found) != 1:
        raise ToolingError(f"expected one source distribution, found {[f.name for f in found]}")
    return found[0]


def check(sdist, epoch):
    """Fails unless every header field that could vary between builds is fixed."""
    data = sdist.read_bytes()
    (gzip_mtime,) = struct.unpack_from("<I", data, 4)
    problems = [] if gzip_mtime == epoch else [f"gzip header dated {gzip_mtime}"]
    top = sdist.name[: -len(".tar.gz")]
    with tarfile.open(sdist, "r:gz") as tar:
        members = tar.getmembers()
    names = [m.name for m in members]
    if names[:-1] != sorted(names[:-1]) or names[-1] != f"{top}/PKG-INFO":
        problems.append("members not in name order with PKG-INFO last")
    for m in members:
        fields = (m.mtime, m.uid, m.gid, m.uname, m.gname, m.type)
        if fields != (epoch, 0, 0, "", "", tarfile.REGTYPE) or m.mode not in (0o644, 0o755):
            problems.append(f"{m.name}: mtime {m.mtime}, owner {m.uid}:{m.gid} {m.uname!r}:{m.gname!r}, "
                            f"mode {m.mode:o}, type {m.type!r}")
    # Exactly the committed files: nothing the checkout merely ignores (.git/info/exclude, say).
    tracked = subprocess.run(["git", "-C", str(ROOT), "ls-files", "-z"], check=True, capture_output=True,
                             text=True).stdout.split("\0")
    expected = {f"{top}/{name}" for name in tracked if name} | {f"{top}/PKG-INFO"}
    if set(names) != expected:
        problems.append(f"not the committed files: extra {sorted(set(names) - expected)[:5]}, "
                        f"missing {sorted(expected - set(names))[:5]}")
    with tarfile.open(sdist, "r:gz") as tar:
        pkg_info = tar.extractfile(f"{top}/PKG-INFO").read().decode()
    if "License-Expression: MIT" not in pkg_info.splitlines():
        problems.append("PKG-INFO declares no License-Expression: MIT")
    if problems:
        raise ToolingError(f"{sdist.name}: " + "; ".join(problems[:5]))
    return len(members)


def installed(sdist, scratch):
    """Installs it into a fresh virtual environment with pip, as a Linux user would, and runs the
    command's --help there; returns the help's first line."""
    venv = scratch / "sdist-venv"
    subprocess.run(["python3", "-m", "venv", str(venv)], check=True, stdin=subprocess.DEVNULL)
    install = subprocess.run([str(venv / "bin" / "python"), "-m", "pip", "install", "-q", "--disable-pip-version-check",
                              str(sdist)], stdin=subprocess.DEVNULL, capture_output=True, text=True)
    if install.returncode:
        raise ToolingError(f"pip install {sdist.name} failed:\n{install.stdout}{install.stderr}")
    empty = scratch / "sdist-run"
    empty.mkdir()
    run = subprocess.run([str(venv / "bin" / "tq-velmor"), "--help"], cwd=empty, stdin=subprocess.DEVNULL,
                         capture_output=True, text=True)
    if run.returncode or not run.stdout.startswith("usage: tq-velmor"):
        raise ToolingError(f"tq-velmor --help from {sdist.name}: status {run.returncode}\n{run.stdout}{run.stderr}")
    return run.stdout.splitlines()[0]
