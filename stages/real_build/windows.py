"""The real build on Windows, under Wine, as a user starts it: tq-velmor.exe double-clicked in an
empty folder, with the official CPython 3.11.9 installed the way python.org's per-user installer
lays it out and registers it, and not on PATH. The frozen program skips itself, discovery finds
that interpreter, and the real Windows pip and PyInstaller (with UPX) make yt-dlp.exe, packed by
UPX, which must start.

Before that, a short run shows discovery through the real registry: the interpreter registered
in a folder no install root covers, and pip made to fail at once (an empty local index): the
failure screen must name that interpreter.

After it (beside the changed UPX archive's run), the program once more on a machine of its own
whose interpreter is the official CPython 3.13.2, installed and registered the same way, in a
folder whose path has spaces and letters outside ASCII. Its python313.dll keeps the thread state
in implicit TLS, which a DLL packed by UPX cannot start with: the program must build without UPX
(from the start, or on a second build) and leave a yt-dlp.exe that starts. The summary tells
each interpreter's route.
"""

import hashlib
import shutil
import threading
import time
import traceback

from tq_velmor_host.command import REPRODUCIBLE, SPANISH
from tq_velmor_host.program import CLOSE_PROMPT
from wine_runtime import embedded_python, wine

from .. import archive_differences
from . import faults, steps, tree
from .report import Result, Route

# The waits of a run: each is answered with Enter once shown, as a user at the window would.
WAITS = [CLOSE_PROMPT.encode(), b"ERROR CRITICO:", b"No se gener"]
REGISTERED_ELSEWHERE = r"C:\Herramientas\Python311"
RUN_LIMIT = 40 * 60  # a build that has not ended by then never will
# Where the second interpreter's run builds, below the user's folder: spaces, and letters outside
# ASCII (not below Desktop, Documents or Downloads: Wine links those to the Linux home folder).
NEWER_WORKSPACE = r"José María\Descargas\yt dlp"
PACKED = "packed with UPX"


class Machine:
    """A fresh Wine prefix and the checked interpreter (`runtime`), ready to be installed anywhere
    in it (the one `pristine` names, when given: another machine's)."""

    def __init__(self, stage, folder, result, pristine=None, runtime=embedded_python.PYTHON_311):
        self.stage, self.folder, self.runtime = stage, folder, runtime
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
        """Where python.org's per-user installer puts the interpreter."""
        return rf"C:\users\{self.user}\AppData\Local\Programs\Python\Python{self.runtime.digits}"

    def install(self, windows_folder, register):
        """The interpreter copied to `windows_folder`, registered as python.org's installer does
        when `register`; returns its python.exe."""
        shutil.copytree(self.pristine, self.path(windows_folder))
        python = f"{windows_folder}\\python.exe"
        if register:
            self.register(windows_folder)
        # One start before the build's: discovery gives each candidate 5 seconds.
        wine.run([python, "--version"], self.env, quiet=True)
        return python

    def register(self, windows_folder):
        """The keys python.org's per-user installer writes (earlier ones replaced)."""
        series = self.runtime.series
        key = rf"HKEY_CURRENT_USER\Software\Python\PythonCore\{series}"
        keys = {
            key: {"DisplayName": f"Python {series} (64-bit)", "SupportUrl": "https://www.python.org/",
                  "Version": self.runtime.version, "SysVersion": series, "SysArchitecture": "64bit"},
            key + r"\InstallPath": {"@": windows_folder + "\\", "ExecutablePath": windows_folder + r"\python.exe",
                                    "WindowedExecutablePath": windows_folder + r"\pythonw.exe"},
        }

        def quoted(text):
            return '"' + text.replace("\\", "\\\\").replace('"', '\\"') + '"'

        lines = ["Windows Registry Editor Version 5.00", "", f"[-{key}]"]
        for name, values in keys.items():
            lines += ["", f"[{name}]"]
            lines += [f"{'@' if value == '@' else quoted(value)}={quoted(data)}" for value, data in values.items()]
        file = self.folder / "python.reg"
        file.write_bytes(("\r\n".join(lines) + "\r\n").encode("utf-16"))  # regedit's own format
        wine.run(["reg", "import", wine.windows_path(file)], self.env, quiet=True)

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
                "PIP_CONSTRAINT": windows_path(stage.constraints), "PIP_CERT": windows_path(stage.index_authorities),
                "PIP_CACHE_DIR": windows_path(stage.cache / "pip-windows"), **tree.upx_named(), **more}

    def runner(self, tree_dir, log):
        """run() for steps, with the build's working folders; the packaging command finds UPX
        first on its PATH as in the build (Wine puts WINEPATH in front)."""

        # pip's cache of its own: two Windows pips at once under Wine share one very slowly. The
        # variables the program sets for its build (where not set already).
        env = {**REPRODUCIBLE,
               **self.build_env(PIP_CACHE_DIR=wine.windows_path(self.stage.cache / "pip-windows-by-hand"))}

        def run(command, in_tree, packaging):
            env_ = {**env, **({"WINEPATH": wine.windows_path(tree_dir.parent)} if packaging else {})}
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
    text = steps.plain(text)
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
    machine = Machine(stage, folder, result)
    machines = [machine]
    try:
        discovery_through_the_registry(machine, program, result)
        # By hand, in a machine of its own: its interpreter at the build's path (pip writes that
        # path into the console-script launchers whose hashes PyInstaller collects).
        machines.append(Machine(stage, folder / "by-hand", result, machine.pristine))
        built = real_build(machine, machines[-1], program, result)
        # The newer interpreter's run beside the changed UPX archive's: each waits on Wine and
        # pip as much as on the processor, so together they end sooner than one after the other.
        newer = threading.Thread(target=newer_interpreter, args=(stage, folder / "python-3.13", program, result))
        newer.start()
        try:
            if built:
                upx_fault(machine, program, result)
        finally:
            newer.join()
    finally:
        for each in machines:
            wine.stop(each.env)
    return result


def upx_fault(machine, program, result):
    """The changed UPX archive, through the program in a fresh folder holding an earlier
    yt-dlp.exe, with the interpreter the build prepared: a build without UPX, never an upx.exe."""
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
                                  own=(program.name,)))


def real_build(machine, hand, program, result):
    """The build, and the run by hand on the machine `hand`; returns whether the build ended as
    it should (so that its interpreter is ready for more runs). Its yt-dlp.exe must be packed by
    UPX, with no word of building without it."""
    stage, user = machine.stage, machine.user
    if hand.user != user:
        raise RuntimeError(f"the two prefixes' users differ: {user}, {hand.user}")
    route = Route(f"CPython {machine.runtime.version}")
    result.routes.append(route)
    install = machine.install_folder()
    python = machine.install(install, register=True)
    second = hand.install(install, register=False)
    hand_folder = rf"C:\users\{user}\a-mano"
    tree_dir = tree.second_copy(hand.path(hand_folder))
    workspace = rf"C:\users\{user}\yt-dlp"
    result.say(f"{program.name} double-clicked in the empty folder {workspace}; the interpreter in {install}, "
               "registered, not on PATH; beside it, at the same time, the three commands by hand in a second "
               f"copy of the tree in {hand_folder}, with a second copy of the interpreter at the same path in a "
               "second prefix")
    with open(machine.folder / "by-hand.log", "w") as log, steps.Beside(
            steps.run_all, second, tree_dir, hand.runner(tree_dir, log), result.say) as by_hand:
        status, output, text = machine.start(program, workspace, machine.build_env())
    result.by_hand, result.main_seconds = by_hand.timing, output.seconds
    (machine.folder / "main.log").write_text(text)
    result.say(f"by hand: {result.by_hand}")
    if result.by_hand.failed:
        result.problem(f"by hand, the {result.by_hand.failed} step failed")
    exe = finished(machine, program, workspace, (status, output, text), python, result, route)
    if exe is None:
        return False
    result.compare(exe, tree_dir / "dist" / exe.name)
    result.version = route.version
    if route.how != PACKED:
        result.problem(f"{route.interpreter}: expected yt-dlp.exe {PACKED}, with no line of building without UPX "
                       f"and no rebuild; got {route.how!r}")

    listing = wine.run([python, "-m", "pip", "list", "--format=freeze", "--disable-pip-version-check"],
                       machine.env, quiet=True).stdout.split()
    pinned = stage.pinned(listing)
    result.pyinstaller = dict(p.split("==") for p in pinned).get("pyinstaller")
    result.say(f"installed: {' '.join(pinned)}")
    return True


def newer_interpreter(stage, folder, program, result):
    """The program once more, on a machine of its own (3.11 is not there) whose interpreter is
    CPython 3.13, installed and registered as python.org's per-user installer does, not on PATH,
    in a workspace whose path has spaces and letters outside ASCII: status 0 and a yt-dlp.exe
    that starts, by whichever route."""
    runtime = embedded_python.PYTHON_313
    route = Route(f"CPython {runtime.version}")
    result.routes.append(route)
    tag = f"{route.interpreter}: "
    machine = None
    try:
        machine = Machine(stage, folder, result, runtime=runtime)
        install = machine.install_folder()
        python = machine.install(install, register=True)
        workspace = rf"C:\users\{machine.user}\{NEWER_WORKSPACE}"
        result.say(f"{tag}{program.name} double-clicked in the empty folder {workspace}, on a machine of its own; "
                   f"the interpreter in {install} (without {', '.join(runtime.left_out)}), registered, not on PATH")
        # pip's cache of its own: the changed UPX archive's run has a Windows pip going at the same time.
        env = machine.build_env(PIP_CACHE_DIR=wine.windows_path(stage.cache / f"pip-windows-{runtime.series}"))
        run = machine.start(program, workspace, env)
        (folder / "main.log").write_text(run[2])
        finished(machine, program, workspace, run, python, result, route, tag)
    except Exception as failure:  # noqa: BLE001 - the 3.11 half goes on; this one fails with the reason
        result.problem(f"{tag}stopped: {failure!r}\n{traceback.format_exc()}")
    finally:
        if machine:
            wine.stop(machine.env)


def finished(machine, program, workspace, run, python, result, route, tag=""):
    """What every build through the program must end with: status 0, the EXCELENTE report,
    nothing beside the program but yt-dlp.exe, whose SHA-256 and version the program printed,
    and which answers --version with the tree's version. Fills `route`; returns the executable,
    or None when the build failed (the step it stopped at is then run again, visibly)."""
    stage = machine.stage
    status, output, text = run
    route.seconds = output.seconds
    work = machine.path(workspace)
    left = sorted(p.name for p in work.iterdir())
    result.say(f"{tag}status {status}; the build's end shown after {output.seconds:.0f} s; last screen "
               f"{steps.last_screen(text)!r}; the folder holds {', '.join(left)}")
    plain = steps.plain(text)
    report = [line.strip() for line in plain.splitlines() if "EXCELENTE" in line or "Motor:" in line]
    result.say(f"{tag}report: " + " | ".join(report))
    if status != 0 or left != sorted([program.name, "yt-dlp.exe"]) or not any("EXCELENTE" in r for r in report):
        result.problem(f"{tag}expected status 0, the EXCELENTE report and only yt-dlp.exe beside the program:\n"
                       f"{plain[-3000:]}")
        if status != 0:
            with open(machine.folder / "rerun.log", "w") as log:
                steps.rerun_failed(python, text, machine.runner(work / "yt-dlp-master", log), result.say)
        return None
    exe = work / "yt-dlp.exe"
    data = exe.read_bytes()
    route.size, route.sha256, route.packed = len(data), hashlib.sha256(data).hexdigest(), faults.upx_packed(exe)
    result.say(f"{tag}{exe.name}: {route.packed}")
    for line in (SPANISH.digest.format(digest=route.sha256), SPANISH.version.format(version=stage.version)):
        if line not in plain:
            result.problem(f"{tag}the program did not print {line!r}")
    route.how = route_taken(plain, machine.runtime, exe, result, tag)
    started = time.monotonic()
    answer = wine.run([f"{workspace}\\yt-dlp.exe", "--version"], machine.env, check=False, quiet=True)
    route.check_seconds = time.monotonic() - started
    route.version = next(iter(answer.stdout.strip().splitlines()), "")
    route.started = answer.returncode == 0 and answer.stdout.strip() == stage.version
    result.say(f"{tag}yt-dlp.exe --version: {answer.stdout.strip()} (status {answer.returncode}, "
               f"{route.check_seconds:.1f} s)")
    result.say(f"{tag}route: {route.outcome}")
    if not route.started:
        result.problem(f"{tag}yt-dlp.exe --version gave {answer.stdout!r}, expected {stage.version}")
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
