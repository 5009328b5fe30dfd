"""What tq-velmor.exe runs: the one-click build program (tq_velmor_host.program)."""

from tq_velmor_host.program import run

run()
