"""tq-velmor.exe's Windows version resource: written for PyInstaller, and what the program must
carry when it is read back (tooling.pe.version_resource)."""

import re

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
    """One line for each field of the resource `found` (tooling.pe.version_resource) that is not as written."""
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
