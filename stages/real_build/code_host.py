"""mitmproxy addon: the code host's two downloads answered from local archives, nothing forwarded.

  mitmdump -s code_host.py --set code_host_files=URL=FILE=SHA256,URL=FILE=SHA256 ...

Each archive is read once and checked against its SHA-256 when the addon loads; a mismatch
stops the proxy before it serves anything. A request for one of those URLs gets that archive;
any other request that reaches this addon (only the code host's traffic is intercepted: the
stage sets allow_hosts) gets 404 from the proxy itself. Responses are made here, in the
request hook, so with connection_strategy=lazy and upstream_cert=false no connection to the
code host is ever opened.
"""

import hashlib
import logging

from mitmproxy import ctx, http

log = logging.getLogger("code_host")


class CodeHost:
    def __init__(self):
        self.answers = {}  # URL -> archive bytes

    def load(self, loader):
        loader.add_option("code_host_files", str, "", "URL=FILE=SHA256 entries, comma-separated")

    def configure(self, updated):
        if "code_host_files" not in updated:
            return
        self.answers = {}
        for entry in filter(None, ctx.options.code_host_files.split(",")):
            url, path, expected = entry.rsplit("=", 2)
            with open(path, "rb") as f:
                data = f.read()
            digest = hashlib.sha256(data).hexdigest()
            if digest != expected.lower():
                raise ValueError(f"{path}: sha256 {digest}, expected {expected}: not served")
            self.answers[url] = data
            log.warning(f"code host: {url} answered with {path} ({len(data):,} bytes, sha256 matches)")

    def request(self, flow: http.HTTPFlow):
        url = flow.request.pretty_url
        data = self.answers.get(url)
        if data is None:
            log.warning(f"code host: {flow.request.method} {url} not served here: 404")
            flow.response = http.Response.make(404, b"not served by the local code host\n",
                                               {"Content-Type": "text/plain"})
            return
        log.warning(f"code host: {flow.request.method} {url}: {len(data):,} bytes")
        flow.response = http.Response.make(200, data, {"Content-Type": "application/zip"})


addons = [CodeHost()]
