"""Authenticode signatures on the release's Windows files, with osslsigncode.

The certificate comes from the environment: TQ_VELMOR_SIGN_PKCS12 (a PKCS#12 file holding the
private key and its certificate), TQ_VELMOR_SIGN_PASSWORD (its password) and, optionally,
TQ_VELMOR_SIGN_TIMESTAMP_URL (an RFC 3161 time-stamp server, so that the signature outlives the
certificate). Without the first two the release is not signed. The password never goes on a
command line: openssl reads it from its environment, osslsigncode from a file only we can read.
Files are signed after tooling.pe.prepare(), and a signature that could not be taken off again to give
the very bytes that were signed is refused.
"""

import os
import re
import shutil
import subprocess
import tempfile
import urllib.parse
from dataclasses import dataclass, field
from pathlib import Path

from tooling import ToolingError, pe

PKCS12 = "TQ_VELMOR_SIGN_PKCS12"
PASSWORD = "TQ_VELMOR_SIGN_PASSWORD"
TIMESTAMP_URL = "TQ_VELMOR_SIGN_TIMESTAMP_URL"
DESCRIPTION = "tq-velmor"
# A time-stamp server can be slow, but it must not hold a release for ever.
TIMEOUT = 300


class SigningError(ToolingError):
    pass


@dataclass(frozen=True)
class Settings:
    pkcs12: Path
    password: str = field(repr=False)
    timestamp_url: str | None = None


def _one_line(text, fallback):
    """osslsigncode's and openssl's own words, without OpenSSL's coded error-queue lines."""
    lines = [line.strip() for line in text.splitlines()
             if line.strip() and not re.match(r"[0-9A-F]{8,}:error:", line.strip())]
    return "; ".join(lines[:3]) or fallback


def _pem_blocks(text, kind):
    return re.findall(rf"-----BEGIN {kind}-----\n.*?-----END {kind}-----\n", text, re.S)


def _openssl(args, stdin=None, env=None):
    return subprocess.run(["openssl", *args], input=stdin, env=env, capture_output=True, text=True)


def _public_key(args, pem):
    result = _openssl(args, stdin=pem)
    return result.stdout if result.returncode == 0 else None


def _check_pkcs12(path, password):
    """SigningError unless `path` is a PKCS#12 file that `password` opens, holding a private key
    and the certificate of that key."""
    try:
        with open(path, "rb"):
            pass
    except OSError as problem:
        raise SigningError(f"{PKCS12}: cannot read {path}: {problem.strerror}") from None
    env = {**os.environ, PASSWORD: password}
    command = ["pkcs12", "-in", str(path), "-passin", f"env:{PASSWORD}", "-nodes"]
    opened = _openssl(command, env=env)
    if opened.returncode and "unsupported" in opened.stderr:
        # Made with the old RC2/3DES defaults (OpenSSL 1.1, older Windows exports), which
        # OpenSSL 3 reads only with its legacy provider; osslsigncode loads that by itself.
        opened = _openssl([*command, "-legacy"], env=env)
    if opened.returncode:
        if re.search(r"mac verify (error|failure)", opened.stderr, re.I):
            raise SigningError(f"{PASSWORD}: wrong password for {path}")
        said = _one_line(opened.stderr, "")
        raise SigningError(f"{PKCS12}: {path} is not a PKCS#12 file openssl can read"
                           + (f" ({said})" if said else ""))
    keys = _pem_blocks(opened.stdout, r"(?:[A-Z]+ )?PRIVATE KEY")
    certificates = _pem_blocks(opened.stdout, "CERTIFICATE")
    if not keys:
        raise SigningError(f"{PKCS12}: {path} holds no private key")
    if not certificates:
        raise SigningError(f"{PKCS12}: {path} holds no certificate")
    key = _public_key(["pkey", "-pubout"], keys[0])
    if not key or all(_public_key(["x509", "-pubkey", "-noout"], c) != key for c in certificates):
        raise SigningError(f"{PKCS12}: {path} holds no certificate for its private key")


def settings(environ, outside=None):
    """The signing settings the environment gives, checked; None when it asks for no signature.
    The key must lie outside the folder `outside` (the checkout, where it could be committed)."""
    pkcs12 = environ.get(PKCS12, "")
    password = environ.get(PASSWORD, "")
    if not pkcs12 and not password:
        return None
    if not pkcs12:
        raise SigningError(f"{PASSWORD} is set but {PKCS12} is not: name the PKCS#12 file to sign with")
    if not password:
        raise SigningError(f"{PKCS12} is set but {PASSWORD} is not: give the PKCS#12 file's password")
    timestamp_url = environ.get(TIMESTAMP_URL) or None
    if timestamp_url is not None:
        parts = urllib.parse.urlsplit(timestamp_url)
        if parts.scheme not in ("http", "https") or not parts.hostname:
            raise SigningError(f"{TIMESTAMP_URL} must be an http:// or https:// address, not {timestamp_url!r}")
    path = Path(pkcs12).expanduser().resolve()
    checkout = outside and Path(outside).resolve()
    if checkout and (path == checkout or checkout in path.parents):
        raise SigningError(f"{PKCS12}: {path} lies inside the checkout {outside}: keep the key outside it, in the "
                           "clone's parent folder or anywhere else")
    _check_pkcs12(path, password)
    return Settings(pkcs12=path, password=password, timestamp_url=timestamp_url)


def sign(path, settings):
    """Signs the PE file at `path` in place (SHA-256, time-stamped when a server is named). The
    file is replaced only by a signed copy whose signature comes off to give its bytes back."""
    path = Path(path)
    original = path.read_bytes()
    try:
        if pe.signature_entry(original) != (0, 0):
            raise SigningError(f"{path.name} is signed already")
    except pe.PEError as problem:
        raise SigningError(f"{path.name}: {problem}") from None
    scratch = Path(tempfile.mkdtemp(prefix=f".{path.name}.signing-", dir=path.parent))
    try:
        password_file = scratch / "password"
        with open(os.open(password_file, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600), "w") as out:
            out.write(settings.password)
        signed = scratch / path.name
        command = ["osslsigncode", "sign", "-pkcs12", str(settings.pkcs12), "-readpass", str(password_file),
                   "-h", "sha256", "-n", DESCRIPTION]
        if settings.timestamp_url:
            command += ["-ts", settings.timestamp_url]
        command += ["-in", str(path), "-out", str(signed)]
        try:
            result = subprocess.run(command, stdin=subprocess.DEVNULL, capture_output=True, text=True,
                                    timeout=TIMEOUT)
        except subprocess.TimeoutExpired:
            raise SigningError(f"osslsigncode did not sign {path.name} within {TIMEOUT} s") from None
        if result.returncode or not signed.exists():
            raise SigningError(f"osslsigncode could not sign {path.name}: "
                               f"{_one_line(result.stderr + result.stdout, f'exit status {result.returncode}')}")
        data = signed.read_bytes()
        try:
            back = pe.unsigned(data)
        except pe.PEError as problem:
            raise SigningError(f"the signature osslsigncode put on {path.name} cannot be removed: {problem}") from None
        if back != original:
            raise SigningError(f"signing {path.name} changed more than it added: "
                               "it was not prepared first (tooling.pe.prepare)")
        pe.write_replacing(path, data)
    finally:
        shutil.rmtree(scratch, ignore_errors=True)
