"""A code host that fails the source download: a small HTTPS proxy of our own, standard library only.

The build finds it as it finds the other one (HTTPS_PROXY, SSL_CERT_FILE). Only CONNECT to
github.com:443 is taken, behind a throwaway authority and a certificate for github.com that the
openssl command makes for each run; every other CONNECT is refused, as a build that meets a
source fault stops before pip. One request per connection. The UPX archive's URL gets the
archive; the source archive's URL gets the fault currently set:

  short   Content-Length promises the archive, about half of it comes, then the connection closes
  html    200 with a small HTML page in its place (a captive portal)
  500     status 500
  reset   about half of the archive, then the connection reset (TCP RST)

(mitmproxy answers whole responses only: neither a body cut short nor a reset.)
"""

import socket
import socketserver
import ssl
import struct
import subprocess
import threading
import time

from .proxy import CODE_HOST

FAULTS = ("short", "html", "500", "reset")
PORTAL = (b"<!DOCTYPE html>\n<html><head><title>Wi-Fi</title></head>\n"
          b"<body><h1>Bienvenido</h1><p>Acepte las condiciones para navegar.</p></body></html>\n")


def _openssl(*args, cwd):
    subprocess.run(["openssl", *args], cwd=cwd, check=True, stdin=subprocess.DEVNULL, capture_output=True)


def make_certificates(folder):
    """A throwaway authority (authority.pem) and github.com's key and certificate signed by it
    (host.key, host.pem), in `folder`."""
    folder.mkdir(parents=True, exist_ok=True)
    curve = ["-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes"]
    _openssl("req", "-x509", *curve, "-keyout", "authority.key", "-out", "authority.pem", "-days", "2",
             "-subj", "/CN=tq_velmor fault host authority", "-addext", "basicConstraints=critical,CA:TRUE",
             "-addext", "keyUsage=critical,keyCertSign,cRLSign", cwd=folder)
    _openssl("req", "-new", *curve, "-keyout", "host.key", "-out", "host.csr", "-subj", f"/CN={CODE_HOST}", cwd=folder)
    (folder / "host.ext").write_text(f"subjectAltName=DNS:{CODE_HOST}\nbasicConstraints=critical,CA:FALSE\n"
                                     "keyUsage=critical,digitalSignature\nextendedKeyUsage=serverAuth\n")
    _openssl("x509", "-req", "-in", "host.csr", "-CA", "authority.pem", "-CAkey", "authority.key",
             "-CAcreateserial", "-days", "2", "-extfile", "host.ext", "-out", "host.pem", cwd=folder)
    return folder / "authority.pem"


class FaultHost:
    """The proxy on a free loopback port; `fault` (of FAULTS) says how the source download fails."""

    def __init__(self, folder, answers, source_url, upx_url):
        self.authority = make_certificates(folder)
        self.context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
        self.context.load_cert_chain(folder / "host.pem", folder / "host.key")
        self.source = answers[source_url][0].read_bytes()
        self.upx = answers[upx_url][0].read_bytes()
        self.source_path, self.upx_path = source_url.split(CODE_HOST, 1)[1], upx_url.split(CODE_HOST, 1)[1]
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
        if request[:2] != ["CONNECT", f"{CODE_HOST}:443"]:
            self.note(f"refused: {' '.join(request[:2])}")
            handler.wfile.write(b"HTTP/1.1 403 Forbidden\r\nContent-Length: 0\r\nConnection: close\r\n\r\n")
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
            self._answer(tls, line[1] if len(line) > 1 else "")

    def _answer(self, tls, path):
        fault = self.fault
        if path == self.upx_path:
            self.note(f"GET {path}: the UPX archive, {len(self.upx):,} bytes")
            tls.sendall(_head(200, "OK", "application/zip", len(self.upx)) + self.upx)
        elif path != self.source_path:
            self.note(f"GET {path}: 404")
            tls.sendall(_head(404, "Not Found", "text/plain", 0))
        elif fault == "html":
            self.note(f"GET {path}: a captive portal's page, {len(PORTAL)} bytes of HTML")
            tls.sendall(_head(200, "OK", "text/html; charset=utf-8", len(PORTAL)) + PORTAL)
        elif fault == "500":
            self.note(f"GET {path}: status 500")
            body = b"Internal Server Error\n"
            tls.sendall(_head(500, "Internal Server Error", "text/plain", len(body)) + body)
        elif fault in ("short", "reset"):
            half = len(self.source) // 2
            tls.sendall(_head(200, "OK", "application/zip", len(self.source)) + self.source[:half])
            time.sleep(0.5)  # the client reads part of it first
            if fault == "reset":
                # SO_LINGER on with no time: close() sends a reset instead of the orderly end.
                tls.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
                self.note(f"GET {path}: {half:,} of {len(self.source):,} bytes promised, then a reset")
            else:
                tls.shutdown(socket.SHUT_RDWR)
                self.note(f"GET {path}: {half:,} of {len(self.source):,} bytes promised, then the end")
        else:
            raise ValueError(f"no such fault: {fault!r}")

    def close(self):
        self.server.shutdown()
        self.server.server_close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


def _head(status, reason, content_type, length):
    return (f"HTTP/1.1 {status} {reason}\r\nContent-Type: {content_type}\r\nContent-Length: {length}\r\n"
            "Connection: close\r\n\r\n").encode("ascii")
