"""What the module costs: against its Python twin, memory of a quiet command, a whole build.

    PYTHONPATH=<build folder>:python python3 bench/run.py [--quick] [--costs]

First the module against its Python twin (bench/tq_velmor_twin.py: the same steps through the
same standard-library calls): per-call times of both, timed alternately in this process, with
their ratio, and the start-up cost of each over the bare standard-library imports, from fresh
processes. Then one table of medians over repeated runs. Every figure comes from this process
or from fresh child processes started with the same module files; nothing touches the network
(downloads copy local files, the console clear and the five-second pause are no-ops). --quick
takes fewer repeats, for a smoke test; --costs stops after the comparison with the twin.
"""

import argparse
import hashlib
import os
import platform
import statistics
import subprocess
import sys
import tempfile
import textwrap
import timeit
import types
import zipfile

# Run as a script: its own folder is first on sys.path.
import pipeline_overhead  # (installs the Windows stand-ins and imports the module)
import tq_velmor
import tq_velmor_host
import tq_velmor_twin as twin

MiB = 1 << 20
SEARCH_PATH = [os.path.dirname(tq_velmor.__file__), os.path.dirname(os.path.dirname(tq_velmor_host.__file__)),
               os.path.dirname(twin.__file__)]
CHILD_PREFIX = f"import sys; sys.path[:0] = {SEARCH_PATH!r}\nimport tq_velmor_host; tq_velmor_host.install()\n"
# The standard-library modules the module's start-up imports, winreg being the stand-in here.
STDLIB = "import sys, os, subprocess, shutil, urllib.request, zipfile, glob, ctypes, time, winreg"



def restore(namespace, saved):
    """Put a module namespace back as it was saved: substitutes gone, added names removed."""
    for name in [n for n in namespace if n not in saved]:
        del namespace[name]
    namespace.update(saved)


def child(code, **kwargs):
    """Run `code` in a fresh isolated interpreter that finds the same module files; its stdout."""
    result = subprocess.run([sys.executable, "-I", "-c", CHILD_PREFIX + textwrap.dedent(code)],
                            capture_output=True, text=True, **kwargs)
    if result.returncode != 0:
        raise SystemExit(f"child failed:\n{result.stderr}")
    return result.stdout


def machine():
    model = "unknown CPU"
    try:
        with open("/proc/cpuinfo") as f:
            model = next(line.split(":", 1)[1].strip() for line in f if line.startswith("model name"))
    except (OSError, StopIteration):
        pass
    cpus = len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count()
    return (f"{model}, nproc {cpus}, {platform.system()} {platform.machine()}, "
            f"Python {platform.python_version()} ({platform.python_implementation()})")


# --- Module against its Python twin --------------------------------------------------------------

def import_costs(rounds):
    """Start-up cost of the module and of the twin over the standard-library imports, in seconds.

    Each fresh process first imports the standard-library modules that start-up imports, then
    times the import of the module (or the twin) alone: what is left is its own start-up. The
    two alternate, round after round.
    """
    code = STDLIB + "\nimport time\nstart = time.perf_counter()\nimport {}\nprint(time.perf_counter() - start)\n"
    costs = {"tq_velmor": [], "tq_velmor_twin": []}
    order = list(costs)
    for r in range(rounds):
        for name in (order if r % 2 == 0 else order[::-1]):
            costs[name].append(float(child(code.format(name))))
    return costs["tq_velmor"], costs["tq_velmor_twin"]


def interleaved(module_call, twin_call, repeat, number):
    """Seconds per call of each, timed alternately `repeat` times over `number` calls."""
    timers = [timeit.Timer(module_call), timeit.Timer(twin_call)]
    module, twin = [], []
    for r in range(repeat):
        pair = [None, None]
        for i in ((0, 1) if r % 2 == 0 else (1, 0)):
            pair[i] = timers[i].timeit(number) / number
        module.append(pair[0])
        twin.append(pair[1])
    return module, twin


def os_without_clearing():
    """A plain module like os, with every attribute of os but a `system` that does nothing."""
    substitute = types.ModuleType("os")
    vars(substitute).update(vars(os))
    substitute.system = lambda command: 0
    return substitute


def refused(function):
    """A call that breaks the argument rules: tq_refresh("a", 1, 2) raises TypeError."""
    def call():
        try:
            function("a", 1, 2)
        except TypeError:
            pass
    return call


def calls(repeat, number):
    """(case, module seconds, twin seconds) for each measured call, module and twin interleaved."""
    saved, twin_saved = dict(vars(tq_velmor)), dict(vars(twin))
    screen = sys.stdout
    rows = []
    with tempfile.TemporaryDirectory() as empty, open(os.devnull, "w") as null:
        here = os.getcwd()
        os.chdir(empty)
        try:
            def measure(case, call):
                rows.append((case, *interleaved(lambda: call(tq_velmor), lambda: call(twin), repeat, number)))

            measure('get_path("upx.exe")', lambda m: m.get_path("upx.exe"))
            # The console clearing substituted (the same object for both), the screen to the null device.
            tq_velmor.os = twin.os = os_without_clearing()
            sys.stdout = null
            measure('tq_refresh("Instalando dependencias...", 45)',
                    lambda m: m.tq_refresh("Instalando dependencias...", 45))
            sys.stdout = screen
            tq_velmor.os = twin.os = os
            module_refused, twin_refused = refused(tq_velmor.tq_refresh), refused(twin.tq_refresh)
            rows.append(('argument error: tq_refresh("a", 1, 2)',
                         *interleaved(module_refused, twin_refused, repeat, number)))
            measure("cleanup() in an empty folder", lambda m: m.cleanup())
            measure("validar_python(None)", lambda m: m.validar_python(None))
        finally:
            sys.stdout = screen
            os.chdir(here)
            restore(vars(tq_velmor), saved)
            restore(vars(twin), twin_saved)
    return rows


def cost_table(quick):
    """The module against its twin: per-call medians and ratios, and start-up cost over the stdlib."""
    repeat, number, rounds = (3, 500, 5) if quick else (15, 2000, 41)
    rows = calls(repeat, number)
    module_startup, twin_startup = import_costs(rounds)
    lines = [f"{'case':<50} {'module':>12} {'twin':>12} {'ratio':>6}"]
    for case, module, twin_times in rows:
        ratios = [m / t for m, t in zip(module, twin_times)]
        lines.append(f"{case:<50} {us(module)} {us(twin_times)} {statistics.median(ratios):6.2f}")
    ratios = [m / t for m, t in zip(module_startup, twin_startup)]
    lines.append(f"{'start-up, over the standard-library imports':<50} "
                 f"{ms(module_startup)} {ms(twin_startup)} {statistics.median(ratios):6.2f}")
    lines.append(f"(per call: medians of {repeat} interleaved timings of {number} calls, ratio the median of the "
                 f"paired ratios; start-up: medians of {rounds} fresh processes each)")
    return lines


# --- Peak memory, in fresh processes -------------------------------------------------------------

# Exits non-zero (so run_silent raises) unless every byte was written.
WRITER = ("import os\nchunk, written = bytes(1 << 20), 0\nfor _ in range({mib}):\n    written += os.write(1, chunk)\n"
          "raise SystemExit(written != {mib} << 20)\n")

# For a child: the resident set now, and its peak since `start_peak()`, in KiB. Linux lets the
# peak be reset to the current size (clear_refs 5), so that what start-up held before does not
# hide a smaller rise; elsewhere the peak is the process's whole-life maximum.
PEAK = """
import re, resource
def status(field):
    with open("/proc/self/status") as f:
        return int(re.search(rf"^{field}:\\s+(\\d+) kB", f.read(), re.M).group(1))
def start_peak():
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
        return status("VmRSS")
    except OSError:
        return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
def peak():
    try:
        return status("VmHWM")
    except OSError:
        return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
"""


def run_silent_peak(mib, capture=False):
    """(parent's peak RSS growth in KiB, seconds) while a child writes `mib` MiB to its standard output.

    capture=True runs subprocess.run with stdout=PIPE instead: a check that the meter sees memory
    that is really held.
    """
    call = "subprocess.run(cmd, stdout=subprocess.PIPE)" if capture else "tq_velmor.run_silent(cmd)"
    out = child(PEAK + f"""
import subprocess, sys, time, tq_velmor
cmd = [sys.executable, "-S", "-c", {WRITER.format(mib=mib)!r}]
before = start_peak()
start = time.perf_counter()
{call}
took = time.perf_counter() - start
print(peak() - before, took)
""")
    grown, took = out.split()
    return int(grown), float(took)


def setup_upx_peak(archive):
    """Parent's peak RSS growth in KiB while setup_upx extracts the member of `archive`."""
    with open(archive, "rb") as f:
        digest = hashlib.sha256(f.read()).hexdigest()
    with tempfile.TemporaryDirectory() as work:
        out = child(PEAK + f"""
import os, shutil, urllib.request, tq_velmor
os.environ["TQ_VELMOR_UPX_SHA256"] = {digest!r}
urllib.request.urlretrieve = lambda url, filename: shutil.copyfile({str(archive)!r}, filename)
before = start_peak()
assert tq_velmor.setup_upx() is True
print(peak() - before)
""", cwd=work)
    return int(out)


def huge_upx_archive(folder, mib):
    path = os.path.join(folder, "upx.zip")
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as z:
        with z.open("upx-4.2.2-win64/upx.exe", "w", force_zip64=True) as member:
            for _ in range(mib):
                member.write(bytes(MiB))
    return path


# --- The whole build -----------------------------------------------------------------------------

def whole_build(runs):
    saved = dict(vars(tq_velmor))
    here = os.getcwd()
    try:
        with tempfile.TemporaryDirectory() as root:
            python, served = pipeline_overhead.prepare(root)
            os.mkdir(os.path.join(root, "work"))
            os.chdir(os.path.join(root, "work"))
            results = [pipeline_overhead.one_run(python, served) for _ in range(runs + 1)][1:]  # first one warms up
            os.chdir(here)
    finally:
        os.chdir(here)
        restore(vars(tq_velmor), saved)
    total, children, downloads, n_children, n_downloads = zip(*results)
    own = [t - c - d for t, c, d, *_ in results]
    return total, children, downloads, own, n_children[0], n_downloads[0]


# --- The table -----------------------------------------------------------------------------------

def ms(values):
    return f"{statistics.median(values) * 1e3:9.3f} ms"


def us(values):
    return f"{statistics.median(values) * 1e6:9.3f} µs"


def mib(kib):
    return f"{kib:9d} KiB" if kib < 10240 else f"{kib / 1024:9.1f} MiB"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="fewer repeats (a smoke test, not figures to quote)")
    parser.add_argument("--costs", action="store_true", help="only the module against its Python twin")
    options = parser.parse_args()
    quick = options.quick
    peaks, builds = (1, 5) if quick else (5, 51)
    big = 64 if quick else 1024

    print(f"tq_velmor benchmarks: {tq_velmor.__file__}")
    print(f"machine: {machine()}")
    print()
    print("\n".join(cost_table(quick)))
    if options.costs:
        return
    print()

    rows = []

    def row(what, figure, detail=""):
        rows.append((what, figure, detail))

    silent = [run_silent_peak(big) for _ in range(peaks)]
    row(f"run_silent: child writes {big} MiB to stdout, parent peak RSS growth",
        mib(int(statistics.median(g for g, _ in silent))), f"max {max(g for g, _ in silent)} KiB, {peaks} runs")
    row("  time of that run", ms([t for _, t in silent]), "child start to exit; the null device copies nothing")
    held = min(256, big)
    row(f"  meter check: subprocess.run capturing {held} MiB", mib(run_silent_peak(held, capture=True)[0]), "1 run")

    with tempfile.TemporaryDirectory() as folder:
        member = 64 if quick else 256
        archive = huge_upx_archive(folder, member)
        growth = [setup_upx_peak(archive) for _ in range(peaks)]
        row(f"setup_upx: {member} MiB member ({os.path.getsize(archive) // 1024} KiB archive), peak RSS growth",
            mib(int(statistics.median(growth))), f"{peaks} runs; the member is read whole")

    total, children, downloads, own, n_children, n_downloads = whole_build(builds)
    detail = f"median of {builds}"
    row(f"main(): whole build, fake toolchain ({n_children} commands, {n_downloads} downloads)", ms(total), detail)
    row("  inside child processes (subprocess.run)", ms(children), detail)
    row("  inside downloads (local file copies)", ms(downloads), detail)
    row("  the module's own time (the rest)", ms(own), f"{detail}, max {max(own) * 1e3:.2f} ms")

    width = max(len(what) for what, _, _ in rows)
    print(f"{'what':<{width}}  {'median':>12}  notes")
    for what, figure, detail in rows:
        print(f"{what:<{width}}  {figure:>12}  {detail}")


if __name__ == "__main__":
    main()
