"""Build-side tools for the Windows module, run on the build machine by windows/pyd.cmake, from
the checkout's root (where the tooling's PE reader is):

  python -m windows.pyd_tools def   --nm NM --exports LIST --out python311.def OBJECT...
      Writes the .def for python311.dll's import library from the objects' undefined
      __imp_ symbols, DATA where the official DLL exports data. Fails when a name is not
      exported by that DLL, or when an object calls into the C runtime in a way that would
      cross from our msvcrt.dll to Python's UCRT (C stdio, errno, malloc/free, getenv).

  python -m windows.pyd_tools check --def python311.def --exports LIST FILE.pyd
      Reads the built file (tooling/pe.py), prints its exports and imports, and fails
      unless it is an x86-64 DLL exporting exactly PyInit_tq_velmor and importing only
      python311.dll (names the official DLL exports, DATA as the .def marks them) and
      Windows system DLLs.
"""

import argparse
import re
import subprocess
import sys

try:
    from tooling.pe import PEError, module_facts as read_pe
except ModuleNotFoundError as missing:
    sys.exit(f"pyd_tools: {missing}: install pins/tooling.txt (or the test extra) into {sys.executable}")

PYTHON_DLL = "python311.dll"
ENTRY_POINT = "PyInit_tq_velmor"
IMP = "__imp_"

# Shipped with every Windows: what a self-contained module may import besides python311.dll.
SYSTEM_DLLS = {
    "kernel32.dll", "msvcrt.dll", "ntdll.dll", "user32.dll", "advapi32.dll", "shell32.dll",
    "ole32.dll", "oleaut32.dll", "ws2_32.dll", "bcrypt.dll", "ucrtbase.dll",
}
# MinGW's own runtime DLLs: present on the build machine, absent on a user's Windows.
MINGW_RUNTIME_DLLS = {"libstdc++-6.dll", "libgcc_s_seh-1.dll", "libwinpthread-1.dll"}

# C runtime entry points whose state differs between msvcrt.dll and Python's UCRT.
CROSSING = re.compile(
    r"(__mingw_)?v?f?printf|v?f?scanf|puts|fputs|putc|fputc|putchar|getc|fgetc|getchar|fgets"
    r"|fopen|_wfopen|_fdopen|fclose|fflush|fread|fwrite|fseek|ftell|setvbuf|perror|_fileno"
    r"|__acrt_iob_func|__iob_func|_iob|_errno|__errno_location|errno"
    r"|malloc|calloc|realloc|free|_aligned_malloc|_aligned_free|_?strdup|_wcsdup"
    r"|getenv|_wgetenv|putenv|_putenv|_wputenv"
)


def read_exports(text):
    """The official export list: {name: is_data}. '#' starts a comment line."""
    exports = {}
    for line in text.splitlines():
        fields = line.split()
        if not fields or fields[0].startswith("#"):
            continue
        if len(fields) > 2 or (len(fields) == 2 and fields[1] != "DATA"):
            raise ValueError(f"bad export line: {line!r}")
        exports[fields[0]] = len(fields) == 2
    return exports


def undefined_symbols(nm_output):
    """{symbol: [object, ...]} from `nm -u` over several objects."""
    symbols = {}
    current = "?"
    for line in nm_output.splitlines():
        line = line.strip()
        if not line:
            continue
        if line.endswith(":"):
            current = line[:-1]
            continue
        fields = line.split()
        if len(fields) == 2 and fields[0] == "U":
            symbols.setdefault(fields[1], []).append(current)
    return symbols


def def_entries(symbols, exports):
    """(sorted [(name, is_data)], [error]) for the python311.dll import library."""
    entries, errors = {}, []
    for symbol, objects in sorted(symbols.items()):
        plain = symbol[len(IMP):] if symbol.startswith(IMP) else symbol
        if CROSSING.fullmatch(plain):
            errors.append(f"{plain}: C runtime call in {', '.join(sorted(set(objects)))}; "
                          f"msvcrt.dll state is not Python's (use the Python API)")
        elif not symbol.startswith(IMP):
            continue
        elif plain not in exports:
            errors.append(f"{plain}: imported by {', '.join(sorted(set(objects)))} "
                          f"but not exported by the official {PYTHON_DLL}")
        else:
            entries[plain] = exports[plain]
    return sorted(entries.items()), errors


def def_text(entries):
    lines = [f"LIBRARY {PYTHON_DLL}", "EXPORTS"]
    lines += [f"    {name} DATA" if data else f"    {name}" for name, data in entries]
    return "\n".join(lines) + "\n"


def read_def(text):
    """{name: is_data} from a .def file's EXPORTS section."""
    entries, in_exports = {}, False
    for line in text.splitlines():
        fields = line.split(";")[0].split()
        if not fields:
            continue
        if fields[0] == "EXPORTS":
            in_exports = True
        elif in_exports:
            entries[fields[0]] = "DATA" in fields[1:]
    return entries


def pe_errors(pe, def_marks, exports):
    """Every reason the file is not the module a user can load; empty when it is."""
    errors = []
    if pe["machine"] != 0x8664:
        errors.append(f"machine {pe['machine']:#x}, not x86-64 (0x8664)")
    if not pe["dll"]:
        errors.append("not a DLL")
    if pe["exports"] != [ENTRY_POINT] or pe["ordinal_exports"]:
        errors.append(f"exports {pe['exports']} (+{pe['ordinal_exports']} by ordinal), "
                      f"expected exactly {ENTRY_POINT}")
    if pe["delay"]:
        errors.append("delay-loaded imports present")
    for dll, names in pe["imports"].items():
        key = dll.lower()
        if key == PYTHON_DLL:
            for name in names:
                if name not in exports:
                    errors.append(f"{PYTHON_DLL}!{name}: not exported by the official DLL")
                elif name not in def_marks:
                    errors.append(f"{PYTHON_DLL}!{name}: missing from the .def")
        elif key in MINGW_RUNTIME_DLLS:
            errors.append(f"imports {dll}: a MinGW runtime DLL, which users do not have; link it statically")
        elif key not in SYSTEM_DLLS and not key.startswith("api-ms-win-"):
            errors.append(f"imports {dll}: not a Windows system DLL")
    if not any(dll.lower() == PYTHON_DLL for dll in pe["imports"]):
        errors.append(f"does not import {PYTHON_DLL}")
    for name, data in sorted(def_marks.items()):
        if name not in exports:
            errors.append(f".def: {name} is not exported by the official DLL")
        elif data != exports[name]:
            errors.append(f".def: {name} is {'' if data else 'not '}marked DATA, "
                          f"the official DLL exports it as {'data' if exports[name] else 'code'}")
    return errors


def report(path, pe, exports):
    lines = [f"{path}: machine {pe['machine']:#x}{' (x86-64)' if pe['machine'] == 0x8664 else ''}, "
             f"{'DLL' if pe['dll'] else 'not a DLL'}",
             f"exports ({len(pe['exports'])}): {', '.join(pe['exports'])}"]
    for dll, names in pe["imports"].items():
        if dll.lower() == PYTHON_DLL:
            data = sorted(n for n in names if exports.get(n))
            code = sorted(n for n in names if not exports.get(n))
            lines.append(f"imports {dll} ({len(names)}: {len(code)} functions, {len(data)} data)")
            lines.append(f"    data: {' '.join(data)}")
            lines.append(f"    functions: {' '.join(code)}")
        else:
            lines.append(f"imports {dll} ({len(names)}): {' '.join(sorted(names))}")
    return "\n".join(lines)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    sub = parser.add_subparsers(dest="command", required=True)
    p_def = sub.add_parser("def")
    p_def.add_argument("--nm", required=True)
    p_def.add_argument("--exports", required=True)
    p_def.add_argument("--out", required=True)
    p_def.add_argument("objects", nargs="+")
    p_check = sub.add_parser("check")
    p_check.add_argument("--def", dest="def_file", required=True)
    p_check.add_argument("--exports", required=True)
    p_check.add_argument("pyd")
    args = parser.parse_args(argv)

    with open(args.exports, encoding="utf-8") as f:
        exports = read_exports(f.read())

    if args.command == "def":
        nm = subprocess.run([args.nm, "-u", *args.objects], check=True, capture_output=True, text=True)
        entries, errors = def_entries(undefined_symbols(nm.stdout), exports)
        for error in errors:
            print(f"error: {error}", file=sys.stderr)
        if errors:
            return 1
        with open(args.out, "w", encoding="ascii", newline="\n") as f:
            f.write(def_text(entries))
        return 0

    with open(args.def_file, encoding="ascii") as f:
        def_marks = read_def(f.read())
    with open(args.pyd, "rb") as f:
        data = f.read()
    try:
        pe = read_pe(data)
    except PEError as e:
        print(f"{args.pyd}: {e}", file=sys.stderr)
        return 1
    print(report(args.pyd, pe, exports))
    errors = pe_errors(pe, def_marks, exports)
    for error in errors:
        print(f"FAIL: {error}")
    print("PE check: FAILED" if errors else
          f"PE check: OK ({len(def_marks)} .def names, DATA marks match the official list)")
    return 1 if errors else 0


if __name__ == "__main__":
    sys.exit(main())
