"""The code host the build downloads from, played by a small HTTPS proxy of our own on the
loopback address, standard library only.

The build finds it through the variables Python's urllib honours on every host: HTTPS_PROXY
names it, SSL_CERT_FILE a bundle of the system's authorities and a throwaway one that the
openssl command makes for each run, which signs the proxy's certificate for the code host's two
names (github.com, and api.github.com, which yt-dlp -U asks first). A CONNECT to either is taken,
and its one request answered from the files given, by URL, nothing forwarded (any other URL
gets 404); a CONNECT to another of the code host's names is refused; every other host (the
package index among them) gets an untouched tunnel. The source archive's URL gets the fault
currently set, if any:

  short   Content-Length promises the archive, about half of it comes, then the connection closes
  html    200 with a small HTML page in its place (a captive portal)
  500     status 500
  reset   about half of the archive, then the connection reset (TCP RST)

(mitmproxy, the well-kept one, played the code host until the faults came: it ends every
connection in order, so it cannot reset one mid-body, and it sends a response only whole.)
"""

import hashlib
import mimetypes
import selectors
import socket
import socketserver
import ssl
import struct
import subprocess
import threading
import time

from tooling import ToolingError

# The names answered here, and the domains of the code host whose other names are refused: no
# request ever reaches the real one.
INTERCEPTED = ("github.com", "api.github.com")
CODE_HOST_DOMAINS = ("github.com", "githubusercontent.com")
SYSTEM_AUTHORITIES = "/etc/ssl/certs/ca-certificates.crt"
PORTAL = (b"<!DOCTYPE html>\n<html><head><title>Wi-Fi</title></head>\n"
          b"<body><h1>Bienvenido</h1><p>Acepte las condiciones para navegar.</p></body></html>\n")


def _openssl(*args, cwd):
    subprocess.run(["openssl", *args], cwd=cwd, check=True, stdin=subprocess.DEVNULL, capture_output=True)


def make_certificates(folder):
    """A throwaway authority and the code host's key and certificate signed by it, in `folder`, with
    the bundle a build trusts (the system's authorities and that one, authorities.pem)."""
    folder.mkdir(parents=True, exist_ok=True)
    curve = ["-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes"]
    _openssl("req", "-x509", *curve, "-keyout", "authority.key", "-out", "authority.pem", "-days", "2",
             "-subj", "/CN=tq_velmor code host authority", "-addext", "basicConstraints=critical,CA:TRUE",
             "-addext", "keyUsage=critical,keyCertSign,cRLSign", cwd=folder)
    _openssl("req", "-new", *curve, "-keyout", "host.key", "-out", "host.csr", "-subj", f"/CN={INTERCEPTED[0]}",
             cwd=folder)
    names = ",".join(f"DNS:{name}" for name in INTERCEPTED)
    (folder / "host.ext").write_text(f"subjectAltName={names}\nbasicConstraints=critical,CA:FALSE\n"
                                     "keyUsage=critical,digitalSignature\nextendedKeyUsage=serverAuth\n")
    _openssl("x509", "-req", "-in", "host.csr", "-CA", "authority.pem", "-CAkey", "authority.key",
             "-CAcreateserial", "-days", "2", "-extfile", "host.ext", "-out", "host.pem", cwd=folder)
    with open(SYSTEM_AUTHORITIES, "rb") as system:
        (folder / "authorities.pem").write_bytes(system.read() + b"\n" + (folder / "authority.pem").read_bytes())
    return folder


class CodeHost:
    """The proxy on a free loopback port, answering `answers` ({URL: (file, sha256)}), each file
    checked against its digest first; `fault` (a name of faults.SOURCE_FAULTS) says how the source
    download fails. `log` has a line for each request, by URL."""

    def __init__(self, certificates, answers, source_url):
        self.bundle = certificates / "authorities.pem"
        self.context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
        self.context.load_cert_chain(certificates / "host.pem", certificates / "host.key")
        self.files = {}
        for url, (path, digest) in answers.items():
            data = path.read_bytes()
            if hashlib.sha256(data).hexdigest() != digest:
                raise ToolingError(f"{path}: not the sha256 {digest} it is to be served with")
            self.files[url] = data, mimetypes.guess_type(path.name)[0] or "application/octet-stream"
        self.source_url = source_url
        self.fault = None
        self.log, self._lock = [], threading.Lock()
        host = self

        class Handler(socketserver.StreamRequestHandler):
            def handle(self):
                host._handle(self)

        self.server = socketserver.ThreadingTCPServer(("127.0.0.1", 0), Handler)
        self.server.daemon_threads = True
        self.url = f"http://127.0.0.1:{self.server.server_address[1]}"
        self.thread = threading.Thread(target=self.server.serve_forever, daemon=True)
        self.thread.start()

    def note(self, text):
        with self._lock:
            self.log.append(text)

    def _handle(self, handler):
        request = handler.rfile.readline(8192).decode("latin-1").split()
        while handler.rfile.readline(8192) not in (b"\r\n", b"\n", b""):
            pass
        if len(request) < 2 or request[0] != "CONNECT":
            self.note(f"refused: {' '.join(request[:2])}")
            handler.wfile.write(b"HTTP/1.1 405 Method Not Allowed\r\nContent-Length: 0\r\nConnection: close\r\n\r\n")
            return
        host, _, port = request[1].rpartition(":")
        if host not in INTERCEPTED or port != "443":
            if any(host == domain or host.endswith("." + domain) for domain in CODE_HOST_DOMAINS):
                self.note(f"refused: CONNECT {request[1]}")
                handler.wfile.write(b"HTTP/1.1 403 Forbidden\r\nContent-Length: 0\r\nConnection: close\r\n\r\n")
                return
            _tunnel(handler.connection, request[1])
            return
        handler.wfile.write(b"HTTP/1.1 200 Connection established\r\n\r\n")
        handler.wfile.flush()
        try:
            tls = self.context.wrap_socket(handler.connection, server_side=True)
        except (ssl.SSLError, OSError) as failure:
            self.note(f"no TLS with the client: {failure}")
            return
        with tls:
            request = b""
            while b"\r\n\r\n" not in request and len(request) < 65536:
                chunk = tls.recv(8192)
                if not chunk:
                    break
                request += chunk
            line = request.split(b"\r\n", 1)[0].decode("latin-1").split()
            self._answer(tls, f"https://{host}{line[1] if len(line) > 1 else ''}")

    def _answer(self, tls, url):
        fault, (data, kind) = self.fault, self.files.get(url, (None, None))
        if url == self.source_url and fault is not None:
            self._fail(tls, url, fault, data)
        elif data is None:
            self.note(f"GET {url}: 404")
            tls.sendall(_head(404, "Not Found", "text/plain", 0))
        else:
            self.note(f"GET {url}: {len(data):,} bytes, sha256 {hashlib.sha256(data).hexdigest()}")
            tls.sendall(_head(200, "OK", kind, len(data)) + data)

    def _fail(self, tls, path, fault, data):
        if fault == "html":
            self.note(f"GET {path}: a captive portal's page, {len(PORTAL)} bytes of HTML")
            tls.sendall(_head(200, "OK", "text/html; charset=utf-8", len(PORTAL)) + PORTAL)
        elif fault == "500":
            self.note(f"GET {path}: status 500")
            body = b"Internal Server Error\n"
            tls.sendall(_head(500, "Internal Server Error", "text/plain", len(body)) + body)
        elif fault in ("short", "reset"):
            half = len(data) // 2
            tls.sendall(_head(200, "OK", "application/zip", len(data)) + data[:half])
            time.sleep(0.5)  # the client reads part of it first
            if fault == "reset":
                # SO_LINGER on with no time: close() sends a reset instead of the orderly end.
                tls.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
                self.note(f"GET {path}: {half:,} of {len(data):,} bytes promised, then a reset")
            else:
                tls.shutdown(socket.SHUT_RDWR)
                self.note(f"GET {path}: {half:,} of {len(data):,} bytes promised, then the end")
        else:
            raise ValueError(f"no such fault: {fault!r}")

    def close(self):
        self.server.shutdown()
        self.server.server_close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


def _tunnel(client, target):
    """The bytes of `client` and of the host at `target` (host:port) relayed both ways, untouched,
    until either side ends."""
    host, _, port = target.rpartition(":")
    try:
        upstream = socket.create_connection((host.strip("[]"), int(port)), timeout=60)
    except (OSError, ValueError) as failure:
        client.sendall(f"HTTP/1.1 502 Bad Gateway\r\nContent-Length: 0\r\nConnection: close\r\nX-Failure: "
                       f"{type(failure).__name__}\r\n\r\n".encode())
        return
    with upstream, selectors.DefaultSelector() as selector:
        upstream.settimeout(None)
        client.sendall(b"HTTP/1.1 200 Connection established\r\n\r\n")
        other = {client: upstream, upstream: client}
        for side in other:
            selector.register(side, selectors.EVENT_READ)
        while True:
            for key, _ in selector.select():
                try:
                    data = key.fileobj.recv(65536)
                    if not data:
                        return
                    other[key.fileobj].sendall(data)
                except OSError:
                    return


def _head(status, reason, content_type, length):
    return (f"HTTP/1.1 {status} {reason}\r\nContent-Type: {content_type}\r\nContent-Length: {length}\r\n"
            "Connection: close\r\n\r\n").encode("ascii")
