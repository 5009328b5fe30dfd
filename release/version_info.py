"""tq-velmor.exe's Windows version resource: written for PyInstaller, read back from the program.

  python version_info.py PROGRAM.exe

prints the resource PROGRAM.exe holds, as JSON. It needs only pefile, so it runs as a script in
the Windows interpreter that made the program (release/program.py), where PyInstaller brought pefile.
"""

import json
import re
import sys

# Spanish (Spain), Unicode: the program speaks Spanish.
LANGUAGE = 0x0C0A
CODEPAGE = 1200
TABLE = f"{LANGUAGE:04X}{CODEPAGE:04X}"
NAME = "tq-velmor"


def strings(version, year):
    return {
        "CompanyName": f"los autores de {NAME}",
        "FileDescription": "Compila yt-dlp.exe con un clic",
        "FileVersion": version,
        "InternalName": NAME,
        "LegalCopyright": f"Copyright (c) {year} los autores de {NAME}. Licencia MIT.",
        "OriginalFilename": f"{NAME}.exe",
        "ProductName": NAME,
        "ProductVersion": version,
    }


def numbers(version):
    """The four numbers of the fixed part from a version such as 1.0.0: (1, 0, 0, 0)."""
    release = re.match(r"\d+(?:\.\d+)*", version)
    if not release:
        raise ValueError(f"no release numbers in the version {version!r}")
    parts = [int(part) for part in release.group().split(".")][:4]
    return tuple(parts + [0] * (4 - len(parts)))


def pyinstaller_file(version, year):
    """The text of PyInstaller's --version-file."""
    fixed = numbers(version)
    table = ",\n".join(f"          StringStruct({key!r}, {value!r})" for key, value in strings(version, year).items())
    return f"""VSVersionInfo(
  ffi=FixedFileInfo(filevers={fixed}, prodvers={fixed}, mask=0x3f, flags=0x0, OS=0x40004,
                    fileType=0x1, subtype=0x0, date=(0, 0)),
  kids=[
    StringFileInfo([
      StringTable({TABLE!r}, [
{table}
      ])
    ]),
    VarFileInfo([VarStruct('Translation', [{LANGUAGE:#06x}, {CODEPAGE}])])
  ]
)
"""


def expected(version, year):
    fixed = list(numbers(version))
    return {"tables": {TABLE: strings(version, year)}, "translations": [[LANGUAGE, CODEPAGE]],
            "file_version": fixed, "product_version": fixed}


def differences(found, version, year):
    """One line for each field of the resource `found` (read()'s answer) that is not as written."""
    wanted = expected(version, year)
    lines = []
    for key in ("file_version", "product_version", "translations"):
        if found.get(key) != wanted[key]:
            lines.append(f"{key}: {found.get(key)}, expected {wanted[key]}")
    tables = found.get("tables", {})
    if set(tables) != set(wanted["tables"]):
        lines.append(f"string tables {sorted(tables)}, expected {sorted(wanted['tables'])}")
    table = tables.get(TABLE, {})
    for key in sorted(set(table) | set(wanted["tables"][TABLE])):
        if table.get(key) != wanted["tables"][TABLE].get(key):
            lines.append(f"{key}: {table.get(key)!r}, expected {wanted['tables'][TABLE].get(key)!r}")
    return lines


def _words(high, low):
    return [high >> 16, high & 0xFFFF, low >> 16, low & 0xFFFF]


def read(path):
    """The version resource of the PE file at `path`, as plain data."""
    import pefile

    pe = pefile.PE(path, fast_load=True)
    pe.parse_data_directories(directories=[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_RESOURCE"]])
    found = {"tables": {}, "translations": []}
    for fixed in getattr(pe, "VS_FIXEDFILEINFO", [])[:1]:
        found["file_version"] = _words(fixed.FileVersionMS, fixed.FileVersionLS)
        found["product_version"] = _words(fixed.ProductVersionMS, fixed.ProductVersionLS)
    for info in getattr(pe, "FileInfo", []):
        for entry in info:
            if entry.Key == b"StringFileInfo":
                for table in entry.StringTable:
                    found["tables"][table.LangID.decode().upper()] = {
                        key.decode(): value.decode() for key, value in table.entries.items()}
            elif entry.Key == b"VarFileInfo":
                for var in entry.Var:
                    for value in var.entry.values():
                        language, codepage = (int(word, 16) for word in value.split())
                        found["translations"].append([language, codepage])
    return found


if __name__ == "__main__":
    print(json.dumps(read(sys.argv[1]), ensure_ascii=True))
