"""python -m tq_velmor_host: the tq-velmor command, where pip's scripts folder is not on PATH."""

from .command import run

run()
