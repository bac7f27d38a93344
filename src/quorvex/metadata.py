"""Metadata of one object: stat, is_file, touch and unlink.

Missing things are reported as the store class's own members report them: a missing bucket
as ``FileNotFoundError("Bucket: '<bucket>' does not exist.")`` (the text of ``exists``), a
missing object as ``FileNotFoundError("'<path>' does not exist in bucket '<bucket>'.")``
(the text of ``read()``).
"""

from __future__ import annotations

import datetime
import io
from collections.abc import Mapping
from dataclasses import dataclass, field
from typing import Optional

from minio import Minio
from minio.error import S3Error

from quorvex.errors import missing_bucket, missing_object
from quorvex.path_algebra import StorePathMixin
from quorvex.retrying import retry

__all__ = ["MetadataMixin", "ObjectInfo"]

_USER_METADATA_PREFIX = "x-amz-meta-"


@dataclass(frozen=True, slots=True)
class ObjectInfo:
    """What one status request tells about an object (the result of ``stat()``)."""

    size: int
    """The content length in bytes."""
    etag: str
    """The entity tag, without quotes."""
    last_modified: datetime.datetime
    """The last modification, timezone-aware in UTC."""
    content_type: Optional[str]
    """The object's Content-Type, if the store reported one."""
    metadata: dict[str, str] = field(hash=False)
    """User metadata (``x-amz-meta-*``), keys lower-cased without the prefix."""
    version_id: Optional[str] = None
    """The version ID in a versioned bucket, else None."""


def as_utc(moment: Optional[datetime.datetime]) -> Optional[datetime.datetime]:
    """``moment`` as an aware UTC datetime (a naive one is taken to be UTC already)."""
    if moment is None:
        return None
    if moment.tzinfo is None:
        return moment.replace(tzinfo=datetime.timezone.utc)
    return moment.astimezone(datetime.timezone.utc)


def user_metadata(headers: Optional[Mapping[str, str]]) -> dict[str, str]:
    """The ``x-amz-meta-*`` entries of ``headers``, keys lower-cased without the prefix."""
    found: dict[str, str] = {}
    for name, value in (headers or {}).items():
        lowered = name.lower()
        if lowered.startswith(_USER_METADATA_PREFIX):
            found[lowered[len(_USER_METADATA_PREFIX):]] = value
    return found


class MetadataMixin(StorePathMixin):
    """Questions and small changes about exactly one object."""

    __slots__ = ()

    @retry()
    def stat(self) -> ObjectInfo:
        """The object's size, ETag, modification time, type and user metadata: one HEAD.

        FileNotFoundError for a missing object (the text of ``read()``) or a missing bucket
        (the text of ``exists``); any other store error is raised as it is.
        """
        key = self._key()
        bucket = self._bucket()
        if not key:
            # The root is never an object, whatever a store answers for the key "/".
            if not self.client.bucket_exists(bucket):
                raise missing_bucket(bucket)
            raise missing_object(key, bucket)
        try:
            obj = self.client.stat_object(bucket, key)
        except S3Error as exc:
            raise self._store_error(exc) from None
        last_modified = as_utc(obj.last_modified)
        if last_modified is None:
            raise ValueError(f"the store reported no Last-Modified for {key!r}")
        return ObjectInfo(size=obj.size or 0, etag=(obj.etag or "").strip('"'),
                          last_modified=last_modified, content_type=obj.content_type,
                          metadata=user_metadata(obj.metadata), version_id=obj.version_id)

    def is_file(self) -> bool:
        """Whether an object of exactly this name exists: the method form of ``exists``."""
        self._bucket()
        return bool(self.exists)

    def touch(self, exist_ok: bool = True) -> None:
        """Creates an empty object when none exists; an existing one is left untouched.

        FileExistsError when the object exists and ``exist_ok`` is false.  One status
        request, plus one write when the object is missing.
        """
        if not isinstance(exist_ok, bool):
            raise TypeError(f"touch() takes a bool exist_ok, not {type(exist_ok).__name__}")
        key = self._object_key("touch()")
        bucket = self._bucket()
        if self.exists:
            if not exist_ok:
                raise FileExistsError(f"'{self.path}' already exists in bucket "
                                      f"'{bucket}'.")
            return
        _put_empty(self.client, bucket, key)

    def unlink(self, missing_ok: bool = False) -> None:
        """Removes exactly this object, never anything below it.

        FileNotFoundError when it is missing and ``missing_ok`` is false, or when the bucket
        is missing.  One removal, after one status request unless ``missing_ok``.
        """
        if not isinstance(missing_ok, bool):
            raise TypeError(f"unlink() takes a bool missing_ok, "
                            f"not {type(missing_ok).__name__}")
        key = self._object_key("unlink()")
        bucket = self._bucket()
        if not missing_ok and not self.exists:
            raise missing_object(key, bucket)
        try:
            _remove(self.client, bucket, key)
        except S3Error as exc:
            raise self._store_error(exc) from None


# The members (exists) retry on their own; only the requests made here are retried here.
@retry()
def _put_empty(client: Minio, bucket: str, key: str) -> None:
    client.put_object(bucket, key, io.BytesIO(b""), 0)


@retry()
def _remove(client: Minio, bucket: str, key: str) -> None:
    client.remove_object(bucket, key)
