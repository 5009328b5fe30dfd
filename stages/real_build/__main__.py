"""The real build: a real yt-dlp executable, made by the real toolchain, on Linux and on Windows.

  python3 -m stages.real_build [--program dist/tq-velmor.exe] [linux] [windows]

Both hosts at once (or the ones named). The code host is a local intercepting proxy (code_host.py):
the source and UPX archives from the checked files (tree.py), a newer release for yt-dlp -U, 404
for anything else; everything else the build fetches (pip from the package index) goes through
untouched. Nothing steers the build's versions but the source's own locks. Each host runs the build
as a user starts it, beside the same recipe by hand (steps.py: yt-dlp's own, the source's locks)
in a second copy of the tree, whose executable must be the same bytes (stages/archive_differences.py
names what differs); reads the executable's verbose header and its -U; builds a second time in the
same folder, reusing the environment; and meets the faults (faults.py: the source archive failed
by a failing code host, the UPX archive changed by another, yt-dlp's own PyInstaller wheel changed
by a third). The user's Python must be as it was. One summary line for each host and one for each
interpreter the program ran with; the faults' table, the 3.11.9 build's record, and the last line,
which hosts passed, follow.

The cache (TQ_VELMOR_REAL_BUILD_CACHE, default ~/.cache/tq_velmor-real-build) keeps pip's
downloads; everything else lives in a scratch folder removed afterwards.
"""

import argparse
import contextlib
import os
import shutil
import subprocess
import sys
import tempfile
import threading
import time
import traceback
from pathlib import Path

from tooling import ToolingError
from wine_runtime import wine

from . import code_host, faults, linux, steps, tree, windows
from .report import Result

ROOT = Path(__file__).resolve().parent.parent.parent

HOSTS = {"linux": linux.build, "windows": windows.build}


class Stage:
    """What both halves share: the proxy, the pins, the tree's version, the folders."""

    def __init__(self, scratch, cache, program, certificates, answers, proxy_):
        self.scratch, self.cache, self.program, self.proxy = scratch, cache, program, proxy_
        # What more code hosts are made of: one for each -U, whose log is then that run's alone.
        self.certificates, self.answers = certificates, answers
        # For the faults: the failing code host, and the proxies serving a changed UPX archive and
        # a changed PyInstaller wheel.
        self.fault_host = self.changed_upx = self.changed_wheel = self.wheel_fault = None
        # The authorities pip trusts for the package index: the system's (the index passes the
        # proxy untouched, so its own certificate reaches pip).
        self.index_authorities = code_host.SYSTEM_AUTHORITIES
        self.version, self.commit = tree.version(), tree.commit()
        # The Windows test stage's cache: the checked interpreter's archive, pip's wheel.
        self.wine_cache = wine.cache()
        self.linux_wheel = None
        # The host package where a Windows interpreter can import it too (steps.PROBE).
        self.host_package = scratch / "host"
        shutil.copytree(steps.host_package() / "tq_velmor_host", self.host_package / "tq_velmor_host",
                        ignore=shutil.ignore_patterns("__pycache__"))


def linux_wheel(scratch):
    """The Linux wheel of this checkout, built as pip builds it."""
    out = scratch / "wheel"
    subprocess.run([sys.executable, "-m", "pip", "wheel", "--no-deps", "-q", "-w", str(out), str(ROOT)],
                   check=True, stdin=subprocess.DEVNULL)
    return next(out.glob("tq_velmor-*.whl"))


def run_host(name, stage, results):
    result = Result(name)
    try:
        result = HOSTS[name](stage)
    except Exception as failure:  # noqa: BLE001 - the other host goes on; this one fails with the reason
        result.problem(f"stopped: {failure!r}\n{traceback.format_exc()}")
    results[name] = result


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("hosts", nargs="*", help=f"of {', '.join(HOSTS)} (default: both)")
    parser.add_argument("--program", type=Path, default=ROOT / "dist" / "tq-velmor.exe",
                        help="the one-click program (release/program.py makes it)")
    parser.add_argument("--keep", action="store_true",
                        help="keep the scratch folder (the builds, the trees by hand, the logs) afterwards")
    args = parser.parse_args(argv)
    hosts = args.hosts or list(HOSTS)
    if set(hosts) - set(HOSTS):
        parser.error(f"hosts are {', '.join(HOSTS)}")
    cache = Path(os.environ.get("TQ_VELMOR_REAL_BUILD_CACHE") or Path.home() / ".cache" / "tq_velmor-real-build")
    cache.mkdir(parents=True, exist_ok=True)
    scratch = Path(tempfile.mkdtemp(prefix="tq_velmor-real-build-"))
    started = time.monotonic()
    results = {}
    try:
        answers = {**tree.answers(), **tree.newer_release(scratch / "newer-release")}
        for url, (path, digest) in answers.items():
            print(f"real build: {url} answered with {path.name}, sha256 {digest}", flush=True)
        with contextlib.ExitStack() as stack:
            certificates = code_host.make_certificates(scratch / "code-host")
            proxy_ = stack.enter_context(code_host.CodeHost(certificates, answers, tree.SOURCE_URL))
            print(f"real build: the code host's proxy {proxy_.url}, its authority in {proxy_.bundle}", flush=True)
            stage = Stage(scratch, cache, args.program.resolve(), certificates, answers, proxy_)
            changed = scratch / "changed-upx"
            changed.mkdir()
            changed_path, changed_digest = tree.changed_upx(changed)
            stage.changed_upx = stack.enter_context(code_host.CodeHost(certificates, {
                **answers, tree.UPX_URL: (changed_path, changed_digest)}, tree.SOURCE_URL))
            print(f"real build: faults: a second proxy {stage.changed_upx.url} answers the UPX URL with a copy "
                  f"changed in one byte, sha256 {changed_digest}", flush=True)
            if "windows" in hosts:
                wheel = tree.changed_wheel(cache / "index-wheels", scratch / "changed-wheel")
                stage.changed_wheel = stack.enter_context(code_host.CodeHost(certificates, {**answers, **wheel},
                                                                             tree.SOURCE_URL))
                stage.wheel_fault = next(iter(wheel.items()))
                for url, (path, digest) in wheel.items():
                    print(f"real build: faults: a third proxy {stage.changed_wheel.url} answers {url} with the "
                          f"package index's wheel changed in one byte, sha256 {digest}", flush=True)
            if "linux" in hosts:
                stage.linux_wheel = linux_wheel(scratch)
                stage.fault_host = stack.enter_context(code_host.CodeHost(certificates, answers, tree.SOURCE_URL))
                print(f"real build: faults: the failing code host {stage.fault_host.url}", flush=True)
            threads = [threading.Thread(target=run_host, args=(name, stage, results)) for name in hosts]
            for thread in threads:
                thread.start()
            for thread in threads:
                thread.join()
            print("real build: the proxy answered:\n  " + "\n  ".join(proxy_.log or ["nothing"]), flush=True)
            print("real build: the proxy with the changed UPX archive answered:\n  "
                  + "\n  ".join(stage.changed_upx.log or ["nothing"]), flush=True)
            if stage.changed_wheel:
                print("real build: the proxy with the changed PyInstaller wheel answered:\n  "
                      + "\n  ".join(stage.changed_wheel.log or ["nothing"]), flush=True)
            if stage.fault_host:
                print("real build: the failing code host answered:\n  "
                      + "\n  ".join(stage.fault_host.log or ["nothing"]), flush=True)
    except (ToolingError, subprocess.CalledProcessError) as failure:
        print(f"real build: FAILED before building: {failure}", flush=True)
        return 1
    finally:
        if args.keep:
            print(f"real build: kept {scratch}", flush=True)
        else:
            shutil.rmtree(scratch, ignore_errors=True)

    print(f"real build: {time.monotonic() - started:.0f} s in all")
    print(faults.table([fault for name in hosts for fault in faults.with_missing(name, results[name].faults)]))
    for name in hosts:
        if results[name].record:
            print(f"real build: {name}: the record of the build compared with the run by hand, "
                  f"yt-dlp-build.txt:\n{results[name].record.rstrip()}")
    for name in hosts:
        print(results[name].summary())
    print("real build: " + ", ".join(f"{name} {'PASS' if results[name].passed else 'FAIL'}" for name in hosts))
    return 0 if all(results[name].passed for name in hosts) else 1


if __name__ == "__main__":
    sys.exit(main())
