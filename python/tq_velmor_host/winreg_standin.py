"""An in-memory, read-mostly ``winreg``: keys with subkeys in creation order and a default value.

Lookups ignore letter case, as the Windows registry does. Missing keys and values raise
``FileNotFoundError`` (an ``OSError``), and enumeration past the last subkey raises
``OSError``, with the texts Windows gives.
"""

HKEY_CLASSES_ROOT = 0x80000000
HKEY_CURRENT_USER = 0x80000001
HKEY_LOCAL_MACHINE = 0x80000002
REG_SZ = 1

_NOT_FOUND = (2, "The system cannot find the file specified")
_NO_MORE_DATA = (259, "No more data is available")


class _Node:
    def __init__(self, name):
        self.name = name
        self.subkeys = {}  # lower-case name -> _Node, in creation order
        self.values = {}  # lower-case value name -> (name, value, type)


_hives = {}


class HKEYType:
    """An open key; closing it is harmless and it works as a context manager."""

    def __init__(self, node):
        self._node = node

    def Close(self):
        pass

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.Close()
        return False


def _root(key):
    if isinstance(key, HKEYType):
        return key._node
    if not isinstance(key, int):
        raise TypeError("The object is not a PyHKEY object")
    return _hives.setdefault(key, _Node(hex(key)))


def _parts(sub_key):
    if not isinstance(sub_key, str):
        raise TypeError(f"OpenKey() argument 2 must be str or None, not {type(sub_key).__name__}")
    return [p for p in sub_key.split("\\") if p]


def _not_found():
    return FileNotFoundError(*_NOT_FOUND)


def OpenKey(key, sub_key, reserved=0, access=0x20019):
    node = _root(key)
    for part in _parts(sub_key):
        node = node.subkeys.get(part.lower())
        if node is None:
            raise _not_found()
    return HKEYType(node)


OpenKeyEx = OpenKey


def EnumKey(key, index):
    subkeys = list(_root(key).subkeys.values())
    if not isinstance(index, int):
        raise TypeError("an integer is required")
    if not 0 <= index < len(subkeys):
        raise OSError(*_NO_MORE_DATA)
    return subkeys[index].name


def QueryValueEx(key, value_name):
    entry = _root(key).values.get((value_name or "").lower())
    if entry is None:
        raise _not_found()
    return entry[1], entry[2]


def CloseKey(key):
    pass


# Filling the registry (tests and demonstrations)


def create_key(hive, sub_key):
    """Create ``sub_key`` (and its parents) under ``hive``; returns the open key."""
    node = _root(hive)
    for part in _parts(sub_key):
        node = node.subkeys.setdefault(part.lower(), _Node(part))
    return HKEYType(node)


def set_value(hive, sub_key, value, value_name="", value_type=REG_SZ):
    """Create the key if needed and set one of its values (the default one by default)."""
    node = create_key(hive, sub_key)._node
    node.values[value_name.lower()] = (value_name, value, value_type)


def clear():
    """Forget every key."""
    _hives.clear()
