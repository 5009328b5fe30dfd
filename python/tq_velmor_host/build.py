"""The build as the command and the program run it: tq_velmor.main(), then the new yt-dlp.exe
started before the run counts as a success, and built once more without UPX when UPX broke it.

The module looks its own names up at the moment it uses them, so a run steers it through its
namespace, for that run only: `setup_upx` provides no UPX when the build goes without it, and
what `encontrar_python_real` found is looked at before UPX is set up, so that an interpreter
whose DLL UPX would break is built for without UPX from the start. While the build goes without
UPX for a reason, that reason stands under every progress screen.
"""

import contextlib
import hashlib
import os
import stat

from . import interpreter_dll, starts

RESULT = "yt-dlp.exe"


def result_identity():
    """What tells this run's yt-dlp.exe from an earlier one (None when there is none)."""
    try:
        status = os.stat(RESULT)
    except OSError:
        return None
    if not stat.S_ISREG(status.st_mode):
        return None
    return status.st_dev, status.st_ino, status.st_size, status.st_mtime_ns


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


def run_once(module, texts, reason=None):
    """One call of the module's main(), without UPX when `reason` says why (None: with UPX, unless
    the interpreter's DLL rules it out, which `texts.without_upx_tls` then says). Returns whether
    it left a new yt-dlp.exe, and whether setup_upx provided UPX."""
    find, setup_upx, refresh = module.encontrar_python_real, module.setup_upx, module.tq_refresh
    upx_used = False

    def found_python():
        nonlocal reason
        python = find()
        dll = None if reason else interpreter_dll.tls_dll(python)
        if dll:
            reason = texts.without_upx_tls.format(dll=dll)
        return python

    def upx():
        nonlocal upx_used
        if reason:
            return False
        provided = setup_upx()
        upx_used = bool(provided)
        return provided

    def screen(*args, **kwargs):
        drawn = refresh(*args, **kwargs)
        if reason:
            theme = getattr(module, "TQ_Theme", None)
            print(f" {getattr(theme, 'GOLD', '')}{reason}{getattr(theme, 'RESET', '')}\n")
        return drawn

    before = result_identity()
    with _names(module, encontrar_python_real=found_python, setup_upx=upx, tq_refresh=screen):
        module.main()
    after = result_identity()
    return after is not None and after != before, upx_used


def build(module, texts, no_upx=False):
    """The build in the current folder; returns whether it left a yt-dlp.exe that starts, after
    printing the lines that say what the folder now holds."""
    new, upx_used = run_once(module, texts, texts.without_upx_asked if no_upx else None)
    if not new:
        return False
    checked = starts.check(RESULT)
    if isinstance(checked, starts.NotStarting) and upx_used:
        new, _ = run_once(module, texts, texts.rebuilding)
        if not new:
            print(texts.not_starting.format(why=why(texts, checked)))
            print(texts.rebuild_left_nothing)
            return False
        rebuilt_because = checked
        checked = starts.check(RESULT)
        if isinstance(checked, starts.Started):
            print(texts.rebuilt.format(why=why(texts, rebuilt_because)))
    print(texts.digest.format(digest=digest(RESULT)))
    if isinstance(checked, starts.Started):
        print(texts.version.format(version=checked.version))
        return True
    print(texts.not_starting.format(why=why(texts, checked)))
    return False


def why(texts, checked):
    """What `checked` (starts.NotStarting) says, in the language of `texts`."""
    if checked.kind == "error":
        return texts.could_not_start.format(error=checked.detail)
    if checked.kind == "hung":
        return texts.hung.format(limit=checked.limit)
    if checked.kind == "silent":
        return texts.silent
    if checked.detail:
        return texts.ended.format(status=checked.status, line=checked.detail)
    return texts.ended_silently.format(status=checked.status)


def digest(path):
    """The SHA-256 of the file at `path`, in hex: what a user compares with another build's."""
    with open(path, "rb") as f:
        return hashlib.file_digest(f, "sha256").hexdigest()
