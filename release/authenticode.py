"""Authenticode signatures as osslsigncode verifies them: its options, and its report read back."""

import re
import subprocess
from dataclasses import dataclass, field


def verify_options():
    """From 2.6 on, osslsigncode fetches CRLs unless told not to; a check stays offline."""
    version = subprocess.run(["osslsigncode", "--version"], capture_output=True, text=True).stdout
    found = re.search(r"osslsigncode (\d+)\.(\d+)", version)
    if found and (int(found[1]), int(found[2])) >= (2, 6):
        return ["-ignore-crl"]
    return []


@dataclass
class Report:
    text: str  # what osslsigncode said
    problems: list = field(default_factory=list)
    digest: str | None = None  # the signed digest, when it is the file's own
    signer: str | None = None  # the subject of the certificate that signed the file


def verify(path, ca_file, *options):
    """osslsigncode's verdict on `path` against the authorities in `ca_file`: the problems it shows
    (no success, the signature or the digest not verified), the digest and the signer."""
    result = subprocess.run(["osslsigncode", "verify", "-in", str(path), "-CAfile", str(ca_file), *options,
                             *verify_options()], stdin=subprocess.DEVNULL, capture_output=True, text=True)
    out = result.stdout + result.stderr
    report = Report(out)
    if result.returncode != 0 or not re.search(r"^Succeeded$", out, re.M):
        report.problems.append(f"osslsigncode exit status {result.returncode}, not 'Succeeded'")
    if not re.search(r"^Signature verification: ok$", out, re.M):
        report.problems.append("signature not verified")
    current = re.findall(r"^Current message digest\s*:\s*([0-9A-F]+)", out, re.M)
    calculated = re.findall(r"^Calculated message digest\s*:\s*([0-9A-F]+)\s*$", out, re.M)
    if not current or current != calculated:
        report.problems.append(f"digest of the file {calculated} is not the signed one {current}")
    else:
        report.digest = current[0]
    # The first signer listed under "Signer's certificate:" is the one that signed the file.
    signer = re.search(r"^Signer's certificate:\s*\n(?:.*\n)*?\s*Signer #0:\s*\n\s*Subject: (.*)$", out, re.M)
    report.signer = signer[1].strip() if signer else None
    return report
