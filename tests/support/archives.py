"""Tar archives built in memory, members given as (TarInfo, data) pairs."""

from __future__ import annotations

import io
import tarfile


def tar_gz(members: list[tuple[tarfile.TarInfo, bytes | None]]) -> bytes:
    """The members as a .tar.gz; a member's size is its data's length."""
    buffer = io.BytesIO()
    with tarfile.open(fileobj=buffer, mode="w:gz") as tar:
        for info, data in members:
            if data is not None:
                info.size = len(data)
            tar.addfile(info, io.BytesIO(data) if data is not None else None)
    return buffer.getvalue()


def file_member(name: str, data: bytes = b"x") -> tuple[tarfile.TarInfo, bytes]:
    return tarfile.TarInfo(name), data


def special_member(name: str, kind: bytes, target: str = "") -> tuple[tarfile.TarInfo, None]:
    info = tarfile.TarInfo(name)
    info.type = kind
    info.linkname = target
    return info, None
