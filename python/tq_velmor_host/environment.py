"""The build's own environment: the packages go into a user base of the build's (PYTHONUSERBASE with
PIP_USER), made for the interpreter that was found, in the user's cache folder (%LOCALAPPDATA% on
Windows, the XDG cache elsewhere). The interpreter's own site-packages and the user's own user site
stay as they were. One route for every interpreter: the embeddable CPython has no venv, and a
virtual environment sees no user site, so the one a virtual environment was made from runs the build.

One environment per interpreter; it holds the packages of one set of locks, and the next build
reuses it while they are unchanged. It is marked complete last, so that one an interrupted build
left half made is made anew.

The source's locks are installed as yt-dlp's own build installs them (pip install -U
--require-hashes -r LOCK), the environment's settings standing in for its fresh virtual
environment. The build goes on with the module's seven packages, as it always did, where the
source has no locks for the platform or pip cannot install them in this Python; a file that does
not match its hash stops the build instead.
"""

import hashlib
import http.client
import json
import os
import re
import shutil
import subprocess
import time
from dataclasses import dataclass, field
from pathlib import Path

from . import interpreter, locks
from .shown import shown

MARKER = "tq-velmor-environment.json"
HASH_MISMATCH = "DO NOT MATCH THE HASHES"  # pip's words for a file whose hash a lock does not list
# What would send pip's installs elsewhere, or stop them in a user base.
DROPPED = ("PYTHONNOUSERSITE", "PIP_TARGET", "PIP_PREFIX", "PIP_ROOT")


class Failure(Exception):
    """A build the environment stops: its text is the failure line."""


def cache_root():
    """Where the environments live."""
    if os.name == "nt":
        base = os.environ.get("LOCALAPPDATA") or os.path.join(os.path.expanduser("~"), "AppData", "Local")
    else:
        base = os.environ.get("XDG_CACHE_HOME") or os.path.join(os.path.expanduser("~"), ".cache")
    return os.path.join(base, "tq-velmor", "environments")


def _run(command, env, cwd=None):
    """(status, what it printed) of a command run quietly, its input closed; status None when it
    could not be started."""
    try:
        done = subprocess.run([str(part) for part in command], env=env, cwd=cwd, stdin=subprocess.DEVNULL,
                              stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, errors="replace")
    except OSError as error:
        return None, str(error)
    return done.returncode, done.stdout


def with_settings(env, settings):
    """`env` (a mapping) with `settings` applied: a value set, None removed."""
    env = dict(env)
    for name, value in settings.items():
        if value is None:
            env.pop(name, None)
        else:
            env[name] = value
    return env


def last_error(printed):
    """pip's last ERROR line in what it printed, or None."""
    errors = [line.strip() for line in printed.splitlines() if line.startswith("ERROR:")]
    return errors[-1] if errors else None


def version_of(python):
    """The interpreter's version, as its --version says it (3.11.9), or None."""
    status, printed = _run([python, "--version"], dict(os.environ))
    found = re.search(r"Python (\S+)", printed)
    return found[1] if status == 0 and found else None


def pip_version(python, env):
    """The version of the pip the interpreter runs with `env`, or None when it has none."""
    status, printed = _run([python, "-m", "pip", "--version"], env)
    found = re.match(r"pip (\d+)\.(\d+)", printed)
    return (int(found[1]), int(found[2])) if status == 0 and found else None


@dataclass
class Outcome:
    """What the environment holds, kept in its marker: the route ("locks" or "seven"), why the
    seven (a text's name and its fields), the locks installed, where each package came from."""
    key: str
    route: str = "seven"
    why: list = field(default_factory=list)
    locks: list = field(default_factory=list)
    sources: dict = field(default_factory=dict)  # canonical name -> [source, sha256 or None]
    pyinstaller_from_index: list = field(default_factory=list)  # [version, error] when it came so


def canonical(name):
    return re.sub(r"[-_.]+", "-", name).lower()


class Environment:
    """The environment of the interpreter `found` (a path), for one build."""

    def __init__(self, found, texts, say=print, stall=None):
        self.found, self.texts, self.say, self.stall = found, texts, say, stall
        # A virtual environment sees no user site: the interpreter it was made from runs the build.
        self.python = interpreter.venv_base(found) or found
        self.version = version_of(self.python) or "unknown"
        where = os.path.normcase(os.path.realpath(self.python)).encode("utf-8", "surrogateescape")
        self.folder = os.path.join(cache_root(), f"python-{self.version}-{hashlib.sha256(where).hexdigest()[:10]}")
        self.outcome, self.made, self.started = None, False, None
        self.listed = []  # packages(), once the build has ended well

    def settings(self):
        """The variables every command of the build runs with (None: removed)."""
        return {"PYTHONUSERBASE": self.folder, "PIP_USER": "1", "PIP_REQUIRE_VIRTUALENV": "0",
                # A user base of the build's own is not the system's packages, whatever the
                # interpreter's distributor marked.
                "PIP_BREAK_SYSTEM_PACKAGES": "1", **dict.fromkeys(DROPPED)}

    def _env(self, **more):
        return with_settings(os.environ, {**self.settings(), **more})

    # --- before the dependencies' phase -------------------------------------------------------------

    def prepare(self, repo):
        """Reuse the environment, or make it for the locks of the tree at `repo`; Failure stops the
        build. Afterwards the module's own pip finds everything installed, or (the seven, freshly)
        installs them here."""
        self.started = time.monotonic()
        found = self._locks(repo, *platform_of(self.python))
        key = found.digest() if isinstance(found, locks.Locks) else "seven"
        held = self._marker()
        if held is not None and held.key == key:
            self.outcome = held
            return
        self._fresh()
        self.made = True
        if not isinstance(found, locks.Locks):
            self.outcome = Outcome(key, why=found)
            self._borrow_pip()
            return
        self.say(f" {self.texts.installing.format(locks=', '.join(found.names), folder=shown(self.folder))}\n")
        try:
            self.outcome = self._install(found, key)
        except locks.Unreadable as error:
            self.outcome = Outcome(key, why=["lock_unreadable", {"lock": error.lock, "error": shown(error.error)}])
        except _NotInstallable as failure:
            self.outcome = Outcome(key, why=["lock_not_installable", {"lock": failure.lock, "line": failure.line}])
        if self.outcome.route == "locks":
            self._mark()
        else:
            self._fresh()  # the seven go into an empty user base
            self._borrow_pip()

    def _borrow_pip(self):
        """For the seven: a virtual environment's base without a pip of its own gets the one the
        virtual environment has, in the build environment, so that the module's pip step can run."""
        env = self._env(PIP_IGNORE_INSTALLED="1")
        if self.found == self.python or pip_version(self.python, env):
            return
        status, printed = _run([self.found, "-m", "pip", "--version"], dict(os.environ))
        version = re.match(r"pip (\S+)", printed)
        if status == 0 and version:
            _run([self.python, "-m", "pip", "install", "--no-deps", f"pip=={version[1]}"],
                 {**env, "PYTHONPATH": _purelib(self.found)})

    def _locks(self, repo, system, machine):
        found = locks.find(repo, system, machine)
        if found == "no locks":
            return ["no_locks", {}]
        if found == "no platform locks":
            return ["no_platform_locks", {"platform": f"{system}-{machine}"}]
        try:
            found.digest()
        except locks.Unreadable as error:
            return ["lock_unreadable", {"lock": error.lock, "error": shown(error.error)}]
        return found

    def _fresh(self):
        try:
            if os.path.lexists(self.folder):
                shutil.rmtree(self.folder)
            os.makedirs(self.folder)
        except OSError as error:
            raise Failure(self.texts.unwritable.format(folder=shown(self.folder), error=error.strerror or error))

    def _marker(self):
        try:
            with open(os.path.join(self.folder, MARKER), encoding="utf-8") as f:
                return Outcome(**json.load(f))
        except (OSError, ValueError, TypeError):
            return None

    def _mark(self):
        Path(self.folder, MARKER).write_text(json.dumps(vars(self.outcome), indent=1), encoding="utf-8")

    # --- the locks ----------------------------------------------------------------------------------

    def _install(self, found, key):
        outcome = Outcome(key, route="locks", locks=list(found.names))
        work = os.path.join(self.folder, "tq-velmor")  # the build's own files: pip's reports, the wheel
        os.makedirs(work, exist_ok=True)
        env = self._env(PIP_IGNORE_INSTALLED="1", PIP_DISABLE_PIP_VERSION_CHECK="1")
        # A virtual environment's base may have no pip of its own: pip.txt comes from the one
        # the virtual environment has, as yt-dlp's own build borrows its base's.
        own = pip_version(self.python, env)
        first_env = env if own else {**env, "PYTHONPATH": _purelib(self.found)}
        pinned = own or pip_version(self.python, first_env) or (0, 0)
        for step, name in enumerate(found.names):
            path, extra = found.path(name), []
            if step == 1:
                path, extra = self._pyinstaller(found, name, work, outcome)
            report = os.path.join(work, f"{name}.json") if step or pinned >= (22, 2) else None
            command = [self.python, "-m", "pip", "install", "-U", "--require-hashes", "-r", path]
            self._pip(command + (["--report", report] if report else []), first_env if step == 0 else env, name)
            self._sources(report, name, outcome)
            if extra:
                self._pip([self.python, "-m", "pip", "install", "--no-deps", *extra], env, name)
                outcome.sources[canonical("pyinstaller")] = ["the package index", None]
        return outcome

    def _pyinstaller(self, found, name, work, outcome):
        """The PyInstaller lock as pip gets it, and what pip installs after it (the index's
        PyInstaller where yt-dlp's own build could not be fetched)."""
        path = found.path(name)
        named = locks.url_requirement(path)
        if named is None:
            return path, []
        line, url, hashes = named
        try:
            wheel = locks.fetch(url, hashes, os.path.join(work, "downloads"), self.stall)
        except locks.Mismatch as mismatch:
            raise Failure(self.texts.wheel_mismatch.format(url=shown(mismatch.url), lock=name, digest=mismatch.digest))
        except (OSError, ValueError, http.client.HTTPException) as error:  # unreachable, refused, cut short
            version = locks.version_in(url)
            outcome.pyinstaller_from_index = [version, shown(str(error))]
            self.say(f" {self.texts.pyinstaller_from_index.format(version=version, error=shown(str(error)))}\n")
            return locks.rewritten(path, line, "", work), [f"pyinstaller=={version}"]
        return locks.rewritten(path, line, line.replace(url, Path(wheel).as_uri()), work), []

    def _pip(self, command, env, lock):
        status, printed = _run(command, env)
        if status == 0:
            return
        if HASH_MISMATCH in printed:
            raise Failure(self.texts.lock_mismatch.format(lock=lock, detail=printed.strip()))
        raise _NotInstallable(lock, shown(last_error(printed) or f"pip ended with status {status}"))

    def _sources(self, report, lock, outcome):
        if not report:
            return
        try:
            with open(report, encoding="utf-8") as f:
                installed = json.load(f).get("install", [])
        except (OSError, ValueError):
            return
        for item in installed:
            info = item.get("download_info", {})
            digest = info.get("archive_info", {}).get("hashes", {}).get("sha256")
            outcome.sources[canonical(item["metadata"]["name"])] = [lock, digest]

    # --- after the dependencies' phase --------------------------------------------------------------

    @property
    def fresh_seven(self):
        """Whether the module's own pip step installs the seven into this environment now: it must
        then take no package from the interpreter's own."""
        return self.made and self.outcome is not None and self.outcome.route == "seven"

    def finish(self):
        """The module's own pip step has ended well: a freshly made environment of the seven is
        complete. Returns the seconds the dependencies took."""
        if self.fresh_seven:
            self._mark()
        return time.monotonic() - self.started

    def ready(self, seconds):
        """The line that says where the environment is, and how long the dependencies took."""
        texts = self.texts
        how = texts.made.format(seconds=seconds) if self.made else texts.reused.format(seconds=seconds)
        return texts.environment_ready.format(how=how, folder=shown(self.folder))

    def describe(self):
        """The lines that say what the build's packages are and where they came from."""
        texts, outcome = self.texts, self.outcome
        if outcome.route == "seven":
            name, fields = outcome.why
            return [texts.dependencies_seven.format(why=getattr(texts, name).format(**fields))]
        lines = [texts.dependencies_locked.format(locks=", ".join(outcome.locks))]
        if outcome.pyinstaller_from_index:
            version, error = outcome.pyinstaller_from_index
            lines.append(texts.pyinstaller_from_index.format(version=version, error=error))
        return lines

    def packages(self):
        """[(name, version, source, sha256 or None)] of what the environment holds."""
        status, printed = _run([self.python, "-m", "pip", "list", "--user", "--format=json",
                                "--disable-pip-version-check"], self._env())
        try:
            listed = json.loads(printed) if status == 0 else []
        except ValueError:
            listed = []
        sources = self.outcome.sources if self.outcome else {}
        return [(item["name"], item["version"], *sources.get(canonical(item["name"]), ["the package index", None]))
                for item in sorted(listed, key=lambda item: canonical(item["name"]))]


class _NotInstallable(Exception):
    def __init__(self, lock, line):
        super().__init__(lock, line)
        self.lock, self.line = lock, line


def _purelib(python):
    """The folder a (virtual environment's) interpreter installs pure packages into."""
    status, printed = _run([python, "-c", "import sysconfig; print(sysconfig.get_path('purelib'))"],
                           dict(os.environ))
    return printed.strip() if status == 0 else ""


# platform.machine()'s words, as the locks' names say them.
_MACHINES = {"amd64": "x64", "x86_64": "x64", "i386": "x86", "i686": "x86", "x86": "x86", "arm64": "arm64",
             "aarch64": "arm64"}


def platform_of(python):
    """(os.name, machine) of the interpreter: what its executable says on Windows (a 32-bit Python
    on a 64-bit Windows gets the x86 locks), this machine's elsewhere."""
    import platform

    machine = platform.machine().lower()
    if os.name == "nt":
        return "nt", interpreter.machine(python) or _MACHINES.get(machine, machine)
    return os.name, machine

