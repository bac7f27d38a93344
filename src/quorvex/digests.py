"""Digests: ETags as the store reports them, MD5s of local files, and whether the two match.

An object stored in one request has the hex MD5 of its bytes as its ETag.  One uploaded
in parts has ``md5(part md5s concatenated)-<number of parts>``, so it depends on how the
bytes were cut.  Two layouts are ours: the toolbox's writer cuts :data:`PART_SIZE`
parts, and the SDK (behind ``write()`` and ``upload()``) cuts parts whose size it derives
from the object's size (:func:`sdk_part_size`).  Where the ETag answers nothing (an
encrypted object, a copy of a multipart upload), the ``md5`` user metadata that our
writers store answers instead.
"""

from __future__ import annotations

import hashlib
import math
import os
from collections.abc import Mapping
from typing import Optional, Union

from quorvex.sizes import PART_SIZE

__all__ = ["MD5_HEADER", "MD5_METADATA", "clean_etag", "file_md5", "is_plain_md5",
           "local_matches", "metadata_md5", "multipart_etag", "sdk_part_size"]

# The user metadata holding the hex MD5 of an object's bytes.
MD5_METADATA = "md5"
MD5_HEADER = "x-amz-meta-" + MD5_METADATA

# How the SDK cuts an object of known size into parts (minio.helpers.get_part_info).
_SDK_MIN_PART = 5 * 1024 * 1024
_SDK_MAX_PARTS = 10_000
_HASH_BLOCK = 1024 * 1024

LocalFile = Union[str, "os.PathLike[str]"]


def clean_etag(value: Optional[str]) -> str:
    """An ETag without its quotes and surrounding blanks ("" for None)."""
    return (value or "").strip().strip('"')


def is_plain_md5(etag: str) -> bool:
    """Whether ``etag`` is the hex MD5 of the object's bytes (one request stored them)."""
    return len(etag) == 32 and all(c in "0123456789abcdef" for c in etag.lower())


def multipart_etag(part_digests: list[bytes]) -> str:
    """The ETag of an object uploaded in parts whose MD5 digests are ``part_digests``."""
    combined = hashlib.md5(b"".join(part_digests))
    return f"{combined.hexdigest()}-{len(part_digests)}"


def sdk_part_size(size: int) -> int:
    """The part size the SDK picks for an object of ``size`` bytes."""
    return max(1, math.ceil(math.ceil(size / _SDK_MAX_PARTS) / _SDK_MIN_PART)) * _SDK_MIN_PART


def metadata_md5(metadata: Optional[Mapping[str, str]]) -> Optional[str]:
    """The hex MD5 our writers keep in the user metadata, from a stat's headers."""
    for name, value in (metadata or {}).items():
        if name.lower() == MD5_HEADER:
            return value.strip().lower()
    return None


def file_md5(path: LocalFile) -> str:
    """The hex MD5 of a local file, read in blocks with the GIL released by hashlib."""
    whole = hashlib.md5()
    with open(path, "rb") as stream:
        while block := stream.read(_HASH_BLOCK):
            whole.update(block)
    return whole.hexdigest()


def _file_digests(path: LocalFile, part_size: int) -> tuple[str, str]:
    # The whole MD5 and the multipart ETag with parts of part_size, in one pass.
    whole = hashlib.md5()
    parts: list[bytes] = []
    part = hashlib.md5()
    filled = 0
    with open(path, "rb") as stream:
        while block := stream.read(min(_HASH_BLOCK, part_size - filled)):
            whole.update(block)
            part.update(block)
            filled += len(block)
            if filled == part_size:
                parts.append(part.digest())
                part, filled = hashlib.md5(), 0
    if filled or not parts:
        parts.append(part.digest())
    return whole.hexdigest(), multipart_etag(parts)


def local_matches(path: LocalFile, size: int, etag: str,
                  md5: Optional[str] = None) -> Optional[bool]:
    """Whether the local file holds the bytes of an object of ``size`` and ``etag``.

    ``md5`` is the object's ``md5`` user metadata, when known.  None when neither the
    ETag nor ``md5`` can answer (the caller may fetch the metadata and ask again).  The
    file's size is compared first, so a file of another size is not read.
    """
    if os.stat(path).st_size != size:
        return False
    etag = clean_etag(etag).lower()
    if is_plain_md5(etag):
        return file_md5(path) == etag
    if md5 is not None:
        return file_md5(path) == md5.strip().lower()
    count_text = etag.rpartition("-")[2]
    if "-" not in etag or not count_text.isdigit():
        return None
    count = int(count_text)
    for part_size in dict.fromkeys((PART_SIZE, sdk_part_size(size))):
        if max(1, math.ceil(size / part_size)) == count:
            if _file_digests(path, part_size)[1] == etag:
                return True
    return None
