"""The release's two archives held to their rules: the Windows wheel retagged and checked
(release/wheel.py), the source distribution checked (release/sdist.py)."""

import csv
import gzip
import io
import subprocess
import tarfile
import time
import zipfile

import pytest

from release import sdist, wheel
from tooling import ToolingError

DIST_INFO = "tq_velmor-1.0.0.dist-info"
MEMBERS = {
    f"{DIST_INFO}/WHEEL": b"Wheel-Version: 1.0\nGenerator: scikit-build-core\nRoot-Is-Purelib: false\n"
                          b"Tag: cp311-cp311-linux_x86_64\n",
    f"{DIST_INFO}/METADATA": b"Metadata-Version: 2.2\nName: tq-velmor\nVersion: 1.0.0\n",
    "tq_velmor-stubs/__init__.pyi": b"def main() -> int: ...\n",
    wheel.MODULE: b"MZ the module",
    "tq_velmor_host/__init__.py": b"",
    f"{DIST_INFO}/RECORD": b"",
}
EPOCH = 1796829230  # even: a zip entry's time goes in steps of two seconds


def backend_wheel(path, members=MEMBERS, date_time=(2030, 5, 6, 7, 8, 10), mode=0o664):
    """A wheel as a build backend leaves it: its members in the given order, dated and moded so."""
    with zipfile.ZipFile(path, "w") as z:
        for name, data in members.items():
            info = zipfile.ZipInfo(name, date_time=date_time)
            info.external_attr = (0o100000 | mode) << 16
            z.writestr(info, data)
    return path


def rewritten(path, change):
    """A copy of the wheel at `path` with `change(name, data)` giving each member's new bytes
    (None: left out)."""
    out = path.with_name("changed-" + path.name)
    with zipfile.ZipFile(path) as source, zipfile.ZipFile(out, "w") as z:
        for info in source.infolist():
            data = change(info.filename, source.read(info))
            if data is not None:
                z.writestr(info, data)
    return out


@pytest.mark.parametrize("epoch, expected_date", [
    (EPOCH, time.gmtime(EPOCH)[:6]),
    (0, (1980, 1, 1, 0, 0, 0)),  # before zip's first date
])
def test_retag_gives_the_win_amd64_wheel_that_check_passes(tmp_path, epoch, expected_date):
    built = backend_wheel(tmp_path / "tq_velmor-1.0.0-cp311-cp311-linux_x86_64.whl")
    (tmp_path / "out").mkdir()
    retagged = wheel.retag(built, tmp_path / "out", replace={wheel.MODULE: b"MZ prepared"}, epoch=epoch)
    assert retagged.name == "tq_velmor-1.0.0-cp311-cp311-win_amd64.whl"
    assert wheel.check(retagged) == (len(MEMBERS), ["Tag: cp311-cp311-win_amd64"])
    with zipfile.ZipFile(retagged) as z:
        infos = z.infolist()
        assert z.read(wheel.MODULE) == b"MZ prepared"
    names = [info.filename for info in infos]
    packages = sorted(name for name in MEMBERS if not name.startswith(DIST_INFO))
    assert names == packages + sorted(set(MEMBERS) - set(packages) - {f"{DIST_INFO}/RECORD"}) + [f"{DIST_INFO}/RECORD"]
    assert {(info.date_time, info.external_attr >> 16) for info in infos} == {(expected_date, 0o100644)}


def test_retag_depends_on_the_contents_alone(tmp_path):
    first = backend_wheel(tmp_path / "a.whl")
    second = backend_wheel(tmp_path / "b.whl", dict(reversed(MEMBERS.items())), (2031, 1, 2, 3, 4, 6), 0o600)
    made = []
    for name, built in (("a", first), ("b", second)):
        (tmp_path / name).mkdir()
        made.append(wheel.retag(built, tmp_path / name, epoch=EPOCH).read_bytes())
    assert made[0] == made[1]


@pytest.mark.parametrize("members, message", [
    ({**MEMBERS, "tq_velmor.cpython-311-x86_64-linux-gnu.so": b"\x7fELF"}, "does not hold"),
    ({name: data for name, data in MEMBERS.items() if name != wheel.MODULE}, "does not hold"),
])
def test_retag_refuses_a_wheel_without_the_windows_module_alone(tmp_path, members, message):
    built = backend_wheel(tmp_path / "w.whl", members)
    with pytest.raises(ToolingError, match=message):
        wheel.retag(built, tmp_path, epoch=EPOCH)


def test_retag_refuses_to_replace_what_the_wheel_lacks(tmp_path):
    with pytest.raises(ToolingError, match="holds no"):
        wheel.retag(backend_wheel(tmp_path / "w.whl"), tmp_path, replace={"tq_velmor_host/extra.py": b""})


def wrong_record(field, value):
    """A change to the RECORD line of the module: its hash or its size made `value`."""
    def change(name, data):
        if not name.endswith("/RECORD"):
            return data
        rows = list(csv.reader(io.StringIO(data.decode())))
        for row in rows:
            if row[0] == wheel.MODULE:
                row[field] = value
        text = io.StringIO()
        csv.writer(text, lineterminator="\n").writerows(rows)
        return text.getvalue().encode()
    return change


@pytest.mark.parametrize("change, message", [
    (wrong_record(1, wheel.record_hash(b"other bytes")), f"{wheel.MODULE} does not match its RECORD line"),
    (wrong_record(2, "3"), f"{wheel.MODULE} does not match its RECORD line"),
    (lambda name, data: data + b"!" if name == wheel.MODULE else data, f"{wheel.MODULE} does not match"),
    (lambda name, data: None if name == "tq_velmor_host/__init__.py" else data, "RECORD and archive differ"),
    (lambda name, data: None if name.endswith("/RECORD") else data, "0 RECORD files"),
])
def test_check_refuses_a_wheel_whose_record_lies(tmp_path, change, message):
    (tmp_path / "out").mkdir()
    good = wheel.retag(backend_wheel(tmp_path / "w.whl"), tmp_path / "out", epoch=EPOCH)
    with pytest.raises(ToolingError, match=message):
        wheel.check(rewritten(good, change))


# --- the source distribution ---

TOP = "tq_velmor-1.0.0"


def committed_files():
    listed = subprocess.run(["git", "-C", str(sdist.ROOT), "ls-files", "-z"], check=True, capture_output=True,
                            text=True).stdout
    return sorted(name for name in listed.split("\0") if name)


def source_distribution(path, change=lambda info: info, names=None, gzip_mtime=EPOCH, pkg_info=None):
    """A tar.gz as the backend writes it from the committed files (each member empty), with
    `change` applied to each member's header."""
    pkg_info = pkg_info or b"Metadata-Version: 2.4\nName: tq-velmor\nLicense-Expression: MIT\n"
    members = [(f"{TOP}/{name}", b"") for name in (committed_files() if names is None else names)]
    members.append((f"{TOP}/PKG-INFO", pkg_info))
    raw = io.BytesIO()
    with tarfile.open(fileobj=raw, mode="w", format=tarfile.PAX_FORMAT) as tar:
        for name, data in members:
            info = tarfile.TarInfo(name)
            info.size, info.mtime, info.mode = len(data), EPOCH, 0o644
            tar.addfile(change(info), io.BytesIO(data))
    path.write_bytes(gzip.compress(raw.getvalue(), mtime=gzip_mtime))
    return path


def test_sdist_check_passes_the_committed_files_dated_the_commit(tmp_path):
    made = source_distribution(tmp_path / f"{TOP}.tar.gz")
    assert sdist.check(made, EPOCH) == len(committed_files()) + 1


def one_member(**fields):
    def change(info):
        if info.name == f"{TOP}/LICENSE":
            for key, value in fields.items():
                setattr(info, key, value)
        return info
    return change


@pytest.mark.parametrize("arguments, message", [
    ({"gzip_mtime": EPOCH + 1}, f"gzip header dated {EPOCH + 1}"),
    ({"change": one_member(mtime=EPOCH - 60)}, f"LICENSE: mtime {EPOCH - 60}"),
    ({"change": one_member(uid=1000, uname="builder")}, "owner 1000:0 'builder'"),
    ({"change": one_member(mode=0o664)}, "mode 664"),
    ({"names": list(reversed(committed_files()))}, "not in name order"),
    ({"names": committed_files() + ["zz-local-notes.txt"]}, "extra ['tq_velmor-1.0.0/zz-local-notes.txt']"),
    ({"names": committed_files()[1:]}, f"missing ['{TOP}/{committed_files()[0]}']"),
    ({"pkg_info": b"Metadata-Version: 2.4\nName: tq-velmor\nLicense: MIT\n"}, "no License-Expression: MIT"),
])
def test_sdist_check_refuses_what_a_rebuild_would_not_give_again(tmp_path, arguments, message):
    made = source_distribution(tmp_path / f"{TOP}.tar.gz", **arguments)
    with pytest.raises(ToolingError) as refusal:
        sdist.check(made, EPOCH)
    assert message in str(refusal.value)
