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
Files are written with fixed permissions, never the archive's, and only as
new files (``O_EXCL | O_NOFOLLOW``): nothing already in the target, a link
least of all, is written through. Sparse members, duplicate names and
extended headers over ``MAX_HEADER_BYTES`` are refused too.

Bounds: the archive may hold at most ``max_members`` members (default
``MAX_MEMBERS``) whose declared sizes add up to at most ``max_bytes``
(default ``MAX_UNPACKED_BYTES``); both are checked, and the free space of the
disk (which must keep ``DISK_MARGIN_BYTES`` free), before anything is
written, and no member gets more bytes than it declares. ``max_bytes`` also
caps the compressed download, whose duration and rate the client bounds
(``HttpClient``'s ``max_duration``, ``min_rate`` and ``rate_window``).

Atomicity: the archive is downloaded and unpacked in a private directory next
to the store directory, read there as the service will read it (metadata
through the store's restricted reader, the service's completeness check,
every dataset with its row checksums), and moved into place with a rename
only once all of that passed. A failed, interrupted or rejected download
leaves the directory as it was.
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

try:
    from lzma import LZMAError as _LZMAError
except ImportError:  # Python built without lzma: such archives fail to open anyway
    _LZMAError = tarfile.TarError

__all__ = [
    "CHECKSUM_HEADER",
    "DISK_MARGIN_BYTES",
    "MAX_HEADER_BYTES",
    "MAX_MEMBERS",
    "MAX_UNPACKED_BYTES",
    "METADATA_FILE",
    "PACKAGE_PATH",
    "download_benchmark_package",
    "flatten_single_subdir",
    "unpack_package",
]

PACKAGE_PATH = "/backtest/benchmark-package.tar.gz"
CHECKSUM_HEADER = "X-Checksum-Sha256"
METADATA_FILE = "metadata.pkl"

# A real store is some twenty files of a few GiB in all; these bounds only stop a hostile archive.
MAX_UNPACKED_BYTES = 64 << 30
MAX_MEMBERS = 10_000
# Extended (pax, GNU long-name) headers are read into memory whole; real ones take a few hundred bytes.
MAX_HEADER_BYTES = 1 << 20
# Left free on the disk after unpacking, so that the machine keeps working.
DISK_MARGIN_BYTES = 64 << 20

_FILE_MODE = stat.S_IRUSR | stat.S_IWUSR | stat.S_IRGRP | stat.S_IROTH
_NEW_FILE_FLAGS = os.O_WRONLY | os.O_CREAT | os.O_EXCL | getattr(os, "O_NOFOLLOW", 0) | getattr(os, "O_BINARY", 0)
_COPY_CHUNK = 1 << 20
# Room a file takes beyond its bytes (its last, partly used block), for the free-space estimate.
_BLOCK_BYTES = 4096
_EXTENDED_HEADERS = frozenset(
    {tarfile.XHDTYPE, tarfile.XGLTYPE, tarfile.SOLARIS_XHDTYPE, tarfile.GNUTYPE_LONGNAME, tarfile.GNUTYPE_LONGLINK}
)


def download_benchmark_package(
    http: Any,
    store_dir: str | os.PathLike[str],
    *,
    max_bytes: int = MAX_UNPACKED_BYTES,
    max_members: int = MAX_MEMBERS,
) -> Path:
    """Downloads the complete package through ``http`` and installs it as ``store_dir``.

    Whatever ``store_dir`` held before is replaced once the new package is
    unpacked and checked. ``http.download`` is called with ``max_bytes``;
    ``max_bytes`` and ``max_members`` also bound the unpacking (see
    ``unpack_package``). Raises ``VantorelError`` for an unusable client (no
    valid download address) or an invalid package, ``NetworkError`` when the
    download fails or its checksum does not match. On any error the directory
    is left as it was.
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
        info = http.download(PACKAGE_PATH, archive, max_bytes=max_bytes)
        _check_digest(info)
        staging = work / "unpacked"
        staging.mkdir()
        unpack_package(archive, staging, max_bytes=max_bytes, max_members=max_members)
        flatten_single_subdir(staging)
        _verify_store(staging)
        _install(staging, store_dir, work)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    return store_dir


def unpack_package(
    archive: str | os.PathLike[str],
    target: str | os.PathLike[str],
    *,
    max_bytes: int = MAX_UNPACKED_BYTES,
    max_members: int = MAX_MEMBERS,
) -> list[str]:
    """Unpacks a package archive into the existing, empty directory ``target`` and returns the member names.

    Every member is checked first; a member that is not a plain file or
    directory, is sparse, repeats a name, or whose path is absolute, contains
    ``..`` or resolves outside ``target``, makes the package invalid and
    nothing is written. So do more than ``max_members`` members or declared
    sizes adding up to more than ``max_bytes``; sizes the disk cannot hold
    (keeping ``DISK_MARGIN_BYTES`` free) stop the unpacking as well.
    """
    target = Path(target)
    root = target.resolve()
    try:
        with tarfile.open(archive, mode="r:*", tarinfo=_GuardedTarInfo) as tar:
            members = _checked_members(tar, root, max_bytes, max_members)
            _check_disk_space(root, members)
            for member in members:
                _extract(tar, member, root)
    except VantorelError:
        raise
    except (tarfile.TarError, EOFError, zlib.error, OSError, ValueError, _LZMAError) as exc:
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


class _GuardedTarInfo(tarfile.TarInfo):
    """Refuses, while tarfile reads the headers, what it would otherwise hold in memory without bound.

    An extended header is read whole, and a sparse member's map block by
    block; a store has no sparse files, so those are refused outright.
    """

    def _proc_member(self, tarfile_):
        if self.type == tarfile.GNUTYPE_SPARSE:
            raise _invalid(self.name, "是稀疏文件")
        if self.type in _EXTENDED_HEADERS and self.size > MAX_HEADER_BYTES:
            raise _invalid(self.name, f"的扩展头有 {self.size} 字节, 超过上限 {MAX_HEADER_BYTES} 字节")
        return super()._proc_member(tarfile_)

    # Sparse members declared in a pax header (GNU sparse formats 0.0, 0.1 and 1.0).
    def _proc_gnusparse_00(self, next_, *args):
        raise _invalid(next_.name, "是稀疏文件")

    _proc_gnusparse_01 = _proc_gnusparse_10 = _proc_gnusparse_00


def _checked_members(tar: tarfile.TarFile, root: Path, max_bytes: int, max_members: int) -> list[tarfile.TarInfo]:
    """Every member, checked; headers are read one by one so that the first bound crossed stops the reading."""
    members: list[tarfile.TarInfo] = []
    kinds: dict[tuple[str, ...], bool] = {}
    total = 0
    for member in tar:
        if len(members) >= max_members:
            raise VantorelError(f"回测基准数据包无效: 成员超过 {max_members} 个")
        _check_member(member, root)
        parts = PurePosixPath(member.name).parts
        if parts in kinds and not (kinds[parts] and member.isdir()):
            raise _invalid(member.name, "重复出现")
        kinds[parts] = member.isdir()
        total += member.size
        if total > max_bytes:
            raise VantorelError(f"回测基准数据包无效: 解压后超过 {max_bytes} 字节 (至成员 {member.name!r})")
        members.append(member)
    return members


def _check_disk_space(root: Path, members: list[tarfile.TarInfo]) -> None:
    need = sum(m.size for m in members) + _BLOCK_BYTES * len(members)
    free = shutil.disk_usage(root).free
    if need > free - DISK_MARGIN_BYTES:
        raise VantorelError(
            f"回测基准数据包解压空间不足: 约需 {need} 字节, {root} 所在磁盘可用 {free} 字节, "
            f"且须留出 {DISK_MARGIN_BYTES} 字节"
        )


def _extract(tar: tarfile.TarFile, member: tarfile.TarInfo, root: Path) -> None:
    """Writes one checked member below ``root`` as a new file, never more bytes than it declares."""
    dest = root / member.name
    if member.isdir():
        dest.mkdir(parents=True, exist_ok=True)
        return
    dest.parent.mkdir(parents=True, exist_ok=True)
    source = tar.extractfile(member)
    if source is None:
        raise _invalid(member.name, "无法读取")
    fd = os.open(dest, _NEW_FILE_FLAGS, _FILE_MODE)
    with source, open(fd, "wb") as out:
        left = member.size
        while left > 0:
            chunk = source.read(min(_COPY_CHUNK, left))
            if not chunk:
                raise _invalid(member.name, f"数据不完整: 缺少 {left} 字节")
            out.write(chunk)
            left -= len(chunk)
        # Fixed permissions, whatever the umask and the archive say.
        os.chmod(out.fileno() if os.chmod in os.supports_fd else dest, _FILE_MODE)


def _verify_store(store_dir: Path) -> None:
    """Reads the unpacked store as the service will, before it replaces anything.

    The metadata goes through the store's restricted reader and the
    service's completeness check (raising the service's own messages); then
    every dataset is read once with its file sizes and row checksums
    checked, one at a time, so memory holds one dataset at most.
    """
    from vantorel.backtest import _prepare, _service  # here: _service itself imports this module

    store = _prepare.BinaryPreparedDataStore(store_dir)
    _service.BacktestService._validate_metadata(store)
    for key in store.load_metadata()["datasets"]:
        store.load(keys=[key], mmap=False)


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
    if member.issparse():
        raise _invalid(name, "是稀疏文件")
    if member.size < 0:
        raise _invalid(name, f"声明的大小为负 ({member.size})")
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
