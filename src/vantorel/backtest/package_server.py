"""A sample prepared-data package and a local HTTP server that serves it.

``build_package`` runs the real builder against a data-service client (the
synthetic one by default), writes the payload with the store's ``write`` and
archives the store directory as a gzip-compressed tar file whose files sit in
one top directory, ``enviroment_data/`` (the layout ``_pkg`` unpacks).

``PackageServer`` serves those bytes at ``_pkg.PACKAGE_PATH`` on 127.0.0.1
(an ephemeral port), with ``Content-Length`` and the ``X-Checksum-Sha256``
header, from a background thread. Its ``client()`` is an ``HttpClient``
pointed at it. Knobs for tests: ``failures`` answers that many requests with
503 first; ``truncate`` sends only that many bytes of the body;
``checksum=False`` leaves the header out; ``checksum`` set to a text sends
that text instead of the real digest.
"""

from __future__ import annotations

import hashlib
import io
import tarfile
import tempfile
import threading
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from pathlib import Path
from typing import Any

from vantorel import singleton
from vantorel._http import HttpClient
from vantorel.backtest._pkg import CHECKSUM_HEADER, PACKAGE_PATH

__all__ = ["PackageServer", "archive_store", "build_package"]

TOP_DIR = "enviroment_data"


def archive_store(store_dir: str | Path, top_dir: str = TOP_DIR) -> bytes:
    """The files of a store directory as a .tar.gz held in memory, under ``top_dir/``."""
    buffer = io.BytesIO()
    with tarfile.open(fileobj=buffer, mode="w:gz", compresslevel=1) as tar:
        for path in sorted(Path(store_dir).iterdir()):
            tar.add(path, arcname=f"{top_dir}/{path.name}", recursive=False)
    return buffer.getvalue()


def build_package(client: Any, start_date: str, end_date: str) -> bytes:
    """A package built by GroupPreparedDataBuilder from ``client`` over [start_date, end_date]."""
    from vantorel.backtest._prepare import BinaryPreparedDataStore, GroupPreparedDataBuilder

    previous = singleton.set_instance(client)
    try:
        payload = GroupPreparedDataBuilder(start_date, end_date).build()
    finally:
        if previous is None:
            singleton.reset_instance()
        else:
            singleton.set_instance(previous)
    with tempfile.TemporaryDirectory(prefix="vantorel-package-") as tmp:
        store_dir = Path(tmp) / TOP_DIR
        BinaryPreparedDataStore(store_dir).write(payload)
        del payload
        return archive_store(store_dir)


class PackageServer:
    """Serves one package over HTTP on 127.0.0.1; use as a context manager or call start()/stop()."""

    def __init__(
        self, package: bytes, *, checksum: bool | str = True, failures: int = 0, truncate: int | None = None
    ) -> None:
        self.package = package
        self.checksum = checksum
        self.failures = failures
        self.truncate = truncate
        self.requests: list[str] = []
        self._server: ThreadingHTTPServer | None = None
        self._thread: threading.Thread | None = None

    @property
    def url(self) -> str:
        if self._server is None:
            raise RuntimeError("the package server is not running")
        host, port = self._server.server_address[:2]
        return f"http://{host}:{port}"

    def client(self, **kwargs: Any) -> HttpClient:
        """An HttpClient for this server (quick retries unless told otherwise)."""
        kwargs.setdefault("backoff", 0.01)
        kwargs.setdefault("timeout", 10.0)
        return HttpClient(self.url, **kwargs)

    def start(self) -> PackageServer:
        owner = self

        class Handler(BaseHTTPRequestHandler):
            def do_GET(self) -> None:  # noqa: N802 (the standard library's name)
                owner.requests.append(self.path)
                if self.path != PACKAGE_PATH:
                    self.send_error(404)
                    return
                if owner.failures > 0:
                    owner.failures -= 1
                    self.send_error(503)
                    return
                body = owner.package
                self.send_response(200)
                self.send_header("Content-Type", "application/gzip")
                self.send_header("Content-Length", str(len(body)))
                if owner.checksum:
                    digest = owner.checksum if isinstance(owner.checksum, str) else hashlib.sha256(body).hexdigest()
                    self.send_header(CHECKSUM_HEADER, digest)
                self.end_headers()
                self.wfile.write(body if owner.truncate is None else body[: owner.truncate])
                if owner.truncate is not None:
                    self.close_connection = True

            def log_message(self, *args: Any) -> None:
                pass

        self._server = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self._server.daemon_threads = True
        self._thread = threading.Thread(
            target=self._server.serve_forever, kwargs={"poll_interval": 0.05}, name="package-server", daemon=True
        )
        self._thread.start()
        return self

    def stop(self) -> None:
        if self._server is not None:
            self._server.shutdown()
            self._server.server_close()
            self._server = None
        if self._thread is not None:
            self._thread.join()
            self._thread = None

    def __enter__(self) -> PackageServer:
        return self.start()

    def __exit__(self, *exc: object) -> None:
        self.stop()
