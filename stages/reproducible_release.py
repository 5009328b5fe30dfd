"""The release made twice from this checkout's HEAD and compared byte for byte.

  python3 -m tooling stages.reproducible_release [--allow-toolchain-drift] [--keep DIR]
  python3 -m tooling stages.reproducible_release [--allow-toolchain-drift] --keep DIR --first-only
  python3 -m tooling stages.reproducible_release [--allow-toolchain-drift] --against DIR

HEAD is cloned twice, into folders of different names, once whole and once with --depth 1, and
`.ci/release OUT` runs in each at a different time, the first with umask 022 and TZ=UTC, the
second with umask 077 and TZ=Pacific/Chatham (clone included). Any difference between the two
SHA256SUMS fails, naming the file and, inside the wheel, the source distribution and the
program's PyInstaller archive, the members (stages/archive_differences.py). First the cheap
refusals are checked in the first clone: an OUT that is not empty, an OUT inside the checkout, a
checkout with changes, a signing setting given by half (status 2, one line on stderr, nothing
written).

--keep DIR copies the first release's files into DIR. --first-only stops after the first
release; --against DIR then makes only the second and compares it with the one in DIR, so that
CI can run the second beside its other stages. Signing settings are not passed on: two
signatures never agree, so what is compared is the unsigned release. --allow-toolchain-drift is
passed on to both releases: CI's, made with whatever Debian serves that day, say so in a line and
still agree with each other; the release workflow's, which are published, refuse a drift.
"""

import argparse
import hashlib
import os
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

from tooling import ToolingError, logger, venvs

from . import archive_differences

ROOT = Path(__file__).resolve().parent.parent
SUMS = "SHA256SUMS"
SIGNING = ("TQ_VELMOR_SIGN_PKCS12", "TQ_VELMOR_SIGN_PASSWORD", "TQ_VELMOR_SIGN_TIMESTAMP_URL")
FIRST = {"umask": "022", "TZ": "UTC"}
SECOND = {"umask": "077", "TZ": "Pacific/Chatham"}


log = logger("reproducible-release")


def shell(command, conditions, cwd, extra=None, **kwargs):
    """`command` (a list) run by bash under the umask and time zone of `conditions`, without the
    signing settings, with the variables `extra` added."""
    env = {k: v for k, v in os.environ.items() if k not in SIGNING}
    env.update(TZ=conditions["TZ"], **(extra or {}))
    script = f"umask {conditions['umask']} && exec \"$@\""
    return subprocess.run(["bash", "-c", script, "bash", *command], cwd=cwd, env=env, stdin=subprocess.DEVNULL,
                          **kwargs)


def clone(folder, conditions, shallow):
    source = f"file://{ROOT}" if shallow else str(ROOT)
    command = ["git", "clone", "--quiet", *(["--depth", "1"] if shallow else ["--no-hardlinks"]), source, str(folder)]
    shell(command, conditions, folder.parent, check=True)
    head = subprocess.run(["git", "-C", str(folder), "rev-parse", "HEAD"], capture_output=True, text=True,
                          check=True).stdout.strip()
    log(f"cloned {head[:12]} into {folder} ({'--depth 1' if shallow else 'whole history'}, umask "
        f"{conditions['umask']})")
    return head


def listing(folder):
    """Every path below `folder` with its bytes (git's own folder aside: a status refreshes it)."""
    if not folder.exists():
        return None
    return sorted((p.relative_to(folder).as_posix(), p.read_bytes() if p.is_file() else None)
                  for p in folder.rglob("*") if ".git" not in p.relative_to(folder).parts[:1])


def refused(checkout, out, why, options, extra=None):
    """Runs .ci/release OUT where it must be refused; fails unless it says so in one line on
    stderr, with status 2, nothing on stdout, and OUT and the checkout as they were."""
    before_out, before_checkout = listing(out), listing(checkout)
    result = shell([str(checkout / ".ci" / "release"), *options, str(out)], FIRST, checkout, extra,
                   capture_output=True, text=True)
    lines = result.stderr.splitlines()
    problems = []
    if result.returncode != 2:
        problems.append(f"status {result.returncode}, not 2")
    if len(lines) != 1:
        problems.append(f"{len(lines)} lines on stderr, not one")
    if result.stdout:
        problems.append(f"output on stdout: {result.stdout[:200]!r}")
    if listing(out) != before_out:
        problems.append(f"{out} changed")
    if listing(checkout) != before_checkout:
        problems.append("the checkout changed")
    if problems:
        raise ToolingError(f"{why}: {'; '.join(problems)}\n{result.stdout}{result.stderr}")
    log(f"refused, {why}: {lines[0]}")
    return lines[0]


def check_refusals(checkout, scratch, options):
    # The Debian tools and the tooling's environment first, once: making them would put apt's and
    # pip's words among the refusals'.
    subprocess.run([str(checkout / ".ci" / "debian-tools")], cwd=checkout, check=True, stdin=subprocess.DEVNULL)
    venvs.python(checkout / "pins" / "tooling.txt", say=log)
    full = scratch / "full"
    full.mkdir()
    (full / "notas.txt").write_text("mías\n")
    refused(checkout, full, "OUT not empty", options)
    refused(checkout, checkout / "release-out", "OUT inside the checkout", options)
    refused(checkout, scratch / "unused", "a signing setting given by half", options,
            extra={"TQ_VELMOR_SIGN_PASSWORD": "secreto"})
    tracked = checkout / "README.md"
    original = tracked.read_bytes()
    tracked.write_bytes(original + b"\nA local change.\n")
    (checkout / "untracked note.txt").write_text("not committed\n")
    try:
        line = refused(checkout, scratch / "unused", "a checkout with changes", options)
        missing = [name for name in ("README.md", "untracked note.txt") if name not in line]
        if missing:
            raise ToolingError(f"the refusal of a checkout with changes does not name {missing}: {line}")
    finally:
        tracked.write_bytes(original)
        (checkout / "untracked note.txt").unlink()
    status = subprocess.run(["git", "-C", str(checkout), "status", "--porcelain"], capture_output=True, text=True)
    if status.stdout:
        raise ToolingError(f"the checkout did not come back clean: {status.stdout}")


def release(checkout, out, conditions, logs, options):
    """Runs .ci/release OUT in `checkout`; its output goes to a log, whose release: lines are shown."""
    log(f"making a release in {checkout} (umask {conditions['umask']}, TZ={conditions['TZ']}) into {out}")
    started = time.monotonic()
    log_path = logs / f"{checkout.name}.log"
    with open(log_path, "wb") as output:
        result = shell([str(checkout / ".ci" / "release"), *options, str(out)], conditions, checkout, stdout=output,
                       stderr=subprocess.STDOUT)
    text = log_path.read_text(errors="replace")
    for line in text.splitlines():
        if line.startswith("release: "):
            print(f"  {line}", flush=True)
    if result.returncode:
        tail = "\n".join(text.splitlines()[-60:])
        raise ToolingError(f"the release in {checkout} failed (status {result.returncode}); its last lines:\n{tail}")
    log(f"made in {time.monotonic() - started:.0f} s")


def sums(folder):
    """{name: sha256} from the folder's SHA256SUMS, after checking it lists exactly the other files
    with their real digests, in name order."""
    lines = (folder / SUMS).read_text().splitlines()
    listed = {}
    for line in lines:
        digest, separator, name = line.partition("  ")
        if not separator or len(digest) != 64:
            raise ToolingError(f"{folder / SUMS}: not sha256sum's format: {line!r}")
        listed[name] = digest
    names = sorted(p.name for p in folder.iterdir() if p.name != SUMS)
    if list(listed) != names:
        raise ToolingError(f"{folder / SUMS} lists {list(listed)}, the folder holds {names}")
    for name, digest in listed.items():
        if hashlib.sha256((folder / name).read_bytes()).hexdigest() != digest:
            raise ToolingError(f"{folder / SUMS}: {name} does not have the digest listed")
    return listed


def compare(first, second):
    a, b = sums(first), sums(second)
    problems = []
    for name in sorted(set(a) | set(b)):
        if name not in a or name not in b:
            problems.append(f"{name}: only in the {'first' if name in a else 'second'} release")
        elif a[name] != b[name]:
            lines = archive_differences.differences(first / name, second / name, limit=20)
            problems.append(f"{name} differs:" + "".join(f"\n    {line}" for line in lines))
    if (first / SUMS).read_bytes() != (second / SUMS).read_bytes() and not problems:
        problems.append(f"{SUMS} differs")
    if problems:
        raise ToolingError("the two releases differ:\n  " + "\n  ".join(problems))
    for name, digest in a.items():
        log(f"same in both: {name}: {(first / name).stat().st_size:,} bytes, sha256 {digest}")
    log(f"the two releases agree: {len(a)} files and {SUMS}, byte for byte")


def keep(release_dir, dest):
    dest.mkdir(parents=True, exist_ok=True)
    for path in sorted(release_dir.iterdir()):
        shutil.copyfile(path, dest / path.name)
    log(f"the first release's files copied into {dest}")


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--keep", type=Path, metavar="DIR", help="copy the first release's files into DIR")
    parser.add_argument("--first-only", action="store_true", help="stop after the first release (with --keep)")
    parser.add_argument("--against", type=Path, metavar="DIR",
                        help="make only the second release and compare it with the one in DIR")
    parser.add_argument("--allow-toolchain-drift", action="store_true",
                        help="let both releases go on when a Debian package is not at its pinned version")
    args = parser.parse_args(argv)
    options = ["--allow-toolchain-drift"] if args.allow_toolchain_drift else []
    if args.first_only and not args.keep:
        parser.error("--first-only needs --keep DIR")
    if args.against and (args.keep or args.first_only):
        parser.error("--against makes only the second release")
    changes = subprocess.run(["git", "-C", str(ROOT), "status", "--porcelain"], capture_output=True, text=True).stdout
    if changes:
        log("this checkout has uncommitted changes: the releases are made from HEAD, without them")
    ignored = [name for name in SIGNING if os.environ.get(name)]
    if ignored:
        log(f"not passed on to the releases: {', '.join(ignored)} (the unsigned release is compared)")

    scratch = Path(tempfile.mkdtemp(prefix="tq_velmor-reproducible-"))
    logs = scratch / "logs"
    logs.mkdir()
    try:
        if args.against:
            first_out = args.against.resolve()
        else:
            first_checkout = scratch / "a"
            clone(first_checkout, FIRST, shallow=False)
            check_refusals(first_checkout, scratch, options)
            first_out = scratch / "release-a"
            release(first_checkout, first_out, FIRST, logs, options)
            sums(first_out)
            if args.keep:
                keep(first_out, args.keep.resolve())
            if args.first_only:
                return 0
        second_place = scratch / "the-second-clone" / "of the checkout"
        second_place.parent.mkdir()
        clone(second_place, SECOND, shallow=True)
        second_out = scratch / "release-b"
        release(second_place, second_out, SECOND, logs, options)
        compare(first_out, second_out)
    except (ToolingError, subprocess.CalledProcessError, OSError) as failure:
        log(f"FAILED: {failure}")
        return 1
    finally:
        shutil.rmtree(scratch, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
