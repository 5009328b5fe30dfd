"""The signing settings the release takes from its environment, and those it refuses in one line
that shows no password (release/sign.py); the PKCS#12 files are made here by openssl."""

import shutil
import types

import pytest

from release import sign
from stages import signing_check

PASSWORD = "una contraseña de prueba"
WRONG = "otra contraseña"


pytestmark = pytest.mark.skipif(not shutil.which("openssl"), reason="the PKCS#12 files come from the openssl command")


@pytest.fixture(scope="module")
def keys(tmp_path_factory):
    folder = tmp_path_factory.mktemp("keys")
    key, cert = signing_check.certificate(folder, signing_check.SUBJECT, "codeSigning")
    other_key = folder / "other.key"
    signing_check.openssl("genrsa", "-out", str(other_key), "2048")
    made = {name: signing_check.pkcs12(folder, f"{name}.p12", PASSWORD, *contents) for name, contents in {
        "good": ("-inkey", str(key), "-in", str(cert)),
        "keyless": ("-nokeys", "-in", str(cert)),
        "certless": ("-nocerts", "-inkey", str(key)),
        "mismatched": ("-nocerts", "-inkey", str(other_key), "-certfile", str(cert)),
    }.items()}
    # A clone of the repository, whose files a release must not take its key from.
    clone = folder / "tq_velmor"
    clone.mkdir()
    shutil.copyfile(made["good"], clone / "cert.p12")
    return types.SimpleNamespace(cert=cert, missing=folder / "missing.p12", clone=clone, inside=clone / "cert.p12",
                                 **made)


def given(keys, **changes):
    return {sign.PKCS12: str(keys.good), sign.PASSWORD: PASSWORD, **changes}


@pytest.mark.parametrize("environ, expected", [
    (lambda keys: {sign.PKCS12: str(keys.good)}, sign.PASSWORD),
    (lambda keys: {sign.PASSWORD: PASSWORD}, sign.PKCS12),
    (lambda keys: given(keys, **{sign.PASSWORD: WRONG}), "wrong password"),
    (lambda keys: given(keys, **{sign.PKCS12: str(keys.cert)}), "not a PKCS#12 file"),
    (lambda keys: given(keys, **{sign.PKCS12: str(keys.missing)}), "cannot read"),
    (lambda keys: given(keys, **{sign.PKCS12: str(keys.keyless)}), "holds no private key"),
    (lambda keys: given(keys, **{sign.PKCS12: str(keys.certless)}), "holds no certificate"),
    (lambda keys: given(keys, **{sign.PKCS12: str(keys.mismatched)}), "no certificate for its private key"),
    (lambda keys: given(keys, **{sign.TIMESTAMP_URL: "ftp://127.0.0.1/"}), sign.TIMESTAMP_URL),
    (lambda keys: given(keys, **{sign.TIMESTAMP_URL: "https:///no-host"}), sign.TIMESTAMP_URL),
    (lambda keys: given(keys, **{sign.PKCS12: str(keys.inside)}), "inside the checkout"),
])
def test_a_wrong_or_half_given_setting_is_refused_in_one_line_without_the_password(keys, environ, expected):
    with pytest.raises(sign.SigningError) as refusal:
        sign.settings(environ(keys), outside=keys.clone)
    message = str(refusal.value)
    assert expected in message and "\n" not in message
    assert PASSWORD not in message and WRONG not in message


def test_good_settings_are_taken_and_keep_the_password_out_of_sight(keys):
    # The key in the clone's parent folder, beside it.
    settings = sign.settings(given(keys, **{sign.TIMESTAMP_URL: "http://127.0.0.1:9/tsa"}), outside=keys.clone)
    assert (settings.pkcs12, settings.password, settings.timestamp_url) == (keys.good, PASSWORD,
                                                                            "http://127.0.0.1:9/tsa")
    assert PASSWORD not in repr(settings)


@pytest.mark.parametrize("environ", [{}, {sign.PKCS12: "", sign.PASSWORD: ""}, {sign.TIMESTAMP_URL: ""}])
def test_no_certificate_named_means_no_signature(environ):
    assert sign.settings(environ) is None
