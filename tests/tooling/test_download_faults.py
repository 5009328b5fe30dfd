"""The real build's parts that need no build: the code host's answers and failures as a client
through it sees them, tunnels to other hosts, the verdicts and table of the faults, what the stage
reads of the program's lines, and the lock recipe it runs by hand (stages/real_build/code_host.py,
faults.py, checks.py, steps.py)."""

import hashlib
import http.client
import shutil
import socket
import socketserver
import ssl
import threading
import types
import urllib.error
import urllib.request

import pytest

from stages.real_build import checks, code_host, faults, report, steps
from tq_velmor_host import environment
from tq_velmor_host.texts import ENGLISH, SPANISH

SOURCE_URL = "https://github.com/yt-dlp/yt-dlp/archive/refs/heads/master.zip"
API_URL = "https://api.github.com/repos/yt-dlp/yt-dlp/releases/latest"
ARCHIVE = b"PK" + bytes(range(256)) * 40
RELEASE = b'{"tag_name": "2027.01.01"}'
SCREENS = "\x1b[1m[ FASE ]: Descargando...\x1b[0m\n"


@pytest.fixture(scope="module")
def host(tmp_path_factory):
    if not shutil.which("openssl"):
        pytest.skip("the code host's certificates come from the openssl command")
    folder = tmp_path_factory.mktemp("code-host")
    (folder / "master.zip").write_bytes(ARCHIVE)
    (folder / "latest.json").write_bytes(RELEASE)
    answers = {SOURCE_URL: (folder / "master.zip", hashlib.sha256(ARCHIVE).hexdigest()),
               API_URL: (folder / "latest.json", hashlib.sha256(RELEASE).hexdigest())}
    with code_host.CodeHost(code_host.make_certificates(folder / "certificates"), answers, SOURCE_URL) as host:
        yield host


def fetch(host, url, fault):
    """(status, content type, body) of a GET through the code host, as the build's urllib makes it;
    or the exception it meets."""
    host.fault = fault
    opener = urllib.request.build_opener(urllib.request.ProxyHandler({"https": host.url}),
                                         urllib.request.HTTPSHandler(context=ssl.create_default_context(
                                             cafile=str(host.bundle))))
    try:
        with opener.open(url, timeout=30) as response:
            return response.status, response.headers["Content-Type"], response.read()
    except (urllib.error.HTTPError, http.client.IncompleteRead) as failure:
        return failure


@pytest.mark.parametrize("fault, url, check", [
    (None, SOURCE_URL, lambda answer: answer == (200, "application/zip", ARCHIVE)),
    ("html", SOURCE_URL, lambda answer: answer[:2] == (200, "text/html; charset=utf-8") and b"<html>" in answer[2]),
    ("500", SOURCE_URL, lambda answer: isinstance(answer, urllib.error.HTTPError) and answer.code == 500),
    ("short", SOURCE_URL, lambda answer: isinstance(answer, http.client.IncompleteRead)
     and answer.partial == ARCHIVE[:len(ARCHIVE) // 2]),
    ("reset", SOURCE_URL, lambda answer: isinstance(answer, http.client.IncompleteRead)
     and answer.partial == ARCHIVE[:len(ARCHIVE) // 2]),
    ("500", "https://github.com/upx/upx/releases/download/v4.2.2/missing.zip",  # the fault is the source's alone
     lambda answer: isinstance(answer, urllib.error.HTTPError) and answer.code == 404),
    ("500", API_URL, lambda answer: answer == (200, "application/json", RELEASE)),
    # Answered by URL: the same path on the other name is not the same file.
    (None, API_URL.replace("api.github.com", "github.com"),
     lambda answer: isinstance(answer, urllib.error.HTTPError) and answer.code == 404),
])
def test_the_code_host_answers_and_fails_as_set(host, fault, url, check):
    answer = fetch(host, url, fault)
    assert check(answer), answer
    assert host.log[-1].startswith(f"GET {url}: ")


def connect(host, target):
    client = socket.create_connection(("127.0.0.1", int(host.url.rsplit(":", 1)[1])), timeout=10)
    client.sendall(f"CONNECT {target} HTTP/1.1\r\n\r\n".encode())
    return client


def test_other_hosts_get_an_untouched_tunnel(host):
    class Echo(socketserver.BaseRequestHandler):
        def handle(self):
            while data := self.request.recv(4096):
                self.request.sendall(data[::-1])

    with socketserver.TCPServer(("127.0.0.1", 0), Echo) as echo:
        threading.Thread(target=echo.serve_forever, daemon=True).start()
        with connect(host, f"127.0.0.1:{echo.server_address[1]}") as client:
            assert client.recv(4096).startswith(b"HTTP/1.1 200 ")
            client.sendall(b"\x16\x03\x01 any bytes")
            assert client.recv(4096) == b"\x16\x03\x01 any bytes"[::-1]
        echo.shutdown()


@pytest.mark.parametrize("target", ["objects.githubusercontent.com:443", "codeload.github.com:443", "github.com:80"])
def test_the_code_host_s_other_names_are_refused_never_tunnelled(host, target):
    with connect(host, target) as client:
        assert client.recv(4096).startswith(b"HTTP/1.1 403 ")
    assert host.log[-1] == f"refused: CONNECT {target}"


# --- the verdicts and the table ---

def earlier_run(folder, replaced=False):
    faults.prepare(folder)
    if replaced:
        (folder / "yt-dlp.exe").write_bytes(b"MZ a new one")
    return folder


@pytest.mark.parametrize("status, text, replaced, expected, problems", [
    (1, SCREENS + "ERROR CRITICO: la descarga falló\n", False, "", []),
    (0, SCREENS + "EXCELENTE\n", False, "", ["status 0, expected 1", "no failure screen"]),
    (1, SCREENS + "ERROR CRITICO: x\nTraceback (most recent call last):\n", False, "", ["a traceback"]),
    (1, SCREENS + "ERROR CRITICO: x\n", True, "", ["the earlier yt-dlp.exe was not left as it was"]),
    (1, SCREENS + "ERROR CRITICO: w.whl no coincide con l.txt\n", False, "no coincide con l.txt", []),
    (1, SCREENS + "ERROR CRITICO: <urlopen error>\n", False, "no coincide con l.txt",
     ["the failure screen does not say 'no coincide con l.txt'"]),
])
def test_a_stopping_fault_passes_only_with_its_failure_screen_and_the_earlier_executable(tmp_path, status, text,
                                                                                       replaced, expected, problems):
    fault = faults.stopping_fault("linux", "source: status 500", status, 3.0, text,
                                  earlier_run(tmp_path / "work", replaced), expected=expected)
    assert (fault.problems, fault.passed) == (problems, not problems)
    assert fault.left == ("yt-dlp.exe (new, 12 bytes, not a PyInstaller archive: Could not find COOKIE magic pattern!)"
                          if replaced else "yt-dlp.exe (the earlier one)")


@pytest.mark.parametrize("seen, status, line, problems", [
    (False, 1, "[ERROR] No se generó el EXE.", []),
    (True, 1, "[ERROR] No se generó el EXE.", ["upx.exe was written"]),
    (False, 0, "[ERROR] No se generó el EXE.", ["status 0, expected 1"]),
    (False, 1, "ERROR CRITICO: UPX", ["expected '[ERROR] No se generó el EXE.' and no failure screen"]),
])
def test_the_changed_upx_archive_passes_only_without_upx(tmp_path, seen, status, line, problems):
    fault = faults.upx_fault("linux", status, 9.0, SCREENS + line + "\n", earlier_run(tmp_path / "work"),
                             types.SimpleNamespace(seen=seen), 1, "[ERROR] No se generó el EXE.", new_exe=False)
    assert fault.problems == problems


def test_the_table_names_every_run_and_counts_those_as_expected(tmp_path):
    ran = [faults.stopping_fault("linux", title, 1, 2.0, SCREENS + "ERROR CRITICO: x\n", earlier_run(tmp_path / name))
           for name, title in faults.SOURCE_FAULTS[:2]]
    rows = faults.with_missing("linux", ran)
    assert [row.name for row in rows] == faults.RUNS["linux"]
    lines = faults.table(rows).splitlines()
    assert lines[-1] == f"download faults: 2 of {len(faults.RUNS['linux'])} ended as expected"
    body = lines[2:-1]
    assert ["NOT as expected: not run" in line for line in body] == [False] * 2 + [True] * (len(body) - 2)
    assert all(title in "\n".join(body) for title in faults.RUNS["linux"])


# --- what the stage reads of the program, and the recipe by hand ---

@pytest.mark.parametrize("texts", [ENGLISH, SPANISH])
@pytest.mark.parametrize("how", ["made", "reused", None])
def test_the_environment_line_tells_made_or_reused_and_the_seconds(texts, how):
    shown = "" if how is None else texts.environment_ready.format(how=getattr(texts, how).format(seconds=41.6),
                                                                 folder=r"C:\users\José\tq-velmor\x")
    run = report.Run()
    line = checks.environment_run(SCREENS + f" {shown}\n [ FASE ]: Compilando...\n", texts, run)
    assert (line, run.environment, run.pip_seconds) == ((shown, how, 42) if how else (None, None, None))


URL = ("https://github.com/yt-dlp/Pyinstaller-Builds/releases/download/2026.08.19.1/"
       "pyinstaller-6.22.0-py3-none-win_amd64.whl")


@pytest.mark.parametrize("pyinstaller_says, commands, failed", [
    # yt-dlp's own wheel cannot be fetched: that lock without it, then the index's same version.
    ("ERROR: HTTP error 404 while getting " + URL, [
        "-U --require-hashes -r bundle/requirements/pip.txt",
        "-U --require-hashes -r bundle/requirements/win-x64-pyinstaller.txt",
        "-U --require-hashes -r ../locks/win-x64-pyinstaller.txt",
        "--no-deps pyinstaller==6.22.0",
        "-U --require-hashes -r bundle/requirements/curl-cffi.txt"], None),
    # A file that does not match its hash stops it there.
    (f"ERROR: THESE PACKAGES {environment.HASH_MISMATCH} FILE.", [
        "-U --require-hashes -r bundle/requirements/pip.txt",
        "-U --require-hashes -r bundle/requirements/win-x64-pyinstaller.txt"], 1),
])
def test_the_recipe_installs_the_locks_in_order_with_the_build_s_fallback(tmp_path, pyinstaller_says, commands,
                                                                         failed):
    tree = tmp_path / "yt-dlp-master"
    folder = tree / "bundle" / "requirements"
    folder.mkdir(parents=True)
    for name in ("pip.txt", "curl-cffi.txt"):
        (folder / name).write_text("x==1 --hash=sha256:" + "0" * 64 + "\n")
    (folder / "win-x64-pyinstaller.txt").write_text(f"altgraph==0.17.5 \\\n    --hash=sha256:{'1' * 64}\n"
                                                    f"pyinstaller @ {URL} \\\n    --hash=sha256:{'2' * 64}\n")
    ran = []

    def run(command, in_tree, packaging, more):
        ran.append(" ".join(command[4:]))
        assert (command[:4], in_tree, packaging, more) == (["py", "-m", "pip", "install"], True, False, steps.LOCKED)
        return (1, pyinstaller_says) if command[-1].startswith("bundle/requirements/win-x64") else (0, "")

    timing = steps.Timing()
    recipe = steps.Recipe("py", tree, ("nt", "x64"), "hint", "0" * 40)
    failure = steps.install_locks(recipe, run, timing)
    assert (ran, failure and failure[0]) == (commands, failed)
    if failed is None:
        assert timing.pyinstaller_from_index == pyinstaller_says
        copy = (tmp_path / "locks" / "win-x64-pyinstaller.txt").read_text().split()
        assert copy == ["altgraph==0.17.5", f"--hash=sha256:{'1' * 64}"]
