"""The real build on Windows, under Wine, as a user starts it: tq-velmor.exe double-clicked in an
empty folder, with the official CPython 3.11.9 installed the way python.org's per-user installer
lays it out and registers it, and not on PATH. The frozen program skips itself, discovery finds
that interpreter, and the real Windows pip and PyInstaller (with UPX) make yt-dlp.exe, packed by
UPX, which must start, list the lock's libraries and the archive's commit in its verbose header,
and print the update hint to -U without fetching anything. A second double-click in the same
folder reuses the environment and makes the same bytes. The interpreter's own site-packages stay
as they were.

Before that, a short run shows discovery through the real registry (the interpreter registered in
a folder no install root covers, and pip made to fail at once by an empty local index: the failure
screen must name that interpreter), and one meets yt-dlp's own PyInstaller wheel changed in one
byte (it must stop, and leave the environment half made, for the real build to make anew).

Beside them all, the program on a machine of its own whose interpreter is the official CPython
3.13.2, laid out and registered as the Python Install Manager does it, in a folder whose path has
spaces and letters outside ASCII; twice. Its python313.dll keeps the thread state in implicit
TLS, which a DLL packed by UPX cannot start with: the program must build without UPX (from the
start, or on a second build) and leave a yt-dlp.exe that starts. The summary tells each
interpreter's route.
"""

import contextlib
import hashlib
import os
import shutil
import threading
import time
import traceback

import tooling
from tq_velmor_host import environment, folder as build_folder, locks
from tq_velmor_host.command import REPRODUCIBLE, SPANISH
from tq_velmor_host.program import CLOSE_PROMPT
from wine_runtime import embedded_python, wine

from .. import archive_differences
from . import checks, faults, steps, tree
from .report import Result, Route, same_bytes

# The waits of a run: each is answered with Enter once shown, as a user at the window would.
WAITS = [CLOSE_PROMPT.encode(), b"ERROR CRITICO:", b"No se gener"]
REGISTERED_ELSEWHERE = r"C:\Herramientas\Python311"
RUN_LIMIT = 40 * 60  # a build that has not ended by then never will
# Where the second interpreter's run builds, below the user's folder: spaces, and letters outside
# ASCII (not below Desktop, Documents or Downloads: Wine links those to the Linux home folder).
NEWER_WORKSPACE = r"José María\Descargas\yt dlp"
PACKED = "packed with UPX"
PLATFORM = ("nt", "x64")  # as the host's locks name the interpreters' platform
CHECK_LIMIT = 300  # seconds yt-dlp.exe -v or -U may take under Wine
# How an interpreter is laid out and registered: python.org's per-user installer (Programs\Python\
# Python311), or the Python Install Manager (Python\pythoncore-3.13-64, its key marked as its own).
INSTALLER, MANAGER = "python.org's installer", "the Python Install Manager"


class Machine:
    """A fresh Wine prefix and the checked interpreter (`runtime`), ready to be installed anywhere
    in it (the one `pristine` names, when given: another machine's)."""

    def __init__(self, stage, folder, result, pristine=None, runtime=embedded_python.PYTHON_311, layout=INSTALLER):
        self.stage, self.folder, self.runtime, self.layout = stage, folder, runtime, layout
        folder.mkdir(parents=True, exist_ok=True)
        self.env = wine.environment(folder / "prefix")
        result.say(f"making a Wine prefix in {folder / 'prefix'}")
        wine.make_prefix(self.env)
        self.c = wine.drive_c(self.env)
        self.user = next(p.name for p in (self.c / "users").iterdir() if p.name.lower() != "public")
        self.pristine = pristine
        if pristine is None:
            self.pristine = folder / "pristine"
            wine_cache = stage.wine_cache
            # Its count is enough.
            embedded_python.prepare(wine_cache, self.pristine, say=lambda line: None, runtime=runtime)
            wine.install_pip(wine.fetch_wheels(wine_cache / "wheels", [wine.PIP]), self.pristine)

    def path(self, windows):
        """The Linux path of a C: path. (Not below Desktop, Documents and the like: Wine makes
        those links to the Linux home folder.)"""
        drive, rest = windows.split(":", 1)
        assert drive.upper() == "C", windows
        return self.c.joinpath(*[part for part in rest.split("\\") if part])

    def install_folder(self):
        """Where the layout's installer puts the interpreter."""
        if self.layout == MANAGER:
            return rf"C:\users\{self.user}\AppData\Local\Python\pythoncore-{self.runtime.series}-64"
        return rf"C:\users\{self.user}\AppData\Local\Programs\Python\Python{self.runtime.digits}"

    def install(self, windows_folder, register):
        """The interpreter copied to `windows_folder`, registered as the layout's installer does
        when `register`; returns its python.exe."""
        shutil.copytree(self.pristine, self.path(windows_folder))
        python = f"{windows_folder}\\python.exe"
        if register:
            self.register(windows_folder)
        # One start before the build's: discovery gives each candidate 5 seconds.
        wine.run([python, "--version"], self.env, quiet=True)
        return python

    def register(self, windows_folder):
        """The keys the layout's installer writes (earlier ones replaced)."""
        series, version = self.runtime.series, self.runtime.version
        key = rf"HKEY_CURRENT_USER\Software\Python\PythonCore\{series}"
        if self.layout == MANAGER:
            tag = {"ManagedByPyManager": 1, "DisplayName": f"Python {version}"}
            install_path = windows_folder  # the runtime's prefix, with no backslash after it
        else:
            tag = {"DisplayName": f"Python {series} (64-bit)"}
            install_path = windows_folder + "\\"
        tag.update({"SupportUrl": "https://www.python.org/", "Version": version, "SysVersion": series,
                    "SysArchitecture": "64bit"})
        keys = {key: tag, key + r"\InstallPath": {
            "@": install_path, "ExecutablePath": windows_folder + r"\python.exe",
            "WindowedExecutablePath": windows_folder + r"\pythonw.exe"}}

        def quoted(text):
            return '"' + text.replace("\\", "\\\\").replace('"', '\\"') + '"'

        def data(value):
            return f"dword:{value:08x}" if isinstance(value, int) else quoted(value)

        lines = ["Windows Registry Editor Version 5.00", "", f"[-{key}]"]
        for name, values in keys.items():
            lines += ["", f"[{name}]"]
            lines += [f"{'@' if value == '@' else quoted(value)}={data(item)}" for value, item in values.items()]
        file = self.folder / "python.reg"
        file.write_bytes(("\r\n".join(lines) + "\r\n").encode("utf-16"))  # regedit's own format
        wine.run(["reg", "import", wine.windows_path(file)], self.env, quiet=True)

    def probe(self, python):
        """(the interpreter that runs the build, its environment's settings), as the host's own code
        tells them in that interpreter."""
        output = wine.run([python, "-c", steps.PROBE, python, wine.windows_path(self.stage.host_package)],
                          self.env, quiet=True).stdout
        return steps.probed(output)

    def site_packages(self, windows_folder):
        """The entries of the interpreter's own Lib\\site-packages."""
        return sorted(os.listdir(self.path(windows_folder) / "Lib" / "site-packages"))

    def executable(self, workspace):
        """run() for checks: yt-dlp.exe of `workspace` with some arguments."""

        def run(arguments, env):
            process = wine.run([f"{workspace}\\yt-dlp.exe", *arguments], env, check=False, quiet=True,
                               timeout=CHECK_LIMIT)
            return process.returncode, process.stdout

        return run

    def start(self, program, windows_folder, env):
        """The program copied into a folder (made when missing) and started there with a console of
        its own, as a double-click starts it; returns its status, its output's recorder and its output."""
        work = self.path(windows_folder)
        work.mkdir(parents=True, exist_ok=True)
        shutil.copyfile(program, work / program.name)
        output = steps.Recorder(end=CLOSE_PROMPT.encode())  # the build's end: the program's own wait
        status = wine.run_with_console([program.name], env, work, output, answers=WAITS, timeout=RUN_LIMIT)
        output.finish()
        return status, output, wine.decoded(bytes(output.data))

    def build_env(self, **more):
        stage, windows_path = self.stage, wine.windows_path
        return {**self.env, "HTTPS_PROXY": stage.proxy.url, "SSL_CERT_FILE": windows_path(stage.proxy.bundle),
                "PIP_CERT": windows_path(stage.index_authorities),
                "PIP_CACHE_DIR": windows_path(stage.cache / "pip-windows"), **tree.upx_named(), **more}

    def runner(self, tree_dir, log, settings, **more):
        """run() for steps, with the build's working folders and its environment's `settings`; the
        packaging command finds UPX first on its PATH as in the build (Wine puts WINEPATH in front)."""
        # The variables the program sets for its build (where not set already).
        env = {**REPRODUCIBLE, **environment.with_settings(self.build_env(**more), settings)}

        def run(command, in_tree, packaging, extra):
            env_ = {**env, **extra, **({"WINEPATH": wine.windows_path(tree_dir.parent)} if packaging else {})}
            process = wine.run(command, env_, check=False, quiet=True, cwd=tree_dir if in_tree else tree_dir.parent)
            log.write(f"$ {' '.join(command)}\n{process.stdout}\n")
            return process.returncode, process.stdout

        return run


def discovery_through_the_registry(machine, program, result):
    python = machine.install(REGISTERED_ELSEWHERE, register=True)
    result.say(f"discovery: the interpreter registered in {REGISTERED_ELSEWHERE}, which no install root covers; "
               "pip given an empty index")
    empty = machine.folder / "empty-index"
    empty.mkdir()
    env = machine.build_env(PIP_NO_INDEX="1", PIP_FIND_LINKS=wine.windows_path(empty))
    status, _, text = machine.start(program, rf"C:\users\{machine.user}\descubrimiento", env)
    text = tooling.plain(text)
    failure = next((line for line in text.splitlines() if "Fallo en: " in line), None)
    result.say(f"discovery: status {status}; the failure screen says: {failure!r}")
    if status != 1 or failure is None or not failure.endswith(f"Fallo en: {python}"):
        result.problem(f"discovery through the registry: expected status 1 and 'Fallo en: {python}':\n{text[-3000:]}")


def build(stage):
    result = Result("windows")
    folder = stage.scratch / "windows"
    folder.mkdir()
    program = stage.program
    if not program.is_file():
        result.problem(f"{program} is missing: release/program.py makes it")
        return result
    route = Route(f"CPython {embedded_python.PYTHON_311.version}")
    result.routes.append(route)
    # The newer interpreter's machine beside everything the 3.11 one does: each waits on Wine and
    # pip as much as on the processor, so together they end sooner than one after the other.
    newer = threading.Thread(target=newer_interpreter, args=(stage, folder / "python-3.13", program, result))
    newer.start()
    machines = []
    try:
        machine = Machine(stage, folder, result)
        machines.append(machine)
        discovery_through_the_registry(machine, program, result)
        install = machine.install_folder()
        python = machine.install(install, register=True)
        before = machine.site_packages(install)
        _, settings = machine.probe(python)
        result.say(f"the interpreter in {install}, registered, not on PATH; its build environment "
                   f"{settings['PYTHONUSERBASE']}")
        wheel_fault(machine, program, settings, result)
        # By hand, in a machine of its own: its interpreter and its environment at the build's paths
        # (pip writes those into the console-script launchers whose hashes PyInstaller collects).
        machines.append(Machine(stage, folder / "by-hand", result, machine.pristine))
        workspace = rf"C:\users\{machine.user}\yt-dlp"
        with contextlib.ExitStack() as later:
            if real_build(machine, machines[-1], program, workspace, python, settings, result, route, later):
                second_build(machine, program, workspace, python, settings, result, route)
                upx_fault(machine, program, result)
        unchanged(machine, install, before, result)
    except Exception as failure:  # noqa: BLE001 - the 3.13 half goes on; this one fails with the reason
        result.problem(f"stopped: {failure!r}\n{traceback.format_exc()}")
    finally:
        newer.join()
        for each in machines:
            wine.stop(each.env)
    return result


def unchanged(machine, install, before, result, tag=""):
    """The interpreter's own site-packages, as it was before the builds."""
    after = machine.site_packages(install)
    result.say(f"{tag}{install}\\Lib\\site-packages: "
               + ("the same before and after" if after == before else f"CHANGED: {before} -> {after}"))
    result.check(after == before, f"{tag}the builds changed {install}\\Lib\\site-packages: {before} -> {after}")


def wheel_fault(machine, program, settings, result):
    """yt-dlp's own PyInstaller wheel changed in one byte, through the program in a fresh folder
    holding an earlier yt-dlp.exe: the build stops, says the wheel does not match its lock, and
    leaves the environment half made (pip.txt installed, no mark of completion)."""
    stage = machine.stage
    windows_folder = rf"C:\users\{machine.user}\fallo-rueda"
    work = machine.path(windows_folder)
    faults.prepare(work)
    changed = stage.changed_wheel
    url, (_, digest) = stage.wheel_fault
    env = machine.build_env(HTTPS_PROXY=changed.url, SSL_CERT_FILE=wine.windows_path(changed.bundle))
    status, output, text = machine.start(program, windows_folder, env)
    (machine.folder / "wheel-fault.log").write_text(text)
    lock = locks.PLATFORMS[PLATFORM][0]
    expected = SPANISH.wheel_mismatch.format(url=url, lock=lock, digest=digest)
    result.fault(faults.stopping_fault("windows", faults.WHEEL_FAULT, status, output.seconds, text, work,
                                       own=(program.name,), expected=expected))
    made = machine.path(settings["PYTHONUSERBASE"])
    held = sorted(p.name for p in made.iterdir()) if made.is_dir() else []
    result.say(f"the wheel fault left {settings['PYTHONUSERBASE']} holding {', '.join(held) or 'nothing'}")
    result.check(bool(held) and environment.MARKER not in held,
                 f"the wheel fault left no half-made environment in {settings['PYTHONUSERBASE']}: {held}")


def upx_fault(machine, program, result):
    """The changed UPX archive, through the program in a fresh folder holding an earlier
    yt-dlp.exe, with the environment the build made: a build without UPX, never an upx.exe."""
    stage = machine.stage
    windows_folder = rf"C:\users\{machine.user}\fallo-upx"
    work = machine.path(windows_folder)
    faults.prepare(work)
    changed = stage.changed_upx
    env = machine.build_env(HTTPS_PROXY=changed.url, SSL_CERT_FILE=wine.windows_path(changed.bundle))
    with faults.Watch(work) as watch:
        status, output, text = machine.start(program, windows_folder, env)
    (machine.folder / "upx-fault.log").write_text(text)
    result.fault(faults.upx_fault("windows", status, output.seconds, text, work, watch, 0, "EXCELENTE", new_exe=True,
                                  own=(program.name, build_folder.RECORD)))


def real_build(machine, hand, program, workspace, python, settings, result, route, later):
    """The build, and the recipe by hand on the machine `hand`; returns whether the build ended as it
    should. Its yt-dlp.exe must be packed by UPX, with no word of building without it. The recipe by
    hand may go on after the build (it takes longer under Wine): it is waited for, and its executable
    compared with the build's first one, when the ExitStack `later` closes."""
    stage, user = machine.stage, machine.user
    if hand.user != user:
        raise RuntimeError(f"the two prefixes' users differ: {user}, {hand.user}")
    install = machine.install_folder()
    second = hand.install(install, register=False)
    hand_folder = rf"C:\users\{user}\a-mano"
    tree_dir = tree.second_copy(hand.path(hand_folder))
    recipe = steps.Recipe(second, tree_dir, PLATFORM, SPANISH.update_hint, stage.commit)
    result.say(f"{program.name} double-clicked in the empty folder {workspace}; beside it, at the same time, the "
               f"recipe by hand in a second copy of the tree in {hand_folder}, with a second copy of the interpreter "
               "and of its environment at the same paths in a second prefix")
    first = first_copy(machine)

    def compared():
        result.by_hand = by_hand.timing
        result.say(f"by hand: {result.by_hand}")
        result.say(f"by hand, PyInstaller's lock fell back to the package index: "
                   f"{result.by_hand.pyinstaller_from_index}")
        if result.by_hand.failed:
            result.problem(f"by hand, the {result.by_hand.failed} step failed")
        result.check(bool(result.by_hand.pyinstaller_from_index),
                     "by hand, yt-dlp's own PyInstaller wheel was fetched: the program's fallback is not what ran")
        if first.is_file():
            result.compare(first, tree_dir / "dist" / first.name)

    later.callback(compared)  # after the two below: the recipe waited for, its log closed
    log = later.enter_context(open(machine.folder / "by-hand.log", "w"))
    by_hand = later.enter_context(steps.Beside(steps.run_all, recipe, hand.runner(
        tree_dir, log, settings, PIP_CACHE_DIR=wine.windows_path(stage.cache / "pip-windows-by-hand")), result.say))
    run = machine.start(program, workspace, machine.build_env())
    result.main_seconds = run[1].seconds
    (machine.folder / "main.log").write_text(run[2])
    exe = finished(machine, program, workspace, run, python, settings, result, route, route.first, "made")
    if exe is None:
        return False
    first.parent.mkdir()
    shutil.copyfile(exe, first)
    result.version = route.version
    result.record = (exe.parent / build_folder.RECORD).read_text(encoding="utf-8")
    if route.how != PACKED:
        result.problem(f"{route.interpreter}: expected yt-dlp.exe {PACKED}, with no line of building without UPX "
                       f"and no rebuild; got {route.how!r}")
    listing = wine.run([python, "-m", "pip", "list", "--user", "--format=freeze", "--disable-pip-version-check"],
                       environment.with_settings(machine.env, settings), quiet=True).stdout.split()
    result.pyinstaller = dict(p.split("==") for p in listing if "==" in p).get("pyinstaller")
    result.say(f"the environment holds: {' '.join(listing)}")
    _, locked = tree.pyinstaller_wheel_url()
    result.check(result.pyinstaller == locked,
                 f"PyInstaller {result.pyinstaller} in the environment, the lock's {locked}")
    return True


def first_copy(machine):
    """Where a machine's first yt-dlp.exe is kept, for what comes after it to be compared with."""
    return machine.folder / "first" / build_folder.RESULT


def second_build(machine, program, workspace, python, settings, result, route, tag=""):
    """The program double-clicked once more in the same folder: the environment reused, the same bytes."""
    result.say(f"{tag}{program.name} double-clicked once more in {workspace}")
    run = machine.start(program, workspace, machine.build_env(**stage_cache(machine)))
    (machine.folder / "second.log").write_text(run[2])
    exe = finished(machine, program, workspace, run, python, settings, result, Route(route.interpreter), route.second,
                   "reused", tag)
    if exe is not None:
        same_bytes(exe, first_copy(machine), "the first build's", result, tag)


def stage_cache(machine):
    """pip's cache for the machine's builds: one of its own for the newer interpreter's, whose runs
    have another Windows pip going at the same time (two under Wine share one very slowly)."""
    if machine.runtime is embedded_python.PYTHON_311:
        return {}
    return {"PIP_CACHE_DIR": wine.windows_path(machine.stage.cache / f"pip-windows-{machine.runtime.series}")}


def newer_interpreter(stage, folder, program, result):
    """The program, twice, on a machine of its own (3.11 is not there) whose interpreter is CPython
    3.13, laid out and registered as the Python Install Manager does, not on PATH, in a workspace
    whose path has spaces and letters outside ASCII: status 0 and a yt-dlp.exe that starts, by
    whichever route; the second time the environment reused."""
    runtime = embedded_python.PYTHON_313
    route = Route(f"CPython {runtime.version}")
    result.routes.append(route)
    tag = f"{route.interpreter}: "
    machine = None
    try:
        machine = Machine(stage, folder, result, runtime=runtime, layout=MANAGER)
        install = machine.install_folder()
        python = machine.install(install, register=True)
        before = machine.site_packages(install)
        _, settings = machine.probe(python)
        workspace = rf"C:\users\{machine.user}\{NEWER_WORKSPACE}"
        result.say(f"{tag}{program.name} double-clicked in the empty folder {workspace}, on a machine of its own; "
                   f"the interpreter in {install} (without {', '.join(runtime.left_out)}), laid out and registered "
                   f"as {MANAGER} does, not on PATH; its build environment {settings['PYTHONUSERBASE']}")
        run = machine.start(program, workspace, machine.build_env(**stage_cache(machine)))
        (folder / "main.log").write_text(run[2])
        exe = finished(machine, program, workspace, run, python, settings, result, route, route.first, "made", tag)
        if exe is not None:
            first_copy(machine).parent.mkdir()
            shutil.copyfile(exe, first_copy(machine))
            second_build(machine, program, workspace, python, settings, result, route, tag)
        unchanged(machine, install, before, result, tag)
    except Exception as failure:  # noqa: BLE001 - the 3.11 half goes on; this one fails with the reason
        result.problem(f"{tag}stopped: {failure!r}\n{traceback.format_exc()}")
    finally:
        if machine:
            wine.stop(machine.env)


def finished(machine, program, workspace, run, python, settings, result, route, this, environment_, tag=""):
    """What every build through the program must end with: status 0, the EXCELENTE report, nothing
    beside the program but yt-dlp.exe and its record, the lines on what it carries (which must be
    what its -v header says, the lock's libraries and the archive's commit), its commit, version and
    SHA-256, its environment `environment_` ("made" or "reused") and PyInstaller from the package
    index; and it answers --version with the tree's version (and, the first time, -U with the hint).
    Fills `route` and `this` (its report.Run); returns the executable, or None when the build failed
    (the phase it stopped at is then run again, visibly)."""
    stage = machine.stage
    status, output, text = run
    this.seconds = output.seconds
    work = machine.path(workspace)
    left = sorted(p.name for p in work.iterdir())
    plain = tooling.plain(text)
    said = checks.environment_run(plain, SPANISH, this)
    result.say(f"{tag}status {status}; the build's end shown after {output.seconds:.0f} s; last screen "
               f"{steps.last_screen(text)!r}; the folder holds {', '.join(left)}; {said!r}")
    report = [line.strip() for line in plain.splitlines() if "EXCELENTE" in line or "Motor:" in line]
    result.say(f"{tag}report: " + " | ".join(report))
    result.check(this.environment == environment_, f"{tag}expected the build environment {environment_}, "
                                                   f"the program said {said!r}")
    _, version = tree.pyinstaller_wheel_url()
    fallback = SPANISH.pyinstaller_from_index.split("{error}")[0].format(version=version)
    result.check(fallback in plain, f"{tag}the program did not say {fallback!r}")
    expected = sorted([program.name, build_folder.RESULT, build_folder.RECORD])
    if status != 0 or left != expected or not any("EXCELENTE" in r for r in report):
        result.problem(f"{tag}expected status 0, the EXCELENTE report and only {', '.join(expected[1:])} beside "
                       f"the program:\n{plain[-3000:]}")
        if status != 0:
            recipe = steps.Recipe(python, work / "yt-dlp-master", PLATFORM, SPANISH.update_hint, stage.commit)
            with open(machine.folder / "rerun.log", "w") as log:
                steps.rerun_failed(recipe, text, machine.runner(recipe.tree, log, settings), result.say)
        return None
    exe = work / build_folder.RESULT
    data = exe.read_bytes()
    route.size, route.sha256, route.packed = len(data), hashlib.sha256(data).hexdigest(), faults.upx_packed(exe)
    result.say(f"{tag}{exe.name}: {route.packed}")
    route.how = route_taken(plain, machine.runtime, exe, result, tag)
    started = time.monotonic()
    answer = wine.run([f"{workspace}\\yt-dlp.exe", "--version"], machine.env, check=False, quiet=True)
    route.check_seconds = time.monotonic() - started
    route.version = next(iter(answer.stdout.strip().splitlines()), "")
    route.started = answer.returncode == 0 and answer.stdout.strip() == stage.version
    result.say(f"{tag}yt-dlp.exe --version: {answer.stdout.strip()} (status {answer.returncode}, "
               f"{route.check_seconds:.1f} s)")
    result.say(f"{tag}route: {route.outcome}")
    result.check(route.started, f"{tag}yt-dlp.exe --version gave {answer.stdout!r}, expected {stage.version}")
    checks.header(machine.executable(workspace), machine.env, PLATFORM, result, route, tag)
    for line in (SPANISH.libraries.format(libraries=route.libraries), SPANISH.record.format(path=build_folder.RECORD),
                 SPANISH.commit.format(commit=stage.commit), SPANISH.version.format(version=stage.version),
                 SPANISH.digest.format(digest=route.sha256)):
        result.check(line in plain, f"{tag}the program did not print {line!r}")
    if this.environment == "made":
        checks.update(machine.executable(workspace), lambda host: {
            **machine.env, "HTTPS_PROXY": host.url, "SSL_CERT_FILE": wine.windows_path(host.bundle)},
            exe, stage, SPANISH.update_hint, result, route, tag)
    return exe


def route_taken(plain, runtime, exe, result, tag):
    """How a build got to its executable (at `exe`), told by the lines the program showed (`plain`) and
    by what UPX packed; what does not add up is a problem."""
    tls = SPANISH.without_upx_tls.format(dll=f"python{runtime.digits}.dll") in plain
    rebuilt = SPANISH.rebuilding in plain
    try:
        packed, _ = faults.packed_binaries(exe)
    except archive_differences.UNREADABLE as failure:
        result.problem(f"{tag}yt-dlp.exe is not a PyInstaller archive: {failure}")
        return None
    if SPANISH.without_upx_asked in plain:
        result.problem(f"{tag}the program said {SPANISH.without_upx_asked!r}, which nobody asked for")
    if tls and rebuilt:
        result.problem(f"{tag}the program built without UPX from the start and still rebuilt")
    elif (tls or rebuilt) == bool(packed):
        result.problem(f"{tag}UPX packed {packed} binaries, yet the program "
                       + ("built without UPX" if packed else "never said it built without UPX"))
    if tls:
        return "built without UPX from the start (the TLS line was shown)"
    if rebuilt:
        return "rebuilt without UPX (the rebuilding line was shown)"
    return PACKED if packed else None
