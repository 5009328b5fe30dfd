"""The machine's configured Debian sources, read in either of apt's formats (one-line .list files
and deb822 .sources files): which address, and which key, serves a suite. .ci/debian-tools takes
the backports from the address serving the release itself, and the fresh Debian stage its archives
from those serving the release and its security suite; neither names a host of its own.

  python3 -m tooling.apt_sources SUITE     prints "ADDRESS KEY" (KEY when the source names one file)
"""

import argparse
import re
import sys
from pathlib import Path

from . import ToolingError

APT = Path("/etc/apt")


ONE_LINE = re.compile(r"^deb\s+(?:\[(?P<options>[^\]]*)\]\s+)?(?P<uri>\S+)\s+(?P<suite>\S+)")


def _one_line(text):
    """(uri, [suite], key) of each `deb` line of a .list file."""
    for line in text.splitlines():
        found = ONE_LINE.match(line.split("#", 1)[0].strip())
        if found:
            options = dict(word.split("=", 1) for word in (found["options"] or "").split() if "=" in word)
            yield found["uri"], [found["suite"]], options.get("signed-by")


def _deb822(text):
    """(uri, [suite], key) of each enabled `deb` stanza of a .sources file, one per address."""
    for stanza in text.split("\n\n"):
        fields, name = {}, None
        for line in stanza.splitlines():
            if line.startswith("#") or not line.strip():
                continue
            if line[0].isspace() and name:  # a continuation: an inline key, say
                fields[name] += "\n" + line.strip()
                continue
            name, _, value = line.partition(":")
            name = name.strip().lower()
            fields[name] = value.strip()
        if "deb" not in fields.get("types", "").split() or fields.get("enabled", "yes").lower() == "no":
            continue
        key = fields.get("signed-by")
        key = key if key and "\n" not in key else None  # a key file, not one written inline
        for uri in fields.get("uris", "").split():
            yield uri, fields.get("suites", "").split(), key


def entries(apt=APT):
    """(uri, [suite], key or None) of every source configured under `apt`, in apt's order."""
    for path in [apt / "sources.list", *sorted((apt / "sources.list.d").glob("*.list"))]:
        if path.is_file():
            yield from _one_line(path.read_text(errors="replace"))
    for path in sorted((apt / "sources.list.d").glob("*.sources")):
        yield from _deb822(path.read_text(errors="replace"))


def serving(suite, apt=APT):
    """(address, key or None) of the first source serving `suite`; ToolingError when none does."""
    for uri, suites, key in entries(apt):
        if suite in suites:
            return uri, key
    raise ToolingError(f"no configured Debian source serves {suite} (in {apt / 'sources.list'} or "
                       f"{apt / 'sources.list.d'})")


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("suite", help="a suite, as bookworm or bookworm-security")
    args = parser.parse_args(argv)
    try:
        uri, key = serving(args.suite)
    except (ToolingError, OSError) as failure:
        print(f"apt-sources: {failure}", file=sys.stderr)
        return 1
    print(uri, key or "")
    return 0


if __name__ == "__main__":
    sys.exit(main())
