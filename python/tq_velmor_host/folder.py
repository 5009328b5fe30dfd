"""What the build touches in the folder it works in, and the folders where it must not start.

The build deletes fixed names (its cleanup's) and writes yt-dlp.exe and its record; nothing else
in the folder is touched. So a folder may hold anything else as long as none of the deleted names
lies there beside it: a folder of downloads beside yt-dlp.exe is fine, a "build" folder beside
notes.txt may be the user's own and is not. A link or junction bearing any of the build's names
would have the build delete, extract or write at its target: refused in every case.
"""

import os
import stat
from dataclasses import dataclass

from .shown import shown

# What the build's cleanup removes from its folder, in its order (test_cleanup holds the module
# to it); the build also writes and replaces the two written names.
BUILD_FOLDERS = ("build", "dist", "yt-dlp-master", "devscripts", "yt_dlp", "bundle")
BUILD_FILES = ("source.zip", "upx.zip", "upx.exe", "yt-dlp.spec")
RESULT = "yt-dlp.exe"
RECORD = "yt-dlp-build.txt"  # what made RESULT, written beside it
DELETED = BUILD_FOLDERS + BUILD_FILES
WRITTEN = (RESULT, RECORD)

# Letter case aside: on Windows "Build" is "build", and a case-insensitive folder elsewhere too.
_DELETED = {name.casefold() for name in DELETED}
_OWN = _DELETED | {name.casefold() for name in WRITTEN}
_REPARSE_POINT = 0x400  # FILE_ATTRIBUTE_REPARSE_POINT: a symbolic link, a junction


def is_link(path):
    """Whether `path` is a symbolic link or a junction (dangling or not), without following it."""
    try:
        status = os.lstat(path)
    except OSError:
        return False
    return stat.S_ISLNK(status.st_mode) or bool(getattr(status, "st_file_attributes", 0) & _REPARSE_POINT)


@dataclass(frozen=True)
class Verdict:
    """Why the build must not start in a folder (both empty: it may)."""
    links: tuple = ()  # entries bearing the build's names that are links or junctions
    deleted: tuple = ()  # entries the build would delete, when they lie beside foreign ones
    foreign: tuple = ()  # the entries that are not the build's

    def __bool__(self):
        return bool(self.links or self.deleted)


def check(folder=".", own=(), force=False):
    """The Verdict on `folder`; `own` names entries that belong there too (the program's own file).
    `force` lets the deleted names lie beside foreign entries; links are refused all the same."""
    names = sorted(os.listdir(folder))
    own = {name.casefold() for name in own}
    links = tuple(name for name in names if name.casefold() in _OWN and is_link(os.path.join(folder, name)))
    if links:
        return Verdict(links=links)
    deleted = tuple(name for name in names if name.casefold() in _DELETED)
    foreign = tuple(name for name in names if name.casefold() not in _OWN | own)
    if deleted and foreign and not force:
        return Verdict(deleted=deleted, foreign=foreign)
    return Verdict()


def listed(names, texts, shown_at_most=8):
    """`names` for a line: the first few, then how many more (a home folder would fill the screen)."""
    names = [shown(name) for name in names]
    text = ", ".join(names[:shown_at_most])
    if len(names) > shown_at_most:
        text = texts.more.format(shown=text, count=len(names) - shown_at_most)
    return text
