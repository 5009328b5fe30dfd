"""The release's signatures: put on with a throwaway certificate, verified, and taken off exactly.

  python3 -m tooling stages.signing_check [--from-release] FILE...

For each PE file (CI gives it the release's tq-velmor.exe and .pyd), in a copy: tooling.pe.prepare
(with --from-release the file must be prepared already: prepare changes nothing), release.sign
with a self-signed code-signing certificate made for this run, osslsigncode verify against that
certificate, and the signature taken off three ways (tooling.pe.unsigned, `python3 -m
release.unsign`, `osslsigncode remove-signature`), each of which must give back the prepared
bytes exactly. The same again for the file made one byte longer (prepare then pads it with 7 zero
bytes, the most it ever adds) and for a signature time-stamped by a local RFC 3161 server; a
time-stamp server that refuses must leave the file as it was. A program (.exe) must still start
under Wine, signed and padded: `--help` prints its usage, status 0. Then a PKCS#12 file in
OpenSSL 1.1's format signs too. One line per check; exit status 1 when any fails.
"""

import argparse
import contextlib
import hashlib
import http.server
import os
import re
import secrets
import shutil
import socket
import subprocess
import sys
import tempfile
import threading
from pathlib import Path

from release import authenticode, sign
from tooling import ToolingError, pe
from wine_runtime import wine

ROOT = Path(__file__).resolve().parent.parent
SUBJECT = "/CN=tq-velmor signing check"
TSA_SUBJECT = "/CN=tq-velmor signing check time-stamps"


class Skipped(Exception):
    """A check failed; what depends on it is not tried."""


def openssl(*args, env=None):
    subprocess.run(["openssl", *args], env=env, check=True, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                   stderr=subprocess.PIPE)


def certificate(folder, subject, usage):
    """A self-signed RSA certificate for `usage` (an extended key usage) and its key, good for a day."""
    key, cert = folder / f"{usage}.key", folder / f"{usage}.pem"
    openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", str(key), "-out", str(cert), "-days", "1",
            "-subj", subject, "-addext", f"extendedKeyUsage=critical,{usage}")
    return key, cert


def pkcs12(folder, name, password, *contents):
    path = folder / name
    openssl("pkcs12", "-export", *contents, "-out", str(path), "-passout", "env:P12_PASSWORD",
            env={**os.environ, "P12_PASSWORD": password})
    return path


def closed_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


class TimeStampServer:
    """An RFC 3161 time-stamp server on the loopback address: openssl ts answers each request."""

    def __init__(self, folder):
        self.folder = folder
        self.key, self.cert = certificate(folder, TSA_SUBJECT, "timeStamping")
        (folder / "tsa-serial").write_text("01\n")
        self.config = folder / "tsa.cnf"
        self.config.write_text(f"""[tsa]
default_tsa = tsa_config
[tsa_config]
serial = {folder / "tsa-serial"}
crypto_device = builtin
signer_digest = sha256
default_policy = 1.3.6.1.4.1.4146.2.3
digests = sha256, sha384, sha512, sha1
accuracy = secs:1
ess_cert_id_alg = sha256
""")
        server = self

        class Handler(http.server.BaseHTTPRequestHandler):
            def do_POST(self):
                query = self.rfile.read(int(self.headers.get("Content-Length", 0)))
                reply = server.reply(query)
                self.send_response(200 if reply else 500)
                self.send_header("Content-Type", "application/timestamp-reply")
                self.send_header("Content-Length", str(len(reply)))
                self.end_headers()
                self.wfile.write(reply)

            def log_message(self, *args):
                pass

        self.httpd = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.url = f"http://127.0.0.1:{self.httpd.server_address[1]}/"
        self.thread = threading.Thread(target=self.httpd.serve_forever, daemon=True)
        self.thread.start()

    def reply(self, query):
        with tempfile.NamedTemporaryFile(dir=self.folder, suffix=".tsq") as request:
            request.write(query)
            request.flush()
            answer = subprocess.run(["openssl", "ts", "-reply", "-config", str(self.config), "-queryfile",
                                     request.name, "-inkey", str(self.key), "-signer", str(self.cert)],
                                    stdin=subprocess.DEVNULL, capture_output=True)
        return answer.stdout if answer.returncode == 0 else b""

    def stop(self):
        self.httpd.shutdown()
        self.httpd.server_close()


def digest(data):
    return hashlib.sha256(data).hexdigest()[:16]


class SigningCheck:
    def __init__(self, scratch, from_release):
        self.scratch = scratch
        self.from_release = from_release
        self.passed = 0
        self.failed = 0
        self.wine_env = None
        self.sample = None  # (name, bytes) of a prepared file
        keys = scratch / "keys"
        keys.mkdir()
        self.password = secrets.token_urlsafe(18)
        self.key, self.cert = certificate(keys, SUBJECT, "codeSigning")
        self.pkcs12 = pkcs12(keys, "signing.p12", self.password, "-inkey", str(self.key), "-in", str(self.cert))
        self.environ = {sign.PKCS12: str(self.pkcs12), sign.PASSWORD: self.password}
        self.tsa = TimeStampServer(keys)
        self.keys = keys
        print(f"signing-check: throwaway certificate {SUBJECT} (RSA 2048, code signing) in a PKCS#12 file with "
              f"a password; time-stamps from {self.tsa.url} ({TSA_SUBJECT})", flush=True)

    def step(self, label, check):
        """Runs one check, prints its line; Skipped when it failed."""
        try:
            detail = check()
        except (ToolingError, OSError, subprocess.SubprocessError) as failure:
            self.failed += 1
            print(f"signing-check: FAIL {label}: {str(failure).strip()}", flush=True)
            raise Skipped from None
        self.passed += 1
        print(f"signing-check: ok   {label}: {detail}", flush=True)

    # --- one file ---

    def check_file(self, path, index):
        name = path.name
        folder = self.scratch / f"{index}"
        folder.mkdir()
        copy = folder / name
        try:
            original = path.read_bytes()
            pe.layout(original)
        except (OSError, pe.PEError) as problem:
            self.failed += 1
            print(f"signing-check: FAIL {name}: {problem}", flush=True)
            return
        copy.write_bytes(original)
        self.rounds(name, copy, original)

    def rounds(self, name, copy, original):
        try:
            self.step(f"{name}: prepare", lambda: self.prepare(copy, original, must_be_prepared=self.from_release))
        except Skipped:
            return
        prepared = copy.read_bytes()
        self.sample = (name, prepared)
        program = name.lower().endswith(".exe")
        with contextlib.suppress(Skipped):
            self.signed_round(name, copy, prepared, self.environ, run=program)

        # The most padding prepare ever adds: 7 zero bytes after a file one byte past a multiple of 8.
        longer = copy.with_name(f"longer-{name}")
        longer.write_bytes(prepared + b"\0")
        label = f"{name} + 1 byte"
        with contextlib.suppress(Skipped):
            self.step(f"{label}: prepare", lambda: self.prepare(longer, prepared + b"\0", must_be_prepared=False,
                                                                padding=7))
            padded = longer.read_bytes()
            if program:
                self.step(f"{label}: padded, unsigned, under Wine", lambda: self.runs(longer))
            self.signed_round(label, longer, padded, self.environ, run=program)

        stamped = copy.with_name(f"stamped-{name}")
        stamped.write_bytes(prepared)
        with contextlib.suppress(Skipped):
            self.signed_round(f"{name} time-stamped", stamped, prepared,
                              {**self.environ, sign.TIMESTAMP_URL: self.tsa.url}, run=False, timestamped=True)

        refused = copy.with_name(f"refused-{name}")
        refused.write_bytes(prepared)
        url = f"http://127.0.0.1:{closed_port()}/"
        with contextlib.suppress(Skipped):
            self.step(f"{name}: time-stamp server refusing",
                      lambda: self.failed_signature(refused, prepared, {**self.environ, sign.TIMESTAMP_URL: url}))

    def prepare(self, path, before, must_be_prepared, padding=None):
        changed = pe.prepare(path)
        after = path.read_bytes()
        where = pe.layout(after)
        stored, right, stored_before = pe.stored_checksum(after), pe.checksum(after), pe.stored_checksum(before)
        added = len(after) - len(before)
        if changed != (after != before):
            raise ToolingError(f"prepare said changed={changed}, but the bytes say otherwise")
        if added < 0 or after[len(before):] != bytes(added):
            raise ToolingError(f"prepare added {added} bytes, not zeros only")
        if len(after) % 8:
            raise ToolingError(f"prepared: {len(after):,} bytes, not a multiple of 8")
        if stored != right:
            raise ToolingError(f"prepared: {len(after)} bytes, checksum 0x{stored:08X}, right would be 0x{right:08X}")
        if padding is not None and added != padding:
            raise ToolingError(f"prepare padded {added} bytes, not {padding}")
        if pe.prepare(path) or path.read_bytes() != after:
            raise ToolingError("prepare changed the prepared file again")
        if must_be_prepared and changed:
            raise ToolingError(f"not prepared by the release: prepare padded {added} bytes and set the checksum "
                              f"0x{stored_before:08X} -> 0x{stored:08X}")
        if not changed:
            return (f"already prepared, left as it was ({len(after):,} bytes, a multiple of 8; checksum "
                    f"0x{stored:08X} right); a second prepare changes nothing")
        field = slice(where.checksum_at, where.checksum_at + 4)
        if after[:field.start] != before[:field.start] or after[field.stop:len(before)] != before[field.stop:]:
            raise ToolingError("prepare changed more than the checksum and the padding")
        return (f"padded with {added} zero bytes to {len(after):,}, checksum 0x{stored_before:08X} -> 0x{stored:08X}, "
                "nothing else changed; a second prepare changes nothing")

    def signed_round(self, label, path, prepared, environ, run, timestamped=False):
        self.step(f"{label}: sign", lambda: self.sign(path, prepared, sign.settings(environ)))
        signed = path.read_bytes()
        self.step(f"{label}: osslsigncode verify", lambda: self.verify(path, timestamped))
        self.step(f"{label}: tooling.pe.unsigned", lambda: self.same(pe.unsigned(signed), prepared))
        self.step(f"{label}: python3 -m release.unsign", lambda: self.unsign_command(path, prepared))
        self.step(f"{label}: osslsigncode remove-signature", lambda: self.remove_signature(path, prepared))
        if run:
            self.step(f"{label}: signed, under Wine", lambda: self.runs(path))

    def sign(self, path, prepared, settings):
        sign.sign(path, settings)
        signed = path.read_bytes()
        offset, size = pe.signature_entry(signed)
        stored, right = pe.stored_checksum(signed), pe.checksum(signed)
        if signed == prepared:
            raise ToolingError("the signed file is the unsigned one")
        if offset != len(prepared) or len(signed) != offset + size:
            raise ToolingError(f"signature of {size} bytes at offset {offset}, not appended at {len(prepared)}")
        if stored != right:
            raise ToolingError(f"osslsigncode's checksum 0x{stored:08X} is not 0x{right:08X}")
        if [entry for entry in os.listdir(path.parent) if entry.startswith(".")]:
            raise ToolingError(f"left behind in the folder: {os.listdir(path.parent)}")
        return (f"{len(prepared):,} -> {len(signed):,} bytes: a signature of {size:,} bytes appended at offset "
                f"{offset:,}, no padding; osslsigncode's checksum 0x{stored:08X} right")

    def verify(self, path, timestamped):
        options = ["-TSA-CAfile", str(self.tsa.cert)] if timestamped else []
        report = authenticode.verify(path, self.cert, *options)
        out, problems, current = report.text, report.problems, [report.digest]
        if report.signer != SUBJECT:
            problems.append(f"signer {report.signer!r}, not {SUBJECT!r}")
        description = re.search(r"^\s*Text description: (.*)$", out, re.M)
        if not description or description[1].strip() != sign.DESCRIPTION:
            problems.append(f"description {description[1].strip() if description else None!r}")
        stamp = re.search(r"^\s*Timestamp time: (.*)$", out, re.M)
        if timestamped and not (stamp and re.search(r"^Timestamp Server Signature verification: ok$", out, re.M)):
            problems.append("no verified time stamp")
        if problems:
            raise ToolingError("; ".join(problems) + "\n" + out)
        stamped = f", time-stamped {stamp[1].strip()} and the stamp verified" if stamp else ""
        return (f"ok, SHA-256 digest {current[0][:16]}… matches the file, signer {SUBJECT}, description "
                f"{sign.DESCRIPTION!r}{stamped}")

    @staticmethod
    def same(data, prepared):
        if data != prepared:
            differing = sum(a != b for a, b in zip(data, prepared))
            raise ToolingError(f"{len(data):,} bytes (sha256 {digest(data)}), {differing} differing from the prepared "
                              f"{len(prepared):,} (sha256 {digest(prepared)})")
        return f"the prepared bytes exactly ({len(data):,} bytes, sha256 {digest(data)}…)"

    def unsign_command(self, path, prepared):
        out = path.with_name(f"unsign-{path.name}")
        subprocess.run([sys.executable, "-m", "release.unsign", str(path), str(out)], cwd=ROOT, check=True,
                       stdin=subprocess.DEVNULL, capture_output=True, text=True)
        return self.same(out.read_bytes(), prepared)

    def remove_signature(self, path, prepared):
        out = path.with_name(f"removed-{path.name}")
        result = subprocess.run(["osslsigncode", "remove-signature", "-in", str(path), "-out", str(out)],
                                stdin=subprocess.DEVNULL, capture_output=True, text=True)
        if result.returncode:
            raise ToolingError(f"exit status {result.returncode}: {result.stdout}{result.stderr}")
        return self.same(out.read_bytes(), prepared)

    def failed_signature(self, path, prepared, environ):
        settings = sign.settings(environ)
        try:
            sign.sign(path, settings)
        except sign.SigningError as refusal:
            message = str(refusal)
        else:
            raise ToolingError("signed without the time-stamp server")
        left = sorted(os.listdir(path.parent))
        if path.read_bytes() != prepared or [entry for entry in left if entry.startswith(".")]:
            raise ToolingError(f"the file changed or something was left behind: {left}")
        return f"SigningError, the file as it was, nothing left behind: {message}"

    def runs(self, path):
        if self.wine_env is None:
            self.wine_env = wine.environment(self.scratch / "prefix")
            wine.make_prefix(self.wine_env)
        started = subprocess.run([*wine.WINE, str(path), "--help"], cwd=path.parent, env=self.wine_env,
                                 stdin=subprocess.DEVNULL, capture_output=True, timeout=600)
        out = wine.decoded(started.stdout)
        usage = re.search(r"^(?:usage|uso): .*$", out, re.M)
        if started.returncode or not usage:
            raise ToolingError(f"--help: exit status {started.returncode}, no usage line:\n{out}"
                              f"{wine.decoded(started.stderr)[-2000:]}")
        return f"--help exit status 0, {usage[0].strip()!r} ({len(path.read_bytes()):,} bytes)"

    # --- a PKCS#12 file in the old format (the settings' refusals: tests/tooling/test_signing_settings.py) ---

    def check_settings(self):
        legacy = pkcs12(self.keys, "legacy.p12", self.password, "-legacy", "-inkey", str(self.key), "-in",
                        str(self.cert))
        with contextlib.suppress(Skipped):
            self.step("settings: a PKCS#12 file in OpenSSL 1.1's format (RC2, 3DES)",
                      lambda: self.signs_with({**self.environ, sign.PKCS12: str(legacy)}))

    def signs_with(self, environ):
        settings = sign.settings(environ)
        if self.sample is None:
            return "accepted"
        name, prepared = self.sample
        path = self.scratch / "legacy" / name
        path.parent.mkdir()
        path.write_bytes(prepared)
        sign.sign(path, settings)
        self.verify(path, timestamped=False)
        self.same(pe.unsigned(path.read_bytes()), prepared)
        return f"accepted; {name} signed with it, verified, and unsigned to the prepared bytes"

    def close(self):
        self.tsa.stop()
        if self.wine_env is not None:
            wine.stop(self.wine_env)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--from-release", action="store_true",
                        help="the files come from a release, so prepare must leave them as they are")
    parser.add_argument("files", nargs="+", type=Path, help="PE files: tq-velmor.exe, the .pyd")
    args = parser.parse_args(argv)
    # The time-stamp servers of the check are on the loopback address: no proxy in between.
    for name in list(os.environ):
        if name.lower() in ("http_proxy", "https_proxy", "all_proxy"):
            del os.environ[name]
    scratch = Path(tempfile.mkdtemp(prefix="tq_velmor-signing-check-"))
    check = None
    try:
        check = SigningCheck(scratch, args.from_release)
        for index, path in enumerate(args.files):
            check.check_file(path.resolve(), index)
        check.check_settings()
    except (subprocess.CalledProcessError, ToolingError) as failure:
        print(f"signing-check: FAILED before the checks: {failure}", file=sys.stderr)
        return 1
    finally:
        if check is not None:
            check.close()
        shutil.rmtree(scratch, ignore_errors=True)
    total = check.passed + check.failed
    if check.failed:
        print(f"signing-check: FAILED: {check.failed} of {total} checks failed")
        return 1
    files = "1 file" if len(args.files) == 1 else f"{len(args.files)} files"
    print(f"signing-check: PASS: {total} checks on {files}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
