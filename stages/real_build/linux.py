"""The real build on Linux, as a user starts it: tq-velmor in an empty folder, in a fresh virtual
environment (which discovery takes, and into which pip installs). The build ends in the
missing-executable message by design (PyInstaller makes yt-dlp_linux there, not yt-dlp.exe);
the program PyInstaller made must answer --version with the tree's version."""

import os
import subprocess
import sys
import threading

from tq_velmor_host.command import REPRODUCIBLE
from wine_runtime.wine import DROPPED  # what must not steer the build's interpreter or its pip on either host

from . import faults, steps, tree
from .report import Result

MISSING_EXE = "[ERROR] No se generó el EXE."
RUN_LIMIT = 40 * 60  # a build that has not ended by then never will
FAULT_LIMIT = 10 * 60  # nor a run that meets a download fault


def environment(stage):
    env = {k: v for k, v in os.environ.items() if not DROPPED.fullmatch(k)}
    env.update(HTTPS_PROXY=stage.proxy.url, SSL_CERT_FILE=str(stage.proxy.bundle),
               PIP_CONSTRAINT=str(stage.constraints), PIP_CERT=str(stage.index_authorities), **tree.upx_named())
    return env


def seen_at(real, path):
    """What runs a command with the folder `real` in place of the folder at `path`, in a mount
    namespace of its own: the build's interpreter and the one by hand at the same path, as pip
    writes that path into the console scripts it installs, and the hashes of those into the
    RECORD that PyInstaller collects."""
    return ["unshare", "--mount", "--propagation", "private", "sh", "-c",
            'mount --bind "$0" "$1" && shift && exec "$@"', str(real), str(path)]


def fresh_venv(folder, result, prefix=()):
    subprocess.run([*prefix, sys.executable, "-m", "venv", str(folder)], check=True, stdin=subprocess.DEVNULL)
    python = folder / "bin" / "python"
    version = subprocess.check_output([*prefix, python, "--version"], text=True).strip()
    result.say(f"virtual environment {folder} ({version}){' in a namespace of its own' if prefix else ''}")
    return python


def runner(python, tree_dir, env, log, prefix=()):
    """run() for steps: a command with the build's working folders and environments."""
    packaging_env = {**env, "PATH": f"{tree_dir.parent}{os.pathsep}{env['PATH']}"}  # as the build's, UPX ready

    def run(command, in_tree, packaging):
        process = subprocess.run([*prefix, *command], cwd=tree_dir if in_tree else tree_dir.parent,
                                 env=packaging_env if packaging else env, stdin=subprocess.DEVNULL,
                                 stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, errors="replace")
        log.write(f"$ {' '.join(map(str, command))}\n{process.stdout}\n")
        return process.returncode, process.stdout

    return run


def run_main(folder, work, env, limit=RUN_LIMIT):
    """tq-velmor in `work`; returns (status, output, seconds)."""
    output = steps.Recorder()
    with subprocess.Popen([folder / "venv" / "bin" / "tq-velmor"], cwd=work, env=env, stdin=subprocess.DEVNULL,
                          stdout=subprocess.PIPE, stderr=subprocess.STDOUT) as main:
        watchdog = threading.Timer(limit, main.kill)
        watchdog.start()
        for chunk in iter(lambda: main.stdout.read1(65536), b""):
            output.write(chunk)
        watchdog.cancel()
    output.finish()
    return main.returncode, output.data.decode("utf-8", "replace"), output.seconds


def build(stage):
    result = Result("linux")
    folder = stage.scratch / "linux"
    env = environment(stage)
    if real_build(stage, folder, env, result):
        download_faults(stage, folder, env, result)
    return result


def real_build(stage, folder, env, result):
    """The build and the run by hand; returns whether the build ended as it should (so that its
    environment is ready for more runs)."""
    work = folder / "work"
    work.mkdir(parents=True)
    python = fresh_venv(folder / "venv", result)
    subprocess.run([python, "-m", "pip", "install", "-q", "--no-deps", "--no-index", "--disable-pip-version-check",
                    str(stage.linux_wheel)], check=True, stdin=subprocess.DEVNULL)
    other = folder / "by-hand"
    (other / "venv").mkdir(parents=True)
    namespace = seen_at(other / "venv", folder / "venv")
    second = fresh_venv(folder / "venv", result, namespace)
    tree_dir = tree.second_copy(other)

    result.say(f"tq-velmor in the empty folder {work}; beside it, at the same time, the three commands by hand "
               f"in a second copy of the tree with a second fresh environment ({other / 'venv'}, seen at the "
               "build's path)")
    # By hand, the variables the command sets for its build (where not set already).
    by_hand_env = {**REPRODUCIBLE, **env}
    with open(other / "by-hand.log", "w") as log, steps.Beside(
            steps.run_all, second, tree_dir, runner(second, tree_dir, by_hand_env, log, namespace),
            result.say) as by_hand:
        status, text, result.main_seconds = run_main(folder, work, env)
    result.by_hand = by_hand.timing
    (folder / "main.log").write_text(text)
    result.say(f"status {status} after {result.main_seconds:.0f} s; last screen "
               f"{steps.last_screen(text)!r}; output in {folder / 'main.log'}")
    result.say(f"by hand: {result.by_hand}")
    if result.by_hand.failed:
        result.problem(f"by hand, the {result.by_hand.failed} step failed")

    program = work / "yt-dlp-master" / "dist" / "yt-dlp_linux"
    if status != 1 or MISSING_EXE not in text or "ERROR CRITICO" in text:
        result.problem(f"expected the missing-executable message and status 1, got status {status}:\n"
                       f"{steps.plain(text)[-3000:]}")
        with open(folder / "rerun.log", "w") as log:
            steps.rerun_failed(python, text, runner(python, work / "yt-dlp-master", env, log), result.say)
        return False
    if not program.is_file():
        result.problem(f"{program} was not made")
        return False
    result.compare(program, tree_dir / "dist" / program.name)
    answer = subprocess.run([program, "--version"], capture_output=True, text=True, stdin=subprocess.DEVNULL)
    result.version = answer.stdout.strip()
    result.say(f"{program.name} --version: {result.version} (status {answer.returncode})")
    if answer.returncode != 0 or result.version != stage.version:
        result.problem(f"{program.name} --version gave {answer.stdout!r}{answer.stderr!r}, expected {stage.version}")

    installed = subprocess.run([python, "-m", "pip", "list", "--format=freeze", "--disable-pip-version-check"],
                               capture_output=True, text=True, check=True).stdout.split()
    pinned = stage.pinned(installed)
    result.pyinstaller = dict(p.split("==") for p in pinned).get("pyinstaller")
    result.say(f"installed: {' '.join(pinned)}")
    return True


def download_faults(stage, folder, env, result):
    """The download faults, each run by tq-velmor in a fresh folder with the environment the build
    prepared: the four of the source archive through the failing code host, then the changed UPX
    archive through the second proxy (that build goes on to pip and PyInstaller)."""
    base, host = folder / "faults", stage.fault_host
    for name, title in faults.SOURCE_FAULTS:
        work = base / name
        faults.prepare(work)
        host.fault = name
        status, text, seconds = run_main(folder, work, {**env, "HTTPS_PROXY": host.url,
                                                        "SSL_CERT_FILE": str(host.bundle)}, FAULT_LIMIT)
        (base / f"{name}.log").write_text(text)
        result.fault(faults.source_fault("linux", title, status, seconds, text, work))
    work = base / "upx"
    faults.prepare(work)
    changed = stage.changed_upx
    with faults.Watch(work) as watch:
        status, text, seconds = run_main(folder, work, {**env, "HTTPS_PROXY": changed.url,
                                                        "SSL_CERT_FILE": str(changed.bundle)}, FAULT_LIMIT)
    (base / "upx.log").write_text(text)
    # On Linux the build ends without an executable by design, UPX or not.
    result.fault(faults.upx_fault("linux", status, seconds, text, work, watch, 1, MISSING_EXE, new_exe=False))
