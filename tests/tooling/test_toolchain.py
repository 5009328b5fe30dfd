"""The release's check of the Debian toolchain against pins/debian.txt (release/toolchain.py)."""

import pytest

from release import toolchain
from tooling import ToolingError

PINNED = toolchain.pinned()
WINE = "wine"


@pytest.mark.parametrize("found, named", [
    ({WINE: "9.0~repack-2"}, f"{WINE}: pinned {PINNED[WINE]}, found 9.0~repack-2"),
    ({WINE: None}, f"{WINE}: pinned {PINNED[WINE]}, found none installed"),
])
def test_a_package_at_another_version_is_refused_by_name(found, named):
    def installed(package):
        return found.get(package, PINNED[package])

    with pytest.raises(ToolingError) as refusal:
        toolchain.check(found=installed)
    assert named in str(refusal.value) and "\n" not in str(refusal.value)
    assert toolchain.check(allow_drift=True, found=installed) == [named]


def test_the_pinned_toolchain_passes():
    assert toolchain.check(found=PINNED.get) == []

