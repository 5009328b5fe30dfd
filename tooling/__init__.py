"""What every part of the tooling shares: the pins, a virtual environment per set of them, the
one PE reader and writer, and the one base exception."""


class ToolingError(Exception):
    """A step of the tooling failed or refused; the message says why, in a line or a few."""
