"""The cross-build of the Windows module: its CMake toolchain and rules, the headers' pyconfig.h,
the official export list, and pyd_tools (run as python -m windows.pyd_tools from the checkout's root)."""
