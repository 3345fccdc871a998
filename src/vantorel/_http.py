"""A small HTTP client for the vantorel cloud: plain GET requests and streamed downloads.

Only the standard library is used. Every request carries the optional token,
times out after ``timeout`` seconds of silence, and is retried a bounded
number of times with exponential back-off when the connection fails or the
server answers 429 or 5xx. Other failures, and the last failed attempt,
raise ``NetworkError``.

A request as a whole (all its attempts and the waits between them) ends
after ``max_duration`` seconds, and an attempt whose body arrives slower than
``min_rate`` bytes a second, averaged over the last ``rate_window`` seconds,
fails, so a server that trickles bytes cannot hold a caller forever. Bodies
can be capped with ``max_bytes``.
"""

from __future__ import annotations

import contextlib
import hashlib
import http.client
import os
import time
import urllib.error
import urllib.parse
import urllib.request
from collections import deque
from collections.abc import Callable, Mapping
from dataclasses import dataclass, field
from pathlib import Path

from vantorel.exceptions import NetworkError

__all__ = ["DownloadInfo", "HttpClient"]

_RETRY_STATUS = frozenset({408, 429, 500, 502, 503, 504})
_CHUNK = 1 << 20
# A download's own progress bar appears only once it has taken longer than this.
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


@dataclass(frozen=True)
class _Deadline:
    """The moment (``time.monotonic``) a request must be over, and the limit it came from."""

    at: float
    seconds: float

    def remaining(self) -> float:
        return self.at - time.monotonic()

    def error(self, url: str) -> NetworkError:
        return NetworkError(f"请求失败: {url} (超过总时限 {self.seconds:g} 秒)")


class _Pace:
    """Tells when a transfer has been too slow: under ``min_rate`` bytes/s over the last ``window`` seconds.

    The first ``window`` seconds of a transfer are its grace period. A
    ``min_rate`` of 0 never complains.
    """

    def __init__(self, min_rate: float, window: float) -> None:
        self._min_rate = min_rate
        self._window = window
        self._samples: deque[tuple[float, int]] = deque([(time.monotonic(), 0)])

    def slow_rate(self, now: float, done: int) -> float | None:
        """The average rate over the window when it is below the minimum, otherwise None."""
        self._samples.append((now, done))
        # Keep one sample at or before the window's start: the base of the average.
        while len(self._samples) > 1 and self._samples[1][0] <= now - self._window:
            self._samples.popleft()
        since, base = self._samples[0]
        if self._min_rate <= 0 or now - since < self._window:
            return None
        rate = (done - base) / (now - since)
        return rate if rate < self._min_rate else None


def _number(name: str, value: object, kind: type, minimum: float) -> float:
    """A real number (an integer for ``kind`` int) from ``minimum`` up, finite; errors name the argument."""
    kinds = (int,) if kind is int else (int, float)
    if isinstance(value, bool) or not isinstance(value, kinds):
        expected = "int" if kind is int else "float"
        raise TypeError(f"Argument '{name}' has incorrect type (expected {expected}, got {type(value).__name__})")
    try:
        number = float(value)
    except OverflowError:  # an integer past every float
        number = float("inf")
    if not (minimum <= number < float("inf")):
        raise ValueError(f"Argument '{name}' must lie in [{minimum}, +inf), got {value!r}")
    return kind(value)


def _seconds(name: str, value: object) -> float:
    """A positive, finite duration; at most a year, so deadlines stay within the clock's range."""
    seconds = _number(name, value, float, 0.0)
    if not 0.0 < seconds <= 365 * 86400.0:
        raise ValueError(f"Argument '{name}' must lie in (0, 31536000] seconds, got {value!r}")
    return seconds


class HttpClient:
    """Client of one HTTP(S) service.

    ``base_url`` is the service root (``https://host/prefix``); paths given to
    the methods are appended to it. ``token``, when given, is sent as
    ``Authorization: Bearer <token>``. ``retries`` is the number of extra
    attempts after a retryable failure, waiting ``backoff``, ``2 * backoff``,
    ... seconds between them.

    Bounds of one request (``get`` or ``download``), retries included:
    ``max_duration`` seconds in all (default one hour; the methods accept
    their own); ``timeout`` seconds of silence per read; and an attempt
    whose body arrives at under ``min_rate`` bytes a second (default 1 KiB/s)
    averaged over the last ``rate_window`` seconds (default 30; the first
    window is a grace period) fails as too slow and is retried while time
    remains (``min_rate=0`` turns this off). The methods' ``max_bytes`` caps
    the body: a larger Content-Length or more bytes than that end the request
    with ``NetworkError``, without retry.
    """

    def __init__(
        self,
        base_url: str,
        *,
        token: str | None = None,
        timeout: float = 30.0,
        retries: int = 3,
        backoff: float = 0.5,
        max_duration: float = 3600.0,
        min_rate: float = 1024.0,
        rate_window: float = 30.0,
    ) -> None:
        if not isinstance(base_url, str):
            raise TypeError(
                f"Argument 'base_url' has incorrect type (expected str, got {type(base_url).__name__})"
            )
        if token is not None and not isinstance(token, str):
            raise TypeError(f"Argument 'token' has incorrect type (expected str, got {type(token).__name__})")
        if token is not None and any(c in token for c in "\r\n\x00"):
            raise ValueError("Argument 'token' must not contain line breaks or NUL characters")
        self.base_url = base_url.rstrip("/")
        self.token = token
        self.timeout = _seconds("timeout", timeout)
        self.retries = int(_number("retries", retries, int, 0))
        self.backoff = _number("backoff", backoff, float, 0.0)
        self.max_duration = _seconds("max_duration", max_duration)
        self.min_rate = _number("min_rate", min_rate, float, 0.0)
        self.rate_window = _seconds("rate_window", rate_window)

    def __repr__(self) -> str:
        return f"HttpClient({self.base_url!r})"

    def url(self, path: str, params: Mapping[str, object] | None = None) -> str:
        """The absolute URL of ``path`` (with query parameters)."""
        if not isinstance(path, str):
            raise TypeError(f"Argument 'path' has incorrect type (expected str, got {type(path).__name__})")
        if params is not None and not isinstance(params, Mapping):
            raise TypeError(f"Argument 'params' has incorrect type (expected Mapping, got {type(params).__name__})")
        out = self.base_url + "/" + path.lstrip("/")
        if params:
            out += "?" + urllib.parse.urlencode(params)
        try:
            urllib.parse.urlsplit(out)
        except ValueError as exc:  # an unclosed IPv6 bracket and the like
            raise ValueError(f"Argument 'base_url' is not a valid URL: {self.base_url!r} ({exc})") from None
        if not self.is_valid():
            raise ValueError(f"Argument 'base_url' is not an absolute http(s) URL: {self.base_url!r}")
        return out

    def is_valid(self) -> bool:
        """True when the base URL is an absolute http or https address."""
        try:
            parts = urllib.parse.urlsplit(self.base_url)
        except ValueError:
            return False
        return parts.scheme in ("http", "https") and bool(parts.netloc)

    def get(
        self,
        path: str,
        *,
        params: Mapping[str, object] | None = None,
        max_bytes: int | None = None,
        max_duration: float | None = None,
    ) -> bytes:
        """The body of a GET request (at most ``max_bytes`` long when given)."""
        url = self.url(path, params)

        def attempt(deadline: _Deadline) -> bytes:
            parts: list[bytes] = []
            with self._open(url, deadline) as response:
                self._stream(response, parts.append, url, deadline, max_bytes, lambda done, total: None)
            return b"".join(parts)

        return self._with_retries(attempt, path, max_duration)

    def download(
        self,
        path: str,
        dest: str | os.PathLike[str],
        *,
        progress: ProgressFn | None = None,
        max_bytes: int | None = None,
        max_duration: float | None = None,
    ) -> DownloadInfo:
        """Streams the body of ``path`` into the file ``dest`` (created or truncated).

        A body shorter than the announced Content-Length is a failed attempt.
        ``progress(done, total)`` is called as bytes arrive (total None when
        unknown); without it, a download that takes a while shows a progress
        bar on stderr when stderr is a terminal.
        ``max_bytes`` and ``max_duration`` bound the download (see the class).
        """
        if not isinstance(dest, str | os.PathLike):
            raise TypeError(
                f"Argument 'dest' has incorrect type (expected str or os.PathLike, got {type(dest).__name__})"
            )
        if "\x00" in os.fspath(dest):
            raise ValueError("Argument 'dest' must not contain a NUL character")
        dest = Path(dest)
        if dest.is_dir():
            raise ValueError(f"Argument 'dest' names a directory, not a file: {str(dest)!r}")
        url = self.url(path)
        shown: ProgressFn = progress if progress is not None else lambda done, total: None

        def attempt(deadline: _Deadline) -> DownloadInfo:
            digest = hashlib.sha256()

            def write(chunk: bytes) -> None:
                out.write(chunk)
                digest.update(chunk)

            with self._open(url, deadline) as response, open(dest, "wb") as out:
                done = self._stream(response, write, url, deadline, max_bytes, shown)
                headers = {k.lower(): v for k, v in response.headers.items()}
            return DownloadInfo(path=dest, size=done, sha256=digest.hexdigest(), headers=headers)

        with contextlib.ExitStack() as stack:
            if progress is None:
                # Imported here: the bar lives in the backtest package, which imports this module.
                from vantorel.backtest._progress import progress_bar

                bar = stack.enter_context(progress_bar(f"下载 {path}", unit="bytes", delay=_PROGRESS_AFTER_S))
                shown = bar.update
            return self._with_retries(attempt, path, max_duration)

    # ------------------------------------------------------------------------------------------

    def _open(self, url: str, deadline: _Deadline):
        request = urllib.request.Request(url, method="GET")
        if self.token:
            # Not repeated on redirects: the token is for this service, not wherever it points.
            request.add_unredirected_header("Authorization", f"Bearer {self.token}")
        # A silent server may not outlast the request's deadline either.
        timeout = max(min(self.timeout, deadline.remaining()), 0.001)
        try:
            return urllib.request.urlopen(request, timeout=timeout)  # noqa: S310 (scheme checked by callers)
        except urllib.error.HTTPError as exc:
            exc.close()
            if exc.code in _RETRY_STATUS:
                raise _Retryable(f"HTTP {exc.code}") from exc
            raise NetworkError(f"请求失败: {url} (HTTP {exc.code})") from exc
        except (urllib.error.URLError, TimeoutError, ConnectionError, http.client.HTTPException) as exc:
            raise _Retryable(str(getattr(exc, "reason", exc))) from exc

    def _stream(
        self,
        response,
        write: Callable[[bytes], object],
        url: str,
        deadline: _Deadline,
        max_bytes: int | None,
        progress: ProgressFn,
    ) -> int:
        """Passes the body to ``write`` chunk by chunk within the bounds; returns its length."""
        length = response.headers.get("Content-Length")
        total = int(length) if length and length.isdigit() else None
        if max_bytes is not None and total is not None and total > max_bytes:
            raise NetworkError(f"请求失败: {url} (响应大小 {total} 字节超过上限 {max_bytes} 字节)")
        pace = _Pace(self.min_rate, self.rate_window)
        done = 0
        while True:
            try:
                # read1 returns what one receive brings, so the bounds are checked as bytes trickle in.
                chunk = response.read1(_CHUNK)
            except (http.client.HTTPException, OSError) as exc:
                raise _Retryable(f"连接中断: {exc}") from exc
            if not chunk:
                break
            done += len(chunk)
            if max_bytes is not None and done > max_bytes:
                raise NetworkError(f"请求失败: {url} (响应超过上限 {max_bytes} 字节)")
            write(chunk)
            progress(done, total)
            if deadline.remaining() < 0:
                raise deadline.error(url)
            rate = pace.slow_rate(time.monotonic(), done)
            if rate is not None:
                raise _Retryable(
                    f"传输过慢: 最近 {self.rate_window:g} 秒平均 {rate:.0f} 字节/秒, 低于下限 {self.min_rate:g} 字节/秒"
                )
        if total is not None and done != total:
            raise _Retryable(f"数据不完整: 收到 {done} 字节, 应为 {total} 字节")
        return done

    def _with_retries(self, attempt, path: str, max_duration: float | None):
        limit = self.max_duration if max_duration is None else _seconds("max_duration", max_duration)
        # One deadline for every attempt and wait: retries never extend it.
        deadline = _Deadline(time.monotonic() + limit, limit)
        for n in range(self.retries + 1):
            try:
                return attempt(deadline)
            except _Retryable as exc:
                if deadline.remaining() <= 0:
                    raise deadline.error(self.url(path)) from exc
                wait = self.backoff * (2**n)
                if n == self.retries or deadline.remaining() <= wait:
                    raise NetworkError(f"请求失败: {self.url(path)} ({exc})") from exc
                time.sleep(wait)
        raise AssertionError("unreachable")
