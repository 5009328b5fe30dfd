"""The ``tq-velmor`` command: the one-click build in the current folder, as ``tq_velmor.main()`` runs it.

The build deletes fixed names from the folder it runs in, so the command starts only in a folder
that holds nothing but those names (and the ``yt-dlp.exe`` of an earlier build), unless told
``--force``.
"""

import os
import sys

from . import install

PROGRAM = "tq-velmor"

# What the build's cleanup removes from its folder, in its order (test_cleanup holds the module
# to it); the build also writes and replaces yt-dlp.exe.
BUILD_FOLDERS = ("build", "dist", "yt-dlp-master", "devscripts", "yt_dlp", "bundle")
BUILD_FILES = ("source.zip", "upx.zip", "upx.exe", "yt-dlp.spec")
RESULT = "yt-dlp.exe"

# Names listed when refusing a folder; a home folder would otherwise fill the screen.
SHOWN = 8

USAGE = f"usage: {PROGRAM} [--force]"

HELP = f"""{USAGE}

Builds yt-dlp.exe in the current folder: finds a Python interpreter, downloads UPX and the
yt-dlp source, installs the build dependencies into that interpreter with pip and packages
the executable with PyInstaller, behind a progress screen in Spanish. It needs the internet,
and only on Windows does it produce yt-dlp.exe.

Warning: the build works in the current folder and deletes from it the folders
{", ".join(BUILD_FOLDERS)}
and the files {", ".join(BUILD_FILES)};
a new {RESULT} replaces the one there. Run it in an empty folder: it does not start in a
folder that holds anything else.

options:
  --force     build even when the folder holds other files
  -h, --help  show this help and exit
"""


def foreign_entries(folder="."):
    """The names in `folder` that the build neither creates nor removes, sorted."""
    # normcase: on Windows the cleanup's "build" also removes a "Build".
    own = {os.path.normcase(name) for name in (*BUILD_FOLDERS, *BUILD_FILES, RESULT)}
    return sorted(name for name in os.listdir(folder) if os.path.normcase(name) not in own)


def main(argv=None):
    """Run the command with `argv` (default: the process's arguments); returns the exit status."""
    args = sys.argv[1:] if argv is None else list(argv)
    unknown = [arg for arg in args if arg not in ("-h", "--help", "--force")]
    if unknown:
        print(f"{PROGRAM}: unknown argument {unknown[0]!r}\n{USAGE}\nSee '{PROGRAM} --help'.", file=sys.stderr)
        return 2
    if "-h" in args or "--help" in args:
        print(HELP, end="")
        return 0
    if "--force" not in args:
        found = foreign_entries()
        if found:
            shown = ", ".join(found[:SHOWN]) + (f" and {len(found) - SHOWN} more" if len(found) > SHOWN else "")
            print(f"{PROGRAM}: not starting: {os.getcwd()} holds {shown}.\n"
                  f"The build deletes its own files and folders (see {PROGRAM} --help) from the folder it\n"
                  f"works in, so it starts only in an empty folder. Nothing was deleted. Run it in an empty\n"
                  f"folder, or pass --force to build here anyway.", file=sys.stderr)
            return 2
    install()
    import tq_velmor

    try:
        tq_velmor.main()
    except KeyboardInterrupt:
        # Ctrl+C stops the build where it stands (main() lets it through): no traceback, the
        # shell's status for an interrupt.
        print(file=sys.stderr)
        return 130
    return 0


def run():
    """Console entry point."""
    sys.exit(main())
