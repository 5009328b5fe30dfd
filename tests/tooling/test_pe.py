"""The PE checksum, the padding and the signature that comes off exactly (tooling/pe.py), on a
PE file of headers alone built here (a pattern after them)."""

import struct

import pytest
from fakes import tiny_pe

from tooling import pe


def reference_checksum(data, checksum_at):
    """The PE checksum as the format defines it: the 16-bit little-endian words (the field read as
    zero, an odd last byte as a word) summed with end-around carry, plus the file's length."""
    words = bytearray(data)
    words[checksum_at:checksum_at + 4] = bytes(4)
    words += bytes(len(words) % 2)
    total = 0
    for (word,) in struct.iter_unpack("<H", words):
        total += word
        total = (total & 0xFFFF) + (total >> 16)
    return total + len(data)


def signed(prepared, size=40):
    """`prepared` with a certificate table of `size` bytes appended, as a signer appends it."""
    data = bytearray(prepared + b"\x30" * size)
    struct.pack_into("<II", data, pe.layout(prepared).security_at, len(prepared), size)
    return bytes(data)


def misaligned(prepared):
    """A certificate table entry 4 bytes past the end of `prepared`, where no signer puts one."""
    data = bytearray(prepared + bytes(44))
    struct.pack_into("<II", data, pe.layout(prepared).security_at, len(prepared) + 4, 40)
    return bytes(data)


@pytest.mark.parametrize("size", [0x400, 0x401, 0x402, 0x407, 0x5A3])
def test_prepare_pads_with_zeros_and_writes_only_the_checksum(size):
    data = tiny_pe(size=size)
    where = pe.layout(data)
    fixed = pe.prepared(data)
    assert len(fixed) % 8 == 0 and len(fixed) - len(data) < 8 and fixed[len(data):] == bytes(len(fixed) - len(data))
    assert pe.stored_checksum(fixed) == pe.checksum(fixed) == reference_checksum(fixed, where.checksum_at)
    field = slice(where.checksum_at, where.checksum_at + 4)
    assert fixed[:field.start] + fixed[field.stop:len(data)] == data[:field.start] + data[field.stop:]
    assert pe.prepared(fixed) == fixed


def test_prepare_in_place_says_whether_it_changed_the_file(tmp_path):
    path = tmp_path / "m.pyd"
    path.write_bytes(tiny_pe(size=0x401))
    path.chmod(0o751)
    assert pe.prepare(path) is True
    assert pe.prepare(path) is False
    assert path.read_bytes() == pe.prepared(tiny_pe(size=0x401)) and path.stat().st_mode & 0o777 == 0o751
    assert [p.name for p in tmp_path.iterdir()] == ["m.pyd"]


@pytest.mark.parametrize("size", [0x400, 0x5A3])
def test_a_signature_comes_off_to_the_prepared_bytes(size):
    prepared = pe.prepared(tiny_pe(size=size))
    with_signature = signed(prepared)
    assert pe.signature_entry(with_signature) == (len(prepared), 40)
    assert pe.unsigned(with_signature) == prepared


@pytest.mark.parametrize("change, message", [
    (lambda data: data, "not signed"),
    (lambda data: signed(data) + b"more", "data was added after the signature"),
    (lambda data: signed(data)[:-1], "does not end the file"),
    (misaligned, "is not a signature's"),
    (lambda data: b"\x7fELF" + data[4:], "no MZ header"),
])
def test_unsigned_refuses_what_is_no_removable_signature(change, message):
    with pytest.raises(pe.PEError, match=message):
        pe.unsigned(change(pe.prepared(tiny_pe(size=0x400))))


def test_a_signed_file_is_not_prepared_again():
    with pytest.raises(pe.PEError, match="already signed"):
        pe.prepared(signed(pe.prepared(tiny_pe(size=0x400))))
