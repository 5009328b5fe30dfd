"""python -m tq_velmor_host: run the one-click build in the current folder on any host."""

from . import install

install()

import tq_velmor  # noqa: E402

tq_velmor.main()
