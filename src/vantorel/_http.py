"""A small HTTP client for the vantorel cloud: plain GET requests and streamed downloads.

Only the standard library is used. Every request carries the optional token,
times out after ``timeout`` seconds of silence, and is retried a bounded
number of times with exponential back-off when the connection fails or the
server answers 429 or 5xx. Other failures, and the last failed attempt,
raise ``NetworkError``.
"""

from __future__ import annotations

import hashlib
import http.client
import os
import sys
import time
import urllib.error
import urllib.parse
import urllib.request
from collections.abc import Callable, Mapping
from dataclasses import dataclass, field
from pathlib import Path

from vantorel.exceptions import NetworkError

__all__ = ["DownloadInfo", "HttpClient"]

_RETRY_STATUS = frozenset({408, 429, 500, 502, 503, 504})
_CHUNK = 1 << 20
# Progress is shown only for downloads that take longer than this, at most once a second.
_PROGRESS_AFTER_S = 2.0

ProgressFn = Callable[[int, "int | None"], None]


@dataclass(frozen=True)
class DownloadInfo:
    """What a finished download wrote: its size, SHA-256 and the response headers (lower-case keys)."""

    path: Path
    size: int
    sha256: str
    headers: Mapping[str, str] = field(default_factory=dict)


class _Retryable(Exception):
    """A failure worth another attempt."""


class _StderrProgress:
    """Writes "downloaded / total" to standard error once a download has run for a while."""

    def __init__(self, label: str) -> None:
        self._label = label
        self._start = time.monotonic()
        self._last = 0.0
        self._shown = False

    def __call__(self, done: int, total: int | None) -> None:
        now = time.monotonic()
        if now - self._start < _PROGRESS_AFTER_S or now - self._last < 1.0:
            return
        self._last = now
        self._shown = True
        mb = done / 1e6
        text = f"{mb:.1f} MB" if not total else f"{100 * done / total:5.1f} % ({mb:.1f} / {total / 1e6:.1f} MB)"
        sys.stderr.write(f"\r{self._label}: {text}")
        sys.stderr.flush()

    def close(self) -> None:
        if self._shown:
            sys.stderr.write("\n")
            sys.stderr.flush()


class HttpClient:
    """Client of one HTTP(S) service.

    ``base_url`` is the service root (``https://host/prefix``); paths given to
    the methods are appended to it. ``token``, when given, is sent as
    ``Authorization: Bearer <token>``. ``retries`` is the number of extra
    attempts after a retryable failure, waiting ``backoff``, ``2 * backoff``,
    ... seconds between them.
    """

    def __init__(
        self,
        base_url: str,
        *,
        token: str | None = None,
        timeout: float = 30.0,
        retries: int = 3,
        backoff: float = 0.5,
    ) -> None:
        if not isinstance(base_url, str):
            raise TypeError(
                f"Argument 'base_url' has incorrect type (expected str, got {type(base_url).__name__})"
            )
        if token is not None and not isinstance(token, str):
            raise TypeError(f"Argument 'token' has incorrect type (expected str, got {type(token).__name__})")
        if retries < 0 or timeout <= 0 or backoff < 0:
            raise ValueError("retries and backoff must not be negative, timeout must be positive")
        self.base_url = base_url.rstrip("/")
        self.token = token
        self.timeout = float(timeout)
        self.retries = int(retries)
        self.backoff = float(backoff)

    def __repr__(self) -> str:
        return f"HttpClient({self.base_url!r})"

    def url(self, path: str, params: Mapping[str, object] | None = None) -> str:
        """The absolute URL of ``path`` (with query parameters)."""
        out = self.base_url + "/" + path.lstrip("/")
        if params:
            out += "?" + urllib.parse.urlencode(params)
        return out

    def is_valid(self) -> bool:
        """True when the base URL is an absolute http or https address."""
        parts = urllib.parse.urlsplit(self.base_url)
        return parts.scheme in ("http", "https") and bool(parts.netloc)

    def get(self, path: str, *, params: Mapping[str, object] | None = None) -> bytes:
        """The body of a GET request."""

        def attempt() -> bytes:
            with self._open(self.url(path, params)) as response:
                return response.read()

        return self._with_retries(attempt, path)

    def download(
        self,
        path: str,
        dest: str | os.PathLike[str],
        *,
        progress: ProgressFn | None = None,
    ) -> DownloadInfo:
        """Streams the body of ``path`` into the file ``dest`` (created or truncated).

        A body shorter than the announced Content-Length is a failed attempt.
        ``progress(done, total)`` is called as bytes arrive (total None when
        unknown); without it, downloads that take a while report to stderr.
        """
        dest = Path(dest)
        shown = progress if progress is not None else _StderrProgress(f"下载 {path}")

        def attempt() -> DownloadInfo:
            digest = hashlib.sha256()
            done = 0
            with self._open(self.url(path)) as response, open(dest, "wb") as out:
                length = response.headers.get("Content-Length")
                total = int(length) if length and length.isdigit() else None
                while True:
                    try:
                        chunk = response.read(_CHUNK)
                    except (http.client.HTTPException, OSError) as exc:
                        raise _Retryable(f"连接中断: {exc}") from exc
                    if not chunk:
                        break
                    out.write(chunk)
                    digest.update(chunk)
                    done += len(chunk)
                    shown(done, total)
                if total is not None and done != total:
                    raise _Retryable(f"数据不完整: 收到 {done} 字节, 应为 {total} 字节")
                headers = {k.lower(): v for k, v in response.headers.items()}
            return DownloadInfo(path=dest, size=done, sha256=digest.hexdigest(), headers=headers)

        try:
            return self._with_retries(attempt, path)
        finally:
            close = getattr(shown, "close", None)
            if close is not None:
                close()

    # ------------------------------------------------------------------------------------------

    def _open(self, url: str):
        request = urllib.request.Request(url, method="GET")
        if self.token:
            # Not repeated on redirects: the token is for this service, not wherever it points.
            request.add_unredirected_header("Authorization", f"Bearer {self.token}")
        try:
            return urllib.request.urlopen(request, timeout=self.timeout)  # noqa: S310 (scheme checked by callers)
        except urllib.error.HTTPError as exc:
            exc.close()
            if exc.code in _RETRY_STATUS:
                raise _Retryable(f"HTTP {exc.code}") from exc
            raise NetworkError(f"请求失败: {url} (HTTP {exc.code})") from exc
        except (urllib.error.URLError, TimeoutError, ConnectionError, http.client.HTTPException) as exc:
            raise _Retryable(str(getattr(exc, "reason", exc))) from exc

    def _with_retries(self, attempt, path: str):
        for n in range(self.retries + 1):
            try:
                return attempt()
            except _Retryable as exc:
                if n == self.retries:
                    raise NetworkError(f"请求失败: {self.url(path)} ({exc})") from exc
                time.sleep(self.backoff * (2**n))
        raise AssertionError("unreachable")
