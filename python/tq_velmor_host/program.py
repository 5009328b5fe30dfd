"""tq-velmor.exe: the one-click build as a Windows program, put in a folder and double-clicked.

The same rules and exit statuses as the ``tq-velmor`` command, in Spanish like the build's screens.
The program's own file does not count as foreign to the folder, whatever it was saved as. When
the program owns its console (a double-click gave it one, which closes when it exits), every
ending waits for Enter before the window goes, unless the build's last act was already such a
wait with nothing written since; started from a shell it adds no wait.
"""

import os
import sys
import traceback

from . import command
from .shown import shown

CLOSE_PROMPT = "Pulsa Enter para cerrar esta ventana."


def own_files():
    """The program's own file name, when it lies in the current folder."""
    if not getattr(sys, "frozen", False):
        return ()
    executable = os.path.abspath(sys.executable)
    try:
        here = os.path.samefile(os.path.dirname(executable), os.getcwd())
    except OSError:
        return ()
    return (os.path.basename(executable),) if here else ()


def owns_console():
    """Whether no other program shares this console: only this process and its parent (the
    one-file program's launcher) are attached, as after a double-click. A shell's console is
    shared with the shell."""
    if os.name != "nt":
        return False
    import ctypes

    kernel32 = ctypes.WinDLL("kernel32")
    kernel32.GetConsoleProcessList.argtypes = [ctypes.POINTER(ctypes.c_uint32), ctypes.c_uint32]
    kernel32.GetConsoleProcessList.restype = ctypes.c_uint32
    attached = (ctypes.c_uint32 * 4)()
    count = kernel32.GetConsoleProcessList(attached, len(attached))
    if not 0 < count <= len(attached):  # no console, or more programs than ours on it
        return False
    return set(attached[:count]) <= {os.getpid(), os.getppid()}


def wait_before_closing():
    print(f"\n{CLOSE_PROMPT}", flush=True)
    try:
        with command.Console().attached():
            input()
    except KeyboardInterrupt:
        pass


def main(argv=None):
    """Run the program with `argv` (default: the process's arguments); returns the exit status."""
    console = command.Console()
    try:
        status = command.main(argv, texts=command.SPANISH, own=own_files(), console=console)
    except Exception as error:  # noqa: BLE001 - a fault of ours still ends in a window one can read
        traceback.print_exc()
        print(command.SPANISH.unexpected.format(error=shown(str(error))), file=sys.stderr)
        status, console.waited_last = command.FAILED, False
    if owns_console() and not console.waited_last:
        wait_before_closing()
    return status


def run():
    """Entry point of the frozen program."""
    sys.exit(main())
