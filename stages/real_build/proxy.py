"""The local intercepting HTTPS proxy that plays the code host: mitmproxy, pinned, on the loopback.

The build finds it through the variables Python's urllib honours on every host: HTTPS_PROXY
names the proxy, SSL_CERT_FILE a bundle of the system's authorities and the proxy's own, whose
certificates it signs for the code host. Only the code host's connections are intercepted
(allow_hosts) and answered by code_host.py; every other host, the package index among them,
passes through as an untouched TLS tunnel.
"""

import re
import socket
import subprocess
import time
from pathlib import Path

from tooling import venvs

HERE = Path(__file__).resolve().parent
REQUIREMENTS = HERE / "proxy-requirements.txt"
ADDON = HERE / "code_host.py"
CODE_HOST = "github.com"
SYSTEM_AUTHORITIES = Path("/etc/ssl/certs/ca-certificates.crt")


class ProxyFailed(Exception):
    pass


def _free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Proxy:
    """mitmdump on a free loopback port, answering `answers` ({URL: (file, sha256)})."""

    def __init__(self, cache, folder, answers):
        python = venvs.python(REQUIREMENTS, say=lambda line: print(f"proxy: {line}", flush=True))
        self.port = _free_port()
        self.url = f"http://127.0.0.1:{self.port}"
        self.log_path = folder / "proxy.log"
        confdir = folder / "mitmproxy"
        entries = ",".join(f"{url}={path}={digest}" for url, (path, digest) in answers.items())
        command = [str(python), str(python.parent / "mitmdump"),
                   "--listen-host", "127.0.0.1", "--listen-port", str(self.port),
                   "--set", f"confdir={confdir}",  # a new authority for every run
                   "--allow-hosts", f"^{re.escape(CODE_HOST)}:443$",
                   "--set", "connection_strategy=lazy", "--set", "upstream_cert=false",
                   "--set", "termlog_verbosity=warn", "--set", "flow_detail=0",
                   "-s", str(ADDON), "--set", f"code_host_files={entries}"]
        self.log = open(self.log_path, "wb")
        self.process = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=self.log, stderr=subprocess.STDOUT)
        authority = confdir / "mitmproxy-ca-cert.pem"
        try:
            self._wait_until_listening(authority)
        except BaseException:
            self.close()
            raise
        self.bundle = folder / "authorities.pem"
        self.bundle.write_bytes(SYSTEM_AUTHORITIES.read_bytes() + b"\n" + authority.read_bytes())

    def _wait_until_listening(self, authority):
        deadline = time.monotonic() + 120
        while time.monotonic() < deadline:
            if self.process.poll() is not None:
                raise ProxyFailed(f"mitmdump ended with status {self.process.returncode}:\n{self.output()}")
            if authority.exists():
                try:
                    socket.create_connection(("127.0.0.1", self.port), timeout=1).close()
                    return
                except OSError:
                    pass
            time.sleep(0.2)
        raise ProxyFailed(f"mitmdump did not listen on port {self.port} within two minutes:\n{self.output()}")

    def output(self):
        self.log.flush()
        return self.log_path.read_text("utf-8", "replace")

    def served(self):
        """The lines in which the proxy answered a request."""
        return [line for line in self.output().splitlines() if "code host: GET" in line]

    def close(self):
        self.process.terminate()
        try:
            self.process.wait(timeout=30)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
        self.log.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
