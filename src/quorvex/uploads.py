"""Housekeeping of multipart uploads that were started and never completed.

A writer from ``open("wb")`` or a large file of ``upload_from`` aborts its multipart upload
when it fails or is dropped; a process killed outright (SIGKILL, a lost machine) cannot,
and the store keeps the parts it received, and bills them, until the upload is aborted.
``abort_uploads`` finds such uploads below a path and aborts them.
"""

from __future__ import annotations

import datetime
import math
from dataclasses import dataclass
from typing import Any, Optional, Union

from minio import Minio
from minio.error import S3Error

from quorvex.path_algebra import StorePathMixin
from quorvex.retrying import retry

__all__ = ["PendingUpload", "UploadsMixin"]


@dataclass(frozen=True, slots=True)
class PendingUpload:
    """One multipart upload that was started and neither completed nor aborted."""

    key: str
    """The object key the upload would store."""
    upload_id: str
    """The store's ID of the upload."""
    initiated: Optional[datetime.datetime]
    """When the store says the upload began (aware UTC), None if it does not say."""


@retry()
def _list_page(client: Minio, bucket: str, prefix: str, key_marker: Optional[str],
               upload_id_marker: Optional[str]) -> Any:
    return client._list_multipart_uploads(bucket, prefix=prefix, key_marker=key_marker,
                                          upload_id_marker=upload_id_marker)


@retry()
def _abort(client: Minio, bucket: str, key: str, upload_id: str) -> None:
    client._abort_multipart_upload(bucket, key, upload_id)


def _pending(client: Minio, bucket: str, prefix: str) -> list[PendingUpload]:
    """Every uncompleted upload whose key starts with ``prefix``, following the pages."""
    found: list[PendingUpload] = []
    seen: set[tuple[str, str]] = set()
    key_marker: Optional[str] = None
    upload_id_marker: Optional[str] = None
    while True:
        page = _list_page(client, bucket, prefix, key_marker, upload_id_marker)
        fresh = 0
        for upload in page.uploads:
            ident = (upload.object_name, upload.upload_id or "")
            if ident in seen:
                continue
            seen.add(ident)
            fresh += 1
            initiated = upload.initiated_time
            if initiated is not None and initiated.tzinfo is None:
                initiated = initiated.replace(tzinfo=datetime.timezone.utc)
            found.append(PendingUpload(upload.object_name, upload.upload_id or "",
                                       initiated))
        if not page.is_truncated or not page.uploads or not fresh:
            return found
        # The SDK (7.2) drops NextUploadIdMarker, and SeaweedFS sends no NextKeyMarker:
        # the last upload of the page is where the next page starts.
        last = page.uploads[-1]
        key_marker = getattr(page, "next_key_marker", None) or last.object_name
        upload_id_marker = getattr(page, "next_upload_id_marker", None) or last.upload_id


def _age_limit(older_than: object) -> datetime.timedelta:
    if isinstance(older_than, datetime.timedelta):
        limit = older_than
    elif isinstance(older_than, (int, float)) and not isinstance(older_than, bool):
        if not math.isfinite(older_than):
            raise ValueError(f"older_than must be finite, got {older_than!r}")
        limit = datetime.timedelta(seconds=older_than)
    else:
        raise TypeError(f"older_than must be a datetime.timedelta or a number of seconds, "
                        f"not {type(older_than).__name__}")
    if limit < datetime.timedelta(0):
        raise ValueError(f"older_than must not be negative, got {older_than!r}")
    return limit


class UploadsMixin(StorePathMixin):
    """Uncompleted multipart uploads below a path."""

    __slots__ = ()

    def abort_uploads(self, older_than: Union[datetime.timedelta, float], *,
                      dry_run: bool = False) -> list[PendingUpload]:
        """Aborts the uncompleted multipart uploads of this key and of every key below it
        (the whole bucket at the root) that began at least ``older_than`` ago.

        ``older_than`` is a ``timedelta`` or a number of seconds; choose it longer than any
        upload still in progress may take, since aborting one makes its writer fail.  An
        upload whose start the store does not report counts as young unless
        ``older_than`` is zero.  Returns what was aborted (with ``dry_run=True``: what
        would be, and nothing is aborted), oldest first; an upload that ended meanwhile
        is left out.  FileNotFoundError for a missing bucket.  Arguments are checked
        before any request.
        """
        limit = _age_limit(older_than)
        if not isinstance(dry_run, bool):
            raise TypeError(f"dry_run must be a bool, not {type(dry_run).__name__}")
        key = self._key()
        bucket = self._bucket()
        prefix = self._prefix()
        client = self.client
        try:
            pending = _pending(client, bucket, key)
        except S3Error as exc:
            raise self._store_error(exc) from None
        now = datetime.datetime.now(datetime.timezone.utc)
        chosen = [upload for upload in pending
                  if (upload.key == key or upload.key.startswith(prefix)) and
                  (now - upload.initiated >= limit if upload.initiated is not None
                   else not limit)]
        chosen.sort(key=lambda upload: (upload.initiated is None,
                                        upload.initiated or now, upload.key))
        if dry_run:
            return chosen
        aborted = []
        for upload in chosen:
            try:
                _abort(client, bucket, upload.key, upload.upload_id)
            except S3Error as exc:
                if exc.code == "NoSuchUpload":
                    continue  # completed or aborted by someone else in the meantime
                raise self._store_error(exc, upload.key) from None
            aborted.append(upload)
        return aborted
