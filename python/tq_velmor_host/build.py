"""The build as the command and the program run it: tq_velmor.main(), then the new yt-dlp.exe
started before the run counts as a success, built once more without UPX when UPX broke it, read
for what it carries, and recorded.

The module looks its own names up at the moment it uses them, so a run steers it through its
namespace, for that run only:
- what `encontrar_python_real` found gets the build's own environment (environment.py), and is
  looked at before UPX is set up, so that an interpreter whose DLL UPX would break is built for
  without UPX from the start;
- `setup_upx` provides no UPX when the build goes without it;
- `arreglar_ruta_metadatos` also makes the tree's version.py state a build from source;
- `tq_refresh` puts the environment together on the dependencies' screen, and shows under every
  screen why the build goes without UPX and where its packages came from;
- the module's catch-alls (interpreter checks, UPX, cleanup) swallow Ctrl+C by design: the run
  notices it there and ends the build.
Downloads that receive nothing for STALL_LIMIT seconds fail, as any other failed download.
"""

import contextlib
import os
import signal
import socket
import stat
import threading

from . import environment, interpreter, record, source, starts
from .folder import RECORD, RESULT
from .shown import shown
from .texts import ENGLISH

# What the build's tools read to give the same bytes from the same inputs: the hash seed fixes
# the order PyInstaller collects in and the code it compiles, the date the timestamps of pip's
# script launchers and of PyInstaller's executable (2024-01-01 00:00:00 UTC). The user's own
# values win.
REPRODUCIBLE = {"PYTHONHASHSEED": "0", "SOURCE_DATE_EPOCH": "1704067200"}
STALL_LIMIT = 60  # seconds a download may receive nothing before it counts as failed
# The module's screens this run acts on, by their percentage.
DEPENDENCIES, LAZY_EXTRACTORS, DONE = 45, 60, 100
# The one UPX archive setup_upx accepts unless TQ_VELMOR_UPX_SHA256 names another (the module's own
# constant, src/host/constants.hpp).
OFFICIAL_UPX_SHA256 = "7c69b92ff2b7fb8122609312eb0a6695c9e4b88a6c784a86c92e3b7ef583281f"


@contextlib.contextmanager
def _environ(changes):
    """os.environ with `changes` (None: removed) while the block runs, then as it was."""
    saved = {name: os.environ.get(name) for name in changes}
    try:
        for name, value in changes.items():
            if value is None:
                os.environ.pop(name, None)
            else:
                os.environ[name] = value
        yield
    finally:
        for name, value in saved.items():
            if value is None:
                os.environ.pop(name, None)
            else:
                os.environ[name] = value


@contextlib.contextmanager
def _names(module, **names):
    """The module's names replaced by `names` while the block runs."""
    namespace = vars(module)
    saved = {name: namespace[name] for name in names if name in namespace}
    namespace.update(names)
    try:
        yield
    finally:
        for name in names:
            namespace.pop(name, None)
        namespace.update(saved)


@contextlib.contextmanager
def _stall_limit(seconds):
    previous = socket.getdefaulttimeout()
    socket.setdefaulttimeout(seconds)
    try:
        yield
    finally:
        socket.setdefaulttimeout(previous)


class _Interrupts:
    """Ctrl+C noticed even where the module swallows it: `seen` once it came."""

    def __init__(self):
        self.seen = False

    @contextlib.contextmanager
    def noticed(self):
        if threading.current_thread() is not threading.main_thread():
            yield self
            return
        previous = signal.getsignal(signal.SIGINT)
        if not callable(previous):  # ignored, or left to the system: not ours to change
            yield self
            return

        def interrupted(signum, frame):
            self.seen = True
            previous(signum, frame)

        signal.signal(signal.SIGINT, interrupted)
        try:
            yield self
        finally:
            signal.signal(signal.SIGINT, previous)

    def check(self):
        if self.seen:
            raise KeyboardInterrupt


def _regular_file(path):
    try:
        return stat.S_ISREG(os.stat(path).st_mode)
    except OSError:
        return False


def run_once(module, texts, reason=None):
    """One call of the module's main(), without UPX when `reason` says why (None: with UPX, unless
    the interpreter's DLL rules it out, which `texts.without_upx_tls` then says). Returns
    (whether this run put a new yt-dlp.exe in place, record.Facts, the Environment or None)."""
    find, validate, setup_upx = module.encontrar_python_real, module.validar_python, module.setup_upx
    cleanup, patch, refresh = module.cleanup, module.arreglar_ruta_metadatos, module.tq_refresh
    interrupts, facts, notes = _Interrupts(), record.Facts(), []
    # Why the build goes without UPX, in the record's words.
    recorded = {texts.without_upx_asked: ENGLISH.without_upx_asked, texts.rebuilding: ENGLISH.rebuilding}
    if reason:
        facts.upx = f"not used: {recorded.get(reason, reason)}"
    state = {"environment": None, "reported": False, "settings": contextlib.ExitStack()}
    facts.hash_seed = os.environ.get("PYTHONHASHSEED", REPRODUCIBLE["PYTHONHASHSEED"])
    facts.source_date_epoch = os.environ.get("SOURCE_DATE_EPOCH", REPRODUCIBLE["SOURCE_DATE_EPOCH"])

    say = print

    def checked(path):
        interrupts.check()
        accepted = validate(path)
        interrupts.check()
        return accepted

    def found_python():
        nonlocal reason
        interrupts.check()
        found = find()
        interrupts.check()
        built = environment.Environment(found, texts, say, STALL_LIMIT)
        state["environment"] = built
        # Every command of the build, the packaging one's copy of the environment included, runs
        # with the environment's settings.
        state["settings"].enter_context(_environ(built.settings()))
        facts.python = built.python
        dll = None if reason else interpreter.tls_dll(built.python)
        if dll:
            reason = texts.without_upx_tls.format(dll=dll)
            facts.upx = f"not used: {ENGLISH.without_upx_tls.format(dll=dll)}"
        return built.python

    def upx():
        if reason:
            return False
        provided = setup_upx()
        interrupts.check()
        if provided:
            facts.upx = "used"
            facts.upx_archive_sha256 = (os.environ.get("TQ_VELMOR_UPX_SHA256", "").strip().lower()
                                        or OFFICIAL_UPX_SHA256)
            facts.upx_sha256 = record.sha256("upx.exe")
        else:
            facts.upx = "not used: it could not be fetched, or its archive did not match its SHA-256"
        return provided

    def cleaned():
        cleanup()
        interrupts.check()

    def patched(repo):
        patched_ = patch(repo)
        found = source.inspect()
        facts.source_sha256, facts.commit = found.sha256, found.commit
        source.mark(facts.python or "python", repo, found.commit, texts.update_hint)
        state["repo"] = repo
        return patched_

    def screen(status_msg, progress=0):
        interrupts.check()
        drawn = refresh(status_msg, progress)
        built = state["environment"]
        ready = None
        if progress == LAZY_EXTRACTORS and built is not None and built.outcome is not None:
            ready = built.ready(built.finish())
            notes.extend(built.describe())
        if progress == DONE:
            state["reported"] = True
            if built is not None and built.outcome is not None:
                built.listed = built.packages()  # with the build's settings, for the record
        theme = getattr(module, "TQ_Theme", None)
        for note in ([reason] if reason else []) + notes:
            say(f" {getattr(theme, 'GOLD', '')}{note}{getattr(theme, 'RESET', '')}\n")
        if ready:
            say(f" {ready}\n")
        if progress == DEPENDENCIES and built is not None and "repo" in state:
            try:
                built.prepare(state["repo"])
            except environment.Failure as failure:
                raise Exception(str(failure)) from None  # the module's failure screen shows it
            if built.fresh_seven:  # the module's pip now installs them here, none taken from the interpreter
                state["settings"].enter_context(_environ({"PIP_IGNORE_INSTALLED": "1"}))
        return drawn

    with contextlib.ExitStack() as stack:
        stack.enter_context(interrupts.noticed())
        stack.enter_context(_environ({name: value for name, value in REPRODUCIBLE.items() if name not in os.environ}))
        stack.enter_context(_stall_limit(STALL_LIMIT))
        stack.enter_context(state["settings"])
        stack.enter_context(_names(module, encontrar_python_real=found_python, validar_python=checked,
                                   setup_upx=upx, cleanup=cleaned, arreglar_ruta_metadatos=patched,
                                   tq_refresh=screen))
        module.main()
        interrupts.check()
    # The module draws its 100 % screen only after it moved the new yt-dlp.exe in: a yt-dlp.exe
    # that changed otherwise (an archive that carried one) is not this run's.
    return state["reported"] and _regular_file(RESULT), facts, state["environment"]


def build(module, texts, no_upx=False):
    """The build in the current folder; returns whether this run put a yt-dlp.exe in place that
    starts, after printing the lines that say what the folder now holds."""
    new, facts, built = run_once(module, texts, texts.without_upx_asked if no_upx else None)
    if not new:
        return False
    checked = starts.check(RESULT)
    if isinstance(checked, starts.NotStarting) and facts.upx == "used":
        new, facts, built = run_once(module, texts, texts.rebuilding)
        if not new:
            print(texts.not_starting.format(why=why(texts, checked)))
            print(texts.rebuild_left_nothing)
            return False
        rebuilt_because = checked
        checked = starts.check(RESULT)
        if isinstance(checked, starts.Started):
            print(texts.rebuilt.format(why=why(texts, rebuilt_because)))
    started = isinstance(checked, starts.Started)
    if started:
        described(texts, starts.header(RESULT), facts.commit)
    try:
        print(texts.record.format(path=record.write(facts, built)))
    except OSError as error:
        print(texts.record_failed.format(path=RECORD, error=shown(str(error))))
    if started:
        if facts.commit:
            print(texts.commit.format(commit=facts.commit))
        print(texts.version.format(version=checked.version))
    print(texts.digest.format(digest=record.sha256(RESULT)))
    if not started:
        print(texts.not_starting.format(why=why(texts, checked)))
        print(advice(texts, checked))
    return started


def described(texts, header, commit):
    """The lines on what the new yt-dlp.exe carries, from its verbose header."""
    if header is None:
        return
    libraries, runtimes = header.libraries or "none", header.runtimes or "none"
    print(texts.libraries.format(libraries=libraries))
    print(texts.runtimes.format(runtimes=runtimes))
    if "yt_dlp_ejs" not in libraries:
        print(texts.youtube_without_ejs)
    elif runtimes.split(" ")[0] in ("none", ""):
        print(texts.youtube_without_runtime)


def why(texts, checked):
    """What `checked` (starts.NotStarting) says, in the language of `texts`."""
    if checked.kind == "error":
        return texts.could_not_start.format(error=checked.detail)
    if checked.kind == "hung":
        return texts.hung.format(limit=checked.limit)
    if checked.kind == "flooded":
        return texts.flooded.format(limit=checked.limit)
    if checked.kind == "silent":
        return texts.silent
    if checked.detail:
        return texts.ended.format(status=checked.status, line=checked.detail)
    return texts.ended_silently.format(status=checked.status)


def advice(texts, checked):
    """What to do about a yt-dlp.exe that does not start, by why: the build has already gone
    without UPX where UPX could be to blame."""
    return {"error": texts.blocked_advice, "hung": texts.hung_advice}.get(checked.kind, texts.failed_advice)
