"""Stand-ins for the Windows host services the tq_velmor module relies on.

On Windows nothing is replaced. Elsewhere ``install()`` puts an in-memory ``winreg``
into ``sys.modules`` and a ``ctypes.windll`` whose ``kernel32.SetConsoleTitleW`` only
records its calls, so that the module can start and run on any host.
"""

import ctypes
import sys

from . import windll_standin, winreg_standin

__all__ = ["install", "winreg_standin", "windll_standin"]


def install():
    """Install the stand-ins where the real services are missing.

    Returns the names of what was installed ("winreg", "ctypes.windll"); an empty
    list on Windows.
    """
    installed = []
    try:
        import winreg  # noqa: F401
    except ImportError:
        sys.modules["winreg"] = winreg_standin
        installed.append("winreg")
    if not hasattr(ctypes, "windll"):
        ctypes.windll = windll_standin.windll
        installed.append("ctypes.windll")
    return installed
