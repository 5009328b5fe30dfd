"""The real build on Linux, as a user starts it: tq-velmor in an empty folder, in a fresh virtual
environment, whose base interpreter runs the build with an environment of the build's own in the
user's cache folder (XDG_CACHE_HOME, the scratch's). The build ends in the missing-executable
message by design (PyInstaller makes yt-dlp_linux there, not yt-dlp.exe); yt-dlp_linux must
answer --version with the tree's version, list the lock's libraries and the archive's commit in its
verbose header, and print the update hint to -U. A second run in the same folder reuses the
environment and makes the same bytes. The interpreters' own packages stay as they were."""

import os
import shutil
import subprocess
import sys
import threading

from tooling import plain
from tq_velmor_host import environment as host_environment
from tq_velmor_host.command import REPRODUCIBLE
from tq_velmor_host.texts import ENGLISH
from wine_runtime.wine import DROPPED  # what must not steer the build's interpreter or its pip on either host

from . import checks, faults, steps, tree
from .report import Result, Route, same_bytes

MISSING_EXE = "[ERROR] No se generó el EXE."
RUN_LIMIT = 40 * 60  # a build that has not ended by then never will
FAULT_LIMIT = 10 * 60  # nor a run that meets a download fault
CHECK_LIMIT = 120  # nor yt-dlp_linux's -v or -U


def environment(stage, folder):
    env = {k: v for k, v in os.environ.items() if not DROPPED.fullmatch(k)}
    env.update(HTTPS_PROXY=stage.proxy.url, SSL_CERT_FILE=str(stage.proxy.bundle),
               PIP_CERT=str(stage.index_authorities), PIP_CACHE_DIR=str(stage.cache / "pip-linux"),
               XDG_CACHE_HOME=str(folder / "cache"), **tree.upx_named())
    return env


def seen_at(real, path):
    """What runs a command with the folder `real` in place of the folder at `path`, in a mount
    namespace of its own: the build's environment and the one by hand at the same path, as pip
    writes that path into the console scripts it installs, and the hashes of those into the
    RECORD that PyInstaller collects."""
    return ["unshare", "--mount", "--propagation", "private", "sh", "-c",
            'mount --bind "$0" "$1" && shift && exec "$@"', str(real), str(path)]


def runner(tree_dir, env, log, prefix=()):
    """run() for steps: a command with the build's working folders and environments."""
    packaging_env = {**env, "PATH": f"{tree_dir.parent}{os.pathsep}{env['PATH']}"}  # as the build's, UPX ready

    def run(command, in_tree, packaging, more):
        process = subprocess.run([*prefix, *command], cwd=tree_dir if in_tree else tree_dir.parent,
                                 env={**(packaging_env if packaging else env), **more}, stdin=subprocess.DEVNULL,
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


def site_packages(python):
    """{folder: its entries} of the interpreter's own site-packages folders."""
    folders = subprocess.run([python, "-c", "import site; print('\\n'.join(site.getsitepackages()))"],
                             capture_output=True, text=True, check=True).stdout.split("\n")
    return {folder: sorted(os.listdir(folder)) for folder in folders if os.path.isdir(folder)}


def build(stage):
    result = Result("linux")
    folder = stage.scratch / "linux"
    env = environment(stage, folder)
    work = folder / "work"
    work.mkdir(parents=True)
    (folder / "cache").mkdir()
    subprocess.run([sys.executable, "-m", "venv", str(folder / "venv")], check=True, stdin=subprocess.DEVNULL)
    venv = folder / "venv" / "bin" / "python"
    subprocess.run([venv, "-m", "pip", "install", "-q", "--no-deps", "--no-index", "--disable-pip-version-check",
                    str(stage.linux_wheel)], check=True, stdin=subprocess.DEVNULL)
    probe = subprocess.run([venv, "-c", steps.PROBE, venv, stage.host_package], env=env, capture_output=True,
                           text=True, check=True)
    python, settings = steps.probed(probe.stdout)
    version = subprocess.check_output([python, "--version"], text=True).strip()
    route = Route(f"{version} (the virtual environment's base)")
    result.routes.append(route)
    before = {**site_packages(python), **site_packages(venv)}
    result.say(f"virtual environment {folder / 'venv'}, made from {python} ({version}), which runs the build; "
               f"its environment {settings['PYTHONUSERBASE']}")
    if real_build(stage, folder, env, python, settings, result, route):
        second_build(stage, folder, env, result, route)
        download_faults(stage, folder, env, result)
    after = {**site_packages(python), **site_packages(venv)}
    changed = {where: sorted(set(before.get(where, [])) ^ set(after.get(where, []))) for where in {*before, *after}}
    changed = {where: names for where, names in changed.items() if names}
    result.say(f"the interpreters' site-packages ({', '.join(sorted(before))}): "
               + ("the same before and after" if not changed else f"CHANGED: {changed}"))
    result.check(not changed, f"the build changed the interpreters' own site-packages: {changed}")
    return result


def real_build(stage, folder, env, python, settings, result, route):
    """The build and the recipe by hand; returns whether the build ended as it should (so that its
    environment is ready for more runs)."""
    work = folder / "work"
    other = folder / "by-hand"
    (other / "cache").mkdir(parents=True)
    tree_dir = tree.second_copy(other)
    recipe = steps.Recipe(python, tree_dir, host_environment.platform_of(python), ENGLISH.update_hint, stage.commit)
    result.say(f"tq-velmor in the empty folder {work}; beside it, at the same time, the recipe by hand in a second "
               f"copy of the tree, its environment at the build's path ({other / 'cache'} seen at {folder / 'cache'})")
    # By hand, the variables the command sets for its build (where not set already).
    by_hand_env = {**REPRODUCIBLE, **host_environment.with_settings(env, settings)}
    with open(other / "by-hand.log", "w") as log, steps.Beside(
            steps.run_all, recipe, runner(tree_dir, by_hand_env, log, seen_at(other / "cache", folder / "cache")),
            result.say) as by_hand:
        status, text, result.main_seconds = run_main(folder, work, env)
    result.by_hand = by_hand.timing
    (folder / "main.log").write_text(text)
    route.first.seconds = result.main_seconds
    said = checks.environment_run(plain(text), ENGLISH, route.first)
    result.say(f"status {status} after {result.main_seconds:.0f} s; last screen {steps.last_screen(text)!r}; "
               f"{said!r}; output in {folder / 'main.log'}")
    result.say(f"by hand: {result.by_hand}")
    if result.by_hand.failed:
        result.problem(f"by hand, the {result.by_hand.failed} step failed")
    result.check(route.first.environment == "made", f"the first build's environment was not made: {said!r}")

    program = work / "yt-dlp-master" / "dist" / "yt-dlp_linux"
    if status != 1 or MISSING_EXE not in text or "ERROR CRITICO" in text:
        result.problem(f"expected the missing-executable message and status 1, got status {status}:\n"
                       f"{plain(text)[-3000:]}")
        recipe = steps.Recipe(python, work / "yt-dlp-master", recipe.platform, recipe.hint, recipe.commit)
        with open(folder / "rerun.log", "w") as log:
            run = runner(recipe.tree, host_environment.with_settings(env, settings), log)
            steps.rerun_failed(recipe, text, run, result.say)
        return False
    if not program.is_file():
        result.problem(f"{program} was not made")
        return False
    result.compare(program, tree_dir / "dist" / program.name)
    shutil.copyfile(program, folder / f"first-{program.name}")
    data = program.read_bytes()
    route.how, route.size, route.sha256 = "yt-dlp_linux by PyInstaller (no UPX on Linux)", len(data), result.sha256
    answer = subprocess.run([program, "--version"], capture_output=True, text=True, stdin=subprocess.DEVNULL)
    result.version = route.version = answer.stdout.strip()
    route.started = answer.returncode == 0 and result.version == stage.version
    result.say(f"{program.name} --version: {result.version} (status {answer.returncode})")
    result.check(route.started, f"{program.name} --version gave {answer.stdout!r}{answer.stderr!r}, "
                                f"expected {stage.version}")
    executable(stage, program, env, recipe.platform, result, route)

    installed = subprocess.run([python, "-m", "pip", "list", "--user", "--format=freeze",
                                "--disable-pip-version-check"], env=host_environment.with_settings(env, settings),
                               capture_output=True, text=True).stdout.split()
    result.pyinstaller = dict(p.split("==") for p in installed if "==" in p).get("pyinstaller")
    result.say(f"the environment holds: {' '.join(installed)}")
    locked = tree.locked(recipe.lock_names[1], ("pyinstaller",))["pyinstaller"]
    result.check(result.pyinstaller == locked,
                 f"PyInstaller {result.pyinstaller} in the environment, the lock's {locked}")
    return True


def executable(stage, program, env, platform, result, route):
    """yt-dlp_linux's verbose header and its -U."""

    def run(arguments, env_):
        answer = subprocess.run([program, *arguments], env=env_, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                stderr=subprocess.STDOUT, text=True, errors="replace", timeout=CHECK_LIMIT)
        return answer.returncode, answer.stdout

    checks.header(run, env, platform, result, route, "")
    checks.update(run, lambda host: {**env, "HTTPS_PROXY": host.url, "SSL_CERT_FILE": str(host.bundle)}, program,
                  stage, ENGLISH.update_hint, result, route, "")


def second_build(stage, folder, env, result, route):
    """tq-velmor once more in the same folder: the environment reused, the same bytes."""
    work = folder / "work"
    status, text, route.second.seconds = run_main(folder, work, env)
    (folder / "second.log").write_text(text)
    said = checks.environment_run(plain(text), ENGLISH, route.second)
    result.say(f"second build in {work}: status {status} after {route.second.seconds:.0f} s; {said!r}")
    result.check(status == 1 and MISSING_EXE in text and route.second.environment == "reused",
                 f"the second build: expected status 1, the missing-executable message and the environment "
                 f"reused, got status {status}, {said!r}:\n{plain(text)[-3000:]}")
    program = work / "yt-dlp-master" / "dist" / "yt-dlp_linux"
    if program.is_file():
        same_bytes(program, folder / f"first-{program.name}", "the first build's", result)


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
        result.fault(faults.stopping_fault("linux", title, status, seconds, text, work))
    work = base / "upx"
    faults.prepare(work)
    changed = stage.changed_upx
    with faults.Watch(work) as watch:
        status, text, seconds = run_main(folder, work, {**env, "HTTPS_PROXY": changed.url,
                                                        "SSL_CERT_FILE": str(changed.bundle)}, FAULT_LIMIT)
    (base / "upx.log").write_text(text)
    # On Linux the build ends without an executable by design, UPX or not.
    result.fault(faults.upx_fault("linux", status, seconds, text, work, watch, 1, MISSING_EXE, new_exe=False))
