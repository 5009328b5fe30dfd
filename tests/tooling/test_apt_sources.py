"""Which configured source serves a suite, in both of apt's formats (tooling/apt_sources.py)."""

import pytest

from tooling import ToolingError, apt_sources

LIST = """# the machine's own
deb-src http://src.example/debian bookworm main
deb [arch=amd64 signed-by=/etc/apt/keyrings/a.gpg] http://a.example/debian bookworm main
"""
MORE = "deb http://b.example/debian bookworm-updates main  # and a comment\n"
SOURCES = """Types: deb
URIs: http://off.example/debian-security
Suites: bookworm-security
Components: main
Enabled: no

# the live security archive
Types: deb deb-src
URIs: http://c.example/debian-security
Suites: bookworm-security
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg

Types: deb
URIs: http://d.example/debian http://e.example/debian
Suites: bookworm-backports
Components: main
Signed-By:
 -----BEGIN PGP PUBLIC KEY BLOCK-----
 .
 mQINBGPL0BUBEADmW5NdOOHwPIJlgPu6JDcKw/NZJPR8lsD9K5ML
 -----END PGP PUBLIC KEY BLOCK-----
"""


@pytest.fixture
def apt(tmp_path):
    (tmp_path / "sources.list.d").mkdir()
    (tmp_path / "sources.list").write_text(LIST)
    (tmp_path / "sources.list.d" / "more.list").write_text(MORE)
    (tmp_path / "sources.list.d" / "debian.sources").write_text(SOURCES)
    return tmp_path


@pytest.mark.parametrize("suite, served", [
    ("bookworm", ("http://a.example/debian", "/etc/apt/keyrings/a.gpg")),
    ("bookworm-updates", ("http://b.example/debian", None)),
    # The disabled stanza passed over; a key written inline is no key file to name.
    ("bookworm-security", ("http://c.example/debian-security", "/usr/share/keyrings/debian-archive-keyring.gpg")),
    ("bookworm-backports", ("http://d.example/debian", None)),
    ("trixie", None),
])
def test_the_source_serving_a_suite(apt, suite, served):
    if served is None:
        with pytest.raises(ToolingError, match="no configured Debian source serves trixie"):
            apt_sources.serving(suite, apt)
    else:
        assert apt_sources.serving(suite, apt) == served
