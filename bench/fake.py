"""An in-process stand-in for the minio client whose answers are all prepared in advance.

No request leaves the process and nothing is computed per call beyond a dict lookup: the
point is to time the code around the client, not the client.  Each method accepts the
arguments the real one does (the ones the path classes pass).
"""

from __future__ import annotations

import datetime
from typing import Any, Iterable, Optional

from minio.datatypes import Object
from minio.error import S3Error

BUCKET = "bkt"
MODIFIED = datetime.datetime(2024, 5, 17, 12, 30, 45, tzinfo=datetime.timezone.utc)


class FakeResponse:
    """What get_object hands back: read() gives the prepared body."""

    __slots__ = ("_body",)

    def __init__(self, body: bytes) -> None:
        self._body = body

    def read(self) -> bytes:
        return self._body

    def close(self) -> None:
        return None

    def release_conn(self) -> None:
        return None


class FakeMinio:
    """Answers from prepared tables: buckets, object stats, listings and bodies."""

    def __init__(self, buckets: Iterable[str], objects: dict[str, bytes],
                 listings: dict[tuple[Optional[str], bool], tuple[Object, ...]]) -> None:
        self._buckets = frozenset(buckets)
        self._stats = {name: Object(BUCKET, name, last_modified=MODIFIED, size=len(body))
                       for name, body in objects.items()}
        self._responses = {name: FakeResponse(body) for name, body in objects.items()}
        self._listings = listings
        self._no_such_key = S3Error(None, "NoSuchKey", "The specified key does not exist.",
                                    "/bkt/key", "req", "host", BUCKET, "key")

    # bucket operations
    def bucket_exists(self, bucket_name: str) -> bool:
        return bucket_name in self._buckets

    def make_bucket(self, bucket_name: str, location: Optional[str] = None,
                    object_lock: bool = False) -> None:
        return None

    def remove_bucket(self, bucket_name: str) -> None:
        return None

    # objects
    def stat_object(self, bucket_name: str, object_name: str, *args: Any,
                    **kwargs: Any) -> Object:
        stat = self._stats.get(object_name)
        if stat is None:
            # The same prepared error every time, with the previous traceback dropped.
            raise self._no_such_key.with_traceback(None)
        return stat

    def get_object(self, bucket_name: str, object_name: str, *args: Any,
                   **kwargs: Any) -> FakeResponse:
        return self._responses[object_name]

    def put_object(self, bucket_name: str, object_name: str, data: Any, length: int,
                   *args: Any, **kwargs: Any) -> None:
        return None

    def fput_object(self, bucket_name: str, object_name: str, file_path: str,
                    *args: Any, **kwargs: Any) -> None:
        return None

    def remove_object(self, bucket_name: str, object_name: str,
                      version_id: Optional[str] = None) -> None:
        return None

    def remove_objects(self, bucket_name: str, delete_object_list: Any,
                       bypass_governance_mode: bool = False) -> tuple[()]:
        return ()

    def list_objects(self, bucket_name: str, prefix: Optional[str] = None,
                     recursive: bool = False, *args: Any, **kwargs: Any) -> tuple[Object, ...]:
        return self._listings.get((prefix, recursive), ())


class FakeCreator:
    """Stands where the client class goes (``_creator``): every call gives the same client."""

    def __init__(self, client: FakeMinio) -> None:
        self.client = client

    def __call__(self, endpoint: str, **options: Any) -> FakeMinio:
        return self.client


def listing(bucket: str, names: Iterable[str]) -> tuple[Object, ...]:
    return tuple(Object(bucket, name, last_modified=MODIFIED, size=1) for name in names)
