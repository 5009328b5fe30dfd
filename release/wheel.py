"""The Windows wheel: tq_velmor-<version>-cp311-cp311-win_amd64.whl, cross-built from these sources.

  python3 -m release.wheel [--out dist]      build it (pip + scikit-build-core + mingw-w64)
  python3 -m release.wheel check WHEEL...     check that every RECORD line matches its file

The project's own build runs with the mingw-w64 toolchain, so the wheel holds exactly what
the Linux wheel holds (the package, the command, the type stub), with the checked .pyd in
place of the .so. The build backend tags it for the machine it runs on; the tag is then
set to cp311-cp311-win_amd64 and RECORD written anew.
"""

import argparse
import base64
import csv
import hashlib
import io
import subprocess
import sys
import tempfile
import zipfile
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
TAG = "cp311-cp311-win_amd64"
MODULE = "tq_velmor.cp311-win_amd64.pyd"


class BadWheel(Exception):
    pass


def record_hash(data):
    return "sha256=" + base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()


def build_backend_wheel(out, build_dir):
    """Runs the ordinary wheel build with the cross toolchain; returns the wheel's path."""
    command = [sys.executable, "-m", "pip", "wheel", str(ROOT), "--no-deps", "-w", str(out),
               "-C", f"cmake.define.CMAKE_TOOLCHAIN_FILE={ROOT / 'windows' / 'mingw-w64.cmake'}",
               "-C", f"build-dir={build_dir}"]
    subprocess.run(command, check=True, stdin=subprocess.DEVNULL)
    wheels = list(out.glob("tq_velmor-*.whl"))
    if len(wheels) != 1:
        raise BadWheel(f"expected one wheel from the build, found {[w.name for w in wheels]}")
    return wheels[0]


def retag(wheel, out):
    """Copies `wheel` as the win_amd64 wheel in `out`, with WHEEL's tag and RECORD rewritten."""
    with zipfile.ZipFile(wheel) as z:
        entries = [(info, z.read(info)) for info in z.infolist()]
    names = [info.filename for info, _ in entries]
    if MODULE not in names or any(n.endswith((".so", ".dylib")) for n in names):
        raise BadWheel(f"{wheel.name} does not hold {MODULE} alone: {names}")
    dist_info = next(n.split("/")[0] for n in names if n.split("/")[0].endswith(".dist-info"))
    name_version = dist_info[: -len(".dist-info")]
    record_name = f"{dist_info}/RECORD"
    target = out / f"{name_version}-{TAG}.whl"

    rows = []
    with zipfile.ZipFile(target, "w", zipfile.ZIP_DEFLATED) as z:
        for info, data in entries:
            if info.filename == record_name:
                continue
            if info.filename == f"{dist_info}/WHEEL":
                lines = [line for line in data.decode().splitlines() if not line.startswith("Tag:")]
                data = ("\n".join(lines).rstrip("\n") + f"\nTag: {TAG}\n").encode()
            z.writestr(info, data)
            rows.append((info.filename, record_hash(data), str(len(data))))
        rows.append((record_name, "", ""))
        text = io.StringIO()
        csv.writer(text, lineterminator="\n").writerows(rows)
        z.writestr(zipfile.ZipInfo(record_name, date_time=entries[-1][0].date_time), text.getvalue())
    return target


def check(wheel):
    """Every file listed in RECORD with its hash and size, and every file listed."""
    with zipfile.ZipFile(wheel) as z:
        names = [n for n in z.namelist() if not n.endswith("/")]
        records = [n for n in names if n.endswith(".dist-info/RECORD")]
        if len(records) != 1:
            raise BadWheel(f"{wheel}: {len(records)} RECORD files")
        rows = list(csv.reader(io.StringIO(z.read(records[0]).decode())))
        listed = {row[0]: row[1:] for row in rows}
        if set(listed) != set(names):
            raise BadWheel(f"{wheel}: RECORD and archive differ: {sorted(set(listed) ^ set(names))}")
        for name, (digest, size) in listed.items():
            if name == records[0]:
                continue
            data = z.read(name)
            if digest != record_hash(data) or size != str(len(data)):
                raise BadWheel(f"{wheel}: {name} does not match its RECORD line")
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
        with tempfile.TemporaryDirectory() as scratch:
            built = build_backend_wheel(Path(scratch), args.build_dir.resolve())
            target = retag(built, args.out)
        count, tags = check(target)
        print(f"{target}: {target.stat().st_size} bytes, {count} files, RECORD matches, {', '.join(tags)}")
    except (BadWheel, subprocess.CalledProcessError) as failure:
        print(f"make_wheel: FAILED: {failure}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
