"""A tiny HTTP server on 127.0.0.1 that answers oddly.

The first path segment picks the behaviour (``/garbage/backtest/...``):

pkg          a valid data package (the template store) with its checksum header
garbage      200 with random bytes; empty: 200 with no body
short        a Content-Length longer than the body, then the connection closes
404/403/500  that status; slow: waits 3 s before answering
badsum       a valid package under a wrong checksum header
close        closes the connection without answering; badstatus: an unparsable status line
redirect     redirects to itself; huge-length: announces 10**11 bytes and sends 3
tar-evil     a package whose member leaves the directory; tar-nometa: a package without metadata
gzip-bad     a gzip header followed by garbage; chunked-bad: a broken chunked body
"""

from __future__ import annotations

import hashlib
import io
import os
import tarfile
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from pathlib import Path


def _tar(members: dict[str, bytes], evil: bool = False) -> bytes:
    buffer = io.BytesIO()
    with tarfile.open(fileobj=buffer, mode="w:gz") as tar:
        for name, data in members.items():
            info = tarfile.TarInfo(name)
            info.size = len(data)
            tar.addfile(info, io.BytesIO(data))
        if evil:
            info = tarfile.TarInfo("enviroment_data/link")
            info.type = tarfile.SYMTYPE
            info.linkname = "/etc/passwd"
            tar.addfile(info)
            info = tarfile.TarInfo("../escape.bin")
            info.size = 1
            tar.addfile(info, io.BytesIO(b"x"))
    return buffer.getvalue()


def start_server(store_dir: Path) -> ThreadingHTTPServer:
    from vantorel.backtest.package_server import archive_store

    package = archive_store(store_dir)
    bodies = {
        "pkg": package,
        "badsum": package,
        "garbage": os.urandom(2000),
        "tar-evil": _tar({"enviroment_data/metadata.pkl": b"x"}, evil=True),
        "tar-nometa": _tar({"enviroment_data/readme.txt": b"nothing here"}),
        "gzip-bad": b"\x1f\x8b\x08\x00" + os.urandom(500),
    }

    class Handler(BaseHTTPRequestHandler):
        protocol_version = "HTTP/1.1"

        def log_message(self, *args):  # quiet
            pass

        def do_GET(self):  # noqa: N802
            mode = self.path.lstrip("/").split("/", 1)[0]
            if mode in ("404", "403", "500"):
                self.send_response(int(mode))
                self.send_header("Content-Length", "0")
                self.end_headers()
            elif mode == "slow":
                time.sleep(3)
                self._send(b"late")
            elif mode == "short":
                self.send_response(200)
                self.send_header("Content-Length", "1000")
                self.end_headers()
                self.wfile.write(b"0123456789")
                self.close_connection = True
            elif mode == "close":
                self.close_connection = True
            elif mode == "badstatus":
                self.wfile.write(b"HTTP/1.1 9x9 ???\r\n\r\n")
                self.close_connection = True
            elif mode == "redirect":
                self.send_response(302)
                self.send_header("Location", self.path)
                self.send_header("Content-Length", "0")
                self.end_headers()
            elif mode == "huge-length":
                self.send_response(200)
                self.send_header("Content-Length", str(10**11))
                self.end_headers()
                self.wfile.write(b"abc")
                self.close_connection = True
            elif mode == "chunked-bad":
                self.send_response(200)
                self.send_header("Transfer-Encoding", "chunked")
                self.end_headers()
                self.wfile.write(b"zz\r\nabc\r\n")
                self.close_connection = True
            elif mode == "empty":
                self._send(b"")
            else:
                body = bodies.get(mode, b"?")
                digest = hashlib.sha256(body).hexdigest() if mode != "badsum" else "0" * 64
                self._send(body, {"X-Checksum-Sha256": digest})

        def _send(self, body: bytes, headers: dict | None = None):
            self.send_response(200)
            self.send_header("Content-Length", str(len(body)))
            for k, v in (headers or {}).items():
                self.send_header(k, v)
            self.end_headers()
            self.wfile.write(body)

    server = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    server.daemon_threads = True
    threading.Thread(target=server.serve_forever, daemon=True).start()
    return server
