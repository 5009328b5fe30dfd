"""The downloaded source: its digest, its commit, and the version it states.

The code host names the commit of a branch archive in the archive's comment. Before packaging,
the tree's yt_dlp/version.py is made to say what the build really is: that commit as its
RELEASE_GIT_HEAD (not the last release's), a variant that marks a build from source, and an update
hint, so that `yt-dlp.exe -U` tells the user to build again instead of swapping in the official
binary. Nothing in it depends on the time of the build.
"""

import hashlib
import os
import re
import subprocess
import zipfile
from dataclasses import dataclass

ARCHIVE = "source.zip"
VERSION_FILE = os.path.join("yt_dlp", "version.py")
SET_VARIANT = os.path.join("devscripts", "set-variant.py")
VARIANT = "tq-velmor source build"
COMMIT = re.compile(r"[0-9a-f]{40}")


@dataclass(frozen=True)
class Source:
    sha256: str | None
    commit: str | None


def inspect(archive=ARCHIVE):
    """The archive's SHA-256 and commit (None for what cannot be read)."""
    try:
        with open(archive, "rb") as f:
            digest = hashlib.file_digest(f, "sha256").hexdigest()
        with zipfile.ZipFile(archive) as z:
            comment = z.comment.decode("ascii", "replace").strip()
    except (OSError, zipfile.BadZipFile):
        return Source(None, None)
    return Source(digest, comment if COMMIT.fullmatch(comment) else None)


def setting(name, value):
    """What the tree's set-variant.py does to one setting of version.py (a function of its text)."""
    return lambda text: re.sub(rf"(?m)^{name}\s*=\s*.+$", lambda _: f"{name} = {value!r}", text)


def mark(python, repo, commit, hint):
    """version.py of the tree at `repo` made to state a build from source at `commit`: the variant
    and the hint through the tree's own set-variant.py where it runs, the commit (and, where the
    script does not run, the rest) by the same substitution. A tree without version.py is left as
    it is."""
    path = os.path.join(repo, VERSION_FILE)
    if not os.path.isfile(path):
        return
    edits = [setting("RELEASE_GIT_HEAD", commit)]
    script = os.path.join(repo, SET_VARIANT)
    ran = False
    if os.path.isfile(script):
        try:
            ran = subprocess.run([python, SET_VARIANT, VARIANT, "-M", hint], cwd=repo, stdin=subprocess.DEVNULL,
                                 stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL).returncode == 0
        except OSError:
            ran = False
    if not ran:
        edits += [setting("VARIANT", VARIANT), setting("UPDATE_HINT", hint)]
    with open(path, encoding="utf-8", newline="") as f:
        text = f.read()
    for edit in edits:
        text = edit(text)
    with open(path, "w", encoding="utf-8", newline="") as f:
        f.write(text)
