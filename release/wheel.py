"""The Windows wheel: tq_velmor-<version>-cp311-cp311-win_amd64.whl, cross-built from these sources.

  python3 -m tooling release.wheel [--out dist]      build it (the pinned scikit-build-core + mingw-w64)
  python3 -m tooling release.wheel check WHEEL...     check that every RECORD line matches its file

The project's own build runs with the mingw-w64 toolchain, so the wheel holds exactly what
the Linux wheel holds (the package, the command, the type stub), with the checked .pyd in
place of the .so. The build backend tags it for the machine it runs on; the tag is then
set to cp311-cp311-win_amd64 and RECORD written anew, in an archive whose bytes depend on
the contents alone: members sorted (the .dist-info folder last), every date SOURCE_DATE_EPOCH's,
fixed permissions.
"""

import argparse
import base64
import csv
import hashlib
import io
import os
import subprocess
import sys
import tempfile
import time
import zipfile
from pathlib import Path

from tooling import ToolingError, pe, pins, venvs

ROOT = Path(__file__).resolve().parent.parent
TAG = "cp311-cp311-win_amd64"
MODULE = "tq_velmor.cp311-win_amd64.pyd"
# The earliest date a zip entry can hold (1980-01-01), for a build given no SOURCE_DATE_EPOCH.
ZIP_EPOCH = 315532800


def record_hash(data):
    return "sha256=" + base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()


def build(out, build_dir, epoch=None):
    """The Windows wheel of this checkout, made in `out` and returned: built by the pinned backend
    (pins/tooling.txt, without isolation) with the cross toolchain in `build_dir`, its .pyd
    prepared for a signature (tooling.pe.prepare) so that the bare module and the wheel's are the
    same bytes, retagged (dated `epoch`) and checked."""
    python = venvs.python(pins.path("tooling.txt"))
    with tempfile.TemporaryDirectory(prefix="tq_velmor-wheel-") as scratch:
        scratch = Path(scratch)
        subprocess.run([str(python), "-m", "pip", "wheel", str(ROOT), "--no-deps", "--no-build-isolation",
                        "-w", str(scratch), "-C", f"cmake.define.CMAKE_TOOLCHAIN_FILE={ROOT / 'windows' / 'mingw-w64.cmake'}",
                        "-C", f"build-dir={build_dir}"], check=True, stdin=subprocess.DEVNULL)
        built = list(scratch.glob("tq_velmor-*.whl"))
        if len(built) != 1:
            raise ToolingError(f"expected one wheel from the build, found {[w.name for w in built]}")
        prepared = scratch / MODULE
        prepared.write_bytes(module(built[0]))
        pe.prepare(prepared)
        wheel = retag(built[0], out, replace={MODULE: prepared.read_bytes()}, epoch=epoch)
    check(wheel)
    return wheel


def module(wheel):
    """The bytes of the .pyd inside `wheel`."""
    with zipfile.ZipFile(wheel) as z:
        return z.read(MODULE)


def _entry(name, date_time):
    info = zipfile.ZipInfo(name, date_time=date_time)
    info.compress_type = zipfile.ZIP_DEFLATED
    info.create_system = 3  # Unix, whichever system writes it
    info.external_attr = 0o100644 << 16
    return info


def retag(wheel, out, replace=None, epoch=None):
    """Copies `wheel` as the win_amd64 wheel in `out`, with WHEEL's tag and RECORD rewritten and
    the members named in `replace` ({name: bytes}) given those bytes. Every date is `epoch`
    (default SOURCE_DATE_EPOCH, else 1980-01-01), in UTC."""
    replace = replace or {}
    with zipfile.ZipFile(wheel) as z:
        entries = {info.filename: z.read(info) for info in z.infolist() if not info.is_dir()}
    names = list(entries)
    if MODULE not in names or any(n.endswith((".so", ".dylib")) for n in names):
        raise ToolingError(f"{wheel.name} does not hold {MODULE} alone: {names}")
    if set(replace) - set(names):
        raise ToolingError(f"{wheel.name} holds no {sorted(set(replace) - set(names))}")
    dist_info = next(n.split("/")[0] for n in names if n.split("/")[0].endswith(".dist-info"))
    name_version = dist_info[: -len(".dist-info")]
    record_name = f"{dist_info}/RECORD"
    target = out / f"{name_version}-{TAG}.whl"
    if epoch is None:
        epoch = int(os.environ.get("SOURCE_DATE_EPOCH") or ZIP_EPOCH)
    date_time = time.gmtime(max(epoch, ZIP_EPOCH))[:6]

    rows = []
    # The package first, then its .dist-info (RECORD last), each in name order.
    order = sorted((n for n in names if n != record_name), key=lambda n: (n.startswith(f"{dist_info}/"), n))
    with zipfile.ZipFile(target, "w") as z:
        for name in order:
            data = replace.get(name, entries[name])
            if name == f"{dist_info}/WHEEL":
                lines = [line for line in data.decode().splitlines() if not line.startswith("Tag:")]
                data = ("\n".join(lines).rstrip("\n") + f"\nTag: {TAG}\n").encode()
            z.writestr(_entry(name, date_time), data, compresslevel=9)
            rows.append((name, record_hash(data), str(len(data))))
        rows.append((record_name, "", ""))
        text = io.StringIO()
        csv.writer(text, lineterminator="\n").writerows(rows)
        z.writestr(_entry(record_name, date_time), text.getvalue(), compresslevel=9)
    return target


def check(wheel):
    """Every file listed in RECORD with its hash and size, and every file listed."""
    with zipfile.ZipFile(wheel) as z:
        names = [n for n in z.namelist() if not n.endswith("/")]
        records = [n for n in names if n.endswith(".dist-info/RECORD")]
        if len(records) != 1:
            raise ToolingError(f"{wheel}: {len(records)} RECORD files")
        rows = list(csv.reader(io.StringIO(z.read(records[0]).decode())))
        listed = {row[0]: row[1:] for row in rows}
        if set(listed) != set(names):
            raise ToolingError(f"{wheel}: RECORD and archive differ: {sorted(set(listed) ^ set(names))}")
        for name, (digest, size) in listed.items():
            if name == records[0]:
                continue
            data = z.read(name)
            if digest != record_hash(data) or size != str(len(data)):
                raise ToolingError(f"{wheel}: {name} does not match its RECORD line")
        tags = [line for line in z.read(records[0].replace("RECORD", "WHEEL")).decode().splitlines()
                if line.startswith("Tag:")]
    return len(names), tags


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("command", nargs="?", choices=["build", "check"], default="build")
    parser.add_argument("wheels", nargs="*", type=Path, help="wheels to check")
    parser.add_argument("--out", type=Path, default=ROOT / "dist", help="where the wheel goes (default dist/)")
    parser.add_argument("--build-dir", type=Path, default=ROOT / "build-wheel-win")
    args = parser.parse_args(argv)
    try:
        if args.command == "check":
            for wheel in args.wheels:
                count, tags = check(wheel)
                print(f"{wheel.name}: {count} files, RECORD matches, {', '.join(tags)}")
            return 0
        args.out.mkdir(parents=True, exist_ok=True)
        target = build(args.out.resolve(), args.build_dir.resolve())
        count, tags = check(target)
        print(f"{target}: {target.stat().st_size} bytes, {count} files, RECORD matches, {', '.join(tags)}")
    except (ToolingError, OSError, subprocess.CalledProcessError) as failure:
        print(f"wheel: FAILED: {failure}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
