"""Time main() spends outside child processes and downloads, against a toolchain that does nothing.

    PYTHONPATH=<build folder>:python python3 bench/pipeline_overhead.py [runs]

The interpreter is a shell script that exits at once (the packaging call leaves an empty
"dist/yt-dlp.exe"), downloads copy small local archives, the console clear and the five-second
pause are no-ops, and the screens go to an in-memory stream. Every subprocess.run and
urlretrieve call is timed and taken off the run's wall time; what is left is the pipeline's own
work: the lookups and calls, the seven screens, the cleanups, the extraction and the move.
"""

import hashlib
import io
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
import urllib.request
import zipfile

import tq_velmor_host

tq_velmor_host.install()

import tq_velmor  # noqa: E402

TOOLCHAIN = """#!/bin/sh
if [ "$2" = bundle.pyinstaller ]; then mkdir -p dist && : > dist/yt-dlp.exe; fi
exit 0
"""


class Stopwatch:
    """Wraps a callable and adds up the time spent inside it."""

    def __init__(self, f):
        self.f, self.spent, self.calls = f, 0.0, 0

    def __call__(self, *args, **kwargs):
        start = time.perf_counter()
        try:
            return self.f(*args, **kwargs)
        finally:
            self.spent += time.perf_counter() - start
            self.calls += 1


class Module:
    """A module whose listed attributes are replaced, everything else read from the real one."""

    def __init__(self, real, **attrs):
        self.__dict__.update(attrs)
        self._real = real

    def __getattr__(self, name):
        return getattr(self._real, name)


def prepare(root):
    python = os.path.join(root, "python.exe")
    with open(python, "w") as f:
        f.write(TOOLCHAIN)
    os.chmod(python, 0o755)
    served = {"master.zip": os.path.join(root, "master.zip"), "upx-4.2.2-win64.zip": os.path.join(root, "upx.zip")}
    with zipfile.ZipFile(served["master.zip"], "w") as z:
        z.writestr("yt-dlp-master/bundle/pyinstaller.py", "import os\nset_version_info(final_file, version)\n")
        z.writestr("yt-dlp-master/devscripts/make_lazy_extractors.py", "")
    with zipfile.ZipFile(served["upx-4.2.2-win64.zip"], "w") as z:
        z.writestr("upx-4.2.2-win64/upx.exe", b"MZ")
    # The stand-in archive is not the official one: named, so that UPX is extracted as in a real build.
    with open(served["upx-4.2.2-win64.zip"], "rb") as f:
        os.environ["TQ_VELMOR_UPX_SHA256"] = hashlib.sha256(f.read()).hexdigest()
    return python, served


def one_run(python, served):
    run = Stopwatch(subprocess.run)
    download = Stopwatch(lambda url, name: shutil.copyfile(served[url.rsplit("/", 1)[1]], name))
    tq_velmor.sys = Module(sys, executable=python)
    tq_velmor.subprocess = Module(subprocess, run=run)
    tq_velmor.urllib = Module(urllib, request=Module(urllib.request, urlretrieve=download))
    tq_velmor.os = Module(os, system=lambda command: 0)
    tq_velmor.time = Module(time, sleep=lambda seconds: None)
    screen, sys.stdout = sys.stdout, io.StringIO()
    try:
        start = time.perf_counter()
        tq_velmor.main()
        total = time.perf_counter() - start
        shown = sys.stdout.getvalue()
    finally:
        sys.stdout = screen
    if "EXCELENTE" not in shown or os.listdir() != ["yt-dlp.exe"]:
        raise SystemExit("the run did not reach the report:\n" + shown)
    return total, run.spent, download.spent, run.calls, download.calls


def main():
    runs = int(sys.argv[1]) if len(sys.argv) > 1 else 30
    with tempfile.TemporaryDirectory() as root:
        python, served = prepare(root)
        work = os.path.join(root, "work")
        os.mkdir(work)
        os.chdir(work)
        results = [one_run(python, served) for _ in range(runs + 1)][1:]  # the first warms the caches
        os.chdir(root)
    total, children, downloads, n_children, n_downloads = zip(*results)
    own = [t - c - d for t, c, d, *_ in results]
    ms = lambda values: f"median {statistics.median(values) * 1e3:7.2f} ms   min {min(values) * 1e3:7.2f} ms"  # noqa: E731
    print(f"{runs} runs, {n_children[0]} child processes and {n_downloads[0]} downloads each")
    print(f"  whole run             {ms(total)}")
    print(f"  child processes       {ms(children)}")
    print(f"  downloads             {ms(downloads)}")
    print(f"  pipeline's own work   {ms(own)}   max {max(own) * 1e3:.2f} ms")


if __name__ == "__main__":
    main()
