"""The release, made from a clean checkout into an empty folder: `.ci/release OUT`.

  python3 -m release [--allow-toolchain-drift] OUT

OUT receives tq-velmor.exe, the Windows wheel, the bare tq_velmor.cp311-win_amd64.pyd (the
wheel's own bytes), the source distribution, LICENSE, THIRD-PARTY-NOTICES.txt, the record of the
toolchain it was made with (tq_velmor-<version>.buildinfo, release/toolchain.py) and SHA256SUMS.
The same commit gives the same bytes: the time is the last commit's (SOURCE_DATE_EPOCH), the hash
seed fixed, and every archive and PE file written to depend on its contents alone
(stages/reproducible_release.py builds it twice and compares). Both PE files are prepared for a
signature that comes off exactly; when TQ_VELMOR_SIGN_PKCS12 and TQ_VELMOR_SIGN_PASSWORD name a
certificate (release/sign.py), tq-velmor.exe and the bare .pyd are signed, the wheel (and the
module inside the program) are not. Everything is made in a scratch folder and moved into OUT
at the end, so a failure leaves OUT as it was.

Exit status: 0 made, 1 a step failed, 2 refused (OUT not empty or inside the checkout, the
checkout not clean, a bad signing setting, a Debian package of the toolchain not at its pinned
version unless --allow-toolchain-drift, release/toolchain.py): one line on stderr, nothing written.
"""

import argparse
import concurrent.futures
import hashlib
import os
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

from tooling import ToolingError, logger, pe, pins, venvs
from wine_runtime import embedded_python, wine

from . import notices, program, project, sdist, sign, toolchain, wheel

ROOT = Path(__file__).resolve().parent.parent
SUMS = "SHA256SUMS"


log = logger("release")


def git(*args):
    return subprocess.run(["git", "-C", str(ROOT), *args], capture_output=True, text=True, stdin=subprocess.DEVNULL)


def check_out(out):
    if out == ROOT or ROOT in out.parents:
        raise ToolingError(f"{out} is inside the checkout {ROOT}: name a folder outside it")
    if out.exists() and not out.is_dir():
        raise ToolingError(f"{out} is not a folder")
    if out.is_dir() and any(out.iterdir()):
        raise ToolingError(f"{out} is not empty: name a new or empty folder")


def check_checkout():
    status = git("status", "--porcelain", "-z", "--untracked-files=all")
    if status.returncode:
        raise ToolingError(f"{ROOT} is not a git checkout: {status.stderr.strip()}")
    changed, fields = [], iter(status.stdout.split("\0"))
    for field in fields:
        if field:
            changed.append(field[3:])
            if field[0] in "RC":  # a rename or copy: its source follows
                next(fields, None)
    if changed:
        shown = ", ".join(changed[:10]) + (f" and {len(changed) - 10} more" if len(changed) > 10 else "")
        raise ToolingError(f"the checkout has uncommitted changes: {shown} (commit or remove them first)")


def commit_time():
    found = git("log", "-1", "--format=%ct")
    if found.returncode or not found.stdout.strip().isdigit():
        raise ToolingError(f"no last commit to take the time from: {found.stderr.strip()}")
    return int(found.stdout)


def sha256(path):
    with open(path, "rb") as file:
        return hashlib.file_digest(file, "sha256").hexdigest()


def cross_compiler(build_dir):
    """The C++ compiler CMake used for the .pyd, from its cache."""
    for line in (build_dir / "CMakeCache.txt").read_text().splitlines():
        if line.startswith("CMAKE_CXX_COMPILER:"):
            return line.split("=", 1)[1]
    raise ToolingError(f"{build_dir / 'CMakeCache.txt'} names no C++ compiler")


def step(name, started):
    log(f"{name} ({time.monotonic() - started:.0f} s)")


def make(staging, scratch, settings, version, epoch, head):
    """Makes every file of the release in `staging`."""
    started = time.monotonic()
    python = venvs.python(pins.path("tooling.txt"), say=log)

    build_dir = scratch / "build-wheel-win"
    release_wheel = wheel.build(staging, build_dir, epoch)
    # The bare module: the wheel's bytes (once its signature, if any, is taken off).
    module = staging / wheel.MODULE
    module.write_bytes(wheel.module(release_wheel))
    count, _ = wheel.check(release_wheel)
    step(f"{release_wheel.name}: {count} files, RECORD matches; {module.name}", started)

    source = sdist.build(python, scratch / "sdist")
    members = sdist.check(source, epoch)
    shutil.move(source, staging / source.name)
    source = staging / source.name
    step(f"{source.name}: {members} files", started)

    with concurrent.futures.ThreadPoolExecutor(max_workers=1) as pool:
        # Installing the source distribution compiles the Linux module: done meanwhile.
        installing = pool.submit(sdist.installed, source, scratch)
        program_scratch = scratch / "program"
        program_scratch.mkdir()
        try:
            built_program = program.build(wine.cache(), program_scratch, release_wheel, scratch / "program-out")
        finally:
            wine.stop(wine.environment(program_scratch / "prefix"))
        executable = staging / built_program.name
        shutil.copyfile(built_program, executable)
        pe.prepare(executable)
        step(f"{executable.name}: {executable.stat().st_size:,} bytes", started)
        # Signed last, and only the two files a user runs or loads as they are: the wheel, and the
        # program's copy of the module, stay the unsigned bytes, so that every file of a signed
        # release equals a rebuild's once the signatures of these two are taken off.
        if settings:
            for path in (module, executable):
                sign.sign(path, settings)
            step(f"signed {module.name} and {executable.name}", started)
        help_line = installing.result()
        step(f"{source.name} installed by pip in a fresh environment: tq-velmor --help says {help_line!r}", started)

    shutil.copyfile(ROOT / "LICENSE", staging / "LICENSE")
    text = notices.text(wine.cache(), wine.cache() / "wheels", cross_compiler(build_dir), version)
    (staging / notices.NAME).write_text(text, encoding="utf-8", newline="\n")
    runtime = embedded_python.PYTHON_311
    windows_packages = dict(pin.split("==") for pin in (wine.PIP, *program.pyinstaller_pins()))
    text = toolchain.record(version, head, epoch, f"CPython {runtime.version} for Windows x64, the embeddable "
                            f"package from {runtime.sdist} (sha256 {runtime.sdist_sha256})", windows_packages)
    (staging / toolchain.record_name(version)).write_text(text, encoding="utf-8", newline="\n")

    files = sorted(p for p in staging.iterdir() if p.name != SUMS)
    (staging / SUMS).write_text("".join(f"{sha256(p)}  {p.name}\n" for p in files), encoding="utf-8", newline="\n")
    return sorted(staging.iterdir())


def publish(files, out):
    """Copies `files` into a folder beside `out` and renames that folder to `out`: whoever looks
    finds OUT as it was or the whole release."""
    out.parent.mkdir(parents=True, exist_ok=True)
    beside = Path(tempfile.mkdtemp(prefix=f".{out.name}.partial-", dir=out.parent))
    try:
        for path in files:
            shutil.copyfile(path, beside / path.name)
        if out.exists():
            mode = out.stat().st_mode & 0o7777
            out.rmdir()  # still empty, or this fails and OUT stays as it is
        else:
            umask = os.umask(0)
            os.umask(umask)
            mode = 0o777 & ~umask
        beside.chmod(mode)
        beside.rename(out)
    except BaseException:
        shutil.rmtree(beside, ignore_errors=True)
        raise


def main(argv=None):
    parser = argparse.ArgumentParser(prog=".ci/release", description=__doc__.splitlines()[0])
    parser.add_argument("out", type=Path, metavar="OUT", help="a new or empty folder outside the checkout")
    parser.add_argument("--allow-toolchain-drift", action="store_true",
                        help="go on when a Debian package of pins/debian.txt is at another version (logged)")
    args = parser.parse_args(argv)
    out = args.out.expanduser().resolve()
    try:
        settings = sign.settings(os.environ, outside=ROOT)
        check_out(out)
        check_checkout()
        epoch = commit_time()
        drift = toolchain.check(args.allow_toolchain_drift)
    except ToolingError as refusal:
        print(f"release: refused: {refusal}", file=sys.stderr)
        return 2

    version = project.version()
    os.environ.update(SOURCE_DATE_EPOCH=str(epoch), PYTHONHASHSEED="0")
    head = git("rev-parse", "HEAD").stdout.strip()
    log(f"tq-velmor {version} from {head}, dated {epoch} ({time.strftime('%Y-%m-%d %H:%M:%S', time.gmtime(epoch))} "
        f"UTC), {'signed' if settings else 'not signed'}")
    if drift:
        log(f"toolchain drift from pins/debian.txt, allowed: {drift}")
    else:
        pinned = toolchain.pinned()
        log("toolchain as pinned: " + ", ".join(f"{name} {version}" for name, version in pinned.items()))
    started = time.monotonic()
    scratch = Path(tempfile.mkdtemp(prefix="tq_velmor-release-"))
    try:
        staging = scratch / "release"
        staging.mkdir()
        files = make(staging, scratch, settings, version, epoch, head)
        publish(files, out)
    except (subprocess.CalledProcessError, OSError, ToolingError) as failure:
        log(f"FAILED: {failure}")
        return 1
    finally:
        shutil.rmtree(scratch, ignore_errors=True)
    for name in sorted(path.name for path in files):
        log(f"{out / name}: {(out / name).stat().st_size:,} bytes")
    log(f"made in {time.monotonic() - started:.0f} s")
    return 0


if __name__ == "__main__":
    sys.exit(main())
