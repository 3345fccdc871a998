"""Download and unpacking of the complete prepared-data package.

The package is a gzip-compressed tar archive served at ``PACKAGE_PATH`` of the
cloud client's base URL. It holds one prepared-data store (the files written
by ``BinaryPreparedDataStore.write``: ``metadata.pkl``, ``manifest.json`` and
the ``*.bin`` dataset files), either at the archive's root or inside a single
top directory. When the server sends the ``X-Checksum-Sha256`` header, the
downloaded bytes must have that SHA-256.

Safety: the archive comes from the network. Every member is checked before
anything is written: only regular files and directories with relative paths
that stay inside the target are accepted; absolute paths, ``..``, links and
device or pipe entries make the whole package invalid (``VantorelError``).
Files are written with fixed permissions, never the archive's.

Atomicity: the archive is downloaded and unpacked in a private directory next
to the store directory and moved into place with a rename only once it is
complete, so a failed or interrupted download never leaves a store that looks
complete (the service tells a store by its metadata file).
"""

from __future__ import annotations

import os
import shutil
import stat
import tarfile
import tempfile
import uuid
import zlib
from pathlib import Path, PurePosixPath, PureWindowsPath
from typing import Any

from vantorel.exceptions import NetworkError, VantorelError

__all__ = [
    "CHECKSUM_HEADER",
    "METADATA_FILE",
    "PACKAGE_PATH",
    "download_benchmark_package",
    "flatten_single_subdir",
    "unpack_package",
]

PACKAGE_PATH = "/backtest/benchmark-package.tar.gz"
CHECKSUM_HEADER = "X-Checksum-Sha256"
METADATA_FILE = "metadata.pkl"


def download_benchmark_package(http: Any, store_dir: str | os.PathLike[str]) -> Path:
    """Downloads the complete package through ``http`` and installs it as ``store_dir``.

    Whatever ``store_dir`` held before is replaced once the new package is
    unpacked and checked. Raises ``VantorelError`` for an unusable client
    (no valid download address) or an invalid package, ``NetworkError`` when
    the download fails or its checksum does not match. On any error the
    directory is left as it was.
    """
    if http is None or not callable(getattr(http, "download", None)):
        raise VantorelError(f"回测基准数据包下载地址无效: 未提供下载客户端 ({type(http).__name__})")
    is_valid = getattr(http, "is_valid", None)
    if callable(is_valid) and not is_valid():
        raise VantorelError(f"回测基准数据包下载地址无效: {getattr(http, 'base_url', http)!r}")
    store_dir = Path(store_dir)
    store_dir.parent.mkdir(parents=True, exist_ok=True)
    work = Path(tempfile.mkdtemp(prefix=f".{store_dir.name}.download-", dir=store_dir.parent))
    try:
        archive = work / "package.tar.gz"
        info = http.download(PACKAGE_PATH, archive)
        _check_digest(info)
        staging = work / "unpacked"
        staging.mkdir()
        unpack_package(archive, staging)
        flatten_single_subdir(staging)
        _install(staging, store_dir, work)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    return store_dir


def unpack_package(archive: str | os.PathLike[str], target: str | os.PathLike[str]) -> list[str]:
    """Unpacks a package archive into the existing directory ``target`` and returns the member names.

    Every member is checked first; a member that is not a plain file or
    directory, or whose path is absolute, contains ``..`` or resolves outside
    ``target``, makes the package invalid and nothing is written.
    """
    target = Path(target)
    root = target.resolve()
    try:
        with tarfile.open(archive, mode="r:*") as tar:
            members = tar.getmembers()
            for member in members:
                _check_member(member, root)
            for member in members:
                dest = root / member.name
                if member.isdir():
                    dest.mkdir(parents=True, exist_ok=True)
                    continue
                dest.parent.mkdir(parents=True, exist_ok=True)
                source = tar.extractfile(member)
                if source is None:
                    raise _invalid(member.name, "无法读取")
                with source, open(dest, "wb") as out:
                    shutil.copyfileobj(source, out, 1 << 20)
                os.chmod(dest, stat.S_IRUSR | stat.S_IWUSR | stat.S_IRGRP | stat.S_IROTH)
    except VantorelError:
        raise
    except (tarfile.TarError, EOFError, zlib.error, OSError) as exc:
        raise VantorelError(f"回测基准数据包无效: 无法解压 ({exc})") from exc
    return [m.name for m in members]


def flatten_single_subdir(store_dir: str | os.PathLike[str]) -> Path:
    """Moves the contents of a lone subdirectory up into ``store_dir`` (repeatedly).

    A package may wrap its files in one top directory; afterwards they lie
    directly in ``store_dir``. The metadata file moves last, so an
    interruption never leaves a store that looks complete. Anything else (no
    directory, files beside the subdirectory, a link) is left alone.
    """
    store_dir = Path(store_dir)
    while store_dir.is_dir():
        entries = list(store_dir.iterdir())
        if len(entries) != 1 or entries[0].is_symlink() or not entries[0].is_dir():
            break
        # Renamed first, so a child with the subdirectory's own name can move up.
        holder = store_dir / f".flatten-{uuid.uuid4().hex}"
        os.replace(entries[0], holder)
        children = sorted(holder.iterdir(), key=lambda p: p.name == METADATA_FILE)
        for child in children:
            os.replace(child, store_dir / child.name)
        holder.rmdir()
    return store_dir


# ----------------------------------------------------------------------------------------------


def _invalid(name: str, reason: str) -> VantorelError:
    return VantorelError(f"回测基准数据包无效: 成员 {name!r} {reason}")


def _check_member(member: tarfile.TarInfo, root: Path) -> None:
    name = member.name
    if not name or "\x00" in name:
        raise _invalid(name, "名称为空或含有空字符")
    posix, windows = PurePosixPath(name), PureWindowsPath(name)
    if posix.is_absolute() or windows.is_absolute() or windows.drive or name.startswith(("/", "\\")):
        raise _invalid(name, "使用绝对路径")
    if ".." in posix.parts or ".." in windows.parts:
        raise _invalid(name, "含有 '..'")
    if member.issym() or member.islnk():
        raise _invalid(name, "是链接")
    if not (member.isfile() or member.isdir()):
        raise _invalid(name, "不是普通文件或目录")
    dest = (root / name).resolve()
    if dest != root and root not in dest.parents:
        raise _invalid(name, "位于目标目录之外")


def _check_digest(info: Any) -> None:
    headers = {str(k).lower(): v for k, v in dict(getattr(info, "headers", {}) or {}).items()}
    expected = headers.get(CHECKSUM_HEADER.lower())
    if expected and expected.strip().lower() != str(info.sha256).lower():
        raise NetworkError(f"回测基准数据包校验失败: SHA-256 为 {info.sha256}, 应为 {expected.strip()}")


def _install(staging: Path, store_dir: Path, work: Path) -> None:
    """Puts the unpacked store in place with renames; the previous content goes with ``work``.

    Under the directory's writer lock (a sibling lock file, as the directory itself is replaced),
    so an install never lands in the middle of another process's write of the same store. Where the
    system can swap two directories in one step, a reader of ``store_dir`` finds a store there at
    every moment.
    """
    from vantorel.backtest._store import _writer_lock

    with _writer_lock(store_dir):
        if store_dir.is_symlink() or (store_dir.exists() and not store_dir.is_dir()):
            raise VantorelError(f"回测数据目录不是目录: {store_dir}")
        if store_dir.exists() and _exchange(staging, store_dir):
            return  # the previous store now lies at ``staging``, inside ``work``
        if store_dir.exists():
            os.replace(store_dir, work / "previous")
        os.replace(staging, store_dir)


def _exchange(a: Path, b: Path) -> bool:
    """Swaps two directories in one step (Linux renameat2); False where the system cannot."""
    import ctypes

    try:
        renameat2 = ctypes.CDLL(None, use_errno=True).renameat2
    except (AttributeError, OSError):
        return False
    at_fdcwd, rename_exchange = -100, 2
    return renameat2(at_fdcwd, os.fsencode(a), at_fdcwd, os.fsencode(b), rename_exchange) == 0
