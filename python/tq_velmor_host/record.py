"""The build record: a small text file beside yt-dlp.exe that says what made it, so that another
person with the same interpreter can build again from the same inputs and compare the bytes.

It holds no time and no language of its own: the same build gives the same record.
"""

import hashlib
import os
from dataclasses import dataclass

from . import interpreter
from .folder import RECORD, RESULT
from .source import VARIANT
from .texts import ENGLISH

# Where the module downloads the source archive from (src/host/constants.hpp).
SOURCE_URL = "https://github.com/yt-dlp/yt-dlp/archive/refs/heads/master.zip"


@dataclass
class Facts:
    """What one run of the build learned on its way."""
    source_sha256: str | None = None
    commit: str | None = None
    python: str | None = None  # the interpreter that ran the build's commands
    upx: str = "not used"  # "used", or why not
    upx_archive_sha256: str | None = None
    upx_sha256: str | None = None  # of upx.exe, while it lay in the folder
    hash_seed: str | None = None  # PYTHONHASHSEED and SOURCE_DATE_EPOCH as the build had them
    source_date_epoch: str | None = None


def sha256(path):
    try:
        with open(path, "rb") as f:
            return hashlib.file_digest(f, "sha256").hexdigest()
    except OSError:
        return None


def lines(facts, environment, exe=RESULT):
    """The record's lines for the executable at `exe`."""
    size, digest = os.path.getsize(exe), sha256(exe)
    python = facts.python
    dll = interpreter.dll(python) if python and os.name == "nt" else None
    binary = dll or (os.path.realpath(python) if python else None)
    found = [
        "# tq-velmor build record: what made the yt-dlp.exe beside it. With the same interpreter and",
        "# these inputs, a build gives the same bytes (PyInstaller writes none of the time or place).",
        f"{RESULT}: {size} bytes, sha256 {digest}",
        f"source: {SOURCE_URL}",
        f"source sha256: {facts.source_sha256 or 'unknown'}",
        f"source commit: {facts.commit or 'unknown'}",
        f"version.py: RELEASE_GIT_HEAD {facts.commit}, VARIANT {VARIANT!r}",
        f"python: {environment.version if environment else 'unknown'}, {python}",
        f"python binary: {os.path.basename(binary) if binary else 'unknown'}, sha256 {binary and sha256(binary)}",
    ]
    if facts.upx == "used":
        found.append(f"upx: used, archive sha256 {facts.upx_archive_sha256}, upx.exe sha256 {facts.upx_sha256}")
    else:
        found.append(f"upx: {facts.upx}")
    pyinstaller = None
    if environment is not None and environment.outcome is not None:
        found.append(f"environment: {environment.folder}")
        found += [f"dependencies: {line}" for line in dependencies(environment.outcome)]
        for name, version, origin, wheel in environment.listed:
            found.append(f"package: {name}=={version} from {origin}" + (f", sha256 {wheel}" if wheel else ""))
            if name.lower() == "pyinstaller":
                pyinstaller = version
    found.append(f"pyinstaller: {pyinstaller or 'unknown'}")
    found += [f"PYTHONHASHSEED: {facts.hash_seed}", f"SOURCE_DATE_EPOCH: {facts.source_date_epoch}"]
    return found


def dependencies(outcome):
    """What the environment's packages are, in the record's words."""
    if outcome.route == "seven":
        name, fields = outcome.why
        return [f"the seven packages, because {getattr(ENGLISH, name).format(**fields)}"]
    found = [f"the source's locks {', '.join(outcome.locks)}, with --require-hashes"]
    if outcome.pyinstaller_from_index:
        version, error = outcome.pyinstaller_from_index
        found.append(ENGLISH.pyinstaller_from_index.format(version=version, error=error))
    return found


def write(facts, environment, exe=RESULT, path=RECORD):
    """The record written at `path` (replacing an earlier one); returns its path."""
    with open(path, "w", encoding="utf-8", newline="\n") as f:
        f.write("".join(line + "\n" for line in lines(facts, environment, exe)))
    return path
