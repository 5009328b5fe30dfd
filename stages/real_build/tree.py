"""The two archives the build downloads, checked, and what the stage reads of them; what else the
code host answers (a newer release, for yt-dlp -U; yt-dlp's own PyInstaller wheel, changed).

The archives themselves come from the shared data folder (TQ_VELMOR_SHARED_DATA, default
../shared/data beside the checkout); their SHA-256 is pinned in pins/, and an archive that does not
match is refused.
"""

import hashlib
import json
import os
import re
import struct
import tempfile
import zipfile
from pathlib import Path

from tooling import ToolingError, pins
from tq_velmor_host import locks
from wine_runtime import wine

HERE = Path(__file__).resolve().parent
SHARED = Path(os.environ.get("TQ_VELMOR_SHARED_DATA") or HERE.parents[2] / "shared" / "data")

SOURCE = "yt-dlp-master-81ecd58b13.zip"
UPX = "upx-4.2.2-win64.zip"
# The URLs the module downloads (src/host/constants.hpp), each answered with one archive.
SOURCE_URL = "https://github.com/yt-dlp/yt-dlp/archive/refs/heads/master.zip"
UPX_URL = "https://github.com/upx/upx/releases/download/v4.2.2/upx-4.2.2-win64.zip"
URLS = {SOURCE_URL: SOURCE, UPX_URL: UPX}
# What yt-dlp -U asks (yt_dlp/update.py): the latest release, then its update spec.
LATEST_RELEASE_URL = "https://api.github.com/repos/yt-dlp/yt-dlp/releases/latest"
UPDATE_SPEC_URL = "https://github.com/yt-dlp/yt-dlp/releases/latest/download/_update_spec"
# The libraries the executable's verbose header must list, by the name the full set's lock gives them.
LIBRARIES = ("yt-dlp-ejs", "curl-cffi")

# What the module's packaging-script fix does to bundle/pyinstaller.py.
TARGET = "set_version_info(final_file, version)"
FIX = "final_file = os.path.abspath(final_file); set_version_info(final_file, version)"


def expected_sha256(name):
    digest, listed = pins.path(f"{name}.sha256").read_text().split()
    if listed != name:
        raise ToolingError(f"{name}.sha256 names {listed}")
    return digest.lower()


def checked(name):
    """The archive's path, once its bytes match the pinned SHA-256."""
    path = SHARED / name
    if not path.is_file():
        raise ToolingError(f"{path} is missing (TQ_VELMOR_SHARED_DATA names the folder)")
    digest = hashlib.sha256(path.read_bytes()).hexdigest()
    if digest != expected_sha256(name):
        raise ToolingError(f"{path}: sha256 {digest}, expected {expected_sha256(name)}: refused")
    return path


def answers():
    """{URL: (archive path, sha256)} for the proxy, every archive checked."""
    return {url: (checked(name), expected_sha256(name)) for url, name in URLS.items()}


def upx_named():
    """The environment entry that has the build take the UPX archive served here, which was built
    from UPX's sources, not the official release asset: named as a user names a mirror's."""
    return {"TQ_VELMOR_UPX_SHA256": expected_sha256(UPX)}


def version():
    """The yt-dlp version the source tree declares."""
    with zipfile.ZipFile(checked(SOURCE)) as z:
        text = z.read("yt-dlp-master/yt_dlp/version.py").decode()
    return re.search(r"^__version__ = '([^']+)'", text, re.M)[1]


def second_copy(folder):
    """The tree extracted into `folder` and patched as the build patches it, with upx.exe beside
    it; returns the tree's path."""
    with zipfile.ZipFile(checked(SOURCE)) as z:
        z.extractall(folder)
    script = folder / "yt-dlp-master" / "bundle" / "pyinstaller.py"
    code = script.read_text(encoding="utf-8")
    if TARGET not in code:
        raise ToolingError(f"{script} holds no {TARGET!r}")
    script.write_text(code.replace(TARGET, FIX), encoding="utf-8")
    with zipfile.ZipFile(checked(UPX)) as z:
        member = next(name for name in z.namelist() if name.endswith("upx.exe"))
        (folder / "upx.exe").write_bytes(z.read(member))
    return folder / "yt-dlp-master"


def changed_upx(folder):
    """A copy of the UPX archive with one byte changed in the stored data of a member other than
    upx.exe, in `folder`; returns (path, sha256). The copy still opens and gives the same upx.exe,
    so only its SHA-256 tells it from the good one."""
    good = checked(UPX)
    data = bytearray(good.read_bytes())
    with zipfile.ZipFile(good) as z:
        member = next(i for i in z.infolist() if i.compress_size and not i.filename.endswith("upx.exe"))
        upx = z.read(next(name for name in z.namelist() if name.endswith("upx.exe")))
    # The member's data follows its local header: 30 bytes, then its name and extra field.
    name_length, extra_length = struct.unpack_from("<HH", data, member.header_offset + 26)
    at = member.header_offset + 30 + name_length + extra_length + member.compress_size // 2
    data[at] ^= 0x01
    path = folder / UPX
    path.write_bytes(bytes(data))
    with zipfile.ZipFile(path) as z:
        if z.read(next(name for name in z.namelist() if name.endswith("upx.exe"))) != upx:
            raise ToolingError(f"{path}: the changed copy no longer gives the same upx.exe")
    return path, hashlib.sha256(data).hexdigest()


def _member(name):
    with zipfile.ZipFile(checked(SOURCE)) as z:
        return z.read(f"yt-dlp-master/{name}").decode("utf-8")


def commit():
    """The commit the code host names in the archive's comment."""
    with zipfile.ZipFile(checked(SOURCE)) as z:
        return z.comment.decode("ascii").strip()


def locked(lock, names):
    """{name: version} of `names` as the tree's `lock` (a file of bundle/requirements) pins them."""
    found = {}
    for line in locks.logical_lines(_member(f"{locks.FOLDER}/{lock}")):
        pinned = re.match(r"([A-Za-z0-9_.-]+)==(\S+)", line)
        if pinned and pinned[1] in names:
            found[pinned[1]] = pinned[2]
    if set(found) != set(names):
        raise ToolingError(f"{lock} pins none of {sorted(set(names) - set(found))}")
    return found


def pyinstaller_wheel_url():
    """(the URL, the version) of yt-dlp's own PyInstaller wheel as the tree's Windows x64 lock names it."""
    lock = locks.PLATFORMS[("nt", "x64")][0]
    with tempfile.TemporaryDirectory() as folder:
        path = Path(folder) / lock
        path.write_text(_member(f"{locks.FOLDER}/{lock}"), encoding="utf-8")
        named = locks.url_requirement(path)
    if named is None:
        raise ToolingError(f"{lock} names no PyInstaller by URL")
    return named[1], locks.version_in(named[1])


def newer_release(folder):
    """What the code host says of a release newer than the tree's, in `folder`: {URL: (file, sha256)}
    for the latest release's API answer and its update spec (whose locks hold no current Python)."""
    year = int(version().split(".")[0])
    newer = f"{year + 1}.01.01"
    folder.mkdir(parents=True, exist_ok=True)
    release = folder / "latest.json"
    release.write_text(json.dumps({"tag_name": newer, "name": f"yt-dlp {newer}", "target_commitish": "master",
                                   "body": "", "assets": []}))
    spec = folder / "_update_spec"
    spec.write_text("# This file is used for regulating self-update\n"
                    "lock 2022.08.18.36 .+ Python 3\\.6\n"
                    "lockV2 yt-dlp/yt-dlp 2022.08.18.36 .+ Python 3\\.6\n")
    return {url: (path, hashlib.sha256(path.read_bytes()).hexdigest())
            for url, path in ((LATEST_RELEASE_URL, release), (UPDATE_SPEC_URL, spec))}


def changed_wheel(cache, folder):
    """The package index's PyInstaller wheel of the version the Windows lock names (pip download,
    kept in `cache`), with one byte changed, in `folder` under the name the lock's URL gives it:
    {URL: (path, sha256)}."""
    url, version_ = pyinstaller_wheel_url()
    wheels = wine.fetch_wheels(cache, [f"pyinstaller=={version_}"])
    wheel = next(wheels.glob(f"pyinstaller-{version_}-*win_amd64.whl"))
    data = bytearray(wheel.read_bytes())
    data[len(data) // 2] ^= 0x01
    folder.mkdir(parents=True, exist_ok=True)
    path = folder / url.rsplit("/", 1)[1]
    path.write_bytes(bytes(data))
    return {url: (path, hashlib.sha256(data).hexdigest())}
