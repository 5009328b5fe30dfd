"""The official CPython 3.11.9 for Windows, checked, and the programs that run under Wine."""
