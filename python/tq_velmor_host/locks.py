"""The source's own locked build dependencies (bundle/requirements), chosen for the interpreter's
platform as yt-dlp's own build chooses them: pip, then PyInstaller, then the full-featured set.

On Windows the PyInstaller lock names yt-dlp's own build of PyInstaller by a URL on the code host.
It is fetched here, within the stall limit, and checked against the lock's hashes before pip sees
it: a file that does not match stops the build; one that cannot be fetched is replaced by the same
version from the package index, and the build says so.
"""

import hashlib
import os
import re
import urllib.error
import urllib.parse
import urllib.request
from dataclasses import dataclass
from pathlib import Path

FOLDER = os.path.join("bundle", "requirements")
PIP = "pip.txt"
# (PyInstaller's lock, the full-featured set's) by (platform, machine).
PLATFORMS = {
    ("nt", "x64"): ("win-x64-pyinstaller.txt", "curl-cffi.txt"),
    ("nt", "arm64"): ("win-arm64-pyinstaller.txt", "curl-cffi.txt"),
    ("nt", "x86"): ("win-x86-pyinstaller.txt", "default.txt"),
    ("posix", "x86_64"): ("pyinstaller.txt", "linux.txt"),
    ("posix", "aarch64"): ("pyinstaller.txt", "linux.txt"),
}
WHEEL_LIMIT = 256 << 20  # bytes: far above any PyInstaller wheel, far below a disk
HASH = re.compile(r"--hash[= ]sha256:([0-9a-fA-F]{64})")
URL_REQUIREMENT = re.compile(r"^\s*pyinstaller\s*@\s*(\S+)", re.IGNORECASE)


class Unreadable(Exception):
    """A lock that cannot be read: which, and why."""

    def __init__(self, lock, error):
        super().__init__(lock, error)
        self.lock, self.error = lock, error


class Mismatch(Exception):
    """A fetched file whose SHA-256 the lock does not list."""

    def __init__(self, url, digest):
        super().__init__(url, digest)
        self.url, self.digest = url, digest


@dataclass(frozen=True)
class Locks:
    """The three locks of a source tree for one platform, in the order they are installed."""
    folder: str
    names: tuple

    def path(self, name):
        return os.path.join(self.folder, name)

    def digest(self):
        """What tells this set of locks from another: the SHA-256 of their names and bytes."""
        digest = hashlib.sha256()
        for name in self.names:
            digest.update(name.encode() + b"\0")
            digest.update(read_bytes(self.path(name)))
        return digest.hexdigest()


def read_bytes(path):
    try:
        with open(path, "rb") as f:
            return f.read()
    except OSError as error:
        raise Unreadable(os.path.basename(path), str(error.strerror or error)) from error


def find(repo, system, machine):
    """The Locks of the tree at `repo` for the platform, or the reason there are none: "no locks"
    (no bundle/requirements) or "no platform locks"."""
    folder = os.path.join(repo, FOLDER)
    if not os.path.isdir(folder):
        return "no locks"
    names = PLATFORMS.get((system, machine))
    if names is None or not all(os.path.isfile(os.path.join(folder, name)) for name in (PIP, *names)):
        return "no platform locks"
    return Locks(folder, (PIP, *names))


def logical_lines(text):
    """The lines of a requirements file with their continuations joined and comments dropped."""
    lines, pending = [], ""
    for line in text.splitlines():
        line = re.sub(r"(^|\s)#.*", "", line)
        if line.rstrip().endswith("\\"):
            pending += line.rstrip()[:-1] + " "
            continue
        lines.append(pending + line)
        pending = ""
    if pending:
        lines.append(pending)
    return [line.strip() for line in lines if line.strip()]


def url_requirement(path):
    """(the line, its URL, its hashes) of the lock's PyInstaller named by URL, or None."""
    try:
        text = read_bytes(path).decode("utf-8")
    except UnicodeDecodeError as error:
        raise Unreadable(os.path.basename(path), str(error)) from error
    for line in logical_lines(text):
        found = URL_REQUIREMENT.match(line)
        if found:
            return line, found[1], {digest.lower() for digest in HASH.findall(line)}
    return None


def fetch(url, hashes, folder, stall):
    """The file at `url` saved into `folder`, once its SHA-256 is one of `hashes`; its path.
    Mismatch when it is not; OSError (urllib's errors among them), ValueError or an HTTPException
    when it cannot be fetched."""
    name = os.path.basename(urllib.parse.urlsplit(url).path) or "download"
    os.makedirs(folder, exist_ok=True)
    path = os.path.join(folder, name)
    digest, size = hashlib.sha256(), 0
    with urllib.request.urlopen(url, timeout=stall) as response, open(path + ".partial", "wb") as f:
        while chunk := response.read(1 << 16):
            size += len(chunk)
            if size > WHEEL_LIMIT:
                raise OSError(f"more than {WHEEL_LIMIT:,} bytes")
            digest.update(chunk)
            f.write(chunk)
    if digest.hexdigest() not in hashes:
        os.remove(path + ".partial")
        raise Mismatch(url, digest.hexdigest())
    os.replace(path + ".partial", path)
    return path


def version_in(url):
    """The version of the wheel a URL names (6.22.0 of .../pyinstaller-6.22.0-py3-none-win_amd64.whl)."""
    name = os.path.basename(urllib.parse.urlsplit(url).path)
    parts = name.split("-")
    return parts[1] if len(parts) >= 2 and name.endswith(".whl") else None


def rewritten(path, line, replacement, folder):
    """A copy of the lock at `path`, in `folder`, whose logical `line` is `replacement` (a line, or
    nothing); returns the copy's path."""
    text = read_bytes(path).decode("utf-8")
    kept = [replacement if each == line else each for each in logical_lines(text)]
    os.makedirs(folder, exist_ok=True)
    copy = os.path.join(folder, os.path.basename(path))
    Path(copy).write_text("".join(each + "\n" for each in kept if each), encoding="utf-8")
    return copy
