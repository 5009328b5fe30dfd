"""What every part of the tooling shares: the pins, a virtual environment per set of them, the
one PE reader and writer, the one base exception, the lines each part prints, and a run's output
read without its colours."""

import re


class ToolingError(Exception):
    """A step of the tooling failed or refused; the message says why, in a line or a few."""


def logger(name):
    """What prints a line of the part `name` as it goes: "name: text", at once."""
    return lambda text: print(f"{name}: {text}", flush=True)


def plain(output):
    """A run's output without its colours."""
    return re.sub(r"\x1b\[[0-9;]*m", "", output)
