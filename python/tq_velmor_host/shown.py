"""Text from outside (file names, what a checked program printed) made safe to echo: a control
character or escape sequence in it would otherwise reach the console and act there."""


def shown(text):
    """`text` without its control and other unprintable characters (the plain space stays)."""
    return "".join(c for c in text if c.isprintable())
