# Types of the tq_velmor extension module. Installed as a stub-only package: type checkers do not
# look for a .pyi beside a single-file module in site-packages.
import ctypes as ctypes
import glob as glob
import os as os
import shutil as shutil
import subprocess as subprocess
import sys as sys
import time as time
import urllib as urllib
import urllib.request  # bound with the package: tq_velmor.urllib.request is usable
import winreg as winreg
import zipfile as zipfile
from collections.abc import Mapping, Sequence
from typing import ClassVar

from _typeshed import StrOrBytesPath, StrPath

class TQ_Theme:
    CYAN: ClassVar[str]
    PURPLE: ClassVar[str]
    GREEN: ClassVar[str]
    GOLD: ClassVar[str]
    RED: ClassVar[str]
    BOLD: ClassVar[str]
    RESET: ClassVar[str]
    BANNER: ClassVar[str]

def get_path(relative_path: StrPath) -> str: ...
def tq_refresh(status_msg: object, progress: float = 0) -> None: ...
def run_silent(
    cmd: StrOrBytesPath | Sequence[StrOrBytesPath],
    cwd: StrOrBytesPath | None = None,
    env: Mapping[str, str] | None = None,
) -> None: ...
def validar_python(path: str | None) -> bool: ...
def encontrar_python_real() -> str: ...
def setup_upx() -> bool: ...
def cleanup() -> None: ...
def arreglar_ruta_metadatos(repo_dir: StrPath) -> bool: ...
def main() -> None: ...
