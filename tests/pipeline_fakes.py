"""A toolchain that does nothing, for running the whole build on any host.

- ``source_archive`` writes a source archive whose packaging script writes a "yt-dlp.exe"
  of a chosen size (or none): zero bytes, or a fake program (programs.py) padded to that size.
- ``fake_interpreter`` writes an executable "python.exe" that answers "--version", records
  and accepts (or fails) the pip command, and hands everything else to the real interpreter;
  every start is logged with its arguments, working folder and "PATH".
- ``child_toolchain`` (``child_setup`` gives the source) puts a like toolchain into a child about
  to run the build: the standard modules' attributes substituted, no fake program started.
- ``Downloads`` stands in for ``urllib.request.urlretrieve``, serving local files by URL path.
  The stand-in UPX archive is not the official one: each toolchain names its digest in
  ``TQ_VELMOR_UPX_SHA256`` (``UPX_DIGEST``), so that the build takes it.
- The screens a run should draw, built from the colours and texts of the console design.
"""

import hashlib
import io
import json
import os
import shutil
import subprocess
import sys
import time
import types
import urllib.error
import urllib.parse
import urllib.request
import zipfile

import pytest

from programs import CLEAR_COMMAND, patient_timeout, program  # noqa: F401  (CLEAR_COMMAND for the tests)

SOURCE_PATH = "/yt-dlp/yt-dlp/archive/refs/heads/master.zip"
UPX_PATH = "/upx/upx/releases/download/v4.2.2/upx-4.2.2-win64.zip"

# What the console stand-in writes for "clear"/"cls": the screens can be split on it.
CLEAR = "\x1b[H\x1b[2J"

ESC = "\x1b"
CYAN, PURPLE, GREEN = ESC + "[38;5;51m", ESC + "[38;5;141m", ESC + "[38;5;82m"
GOLD, RED, BOLD, RESET = ESC + "[38;5;220m", ESC + "[38;5;196m", ESC + "[1m", ESC + "[0m"

PHASES = [
    ("Cargando motor UPX...", 10),
    ("Descargando código oficial...", 25),
    ("Instalando dependencias...", 45),
    ("Optimizando (Lazy Extractors)...", 60),
    ("Compilando Binario Oficial...", 80),
    ("Finalizando...", 95),
]
DEPS = ["mutagen", "pycryptodomex", "websockets", "brotli", "certifi", "requests", "pyinstaller"]
PIP = ["-m", "pip", "install", *DEPS, "--disable-pip-version-check"]
LAZY = ["devscripts/make_lazy_extractors.py"]
PACKAGING = ["-m", "bundle.pyinstaller"]
# Names the one UPX archive setup_upx accepts instead of the official release's.
UPX_DIGEST = "TQ_VELMOR_UPX_SHA256"
# What the tq-velmor command puts into the build's environment unless the user set it.
REPRODUCIBLE = {"PYTHONHASHSEED": "0", "SOURCE_DATE_EPOCH": "1704067200"}


def screen(status, progress):
    """One progress screen as the console receives it after clearing."""
    rule = PURPLE + "=" * 63 + RESET
    title = CYAN + "    >> ONE CLICK YT-DLP BUILDER - ZELK DIGITAL - KORVANE << " + RESET
    cells = 35 * progress // 100
    bar = (GREEN + "█" + RESET) * cells + (PURPLE + "░" + RESET) * (35 - cells)
    return (f"\n{rule}\n{title}\n"
            f"{rule}\n\n"
            f" {BOLD}{GOLD}[ FASE ]:{RESET} {CYAN}{status}{RESET}\n\n"
            f" {bar} {BOLD}{progress}%{RESET}\n\n")


def under(note):
    """The line the tq-velmor command shows under each screen of a build without UPX, for `note`."""
    return f" {GOLD}{note}{RESET}\n\n" if note else ""


def progress_screens(upto, note=None, dependencies=None, ready=None, installing=None):
    """Every clear and screen of a run up to and including the phase at `upto` %. The tq-velmor
    command shows under each `note` (why the build goes without UPX), under the 45 % screen
    `installing` (what goes into a new environment), from the 60 % screen on `dependencies` (what
    the packages are), and under the 60 % screen `ready` (where they are)."""
    parts = []
    for status, progress in PHASES:
        if progress <= upto:
            parts.append(CLEAR + screen(status, progress) + under(note))
            parts.append(under(dependencies) if progress >= 60 else "")
            parts.append(f" {ready}\n\n" if ready and progress == 60 else "")
            parts.append(f" {installing}\n\n" if installing and progress == 45 else "")
    return "".join(parts)


def failure_line(text):
    return f"\n{RED}ERROR CRITICO:{RESET} {text}\n"


MISSING_EXE = f"\n {RED}[ERROR] No se generó el EXE.{RESET}\n"


def report(size_text, green, engine="python.exe", note=None, dependencies=None):
    """The 100 % screen and the four report lines (with progress_screens' notes)."""
    col = GREEN if green else RED
    verdict = (f"\n  {GREEN}✔  EXCELENTE:{RESET} Apto para GitHub (<25MB).\n" if green
               else f"\n  {RED}⚠  ADVERTENCIA:{RESET} El archivo supera los 25MB.\n")
    return (CLEAR + screen(f"¡HECHO! Peso: {col}{size_text} MB{RESET}", 100) + under(note) + under(dependencies)
            + f"\n  {CYAN}Estado:{RESET}    Compilación Oficial Exitosa\n"
            + f"  {GOLD}Motor:{RESET}     {engine}\n"
            + f"  {GOLD}Tamaño:{RESET}    {col}{size_text} MB{RESET}\n"
            + verdict)


PACKAGING_SCRIPT = '''\
import json
import os
import sys

EXE_SIZE = {size!r}
LOG = {log!r}
PROGRAM = {program!r}
TESTS = {tests!r}


def write_exe(final_file):
    if PROGRAM is None:
        with open(final_file, "wb") as exe:
            exe.truncate(EXE_SIZE)
        return
    sys.path.insert(0, TESTS)
    import programs

    programs.program(final_file, PROGRAM)
    if os.path.exists(final_file + ".py"):  # Windows: the script goes where the build moves the stub
        os.replace(final_file + ".py", os.path.join("..", "yt-dlp.exe.py"))
    with open(final_file, "ab") as exe:  # a stub's trailing bytes, a script's last comment
        padding = EXE_SIZE - exe.tell()
        exe.write(b"\\0" * padding if programs.WINDOWS else b"\\n" + b"#" * (padding - 1))


def set_version_info(exe, version_text):
    with open(LOG, "a", encoding="utf-8") as log:
        log.write(json.dumps({{"set_version_info": exe}}) + "\\n")


def main():
    if not os.path.exists("yt_dlp/extractor/lazy_extractors.py"):
        raise SystemExit("lazy extractors missing")
    if os.path.exists("yt_dlp/version.py"):  # what the executable would say of itself
        with open("yt_dlp/version.py", encoding="utf-8") as text, open(LOG, "a", encoding="utf-8") as log:
            log.write(json.dumps({{"version.py": text.read()}}) + "\\n")
    final_file = os.path.join("dist", "yt-dlp.exe")
    version = "2024.01.01"
    os.makedirs("dist", exist_ok=True)
    if EXE_SIZE is not None:
        write_exe(final_file)
    set_version_info(final_file, version)


if __name__ == "__main__":
    main()
'''

LAZY_SCRIPT = '''\
import os

os.makedirs("yt_dlp/extractor", exist_ok=True)
with open("yt_dlp/extractor/lazy_extractors.py", "w") as f:
    f.write("# generated\\n")
'''


TESTS = os.path.dirname(os.path.abspath(__file__))


def source_archive(path, exe_size, log, program=None, tree=None, comment=b""):
    """A source archive; its packaging run writes `exe_size` bytes (None: no executable), a fake
    program running the Python source `program` when given. `tree` adds files to the tree ({path
    inside it: text or bytes}); `comment` is the archive's, where the code host names its commit."""
    script = PACKAGING_SCRIPT.format(size=exe_size, log=str(log), program=program, tests=TESTS)
    with zipfile.ZipFile(path, "w") as z:
        z.writestr("yt-dlp-master/bundle/__init__.py", "")
        z.writestr("yt-dlp-master/bundle/pyinstaller.py", script)
        z.writestr("yt-dlp-master/devscripts/make_lazy_extractors.py", LAZY_SCRIPT)
        z.writestr("yt-dlp-master/yt_dlp/__init__.py", "")
        for name, data in (tree or {}).items():
            z.writestr(f"yt-dlp-master/{name}", data)
        z.comment = comment
    return path


COMMIT = "81ecd58b1394793e6da9998cc19fdb45657f1685"
VERSION_PY = ("__version__ = '2026.08.19'\n\nRELEASE_GIT_HEAD = '594bd50c2c78ac432f81600d309fdc4e0a92d82c'\n\n"
              "VARIANT = None\n\nUPDATE_HINT = None\n\nCHANNEL = 'stable'\n")


def lock(*pins):
    """A lock of `pins` (name==version, or a line of its own), each with a hash."""
    return "".join(f"{pin} --hash=sha256:{hashlib.sha256(pin.encode()).hexdigest()}\n" for pin in pins)


# A tree's locks for every platform the build knows, as (name, text).
LOCKS = {
    "pip.txt": lock("pip==26.2.1"),
    "pyinstaller.txt": lock("altgraph==0.17.5", "pyinstaller==6.22.0"),
    "win-x64-pyinstaller.txt": lock("altgraph==0.17.5", "pyinstaller==6.22.0"),
    "linux.txt": lock("mutagen==1.48.1", "yt-dlp-ejs==0.8.0"),
    "curl-cffi.txt": lock("curl-cffi==0.16.0", "yt-dlp-ejs==0.8.0"),
}


def locked_tree(locks=LOCKS, version=VERSION_PY):
    """The files of a tree with `locks` and a version.py."""
    return {**{f"bundle/requirements/{name}": text for name, text in locks.items()}, "yt_dlp/version.py": version}


def sha256(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


def upx_archive(path):
    with zipfile.ZipFile(path, "w") as z:
        z.writestr("upx-4.2.2-win64/README", "UPX")
        z.writestr("upx-4.2.2-win64/upx.exe", b"MZ stand-in packer")
    return path


# What the build's environment sets, logged with each command of the fake interpreters.
ENVIRONMENT = ("PYTHONUSERBASE", "PIP_USER", "PIP_IGNORE_INSTALLED", "PYTHONPATH")

INTERPRETER = '''\
import json, os, re, subprocess, sys

args = sys.argv[1:]
with open({log!r}, "a", encoding="utf-8") as log:
    log.write(json.dumps({{"args": args, "cwd": os.getcwd(), "PATH": os.environ.get("PATH"), "python": sys.argv[0],
                          "settings": {{name: os.environ.get(name) for name in {environment!r}}}}}) + "\\n")
# What its pip "installed" into the user base the build set, if any.
held = os.path.join(os.environ.get("PYTHONUSERBASE") or os.devnull, "installed.json")
if args == ["--version"]:
    print("Python 3.11.7")
elif args == ["-m", "pip", "--version"] and not {has_pip!r} and "site-packages" not in os.environ.get("PYTHONPATH", ""):
    sys.exit("No module named pip")
elif args[:3] == ["-m", "pip", "install"]:
    lock = os.path.basename(args[args.index("-r") + 1]) if "-r" in args else None
    status, stderr = {answers!r}.get(lock, ({pip_exit!r}, {pip_stderr!r}))
    if status == 0 and lock:  # each pinned line of the lock, as pip reports and lists it
        text = open(args[args.index("-r") + 1], encoding="utf-8").read()
        pinned = re.findall(r"^([\\w.-]+)==(\\S+).*?sha256:(\\w+)", text, re.M)
        if "--report" in args:
            with open(args[args.index("--report") + 1], "w") as report:
                json.dump({{"install": [{{"metadata": {{"name": name, "version": version}},
                                         "download_info": {{"archive_info": {{"hashes": {{"sha256": digest}}}}}}}}
                                        for name, version, digest in pinned]}}, report)
        if os.path.isdir(os.path.dirname(held)):
            listed = json.load(open(held)) if os.path.exists(held) else []
            json.dump(listed + [{{"name": name, "version": version}} for name, version, _ in pinned], open(held, "w"))
    sys.stderr.write(stderr)
    sys.exit(status)
elif args[:3] == ["-m", "pip", "list"]:
    print(open(held).read() if os.path.exists(held) else "[]")
else:
    sys.exit(subprocess.call([{real!r}, *args]))
'''


def fake_interpreter(folder, log, pip_exit=0, pip_stderr="", answers=None, has_pip=True):
    """A "python.exe" in `folder` that runs (see programs.py); returns its path as text. Its pip
    installs end with `pip_exit` and `pip_stderr`, or, for `-r LOCK`, with what `answers` maps the
    lock's name to: (status, error output). Without `has_pip`, it finds a pip only in a site-packages
    on PYTHONPATH."""
    return program(os.path.join(folder, "python.exe"),
                   INTERPRETER.format(real=sys.executable, log=str(log), pip_exit=pip_exit, pip_stderr=pip_stderr,
                                      answers=answers or {}, environment=ENVIRONMENT, has_pip=has_pip))


def read_log(log):
    """The entries of a log as a list of dicts (empty when nothing was logged)."""
    if not os.path.exists(log):
        return []
    with open(log, encoding="utf-8") as f:
        return [json.loads(line) for line in f]


class Downloads:
    """urlretrieve serving local files by URL path; `fail` maps a path to the error to raise."""

    def __init__(self, served, fail=None):
        self.served = dict(served)
        self.fail = dict(fail or {})
        self.calls = []

    def urlretrieve(self, url, filename, *more):
        self.calls.append((url, filename, *more))
        parts = urllib.parse.urlsplit(url)
        if parts.path in self.fail:
            raise self.fail[parts.path]
        if parts.scheme != "https" or parts.path not in self.served:
            raise urllib.error.HTTPError(url, 404, "Not Found", None, None)
        shutil.copyfile(self.served[parts.path], filename)
        return filename, None

    def paths(self):
        return [(urllib.parse.urlsplit(url).path, rest) for url, *rest in self.calls]


def console_stand_in(commands):
    """os.system for the screens: record the command and write a clear sequence instead."""

    def system(command):
        commands.append(command)
        sys.stdout.write(CLEAR)
        return 0

    return system


class Pipeline:
    """A workspace (the current folder) and the module wired to the fake toolchain."""

    def __init__(self, tqv, tmp_path, monkeypatch, capsys):
        # Imported here: a child loading the module as "__main__" imports this file, and the
        # test setup would import the module first.
        from conftest import Proxy

        self.tqv, self.monkeypatch, self.capsys = tqv, monkeypatch, capsys
        self.workspace = str(tmp_path / "work")
        os.mkdir(self.workspace)
        monkeypatch.chdir(self.workspace)
        self.log = str(tmp_path / "log.jsonl")
        self.source = str(tmp_path / "master.zip")
        self.archive(1048576)
        self.python = fake_interpreter(str(tmp_path / "Python311"), self.log)
        self.path = os.pathsep.join([str(tmp_path / "bin"), "/usr/bin", "/bin"])
        monkeypatch.setenv("PATH", self.path)
        upx = upx_archive(str(tmp_path / "upx.zip"))
        monkeypatch.setenv(UPX_DIGEST, sha256(upx))
        self.downloads = Downloads({SOURCE_PATH: self.source, UPX_PATH: upx})
        self.clears, self.sleeps = [], []
        tqv.sys = Proxy(sys, executable=self.python)
        tqv.urllib = Proxy(urllib, request=Proxy(urllib.request, urlretrieve=self.downloads.urlretrieve))
        tqv.time = Proxy(time, sleep=self.sleeps.append)
        tqv.os = Proxy(os, system=console_stand_in(self.clears))
        self.stdin("")

    def archive(self, exe_size, tree=None, comment=b"", program=None):
        source_archive(self.source, exe_size, self.log, program, tree, comment)

    def stdin(self, text):
        self.monkeypatch.setattr(sys, "stdin", io.StringIO(text))

    def run(self):
        """main(), then its result and everything it wrote to the console."""
        result = self.tqv.main()
        return result, self.output()

    def output(self):
        return self.capsys.readouterr().out

    def seed(self, files):
        """Files ({relative name: bytes}) put in the workspace, with their folders."""
        for name, data in files.items():
            os.makedirs(os.path.dirname(name) or ".", exist_ok=True)
            with open(name, "wb") as f:
                f.write(data)

    def listing(self):
        return sorted(os.listdir(self.workspace))

    def commands(self):
        """(arguments, working folder, PATH) of every start of the fake interpreter."""
        return [(e["args"], e["cwd"], e["PATH"]) for e in read_log(self.log) if "args" in e]


@pytest.fixture
def pipeline(tqv, tmp_path, monkeypatch, capsys, registry):
    return Pipeline(tqv, tmp_path, monkeypatch, capsys)


def child_setup(folder, exe_size, fail=None, program=None, tree=None, comment=b""):
    """Source for a child about to run the build: `child_toolchain` put in, with `downloads`
    and `sleeps` bound (and `os`, `sys`); `fail` is the source of its mapping of failed downloads."""
    return (f"import os, sys\nsys.path.insert(0, {TESTS!r})\nimport pipeline_fakes\n"
            f"downloads, sleeps = pipeline_fakes.child_toolchain({str(folder)!r}, {exe_size!r}, {fail}, "
            f"{program!r}, {tree!r}, {comment!r})\n")


def child_toolchain(folder, exe_size, fail=None, program=None, tree=None, comment=b""):
    """For a child about to run the build, on any host: the stand-ins put into the standard modules.

    No fake program is started: the interpreter "python.exe" in `folder` is an empty file, and
    ``subprocess.run`` hands its commands to the real interpreter, except the
    pip install, which is only logged. Every command of it is logged with its arguments, working
    folder and the REPRODUCIBLE variables of its environment. `fail` maps a download's URL path to
    the error it raises; `program`, what the yt-dlp.exe it makes runs (see source_archive).
    Returns (downloads, sleeps).
    """
    real_run, real_python = subprocess.run, sys.executable
    log = os.path.join(folder, "log.jsonl")
    python = os.path.join(folder, "Python311", "python.exe")
    os.makedirs(os.path.dirname(python), exist_ok=True)
    open(python, "wb").close()
    upx = upx_archive(os.path.join(folder, "upx.zip"))
    os.environ[UPX_DIGEST] = sha256(upx)
    downloads = Downloads({SOURCE_PATH: source_archive(os.path.join(folder, "master.zip"), exe_size, log, program,
                                                       tree, comment),
                           UPX_PATH: upx}, fail)

    def run(cmd, *args, **kwargs):
        if isinstance(cmd, list) and cmd[:1] == [python]:
            env = kwargs.get("env") or os.environ
            with open(log, "a", encoding="utf-8") as f:
                f.write(json.dumps({"args": cmd[1:], "cwd": kwargs.get("cwd") or os.getcwd(),
                                    "env": {name: env.get(name) for name in REPRODUCIBLE},
                                    "settings": {name: env.get(name) for name in ENVIRONMENT}}) + "\n")
            if cmd[1:4] == ["-m", "pip", "install"]:
                return subprocess.CompletedProcess(cmd, 0, None, "")
            cmd = [real_python, *cmd[1:]]
            kwargs["timeout"] = patient_timeout(kwargs.get("timeout"))
        return real_run(cmd, *args, **kwargs)

    subprocess.run = run
    urllib.request.urlretrieve = downloads.urlretrieve
    os.system = console_stand_in([])
    sys.executable = python
    # A registered copy, not the real `time` patched: subprocess sleeps while it waits for a child.
    sleeps = []
    sys.modules["time"] = types.ModuleType("time")
    vars(sys.modules["time"]).update(vars(time), sleep=sleeps.append)
    return downloads, sleeps
