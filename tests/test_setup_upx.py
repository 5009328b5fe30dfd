"""setup_upx: "upx.exe" in the workspace, downloaded and extracted when absent; failures mean False."""

import hashlib
import os
import sys
import urllib.error
import urllib.parse
import zipfile

import pytest

from conftest import Proxy
from fakes import Download, make_zip
from pipeline_fakes import UPX_DIGEST, sha256

UPX_PATH = "/upx/upx/releases/download/v4.2.2/upx-4.2.2-win64.zip"
RELEASE = {"upx-4.2.2-win64/README": b"readme", "upx-4.2.2-win64/upx.exe": b"MZ" + b"\x90" * 50_000}
# The official upx-4.2.2-win64.zip, as public package manifests record it.
OFFICIAL = "7c69b92ff2b7fb8122609312eb0a6695c9e4b88a6c784a86c92e3b7ef583281f"


@pytest.fixture
def workspace(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    monkeypatch.delenv(UPX_DIGEST, raising=False)
    (tmp_path / "served").mkdir()
    return tmp_path


def serve(tqv, workspace, members, monkeypatch):
    """The download answered with an archive of `members`, which TQ_VELMOR_UPX_SHA256 names."""
    archive = make_zip(workspace / "served/upx.zip", members)
    monkeypatch.setenv(UPX_DIGEST, sha256(archive))
    return Download(tqv, archive)


def test_present_exe_is_taken_as_it_is(tqv, workspace, monkeypatch):
    (workspace / "upx.exe").write_bytes(b"partial")
    download = serve(tqv, workspace, RELEASE, monkeypatch)
    assert tqv.setup_upx() is True
    assert download.requests == [] and (workspace / "upx.exe").read_bytes() == b"partial"


@pytest.mark.parametrize("members, extracted", [
    (RELEASE, RELEASE["upx-4.2.2-win64/upx.exe"]),
    ({"a/upx.exe": b"first", "b/upx.exe": b"second"}, b"first"),
    ({"README": b"", "notupx.exe": b"suffix"}, b"suffix"),  # the suffix test is on the whole name
], ids=["release", "two matches", "longer name"])
def test_downloads_and_extracts_the_first_match(tqv, workspace, monkeypatch, members, extracted):
    download = serve(tqv, workspace, members, monkeypatch)
    assert tqv.setup_upx() is True
    [(url, filename)] = download.requests
    parts = urllib.parse.urlsplit(url)
    assert (parts.scheme, parts.path, filename) == ("https", UPX_PATH, "upx.zip")
    assert sorted(os.listdir()) == ["served", "upx.exe"]
    assert (workspace / "upx.exe").read_bytes() == extracted


@pytest.mark.parametrize("named, served, accepted", [
    (None, "built here", False),  # only the official archive, unless the variable names another
    (" \t", "built here", False),  # blank is unset
    (None, "official", True),
    ("{digest}", "one byte changed", False),
    ("  {DIGEST}\n", "built here", True),
], ids=["unset", "blank", "official", "one byte changed", "named in capitals"])
def test_only_the_archive_with_the_expected_digest_is_extracted(tqv, workspace, monkeypatch, named, served,
                                                                accepted):
    archive = make_zip(workspace / "served/upx.zip", RELEASE)
    digest = sha256(archive)
    if named is not None:
        monkeypatch.setenv(UPX_DIGEST, named.format(digest=digest, DIGEST=digest.upper()))
    if served == "one byte changed":
        data = bytearray(archive.read_bytes())
        data[data.index(b"readme")] ^= 0x20  # "Readme": a member never read, so the archive stays good
        archive.write_bytes(data)
    Download(tqv, archive)
    # hashlib as the module imports it when it checks: the files it was handed are kept, and the
    # "official" archive is one whose digest it reports as the official one.
    hashed = []

    def file_digest(f, algorithm):
        hashed.append((f, algorithm))
        real = hashlib.file_digest(f, algorithm)
        return Proxy(real, hexdigest=lambda: OFFICIAL) if served == "official" else real

    monkeypatch.setitem(sys.modules, "hashlib", Proxy(hashlib, file_digest=file_digest))
    opened = []

    class Archive(zipfile.ZipFile):
        def __init__(self, file, *args, **kwargs):
            opened.append(file)
            super().__init__(file, *args, **kwargs)

    tqv.zipfile = Proxy(zipfile, ZipFile=Archive)

    assert tqv.setup_upx() is accepted
    assert [(f.name, f.mode, f.closed, name) for f, name in hashed] == [("upx.zip", "rb", True, "sha256")]
    assert "hashlib" not in vars(tqv)
    if accepted:
        assert sorted(os.listdir()) == ["served", "upx.exe"]
        assert (workspace / "upx.exe").read_bytes() == RELEASE["upx-4.2.2-win64/upx.exe"]
    else:  # the archive is never opened, so no "upx.exe" is ever written
        assert opened == [] and sorted(os.listdir()) == ["served", "upx.zip"]


@pytest.mark.parametrize("members", [{"UPX.EXE": b"MZ"}, {"upx.exe.sig": b""}, {}], ids=["upper case", "other suffix", "empty"])
def test_archive_without_upx_is_a_failure(tqv, workspace, monkeypatch, members):
    serve(tqv, workspace, members, monkeypatch)
    assert tqv.setup_upx() is False
    assert sorted(os.listdir()) == ["served"]  # "upx.zip" removed all the same


@pytest.mark.parametrize("download, left", [
    (lambda tqv, ws: Download(tqv, error=KeyboardInterrupt()), []),
    (lambda tqv, ws: Download(tqv, error=urllib.error.URLError("no network")), []),
    (lambda tqv, ws: Download(tqv, ws / "served/upx.zip"), ["upx.zip"]),  # not a ZIP archive
], ids=["interrupt", "no network", "not an archive"])
def test_download_failures(tqv, workspace, monkeypatch, download, left):
    (workspace / "served/upx.zip").write_bytes(b"<html>rate limited</html>")
    monkeypatch.setenv(UPX_DIGEST, sha256(workspace / "served/upx.zip"))
    download(tqv, workspace)
    assert tqv.setup_upx() is False
    assert sorted(os.listdir()) == ["served"] + left


def corrupt_member(tqv, workspace):
    archive = make_zip(workspace / "served/upx.zip", RELEASE)
    data = bytearray(archive.read_bytes())
    data[data.index(b"\x90" * 100)] ^= 1  # the CRC check fails when the member is read
    archive.write_bytes(data)


def interrupted_read(tqv, workspace):
    class Archive(zipfile.ZipFile):
        def read(self, name):
            raise KeyboardInterrupt

    tqv.zipfile = Proxy(zipfile, ZipFile=Archive)


def full_disk(tqv, workspace):
    if not os.path.exists("/dev/full"):
        pytest.skip("needs /dev/full")
    # "upx.exe" leads to a device that refuses every write; the existence test is told it is absent.
    os.symlink("/dev/full", "upx.exe")
    tqv.os = Proxy(os, path=Proxy(os.path, exists=lambda p: p != "upx.exe" and os.path.exists(p)))


@pytest.mark.parametrize("fault", [corrupt_member, interrupted_read, pytest.param(full_disk, marks=pytest.mark.skipif(
    os.name == "nt", reason="Windows has no device that refuses writes; Wine shows the host's /dev/full as "
    "C:\\dev\\full, but os.symlink makes no link to it"))])
def test_failed_extraction_leaves_no_exe(tqv, workspace, monkeypatch, fault):
    serve(tqv, workspace, RELEASE, monkeypatch)
    fault(tqv, workspace)
    monkeypatch.setenv(UPX_DIGEST, sha256(workspace / "served/upx.zip"))  # the archive as the fault left it
    assert tqv.setup_upx() is False
    assert sorted(os.listdir()) == ["served", "upx.zip"]  # no partial "upx.exe", not even a link


@pytest.mark.parametrize("error", [PermissionError(13, "in use"), KeyboardInterrupt()])
def test_archive_that_cannot_be_removed(tqv, workspace, monkeypatch, error):
    def remove(path):
        raise error

    serve(tqv, workspace, RELEASE, monkeypatch)
    tqv.os = Proxy(os, remove=remove)
    assert tqv.setup_upx() is True
    assert sorted(os.listdir()) == ["served", "upx.exe", "upx.zip"]


@pytest.mark.parametrize("name", ["setup_upx", "cleanup"])
def test_existence_test_is_unprotected(tqv, workspace, name):
    # The catch-alls cover the download and the removals, not the existence tests before them.
    def exists(path):
        raise KeyboardInterrupt

    tqv.os = Proxy(os, path=Proxy(os.path, exists=exists))
    with pytest.raises(KeyboardInterrupt):
        getattr(tqv, name)()
